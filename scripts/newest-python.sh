#!/usr/bin/env bash
# Prints "VERSION PATH" of the newest CPython 3 on this machine (commands
# python3.N on PATH, pyenv's versions) that is newer than the default
# interpreter $1 (python3 when not given) and can build the extension (venv,
# ensurepip, Python.h); prints nothing when there is none.
set -u
default=${1:-python3}

version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null; }

usable() {
  "$1" - 2>/dev/null <<'PY'
import os, sys, sysconfig
import ensurepip, venv
sys.exit(sys.implementation.name != "cpython" or not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
PY
}

newer() {  # is version $1 newer than version $2?
  [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | tail -n1)" = "$1" ]
}

best=$(version "$default" || echo 0)
best_path=""
candidates=()
IFS=: read -ra dirs <<< "$PATH"
for dir in "${dirs[@]}"; do
  case $dir in */shims) continue ;; esac  # pyenv shims: its versions are looked at below
  for f in "$dir"/python3.[0-9]*; do
    case $f in *-config|*m) continue ;; esac
    [ -x "$f" ] && candidates+=("$f")
  done
done
for f in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3; do
  [ -x "$f" ] && candidates+=("$f")
done
for f in "${candidates[@]}"; do
  v=$(version "$f") || continue
  if newer "$v" "$best" && usable "$f"; then
    best=$v
    best_path=$f
  fi
done
[ -n "$best_path" ] && echo "$best $best_path"
exit 0

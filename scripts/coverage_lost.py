"""Lines and branches that one coverage run reached and a later one does not.

usage: coverage_lost.py BEFORE.json AFTER.json

Reads two coverage.json files of scripts/coverage.sh over the same product
sources (built from different tests) and prints, per source file, the
branches covered before but not after, files with the most lost first, then
the lines lost the same way.  A branch is named by its file, line and branch
number: the instances of a template count as one, covered when any of them is.
"""

import collections
import json
import sys


def load(path: str) -> tuple[dict, dict]:
    """Hit counts of every branch and of every line, keyed by where they are."""
    branches, lines = {}, {}
    with open(path) as f:
        for entry in json.load(f)["files"]:
            for line in entry["lines"]:
                where = (entry["file"], line["line_number"])
                lines[where] = lines.get(where, 0) + line["count"]
                for b in line["branches"]:
                    key = where + (b["branchno"],)
                    branches[key] = branches.get(key, 0) + b["count"]
    return branches, lines


def lost(before: dict, after: dict) -> collections.Counter:
    """Per file, how many keys were hit before and are not hit (or gone) after."""
    per_file = collections.Counter()
    for key, count in before.items():
        if count > 0 and after.get(key, 0) == 0:
            per_file[key[0]] += 1
    return per_file


def main(before_path: str, after_path: str) -> None:
    before_branches, before_lines = load(before_path)
    after_branches, after_lines = load(after_path)
    for title, per_file in (("branches", lost(before_branches, after_branches)),
                            ("lines", lost(before_lines, after_lines))):
        print(f"{title} covered before, not now: {sum(per_file.values())} in {len(per_file)} files")
        for name, count in sorted(per_file.items(), key=lambda item: (-item[1], item[0])):
            print(f"  {count:5}  {name}")
        print()


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])

"""Runs every benchmark."""

import runpy
import sys
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for name in ("dmg", "pipeline", "pbzx"):
    print(f"== {name}")
    runpy.run_path(str(here / f"{name}.py"), run_name="__main__")

"""Type stubs of the public extension modules, generated from the installed
package with nanobind's stub generator.

    python tools/stubs.py          # write src/zarn_data_access/*.pyi
    python tools/stubs.py --check  # fail when they differ from the modules

The stubs are committed, so that a change of a public signature or
docstring shows in the diff; CI runs the check against the built modules.
"""

import argparse
import difflib
import pathlib
import sys
import tempfile

from nanobind.stubgen import main as stubgen

MODULES = ["access", "qual", "quan", "converter", "zstd"]
PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "src" / "zarn_data_access"


def generate(out_dir: pathlib.Path) -> None:
    for name in MODULES:
        stubgen(["-q", "-m", f"zarn_data_access.{name}", "-o", str(out_dir / f"{name}.pyi")])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    if not args.check:
        generate(PACKAGE)
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        generate(pathlib.Path(tmp))
        differ = False
        for name in MODULES:
            fresh = (pathlib.Path(tmp) / f"{name}.pyi").read_text().splitlines(keepends=True)
            stored_path = PACKAGE / f"{name}.pyi"
            stored = stored_path.read_text().splitlines(keepends=True) if stored_path.exists() else []
            diff = list(difflib.unified_diff(stored, fresh, str(stored_path), f"{name} as built"))
            if diff:
                differ = True
                sys.stdout.writelines(diff)
        if differ:
            print("The committed stubs differ from the built modules: run python tools/stubs.py", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

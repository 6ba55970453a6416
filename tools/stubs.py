"""Type stubs of the public modules, generated from the installed package
with nanobind's stub generator and the patterns of tools/stubs.patterns.

    python tools/stubs.py          # write src/zarn_data_access/*.pyi
    python tools/stubs.py --check  # fail when they differ from the modules

The stubs are committed, so that a change of a public signature or
docstring shows in the diff; CI runs the check against the built modules.
"""

import argparse
import difflib
import enum
import importlib
import pathlib
import sys
import tempfile

from nanobind.stubgen import StubGen, load_pattern_file

# The public modules, by their path under the package. common is a Python
# module whose value types are made by a private extension module, and the
# enumerations that the modules show come from _internal._enum: their stubs
# state them as callers see them.
MODULES = ["access", "qual", "quan", "converter", "zstd", "common", "_internal/_enum"]
PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "src" / "zarn_data_access"
PATTERNS = pathlib.Path(__file__).resolve().parent / "stubs.patterns"


class PackageStubGen(StubGen):
    """The stub generator, mended for how these modules are made: a
    function defined in a class is that class's method, whatever module
    the function was made in (the value types of common are made in
    _internal._common), and a property's accessors are never static
    methods (the converter's option classes are plain classes whose
    accessors are plain functions)."""

    in_property = False

    def put_property(self, prop, name):
        self.in_property = True
        try:
            super().put_property(prop, name)
        finally:
            self.in_property = False

    def put_function(self, fn, name=None, parent=None):
        own = self.in_property or isinstance(parent, type)
        if own and type(fn).__module__ == "nanobind" and getattr(fn, "__name__", None) == name:
            self.put_nb_func(fn, name)
            return
        super().put_function(fn, name, parent)

    def put_value(self, value, name, parent=None, abbrev=True):
        # __all__ lists names; an enumeration member repeats no docstring
        # that is only its class's.
        if name == "__all__" and isinstance(value, list):
            self.write_ln(f"__all__: list[str] = {value!r}\n")
        elif isinstance(value, enum.Enum) and isinstance(parent, type) and value.__doc__ == parent.__doc__:
            self.write_ln(f"{name} = {value._value_!r}\n")
        else:
            super().put_value(value, name, parent, abbrev)

    def write_ln(self, line):
        if not (self.in_property and line == "@staticmethod"):
            super().write_ln(line)


def generate(out_dir: pathlib.Path) -> None:
    patterns = load_pattern_file(str(PATTERNS))
    for name in MODULES:
        module = importlib.import_module("zarn_data_access." + name.replace("/", "."))
        out = out_dir / f"{name}.pyi"
        out.parent.mkdir(parents=True, exist_ok=True)
        generator = PackageStubGen(module, patterns=patterns, output_file=out)
        generator.put(module)
        out.write_text(generator.get(), encoding="utf-8")
    unused = [pattern.query.pattern for pattern in patterns if pattern.matches == 0]
    if unused:
        raise SystemExit(f"{PATTERNS.name}: patterns that match nothing: {unused}")


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

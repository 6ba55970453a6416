"""The package's modules load as separate extension modules that share one
C++ core: an object made by one module is the same C++ object to another."""

import importlib
import subprocess
import sys

import pytest

from zarn_data_access._internal import _testing
from zarn_data_access._internal._reader import KxmFileReader


@pytest.mark.parametrize(
    "name",
    [
        "zarn_data_access._internal._enum",
        "zarn_data_access._internal._reader",
        "zarn_data_access._internal._description",
        "zarn_data_access._internal._index",
        "zarn_data_access.zstd",
        "zarn_data_access.qual",
        "zarn_data_access.quan",
        "zarn_data_access.access",
    ],
)
def test_each_deliverable_is_its_own_extension_module(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(".so")
    assert module.__name__ == name


def test_reader_made_by_one_module_is_accepted_by_another(tmp_path):
    path = tmp_path / "f.zarn"
    path.write_bytes(bytes([0x05, 0x06, 0x07]))
    reader = KxmFileReader._KxmFileReader__create_instance(str(path))
    try:
        # _testing moves the reader and reads through the C++ object that
        # _reader made; the move is visible through _reader's interface.
        assert _testing.reader_read_tiny_uint_at(reader, 1) == 6
        assert reader._KxmFileReader__get_absolute_position() == 2
        assert reader._KxmFileReader__read_tiny_uint() == 7
        assert _testing.reader_address(reader) == _testing.reader_address(reader)
    finally:
        reader._KxmFileReader__stream.close()


def test_foreign_object_is_refused_by_cpp_code():
    with pytest.raises(TypeError):
        _testing.reader_read_tiny_uint_at(object(), 0)


INTERNAL = ["zarn_data_access._internal._enum", "zarn_data_access._internal._reader",
            "zarn_data_access._internal._description", "zarn_data_access._internal._index"]


@pytest.mark.parametrize("name, loads, never", [
    ("zarn_data_access.qual", INTERNAL, ["zarn_data_access.quan", "zarn_data_access.access"]),
    # quan works on the objects it is given and loads none of their modules
    ("zarn_data_access.quan", [], INTERNAL + ["zarn_data_access.qual", "zarn_data_access.access"]),
    ("zarn_data_access.access", INTERNAL + ["zarn_data_access.exception", "zarn_data_access.qual",
                                            "zarn_data_access.quan"], []),
])
def test_a_module_loads_what_it_imports_and_nothing_else(name, loads, never):
    code = ("import sys, importlib\n"
            f"importlib.import_module({name!r})\n"
            "print([m for m in sys.modules if m.startswith('zarn_data_access')])\n")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    loaded = set(eval(out))
    assert set(loads) <= loaded
    assert not set(never) & loaded


def test_the_shipped_test_hooks_refuse_what_they_cannot_do(make_reader):
    from zarn_data_access._internal import _testing
    from zarn_data_access.exception import ZarnException
    with pytest.raises(MemoryError):
        _testing.make_spectrum_points(2**61)
    with pytest.raises(ZarnException):
        _testing.make_spectrum_indices(make_reader(bytes(8)), 2**63 - 1, [1])
    with pytest.raises(TypeError):
        _testing.spectrum_supplemental_contains(3, "x")


@pytest.mark.parametrize("name, source, missing", [
    ("zarn_data_access._internal._description", "zarn_data_access.common", "CompoundTypes"),
    ("zarn_data_access._internal._index", "zarn_data_access._internal._description", "InternalSpectrumDescription"),
    ("zarn_data_access.qual", "zarn_data_access._internal._description", "TripleQScanTypes"),
    ("zarn_data_access.access", "zarn_data_access._internal._reader", "KxmFileReader"),
])
def test_a_module_that_cannot_take_a_name_fails_to_load_and_the_process_goes_on(name, source, missing):
    code = ("import importlib\n"
            f"delattr(importlib.import_module({source!r}), {missing!r})\n"
            "try:\n"
            f"    importlib.import_module({name!r})\n"
            "except ImportError as e:\n"
            "    print(repr(e.__cause__))\n"
            "print('alive')\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [repr(AttributeError(f"module {source!r} has no attribute {missing!r}")),
                                       "alive"]

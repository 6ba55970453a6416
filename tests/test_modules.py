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


def test_qual_loads_the_modules_it_needs():
    needed = ["zarn_data_access._internal._enum", "zarn_data_access._internal._reader",
              "zarn_data_access._internal._description", "zarn_data_access._internal._index"]
    code = f"import sys, zarn_data_access.qual; print(all(m in sys.modules for m in {needed!r}))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True"

import itertools
import os
import sys

import pytest

# The writer package and the helper module live beside this file; make them
# importable whatever import mode pytest runs in.
_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "large_file: uses a file of 262144 bytes or more (windowed reading)")


@pytest.fixture
def make_reader(tmp_path):
    """make_reader(data) writes `data` to a new file and returns a reader
    standing at offset 0.  Streams still open are closed after the test."""
    from zarn_data_access._internal._reader import KxmFileReader

    readers = []
    counter = itertools.count()

    def make(data: bytes):
        path = tmp_path / f"data{next(counter)}.zarn"
        path.write_bytes(data)
        reader = KxmFileReader._KxmFileReader__create_instance(str(path))
        readers.append(reader)
        return reader

    yield make
    for reader in readers:
        stream = reader._KxmFileReader__stream
        if not stream.closed:
            stream.close()

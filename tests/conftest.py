import itertools

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "large_file: uses a file of 262144 bytes or more (windowed reading)")


@pytest.fixture
def write(tmp_path):
    """write(data, name) puts `data` into a new file and returns its path."""
    def write(data, name="sample.zarn"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return write


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


@pytest.fixture
def read_record(make_reader):
    """read_record(cls, data, *args, version=(3, 6, 0)) reads one record of
    class `cls` from `data` through its factory (with `args`) and its
    `__read`, on a reader that has been told the format version (None:
    not told), and returns it.  The condition records read in their
    factory."""
    from kit.records import create, read_into

    def read(cls, data, *args, version=(3, 6, 0)):
        reader = make_reader(data)
        if version is not None:
            reader._KxmFileReader__set_version(*version)
        if cls.__name__ in ("InternalAcquisitionCondition", "InternalAcquisitionCoreCondition"):
            return create(cls, reader)
        record = create(cls, *args)
        read_into(record, reader)
        return record

    return read


@pytest.fixture
def opened_streams(monkeypatch):
    """The file objects that the interpreter's open() makes during the test,
    in order, so that a test can see whether the library closed them.
    Those still open are closed after the test."""
    import builtins

    streams = []
    real_open = builtins.open

    def recording_open(*args, **kwargs):
        stream = real_open(*args, **kwargs)
        streams.append(stream)
        return stream

    monkeypatch.setattr(builtins, "open", recording_open)
    yield streams
    monkeypatch.undo()
    for stream in streams:
        if not stream.closed:
            stream.close()

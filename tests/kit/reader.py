"""Small helpers for driving the reader in tests."""

import random

from zarnwriter import WINDOW  # noqa: F401 - re-exported for the tests


def call(reader, method, *args):
    """Call a private reader method by its short name ("read_int32")."""
    return getattr(reader, "_KxmFileReader__" + method)(*args)


def field(reader, name):
    """Read a private reader field by its short name ("local_position")."""
    return getattr(reader, "_KxmFileReader__" + name)


def pos(reader):
    return reader._KxmFileReader__get_absolute_position()


def noise(size, seed=1):
    """Deterministic bytes without a short period, so that a window loaded
    from the wrong offset never compares equal."""
    return random.Random(seed).randbytes(size)


class Stream:
    """A binary stream over a real file that calls `on_read` before each read."""
    def __init__(self, f, on_read=lambda buffer: None):
        self.f, self.on_read = f, on_read

    def readinto(self, buffer):
        self.on_read(buffer)
        return self.f.readinto(buffer)

    def seek(self, *args):
        return self.f.seek(*args)

    def close(self):
        self.f.close()

    @property
    def closed(self):
        return self.f.closed

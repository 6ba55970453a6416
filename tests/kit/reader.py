"""Small helpers for driving the reader in tests."""

import os
import random

import pytest

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


def descriptors(file):
    """How many of the process's descriptors are open on `file` (a path, or
    the os.stat() result of a file since deleted), as /proc/self/fd shows
    them; the test is skipped where there is no /proc/self/fd."""
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("no /proc/self/fd")
    identity = os.stat(file) if isinstance(file, (str, os.PathLike)) else file
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            st = os.stat(int(name))
        except OSError:  # the listing's own descriptor, closed by now
            continue
        count += (st.st_dev, st.st_ino) == (identity.st_dev, identity.st_ino)
    return count


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

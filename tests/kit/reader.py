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

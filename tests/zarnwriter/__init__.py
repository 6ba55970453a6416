"""Test writer of Zarn files: encodes values and blocks into bytes.

Written from the format's encoding tables, independently of the reader, so
that reader and writer check each other.
"""

from .blocks import *  # noqa: F401,F403
from .blocks import __all__ as _blocks_all
from .values import *  # noqa: F401,F403
from .values import __all__ as _values_all

__all__ = list(_values_all) + list(_blocks_all)

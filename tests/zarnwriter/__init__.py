"""Test writer of Zarn files: encodes values and blocks into bytes.

Written from the format's encoding tables, independently of the reader, so
that reader and writer check each other.
"""

from .blocks import *  # noqa: F401,F403
from .blocks import __all__ as _blocks_all
from .container import *  # noqa: F401,F403
from .container import __all__ as _container_all
from .functions import *  # noqa: F401,F403
from .functions import __all__ as _functions_all
from .layout import *  # noqa: F401,F403
from .layout import __all__ as _layout_all
from .records import *  # noqa: F401,F403
from .records import __all__ as _records_all
from .values import *  # noqa: F401,F403
from .values import __all__ as _values_all

__all__ = (list(_values_all) + list(_blocks_all) + list(_records_all) + list(_container_all)
           + list(_functions_all) + list(_layout_all))

"""Value types and enumerations shared by the library's modules.

Stored files carry the enumerations as integers: the plain enumerations take
the listed order from 0, the flag enumerations take powers of two with ALL as
their union.
"""

import enum

from zarn_data_access._internal._common import (
    ChromatogramPoint,
    SpectrumBasedChromatogramPoint,
    SpectrumPoint,
    ValueRange,
)

__all__ = [
    "AnalysisTypes",
    "ChromatogramPoint",
    "CompoundTypes",
    "InstrumentManufacturers",
    "PolarityTypes",
    "QuanAnalysisTypes",
    "SpectrumBasedChromatogramPoint",
    "SpectrumPoint",
    "SpectrumTypes",
    "ValueRange",
]


class PolarityTypes(enum.Enum):
    NA = 0
    POSITIVE = 1
    NEGATIVE = 2
    BOTH = 3


class SpectrumTypes(enum.Enum):
    NA = 0
    UNKNOWN = 1
    PROFILE = 2
    CENTROID = 3


class CompoundTypes(enum.Enum):
    UNKNOWN = 0


class InstrumentManufacturers(enum.Enum):
    """The instrument maker, as the file stores it.

    Only 0 has a name; any other non-negative stored integer becomes a member
    of its own (named MANUFACTURER_<n>), so that a maker this library does
    not know never makes a measurement unreadable.
    """

    UNKNOWN = 0

    @classmethod
    def _missing_(cls, value):
        if type(value) is not int or value < 0:
            return None
        member = object.__new__(cls)
        member._name_ = f"MANUFACTURER_{value}"
        member._value_ = value
        return cls._value2member_map_.setdefault(value, member)


class QuanAnalysisTypes(enum.Flag):
    NA = 1
    SIM = 2
    SRM = 4
    ALL = 7


class AnalysisTypes(enum.Flag):
    ALL = 15
    QUAL = 1
    QUAN = 2
    DAD = 4
    ANALOG = 8

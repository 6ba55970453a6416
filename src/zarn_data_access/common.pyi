"""
Value types and enumerations shared by the library's modules.

Stored files carry the enumerations as integers: the plain enumerations take
the listed order from 0, the flag enumerations take powers of two with ALL as
their union.
"""

import enum


class ChromatogramPoint:
    """One chromatogram point: retention time and intensity."""

    def __init__(self, retention_time: float, intensity: float) -> None: ...

    @property
    def retention_time(self) -> float: ...

    @property
    def intensity(self) -> float: ...

    def __eq__(self, other: object) -> bool: ...

    def __hash__(self) -> int: ...

    def __reduce__(self) -> tuple[type[ChromatogramPoint], tuple[float, ...]]: ...

    def __repr__(self) -> str: ...

class SpectrumBasedChromatogramPoint:
    """
    One chromatogram point derived from a spectrum: the spectrum's index, its retention time, the intensity, and the x value of the highest point.
    """

    def __init__(self, index: int, retention_time: float, intensity: float, x: float) -> None: ...

    @property
    def index(self) -> int: ...

    @property
    def retention_time(self) -> float: ...

    @property
    def intensity(self) -> float: ...

    @property
    def x(self) -> float: ...

    def __eq__(self, other: object) -> bool: ...

    def __hash__(self) -> int: ...

    def __reduce__(self) -> tuple[type[SpectrumBasedChromatogramPoint], tuple[float, ...]]: ...

    def __repr__(self) -> str: ...

class SpectrumPoint:
    """One spectrum point: x (m/z or wavelength) and intensity."""

    def __init__(self, x: float, intensity: float) -> None: ...

    @property
    def x(self) -> float: ...

    @property
    def intensity(self) -> float: ...

    def __eq__(self, other: object) -> bool: ...

    def __hash__(self) -> int: ...

    def __reduce__(self) -> tuple[type[SpectrumPoint], tuple[float, ...]]: ...

    def __repr__(self) -> str: ...

class ValueRange:
    """A closed numeric range [min, max]."""

    def __init__(self, min: float, max: float) -> None: ...

    @property
    def min(self) -> float: ...

    @min.setter
    def min(self, arg: float, /) -> None: ...

    @property
    def max(self) -> float: ...

    @max.setter
    def max(self, arg: float, /) -> None: ...

    def contains_value(self, value: float) -> bool: ...

    def __eq__(self, other: object) -> bool: ...

    def __ne__(self, other: object) -> bool: ...

    def __hash__(self) -> int: ...

    def __reduce__(self) -> tuple[type[ValueRange], tuple[float, ...]]: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

__all__: list[str] = ['AnalysisTypes', 'ChromatogramPoint', 'CompoundTypes', 'InstrumentManufacturers', 'PolarityTypes', 'QuanAnalysisTypes', 'SpectrumBasedChromatogramPoint', 'SpectrumPoint', 'SpectrumTypes', 'ValueRange']

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
    """
    The instrument maker, as the file stores it.

        Only 0 has a name; any other non-negative stored integer becomes a member
        of its own (named MANUFACTURER_<n>), so that a maker this library does
        not know never makes a measurement unreadable.
    """

    UNKNOWN = 0

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

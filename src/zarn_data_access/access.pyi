import datetime
import types

from zarn_data_access._internal._enum import (
    DetectorTypes as DetectorTypes,
    ZarnSymbols as ZarnSymbols
)
from zarn_data_access._internal._index import (
    FunctionIndex as FunctionIndex,
    JumpTable as JumpTable
)
from zarn_data_access._internal._reader import (
    KxmFileReader as KxmFileReader
)
import zarn_data_access.common
from zarn_data_access.exception import ZarnException as ZarnException
import zarn_data_access.qual
from zarn_data_access.qual import (
    DADAnalysis as DADAnalysis,
    QualAnalysis as QualAnalysis
)
import zarn_data_access.quan
from zarn_data_access.quan import (
    AnalogAnalysis as AnalogAnalysis,
    QuanAnalysis as QuanAnalysis
)


class ZarnFile:
    """
    An open Zarn file: its format and converter versions and its measurements.
    """

    def __init__(self, file_path: str) -> None: ...

    def __del__(self) -> None: ...

    def __enter__(self) -> ZarnFile: ...

    def __exit__(self, ex_type: type[BaseException] | None, ex_value: BaseException | None, trace: types.TracebackType | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    def close(self) -> None:
        """Closes the file's stream unless it is closed already; returns None."""

    @property
    def file_path(self) -> str:
        """The path as it was given."""

    def get_file_format_version(self) -> str:
        """The file's format version as text: major.minor.revision."""

    def get_converter_version(self) -> str:
        """
        The version of the converter that wrote the file as text: major.minor.revision, 0.0.0 when unknown.
        """

    def get_measurement_count(self) -> int:
        """The number of measurements in the file."""

    def get_measurement(self, index: int) -> Measurement:
        """A new Measurement for the measurement at the given position."""

class Measurement:
    """
    One measurement of a Zarn file: its description values and its analyses of each kind.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    def get_qual_analysis_count(self) -> int:
        """The number of qualitative MS analyses."""

    def get_dad_analysis_count(self) -> int:
        """The number of DAD analyses."""

    def get_quan_analysis_count(self) -> int:
        """The number of quantitative (SIM and SRM) analyses."""

    def get_analog_analysis_count(self) -> int:
        """The number of analog analyses."""

    def get_qual_analysis(self, index: int) -> zarn_data_access.qual.QualAnalysis:
        """
        A new QualAnalysis for the qualitative MS analysis at the given position.
        """

    def get_dad_analysis(self, index: int) -> zarn_data_access.qual.DADAnalysis:
        """A new DADAnalysis for the DAD analysis at the given position."""

    def get_quan_analysis(self, index: int) -> zarn_data_access.quan.QuanAnalysis:
        """
        A new QuanAnalysis for the quantitative analysis at the given position.
        """

    def get_analog_analysis(self, index: int) -> zarn_data_access.quan.AnalogAnalysis:
        """A new AnalogAnalysis for the analog analysis at the given position."""

    @property
    def index(self) -> int:
        """The measurement's position in the file."""

    @property
    def hash(self) -> str | None:
        """The measurement's hash text, or None."""

    @property
    def sample_name(self) -> str | None:
        """The sample name, or None."""

    @property
    def sample_id(self) -> str | None:
        """The sample ID, or None."""

    @property
    def acquisition_method_file_name(self) -> str | None:
        """The file name of the acquisition method, or None."""

    @property
    def dilution_factor(self) -> float | None:
        """The dilution factor as a float, or None."""

    @property
    def injection_volume(self) -> float | None:
        """The injection volume as a float, or None."""

    @property
    def original_file_path(self) -> str | None:
        """The path of the file the measurement was converted from, or None."""

    @property
    def instrument_product_name(self) -> str | None:
        """The instrument's product name, or None."""

    @property
    def measurement_user_name(self) -> str | None:
        """The name of the user who made the measurement, or None."""

    @property
    def plate_code(self) -> str | None:
        """The plate code, or None."""

    @property
    def well_code(self) -> str | None:
        """The well code, or None."""

    @property
    def measurement_date_time(self) -> datetime.datetime | None:
        """The date and time of the measurement, or None."""

    @property
    def instrument_manufacturer(self) -> zarn_data_access.common.InstrumentManufacturers | None:
        """The instrument's maker as an InstrumentManufacturers member, or None."""

    @property
    def source_file_definition(self) -> str | None:
        """The source file definition text, or None."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

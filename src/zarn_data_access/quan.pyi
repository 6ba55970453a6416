import zarn_data_access.common
from zarn_data_access.common import (
    QuanAnalysisTypes as QuanAnalysisTypes
)


class QuanAnalysis:
    """
    One quantitative (SIM or SRM) trace of a measurement: its chromatogram and its compound's description.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> int:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def chromatogram_points(self) -> list[zarn_data_access.common.ChromatogramPoint]:
        """
        The trace's own list of ChromatogramPoint objects, read when the analysis was made.
        """

    @property
    def collision_energy(self) -> float | None:
        """The collision energy as a float, or None."""

    @property
    def compound_name(self) -> str | None:
        """The compound name, or None."""

    @property
    def q1(self) -> float | None:
        """The Q1 m/z as a float, or None."""

    @property
    def q3(self) -> float | None:
        """The Q3 m/z as a float, or None."""

    @property
    def estimated_retention_time(self) -> float | None:
        """The estimated retention time as a float, or None."""

    @property
    def extract_value(self) -> float | None:
        """The extraction value as a float, or None."""

    @property
    def extract_tolerance(self) -> float | None:
        """The extraction tolerance as a float, or None."""

    @property
    def quan_analysis_type(self) -> zarn_data_access.common.QuanAnalysisTypes:
        """The kind of trace as a QuanAnalysisTypes member."""

    @property
    def compound_type(self) -> zarn_data_access.common.CompoundTypes:
        """The kind of compound as a CompoundTypes member."""

    @property
    def polarity(self) -> zarn_data_access.common.PolarityTypes:
        """The polarity as a PolarityTypes member."""

    @property
    def concentration(self) -> float | None:
        """The concentration as a float, or None."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

class AnalogAnalysis:
    """
    One analog detector trace of a measurement: its chromatogram and its label.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> int:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def chromatogram_points(self) -> list[zarn_data_access.common.ChromatogramPoint]:
        """
        The trace's own list of ChromatogramPoint objects, read when the analysis was made.
        """

    @property
    def description(self) -> str | None:
        """The trace's label, or None."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

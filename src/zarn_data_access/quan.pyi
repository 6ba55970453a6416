from zarn_data_access.common import (
    QuanAnalysisTypes as QuanAnalysisTypes
)


class QuanAnalysis:
    """
    One quantitative (SIM or SRM) trace of a measurement: its chromatogram and its compound's description.
    """

    def __init__(self) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> object:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def chromatogram_points(self) -> object:
        """
        The trace's own list of ChromatogramPoint objects, read when the analysis was made.
        """

    @property
    def collision_energy(self) -> object:
        """The collision energy as a float, or None."""

    @property
    def compound_name(self) -> object:
        """The compound name, or None."""

    @property
    def q1(self) -> object:
        """The Q1 m/z as a float, or None."""

    @property
    def q3(self) -> object:
        """The Q3 m/z as a float, or None."""

    @property
    def estimated_retention_time(self) -> object:
        """The estimated retention time as a float, or None."""

    @property
    def extract_value(self) -> object:
        """The extraction value as a float, or None."""

    @property
    def extract_tolerance(self) -> object:
        """The extraction tolerance as a float, or None."""

    @property
    def quan_analysis_type(self) -> object:
        """The kind of trace as a QuanAnalysisTypes member."""

    @property
    def compound_type(self) -> object:
        """The kind of compound as a CompoundTypes member."""

    @property
    def polarity(self) -> object:
        """The polarity as a PolarityTypes member."""

    @property
    def concentration(self) -> object:
        """The concentration as a float, or None."""

    @property
    def supplemental_properties(self) -> object:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

class AnalogAnalysis:
    """
    One analog detector trace of a measurement: its chromatogram and its label.
    """

    def __init__(self) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> object:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def chromatogram_points(self) -> object:
        """
        The trace's own list of ChromatogramPoint objects, read when the analysis was made.
        """

    @property
    def description(self) -> object:
        """The trace's label, or None."""

    @property
    def supplemental_properties(self) -> object:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

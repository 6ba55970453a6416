from collections.abc import Sequence
from typing import Protocol, TypeAlias

from zarn_data_access._internal._enum import (
    TripleQScanTypes as TripleQScanTypes,
    VendorSpecificAdditionalConditionTypes as VendorSpecificAdditionalConditionTypes
)
import zarn_data_access.common



class _Range(Protocol):
    """A range of values: its bounds, read as floats."""

    @property
    def min(self) -> float: ...

    @property
    def max(self) -> float: ...

class _TimeRange(_Range, Protocol):
    """A range of retention times: its bounds and whether it holds a time."""

    def contains_value(self, value: float, /) -> object: ...

class _FilterOption(Protocol):
    """What one extracted-ion chromatogram selects."""

    @property
    def acquisition_condition(self) -> AcquisitionCondition: ...

    @property
    def extract_mz_range(self) -> _Range: ...

    @property
    def retention_time_range(self) -> _TimeRange | None: ...

_AdditionalCondition: TypeAlias = (
    AgilentMassHunterCondition | SCIEXAnalystCondition | ShimadzuIoModuleCondition
    | ThermoFisherRawFileReaderCondition | WatersMassLynxCondition | PrecursorIonScanCondition
    | ProductIonScanCondition | NeutralLossScanCondition | NeutralGainScanCondition
)

class AgilentMassHunterCondition:
    """A maker-specific additional condition: the fragmentor voltage."""

    def __init__(self, argument: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def fragmentor_voltage(self) -> float | None:
        """The fragmentor voltage as a float, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class SCIEXAnalystCondition:
    """
    A maker-specific additional condition: the experiment index and the DP value.
    """

    def __init__(self, vendor_specific_additional_condition: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def experiment_index(self) -> int | None:
        """The experiment index as an integer, or None."""

    @property
    def dp(self) -> float | None:
        """The DP value as a float, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class ShimadzuIoModuleCondition:
    """A maker-specific additional condition: the event number."""

    def __init__(self, vendor_specific_additional_condition: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def event_no(self) -> int | None:
        """The event number as an integer, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class ThermoFisherRawFileReaderCondition:
    """
    A maker-specific additional condition: the SID value and the scan filter.
    """

    def __init__(self, argument: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def sid(self) -> float | None:
        """The SID value as a float, or None."""

    @property
    def scan_filter(self) -> str | None:
        """The scan filter text, possibly empty, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class WatersMassLynxCondition:
    """
    A maker-specific additional condition: the function number and the cone voltage.
    """

    def __init__(self, argument: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def function_number(self) -> int | None:
        """The function number as an integer, or None."""

    @property
    def cone_voltage(self) -> float | None:
        """The cone voltage as a float, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class PrecursorIonScanCondition:
    """
    A triple-quadrupole precursor ion scan condition: the product ion m/z and the scanned Q1 range.
    """

    def __init__(self, triple_q_scan_condition: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def product_ion_mz(self) -> float | None:
        """The product ion m/z as a float, or None."""

    @property
    def q1_range(self) -> zarn_data_access.common.ValueRange | None:
        """The scanned Q1 range as a ValueRange, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class ProductIonScanCondition:
    """
    A triple-quadrupole product ion scan condition: the precursor ion m/z and the scanned Q3 range.
    """

    def __init__(self, triple_q_scan_condition: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def precursor_ion_mz(self) -> float | None:
        """The precursor ion m/z as a float, or None."""

    @property
    def q3_range(self) -> zarn_data_access.common.ValueRange | None:
        """The scanned Q3 range as a ValueRange, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class NeutralLossScanCondition:
    """
    A triple-quadrupole neutral loss scan condition: the neutral loss m/z and the scanned Q1 and Q3 ranges.
    """

    def __init__(self, triple_q_scan_condition: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def neutral_loss_mz(self) -> float | None:
        """The neutral loss m/z as a float, or None."""

    @property
    def q1_range(self) -> zarn_data_access.common.ValueRange | None:
        """The scanned Q1 range as a ValueRange, or None."""

    @property
    def q3_range(self) -> zarn_data_access.common.ValueRange | None:
        """The scanned Q3 range as a ValueRange, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class NeutralGainScanCondition:
    """
    A triple-quadrupole neutral gain scan condition: the neutral gain m/z and the scanned Q1 and Q3 ranges.
    """

    def __init__(self, triple_q_scan_condition: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def neutral_gain_mz(self) -> float | None:
        """The neutral gain m/z as a float, or None."""

    @property
    def q1_range(self) -> zarn_data_access.common.ValueRange | None:
        """The scanned Q1 range as a ValueRange, or None."""

    @property
    def q3_range(self) -> zarn_data_access.common.ValueRange | None:
        """The scanned Q3 range as a ValueRange, or None."""

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class AcquisitionCondition:
    """
    The conditions under which MS spectra were acquired; compared and hashed by value.
    """

    def __init__(self, argument: object) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def ms_level(self) -> int:
        """The MS level as an integer, 1 when the source holds none."""

    @property
    def polarity(self) -> zarn_data_access.common.PolarityTypes:
        """The polarity as a PolarityTypes member."""

    @property
    def collision_energy(self) -> float | None:
        """The collision energy as a float, or None."""

    @property
    def precursor_value(self) -> float | None:
        """The precursor m/z as a float, or None."""

    @property
    def original_measured_spectrum_type(self) -> zarn_data_access.common.SpectrumTypes:
        """
        The spectrum type as measured (profile or centroid), a SpectrumTypes member.
        """

    @property
    def precursor_range(self) -> zarn_data_access.common.ValueRange | None:
        """The precursor range as a ValueRange, or None."""

    @property
    def mass_range(self) -> zarn_data_access.common.ValueRange | None:
        """The mass range as a ValueRange, or None."""

    @property
    def additional_conditions(self) -> list[_AdditionalCondition]:
        """
        The condition's own list of additional conditions: the maker-specific one, then the scan one.
        """

    def __hash__(self) -> int: ...

    def __eq__(self, other: object) -> bool: ...

class ChromatogramFilterOption:
    """
    What one extracted-ion chromatogram selects: an acquisition condition, an m/z range to sum and an optional retention-time range.
    """

    def __init__(self, acquisition_condition: AcquisitionCondition, extract_mz_range: _Range, retention_time_range: _TimeRange | None = None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def extract_mz_range(self) -> _Range:
        """The m/z range, a ValueRange, whose intensities are summed."""

    @extract_mz_range.setter
    def extract_mz_range(self, extract_mz_range: _Range, /) -> None: ...

    @property
    def acquisition_condition(self) -> AcquisitionCondition:
        """The AcquisitionCondition that a spectrum must equal."""

    @acquisition_condition.setter
    def acquisition_condition(self, acquisition_condition: AcquisitionCondition, /) -> None: ...

    @property
    def retention_time_range(self) -> _TimeRange | None:
        """The ValueRange of retention times that counts, or None for every one."""

    @retention_time_range.setter
    def retention_time_range(self, retention_time_range: _TimeRange | None, /) -> None: ...

class Spectrum:
    """
    One mass spectrum of a qualitative MS analysis: its description values and its points.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> int:
        """The spectrum's position in its analysis's list of spectra."""

    @property
    def retention_time(self) -> float | None:
        """The retention time as a float, or None."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

    @property
    def acquisition_condition(self) -> AcquisitionCondition:
        """The AcquisitionCondition bound to the spectrum."""

    @property
    def precursor_index(self) -> int | None:
        """The precursor index as an integer, or None."""

    @property
    def product_indices(self) -> list[int] | None:
        """The product indices as a list of integers, or None."""

    @property
    def spectrum_type(self) -> zarn_data_access.common.SpectrumTypes:
        """The spectrum type as a SpectrumTypes member."""

    def get_spectrum_points(self) -> list[zarn_data_access.common.SpectrumPoint]:
        """
        The spectrum's points (m/z and intensity) as a list of SpectrumPoint, decoded once and kept.
        """

    def get_profile_spectrum_points(self) -> list[zarn_data_access.common.SpectrumPoint]:
        """
        The points of the spectrum's profile data as a new list of SpectrumPoint, decoded on every call.
        """

class DADSpectrum:
    """
    One diode-array spectrum of a DAD analysis: its description values and its points.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> int:
        """The spectrum's position in its analysis's list of spectra."""

    @property
    def retention_time(self) -> float | None:
        """The retention time as a float, or None."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

    def get_spectrum_points(self) -> list[zarn_data_access.common.SpectrumPoint]:
        """
        The spectrum's points (wavelength and intensity) as a list of SpectrumPoint, decoded once and kept.
        """

class QualAnalysis:
    """
    One qualitative MS analysis of a measurement: its spectra, conditions and chromatograms.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> int:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The function's own dictionary of supplemental properties, text to text.
        """

    def get_spectra_count(self) -> int:
        """The number of spectra of the analysis."""

    @property
    def unique_acquisition_conditions(self) -> list[AcquisitionCondition]:
        """The analysis's own list of its distinct AcquisitionCondition objects."""

    def get_spectrum(self, index: int) -> Spectrum:
        """A new Spectrum for the spectrum at the given position."""

    def get_tic(self, acquisition_condition: AcquisitionCondition | None, retention_time_range: _TimeRange | None = None) -> list[zarn_data_access.common.SpectrumBasedChromatogramPoint]:
        """
        The total-ion chromatogram of the spectra of one acquisition condition, from their stored totals, as SpectrumBasedChromatogramPoint objects.
        """

    def get_bpc(self, acquisition_condition: AcquisitionCondition | None, retention_time_range: _TimeRange | None = None) -> list[zarn_data_access.common.SpectrumBasedChromatogramPoint]:
        """
        The base-peak chromatogram of the spectra of one acquisition condition, from their stored base peaks, as SpectrumBasedChromatogramPoint objects.
        """

    def get_xic(self, chromatogram_filter_option: _FilterOption) -> list[zarn_data_access.common.SpectrumBasedChromatogramPoint]:
        """
        The extracted-ion chromatogram of one ChromatogramFilterOption, as SpectrumBasedChromatogramPoint objects.
        """

    def get_multiple_xic(self, chromatogram_filter_options: Sequence[_FilterOption]) -> list[list[zarn_data_access.common.SpectrumBasedChromatogramPoint]]:
        """
        The extracted-ion chromatograms of a list of ChromatogramFilterOption objects, reading each spectrum once: one list of SpectrumBasedChromatogramPoint per option.
        """

    def find_nearest_spectrum(self, acquisition_condition: AcquisitionCondition, retention_time: float) -> Spectrum:
        """
        A new Spectrum of the given acquisition condition whose retention time is nearest to the given one.
        """

class DADAnalysis:
    """
    One diode-array (DAD) analysis of a measurement: its spectra and chromatograms.
    """

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> int:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def supplemental_properties(self) -> dict[str, str]:
        """
        The function's own dictionary of supplemental properties, text to text.
        """

    def get_spectra_count(self) -> int:
        """The number of spectra of the analysis."""

    def get_spectrum(self, index: int) -> DADSpectrum:
        """A new DADSpectrum for the spectrum at the given position."""

    def get_chromatogram(self, extract_wavelength_range: _Range) -> list[zarn_data_access.common.SpectrumBasedChromatogramPoint]:
        """
        The DAD chromatogram of a wavelength range: per spectrum with a retention time, the mean intensity over the range and the wavelength of its highest intensity, as SpectrumBasedChromatogramPoint objects.
        """

    def get_max_plot(self, extract_wavelength_range: _Range, wavelength_tolerance: float) -> list[zarn_data_access.common.SpectrumBasedChromatogramPoint]:
        """
        The DAD max plot of a wavelength range: per spectrum with a retention time, the mean intensity within the tolerance of the range's highest point and that point's wavelength, as SpectrumBasedChromatogramPoint objects.
        """

    def find_nearest_spectrum(self, retention_time: float) -> DADSpectrum:
        """A new DADSpectrum whose retention time is nearest to the given one."""

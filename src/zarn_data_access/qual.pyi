from zarn_data_access._internal._enum import (
    TripleQScanTypes as TripleQScanTypes,
    VendorSpecificAdditionalConditionTypes as VendorSpecificAdditionalConditionTypes
)


class AgilentMassHunterCondition:
    """A maker-specific additional condition: the fragmentor voltage."""

    def __init__(self, argument: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def fragmentor_voltage(self) -> object:
        """The fragmentor voltage as a float, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class SCIEXAnalystCondition:
    """
    A maker-specific additional condition: the experiment index and the DP value.
    """

    def __init__(self, vendor_specific_additional_condition: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def experiment_index(self) -> object:
        """The experiment index as an integer, or None."""

    @property
    def dp(self) -> object:
        """The DP value as a float, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class ShimadzuIoModuleCondition:
    """A maker-specific additional condition: the event number."""

    def __init__(self, vendor_specific_additional_condition: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def event_no(self) -> object:
        """The event number as an integer, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class ThermoFisherRawFileReaderCondition:
    """
    A maker-specific additional condition: the SID value and the scan filter.
    """

    def __init__(self, argument: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def sid(self) -> object:
        """The SID value as a float, or None."""

    @property
    def scan_filter(self) -> object:
        """The scan filter text, possibly empty, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class WatersMassLynxCondition:
    """
    A maker-specific additional condition: the function number and the cone voltage.
    """

    def __init__(self, argument: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def function_number(self) -> object:
        """The function number as an integer, or None."""

    @property
    def cone_voltage(self) -> object:
        """The cone voltage as a float, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class PrecursorIonScanCondition:
    """
    A triple-quadrupole precursor ion scan condition: the product ion m/z and the scanned Q1 range.
    """

    def __init__(self, triple_q_scan_condition: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def product_ion_mz(self) -> object:
        """The product ion m/z as a float, or None."""

    @property
    def q1_range(self) -> object:
        """The scanned Q1 range as a ValueRange, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class ProductIonScanCondition:
    """
    A triple-quadrupole product ion scan condition: the precursor ion m/z and the scanned Q3 range.
    """

    def __init__(self, triple_q_scan_condition: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def precursor_ion_mz(self) -> object:
        """The precursor ion m/z as a float, or None."""

    @property
    def q3_range(self) -> object:
        """The scanned Q3 range as a ValueRange, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class NeutralLossScanCondition:
    """
    A triple-quadrupole neutral loss scan condition: the neutral loss m/z and the scanned Q1 and Q3 ranges.
    """

    def __init__(self, triple_q_scan_condition: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def neutral_loss_mz(self) -> object:
        """The neutral loss m/z as a float, or None."""

    @property
    def q1_range(self) -> object:
        """The scanned Q1 range as a ValueRange, or None."""

    @property
    def q3_range(self) -> object:
        """The scanned Q3 range as a ValueRange, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class NeutralGainScanCondition:
    """
    A triple-quadrupole neutral gain scan condition: the neutral gain m/z and the scanned Q1 and Q3 ranges.
    """

    def __init__(self, triple_q_scan_condition: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def neutral_gain_mz(self) -> object:
        """The neutral gain m/z as a float, or None."""

    @property
    def q1_range(self) -> object:
        """The scanned Q1 range as a ValueRange, or None."""

    @property
    def q3_range(self) -> object:
        """The scanned Q3 range as a ValueRange, or None."""

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class AcquisitionCondition:
    """
    The conditions under which MS spectra were acquired; compared and hashed by value.
    """

    def __init__(self, argument: object | None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def ms_level(self) -> object:
        """The MS level as an integer, 1 when the source holds none."""

    @property
    def polarity(self) -> object:
        """The polarity as a PolarityTypes member."""

    @property
    def collision_energy(self) -> object:
        """The collision energy as a float, or None."""

    @property
    def precursor_value(self) -> object:
        """The precursor m/z as a float, or None."""

    @property
    def original_measured_spectrum_type(self) -> object:
        """
        The spectrum type as measured (profile or centroid), a SpectrumTypes member.
        """

    @property
    def precursor_range(self) -> object:
        """The precursor range as a ValueRange, or None."""

    @property
    def mass_range(self) -> object:
        """The mass range as a ValueRange, or None."""

    @property
    def additional_conditions(self) -> object:
        """
        The condition's own list of additional conditions: the maker-specific one, then the scan one.
        """

    def __hash__(self) -> object: ...

    def __eq__(self, other: object | None) -> bool: ...

class ChromatogramFilterOption:
    """
    What one extracted-ion chromatogram selects: an acquisition condition, an m/z range to sum and an optional retention-time range.
    """

    def __init__(self, acquisition_condition: object | None, extract_mz_range: object | None, retention_time_range: object | None = None) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def extract_mz_range(self) -> object:
        """The m/z range, a ValueRange, whose intensities are summed."""

    @extract_mz_range.setter
    def extract_mz_range(self, extract_mz_range: object | None) -> None: ...

    @property
    def acquisition_condition(self) -> object:
        """The AcquisitionCondition that a spectrum must equal."""

    @acquisition_condition.setter
    def acquisition_condition(self, acquisition_condition: object | None) -> None: ...

    @property
    def retention_time_range(self) -> object:
        """The ValueRange of retention times that counts, or None for every one."""

    @retention_time_range.setter
    def retention_time_range(self, retention_time_range: object | None) -> None: ...

class Spectrum:
    """
    One mass spectrum of a qualitative MS analysis: its description values and its points.
    """

    def __init__(self) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> object:
        """The spectrum's position in its analysis's list of spectra."""

    @property
    def retention_time(self) -> object:
        """The retention time as a float, or None."""

    @property
    def supplemental_properties(self) -> object:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

    @property
    def acquisition_condition(self) -> object:
        """The AcquisitionCondition bound to the spectrum."""

    @property
    def precursor_index(self) -> object:
        """The precursor index as an integer, or None."""

    @property
    def product_indices(self) -> object:
        """The product indices as a list of integers, or None."""

    @property
    def spectrum_type(self) -> object:
        """The spectrum type as a SpectrumTypes member."""

    def get_spectrum_points(self) -> object:
        """
        The spectrum's points (m/z and intensity) as a list of SpectrumPoint, decoded once and kept.
        """

    def get_profile_spectrum_points(self) -> object:
        """
        The points of the spectrum's profile data as a new list of SpectrumPoint, decoded on every call.
        """

class DADSpectrum:
    """
    One diode-array spectrum of a DAD analysis: its description values and its points.
    """

    def __init__(self) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> object:
        """The spectrum's position in its analysis's list of spectra."""

    @property
    def retention_time(self) -> object:
        """The retention time as a float, or None."""

    @property
    def supplemental_properties(self) -> object:
        """
        The description's own dictionary of supplemental properties, text to text.
        """

    def get_spectrum_points(self) -> object:
        """
        The spectrum's points (wavelength and intensity) as a list of SpectrumPoint, decoded once and kept.
        """

class QualAnalysis:
    """
    One qualitative MS analysis of a measurement: its spectra, conditions and chromatograms.
    """

    def __init__(self) -> None: ...

    def __str__(self) -> object: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> object:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def supplemental_properties(self) -> object:
        """
        The function's own dictionary of supplemental properties, text to text.
        """

    def get_spectra_count(self) -> int:
        """The number of spectra of the analysis."""

    @property
    def unique_acquisition_conditions(self) -> object:
        """The analysis's own list of its distinct AcquisitionCondition objects."""

    def get_spectrum(self, index: object | None) -> object:
        """A new Spectrum for the spectrum at the given position."""

    def get_tic(self, acquisition_condition: object | None, retention_time_range: object | None = None) -> list:
        """
        The total-ion chromatogram of the spectra of one acquisition condition, from their stored totals, as SpectrumBasedChromatogramPoint objects.
        """

    def get_bpc(self, acquisition_condition: object | None, retention_time_range: object | None = None) -> list:
        """
        The base-peak chromatogram of the spectra of one acquisition condition, from their stored base peaks, as SpectrumBasedChromatogramPoint objects.
        """

    def get_xic(self, chromatogram_filter_option: object | None) -> list:
        """
        The extracted-ion chromatogram of one ChromatogramFilterOption, as SpectrumBasedChromatogramPoint objects.
        """

    def get_multiple_xic(self, chromatogram_filter_options: object | None) -> list:
        """
        The extracted-ion chromatograms of a list of ChromatogramFilterOption objects, reading each spectrum once: one list of SpectrumBasedChromatogramPoint per option.
        """

    def find_nearest_spectrum(self, acquisition_condition: object | None, retention_time: object | None) -> object:
        """
        A new Spectrum of the given acquisition condition whose retention time is nearest to the given one.
        """

class DADAnalysis:
    """
    One diode-array (DAD) analysis of a measurement: its spectra and chromatograms.
    """

    def __init__(self) -> None: ...

    def __str__(self) -> str: ...

    def __repr__(self) -> str: ...

    @property
    def index(self) -> object:
        """The analysis's position among its measurement's analyses of its kind."""

    @property
    def supplemental_properties(self) -> object:
        """
        The function's own dictionary of supplemental properties, text to text.
        """

    def get_spectra_count(self) -> int:
        """The number of spectra of the analysis."""

    def get_spectrum(self, index: object | None) -> object:
        """A new DADSpectrum for the spectrum at the given position."""

    def get_chromatogram(self, extract_wavelength_range: object | None) -> list:
        """
        The DAD chromatogram of a wavelength range: per spectrum with a retention time, the mean intensity over the range and the wavelength of its highest intensity, as SpectrumBasedChromatogramPoint objects.
        """

    def get_max_plot(self, extract_wavelength_range: object | None, wavelength_tolerance: object | None) -> list:
        """
        The DAD max plot of a wavelength range: per spectrum with a retention time, the mean intensity within the tolerance of the range's highest point and that point's wavelength, as SpectrumBasedChromatogramPoint objects.
        """

    def find_nearest_spectrum(self, retention_time: object | None) -> object:
        """A new DADSpectrum whose retention time is nearest to the given one."""

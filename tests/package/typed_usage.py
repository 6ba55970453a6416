"""The public API's main road as a type checker sees it: `./dev test` runs
mypy --strict over this file, so that each annotated name below fails the
check when a stub loses the type it states. test_typed_usage.py runs it on
a sample file, so that the road is also the one the modules take.

Not a test module: pytest does not collect it.
"""

from collections.abc import Callable, Sequence
from concurrent.futures import Future

from zarn_data_access.access import Measurement, ZarnFile
from zarn_data_access.common import (
    AnalysisTypes,
    ChromatogramPoint,
    PolarityTypes,
    QuanAnalysisTypes,
    SpectrumBasedChromatogramPoint,
    SpectrumPoint,
    SpectrumTypes,
    ValueRange,
)
from zarn_data_access.converter import ConvertOptions, QualOptions, WbnConverter
from zarn_data_access.qual import (
    AcquisitionCondition,
    ChromatogramFilterOption,
    DADAnalysis,
    DADSpectrum,
    QualAnalysis,
    Spectrum,
)
from zarn_data_access.quan import AnalogAnalysis, QuanAnalysis


class TimeWindow:
    """A caller's own retention-time range: any object with the bounds and
    the test that the analyses ask for."""

    def __init__(self, low: float, high: float) -> None:
        self.min, self.max = low, high

    def contains_value(self, value: float) -> bool:
        return self.min <= value <= self.max


class Extraction:
    """A caller's own filter option: any object with the three attributes."""

    def __init__(self, condition: AcquisitionCondition, mz_range: ValueRange) -> None:
        self.acquisition_condition = condition
        self.extract_mz_range = mz_range
        self.retention_time_range: TimeWindow | None = None


def walk(path: str) -> dict[str, object]:
    """Reads a file with an MS, a DAD, a quantitative and an analog analysis
    in its first measurement; returns what it read, by name."""
    with ZarnFile(path) as zarn:
        opened: ZarnFile = zarn
        count: int = opened.get_measurement_count()
        version: str = opened.get_file_format_version()
        measurement: Measurement = opened.get_measurement(0)
        sample_name: str | None = measurement.sample_name
        dilution: float | None = measurement.dilution_factor
        supplemental: dict[str, str] = measurement.supplemental_properties

        ms: QualAnalysis = measurement.get_qual_analysis(0)
        spectrum: Spectrum = ms.get_spectrum(0)
        retention_time: float | None = spectrum.retention_time
        spectrum_type: SpectrumTypes = spectrum.spectrum_type
        points: list[SpectrumPoint] = spectrum.get_spectrum_points()
        first_mz: float = points[0].x
        conditions: list[AcquisitionCondition] = ms.unique_acquisition_conditions
        condition: AcquisitionCondition = conditions[0]
        polarity: PolarityTypes = condition.polarity
        collision_energy: float | None = condition.collision_energy
        mass_range: ValueRange | None = condition.mass_range
        tic: list[SpectrumBasedChromatogramPoint] = ms.get_tic(condition)
        bpc: list[SpectrumBasedChromatogramPoint] = ms.get_bpc(condition, TimeWindow(0.0, 10.0))
        option = ChromatogramFilterOption(condition, ValueRange(100.0, 101.0))
        xic: list[SpectrumBasedChromatogramPoint] = ms.get_xic(option)
        options: Sequence[ChromatogramFilterOption] = [option, ChromatogramFilterOption(
            condition, ValueRange(0.0, 1000.0), TimeWindow(0.0, 10.0))]
        xics: list[list[SpectrumBasedChromatogramPoint]] = ms.get_multiple_xic(options)
        own: list[list[SpectrumBasedChromatogramPoint]] = ms.get_multiple_xic(
            [Extraction(condition, ValueRange(300.0, 301.0))])
        nearest: Spectrum = ms.find_nearest_spectrum(condition, 1.0)
        xic_index: int = xic[0].index
        xic_intensity: float = xic[0].intensity

        dad: DADAnalysis = measurement.get_dad_analysis(0)
        dad_spectrum: DADSpectrum = dad.get_spectrum(0)
        dad_points: list[SpectrumPoint] = dad_spectrum.get_spectrum_points()
        dad_chromatogram: list[SpectrumBasedChromatogramPoint] = dad.get_chromatogram(ValueRange(200.0, 220.0))
        max_plot: list[SpectrumBasedChromatogramPoint] = dad.get_max_plot(ValueRange(200.0, 220.0), 5.0)

        quan: QuanAnalysis = measurement.get_quan_analysis(0)
        quan_type: QuanAnalysisTypes = quan.quan_analysis_type
        q1: float | None = quan.q1
        quan_points: list[ChromatogramPoint] = quan.chromatogram_points
        analog: AnalogAnalysis = measurement.get_analog_analysis(0)
        label: str | None = analog.description
        analog_points: list[ChromatogramPoint] = analog.chromatogram_points
        trace: list[tuple[float, float]] = [(p.retention_time, p.intensity) for p in quan_points + analog_points]

    options_root = ConvertOptions()
    qual_options: QualOptions = options_root.qual_options
    qual_options.keep_only_ms1_spectra = True
    options_root.desired_analysis_type = AnalysisTypes.QUAL | AnalysisTypes.QUAN
    options_root.quan_options.desired_quan_analysis_type = QuanAnalysisTypes.SRM
    keep_profile: bool = qual_options.keep_profile_spectra
    return dict(
        count=count, version=version, sample_name=sample_name, dilution=dilution, supplemental=supplemental,
        retention_time=retention_time, spectrum_type=spectrum_type, first_mz=first_mz, polarity=polarity,
        collision_energy=collision_energy, mass_range=mass_range, tic=tic, bpc=bpc, xics=xics, own=own,
        nearest=nearest.index, xic_index=xic_index, xic_intensity=xic_intensity, dad_points=dad_points,
        dad_chromatogram=dad_chromatogram, max_plot=max_plot, quan_type=quan_type, q1=q1, label=label,
        trace=trace, keep_profile=keep_profile, desired=options_root.desired_analysis_type)


def convert(sources: list[str], destination: str, on_progress: Callable[[float], None]) -> Future[str]:
    """Starts a conversion of only the MS1 spectra (on Windows only: the
    converter refuses to be made elsewhere)."""
    converter = WbnConverter()
    options: ConvertOptions = converter.convert_options
    options.qual_options.keep_only_ms1_spectra = True
    converter.progress_report_callback = on_progress
    return converter.convert(sources, destination, False)

"""The walk of a Zarn file through the public API that the fuzz harness and
the regression tests share.

`walk(path)` opens the file and touches everything a caller can reach:
the file's versions and measurements, every property and text of each
measurement, every analysis of every kind with its texts and properties,
spectra and profile spectra, the chromatograms (TIC, BPC, XIC, multiple
XIC, DAD chromatogram and max plot, quantitative and analog traces), the
nearest-spectrum searches and the acquisition conditions' texts, hashes and
equality. Counts taken from the file are capped, so that one input costs a
bounded amount of work.

Every step runs on its own: a documented failure (see `DOCUMENTED`) ends
that step and the walk goes on with the next; any other exception escapes
the walk, and is a defect.

`walk_compared(path)` walks the file twice, its data segments held whole
and then every one of them read as streams (the test hook that lowers the
streaming size), and raises `StreamedDiffers` unless every step gave the
same result or failed with the same error, type and message, both times.
"""

import os
import struct
import zlib

from zarn_data_access.access import ZarnFile
from zarn_data_access.common import ChromatogramPoint, SpectrumBasedChromatogramPoint, SpectrumPoint, ValueRange
from zarn_data_access.exception import ZarnException
from zarn_data_access.qual import ChromatogramFilterOption

__all__ = ["DOCUMENTED", "Failure", "StreamedDiffers", "documented", "walk", "walk_bytes", "walk_compared"]

# Caps on what one walk takes from the file.
MEASUREMENTS = 4
ANALYSES = 3  # per kind and measurement
SPECTRA = 6  # single spectra read per analysis (the first ones and the last)
CONDITIONS = 4  # acquisition conditions whose chromatograms are taken
XIC_OPTIONS = 4

MEASUREMENT_PROPERTIES = (
    "index", "hash", "sample_name", "sample_id", "acquisition_method_file_name", "dilution_factor",
    "injection_volume", "original_file_path", "instrument_product_name", "measurement_user_name", "plate_code",
    "well_code", "measurement_date_time", "instrument_manufacturer", "source_file_definition",
    "supplemental_properties")
CONDITION_PROPERTIES = (
    "ms_level", "polarity", "collision_energy", "precursor_value", "original_measured_spectrum_type",
    "precursor_range", "mass_range")
ADDITIONAL_PROPERTIES = (
    "fragmentor_voltage", "experiment_index", "dp", "event_no", "sid", "scan_filter", "function_number",
    "cone_voltage", "product_ion_mz", "precursor_ion_mz", "q1_range", "q3_range", "neutral_loss_mz",
    "neutral_gain_mz")
SPECTRUM_PROPERTIES = (
    "index", "retention_time", "supplemental_properties", "acquisition_condition", "precursor_index",
    "product_indices", "spectrum_type")
DAD_SPECTRUM_PROPERTIES = ("index", "retention_time", "supplemental_properties")
QUAN_PROPERTIES = (
    "index", "collision_energy", "compound_name", "q1", "q3", "estimated_retention_time", "extract_value",
    "extract_tolerance", "quan_analysis_type", "compound_type", "polarity", "concentration",
    "supplemental_properties")
ANALOG_PROPERTIES = ("index", "description", "supplemental_properties")


class Failure:
    """A failure that a file's contents may lawfully end a step in: an
    exception of `kind` (`exact`: of that very class, else of it or a
    subclass) whose one argument is `message` (None: any message)."""

    def __init__(self, kind, message=None, exact=False, why=""):
        self.kind, self.message, self.exact, self.why = kind, message, exact, why

    def matches(self, error):
        if not (type(error) is self.kind if self.exact else isinstance(error, self.kind)):
            return False
        return self.message is None or (len(error.args) == 1 and error.args[0] == self.message)


# What reading a malformed file may end in through the public API. Every
# other exception is a defect.
DOCUMENTED = (
    Failure(ZarnException, why="the format and reading errors, whatever value, block or header check fails; "
                               "ZarnVersionException and ZstdError among them"),
    Failure(IndexError, why="a read that starts where no byte is left, packed arrays cut short, a stored offset "
                            "or condition index past its list, a zero-filled SCIEX spectrum that runs out"),
    Failure(ValueError, why="an undefined block symbol or enumeration value (the enumeration's lookup error), "
                            "text bytes invalid in their encoding (UnicodeDecodeError), a date-time beyond "
                            "the year 9999"),
    Failure(struct.error, why="binary32 and binary64 arrays cut short"),
    Failure(Exception, "No profile spectrum", exact=True,
            why="the profile points of a spectrum whose index block stores no profile offsets"),
    Failure(Exception, "No spectrum has retention time information.", exact=True,
            why="a nearest-spectrum search over spectra none of which has a retention time (of the condition)"),
    Failure(AttributeError, "'NoneType' object has no attribute '_InternalAcquisitionCoreCondition__ms_level'",
            exact=True,
            why="a qualitative MS description that stores acquisition conditions but no core-condition list: "
                "its conditions stay unlinked, and get_qual_analysis, building the public conditions from "
                "them, reads the MS level of a core condition that is None"),
)


def documented(error):
    """Whether `error` is one of the failures of DOCUMENTED."""
    return any(failure.matches(error) for failure in DOCUMENTED)


# Told of every documented failure during a walk (see `walk`), and given
# each step's outcome (see `walk_compared`).
_report = None
_trace = None


# Results compared by their text: plain values, points and ranges, whose
# text reads nothing more from the file.
VALUES = (int, float, str, bytes, type(None), SpectrumPoint, ChromatogramPoint, SpectrumBasedChromatogramPoint,
          ValueRange)


def outcome(result):
    """What a step's result is compared by: values by their text, lists and
    dictionaries by their length and items (a long list by its ends), other
    objects by their type."""
    if isinstance(result, (list, tuple)):
        ends = list(result[:64]) + list(result[-64:]) if len(result) > 128 else list(result)
        return len(result), tuple(outcome(item) for item in ends)
    if isinstance(result, dict):
        return tuple((outcome(k), outcome(v)) for k, v in result.items())
    if isinstance(result, VALUES):
        return repr(result)
    return type(result).__name__


def attempt(step, *args):
    """step(*args), or None when it fails as documented."""
    try:
        result = step(*args)
    except Exception as error:  # noqa: BLE001 - sorted by documented()
        if not documented(error):
            raise
        if _report is not None:
            _report(error)
        if _trace is not None:
            _trace.append((type(error).__name__, error.args))
        return None
    if _trace is not None:
        _trace.append(outcome(result))
    return result


def texts(obj):
    str(obj)
    repr(obj)


def properties(obj, names):
    """Reads each property on its own; returns those that answered."""
    values = {}
    for name in names:
        if hasattr(type(obj), name):
            value = attempt(getattr, obj, name)
            if value is not None:
                values[name] = value
                attempt(texts, value)
    return values


def points_of(points):
    """Touches every point of a spectrum; returns its x values."""
    return [p.x + 0 * p.intensity for p in points]


def chromatogram(points):
    for p in points:
        (p.index, p.retention_time, p.intensity, p.x)
    return points


def trace(points):
    for p in points:
        (p.retention_time, p.intensity)
    return points


def chosen_spectra(count):
    """The positions read one by one: the first ones and the last."""
    first = list(range(min(count, SPECTRA - 1)))
    return first + ([count - 1] if count > len(first) else [])


def window(xs, fallback):
    """A range over the middle of `xs` (sorted copies), or `fallback`."""
    xs = sorted(x for x in xs if x == x)
    if not xs:
        return ValueRange(*fallback)
    low, high = xs[len(xs) // 4], xs[(3 * len(xs)) // 4]
    return ValueRange(low, high)


def walk_condition(condition, others):
    attempt(texts, condition)
    attempt(hash, condition)
    properties(condition, CONDITION_PROPERTIES)
    for other in others:
        attempt(lambda: condition == other)
        attempt(lambda: condition != other)
    extras = attempt(getattr, condition, "additional_conditions") or []
    for extra in extras:
        attempt(texts, extra)
        attempt(hash, extra)
        properties(extra, ADDITIONAL_PROPERTIES)
        for other in extras:
            attempt(lambda: extra == other)


def walk_spectrum(spectrum, names):
    attempt(texts, spectrum)
    found = properties(spectrum, names)
    xs = attempt(lambda: points_of(spectrum.get_spectrum_points())) or []
    if hasattr(spectrum, "get_profile_spectrum_points"):
        attempt(lambda: points_of(spectrum.get_profile_spectrum_points()))
    return found.get("retention_time"), xs


def walk_spectra(analysis, names, conditions=None):
    """Walks the chosen spectra of an analysis (and, given the analysis's
    conditions, each spectrum's condition against the first of them);
    returns their retention times and x values."""
    count = attempt(analysis.get_spectra_count) or 0
    times, xs = [], []
    for k in chosen_spectra(count):
        spectrum = attempt(analysis.get_spectrum, k)
        if spectrum is None:
            continue
        rt, spectrum_xs = walk_spectrum(spectrum, names)
        if isinstance(rt, float):
            times.append(rt)
        xs += spectrum_xs
        if conditions is not None:
            condition = attempt(getattr, spectrum, "acquisition_condition")
            if condition is not None:
                walk_condition(condition, conditions)
    return times, xs


def walk_qual(analysis):
    attempt(texts, analysis)
    properties(analysis, ("index", "supplemental_properties"))
    conditions = list(attempt(getattr, analysis, "unique_acquisition_conditions") or [])
    for condition in conditions[:CONDITIONS]:
        walk_condition(condition, conditions[:CONDITIONS])

    times, xs = walk_spectra(analysis, SPECTRUM_PROPERTIES, conditions[:1])
    rt_range = window(times, (0.0, 1.0))
    mz_range = window(xs, (0.0, 2000.0))
    options = []
    for condition in conditions[:CONDITIONS]:
        attempt(lambda: chromatogram(analysis.get_tic(condition)))
        attempt(lambda: chromatogram(analysis.get_bpc(condition, rt_range)))
        option = ChromatogramFilterOption(condition, mz_range)
        attempt(texts, option)
        attempt(lambda: chromatogram(analysis.get_xic(option)))
        options += [option, ChromatogramFilterOption(condition, ValueRange(0.0, 1e9), rt_range)]
        attempt(lambda: analysis.find_nearest_spectrum(condition, times[0] if times else 0.0))
    if options:
        attempt(lambda: [chromatogram(c) for c in analysis.get_multiple_xic(options[:XIC_OPTIONS])])


def walk_dad(analysis):
    attempt(texts, analysis)
    properties(analysis, ("index", "supplemental_properties"))
    times, xs = walk_spectra(analysis, DAD_SPECTRUM_PROPERTIES)
    band = window(xs, (200.0, 300.0))
    attempt(lambda: chromatogram(analysis.get_chromatogram(band)))
    attempt(lambda: chromatogram(analysis.get_max_plot(band, 2.0)))
    attempt(lambda: chromatogram(analysis.get_max_plot(ValueRange(band.min, band.min), 0.0)))
    attempt(analysis.find_nearest_spectrum, times[0] if times else 0.0)


def walk_trace(analysis, names):
    attempt(texts, analysis)
    properties(analysis, names)
    attempt(lambda: trace(analysis.chromatogram_points))


def walk_measurement(measurement):
    attempt(texts, measurement)
    properties(measurement, MEASUREMENT_PROPERTIES)
    kinds = (
        ("get_qual_analysis_count", "get_qual_analysis", walk_qual),
        ("get_dad_analysis_count", "get_dad_analysis", walk_dad),
        ("get_quan_analysis_count", "get_quan_analysis", lambda a: walk_trace(a, QUAN_PROPERTIES)),
        ("get_analog_analysis_count", "get_analog_analysis", lambda a: walk_trace(a, ANALOG_PROPERTIES)),
    )
    for count_name, get_name, walk_one in kinds:
        count = attempt(getattr(measurement, count_name)) or 0
        for j in range(min(count, ANALYSES)):
            analysis = attempt(getattr(measurement, get_name), j)
            if analysis is not None:
                walk_one(analysis)


def walk(path, report=None, trace=None):
    """Opens the file at `path` and walks it; returns normally unless an
    undocumented exception escapes. `report`, when given, is called with
    each documented failure; `trace`, a list, is given each step's
    outcome."""
    global _report, _trace
    _report, _trace = report, trace
    try:
        handle = attempt(ZarnFile, path)
        if handle is not None:
            walk_file(handle)
    finally:
        _report = _trace = None


class StreamedDiffers(Exception):
    """A step of the walk gave another result, or failed otherwise, with the
    data segments read as streams than held whole."""


def walk_compared(path, report=None):
    """Walks the file with its data segments held whole, then streamed, and
    raises StreamedDiffers at the first step whose outcomes differ."""
    from zarn_data_access._internal import _testing

    whole, streamed = [], []
    walk(path, report, whole)
    before = _testing.set_streamed_content(0)
    try:
        walk(path, trace=streamed)
    finally:
        _testing.set_streamed_content(before)
    for step, (a, b) in enumerate(zip(whole, streamed)):
        if a != b:
            raise StreamedDiffers(f"step {step}: held whole {a!r}, streamed {b!r}")
    if len(whole) != len(streamed):
        raise StreamedDiffers(f"{len(whole)} steps held whole, {len(streamed)} streamed")


def streamed_share(data):
    """Whether an input is also walked streamed: one in four, chosen by its
    bytes so that a finding replays."""
    return zlib.crc32(data) % 4 == 0


def walk_file(handle):
    with handle:
        attempt(texts, handle)
        attempt(handle.get_file_format_version)
        attempt(handle.get_converter_version)
        count = attempt(handle.get_measurement_count) or 0
        for i in range(min(count, MEASUREMENTS)):
            measurement = attempt(handle.get_measurement, i)
            if measurement is not None:
                walk_measurement(measurement)


def walk_bytes(data, path):
    """Writes `data` to `path`, walks it (compared with the streamed walk
    for a share of inputs, see `streamed_share`) and removes the file."""
    try:
        with open(path, "wb") as out:
            out.write(data)
        (walk_compared if streamed_share(data) else walk)(path)
    finally:
        if os.path.exists(path):
            os.remove(path)

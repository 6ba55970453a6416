"""The chromatograms of an MS analysis: total-ion and base-peak from the
stored totals, extracted-ion for one and for many windows, and the nearest
spectrum."""

import random
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

import zarnwriter as w
from kit.qual import chromatogram, qual_analysis, spectrum, typed
from zarn_data_access import qual as Q
from zarn_data_access.common import PolarityTypes, ValueRange
from zarn_data_access.exception import ZarnException

Option = Q.ChromatogramFilterOption

SPECTRA = [
    spectrum(1.0, [(100.0, 1.0), (200.0, 5.0), (300.0, 2.0)], ms_level=1, totals=(8.0, 200.0, 5.0)),
    spectrum(2.0, [(150.0, 4.0)], ms_level=2, collision_energy=20.0, totals=(4.0, 150.0, 4.0)),
    spectrum(None, [(100.0, 9.0)], ms_level=1, totals=(9.0, 100.0, 9.0)),
    spectrum(3.0, [(100.0, 3.0), (120.0, 3.0), (200.0, 1.0)], ms_level=1),
    spectrum(5.5, [(99.0, 1.0), (250.0, 2.0)], ms_level=1, totals=(3.0, 250.0, 2.0)),
]


@pytest.fixture
def analysis(make_reader):
    return qual_analysis(make_reader, SPECTRA)


def ms1(analysis):
    return analysis.unique_acquisition_conditions[0]


def test_tic_and_bpc(analysis):
    condition = ms1(analysis)
    assert str(condition) == "MS1"
    assert chromatogram(analysis.get_tic(condition)) == [
        typed(0, 1.0, 8.0, 200.0), typed(3, 3.0, 0, 0), typed(4, 5.5, 3.0, 250.0)]
    assert chromatogram(analysis.get_bpc(acquisition_condition=condition)) == [
        typed(0, 1.0, 5.0, 200.0), typed(3, 3.0, 0, 0), typed(4, 5.5, 2.0, 250.0)]
    assert chromatogram(analysis.get_tic(condition, ValueRange(2, 3))) == [typed(3, 3.0, 0, 0)]
    assert chromatogram(analysis.get_bpc(condition, retention_time_range=ValueRange(1.0, 5.5))) == [
        typed(0, 1.0, 5.0, 200.0), typed(3, 3.0, 0, 0), typed(4, 5.5, 2.0, 250.0)]
    assert analysis.get_tic(condition, ValueRange(6, 7)) == []


def test_conditions_match_by_value(make_reader, analysis):
    # A condition built elsewhere with equal fields.
    other = qual_analysis(make_reader, [spectrum(9.0, ms_level=2, collision_energy=20.0)])
    condition = other.unique_acquisition_conditions[0]
    assert all(condition is not c for c in analysis.unique_acquisition_conditions)
    assert chromatogram(analysis.get_tic(condition)) == [typed(1, 2.0, 4.0, 150.0)]
    for unmatched in (None, "MS1", other.get_spectrum(0).acquisition_condition.additional_conditions):
        assert analysis.get_tic(unmatched) == [] and analysis.get_bpc(unmatched) == []


def test_stored_condition_list(make_reader):
    qual = w.qual_description(
        unique_acquisition_core_condition_list=[w.core_condition(ms_level=1), w.core_condition(ms_level=2)],
        unique_acquisition_condition_list=[w.acquisition_condition(internal_acquisition_core_condition_index=0),
                                           w.acquisition_condition(internal_acquisition_core_condition_index=1)])
    spectra = [spectrum(1.0, [(100.0, 1.0)], acquisition_condition_index=0, totals=(1.0, 100.0, 1.0)),
               spectrum(2.0, [(100.0, 2.0)], acquisition_condition_index=1, totals=(2.0, 100.0, 2.0)),
               spectrum(3.0, [(100.0, 3.0)], acquisition_condition_index=0, totals=(3.0, 100.0, 3.0))]
    analysis = qual_analysis(make_reader, spectra, qual=qual)
    ms1_, ms2_ = analysis.unique_acquisition_conditions
    assert [p.index for p in analysis.get_tic(ms1_)] == [0, 2]
    assert [p.index for p in analysis.get_bpc(ms2_)] == [1]
    xic = analysis.get_xic(Option(ms1_, ValueRange(99.0, 101.0)))
    assert chromatogram(xic) == [typed(0, 1.0, 1.0, 100.0), typed(2, 3.0, 3.0, 100.0)]
    assert analysis.find_nearest_spectrum(ms2_, 0.0).index == 1


def test_a_condition_without_fields_fails_to_compare(analysis):
    with pytest.raises(AttributeError):
        analysis.get_tic(Q.AcquisitionCondition(None))


def test_retention_time_range_of_another_kind(analysis):
    class Window:
        def __init__(self):
            self.seen = []

        def contains_value(self, value):
            self.seen.append(value)
            return value > 2

    window = Window()
    assert [p.index for p in analysis.get_tic(ms1(analysis), window)] == [3, 4]
    assert window.seen == [1.0, 3.0, 5.5]


def test_a_range_that_reads_the_analysis_again(analysis):
    # The walk goes on over the spectra it started with.
    class Window:
        min, max = 0, 10

        def contains_value(self, value):
            analysis._QualAnalysis__read()
            return True

    assert [p.index for p in analysis.get_tic(ms1(analysis), Window())] == [0, 3, 4]
    assert [len(r) for r in analysis.get_multiple_xic([Option(ms1(analysis), ValueRange(0, 1), Window())])] == [3]


# --- extracted-ion chromatograms ----------------------------------------------------------

def test_xic_window(analysis):
    condition = ms1(analysis)
    result = analysis.get_xic(Option(condition, ValueRange(100.0, 200.0)))
    # Both bounds count; equal highest intensities keep the first m/z; a window
    # without points still gives a point.
    assert chromatogram(result) == [typed(0, 1.0, 6.0, 200.0), typed(3, 3.0, 7.0, 100.0), typed(4, 5.5, 0.0, 0.0)]
    assert chromatogram(analysis.get_xic(chromatogram_filter_option=Option(condition, ValueRange(101, 119),
                                                                           ValueRange(2.5, 3.0)))) == [
        typed(3, 3.0, 0.0, 0.0)]


def test_xic_scan_stops_at_the_first_point_above_the_window(make_reader):
    analysis = qual_analysis(make_reader, [spectrum(1.0, [(100.0, 1.0), (300.0, 2.0), (150.0, 4.0), (50.0, 8.0)])])
    result = analysis.get_xic(Option(ms1(analysis), ValueRange(100, 200)))
    assert chromatogram(result) == [typed(0, 1.0, 1.0, 100.0)]
    result = analysis.get_xic(Option(ms1(analysis), ValueRange(120, 400)))
    assert chromatogram(result) == [typed(0, 1.0, 6.0, 150.0)]


def test_xic_of_integer_intensities_is_a_float_sum(make_reader):
    block = w.spectrum_block(w.spectrum_efficient(2, [100.0, 101.0, 102.0], [3, 2**31 - 1, 2**31 - 1]))
    analysis = qual_analysis(make_reader, [(w.spectrum_description(retention_time=1.0), block)])
    result = analysis.get_xic(Option(ms1(analysis), ValueRange(99, 102)))
    assert chromatogram(result) == [typed(0, 1.0, float(3 + 2 * (2**31 - 1)), 101.0)]


def test_multiple_windows_in_one_pass(analysis):
    condition = ms1(analysis)
    first = ValueRange(1, 2)
    second = ValueRange(5, 6)
    a = Option(condition, ValueRange(0, 1000), first)
    b = Option(condition, ValueRange(0, 1000), second)
    both = analysis.get_multiple_xic([a, b])
    assert [chromatogram(r) for r in both] == [chromatogram(analysis.get_xic(a)), chromatogram(analysis.get_xic(b))]
    assert [[p.index for p in r] for r in both] == [[0], [4]]
    assert (first.min, first.max, second.min, second.max) == (1, 2, 5, 6)


@pytest.mark.parametrize("order", [0, 1])
def test_an_option_without_range_lifts_the_time_filter(analysis, order):
    condition = ms1(analysis)
    options = [Option(condition, ValueRange(0, 1000), ValueRange(5, 6)), Option(condition, ValueRange(0, 1000))]
    if order:
        options.reverse()
    result = analysis.get_multiple_xic(chromatogram_filter_options=options)
    indices = [[p.index for p in r] for r in result]
    assert indices == ([[4], [0, 3, 4]] if order == 0 else [[0, 3, 4], [4]])


@pytest.mark.parametrize("order", [0, 1])
def test_a_nan_bound_shuts_out_only_its_own_option(analysis, order):
    """An option whose time range has a NaN bound takes no spectrum; the
    other options give what they give alone, whichever comes first."""
    condition = ms1(analysis)
    nan = Option(condition, ValueRange(0, 1000), ValueRange(float("nan"), 10.0))
    plain = Option(condition, ValueRange(0, 1000), ValueRange(0.0, 5.0))
    options = [nan, plain][::1 if order == 0 else -1]
    result = {id(o): [p.index for p in r] for o, r in zip(options, analysis.get_multiple_xic(options))}
    assert result == {id(nan): [], id(plain): [0, 3]}
    assert [p.index for p in analysis.get_xic(plain)] == [0, 3]


def test_the_same_option_twice(analysis):
    option = Option(ms1(analysis), ValueRange(100, 150))
    first, second = analysis.get_multiple_xic((option, option))
    assert chromatogram(first) == chromatogram(second) and first is not second


def test_options_of_several_conditions(analysis):
    ms2 = analysis.unique_acquisition_conditions[1]
    result = analysis.get_multiple_xic([Option(ms2, ValueRange(100, 200)), Option(ms1(analysis), ValueRange(0, 99))])
    assert [chromatogram(r) for r in result] == [[typed(1, 2.0, 4.0, 150.0)],
                                                 [typed(0, 1.0, 0.0, 0.0), typed(3, 3.0, 0.0, 0.0),
                                                  typed(4, 5.5, 1.0, 99.0)]]


def test_options_sharing_conditions(make_reader, analysis):
    # Options of one condition object, of an equal object from elsewhere and
    # of another condition, interleaved: each gives what it gives alone.
    equal = qual_analysis(make_reader, SPECTRA).unique_acquisition_conditions[0]
    ms2 = analysis.unique_acquisition_conditions[1]
    options = [Option(c, ValueRange(lo, hi)) for c, lo, hi in
               [(ms1(analysis), 100, 200), (ms2, 100, 200), (equal, 99, 120), (ms1(analysis), 0, 1000)]]
    result = analysis.get_multiple_xic(options)
    assert [chromatogram(r) for r in result] == [chromatogram(analysis.get_xic(o)) for o in options]
    assert [[p.index for p in r] for r in result] == [[0, 3, 4], [1], [0, 3, 4], [0, 3, 4]]


def test_a_condition_changed_while_the_options_are_walked(analysis):
    # The second option sees the condition the spectrum holds when it comes.
    ms2 = analysis.unique_acquisition_conditions[1]

    class Window:
        min, max = 0, 10

        def contains_value(self, value):
            if value == 3.0:
                description = analysis.get_spectrum(3)._Spectrum__spectrum_index._SpectrumIndex__spectrum_description
                description._InternalSpectrumDescription__acquisition_condition = ms2
            return True

    condition = ms1(analysis)
    result = analysis.get_multiple_xic([Option(condition, ValueRange(0, 1000), Window()),
                                        Option(condition, ValueRange(0, 1000))])
    assert [[p.index for p in r] for r in result] == [[0, 3, 4], [0, 4]]


def test_only_the_spectra_wanted_are_read(make_reader):
    broken = w.symbol(w.END_OF_SPECTRUM)
    spectra = [spectrum(1.0, [(100.0, 1.0)]),
               (w.spectrum_description(), broken),
               (w.spectrum_description(retention_time=2.0, ms_level=2), broken),
               (w.spectrum_description(retention_time=9.0), broken)]
    analysis = qual_analysis(make_reader, spectra)
    option = Option(ms1(analysis), ValueRange(0, 200), ValueRange(0, 5))
    assert chromatogram(analysis.get_xic(option)) == [typed(0, 1.0, 1.0, 100.0)]
    option.retention_time_range = None
    with pytest.raises(ZarnException, match="^Zarn symbol error$"):
        analysis.get_xic(option)


@pytest.mark.parametrize("call, message", [
    (lambda a, c: a.get_xic(None), "chromatogram_filter_option is null"),
    (lambda a, c: a.get_multiple_xic(None), "chromatogram_filter_options is null or empty"),
    (lambda a, c: a.get_multiple_xic([]), "chromatogram_filter_options is null or empty"),
    (lambda a, c: a.get_multiple_xic([None]), "element of chromatogram_filter_options should not be null"),
    (lambda a, c: a.get_multiple_xic([Option(c, ValueRange(1, 2)), None]),
     "element of chromatogram_filter_options should not be null"),
    (lambda a, c: a.get_xic(Option(None, ValueRange(1, 2))), "acquisition_condition should not be null"),
    (lambda a, c: a.get_xic(Option(c, None)), "extract_mz_range should not be null"),
    (lambda a, c: a.find_nearest_spectrum(None, 1.0), "No spectrum has retention time information."),
])
def test_refused_requests(analysis, call, message):
    with pytest.raises(Exception) as caught:
        call(analysis, ms1(analysis))
    assert type(caught.value) is Exception and caught.value.args == (message,)


def test_unhashable_condition_is_refused_by_the_set(analysis):
    with pytest.raises(TypeError):
        analysis.get_xic(Option([], ValueRange(1, 2)))


def walk(points, low, high):
    """The extraction as the scan describes it, over (x, intensity) pairs."""
    peak, base, total = -sys.float_info.max, 0.0, 0.0
    for x, y in points:
        if x < low:
            continue
        if x > high:
            break
        total += y
        if peak < y:
            peak, base = y, x
    return total, base


@pytest.mark.parametrize("seed", range(4))
def test_windows_agree_with_the_plain_walk(make_reader, seed):
    rng = random.Random(seed)
    spectra, expected_points = [], []
    for i in range(12):
        xs = [round(rng.uniform(100, 200), 1) for _ in range(rng.randrange(0, 30))]
        if i % 3:
            xs.sort()
        ys = [float(rng.randrange(0, 5)) for _ in xs]
        spectra.append(spectrum(float(i), list(zip(xs, ys))))
        expected_points.append(list(zip(xs, ys)))
    analysis = qual_analysis(make_reader, spectra)
    windows = [(rng.choice([100, 120.5, 150]), rng.choice([130, 150.0, 199.9, 90])) for _ in range(8)]
    result = analysis.get_multiple_xic([Option(ms1(analysis), ValueRange(lo, hi)) for lo, hi in windows])
    for (lo, hi), points in zip(windows, result):
        assert [(p.intensity, p.x) for p in points] == [walk(e, lo, hi) for e in expected_points]


# --- nearest spectrum -------------------------------------------------------------------------

@pytest.mark.parametrize("time, index", [
    (0.0, 0), (2.0, 0), (4.2, 3), (4.25, 3), (100, 4), (True, 0),
    # Neither a float nor an int: the distance is the interpreter's.
    (Fraction(21, 5), 3), (Fraction(17, 4), 3), (Fraction(-7), 0)])
def test_nearest_spectrum(analysis, time, index):
    found = analysis.find_nearest_spectrum(ms1(analysis), time)
    assert type(found) is Q.Spectrum and found.index == index
    assert found._Spectrum__spectrum_points is None


def test_nearest_spectrum_of_a_condition(analysis):
    ms2 = analysis.unique_acquisition_conditions[1]
    assert analysis.find_nearest_spectrum(acquisition_condition=ms2, retention_time=100.0).index == 1


@pytest.mark.parametrize("time, error, message", [
    (float("nan"), Exception, "^No spectrum has retention time information.$"),
    (Decimal(1), TypeError, "unsupported operand"),
])
def test_nearest_spectrum_to_a_time_that_measures_no_distance(analysis, time, error, message):
    with pytest.raises(error, match=message):
        analysis.find_nearest_spectrum(ms1(analysis), time)


def test_nearest_spectrum_without_times(make_reader):
    analysis = qual_analysis(make_reader, [spectrum(None, polarity=PolarityTypes.POSITIVE)])
    with pytest.raises(Exception, match="^No spectrum has retention time information.$"):
        analysis.find_nearest_spectrum(analysis.unique_acquisition_conditions[0], 1.0)


def test_the_order_in_which_the_caller_is_asked(analysis):
    # The options, their fields and the bounds of their ranges are the
    # caller's objects; each is asked once, in a fixed order, and an option
    # made afresh by the sequence is dropped once it is read.
    log = []

    class Bound(float):
        def __lt__(self, other):
            log.append(f"{self:g} < {other:g}")
            return float(self) < float(other)

        def __gt__(self, other):
            log.append(f"{self:g} > {other:g}")
            return float(self) > float(other)

    class Range:
        def __init__(self, low, high):
            self.low, self.high = low, high

        @property
        def min(self):
            log.append(f"min {self.low:g}")
            return Bound(self.low)

        @property
        def max(self):
            log.append(f"max {self.high:g}")
            return Bound(self.high)

        def contains_value(self, value):
            log.append(f"contains {value:g}")
            return self.low <= value <= self.high

    condition = ms1(analysis)

    class Option:
        def __init__(self, k, low, high):
            self.k, self.range = k, Range(low, high)

        def __del__(self):
            log.append(f"drop {self.k}")

        def __getattr__(self, name):
            log.append(f"{name} {self.k}")
            if name == "acquisition_condition":
                return condition
            return Range(0, 1000) if name == "extract_mz_range" else self.range

    class Options:
        def __len__(self):
            log.append("len")
            return 2

        def __getitem__(self, k):
            log.append(f"item {k}")
            return Option(k, *[(0.5, 3.5), (2.5, 9.0)][k])

    result = analysis.get_multiple_xic(Options())
    assert [[p.index for p in r] for r in result] == [[0, 3], [3, 4]]
    read = ["acquisition_condition", "extract_mz_range", "retention_time_range"]
    assert log[:18] == [
        "len", "len",
        "item 0", *[f"{name} 0" for name in read], "min 0.5", "max 3.5", "drop 0",
        "item 1", *[f"{name} 1" for name in read], "min 2.5", "max 9", "drop 1",
        # The combined range: the least low, the greatest high.
        "2.5 < 0.5", "9 > 3.5"]
    # Each chosen spectrum is offered to the options in turn; an option reads
    # its m/z window at the first spectrum it takes.
    assert [entry for entry in log[18:] if " < " not in entry and " > " not in entry] == [
        "contains 1", "min 0", "max 1000", "contains 1",
        "contains 3", "contains 3", "min 0", "max 1000",
        "contains 5.5", "contains 5.5"]

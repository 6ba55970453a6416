"""Extracted-ion windows over spectra of every shape, checked against the
plain scan over the points that get_spectrum_points() gives for the same
spectra: descending and NaN m/z, integer and float intensities mixed in one
spectrum, windows that overlap, repeat, reach the spectrum's end or hold no
point, and bounds of every native kind. The first spectrum an extraction
reads tells it the options' windows; the spectra after it are read with the
windows known, so every case below covers both."""

import math
import random
import struct
import sys

import pytest

import zarnwriter as w
from kit.qual import qual_analysis
from zarn_data_access import qual as Q
from zarn_data_access.common import ValueRange

Option = Q.ChromatogramFilterOption
NAN = float("nan")


def f32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]


def scan(points, low, high):
    """The window's (sum, base m/z) as the scan describes it."""
    peak, base, total = -sys.float_info.max, 0.0, 0.0
    for p in points:
        if low > p.x:
            continue
        if high < p.x:
            break
        total += p.intensity
        if peak < p.intensity:
            peak, base = p.intensity, p.x
    return total, base


def same(a, b):
    """Equal values of one type, NaN equal to NaN."""
    if type(a) is not type(b):
        return False
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def segment(rng, kind, xs):
    """One segment of `kind` over the m/z values `xs` (any order)."""
    n = len(xs)
    if kind == "ints":  # binary32 m/z, int32 intensities kept as integers
        ys = [rng.choice([0, 1, 7, -3, 2**31 - 1, -(2**31)]) for _ in xs]
        return w.spectrum_efficient(2, [f32(x) for x in xs], ys)
    if kind == "deltas":  # delta-coded m/z scaled by 10**3, int32 intensities
        scaled = [round(x * 1000) for x in xs]
        ys = [rng.randrange(-5, 2**31) for _ in xs]
        return w.spectrum_efficient(0, w.deltas(scaled), ys, mz_power=3)
    if kind == "wide":  # int64 intensities as floats, one beyond 2**53
        ys = [rng.choice([2**62 + 1, 5, -(2**60)]) for _ in xs]
        return w.spectrum_efficient(3, [f32(x) for x in xs], ys)
    # doubles, with huge and NaN intensities
    ys = [rng.choice([1e17, 3.0, -0.0, 0.5, NAN]) if rng.random() < 0.3 else float(rng.randrange(9)) for _ in xs]
    return w.spectrum_double(xs, ys, num_points=n)


def spectra_of(rng, count, shape):
    out = []
    for i in range(count):
        kinds = rng.sample(["ints", "deltas", "wide", "doubles"], rng.randrange(1, 4))
        segments = []
        last = 100.0
        for kind in kinds:
            n = rng.randrange(0, 40)
            xs = [round(last + rng.uniform(0, 120), 3) for _ in range(n)]
            # Points on the windows' bounds, which count.
            xs += rng.sample(BOUNDS, rng.randrange(0, 3))
            xs.sort()
            if shape == "descending" and xs and rng.random() < 0.5:
                xs.reverse()
            if shape == "nan" and kind == "doubles" and xs:
                xs[rng.randrange(len(xs))] = NAN
            if xs:
                last = max((x for x in xs if x == x), default=last)
            segments.append(segment(rng, kind, xs))
        out.append((w.spectrum_description(retention_time=float(i)), w.spectrum_block(*segments)))
    return out


WINDOWS = [
    (150.0, 200.0), (150.0, 200.0),  # the same window twice
    (100, 160), (120.5, 400.0),  # overlapping, integer bounds
    (0.0, 1e9),  # the whole spectrum: no scan ends before its last point
    (300.0, 300.0), (250.0, 120.0),  # a point's width; min above max
    (1e6, 2e6), (-5.0, 50.0),  # beyond the last point; below the first
    (NAN, 200.0), (150.0, NAN),  # NaN bounds, which compare false
    (2**60, 2**62), (-(2**62), 2**53 + 1),  # integers beyond 2**53
]


BOUNDS = [100.0, 120.5, 150.0, 160.0, 200.0, 300.0, 400.0]


@pytest.mark.parametrize("shape", ["ascending", "descending", "nan"])
@pytest.mark.parametrize("seed", range(3))
def test_windows_agree_with_the_scan_over_the_points(make_reader, shape, seed):
    rng = random.Random(f"{shape}{seed}")
    analysis = qual_analysis(make_reader, spectra_of(rng, 10, shape))
    condition = analysis.unique_acquisition_conditions[0]
    windows = WINDOWS + [tuple(sorted((round(rng.uniform(90, 500), 1), round(rng.uniform(90, 500), 1))))
                         for _ in range(6)]
    # All windows in one pass, and each alone, where no other window keeps
    # the scan going.
    result = analysis.get_multiple_xic([Option(condition, ValueRange(lo, hi)) for lo, hi in windows])
    alone = [analysis.get_xic(Option(condition, ValueRange(lo, hi))) for lo, hi in windows]
    points = [analysis.get_spectrum(i).get_spectrum_points() for i in range(analysis.get_spectra_count())]
    for (lo, hi), chromatogram in zip(windows + windows, result + alone):
        expected = [scan(p, lo, hi) for p in points]
        got = [(c.intensity, c.x) for c in chromatogram]
        assert all(same(a, b) and same(c, d) for (a, c), (b, d) in zip(got, expected)), (lo, hi)
        assert len(got) == len(expected)


def test_float_sums_of_integer_intensities_round_in_point_order(make_reader):
    # 1e17 + 3 rounds back to 1e17 in a float: the sum is taken point by
    # point as floats, not as an exact integer total turned into a float.
    block = w.spectrum_block(w.spectrum_double([100.0], [1e17]), w.spectrum_efficient(2, [101.0] * 5, [3] * 5))
    analysis = qual_analysis(make_reader, [(w.spectrum_description(retention_time=float(i)), block) for i in range(3)])
    condition = analysis.unique_acquisition_conditions[0]
    result = analysis.get_xic(Option(condition, ValueRange(0.0, 200.0)))
    assert [(type(p.intensity), p.intensity, p.x) for p in result] == [(float, 1e17, 100.0)] * 3


@pytest.mark.parametrize("broken, message", [
    (w.spectrum_efficient(9, [1.0], [1], layout=w.SPECTRUM_OPTIONS[2]),
     "Spectrum compression option is not correct. Value = 9"),
    (w.spectrum_efficient(2, [1.0, 2.0], [1], num_points=2), "index out of range"),
])
def test_a_fault_after_every_window_has_ended_still_fails(make_reader, broken, message):
    # Every window ends within the first segment; the segment after it is
    # read and checked all the same.
    good = w.spectrum_efficient(2, [100.0, 200.0, 300.0], [1, 2, 3])
    spectra = [(w.spectrum_description(retention_time=0.0), w.spectrum_block(good)),
               (w.spectrum_description(retention_time=1.0), w.spectrum_block(good, broken))]
    analysis = qual_analysis(make_reader, spectra)
    with pytest.raises(Exception) as expected:
        analysis.get_spectrum(1).get_spectrum_points()
    condition = analysis.unique_acquisition_conditions[0]
    with pytest.raises(type(expected.value), match=message):
        analysis.get_xic(Option(condition, ValueRange(90.0, 150.0)))


def test_the_reader_ends_where_a_full_read_ends(make_reader):
    block = w.spectrum_block(w.spectrum_efficient(2, [100.0, 200.0], [1, 2]), w.spectrum_double([300.0], [4.0]))
    analysis = qual_analysis(make_reader, [(w.spectrum_description(retention_time=float(i)), block)
                                           for i in range(3)])
    reader = analysis._QualAnalysis__reader
    analysis.get_spectrum(2).get_spectrum_points()
    after_points = reader._KxmFileReader__local_position, reader._KxmFileReader__origin_of_local_position
    condition = analysis.unique_acquisition_conditions[0]
    analysis.get_xic(Option(condition, ValueRange(0.0, 150.0)))
    assert (reader._KxmFileReader__local_position, reader._KxmFileReader__origin_of_local_position) == after_points


def test_bounds_of_the_caller_are_asked_point_by_point_in_every_spectrum(make_reader):
    # One option's bounds compare themselves; the other's are plain floats.
    # The caller's bounds are asked exactly as the scan over each spectrum's
    # points asks them, spectrum after spectrum, option after option.
    log = []

    class Bound(float):
        def __gt__(self, other):
            log.append(("min", other))
            return float(self) > other

        def __lt__(self, other):
            log.append(("max", other))
            return float(self) < other

    rng = random.Random(5)
    spectra = spectra_of(rng, 6, "descending")
    analysis = qual_analysis(make_reader, spectra)
    points = [analysis.get_spectrum(i).get_spectrum_points() for i in range(analysis.get_spectra_count())]
    condition = analysis.unique_acquisition_conditions[0]
    plain = Option(condition, ValueRange(120.0, 180.0))
    own = Option(condition, ValueRange(Bound(130.0), Bound(200.0)))
    result = analysis.get_multiple_xic([plain, own, plain])

    expected_log = []
    for spectrum_points in points:
        for p in spectrum_points:
            expected_log.append(("min", p.x))
            if 130.0 > p.x:
                continue
            expected_log.append(("max", p.x))
            if 200.0 < p.x:
                break
    assert log == expected_log
    for (lo, hi), chromatogram in zip([(120.0, 180.0), (130.0, 200.0), (120.0, 180.0)], result):
        expected = [scan(p, lo, hi) for p in points]
        assert [(c.intensity, c.x) for c in chromatogram] == expected


def logged_window(log, low, high):
    """An m/z range of the caller's own class that logs each read of a bound."""

    class Window(ValueRange):
        @property
        def min(self):
            log.append("min")
            return low

        @property
        def max(self):
            log.append("max")
            return high

    return Window(0.0, 1.0)


def test_a_range_of_the_caller_is_read_once_per_option(make_reader):
    # The window's bounds are read at the first spectrum the option takes,
    # once, however many spectra follow.
    reads = []
    rng = random.Random(7)
    analysis = qual_analysis(make_reader, spectra_of(rng, 8, "ascending"))
    condition = analysis.unique_acquisition_conditions[0]
    options = [Option(condition, logged_window(reads, 150.0, 300.0)), Option(condition, ValueRange(150.0, 300.0))]
    result = analysis.get_multiple_xic(options)
    assert reads == ["min", "max"]
    points = [analysis.get_spectrum(i).get_spectrum_points() for i in range(analysis.get_spectra_count())]
    expected = [scan(p, 150.0, 300.0) for p in points]
    assert [[(c.intensity, c.x) for c in r] for r in result] == [expected, expected]


@pytest.mark.parametrize("broken", [0, 1])
def test_a_spectrum_that_fails_does_so_before_the_caller_is_asked(make_reader, broken):
    # The retention-time range and the m/z range are the caller's; a
    # spectrum that cannot be read fails before either is asked about it.
    log = []

    class Times(ValueRange):
        def contains_value(self, value):
            log.append(("contains", value))
            return True

    good = w.spectrum_block(w.spectrum_efficient(2, [100.0, 200.0], [1, 2]))
    bad = w.spectrum_block(w.spectrum_efficient(9, [1.0], [1], layout=w.SPECTRUM_OPTIONS[2]))
    blocks = [good, good]
    blocks[broken] = bad
    analysis = qual_analysis(make_reader, [(w.spectrum_description(retention_time=float(i)), b)
                                           for i, b in enumerate(blocks)])
    condition = analysis.unique_acquisition_conditions[0]
    with pytest.raises(Exception, match="Spectrum compression option is not correct. Value = 9"):
        analysis.get_xic(Option(condition, logged_window(log, 0.0, 1000.0), Times(0.0, 10.0)))
    # The first spectrum is asked about only when it can be read.
    assert log == ([] if broken == 0 else [("contains", 0.0), "min", "max"])

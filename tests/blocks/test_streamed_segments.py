"""Data segments above the streaming size are read as streams instead of
being held whole: every segment kind gives the points, and every damaged
segment the error, that the whole-segment decode gives. The test hook
lowers the streaming size so that small files take the streamed path; one
segment above the real size shows the real path."""

import random

import pytest

import zarnwriter as w
from kit.blocks import TAIL, chromatogram_points, f32, points
from kit.qual import dad_analysis, qual_analysis
from kit.reader import call, pos
from zarn_data_access import qual as Q
from zarn_data_access._internal import _testing
from zarn_data_access.common import ValueRange

N = 3000
COEFFICIENTS = [1e-3, 0.5, 1e-9, -1e-12, 1e-15, 0.0, 0.0, 0.0, 0.0, 1e6]


@pytest.fixture
def streamed():
    """streamed(f) runs f() with every data segment streamed."""
    def run(f):
        before = _testing.set_streamed_content(0)
        try:
            return f()
        finally:
            _testing.set_streamed_content(before)
    return run


def ints(rng, n, bits=31):
    return [rng.randrange(-(2**bits), 2**bits) for _ in range(n)]


def deltas(rng, n, top=60):
    return [rng.randrange(1, top) for _ in range(n)]


def spectrum_segment(kind, rng):
    n = N
    mz = sorted(rng.uniform(100.0, 1500.0) for _ in range(n))
    ys = [float(rng.randrange(0, 10**6)) for _ in range(n)]
    name, _, option = kind.rpartition("-")
    o = int(option) if option.isdigit() else None
    name = name if o is not None else kind
    if name == "zstd":
        return w.spectrum_zstd(mz, ys)
    if name == "double":
        return w.spectrum_double(mz, ys)
    if name == "mz-coefficients":
        return w.spectrum_mz_coefficients(1e-6, 1e-3, 100.0, deltas(rng, n), ys)
    if name == "sciex":
        return w.spectrum_sciex(1e-4, 3.0, 0.5, deltas(rng, n), ys)
    if name == "efficient":
        xs = [f32(x) for x in mz] if o in (2, 3) else deltas(rng, n)
        return w.spectrum_efficient(o, xs, ints(rng, n, 63 if o % 2 else 31), mz_power=3, intensity_power=2)
    if name == "mz-efficient":
        return w.spectrum_mz_efficient(o, 1e-6, 1e-3, 100.0, deltas(rng, n), ints(rng, n, 63 if o % 2 else 31),
                                       intensity_power=4)
    if name == "sciex-efficient":
        return w.spectrum_sciex_efficient(o, 1e-4, 3.0, 0.5, deltas(rng, n), ints(rng, n, 63 if o % 2 else 31),
                                          intensity_power=3, min_index_diff=30)
    return w.spectrum_agilent(o, COEFFICIENTS, deltas(rng, n), ints(rng, n, 63 if o else 31), index_power=3,
                              intensity_power=2, t0=7, min_diff=3)


SPECTRUM_KINDS = ["zstd", "double", "mz-coefficients", "sciex", *[f"efficient-{o}" for o in range(8)],
                  *[f"mz-efficient-{o}" for o in range(4)], *[f"sciex-efficient-{o}" for o in range(8)],
                  "agilent-0", "agilent-1"]


@pytest.mark.parametrize("kind", SPECTRUM_KINDS)
def test_a_streamed_spectrum_segment_gives_the_whole_decode(make_reader, streamed, kind):
    segment = spectrum_segment(kind, random.Random(kind))
    data = w.spectrum_block(segment, w.spectrum_plain([1.0], [2.0]), segment)

    def read():
        r = make_reader(data + TAIL)
        result = points(call(r, "read_spectrum"))
        assert pos(r) == len(data) and call(r, "read_bool") is True
        return result

    whole = read()
    assert len(whole) > 2 * N
    assert streamed(read) == whole


def chromatogram_segment(kind, rng):
    n = N
    rts = sorted(rng.uniform(0.0, 60.0) for _ in range(n))
    if kind == "zstd":
        return w.chromatogram_zstd(rts, [float(rng.randrange(10**6)) for _ in range(n)])
    o = int(kind.rpartition("-")[2])
    xs = [f32(t) for t in rts] if o in (2, 3) else deltas(rng, n)
    return w.chromatogram_efficient(o, xs, ints(rng, n, 63 if o in (1, 3, 6, 8) else 30), rt_power=3,
                                    intensity_power=2)


@pytest.mark.parametrize("kind", ["zstd", *[f"efficient-{o}" for o in range(10)]])
def test_a_streamed_chromatogram_segment_gives_the_whole_decode(make_reader, streamed, kind):
    data = w.chromatogram_block(chromatogram_segment(kind, random.Random(kind)))
    read = lambda: chromatogram_points(call(make_reader(data), "read_chromatogram"))  # noqa: E731
    whole = read()
    assert len(whole) == N
    assert streamed(read) == whole


@pytest.mark.parametrize("segment", [
    w.dad_plain([float(k % 17) for k in range(N)]),
    *[w.dad_efficient(o, [k * 7919 % 100003 - 5 for k in range(N)], intensity_power=2) for o in range(4)],
], ids=["plain", *[f"efficient-{o}" for o in range(4)]])
def test_streamed_dad_segments_give_the_whole_decode(make_reader, streamed, segment):
    data = w.spectrum_block(segment, segment)
    axis = [200.0 + k for k in range(N + 10)]
    for method, args in (("read_dad_spectrum", (axis,)), ("read_dad_spectrum", (axis[:5],)),
                         ("get_dad_intensities", ())):
        block = data if method == "read_dad_spectrum" else segment
        read = lambda: points(call(make_reader(block), method, *args)) if args else \
            call(make_reader(block), method)  # noqa: E731
        assert streamed(read) == read()


# Damaged segments fail with the same error whether held whole or streamed.
DAMAGED = [
    w.spectrum_zstd([1.0, 2.0], [3.0, 4.0], num_points=3),
    w.spectrum_efficient(0, [1, 2], [3, 4], num_points=3),
    w.spectrum_efficient(3, [1.0, 2.0], [3, 4], num_points=3),
    w.compressed(w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION, w.efficient_spectrum_content(
        0, [1], [1], layout=("uint16", "packed32", "packed32"))[:3]),
    w.compressed(w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION, w.tiny_uint(9) + w.int32(1)),
    w.spectrum_mz_efficient(5, 1.0, 0.0, 0.0, [1], [1]),
    w.spectrum_mz_efficient(0, 1.0, 0.0, 0.0, [1, 2], [1], num_points=2),
    w.spectrum_sciex_efficient(0, 1.0, 0.0, 0.0, [1, 50], [1, 2], original_num_points=2, min_index_diff=3),
    w.spectrum_sciex_efficient(0, 1.0, 0.0, 0.0, [1, 50], [1, 2], original_num_points=100, min_index_diff=3),
    w.spectrum_sciex_efficient(4, 1.0, 0.0, 0.0, [], [], original_num_points=2),
    w.spectrum_agilent(2, COEFFICIENTS, [1], [1]),
    w.compressed(w.SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION,
                 w.agilent_content(0, COEFFICIENTS, [1, 2], [1, 2])[:60]),
    w.symbol(w.SPECTRUM_ZSTD_COMPRESSION) + w.compressed_segment(frame=w.zstd_frame(bytes(5000))[:-4]),
    w.symbol(w.SPECTRUM_ZSTD_COMPRESSION) + w.compressed_segment(
        frame=w.zstd_frame(w.float_pairs_content([1.0], [2.0]), content_size=False) + b"junk"),
]


def failure(f):
    try:
        f()
    except Exception as e:  # noqa: BLE001 - the error is what is compared
        return type(e), e.args
    return None


@pytest.mark.parametrize("segment", DAMAGED, ids=range(len(DAMAGED)))
def test_a_damaged_segment_fails_alike_streamed_or_whole(make_reader, streamed, segment):
    data = w.spectrum_block(segment)
    read = lambda: failure(lambda: call(make_reader(data), "read_spectrum"))  # noqa: E731
    whole = read()
    assert whole is not None
    assert streamed(read) == whole


def test_walks_over_streamed_segments_give_the_whole_decode(make_reader, streamed):
    rng = random.Random(3)
    spectra = []
    for k in range(6):
        mz = sorted(rng.uniform(100.0, 1500.0) for _ in range(N))
        ys = [float(rng.randrange(10**5)) for _ in range(N)]
        segment = w.spectrum_zstd(mz, ys) if k % 2 else w.spectrum_efficient(
            4, w.deltas([round(x * 1000) for x in mz]), [int(y) for y in ys], mz_power=3, intensity_power=1)
        spectra.append((w.spectrum_description(retention_time=float(k + 1)), w.spectrum_block(segment)))
    dad = [(w.spectrum_description(retention_time=float(k + 1)),
            w.spectrum_block(w.dad_efficient(2, [(k * 31 + j * 7) % 1000 for j in range(N)], intensity_power=1)))
           for k in range(6)]
    axis = [200.0 + 0.1 * j for j in range(50)]

    def walks():
        analysis = qual_analysis(make_reader, spectra)
        condition = analysis.unique_acquisition_conditions[0]
        options = [Q.ChromatogramFilterOption(condition, ValueRange(lo, hi))
                   for lo, hi in ((150.0, 160.0), (700.0, 900.0), (1400.0, 2000.0))]
        xics = [[(p.retention_time, p.intensity, p.x) for p in c] for c in analysis.get_multiple_xic(options)]
        points_of = [points(analysis.get_spectrum(i).get_spectrum_points()) for i in range(len(spectra))]
        d = dad_analysis(make_reader, dad, wavelengths=axis)
        band = [(p.retention_time, p.intensity, p.x) for p in d.get_chromatogram(ValueRange(201.0, 203.0))]
        plot = [(p.retention_time, p.intensity, p.x) for p in d.get_max_plot(ValueRange(201.0, 203.0), 0.5)]
        return xics, points_of, band, plot

    assert streamed(walks) == walks()


def test_a_segment_above_the_streaming_size(make_reader):
    # 1.2 M points of zero-filled content (9.6 MB) with a peak: the XIC
    # streams it and gives the sums of the whole decode.
    n = 1_200_000
    mz = [100.0 + 0.001 * j for j in range(n)]
    ys = [0.0] * n
    for j in (10, 500_000, n - 1):
        ys[j] = 5.0
    spectra = [(w.spectrum_description(retention_time=1.0), w.spectrum_block(w.spectrum_zstd(mz, ys)))]
    analysis = qual_analysis(make_reader, spectra)
    condition = analysis.unique_acquisition_conditions[0]
    windows = [(0.0, 101.0), (500.0, 700.0), (1299.0, 1300.0)]
    result = analysis.get_multiple_xic([Q.ChromatogramFilterOption(condition, ValueRange(*b)) for b in windows])
    assert [[p.intensity for p in c] for c in result] == [[5.0], [5.0], [5.0]]
    assert len(analysis.get_spectrum(0).get_spectrum_points()) == n

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
from zarn_data_access.zstd import ZstdError

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


def spectrum_content(n):
    return w.float_pairs_content([100.0 + 0.01 * k for k in range(n)], [float(k % 97) for k in range(n)])


def cut(frame, at):
    return frame[:at]


def flipped_checksum(frame):
    return frame[:-1] + bytes([frame[-1] ^ 1])


def raw_blocks(data, size):
    return [("raw", data[k:k + size]) for k in range(0, len(data), size)]


# The content of one spectrum (48 KB) and of one whose frame has a window
# smaller than its content (720 KB, blocks inside a 128 KiB window).
SMALL = spectrum_content(6000)
LARGE = spectrum_content(90_000)
HALF = len(SMALL) // 2
FRAME = w.zstd_frame(SMALL)
FIRST, SECOND = w.zstd_frame(SMALL[:HALF]), w.zstd_frame(SMALL[HALF:])
WINDOWED = w.zstd_frame(LARGE, window_log=17)
CHECKED = w.zstd_frame(SMALL, checksum=True)
WINDOWED_CHECKED = w.zstd_frame(LARGE, window_log=17, checksum=True)

# Frame-level damage, and segments of several frames, each read whole and
# streamed.
FRAMES = {
    "two-frames": FIRST + SECOND,
    "frame-twice": FRAME + FRAME,
    "second-frame-empty": FRAME + w.zstd_frame(b""),
    "second-frame-undeclared": FIRST + w.zstd_frame(SMALL[HALF:], content_size=False),
    "first-frame-undeclared": w.zstd_frame(SMALL[:HALF], content_size=False) + SECOND,
    "empty-frame-first": w.zstd_frame(b"") + FRAME,
    "second-frame-declares-more": FIRST + w.with_content_size(SECOND, len(SMALL) - HALF + 7),
    "second-frame-declares-less": FIRST + w.with_content_size(SECOND, len(SMALL) - HALF - 7),
    "declares-more": w.with_content_size(FRAME, len(SMALL) + 7),
    "declares-less": w.with_content_size(FRAME, len(SMALL) - 7),
    "second-frame-cut": FIRST + cut(SECOND, -2),
    "second-frame-bad-magic": FIRST + b"\x29" + SECOND[1:],
    "cut-by-one": cut(FRAME, -1),
    "cut-in-half": cut(FRAME, len(FRAME) // 2),
    "cut-after-header": cut(FRAME, 9),
    "trailing-byte": FRAME + b"\0",
    "trailing-garbage": FRAME + b"garbage!!",
    "trailing-magic": FRAME + FRAME[:4],
    "trailing-frame-head": FRAME + FRAME[:12],
    "skippable-before": w.skippable_frame(b"abcd") + FRAME,
    "skippable-after": FRAME + w.skippable_frame(b"abcd"),
    "skippable-between": FIRST + w.skippable_frame(b"abcd") + SECOND,
    "skippable-cut": FRAME + cut(w.skippable_frame(b"abcd"), -2),
    "checksum": CHECKED,
    "checksum-mismatch": flipped_checksum(CHECKED),
    "checksum-cut": cut(CHECKED, -2),
    "checksum-mismatch-second-frame": FIRST + flipped_checksum(w.zstd_frame(SMALL[HALF:], checksum=True)),
    "window-too-large": w.zstd_block_frame(raw_blocks(SMALL, 1 << 16), len(SMALL), window_log=41),
    "window-over-streams": w.zstd_block_frame(raw_blocks(SMALL, 1 << 16), len(SMALL), window_log=24),
    "raw-block-over-maximum": w.zstd_block_frame([("raw", SMALL + bytes(90_000))], len(SMALL) + 90_000),
    "rle-block-over-content": w.zstd_block_frame([("raw", SMALL), ("rle", 0, 100)], len(SMALL)),
    "last-raw-block-short": w.zstd_block_frame([("raw", SMALL[:-10]), ("raw", SMALL[-10:-5])], len(SMALL)),
    "windowed": WINDOWED,
    "windowed-declares-less": w.with_content_size(WINDOWED, len(LARGE) - 50),
    "windowed-declares-much-less": w.with_content_size(WINDOWED, len(LARGE) - 200_000),
    "windowed-declares-more": w.with_content_size(WINDOWED, len(LARGE) + 1),
    "windowed-checksum-mismatch": flipped_checksum(WINDOWED_CHECKED),
    "windowed-checksum-mismatch-declares-less": w.with_content_size(flipped_checksum(WINDOWED_CHECKED),
                                                                    len(LARGE) - 9),
    "windowed-raw-declares-less": w.zstd_block_frame(raw_blocks(LARGE, 1 << 17), len(LARGE) - 10, window_log=17),
    "windowed-raw-block-over-window": w.zstd_block_frame(
        [("raw", LARGE[:200_000])] + raw_blocks(LARGE[200_000:], 1 << 17), len(LARGE), window_log=17),
    "windowed-rle-block-over-window": w.zstd_block_frame([("rle", 0, 200_000)], 200_000, window_log=17),
    "windowed-then-skippable": WINDOWED + w.skippable_frame(b"x" * 100),
    "windowed-twice": WINDOWED + WINDOWED,
    "windowed-corrupt": WINDOWED[:100_000] + bytes([WINDOWED[100_000] ^ 0xFF]) + WINDOWED[100_001:],
}


def outcome(f):
    try:
        return "read", f()
    except Exception as e:  # noqa: BLE001 - the error is what is compared
        return type(e), e.args


@pytest.mark.parametrize("frames", FRAMES.values(), ids=FRAMES.keys())
def test_frame_damage_reads_alike_streamed_or_whole(make_reader, streamed, frames):
    data = w.spectrum_block(w.symbol(w.SPECTRUM_ZSTD_COMPRESSION) + w.compressed_segment(frame=frames)) + TAIL

    def read():
        r = make_reader(data)
        result = points(call(r, "read_spectrum"))
        return result, pos(r)

    whole = outcome(read)
    assert streamed(lambda: outcome(read)) == whole


def test_a_segment_of_two_frames_fails_as_the_buffer_too_small(make_reader, streamed):
    data = w.spectrum_block(w.symbol(w.SPECTRUM_ZSTD_COMPRESSION) + w.compressed_segment(frame=FIRST + SECOND))
    read = lambda: failure(lambda: call(make_reader(data), "read_spectrum"))  # noqa: E731
    expected = (ZstdError, ("Zstandard decompression failed: Destination buffer is too small",))
    assert read() == expected
    assert streamed(read) == expected


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

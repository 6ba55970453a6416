"""The MS spectrum block and its segment kinds with their own arrays
(40, 41, 42, 43, 50); the codec kinds are tested in test_spectrum_codecs."""

import random
import struct

import pytest

import zarnwriter as w
from kit.blocks import expect, f32, h, points, quadratic, read_block, sciex
from kit.reader import WINDOW, call, pos
from zarn_data_access.exception import ZarnException

READ = "read_spectrum"
PLAIN_EXAMPLE = h("80 0D 01 80 28 C2 02 00 00 00 00 00 C9 42 00 40 48 43 00 00 20 41 00 00 00 3F 80 0E")


def read(make_reader, data):
    return points(read_block(make_reader, data, READ))


def test_empty_block(make_reader):
    assert read(make_reader, h("80 0D 00 80 0E")) == []


def test_plain_block_example(make_reader):
    assert PLAIN_EXAMPLE == w.spectrum_block(w.spectrum_plain([100.5, 200.25], [10.0, 0.5]))
    assert read(make_reader, PLAIN_EXAMPLE) == expect([(100.5, 10.0), (200.25, 0.5)])


def test_compressed_segment_holds_the_plain_body(make_reader):
    body = PLAIN_EXAMPLE[5:-2]
    data = w.spectrum_block(w.compressed(w.SPECTRUM_ZSTD_COMPRESSION, body))
    assert read(make_reader, data) == expect([(100.5, 10.0), (200.25, 0.5)])


@pytest.mark.parametrize("make, expected_mz", [
    (lambda: w.spectrum_mz_coefficients(0.0, 0.5, 100.0, [0, 4, -2], [1.0, 2.0, 3.0]), [100.0, 102.0, 101.0]),
    (lambda: w.spectrum_sciex(0.5, 2.0, 1.0, [10, 2], [1.0, 2.0]), [16.0, 25.0]),
])
def test_coefficient_examples(make_reader, make, expected_mz):
    result = read(make_reader, w.spectrum_block(make()))
    assert [p[:2] for p in result] == [(float, v) for v in expected_mz]


@pytest.mark.parametrize("kind", [42, 43])
def test_coefficient_kinds_evaluate_in_the_stated_order(make_reader, kind):
    rng = random.Random(kind)
    a, b, c = (rng.uniform(-1, 1) * 10**rng.randrange(-12, 3) for _ in range(3))
    index_deltas = [rng.randrange(-(2**31), 2**31) for _ in range(300)]
    intensities = [rng.uniform(0, 1e6) for _ in range(300)]
    make = w.spectrum_mz_coefficients if kind == 42 else w.spectrum_sciex
    formula = quadratic if kind == 42 else sciex
    result = read(make_reader, w.spectrum_block(make(a, b, c, index_deltas, intensities)))
    bins = w.running_sums(index_deltas)
    assert result == expect((formula(a, b, c, k), f32(v)) for k, v in zip(bins, intensities))


def test_double_segment(make_reader):
    mz, intensities = [100.1, 1e-300, -5.5], [0.1, 2.0**70, 3.0]
    data = w.spectrum_block(w.spectrum_double(mz, intensities))
    assert read(make_reader, data) == expect(zip(mz, intensities))


def test_segments_concatenate_with_running_sums_per_segment(make_reader):
    data = w.spectrum_block(
        w.spectrum_mz_coefficients(0.0, 1.0, 0.0, [5, 1], [1.0, 1.0]),
        w.spectrum_plain([], []),
        w.spectrum_mz_coefficients(0.0, 1.0, 0.0, [5], [2.0]),
        w.spectrum_efficient(2, [7.5], [9]),
        w.spectrum_double([8.0], [0.25]))
    assert read(make_reader, data) == expect([(5.0, 1.0), (6.0, 1.0), (5.0, 2.0), (7.5, 9), (8.0, 0.25)])


@pytest.mark.large_file
def test_plain_segment_across_the_window_end(make_reader):
    # Arrays that begin in one file window and end in the next.
    rng = random.Random(3)
    mz = [rng.uniform(100, 2000) for _ in range(3000)]
    intensities = [rng.uniform(0, 1e5) for _ in range(3000)]
    block = w.spectrum_block(w.spectrum_plain(mz, intensities))
    start = WINDOW - 5000
    r = make_reader(w.file_image(start + len(block) + WINDOW, [(start, block)]))
    call(r, "set_buffer", start)
    assert points(call(r, READ)) == expect(zip(map(f32, mz), map(f32, intensities)))
    assert pos(r) == start + len(block)


@pytest.mark.parametrize("data, message", [
    (w.spectrum_block(w.spectrum_plain([1.0], [1.0]), count=2), "Unable to read current spectrum"),
    (w.spectrum_block(w.dad_plain([1.0])), "Unable to read current spectrum"),
    (w.spectrum_block(w.chromatogram_plain([1.0], [1.0])), "Unable to read current spectrum"),
    (w.spectrum_block(w.spectrum_plain([1.0], [1.0], num_points=-1)), "Unable to read current spectrum"),
    (w.spectrum_block(w.spectrum_double([], [], num_points=-5)), "Unable to read current spectrum"),
    (w.spectrum_block(w.spectrum_sciex(1.0, 1.0, 1.0, [], [], num_points=-(2**31))),
     "Unable to read current spectrum"),
    (w.spectrum_block(w.compressed(w.SPECTRUM_MZ_AND_ZSTD_COMPRESSION, w.double(1.0) + w.single(1.0))),
     "Double could not be read"),
    (w.spectrum_block(w.compressed(w.SPECTRUM_ZSTD_COMPRESSION, w.uint32(1))), "Int32 could not be read"),
    (w.chromatogram_block(), "Zarn symbol error"),
    (w.spectrum_block()[:-1] + b"\x10", "Zarn symbol error"),
    (w.symbol(13) + w.mini_uint(1), "TinyUInt could not be read"),
])
def test_failures(make_reader, data, message):
    r = make_reader(data)
    with pytest.raises(ZarnException) as info:
        call(r, READ)
    assert info.value.args == (message,)


def test_unknown_kind_is_consumed_before_the_error(make_reader):
    data = w.spectrum_block(w.symbol(w.DAD_INTENSITIES_INSTEAD_OF_SPECTRUM))
    r = make_reader(data)
    with pytest.raises(ZarnException):
        call(r, READ)
    assert pos(r) == 5


@pytest.mark.parametrize("segment", [
    w.spectrum_plain([1.0, 2.0], [1.0], num_points=2),
    w.spectrum_plain([], [], num_points=2**31 - 1),
    w.spectrum_zstd([1.0], [], num_points=1),
    w.spectrum_double([1.0], [1.0], num_points=2),
    # Index differences cut short: the intensities after them are short too.
    w.spectrum_mz_coefficients(1.0, 1.0, 1.0, [1], [], num_points=2),
    w.spectrum_sciex(1.0, 1.0, 1.0, [1, 2, 3], [], num_points=2),
])
def test_short_arrays_raise_the_unpacking_error(make_reader, segment):
    r = make_reader(w.spectrum_block(segment))
    with pytest.raises(struct.error):
        call(r, READ)

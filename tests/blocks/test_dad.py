"""The DAD spectrum block: intensity segments over the caller's wavelengths."""

import random
import struct
from fractions import Fraction

import pytest

import zarnwriter as w
from kit.blocks import expect, f32, h, points, read_block, scaled, typed
from kit.reader import call, pos
from zarn_data_access.exception import ZarnException

READ = "read_dad_spectrum"


def read(make_reader, data, wavelengths):
    return points(read_block(make_reader, data, READ, wavelengths))


@pytest.mark.parametrize("segments, wavelengths, expected", [
    ([], [200.0, 210.0], [(200.0, 0), (210.0, 0)]),
    ([w.dad_plain([1.0, 2.0, 3.0])], [200.0, 210.0], [(200.0, 1.0), (210.0, 2.0)]),
    ([w.dad_plain([5.0])], [200.0, 210.0, 220.0], [(200.0, 5.0), (210.0, 0), (220.0, 0)]),
    ([w.dad_plain([1.0, 2.0]), w.dad_plain([3.0])], [1.0, 2.0, 3.0], [(1.0, 1.0), (2.0, 2.0), (3.0, 3.0)]),
    ([w.dad_plain([1.0]), w.dad_efficient(0, [2, 3]), w.dad_plain([])], [1.0, 2.0, 3.0, 4.0],
     [(1.0, 1.0), (2.0, 2), (3.0, 3), (4.0, 0)]),
    ([w.dad_plain([1.0, 2.0]), w.dad_plain([3.0])], [], []),
])
def test_points_over_the_wavelengths(make_reader, segments, wavelengths, expected):
    assert read(make_reader, w.spectrum_block(*segments), wavelengths) == expect(expected)


def test_efficient_example(make_reader):
    content = h("02 01 C2 02 00 00 00 00 FF 00 FF 00 FF 0F FD")
    assert content == w.dad_efficient_content(2, [15, -3], intensity_power=1)
    data = w.spectrum_block(w.compressed(w.DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION, content))
    assert read(make_reader, data, [1.0, 2.0]) == expect([(1.0, 1.5), (2.0, -0.3)])


@pytest.mark.parametrize("option", range(4))
def test_every_efficient_option(make_reader, option):
    rng = random.Random(option)
    width = 64 if option in (1, 3) else 32
    values = [rng.randrange(-(2**(width - 1)), 2**(width - 1)) for _ in range(30)] + [0]
    power = 63 if option == 3 else 7
    expected = {0: values, 1: [float(v) for v in values]}.get(option, scaled(values, power))
    r = make_reader(w.dad_efficient(option, values, intensity_power=power))
    assert typed(call(r, "get_dad_intensities")) == typed(expected)


def test_plain_intensities_are_widened_floats(make_reader):
    values = [0.1, -3.4e38, 1e-45]
    r = make_reader(w.dad_plain(values) + w.TRUE)
    assert typed(call(r, "get_dad_intensities")) == typed([f32(v) for v in values])
    assert call(r, "read_bool") is True


def test_wavelengths_pass_unchanged(make_reader):
    wavelengths = (Fraction(1, 3), 250, 260.5)
    result = read_block(make_reader, w.spectrum_block(w.dad_plain([1.0, 2.0, 3.0])), READ, wavelengths)
    assert result[0].x is wavelengths[0]
    assert typed(p.x for p in result) == typed(wavelengths)


@pytest.mark.parametrize("wavelengths", [5, None])
def test_wavelengths_without_a_length_fail_before_the_end_symbol(make_reader, wavelengths):
    data = w.spectrum_block(w.dad_plain([1.0]))
    r = make_reader(data)
    with pytest.raises(TypeError, match="has no len"):
        call(r, READ, wavelengths)
    assert pos(r) == len(data) - 2


@pytest.mark.parametrize("data, message", [
    (w.spectrum_block(w.compressed(w.DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION, w.dad_efficient_content(
        4, [1], wide=False))), "Spectrum Intensity option is not correct. Value = 4"),
    (w.spectrum_block(w.spectrum_plain([1.0], [1.0])), "Unable to read current spectrum"),
    (w.spectrum_block(w.dad_plain([1.0]), count=2), "Unable to read current spectrum"),
    (w.spectrum_block(w.dad_plain([1.0], num_points=-1)), "Unable to read current spectrum"),
    (w.spectrum_block(w.dad_efficient(3, [1], num_points=-1)), "Unable to read current spectrum"),
    (w.spectrum_block(w.dad_plain([1.0]))[:-1] + b"\x0d", "Zarn symbol error"),
    (w.spectrum_block(w.compressed(w.DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION, w.tiny_uint(2) + w.int32(1))),
     "TinyUInt could not be read"),
])
def test_failures(make_reader, data, message):
    r = make_reader(data)
    with pytest.raises(ZarnException) as info:
        call(r, READ, [1.0])
    assert info.value.args == (message,)


def test_undefined_option_fails_after_the_count(make_reader):
    content = w.tiny_uint(4) + w.int32(1) + w.int32(1)
    r = make_reader(w.dad_efficient(0, [])[:2] + w.compressed_segment(content) + w.TRUE)
    with pytest.raises(ZarnException):
        call(r, "get_dad_intensities")
    # The file window is restored after the segment.
    assert call(r, "read_bool") is True


@pytest.mark.parametrize("segment, error", [
    (w.dad_plain([1.0], num_points=2), struct.error),
    (w.dad_efficient(0, [1], num_points=2), IndexError),
    (w.dad_efficient(3, [1], num_points=2**31 - 1), IndexError),
])
def test_short_arrays(make_reader, segment, error):
    r = make_reader(w.spectrum_block(segment))
    with pytest.raises(error):
        call(r, READ, [1.0])

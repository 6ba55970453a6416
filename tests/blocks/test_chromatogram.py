"""The chromatogram block: plain, compressed and efficient segments."""

import struct

import pytest

import zarnwriter as w
from kit.blocks import chromatogram_points, efficient_case, expect, f32, h, read_block
from kit.reader import call, pos
from zarn_data_access._internal._enum import ZarnSymbols
from zarn_data_access.exception import ZarnException
from zarn_data_access.zstd import ZstdError

READ = "read_chromatogram"


def read(make_reader, data):
    return chromatogram_points(read_block(make_reader, data, READ))


def test_empty_block(make_reader):
    assert read(make_reader, h("80 0F 00 80 10")) == []


def test_plain_block_example(make_reader):
    data = h("80 0F 01 80 2D C2 02 00 00 00 00 00 00 3F 00 00 80 3F 00 00 C8 42 00 00 00 00 80 10")
    assert data == w.chromatogram_block(w.chromatogram_plain([0.5, 1.0], [100.0, 0.0]))
    assert read(make_reader, data) == expect([(0.5, 100.0), (1.0, 0.0)])


def test_compressed_segment_reads_the_plain_body(make_reader):
    rts, intensities = [0.1, 0.2, 7.5], [3.25, -1.0, 1e30]
    data = w.chromatogram_block(w.chromatogram_zstd(rts, intensities))
    assert read(make_reader, data) == expect(zip(map(f32, rts), map(f32, intensities)))


def test_efficient_option_0_example(make_reader):
    content = h("00 C1 02 00 C2 03 00 00 00 00 00 00 00 00 00 00 00 00 64 05 05 00 00 FF 00 00 FF 00 00 FF 07 00 FF")
    assert content == w.chromatogram_efficient_content(0, [100, 5, 5], [7, 0, -1], rt_power=2)
    data = w.chromatogram_block(w.compressed(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION, content))
    assert read(make_reader, data) == expect([(1.0, 7), (1.05, 0), (1.1, -1)])


def test_efficient_option_9_example(make_reader):
    data = w.chromatogram_block(w.chromatogram_efficient(9, [10, 0, 0], [2, 1, 3]))
    assert read(make_reader, data) == expect([(10.0, -1.0), (10.0, 0.0), (10.0, 2.0)])


# How each option makes its intensities.
VALUES = {0: "int", 1: "float", 2: "int", 3: "float", 9: "codes"}


@pytest.mark.parametrize("option", range(10))
def test_every_efficient_option(make_reader, option):
    _, rt_array, intensity_array = w.CHROMATOGRAM_OPTIONS[option]
    rts, intensities, rt_power, intensity_power, expected = efficient_case(
        option, rt_array, intensity_array, VALUES.get(option, "scaled"))
    data = w.chromatogram_block(w.chromatogram_efficient(option, rts, intensities, rt_power=rt_power,
                                                          intensity_power=intensity_power))
    assert read(make_reader, data) == expected


@pytest.mark.parametrize("option, rt_power, rts, expected_rt", [
    # UInt16 powers up to 65535 divide exactly and underflow to a signed zero.
    (0, 65535, [5, -10], [0.0, -0.0]),
    (4, 320, [50000], [5e-316]),
    (1, 22, [2**31 - 1], [(2**31 - 1) / 10**22]),
    (4, 23, [123456789], [123456789 / 10**23]),
])
def test_large_powers_divide_exactly(make_reader, option, rt_power, rts, expected_rt):
    data = w.chromatogram_block(w.chromatogram_efficient(option, rts, [1] * len(rts), rt_power=rt_power,
                                                          intensity_power=65535))
    result = read(make_reader, data)
    assert [struct.pack("<d", p[1]) for p in result] == [struct.pack("<d", v) for v in expected_rt]
    if option == 4:
        assert all(p[3] == 0.0 and type(p[3]) is float for p in result)


def test_segments_of_every_kind_concatenate(make_reader):
    data = w.chromatogram_block(
        w.chromatogram_plain([1.0], [2.0]),
        w.chromatogram_efficient(2, [3.0, 4.0], [5, 6]),
        w.chromatogram_plain([], []),
        w.chromatogram_zstd([7.0], [8.0]))
    assert read(make_reader, data) == expect([(1.0, 2.0), (3.0, 5), (4.0, 6), (7.0, 8.0)])


@pytest.mark.parametrize("data, error, message", [
    (w.chromatogram_block(w.spectrum_plain([1.0], [1.0])), ZarnException,
     "ChromatogramPointCollection could not be read"),
    (w.chromatogram_block(w.compressed(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION, w.tiny_uint(10))),
     ZarnException, "Chromatogram compression option is not correct. Value = 10"),
    (w.chromatogram_block(w.compressed(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION, w.tiny_uint(63))),
     ZarnException, "Chromatogram compression option is not correct. Value = 63"),
    (w.chromatogram_block(w.chromatogram_plain([1.0], [1.0], num_points=-1)), ZarnException,
     "ChromatogramPointCollection could not be read"),
    (w.chromatogram_block(w.chromatogram_efficient(5, [1], [1], num_points=-(2**31))), ZarnException,
     "ChromatogramPointCollection could not be read"),
    (w.chromatogram_block(w.chromatogram_plain([1.0], [1.0]), count=2), ZarnException,
     "ChromatogramPointCollection could not be read"),
    (w.chromatogram_block(w.chromatogram_plain([1.0], [1.0]))[:-1] + b"\x0e", ZarnException, "Zarn symbol error"),
    (w.spectrum_block(), ZarnException, "Zarn symbol error"),
    (w.chromatogram_block(w.compressed(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION, w.tiny_uint(0) + w.tiny_uint(1))),
     ZarnException, "UInt16 could not be read"),
    (w.chromatogram_block(w.compressed(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION, w.tiny_uint(5) + w.uint16(1))),
     ZarnException, "TinyUInt could not be read"),
    (w.chromatogram_block(w.compressed(w.CHROMATOGRAM_ZSTD_COMPRESSION, b"", frame=b"junk")), ZstdError, None),
])
def test_failures(make_reader, data, error, message):
    r = make_reader(data)
    with pytest.raises(error) as info:
        call(r, READ)
    if message is not None:
        assert info.value.args == (message,)


@pytest.mark.parametrize("segment, error", [
    # Raw binary32 arrays fail as their unpacking does, packed arrays as
    # their plane decoders do; the count is checked against the data first.
    (w.chromatogram_plain([1.0, 2.0], [1.0], num_points=2), struct.error),
    (w.chromatogram_plain([], [], num_points=2**31 - 1), struct.error),
    (w.chromatogram_zstd([1.0], [], num_points=1), struct.error),
    (w.chromatogram_efficient(2, [1.0], [], num_points=1), IndexError),
    (w.chromatogram_efficient(2, [], [], num_points=1), struct.error),
    (w.chromatogram_efficient(0, [1], [], num_points=1), IndexError),
    (w.chromatogram_efficient(8, [1, 2], [1, 2], num_points=3), IndexError),
    (w.chromatogram_efficient(9, [], [], num_points=2**31 - 1), IndexError),
])
def test_short_arrays(make_reader, segment, error):
    r = make_reader(w.chromatogram_block(segment))
    with pytest.raises(error):
        call(r, READ)


def test_failure_inside_a_segment_restores_the_file_window(make_reader):
    segment = w.chromatogram_efficient(4, [1], [], num_points=1)
    data = w.chromatogram_block(segment)
    r = make_reader(data + w.TRUE)
    with pytest.raises(IndexError):
        call(r, READ)
    assert pos(r) == len(data) - 2  # right after the compressed segment
    call(r, "confirm_zarn_symbol", ZarnSymbols.END_OF_CHROMATOGRAM)
    assert call(r, "read_bool") is True

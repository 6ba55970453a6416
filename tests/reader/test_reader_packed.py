"""Packed integer arrays, float arrays and compression-ready codes."""

import random
import struct

import pytest

import zarnwriter as w
from kit.reader import call, pos


def h(text):
    return bytes.fromhex(text)


@pytest.fixture
def reader(make_reader):
    return make_reader(b"")


def int_array(r, data, n):
    return r._KxmFileReader__read_compressed_int_array(data, n)


def long_array(r, data, n):
    return r._KxmFileReader__read_compressed_long_array(data, n)


@pytest.mark.parametrize("decoder, data, n, expected", [
    (int_array, b"", 0, []),
    (long_array, b"", 0, []),
    (int_array, b"\x01\x02\x03", 0, []),
    (int_array, h("00 FF 00 FF 00 FF 01 FE"), 2, [1, -2]),
    (long_array, h("00 FF 00 FF 00 FF 01 FE"), 1,
     [int.from_bytes(h("00 FF 00 FF 00 FF 01 FE"), "big", signed=True)]),
    (int_array, h("80 00 00 00"), 1, [-2147483648]),
    (int_array, h("7F FF FF FF"), 1, [2147483647]),
    (long_array, h("80 00 00 00 00 00 00 00"), 1, [-(2**63)]),
    (long_array, h("7F FF FF FF FF FF FF FF"), 1, [2**63 - 1]),
    (int_array, h("00 FF 00 FF 00 FF 01 FE 12 34"), 2, [1, -2]),   # extra bytes ignored
    (int_array, h("80 00 00 00 99"), 1, [-2147483648]),
])
def test_plane_examples(reader, decoder, data, n, expected):
    assert decoder(reader, data, n) == expected


@pytest.mark.parametrize("width", [4, 8])
def test_planes_read_back_writer_values(reader, width):
    rng = random.Random(width)
    bits = 8 * width
    values = [rng.randrange(-(1 << (bits - 1)), 1 << (bits - 1)) for _ in range(200)]
    values += [0, -1, 1, -(1 << (bits - 1)), (1 << (bits - 1)) - 1]
    if width == 4:
        assert int_array(reader, w.packed_int32(values), len(values)) == values
    else:
        assert long_array(reader, w.packed_int64(values), len(values)) == values


@pytest.mark.parametrize("decoder, width", [(int_array, 4), (long_array, 8)])
@pytest.mark.parametrize("n", [1, 3])
def test_short_plane_bytes_raise_index_error(reader, decoder, width, n):
    with pytest.raises(IndexError):
        decoder(reader, b"\x01" * (width * n - 1), n)


def test_plane_decoders_leave_the_reader_alone(make_reader):
    r = make_reader(w.int32(9))
    int_array(r, w.packed_int32([5, 6]), 2)
    long_array(r, w.packed_int64([5]), 1)
    assert pos(r) == 0
    assert call(r, "read_int32") == 9


# --- float arrays --------------------------------------------------------

def test_float_array_reads_at_the_position(make_reader):
    values = [1.0, -0.5, 0.1, 3.4e38]
    expected = list(struct.unpack("<4f", w.float_array(values)))
    r = make_reader(b"\x00\x00" + w.float_array(values) + w.TRUE)
    call(r, "set_buffer", 2)
    assert call(r, "read_float_array", 0) == []
    assert pos(r) == 2
    result = call(r, "read_float_array", 4)
    assert result == expected and all(type(v) is float for v in result)
    assert pos(r) == 18
    assert call(r, "read_bool") is True


def test_short_float_array_raises_struct_error(make_reader):
    r = make_reader(w.float_array([1.0, 2.0]) + b"\x00\x00")
    with pytest.raises(struct.error):
        call(r, "read_float_array", 3)


# --- compression-ready codes ---------------------------------------------

def to_value(r, code):
    return r._KxmFileReader__convert_compression_ready_int_to_int(code)


def to_code(r, value):
    return r._KxmFileReader__convert_int_to_compression_ready_int(value)


@pytest.mark.parametrize("code, value", [
    (0, 0), (1, 1), (2, -1), (3, 2), (4, -2),
    (-1, -2147483648), (-2, 2147483647),
    (2147483646, -1073741823), (2147483645, 1073741823),
    (2147483647, 1073741824), (-2147483648, 1073741824),
    (-2147483647, -1073741825),
    (2**70, -(2**69)), (2**70 + 1, 2**69 + 1),
    (-(2**70), -(2**69) + 2147483648), (-(2**70) - 1, 2**69 - 2147483648),
])
def test_code_to_value(reader, code, value):
    assert to_value(reader, code) == value


@pytest.mark.parametrize("value, code", [
    (0, 0), (1, 1), (-1, 2), (2, 3),
    (1073741823, 2147483645), (1073741824, -2147483648),
    (-1073741823, 2147483646), (-1073741824, -2147483649),
    (2147483647, -2), (-2147483648, -1),
    (2**70, 2**71 - 4294967296), (-(2**70), 2**71 - 1 - 4294967296),
])
def test_value_to_code(reader, value, code):
    assert to_code(reader, value) == code
    assert w.compression_ready_code(value) == code


def test_codes_round_trip_over_the_32_bit_range(reader):
    rng = random.Random(5)
    values = [rng.randrange(-(2**31), 2**31) for _ in range(500)]
    values += [-(2**31), -(2**30) - 1, -(2**30), -(2**30) + 1, -1, 0, 1,
               2**30 - 1, 2**30, 2**31 - 1]
    for v in values:
        code = to_code(reader, v)
        assert code == w.compression_ready_code(v)
        assert to_value(reader, code) == v

"""Block symbols, booleans, tiny and mini numbers, fixed-width numbers."""

import pytest

import zarnwriter as w
from kit.reader import WINDOW, call, pos
from zarn_data_access._internal._enum import ZarnSymbols
from zarn_data_access._internal._reader import IntegerBitConverter
from zarn_data_access.exception import ZarnException

TAIL = b"\xaa\xbb\xcc\xdd\xee\xff\x11\x22\x33"  # something after the value


def h(text):
    return bytes.fromhex(text)


def read_at_start(make_reader, method, data, *args):
    r = make_reader(data + TAIL)
    return r, call(r, method, *args)


# --- successful reads ----------------------------------------------------

READS = [
    ("read_zarn_symbol", "80 0D", ZarnSymbols.BEGIN_OF_SPECTRUM, 2),
    ("read_zarn_symbol", "80 00", ZarnSymbols.NONE, 2),
    ("read_zarn_symbol", "80 38", ZarnSymbols.SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION, 2),
    ("read_bool", "3F", True, 1),
    ("read_bool", "3E", False, 1),
    ("read_tiny_uint", "00", 0, 1),
    ("read_tiny_uint", "37", 55, 1),
    ("read_tiny_uint", "38", 56, 1),
    ("read_tiny_uint", "3F", 63, 1),
    ("read_mini_uint", "9A BC", 2748, 2),
    ("read_mini_uint", "90 00", 0, 2),
    ("read_mini_uint", "9F FF", 4095, 2),
    ("read_int16", "C0 FF FF", -1, 3),
    ("read_int16", "C0 00 80", -32768, 3),
    ("read_uint16", "C1 FF FF", 65535, 3),
    ("read_int32", "C2 00 00 00 80", -2147483648, 5),
    ("read_int32", "C2 FF FF FF 7F", 2147483647, 5),
    ("read_uint32", "C3 FF FF FF FF", 4294967295, 5),
    ("read_int64", "C4" + " FF" * 8, -1, 9),
    ("read_int64", "C4" + " 00" * 7 + " 80", -(2**63), 9),
    ("read_uint64", "C5" + " FF" * 8, 18446744073709551615, 9),
    ("read_single", "C6 00 00 80 3F", 1.0, 5),
    ("read_single", "C6 CD CC CC 3D", 0.10000000149011612, 5),
    ("read_double", "C7 00 00 00 00 00 00 F0 3F", 1.0, 9),
    ("read_uint16_or_32", "C1 34 12", 4660, 3),
    ("read_uint16_or_32", "C3 FF FF FF FF", 4294967295, 5),
]


@pytest.mark.parametrize("method, data, expected, size", READS)
def test_byte_examples(make_reader, method, data, expected, size):
    r, value = read_at_start(make_reader, method, h(data))
    assert value == expected
    assert type(value) is type(expected)
    assert pos(r) == size


@pytest.mark.parametrize("method, encoder, value", [
    ("read_zarn_symbol", w.symbol, ZarnSymbols.END_OF_ADDITIONAL_CONDITION),
    ("read_mini_uint", w.mini_uint, 1234),
    ("read_int16", w.int16, 12345),
    ("read_uint16", w.uint16, 54321),
    ("read_int32", w.int32, -123456789),
    ("read_uint32", w.uint32, 3000000000),
    ("read_int64", w.int64, -(2**40) - 3),
    ("read_uint64", w.uint64, 2**63 + 5),
    ("read_single", w.single, -2.5),
    ("read_double", w.double, 3.141592653589793),
    ("read_uint16_or_32", w.uint16_or_32, 70000),
])
def test_writer_values_read_back(make_reader, method, encoder, value):
    data = encoder(value)
    r, got = read_at_start(make_reader, method, data)
    assert got == value and pos(r) == len(data)


def test_confirm_zarn_symbol(make_reader):
    r = make_reader(h("80 0D 80 0D 8F FF 90 0D"))
    assert call(r, "confirm_zarn_symbol", ZarnSymbols.BEGIN_OF_SPECTRUM) is None
    assert pos(r) == 2
    with pytest.raises(ZarnException) as info:
        call(r, "confirm_zarn_symbol", ZarnSymbols.END_OF_SPECTRUM)
    assert info.value.args == ("Zarn symbol error",)
    assert pos(r) == 4
    with pytest.raises(ValueError):
        call(r, "confirm_zarn_symbol", ZarnSymbols.END_OF_SPECTRUM)
    assert pos(r) == 6
    with pytest.raises(ZarnException) as info:
        call(r, "confirm_zarn_symbol", ZarnSymbols.END_OF_SPECTRUM)
    assert info.value.args == ("Zarn symbol could not be read",)
    assert pos(r) == 6


# --- refused first bytes -------------------------------------------------

MESSAGES = {
    "read_zarn_symbol": "Zarn symbol could not be read",
    "read_bool": "Boolean could not be read",
    "read_tiny_uint": "TinyUInt could not be read",
    "read_mini_uint": "MiniUInt could not be read",
    "read_int16": "Int16 could not be read",
    "read_uint16": "UInt16 could not be read",
    "read_int32": "Int32 could not be read",
    "read_uint32": "UInt32 could not be read",
    "read_int64": "Int64 could not be read",
    "read_uint64": "UInt64 could not be read",
    "read_single": "Single could not be read",
    "read_double": "Double could not be read",
    "read_uint16_or_32": "UInt16/UInt32 could not be read",
}

REFUSED = [
    ("read_zarn_symbol", "90 0D", 0),
    ("read_zarn_symbol", "7F 00", 0),
    ("read_bool", "40", 0),
    ("read_bool", "00", 0),
    ("read_tiny_uint", "40", 0),
    ("read_tiny_uint", "C0", 0),
    ("read_mini_uint", "B5 01", 0),
    ("read_mini_uint", "D3 00", 0),
    ("read_mini_uint", "F0 00", 0),
    ("read_mini_uint", "80 05", 0),
    ("read_uint16_or_32", "C2 01 00 00 00", 0),
    ("read_uint16_or_32", "C0 01 00", 0),
] + [("read_bool", f"{b:02X}", 1) for b in range(0x38, 0x3E)]  # consumed


@pytest.mark.parametrize("method, data, consumed", REFUSED)
def test_refused_first_byte(make_reader, method, data, consumed):
    r = make_reader(h(data) + TAIL)
    with pytest.raises(ZarnException) as info:
        call(r, method)
    assert info.value.args == (MESSAGES[method],)
    assert pos(r) == consumed


FIXED = {
    "read_int16": (0xC0, 2), "read_uint16": (0xC1, 2),
    "read_int32": (0xC2, 4), "read_uint32": (0xC3, 4),
    "read_int64": (0xC4, 8), "read_uint64": (0xC5, 8),
    "read_single": (0xC6, 4), "read_double": (0xC7, 8),
}


@pytest.mark.parametrize("method", list(FIXED))
def test_fixed_width_reader_refuses_every_other_tag(make_reader, method):
    own = FIXED[method][0]
    for tag in [t for t in range(0xC0, 0xC8) if t != own] + [0xD3, 0x3F, 0x80]:
        r = make_reader(bytes([tag]) + b"\x00" * 8)
        with pytest.raises(ZarnException) as info:
            call(r, method)
        assert info.value.args == (MESSAGES[method],), hex(tag)
        assert pos(r) == 0


@pytest.mark.parametrize("data, expected", [
    ("00", True), ("37", True), ("12", True),
    ("38", False), ("3E", False), ("3F", False), ("40", False),
    ("80", False), ("C2", False),
])
def test_is_tiny_uint_peek(make_reader, data, expected):
    r = make_reader(b"\x00" * 3 + h(data))
    call(r, "set_buffer", 3)
    assert call(r, "is_tiny_uint") is expected
    assert pos(r) == 3


def test_undefined_symbol_values_fail_lookup_after_both_bytes(make_reader):
    r = make_reader(h("8F FF 80 05 85 0D"))
    for expected_pos in (2, 4, 6):
        with pytest.raises(ValueError):
            call(r, "read_zarn_symbol")
        assert pos(r) == expected_pos


# --- truncated values at the end of the data ----------------------------

TRUNCATED = [(m, tag, cut) for m, (tag, n) in FIXED.items() for cut in (0, n - 1)] + [
    ("read_uint16_or_32", 0xC1, 0), ("read_uint16_or_32", 0xC1, 1),
    ("read_uint16_or_32", 0xC3, 0), ("read_uint16_or_32", 0xC3, 3),
]


@pytest.mark.parametrize("method, tag, cut", TRUNCATED)
def test_truncated_payload_fails_on_the_tag(make_reader, method, tag, cut):
    r = make_reader(b"\x3f" * 4 + bytes([tag]) + b"\x01" * cut)
    call(r, "set_buffer", 4)
    with pytest.raises(ZarnException) as info:
        call(r, method)
    assert info.value.args == (MESSAGES[method],)
    assert pos(r) == 4


@pytest.mark.large_file
@pytest.mark.parametrize("method, tag, cut", [
    ("read_int32", 0xC2, 3), ("read_double", 0xC7, 7), ("read_uint16_or_32", 0xC3, 2)])
def test_truncated_payload_at_the_end_of_a_large_file(make_reader, method, tag, cut):
    tail = bytes([tag]) + b"\x01" * cut
    r = make_reader(b"\x00" * WINDOW + tail)
    call(r, "get_bytes", WINDOW)  # leave the position at the window end
    with pytest.raises(ZarnException) as info:
        call(r, method)
    assert info.value.args == (MESSAGES[method],)
    assert pos(r) == WINDOW


def test_truncated_payload_at_the_end_of_decompressed_content(make_reader):
    r = make_reader(w.compressed_segment(b"\xc2\x01\x02") + w.int32(5))
    call(r, "set_decompressed_buffer")
    with pytest.raises(ZarnException) as info:
        call(r, "read_int32")
    assert info.value.args == ("Int32 could not be read",)
    assert r._KxmFileReader__local_position == 0


@pytest.mark.parametrize("method", ["read_zarn_symbol", "read_mini_uint"])
def test_two_byte_value_with_one_byte_left_raises_index_error(make_reader, method):
    r = make_reader(b"\x00" + {"read_zarn_symbol": b"\x80",
                               "read_mini_uint": b"\x90"}[method])
    call(r, "set_buffer", 1)
    with pytest.raises(IndexError):
        call(r, method)


@pytest.mark.parametrize("method", list(MESSAGES) + ["is_tiny_uint", "confirm_zarn_symbol"])
def test_nothing_left_raises_index_error_and_stays(make_reader, method):
    r = make_reader(b"\x3f")
    call(r, "get_bytes", 1)
    args = (ZarnSymbols.NONE,) if method == "confirm_zarn_symbol" else ()
    with pytest.raises(IndexError):
        call(r, method, *args)
    assert pos(r) == 1


# --- IntegerBitConverter -------------------------------------------------

@pytest.mark.parametrize("width, data, offset, expected", [
    (12, b"\x8a\xbc", 4, 2748),
    (6, 197, 2, 5),
    (11, b"\xa5\x01", 5, 1281),
    (3, b"\x01\x80", 7, 6),
    (6, b"\x3f", 2, 63),
    (8, b"\x00\xff", 8, 255),
    (1, b"\x80", 0, 1),
    (0, b"", 0, 0),
    (63, b"\xff" * 8, 0, 2**63 - 1),
    (63, b"\x80" + b"\x00" * 7, 0, 2**62),
])
def test_bit_field_examples(width, data, offset, expected):
    conv = IntegerBitConverter(width)
    assert conv._IntegerBitConverter__length_of_bit_field == width
    assert conv._IntegerBitConverter__get_int(data, offset) == expected
    assert conv._IntegerBitConverter__get_method(data, offset) == expected


@pytest.mark.parametrize("width, offset", [(64, 0), (-1, 0), (100, 0), (6, -1), (12, -8)])
def test_bit_converter_refuses_bad_width_or_offset(width, offset):
    with pytest.raises(ValueError):
        IntegerBitConverter(width)._IntegerBitConverter__get_int(b"\xff" * 16, offset)


@pytest.mark.parametrize("width, data, offset", [
    (12, b"\x8a", 4), (11, b"\xa5", 5), (8, b"", 0), (3, b"\x01", 7),
    (63, b"\xff" * 8, 2**63 - 1), (6, b"\xff" * 8, 2**63 - 3)])
def test_bit_converter_short_byte_string_raises_index_error(width, data, offset):
    with pytest.raises(IndexError):
        IntegerBitConverter(width)._IntegerBitConverter__get_int(data, offset)


@pytest.mark.parametrize("offset", [2**63 - 1, 2**63 - 64])
def test_bit_field_of_one_byte_at_the_largest_offsets(offset):
    # Only the place of each bit within the byte counts.
    expected = IntegerBitConverter(6)._IntegerBitConverter__get_int(0b10110100, offset % 8)
    assert IntegerBitConverter(6)._IntegerBitConverter__get_int(0b10110100, offset) == expected

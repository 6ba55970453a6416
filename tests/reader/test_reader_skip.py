"""Passing over values of any kind."""

import pytest

import zarnwriter as w
from kit.reader import call, pos
from zarn_data_access.exception import ZarnException

NEXT = b"\x3e"  # a boolean after the skipped value tells where the skip ended
UNKNOWN = "UnpackData: Unknown data type"


def h(text):
    return bytes.fromhex(text)


SKIPPED = [
    ("3F", 1), ("00", 1), ("37", 1), ("38", 1),
    ("40", 1),
    ("7F" + " FF" * 63, 64),                      # short text is not decoded
    ("42 FF FE", 3),
    ("80 0D", 2),
    ("9F 12", 2),
    ("A0 05 61 62 63 64 65", 7),
    ("A8 03 E2 82 AC", 5),
    ("C9 05 00 61 62 63 64 65", 8),
    ("CB 05 00 00 00 61 62 63 64 65", 10),
    ("C8 00 00", 3),
    ("C0 FF FF", 3), ("C1 FF FF", 3),
    ("C2 01 02 03 04", 5), ("C3 01 02 03 04", 5),
    ("C4" + " 01" * 8, 9), ("C5" + " FF" * 8, 9),
    ("C6 00 00 80 3F", 5),
    ("C7 00 00 00 00 00 00 F0 3F", 9),
    ("D3 00 80 B5 F7 F5 7F 9F 08", 9),
    ("E0 00", 2),
    ("E5 02 C2 03 00 00 00 AA BB CC C2 00 00 00 00", 15),
    ("E7 01 C2 02 00 00 00 FF FF", 9),
]


@pytest.mark.parametrize("data, size", SKIPPED)
def test_skip_examples(make_reader, data, size):
    r = make_reader(h(data) + NEXT)
    call(r, "skip_object")
    assert pos(r) == size
    assert call(r, "read_bool") is False


@pytest.mark.parametrize("value", [
    w.string("x" * 300), w.string("\u00e9" * 40000), w.string32("four"),
    w.int32_array([1, 2, 3], [4]), w.int64_array(), w.single_array([0.5]),
    w.collection(0xE1, b"\x01\x02\x03", b""), w.mini_uint(4095), w.tiny_uint(17),
    w.uint16_or_32(2**32 - 1), w.datetime_ticks(w.EPOCH_TICKS | w.UTC_FLAG),
], ids=lambda v: v[:3].hex())
def test_skip_passes_over_exactly_one_writer_value(make_reader, value):
    r = make_reader(value + NEXT)
    call(r, "skip_object")
    assert pos(r) == len(value)


@pytest.mark.parametrize("length", [-1, -5, -(2**31)])
def test_negative_collection_segment_length_passes_over_nothing(make_reader, length):
    data = w.collection(0xE3, b"", w.int32_elements([5]), lengths=[length])
    r = make_reader(data + NEXT)
    call(r, "skip_object")
    assert pos(r) == len(data) == 2 + 5 + 5 + 4
    assert call(r, "read_bool") is False


def test_collection_segments_are_passed_over_by_their_full_length(make_reader):
    # The array reader would take one element; the skip takes all 6 bytes.
    data = w.collection(0xE2, w.int32_elements([1]) + b"\xaa\xbb", lengths=[6])
    r = make_reader(data + NEXT)
    call(r, "skip_object")
    assert pos(r) == len(data)


@pytest.mark.parametrize("first_byte", [0xB0, 0xB4, 0xBF, 0xD0, 0xD2, 0xD4, 0xD8, 0xDF,
                                        0xE8, 0xE9, 0xFA, 0xFF], ids=hex)
def test_unknown_data_type(make_reader, first_byte):
    # 0xD8, 0xE9, 0xFA would be string headers to the string reader.
    r = make_reader(bytes([first_byte]) + h("02 00 41 42"))
    with pytest.raises(ZarnException) as info:
        call(r, "skip_object")
    assert info.value.args == (UNKNOWN,)
    assert pos(r) == 0


@pytest.mark.parametrize("data, error, at", [
    ("85 0D", ValueError, 2),
    ("E2 40", "TinyUInt could not be read", 1),
    ("E7 01 C3 04 00 00 00", "Int32 could not be read", 2),
    ("CC 02 00 41 42", "String could not be read [Position: {AbsolutePosition}]", 3),
    ("CF 02 00 00 00 41 42", "String could not be read [Position: {AbsolutePosition}]", 5),
    ("A0 02 FF FE", UnicodeDecodeError, 4),
    ("D3 FF FF FF FF FF FF FF 3F", ValueError, 9),
])
def test_skip_failures(make_reader, data, error, at):
    r = make_reader(h(data) + NEXT)
    if isinstance(error, str):
        with pytest.raises(ZarnException) as info:
            call(r, "skip_object")
        assert info.value.args == (error,)
    else:
        with pytest.raises(error):
            call(r, "skip_object")
    assert pos(r) == at


def test_skip_at_the_end_raises_index_error(make_reader):
    r = make_reader(NEXT)
    call(r, "get_bytes", 1)
    with pytest.raises(IndexError):
        call(r, "skip_object")
    assert pos(r) == 1


def test_record_loop_skips_unhandled_properties(make_reader):
    # id 5 (unhandled, Int32), id 7 (handled, string), id 9 (unhandled,
    # array), id 2 (handled, bool), then a boolean ends the record.
    data = (w.tiny_uint(5) + w.int32(-1) + w.tiny_uint(7) + w.short_string("abc")
            + w.tiny_uint(9) + w.int32_array([1, 2]) + w.tiny_uint(2) + w.TRUE
            + w.FALSE)
    r = make_reader(data)
    handled = {7: "read_string", 2: "read_bool"}
    found = {}
    while call(r, "is_tiny_uint"):
        prop = call(r, "read_tiny_uint")
        if prop in handled:
            found[prop] = call(r, handled[prop])
        else:
            call(r, "skip_object")
    assert found == {7: "abc", 2: True}
    assert pos(r) == len(data) - 1
    assert call(r, "read_bool") is False

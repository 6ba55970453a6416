"""Arrays, strings and date-times."""

import datetime
import struct
import time

import pytest
from dateutil import tz

import zarnwriter as w
from kit.reader import WINDOW, call, pos
from zarn_data_access._internal._reader import DateTimeParser
from zarn_data_access.exception import ZarnException

STRING_ERROR = "String could not be read [Position: {AbsolutePosition}]"
TAIL = b"\x3f\x3e\x00"


def h(text):
    return bytes.fromhex(text)


# --- arrays --------------------------------------------------------------

@pytest.mark.parametrize("method, data, expected", [
    ("read_int32_array", h("E2 01 C2 08 00 00 00 01 00 00 00 FF FF FF FF"), [1, -1]),
    ("read_single_array", h("E6 01 C2 04 00 00 00 00 00 80 3F"), [1.0]),
    ("read_int64_array", h("E4 00"), []),
    ("read_int64_array", h("E4 01 C2 00 00 00 00"), []),
    ("read_int64_array", w.int64_array([2**63 - 1], [-(2**63)]), [2**63 - 1, -(2**63)]),
    ("read_int32_array", w.int32_array([-(2**31), 2**31 - 1, 0], [], [7]),
     [-(2**31), 2**31 - 1, 0, 7]),
    ("read_single_array", w.single_array([0.1, -2.5], [1e-3]),
     [struct.unpack("<f", struct.pack("<f", v))[0] for v in (0.1, -2.5, 1e-3)]),
    # A length that is no multiple of the width: one whole element, and the
    # next length tag is expected right after it.
    ("read_int32_array", w.collection(0xE2, w.int32_elements([1]), w.int32_elements([2]),
                                      lengths=[6]), [1, 2]),
    ("read_int64_array", w.collection(0xE4, w.int64_elements([9]), lengths=[15]), [9]),
])
def test_array_examples(make_reader, method, data, expected):
    r = make_reader(data + TAIL)
    assert call(r, method) == expected
    assert pos(r) == len(data)
    assert call(r, "read_bool") is True


def test_single_array_gives_floats_and_int_arrays_ints(make_reader):
    r = make_reader(w.single_array([3.0]) + w.int32_array([3]))
    assert [type(v) for v in call(r, "read_single_array")] == [float]
    assert [type(v) for v in call(r, "read_int32_array")] == [int]


@pytest.mark.parametrize("method, length", [
    ("read_int32_array", -4), ("read_int64_array", -1), ("read_single_array", -(2**31))])
def test_negative_segment_length_reads_nothing(make_reader, method, length):
    tag = {"read_int32_array": 0xE2, "read_int64_array": 0xE4, "read_single_array": 0xE6}[method]
    data = w.collection(tag, b"", b"", lengths=[length, 0])
    r = make_reader(data + TAIL)
    assert call(r, method) == []
    assert pos(r) == len(data) == 12


@pytest.mark.parametrize("method, data, message, at", [
    ("read_int32_array", h("C2 01 00 00 00"), "Collection could not be read", 0),
    ("read_int32_array", w.int64_array([1]), "Collection could not be read", 0),
    ("read_int64_array", w.int32_array([1]), "Collection could not be read", 0),
    ("read_single_array", w.int32_array([1]), "Collection could not be read", 0),
    ("read_int32_array", h("E2 40"), "TinyUInt could not be read", 1),
    ("read_int32_array", h("E2 01 C3 04 00 00 00 01 00 00 00"), "Int32 could not be read", 2),
    ("read_int32_array", h("E2 02 C2 04 00 00 00 01 00 00 00 3F"), "Int32 could not be read", 11),
])
def test_array_failures(make_reader, method, data, message, at):
    r = make_reader(data + TAIL)
    with pytest.raises(ZarnException) as info:
        call(r, method)
    assert info.value.args == (message,)
    assert pos(r) == at


@pytest.mark.parametrize("method, data", [
    ("read_int32_array", w.collection(0xE2, w.int32_elements([1]), lengths=[8])),
    ("read_int32_array", w.collection(0xE2, w.int32_elements([1]) + b"\x01\x02", lengths=[8])),
    # Lengths far beyond the data; kept moderate so that a reader that made
    # filler elements would still finish.
    ("read_int64_array", w.collection(0xE4, w.int64_elements([1]), lengths=[1 << 20])),
    ("read_int32_array", w.collection(0xE2, b"", lengths=[1 << 20])),
])
def test_integer_array_elements_past_the_end(make_reader, method, data):
    r = make_reader(data)
    with pytest.raises(ZarnException) as info:
        call(r, method)
    assert info.value.args == ("Collection could not be read",)


def test_single_array_with_a_short_element_raises_struct_error(make_reader):
    data = w.collection(0xE6, w.single_elements([1.0]) + b"\x00\x00", lengths=[8])
    r = make_reader(data)
    with pytest.raises(struct.error):
        call(r, "read_single_array")


@pytest.mark.parametrize("method", ["read_int32_array", "read_int64_array",
                                    "read_single_array", "read_string", "read_datetime"])
def test_nothing_left_raises_index_error(make_reader, method):
    r = make_reader(b"\x3f")
    call(r, "skip_bytes", 1)
    with pytest.raises(IndexError):
        call(r, method)
    assert pos(r) == 1


# --- strings -------------------------------------------------------------

EURO = "\u20ac"  # three bytes in UTF-8

STRINGS = [
    ("40", "", 1),
    ("43 61 62 63", "abc", 4),
    ("7F" + " 61" * 63, "a" * 63, 64),
    ("A8 03 E2 82 AC", EURO, 5),
    ("A0 03 61 62 63", "abc", 5),
    ("A1 00" + " 7A" * 256, "z" * 256, 258),
    ("C9 03 00 E2 82 AC", EURO, 6),
    ("CB 03 00 00 00 E2 82 AC", EURO, 8),
    ("C8 02 00 41 42", "AB", 5),
    ("CA 02 00 00 00 41 42", "AB", 7),
    ("D8 02 00 41 42", "AB", 5),
    ("C8 00 00", "", 3),
]


@pytest.mark.parametrize("data, expected, size", STRINGS)
def test_string_examples(make_reader, data, expected, size):
    r = make_reader(h(data) + TAIL)
    assert call(r, "read_string") == expected
    assert pos(r) == size


@pytest.mark.parametrize("first_byte", [0xC8, 0xD8, 0xE8, 0xF8, 0xC9, 0xD9, 0xE9, 0xF9,
                                        0xCA, 0xDA, 0xEA, 0xFA, 0xCB, 0xDB, 0xEB, 0xFB])
def test_wide_header_variants_are_chosen_by_bit_tests(make_reader, first_byte):
    utf8 = bool(first_byte & 1)
    text = "n" + EURO if utf8 else "plain"
    encoder = w.string32 if first_byte & 0x02 else w.string16
    data = encoder(text, utf8=utf8, first_byte=first_byte)
    r = make_reader(data + TAIL)
    assert call(r, "read_string") == text
    assert pos(r) == len(data)


@pytest.mark.parametrize("text", ["", "x", "a" * 63, "a" * 64, "b" * 2047, "c" * 2048,
                                  "d" * 70000, "\u00e9t\u00e9", EURO * 700])
def test_writer_strings_read_back(make_reader, text):
    data = w.string(text)
    r = make_reader(data + TAIL)
    assert call(r, "read_string") == text
    assert pos(r) == len(data)


EMPTY_WITHOUT_CONSUMING = [0x00, 0x03, 0x08, 0x38, 0x3B, 0x80, 0x83, 0x8B, 0x90, 0x9B,
                           0xC0, 0xC3, 0xD0, 0xD3, 0xE0, 0xE3, 0xF0, 0xF3]
REFUSED_WITHOUT_CONSUMING = [0x04, 0x07, 0x0C, 0x3C, 0x3F, 0x84, 0x87, 0x8F, 0x94, 0x9C,
                             0xC4, 0xC7, 0xD4, 0xD7, 0xE4, 0xE7, 0xF4, 0xF7,
                             0xB0, 0xB5, 0xBF]


@pytest.mark.parametrize("first_byte", EMPTY_WITHOUT_CONSUMING, ids=hex)
def test_bytes_of_no_string_layout_give_empty_text(make_reader, first_byte):
    r = make_reader(bytes([first_byte]) + b"\x41" * 8)
    assert call(r, "read_string") == ""
    assert pos(r) == 0


@pytest.mark.parametrize("first_byte", REFUSED_WITHOUT_CONSUMING, ids=hex)
def test_refused_first_bytes(make_reader, first_byte):
    r = make_reader(bytes([first_byte]) + b"\x41" * 8)
    with pytest.raises(ZarnException) as info:
        call(r, "read_string")
    assert info.value.args == (STRING_ERROR,)
    assert pos(r) == 0


@pytest.mark.parametrize("first_byte", [0xCC, 0xCD, 0xDC, 0xDD, 0xEC, 0xED, 0xFC, 0xFD,
                                        0xCE, 0xCF, 0xDE, 0xDF, 0xEE, 0xEF, 0xFE, 0xFF],
                         ids=hex)
def test_wide_headers_with_bit_2_fail_after_the_header(make_reader, first_byte):
    encoder = w.string32 if first_byte & 0x02 else w.string16
    r = make_reader(encoder("AB", first_byte=first_byte) + TAIL)
    with pytest.raises(ZarnException) as info:
        call(r, "read_string")
    assert info.value.args == (STRING_ERROR,)
    assert pos(r) == (5 if first_byte & 0x02 else 3)


@pytest.mark.parametrize("data, size", [
    (h("A0 03 E2 82 AC"), 5),      # ASCII layout with bytes >= 0x80
    (h("42 41 80"), 3),            # short strings are ASCII
    (h("A8 02 FF FE"), 4),         # invalid UTF-8
    (h("C9 02 00 C3 28"), 5),
])
def test_text_invalid_in_its_encoding(make_reader, data, size):
    r = make_reader(data + TAIL)
    with pytest.raises(UnicodeDecodeError):
        call(r, "read_string")
    assert pos(r) == size


TRUNCATED_STRINGS = [
    h("45 61 62"),                 # 5 announced, 2 there
    w.string11("abc", length=4),
    w.string11("abc", utf8=True, length=2047),
    h("C8 01"),                    # the 16-bit length itself is cut
    h("CA 05 00 00"),              # the 32-bit length is cut
    w.string16("abc", length=4),
    w.string32("abc", length=0xFFFFFFFF),
    w.string32("abc", utf8=True, length=0x7FFFFFFF),
]


@pytest.mark.parametrize("data", TRUNCATED_STRINGS, ids=lambda d: d[:6].hex())
def test_truncated_string_fails_on_the_tag(make_reader, data):
    r = make_reader(b"\x00\x00" + data)
    call(r, "set_buffer", 2)
    with pytest.raises(ZarnException) as info:
        call(r, "read_string")
    assert info.value.args == (STRING_ERROR,)
    assert pos(r) == 2


@pytest.mark.large_file
@pytest.mark.parametrize("data", [w.string32("abc", length=0xFFFFFFFF),
                                  w.string16("x" * 10, length=0xFFFF)],
                         ids=["32", "16"])
def test_truncated_string_in_a_large_file(make_reader, data):
    r = make_reader(b"\x00" * (WINDOW + 5) + data)
    call(r, "set_buffer", WINDOW + 5)
    with pytest.raises(ZarnException) as info:
        call(r, "read_string")
    assert info.value.args == (STRING_ERROR,)
    assert pos(r) == WINDOW + 5


def test_truncated_string_in_decompressed_content(make_reader):
    r = make_reader(w.compressed_segment(w.string16("abc", length=500)))
    call(r, "set_decompressed_buffer")
    with pytest.raises(ZarnException) as info:
        call(r, "read_string")
    assert info.value.args == (STRING_ERROR,)
    assert r._KxmFileReader__local_position == 0


# --- date-times ----------------------------------------------------------

EPOCH = 621355968000000000


@pytest.fixture
def parser():
    return DateTimeParser._DateTimeParser__create_instance()


NAIVE_DATES = [
    (EPOCH, datetime.datetime(1970, 1, 1)),
    (0, datetime.datetime(1, 1, 1)),
    (EPOCH - 5000, datetime.datetime(1969, 12, 31, 23, 59, 59, 999500)),
    (EPOCH + 15, datetime.datetime(1970, 1, 1, 0, 0, 0, 1)),
    (w.ticks(datetime.datetime(2024, 5, 17, 12, 34, 56)) - 1,
     datetime.datetime(2024, 5, 17, 12, 34, 55, 999999)),
    (EPOCH | (1 << 63), datetime.datetime(1970, 1, 1)),
    (w.ticks(datetime.datetime(9999, 12, 31, 23, 59, 59, 999999)) + 9,
     datetime.datetime(9999, 12, 31, 23, 59, 59, 999999)),
    (w.ticks(datetime.datetime(1600, 2, 29, 6, 7, 8, 9)),
     datetime.datetime(1600, 2, 29, 6, 7, 8, 9)),
]


@pytest.mark.parametrize("ticks, expected", NAIVE_DATES)
def test_naive_date_times(parser, ticks, expected):
    value = parser._DateTimeParser__get_datetime(ticks)
    assert value == expected
    assert value.tzinfo is None


def utc_fields(value):
    return value.astimezone(datetime.timezone.utc).replace(tzinfo=None)


@pytest.mark.parametrize("ticks, expected", NAIVE_DATES[:5])
def test_utc_flag_gives_the_instant_in_the_local_zone(parser, ticks, expected):
    value = parser._DateTimeParser__get_datetime(ticks | w.UTC_FLAG)
    assert isinstance(value.tzinfo, tz.tzlocal)
    assert utc_fields(value) == expected


@pytest.fixture
def local_zone(monkeypatch):
    """local_zone(zone) makes `zone` (a TZ value) the process's local time zone for the test."""
    def set_zone(zone):
        monkeypatch.setenv("TZ", zone)
        time.tzset()
    yield set_zone
    monkeypatch.undo()
    time.tzset()


EASTERN = "EST5EDT,M3.2.0,M11.1.0"


@pytest.mark.parametrize("zone, moment, local", [
    ("UTC0", datetime.datetime(2024, 6, 1, 12, 0), datetime.datetime(2024, 6, 1, 12, 0)),
    (EASTERN, datetime.datetime(2024, 6, 1, 12, 0), datetime.datetime(2024, 6, 1, 8, 0)),
    (EASTERN, datetime.datetime(2024, 1, 1, 3, 0), datetime.datetime(2023, 12, 31, 22, 0)),
    ("JST-9", datetime.datetime(2024, 6, 1, 20, 30, 0, 5), datetime.datetime(2024, 6, 2, 5, 30, 0, 5)),
])
def test_a_utc_value_is_the_same_instant_in_any_local_zone(parser, local_zone, zone, moment, local):
    local_zone(zone)
    value = parser._DateTimeParser__get_datetime(w.ticks(moment, utc=True))
    assert isinstance(value.tzinfo, tz.tzlocal)
    assert value.replace(tzinfo=None) == local
    assert utc_fields(value) == moment


def test_a_utc_value_the_local_zone_would_move_before_year_1_keeps_its_fields(parser, local_zone):
    local_zone(EASTERN)
    moment = datetime.datetime(1, 1, 1, 1, 0)
    value = parser._DateTimeParser__get_datetime(w.ticks(moment, utc=True))
    assert isinstance(value.tzinfo, tz.tzlocal)
    assert value.replace(tzinfo=None) == moment


@pytest.mark.parametrize("ticks", [
    w.ticks(datetime.datetime(9999, 12, 31, 23, 59, 59, 999999)) + 10,
    (1 << 62) - 1])
def test_date_time_beyond_year_9999(parser, ticks):
    with pytest.raises(ValueError):
        parser._DateTimeParser__get_datetime(ticks)


@pytest.mark.parametrize("moment, utc", [
    (datetime.datetime(2021, 3, 4, 5, 6, 7, 891011), False),
    (datetime.datetime(1969, 7, 20, 20, 17, 40), True),
    (datetime.datetime(1, 1, 1, 0, 0, 0, 1), False),
])
def test_read_datetime(make_reader, moment, utc):
    data = w.datetime_value(moment, utc)
    assert len(data) == 9
    r = make_reader(data + TAIL)
    value = call(r, "read_datetime")
    assert (utc_fields(value) if utc else value) == moment
    assert isinstance(value.tzinfo, tz.tzlocal) if utc else value.tzinfo is None
    assert pos(r) == 9


@pytest.mark.parametrize("data, error, at", [
    (h("D2 00 00 00 00 00 00 00 00"), "DateTime could not be read", 0),
    (h("C5 00 00 00 00 00 00 00 00"), "DateTime could not be read", 0),
    (h("D3 01 02 03 04 05 06 07"), "DateTime could not be read", 0),   # cut short
    (h("D3"), "DateTime could not be read", 0),
])
def test_read_datetime_failures(make_reader, data, error, at):
    r = make_reader(data)
    with pytest.raises(ZarnException) as info:
        call(r, "read_datetime")
    assert info.value.args == (error,)
    assert pos(r) == at


def test_read_datetime_out_of_range_consumes_the_value(make_reader):
    r = make_reader(w.datetime_ticks((1 << 62) - 1) + TAIL)
    with pytest.raises(ValueError):
        call(r, "read_datetime")
    assert pos(r) == 9

"""The test writer against the byte examples of the format."""

import datetime

import pytest
import zstandard

import zarnwriter as w


def h(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("data, expected", [
    (w.symbol(13), "80 0D"),
    (w.symbol(4095), "8F FF"),
    (w.mini_uint(2748), "9A BC"),
    (w.tiny_uint(55), "37"),
    (w.boolean(True) + w.boolean(False), "3F 3E"),
    (w.int16(-1), "C0 FF FF"),
    (w.uint16(4660), "C1 34 12"),
    (w.int32(-2147483648), "C2 00 00 00 80"),
    (w.uint32(4294967295), "C3 FF FF FF FF"),
    (w.int64(-1), "C4" + " FF" * 8),
    (w.uint64(2**64 - 1), "C5" + " FF" * 8),
    (w.single(1.0), "C6 00 00 80 3F"),
    (w.double(1.0), "C7 00 00 00 00 00 00 F0 3F"),
    (w.uint16_or_32(4660), "C1 34 12"),
    (w.uint16_or_32(4660, wide=True), "C3 34 12 00 00"),
    (w.int32_array([1, -1]), "E2 01 C2 08 00 00 00 01 00 00 00 FF FF FF FF"),
    (w.single_array([1.0]), "E6 01 C2 04 00 00 00 00 00 80 3F"),
    (w.int64_array(), "E4 00"),
    (w.collection(0xE5, h("AA BB CC"), b""), "E5 02 C2 03 00 00 00 AA BB CC C2 00 00 00 00"),
    (w.collection(0xE2, b"", lengths=[-4]), "E2 01 C2 FC FF FF FF"),
    (w.short_string("abc"), "43 61 62 63"),
    (w.short_string(""), "40"),
    (w.string11("\u20ac", utf8=True), "A8 03 E2 82 AC"),
    (w.string11(b"\xe2\x82\xac"), "A0 03 E2 82 AC"),
    (w.string16("\u20ac", utf8=True), "C9 03 00 E2 82 AC"),
    (w.string32("\u20ac", utf8=True), "CB 03 00 00 00 E2 82 AC"),
    (w.string16("AB", first_byte=0xD8), "D8 02 00 41 42"),
    (w.string16("AB", first_byte=0xCC), "CC 02 00 41 42"),
    (w.packed_int32([1, -2]), "00 FF 00 FF 00 FF 01 FE"),
    (w.packed_int32([100, 5, 5]), "00 00 00 00 00 00 00 00 00 64 05 05"),
    (w.packed_int32([7, 0, -1]), "00 00 FF 00 00 FF 00 00 FF 07 00 FF"),
    (w.packed_int64([-(2**63)]), "80 00 00 00 00 00 00 00"),
    (w.float_array([0.5, 1.0]), "00 00 00 3F 00 00 80 3F"),
])
def test_byte_examples(data, expected):
    assert data == h(expected)


def test_string_picks_the_shortest_layout():
    assert w.string("a" * 63)[0] == 0x7F
    assert w.string("a" * 64)[:2] == h("A0 40")
    assert w.string("\u00e9")[:2] == h("A8 02")
    assert w.string("b" * 2048)[:3] == h("C8 00 08")
    assert w.string("c" * 65536)[:5] == h("CA 00 00 01 00")


def test_date_time_ticks():
    assert w.ticks(datetime.datetime(1970, 1, 1)) == w.EPOCH_TICKS
    assert w.ticks(datetime.datetime(1, 1, 1)) == 0
    assert w.ticks(datetime.datetime(1, 1, 1, 0, 0, 1, 5)) == 10_000_050
    assert w.ticks(datetime.datetime(1970, 1, 1), utc=True) == w.EPOCH_TICKS | (1 << 62)
    aware = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=5)))
    assert w.ticks(aware) == w.EPOCH_TICKS
    assert w.datetime_value(datetime.datetime(1970, 1, 1)) == b"\xd3" + w.EPOCH_TICKS.to_bytes(8, "little")


@pytest.mark.parametrize("content_size", [True, False])
def test_compressed_segment(content_size):
    seg = w.compressed_segment(b"payload" * 10, content_size=content_size)
    assert seg[0] == 0xC2
    length = int.from_bytes(seg[1:5], "little", signed=True)
    frame = seg[5:]
    assert length == len(frame)
    declared = zstandard.frame_content_size(frame)
    assert declared == (70 if content_size else -1)
    assert zstandard.ZstdDecompressor().decompressobj().decompress(frame) == b"payload" * 10
    assert w.compressed_segment(frame=b"junk", length=-3) == h("C2 FD FF FF FF") + b"junk"


@pytest.mark.parametrize("value, code", [
    (1073741823, 2147483645), (1073741824, -2147483648), (-1073741823, 2147483646),
    (-1073741824, -2147483649), (2147483647, -2), (-2147483648, -1), (0, 0), (1, 1),
])
def test_compression_ready_codes(value, code):
    assert w.compression_ready_code(value) == code


@pytest.mark.parametrize("make", [
    lambda: w.tiny_uint(64), lambda: w.mini_uint(4096), lambda: w.symbol(-1),
    lambda: w.short_string("a" * 64), lambda: w.string11("a" * 2048),
    lambda: w.string16("a", first_byte=0xCA), lambda: w.string32("a", first_byte=0xC8),
    lambda: w.packed_int32([2**31]), lambda: w.collection(0xD0),
    lambda: w.file_image(4, [(2, b"abc")]),
])
def test_writer_refuses_values_its_encodings_cannot_hold(make):
    with pytest.raises(ValueError):
        make()


def test_file_image():
    assert w.file_image(6, [(1, b"ab"), (4, b"z")]) == b"\x00ab\x00z\x00"
    assert w.file_image(5, filler=b"xy") == b"xyxyx"

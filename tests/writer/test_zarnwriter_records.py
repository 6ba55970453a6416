"""The test writer's records and container blocks against the byte
examples of the format."""

import hashlib

import pytest

import zarnwriter as w


def h(text):
    return bytes.fromhex(text.replace("|", " "))


@pytest.mark.parametrize("data, expected", [
    (w.symbol(w.START_OF_ZARN), "80 01"),
    (w.symbol(w.BEGIN_OF_ACQUISITION_CONDITION), "80 22"),
    (w.vendor_condition(type=1, original_id=2, cone_voltage=80.0),
     "80 24 | 01 01 | 02 C2 02 00 00 00 | 03 C7 00 00 00 00 00 00 54 40 | 80 25"),
    (w.triple_q_scan_condition(type=1, target_mz=184.07, q3_range=(400.0, 900.0)),
     "80 24 | 01 01 | 02 C7 0A D7 A3 70 3D 02 67 40 | 04 C7 00 00 00 00 00 00 79 40 "
     "C7 00 00 00 00 00 20 8C 40 | 80 25"),
    (w.core_condition(ms_level=2, collision_energy=35.0,
                      triple_q_scan_condition=w.triple_q_scan_condition(type=1)),
     "80 22 | 01 C1 02 00 | 02 C7 00 00 00 00 00 80 41 40 | 07 80 24 01 01 80 25 | 80 23"),
    (w.acquisition_condition(), "80 22 80 23"),
    (w.acquisition_condition(internal_acquisition_core_condition_index=2), "80 22 01 C2 02 00 00 00 80 23"),
    (w.spectrum_description(), "80 1E 3E 80 1F"),
    (w.spectrum_description(ms_level=1), "80 1E 03 C1 01 00 3E 80 1F"),
    (w.jump_table(0x0102, 7), "80 0A C4 02 01 00 00 00 00 00 00 C4 07 00 00 00 00 00 00 00"),
    (w.conversion_options(keep_only_ms1=True, keep_profile_spectra=True), "80 06 02 03 80 07"),
])
def test_byte_examples(data, expected):
    assert data == h(expected)


def test_digest_shift_example():
    # 3.6.0 shifts every digest byte by 19: 0xF0 becomes 0x03.
    shifted = w.digest(b"", b"", (3, 6, 0))
    plain = hashlib.md5(b"").digest()
    assert [(p + 19) % 256 for p in plain] == list(shifted)
    assert (0xF0 + 19) % 256 == 0x03


@pytest.mark.parametrize("version, has_lib, has_user, has_options, jump_table_last", [
    ((3, 0, 0), False, False, False, False),
    ((3, 2, 0), False, True, False, False),
    ((3, 3, 0), True, True, True, True),
    ((3, 6, 0), True, True, True, True),
])
def test_header_layout_by_version(version, has_lib, has_user, has_options, jump_table_last):
    head = w.header(version, lib_version=(4, 5, 6), user_info=b"U")
    expected = (w.symbol(1) + w.symbol(3) + w.string(w.MAGIC) + w.mini_uint(version[0])
                + w.mini_uint(version[1]) + w.uint16(version[2]) + w.uint16(0)
                + (w.mini_uint(4) + w.mini_uint(5) + w.uint16(6) if has_lib else b"")
                + (w.uint16(1) + b"U" if has_user else b"")
                + (w.symbol(6) + w.symbol(7) if has_options else b"")
                + w.symbol(4))
    assert head == expected
    data = w.zarn_file(version, lib_version=(4, 5, 6), user_info=b"U")
    table = w.jump_table(len(data) - 20 - len(w.measurement_index_block([])))
    if jump_table_last:
        assert data.endswith(table)
    else:
        assert data[len(head):len(head) + 20] == w.jump_table(len(head) + 20)


def test_digest_covers_the_finished_file():
    data = w.zarn_file((3, 6, 1), option=1, user_info=b"abc", body=b"payload")
    head = w.header((3, 6, 1), option=1, user_info=b"abc",
                    digest_bytes=bytes(w.DIGEST_BLOCK_SIZE))
    start, size = len(head), len(data) - len(head)
    stored = data[len(head) - 18:len(head) - 2]
    assert stored == w.digest(b"abc", data[start:], (3, 6, 1))
    assert data[len(head) - 18 - 10:len(head) - 18] == w.uint16(0) + w.mini_uint(start) + w.uint32(size)


def test_quan_description_leading_boolean_by_version():
    assert w.quan_description(q1=1.0, version=(3, 5)) == w.FALSE + w.tiny_uint(3) + w.double(1.0)
    assert w.quan_description(q1=1.0, version=(3, 6)) == w.tiny_uint(3) + w.double(1.0)


def test_spectrum_totals_by_version():
    assert w.spectrum_description(totals=(1, 2, 3), version=(3, 2)).endswith(
        w.TRUE + w.single(1) + w.single(2) + w.single(3) + w.symbol(31))
    assert w.spectrum_description(totals=(1, 2, 3), version=(3, 3)).endswith(
        w.TRUE + w.double(1) + w.double(2) + w.double(3) + w.symbol(31))


def test_supplemental_string():
    assert w.supplemental({"a": "1", "b": "2"}) == w.string("a\u241f1\u241eb\u241f2")
    assert w.supplemental("raw") == w.string("raw")


def test_index_block_frames():
    functions = w.function_index_block([(5, b"F")])
    assert functions == (h("80 1A C1 01 00 E4 01 C2 08 00 00 00 05 00 00 00 00 00 00 00")
                         + w.compressed_segment(b"F") + h("80 1B"))
    spectra = w.spectrum_index_block([(5, b"S")], profile_offsets=[6])
    assert spectra == (h("80 20 C3 01 00 00 00 3F E4 01 C2 08 00 00 00 05 00 00 00 00 00 00 00"
                         "E4 01 C2 08 00 00 00 06 00 00 00 00 00 00 00")
                       + w.compressed_segment(b"S") + h("80 21"))
    measurements = w.measurement_index_block([(7, b"M")])
    assert measurements == (h("80 14 C1 01 00") + w.compressed_segment(w.int64(7) + b"M")
                            + h("80 15 80 02"))

"""The file header, version gate, integrity digest, jump table and
measurement index, read by JumpTable."""

import pytest

import zarnwriter as w
from kit.reader import noise
from kit.records import create, field, fields
from zarn_data_access._internal import _description as D
from zarn_data_access._internal import _enum
from zarn_data_access._internal import _index as I
from zarn_data_access.exception import ZarnException, ZarnVersionException

VERSIONS = [(3, 0, 0), (3, 1, 0), (3, 2, 7), (3, 3, 0), (3, 4, 1), (3, 5, 0), (3, 6, 0)]
MEASUREMENTS = [
    (1000, w.measurement_description("h1", sample_name="A", supplemental_properties={"k": "v"})),
    (-5, w.measurement_description("h2")),
]


def open_table(make_reader, data):
    reader = make_reader(data)
    return reader, create(I.JumpTable, reader)


def late(version):
    return version[0] > 3 or (version[0] == 3 and version[1] >= 3)


def test_index_module_names():
    assert I.ZarnSymbols is _enum.ZarnSymbols
    for name in ("MeasurementDescription", "FunctionDescription", "InternalSpectrumDescription"):
        assert getattr(I, name) is getattr(D, name)
    assert (I.ZarnException, I.ZarnVersionException) == (ZarnException, ZarnVersionException)
    for cls in (I.JumpTable, I.ZarnInternalConversionOptions, I.MeasurementIndex, I.FunctionIndex,
                I.SpectrumIndex):
        with pytest.raises(Exception, match="^Inaccessible due to protection level$"):
            cls()
    assert (I.JumpTable._JumpTable__current_major, I.JumpTable._JumpTable__current_minor) == (3, 6)


# A 3.0 file has no user info bytes and so no digest.
@pytest.mark.parametrize("version, digest", [(v, d) for v in VERSIONS for d in (False, True) if v[1] or not d],
                         ids=lambda x: "%d.%d.%d" % x if isinstance(x, tuple) else ["plain", "digest"][x])
def test_every_format_version_opens(make_reader, version, digest):
    data = w.zarn_file(version, MEASUREMENTS, option=1 if digest else 0, lib_version=(4, 5, 6),
                       user_info=b"user info", body=b"data blocks" * 5)
    reader, table = open_table(make_reader, data)
    assert fields(table, "major_version minor_version revision_version") == dict(
        major_version=version[0], minor_version=version[1], revision_version=version[2])
    lib = (4, 5, 6) if late(version) else (0, 0, 0)
    assert tuple(field(table, n) for n in ("major_lib_version", "minor_lib_version", "revision_lib_version")) == lib
    assert (reader._KxmFileReader__major_version, reader._KxmFileReader__minor_version,
            reader._KxmFileReader__revision_version) == version

    head = len(w.header(version, option=1 if digest else 0, user_info=b"user info",
                        digest_bytes=bytes(w.DIGEST_BLOCK_SIZE)))
    jump_at = len(data) - 20 if late(version) else head
    assert field(table, "jump_table_position") == jump_at
    index_at = field(table, "measurement_index_position")
    assert data[jump_at:jump_at + 20] == w.jump_table(index_at)
    assert data[index_at:index_at + 2] == w.symbol(w.BEGIN_OF_MEASUREMENT_INDEX_BLOCK)
    assert field(table, "user_def_bytes_position") == 0

    if late(version):
        assert type(table.conversion_options) is I.ZarnInternalConversionOptions
    else:
        with pytest.raises(AttributeError):
            table.conversion_options

    assert field(table, "num_measurements") == 2
    entries = field(table, "measurement_index_list")
    assert entries is field(table, "measurement_index_list")
    assert [type(e) for e in entries] == [I.MeasurementIndex] * 2
    assert [field(e, "position") for e in entries] == [1000, -5]
    assert all(field(e, "reader") is reader for e in entries)
    first = field(entries[0], "measurement_description")
    assert type(first) is D.MeasurementDescription and first is field(entries[0], "measurement_description")
    assert fields(first, "hash sample_name") == {"hash": "h1", "sample_name": "A"}
    assert field(first, "supplemental_properties") == {"k": "v"}
    # The reader stands after the closing limit symbol, in the file.
    assert reader._KxmFileReader__get_absolute_position() == index_at + len(w.measurement_index_block(MEASUREMENTS))


@pytest.mark.parametrize("version, message", [
    ((3, 7, 0), "Unsupported Version: 3.7.0. Please update Zarn API."),
    ((4, 0, 0), "Unsupported Version: 4.0.0. Please update Zarn API."),
    ((3, 4095, 12), "Unsupported Version: 3.4095.12. Please update Zarn API."),
])
def test_newer_formats_are_refused(make_reader, version, message):
    with pytest.raises(ZarnVersionException) as caught:
        open_table(make_reader, w.zarn_file(version, MEASUREMENTS))
    assert str(caught.value) == message and isinstance(caught.value, ZarnException)


@pytest.mark.parametrize("version", [(2, 9, 0), (3, 6, 65535), (0, 0, 0)])
def test_older_majors_and_any_revision_open(make_reader, version):
    reader, table = open_table(make_reader, w.zarn_file(version, MEASUREMENTS))
    assert field(table, "revision_version") == version[2]
    assert len(field(table, "measurement_index_list")) == 2
    if version[0] < 3:
        assert field(table, "major_lib_version") == 0
        with pytest.raises(AttributeError):
            table.conversion_options


def header_with(version=(3, 6, 0), **changes):
    """A 3.6 file whose header is built from `changes` of the parts."""
    parts = dict(start=w.symbol(1) + w.symbol(3), magic=w.string(w.MAGIC),
                 numbers=w.mini_uint(version[0]) + w.mini_uint(version[1]) + w.uint16(version[2]),
                 option=w.uint16(0), lib=w.mini_uint(1) + w.mini_uint(2) + w.uint16(3),
                 user=w.uint16(0), options=w.conversion_options(), end=w.symbol(4))
    parts.update(changes)
    head = b"".join(parts.values())
    index = w.measurement_index_block([])
    return head + index + w.jump_table(len(head))


@pytest.mark.parametrize("changes, error, message", [
    (dict(magic=w.string("#!Zarn@KXM")), ZarnException, "Zarn header is not correct"),
    (dict(magic=w.string("#!zarn@kxm;")), ZarnException, "Zarn header is not correct"),
    (dict(magic=w.string("#!Zarn@KXM; ")), ZarnException, "Zarn header is not correct"),
    (dict(magic=w.int64(5)), ZarnException, "String could not be read [Position: {AbsolutePosition}]"),
    (dict(start=w.symbol(2) + w.symbol(3)), ZarnException, "Zarn symbol error"),
    (dict(start=w.symbol(1) + w.tiny_uint(3)), ZarnException, "Zarn symbol could not be read"),
    (dict(numbers=w.uint16(3) + w.mini_uint(6) + w.uint16(0)), ZarnException, "MiniUInt could not be read"),
    (dict(numbers=w.mini_uint(3) + w.mini_uint(6) + w.mini_uint(0)), ZarnException, "UInt16 could not be read"),
    (dict(option=w.uint32(0)), ZarnException, "UInt16 could not be read"),
    (dict(user=w.uint32(0)), ZarnException, "UInt16 could not be read"),
    (dict(end=w.symbol(7)), ZarnException, "Zarn symbol error"),
    (dict(options=w.symbol(6) + w.tiny_uint(5) + w.tiny_uint(1) + w.symbol(7)), ZarnException,
     "Boolean could not be read"),
])
def test_header_errors(make_reader, changes, error, message):
    with pytest.raises(error) as caught:
        open_table(make_reader, header_with(**changes))
    assert str(caught.value) == message


def test_version_is_set_before_the_conversion_options_are_read(make_reader):
    # The record reads as a 3.4 record: the precision flag starts true.
    _, table = open_table(make_reader, header_with((3, 4, 0)))
    assert table.conversion_options._ZarnInternalConversionOptions__use_specified_chromatogram_intensity_precision


# --- integrity digest ---------------------------------------------------------

def test_digest_mismatch_is_corruption(make_reader):
    data = bytearray(w.zarn_file((3, 6, 0), MEASUREMENTS, option=1, user_info=b"u", body=b"payload"))
    data[data.index(b"payload")] ^= 1
    with pytest.raises(ZarnException, match="^File is corrupted$"):
        open_table(make_reader, bytes(data))


def test_user_info_bytes_are_part_of_the_digest(make_reader):
    data = w.zarn_file((3, 6, 0), MEASUREMENTS, option=1, user_info=b"user", body=b"x")
    with pytest.raises(ZarnException, match="^File is corrupted$"):
        open_table(make_reader, data.replace(b"user", b"usEr", 1))


def test_digest_on_a_file_without_user_info_is_corruption(make_reader):
    data = w.zarn_file((3, 0, 0), MEASUREMENTS, option=1, stored_hash=bytes(16))
    with pytest.raises(ZarnException, match="^File is corrupted$"):
        open_table(make_reader, data)


HEAD = len(w.header((3, 6, 0), option=1, user_info=b"abc", digest_bytes=bytes(w.DIGEST_BLOCK_SIZE)))


@pytest.mark.parametrize("kwargs", [
    dict(option=0xFFFE),  # only bit 0 announces the digest
    dict(option=0xFFFF, user_info=b""),  # the raw-data range alone
    dict(option=1, digest_range=(HEAD + 10, 10 ** 9)),  # cut at the end of the file
    dict(option=1, digest_range=(0, 40)),  # inside the header, before the digest
    dict(option=1, digest_range=(HEAD, 0)),  # an empty range
])
def test_digest_variants_that_open(make_reader, kwargs):
    kwargs.setdefault("user_info", b"abc")
    _, table = open_table(make_reader, w.zarn_file((3, 6, 0), MEASUREMENTS, body=b"b" * 100, **kwargs))
    assert field(table, "num_measurements") == 2


def test_digest_shift_wraps_around(make_reader):
    # 10 + 3 + 6 + 237 = 256: the shift is taken modulo 256, here 0.
    data = w.zarn_file((3, 6, 237), MEASUREMENTS, option=1, user_info=b"u")
    _, table = open_table(make_reader, data)
    assert field(table, "revision_version") == 237


def test_largest_range_start(make_reader):
    data = w.zarn_file((3, 6, 0), MEASUREMENTS, option=1, user_info=b"u", body=noise(5000),
                       digest_range=(4095, 300))
    _, table = open_table(make_reader, data)
    assert field(table, "num_measurements") == 2


def test_range_starting_outside_the_file_is_corruption(make_reader):
    # An empty range at 4000 of a shorter file: hashing the user info alone
    # would match the stored digest, but the declared range is not there.
    user_info = b"u"
    data = w.zarn_file((3, 6, 0), MEASUREMENTS, option=1, user_info=user_info, digest_range=(4000, 0),
                       stored_hash=w.digest(user_info, b"", (3, 6, 0)))
    assert len(data) < 4000
    with pytest.raises(ZarnException, match="^File is corrupted$"):
        open_table(make_reader, data)


@pytest.mark.large_file
def test_digest_over_a_large_range(make_reader):
    data = w.zarn_file((3, 6, 0), MEASUREMENTS, option=1, user_info=b"u", body=noise(3 * w.WINDOW))
    reader, table = open_table(make_reader, data)
    assert len(field(table, "measurement_index_list")) == 2
    assert reader._KxmFileReader__is_small_file is False
    corrupted = bytearray(data)
    corrupted[2 * w.WINDOW] ^= 0x40
    with pytest.raises(ZarnException, match="^File is corrupted$"):
        open_table(make_reader, bytes(corrupted))


# --- jump table and measurement index ------------------------------------------------

@pytest.mark.large_file
@pytest.mark.parametrize("version", [(3, 2, 0), (3, 6, 0)])
def test_large_file(make_reader, version):
    reader, table = open_table(make_reader, w.zarn_file(version, MEASUREMENTS, body=noise(2 * w.WINDOW)))
    assert [field(e, "position") for e in field(table, "measurement_index_list")] == [1000, -5]


@pytest.mark.parametrize("position", [-1, 10 ** 6, 2 ** 63 - 1])
def test_measurement_index_position_outside_the_file(make_reader, position):
    data = w.zarn_file((3, 6, 0), MEASUREMENTS, index_position=position)
    with pytest.raises(ZarnException) as caught:
        open_table(make_reader, data)
    assert str(caught.value) == f"Measurement index position {position} lies outside the file"


def test_measurement_index_position_at_the_wrong_place(make_reader):
    data = w.zarn_file((3, 6, 0), MEASUREMENTS, index_position=0)
    with pytest.raises(ZarnException, match="^Zarn symbol error$"):
        open_table(make_reader, data)


@pytest.mark.parametrize("version", [(3, 2, 0), (3, 6, 0)])
def test_jump_table_errors(make_reader, version):
    data = w.zarn_file(version, MEASUREMENTS)
    table_at = len(data) - 20 if late(version) else len(w.header(version))
    broken = data[:table_at] + w.symbol(w.START_OF_ZARN) + data[table_at + 2:]
    with pytest.raises(ZarnException, match="^Zarn symbol error$"):
        open_table(make_reader, broken)
    broken = data[:table_at + 2] + w.uint32(0) + data[table_at + 7:]
    with pytest.raises(ZarnException, match="^Int64 could not be read$"):
        open_table(make_reader, broken)


def test_measurement_count_zero(make_reader):
    reader, table = open_table(make_reader, w.zarn_file((3, 6, 0), []))
    assert field(table, "num_measurements") == 0
    assert field(table, "measurement_index_list") == []


def test_wide_measurement_count(make_reader):
    block = w.measurement_index_block(MEASUREMENTS, wide=True)
    _, table = open_table(make_reader, w.zarn_file((3, 6, 0), index_block=block))
    assert field(table, "num_measurements") == 2


@pytest.mark.parametrize("block, error, message", [
    (w.measurement_index_block(MEASUREMENTS, count=3), IndexError, None),
    (w.measurement_index_block(MEASUREMENTS, count=2 ** 32 - 1, wide=True), IndexError, None),
    (w.measurement_index_block([(1, w.measurement_description("")[:-2] + w.symbol(31))]), ZarnException,
     "Zarn symbol error"),
    (w.measurement_index_block([(1, w.measurement_description("", (12, w.double(1))))]), ZarnException,
     "TinyUInt could not be read"),
    (w.measurement_index_block([], count=0, content=w.double(1.0)), None, None),
    (w.measurement_index_block(MEASUREMENTS)[:-4] + w.symbol(2) + w.symbol(2), ZarnException, "Zarn symbol error"),
    (w.measurement_index_block(MEASUREMENTS)[:-2] + w.symbol(21), ZarnException, "Zarn symbol error"),
    (w.measurement_index_block(MEASUREMENTS)[:2] + w.uint64(2) + w.measurement_index_block(MEASUREMENTS)[5:],
     ZarnException, "UInt16/UInt32 could not be read"),
])
def test_measurement_index_block_errors(make_reader, block, error, message):
    data = w.zarn_file((3, 6, 0), index_block=block)
    if error is None:  # bytes after the counted entries are not read
        _, table = open_table(make_reader, data)
        assert field(table, "measurement_index_list") == []
        return
    reader = make_reader(data)
    with pytest.raises(error) as caught:
        create(I.JumpTable, reader)
    if message is not None:
        assert str(caught.value) == message
    # A failure inside the compressed segment leaves the file as the window.
    assert reader._KxmFileReader__common_buffer == data


def test_reading_the_measurement_index_again_makes_a_new_list(make_reader):
    reader, table = open_table(make_reader, w.zarn_file((3, 6, 0), MEASUREMENTS))
    before = field(table, "measurement_index_list")
    table._JumpTable__read_measurement_index(reader)
    after = field(table, "measurement_index_list")
    assert after is not before and len(after) == 2
    assert field(after[1], "position") == -5


# --- measurement index records -------------------------------------------------------

def test_measurement_index_record(make_reader):
    data = (w.int64(77) + w.measurement_description("one", supplemental_properties={"a": "1"})
            + w.int64(88) + w.measurement_description("two", supplemental_properties={"b": "2"}))
    reader = make_reader(data)
    entry = create(I.MeasurementIndex, reader)
    description = field(entry, "measurement_description")
    props = field(description, "supplemental_properties")
    assert (field(entry, "reader"), field(entry, "position"), field(description, "hash")) == (reader, 77, "one")
    entry._MeasurementIndex__read()
    assert field(entry, "measurement_description") is description
    assert (field(entry, "position"), field(description, "hash")) == (88, "two")
    assert props == {"a": "1", "b": "2"}


def test_measurement_index_record_errors(make_reader):
    with pytest.raises(ZarnException, match="^Int64 could not be read$"):
        create(I.MeasurementIndex, make_reader(w.int32(1) + w.measurement_description("")))
    with pytest.raises(TypeError):
        create(I.MeasurementIndex, "not a reader")

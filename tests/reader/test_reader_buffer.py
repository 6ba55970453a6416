"""Opening a file, windows of file bytes, raw bytes, compressed segments."""

import io

import pytest

import zarnwriter as w
from kit.reader import WINDOW, call, field, noise, pos
from zarn_data_access import zstd
from zarn_data_access._internal._enum import ZarnSymbols
from zarn_data_access._internal._reader import DateTimeParser, KxmFileReader
from zarn_data_access.exception import ZarnException

# --- construction --------------------------------------------------------

@pytest.mark.parametrize("cls", [KxmFileReader, DateTimeParser])
def test_direct_construction_is_refused(cls):
    with pytest.raises(Exception) as info:
        cls()
    assert type(info.value) is Exception
    assert info.value.args == ("Inaccessible due to protection level",)
    with pytest.raises(TypeError):
        cls("some.zarn")


def test_missing_file(tmp_path):
    path = str(tmp_path / "missing.zarn")
    with pytest.raises(ZarnException) as info:
        KxmFileReader._KxmFileReader__create_instance(path)
    assert info.value.args == ("File not found: " + path,)


def test_directory_fails_with_the_open_error(tmp_path):
    with pytest.raises(IsADirectoryError):
        KxmFileReader._KxmFileReader__create_instance(str(tmp_path))


def test_new_reader_fields(make_reader):
    data = noise(1000)
    r = make_reader(data)
    stream = field(r, "stream")
    assert isinstance(stream, io.BufferedReader) and not stream.closed
    assert field(r, "local_position") == 0
    assert field(r, "origin_of_local_position") == 0
    assert field(r, "after_decompressd_position") == 0
    assert field(r, "default_buffer_size") == WINDOW
    assert field(r, "stream_length") == 1000
    assert call(r, "get_file_channel_size") == 1000
    assert field(r, "is_small_file") is True
    assert field(r, "common_buffer") == data
    assert pos(r) == 0


def test_version_fields(make_reader):
    r = make_reader(b"\x00")
    with pytest.raises(AttributeError):
        r._KxmFileReader__major_version
    assert call(r, "set_version", 3, 6, 0) is None
    assert (field(r, "major_version"), field(r, "minor_version"),
            field(r, "revision_version")) == (3, 6, 0)


@pytest.mark.large_file
@pytest.mark.parametrize("size, small, window", [
    (0, True, 0),
    (WINDOW - 1, True, WINDOW - 1),
    (WINDOW, False, WINDOW),
    (WINDOW + 5000, False, WINDOW),
])
def test_mode_chosen_by_size(make_reader, size, small, window):
    data = noise(size)
    r = make_reader(data)
    assert field(r, "is_small_file") is small
    assert field(r, "common_buffer") == data[:window]
    assert call(r, "get_file_channel_size") == size


# --- __set_buffer --------------------------------------------------------

def test_empty_file_ignores_set_buffer(make_reader):
    r = make_reader(b"")
    call(r, "set_buffer", 0)
    assert pos(r) == 0 and field(r, "local_position") == 0
    assert call(r, "get_bytes", 4) == b""


@pytest.mark.parametrize("size", [100, WINDOW + 100],
                         ids=["small", "large"])
def test_set_buffer_outside_the_file_changes_nothing(make_reader, size):
    data = w.file_image(size, [(10, w.int32(7) + w.int32(8))])
    r = make_reader(data)
    call(r, "set_buffer", 10)
    assert call(r, "read_int32") == 7
    window = field(r, "common_buffer")
    for bad in (-1, size, size + 1000):
        call(r, "set_buffer", bad)
        assert pos(r) == 15
        assert field(r, "common_buffer") == window
    assert call(r, "read_int32") == 8


def test_small_file_set_buffer_moves_inside_the_whole_file(make_reader):
    data = noise(5000)
    r = make_reader(data)
    for p, required in [(4999, 0), (17, 64), (0, 10000), (2500, 0)]:
        call(r, "set_buffer", p, required)
        assert field(r, "local_position") == p and pos(r) == p
        assert field(r, "common_buffer") == data
    call(r, "set_buffer", 4990, 0, True)
    assert call(r, "get_bytes", 10) == data[4990:]


@pytest.fixture
def large(make_reader):
    """A reader over 2.5 windows of noise, and the data."""
    data = noise(2 * WINDOW + WINDOW // 2, seed=7)
    return make_reader(data), data


def assert_window(r, data, origin, length, local):
    assert field(r, "origin_of_local_position") == origin
    assert field(r, "common_buffer") == data[origin:origin + length]
    assert len(field(r, "common_buffer")) == length
    assert field(r, "local_position") == local


@pytest.mark.large_file
def test_large_set_buffer_reuses_a_window_with_more_than_20_bytes_left(large):
    r, data = large
    call(r, "set_buffer", WINDOW - 21)
    assert_window(r, data, 0, WINDOW, WINDOW - 21)
    assert call(r, "get_bytes", 21) == data[WINDOW - 21:WINDOW]


@pytest.mark.large_file
def test_large_set_buffer_reloads_near_the_end_or_before_the_window(large):
    r, data = large
    call(r, "set_buffer", WINDOW - 20)
    assert_window(r, data, WINDOW - 20, WINDOW, 0)
    call(r, "set_buffer", WINDOW - 21)  # one before the new origin
    assert_window(r, data, WINDOW - 21, WINDOW, 0)
    call(r, "set_buffer", WINDOW + 1000)  # inside, reused
    assert_window(r, data, WINDOW - 21, WINDOW, 1021)
    size = len(data)
    call(r, "set_buffer", size - 10)  # the window is cut by the end of file
    assert_window(r, data, size - 10, 10, 0)
    assert pos(r) == size - 10


@pytest.mark.large_file
def test_large_set_buffer_with_required_size_loads_exactly_that(large):
    r, data = large
    call(r, "set_buffer", 1000, 64)  # inside the current window, reloaded
    assert_window(r, data, 1000, 64, 0)
    call(r, "set_buffer", 1010)  # inside the 64 bytes, more than 20 left
    assert_window(r, data, 1000, 64, 10)
    call(r, "set_buffer", 1050)  # 14 bytes left: a full window again
    assert_window(r, data, 1050, WINDOW, 0)
    call(r, "set_buffer", len(data) - 10, 64)
    assert_window(r, data, len(data) - 10, 10, 0)


@pytest.mark.large_file
def test_large_forced_set_buffer_reloads(large):
    r, data = large
    call(r, "set_buffer", 500, 0, True)
    assert_window(r, data, 500, WINDOW, 0)


@pytest.mark.large_file
def test_ensure_buffer_reloads_with_at_least_the_window_length(large):
    r, data = large
    call(r, "set_buffer", 1000, 64)
    call(r, "get_bytes", 60)
    call(r, "ensure_buffer", 4)  # fits: nothing happens
    assert_window(r, data, 1000, 64, 60)
    call(r, "ensure_buffer", 10)  # the 64-byte length carries over
    assert_window(r, data, 1060, 64, 0)
    call(r, "ensure_buffer", 100)  # longer than the window
    assert_window(r, data, 1060, 100, 0)


def test_ensure_buffer_does_nothing_in_a_small_file(make_reader):
    data = noise(300)
    r = make_reader(data)
    call(r, "set_buffer", 290)
    call(r, "ensure_buffer", 100)
    assert field(r, "common_buffer") == data and pos(r) == 290


# --- __get_bytes and __skip_bytes ----------------------------------------

@pytest.mark.parametrize("size", [1000, 2 * WINDOW], ids=["small", "large"])
def test_get_bytes_past_the_end(make_reader, size):
    data = noise(size)
    r = make_reader(data)
    call(r, "set_buffer", size - 10)
    assert call(r, "get_bytes", 16) == data[-10:]
    assert pos(r) == size + 6
    assert call(r, "get_bytes", 4) == b""
    assert pos(r) == size + 10


@pytest.mark.parametrize("size", [1000, WINDOW + 1000], ids=["small", "large"])
def test_zero_and_negative_sizes_do_not_move(make_reader, size):
    data = noise(size)
    r = make_reader(data)
    call(r, "set_buffer", 100)
    for n in (0, -1, -5, -(2**31)):
        assert call(r, "get_bytes", n) == b""
        assert pos(r) == 100
        call(r, "skip_bytes", n)
        assert pos(r) == 100
    assert call(r, "get_bytes", 3) == data[100:103]


@pytest.mark.large_file
def test_get_bytes_across_the_window_end(large):
    r, data = large
    call(r, "set_buffer", WINDOW - 100)
    assert call(r, "get_bytes", 96) == data[WINDOW - 100:WINDOW - 4]
    assert call(r, "get_bytes", 10) == data[WINDOW - 4:WINDOW + 6]
    assert_window(r, data, WINDOW - 4, WINDOW, 10)
    # A read longer than a whole window arrives in one piece.
    call(r, "set_buffer", 10)
    assert call(r, "get_bytes", WINDOW + 50) == data[10:WINDOW + 60]
    assert pos(r) == WINDOW + 60


@pytest.mark.large_file
def test_skip_bytes_brings_the_bytes_into_the_window(large):
    r, data = large
    call(r, "set_buffer", WINDOW - 30)
    call(r, "skip_bytes", 40)
    assert pos(r) == WINDOW + 10
    assert call(r, "get_bytes", 5) == data[WINDOW + 10:WINDOW + 15]
    call(r, "set_buffer", len(data) - 3)
    call(r, "skip_bytes", 10)
    assert pos(r) == len(data) + 7


# --- compressed segments -------------------------------------------------

# The noise tail makes the frame long enough to cross a window end.
CONTENT = (w.int32(-5) + w.short_string("inside")
           + w.symbol(ZarnSymbols.END_OF_SPECTRUM) + noise(40, seed=5))


def segment_file(size, start, content=CONTENT, content_size=True, after=w.uint16(4660)):
    seg = w.compressed_segment(content, content_size=content_size)
    return w.file_image(size, [(start, seg + after)]), start + len(seg)


def read_content(r):
    assert call(r, "read_int32") == -5
    assert call(r, "read_string") == "inside"
    call(r, "confirm_zarn_symbol", ZarnSymbols.END_OF_SPECTRUM)


@pytest.mark.parametrize("size, start", [
    (300, 7),
    (WINDOW + 300, 7),
    (WINDOW + 300, WINDOW - 25),     # compressed bytes cross the window end
    (2 * WINDOW, WINDOW + 1234),     # outside the first window
], ids=["small", "large", "large-crossing", "large-far"])
@pytest.mark.parametrize("content_size", [True, False], ids=["sized", "unsized"])
def test_segment_opens_and_resumes_after_the_compressed_bytes(
        make_reader, size, start, content_size):
    data, end = segment_file(size, start, content_size=content_size)
    r = make_reader(data)
    call(r, "set_buffer", start)
    call(r, "set_decompressed_buffer")
    assert field(r, "common_buffer") == CONTENT
    assert field(r, "local_position") == 0
    assert field(r, "after_decompressd_position") == end
    read_content(r)
    call(r, "reset_decompressed_buffer")
    assert pos(r) == end
    if size < WINDOW:
        assert field(r, "common_buffer") == data
    else:
        # The file window set aside when the segment opened may be kept; it
        # must hold the file's own bytes from the resume position on.
        origin = field(r, "origin_of_local_position")
        window = field(r, "common_buffer")
        assert window == data[origin:origin + len(window)]
        assert origin + field(r, "local_position") == end
        assert origin + len(window) > end + 20 or origin + len(window) == size
    assert call(r, "read_uint16") == 4660


def test_two_segments_in_a_row_each_resume_after_their_own_bytes(make_reader):
    first = w.compressed_segment(w.tiny_uint(1) + noise(50))
    second = w.compressed_segment(w.tiny_uint(2), content_size=False)
    data = first + second + w.TRUE
    r = make_reader(data)
    call(r, "set_decompressed_buffer")
    assert call(r, "read_tiny_uint") == 1
    call(r, "reset_decompressed_buffer")
    assert pos(r) == len(first)
    call(r, "set_decompressed_buffer")
    assert call(r, "read_tiny_uint") == 2
    call(r, "reset_decompressed_buffer")
    assert pos(r) == len(first) + len(second)
    assert call(r, "read_bool") is True


@pytest.mark.large_file
def test_segment_longer_than_a_window(make_reader):
    content = noise(WINDOW + 4000, seed=3)  # does not compress
    seg = w.compressed_segment(content)
    assert len(seg) > WINDOW
    data = b"\x00" * 100 + seg + w.FALSE
    r = make_reader(data)
    call(r, "set_buffer", 100)
    call(r, "set_decompressed_buffer")
    assert field(r, "common_buffer") == content
    call(r, "reset_decompressed_buffer")
    assert pos(r) == len(data) - 1
    assert call(r, "read_bool") is False


@pytest.mark.large_file
def test_large_decompressed_window_is_not_refilled_from_the_file(make_reader):
    content = w.short_string("X") + w.symbol(ZarnSymbols.BEGIN_OF_SPECTRUM)
    data, end = segment_file(WINDOW + 100, 50, content=content)
    r = make_reader(data)
    call(r, "set_buffer", 50)
    call(r, "set_decompressed_buffer")
    call(r, "ensure_buffer", 6)
    assert field(r, "common_buffer") == content
    assert call(r, "read_string") == "X"
    assert call(r, "read_zarn_symbol") is ZarnSymbols.BEGIN_OF_SPECTRUM
    assert call(r, "get_bytes", 4) == b""
    call(r, "reset_decompressed_buffer")
    assert pos(r) == end


def test_segment_without_int32_tag(make_reader):
    r = make_reader(b"\x00" * 3 + w.uint32(5) + w.zstd_frame(b"abcde"))
    call(r, "set_buffer", 3)
    with pytest.raises(ZarnException) as info:
        call(r, "set_decompressed_buffer")
    assert info.value.args == ("Int32 could not be read",)
    assert pos(r) == 3


@pytest.mark.parametrize("frame, length", [
    (b"this is no zstandard frame", None),
    (w.zstd_frame(b"abcdefgh" * 20), 10),  # the stored length cuts the frame
], ids=["garbage", "short-length"])
def test_invalid_frame_fails_with_zstd_error_and_keeps_the_file_window(
        make_reader, frame, length):
    seg = w.compressed_segment(frame=frame, length=length)
    data = b"\x00\x00" + seg + w.TRUE
    r = make_reader(data)
    call(r, "set_buffer", 2)
    with pytest.raises(zstd.ZstdError):
        call(r, "set_decompressed_buffer")
    assert field(r, "common_buffer") == data
    assert field(r, "after_decompressd_position") == 0
    assert pos(r) == 2 + 5 + (len(frame) if length is None else length)


@pytest.mark.parametrize("size", [200, WINDOW + 200], ids=["small", "large"])
@pytest.mark.parametrize("length", [-1, -100, -(2**31)])
def test_negative_segment_length_fails_before_decompressing(make_reader, size, length):
    seg = w.compressed_segment(b"payload", length=length)
    data = w.file_image(size, [(150, seg)])
    r = make_reader(data)
    call(r, "set_buffer", 150)
    with pytest.raises(zstd.ZstdError):
        call(r, "set_decompressed_buffer")
    assert pos(r) >= 150


# --- closed stream -------------------------------------------------------

def test_small_reader_after_close_reads_its_window_only(make_reader):
    seg = w.compressed_segment(w.int32(99))
    data = w.int32(1) + seg + w.int32(2)
    r = make_reader(data)
    field(r, "stream").close()
    assert call(r, "read_int32") == 1
    call(r, "set_decompressed_buffer")
    assert call(r, "read_int32") == 99
    with pytest.raises(ValueError):
        call(r, "reset_decompressed_buffer")


@pytest.mark.large_file
def test_large_reader_after_close_fails_where_the_file_is_needed(make_reader):
    data = w.file_image(3 * WINDOW, [(100, w.int32(1)),
                                     (WINDOW - 2, w.int32(2)),
                                     (2 * WINDOW, w.int32(3))])
    r = make_reader(data)
    field(r, "stream").close()
    call(r, "set_buffer", 100)  # inside the window: no file access
    assert call(r, "read_int32") == 1
    call(r, "set_buffer", WINDOW - 40)
    call(r, "get_bytes", 38)
    with pytest.raises(ValueError):
        call(r, "read_int32")  # crosses the window end
    with pytest.raises(ValueError):
        call(r, "ensure_buffer", 100)
    with pytest.raises(ValueError):
        call(r, "set_buffer", 2 * WINDOW)

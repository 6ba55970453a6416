"""Values that begin exactly where the current window ends."""

import pytest

import zarnwriter as w
from kit.reader import WINDOW, call, pos

PEEKS = [
    # (method, value bytes, expected result or None for a skip)
    ("is_tiny_uint", b"\x00", True),
    ("is_tiny_uint", b"\x37", True),
    ("is_tiny_uint", b"\x38", False),
    ("is_tiny_uint", b"\xc2", False),
    ("read_int32_array", w.int32_array([7, -7]), [7, -7]),
    ("read_int64_array", w.int64_array([1], [2**40]), [1, 2**40]),
    ("read_single_array", w.single_array([0.25]), [0.25]),
    ("skip_object", w.int32(5), None),
    ("skip_object", w.int32_array([1, 2, 3]), None),
    ("skip_object", w.short_string("abc"), None),
    ("skip_object", w.TRUE, None),
]


def at_window_end(make_reader, value):
    r = make_reader(b"\x00" * WINDOW + value + w.FALSE)
    call(r, "set_buffer", 0)
    call(r, "get_bytes", WINDOW)
    assert r._KxmFileReader__local_position == len(r._KxmFileReader__common_buffer)
    return r


@pytest.mark.large_file
@pytest.mark.parametrize("method, value, expected", PEEKS,
                         ids=lambda v: v.hex() if isinstance(v, bytes) else None)
def test_value_beginning_at_the_window_end_is_read(make_reader, method, value, expected):
    r = at_window_end(make_reader, value)
    result = call(r, method)
    if method == "is_tiny_uint":
        assert result is expected
        assert pos(r) == WINDOW
        return
    assert result == expected
    assert pos(r) == WINDOW + len(value)
    assert call(r, "read_bool") is False


@pytest.mark.large_file
def test_array_elements_crossing_the_window_end(make_reader):
    values = list(range(-10, 10))
    data = w.int32_array(values)
    r = make_reader(b"\x00" * (WINDOW - 30) + data + w.FALSE)
    call(r, "set_buffer", WINDOW - 30)
    assert call(r, "read_int32_array") == values
    assert call(r, "read_bool") is False


@pytest.mark.large_file
@pytest.mark.parametrize("method", ["is_tiny_uint", "read_int32_array",
                                    "read_single_array", "skip_object"])
def test_index_error_at_the_true_end_of_a_large_file(make_reader, method):
    r = make_reader(b"\x00" * WINDOW)
    call(r, "get_bytes", WINDOW)
    with pytest.raises(IndexError):
        call(r, method)
    assert pos(r) == WINDOW


@pytest.mark.parametrize("size", [100, WINDOW + 100], ids=["small", "large"])
@pytest.mark.parametrize("method", ["is_tiny_uint", "read_int64_array", "skip_object",
                                    "read_tiny_uint", "read_string"])
def test_index_error_at_the_end_of_decompressed_content(make_reader, size, method):
    # The file goes on after the segment with values that must not be read.
    seg = w.compressed_segment(w.tiny_uint(5))
    data = w.file_image(size, [(0, seg + w.int64_array([1]) + w.tiny_uint(1))])
    r = make_reader(data)
    call(r, "set_decompressed_buffer")
    assert call(r, "read_tiny_uint") == 5
    with pytest.raises(IndexError):
        call(r, method)
    call(r, "reset_decompressed_buffer")
    assert call(r, "read_int64_array") == [1]

"""Encoders of the single values of a Zarn file.

Every function returns the bytes of one value (or of a raw, untagged
element run where the name says so).  They check the ranges that the
encodings can hold, except where a parameter exists precisely to write
something a reader has to refuse (explicit lengths, raw first bytes, raw
frames).
"""

import datetime as _dt
import struct

import zstandard

__all__ = [
    # tags and constants
    "INT16", "UINT16", "INT32", "UINT32", "INT64", "UINT64", "SINGLE",
    "DOUBLE", "DATETIME", "INT32_ARRAY", "INT64_ARRAY", "SINGLE_ARRAY",
    "TRUE", "FALSE", "EPOCH_TICKS", "UTC_FLAG", "TICKS_PER_SECOND", "WINDOW",
    # symbols and small numbers
    "symbol", "boolean", "tiny_uint", "mini_uint",
    # fixed-width numbers
    "int16", "uint16", "int32", "uint32", "int64", "uint64", "single",
    "double", "uint16_or_32",
    # strings
    "short_string", "string11", "string16", "string32", "string",
    # date-times
    "ticks", "datetime_ticks", "datetime_value",
    # arrays and collections
    "int32_elements", "int64_elements", "single_elements", "collection",
    "int32_array", "int64_array", "single_array",
    # compressed segments
    "zstd_frame", "zstd_block_frame", "skippable_frame", "with_content_size", "compressed_segment",
    # packed arrays
    "packed_int32", "packed_int64", "float_array", "compression_ready_code",
    # whole files
    "file_image",
]

# Tag bytes of the fixed-width numbers, the date-time and the arrays.
INT16 = 0xC0
UINT16 = 0xC1
INT32 = 0xC2
UINT32 = 0xC3
INT64 = 0xC4
UINT64 = 0xC5
SINGLE = 0xC6
DOUBLE = 0xC7
DATETIME = 0xD3
INT32_ARRAY = 0xE2
INT64_ARRAY = 0xE4
SINGLE_ARRAY = 0xE6

TRUE = b"\x3f"
FALSE = b"\x3e"

# Date-time ticks: 100 ns units since 0001-01-01T00:00:00.
EPOCH_TICKS = 621355968000000000  # 1970-01-01T00:00:00
UTC_FLAG = 1 << 62
TICKS_PER_SECOND = 10_000_000

WINDOW = 262144  # files of this size or more are read in windows


def _check(value, low, high, what):
    if not low <= value <= high:
        raise ValueError(f"{what} out of range: {value}")
    return value


# --- block symbols and small numbers -------------------------------------

def symbol(value):
    """Block symbol: 0x80 | bits 11-8, then bits 7-0.

    `value` is an integer 0-4095 or any object with an integer `value`
    (an enumeration member)."""
    v = _check(getattr(value, "value", value), 0, 0xFFF, "symbol")
    return bytes([0x80 | (v >> 8), v & 0xFF])


def boolean(flag):
    """Boolean: 0x3F true, 0x3E false."""
    return TRUE if flag else FALSE


def tiny_uint(value):
    """TinyUInt: one byte 0x00-0x3F holding the value."""
    return bytes([_check(value, 0, 0x3F, "tiny uint")])


def mini_uint(value):
    """MiniUInt: 0x90 | bits 11-8, then bits 7-0."""
    v = _check(value, 0, 0xFFF, "mini uint")
    return bytes([0x90 | (v >> 8), v & 0xFF])


# --- tagged fixed-width numbers ------------------------------------------

def _tagged(tag, fmt, value):
    return bytes([tag]) + struct.pack(fmt, value)


def int16(value):
    """0xC0, signed 16-bit little-endian."""
    return _tagged(INT16, "<h", value)


def uint16(value):
    """0xC1, unsigned 16-bit little-endian."""
    return _tagged(UINT16, "<H", value)


def int32(value):
    """0xC2, signed 32-bit little-endian."""
    return _tagged(INT32, "<i", value)


def uint32(value):
    """0xC3, unsigned 32-bit little-endian."""
    return _tagged(UINT32, "<I", value)


def int64(value):
    """0xC4, signed 64-bit little-endian."""
    return _tagged(INT64, "<q", value)


def uint64(value):
    """0xC5, unsigned 64-bit little-endian."""
    return _tagged(UINT64, "<Q", value)


def single(value):
    """0xC6, IEEE 754 binary32 little-endian."""
    return _tagged(SINGLE, "<f", value)


def double(value):
    """0xC7, IEEE 754 binary64 little-endian."""
    return _tagged(DOUBLE, "<d", value)


def uint16_or_32(value, wide=False):
    """The UInt16 form when the value fits and `wide` is false, else UInt32."""
    if value <= 0xFFFF and not wide:
        return uint16(value)
    return uint32(value)


# --- strings -------------------------------------------------------------

def _text(text, utf8):
    """Text bytes: str is encoded (UTF-8 or ASCII), bytes are taken raw."""
    if isinstance(text, (bytes, bytearray)):
        return bytes(text)
    return text.encode("utf-8" if utf8 else "ascii")


def short_string(text, length=None):
    """0x40 | n, then n ASCII bytes (n <= 63)."""
    data = _text(text, False)
    n = len(data) if length is None else length
    return bytes([0x40 | _check(n, 0, 0x3F, "short string length")]) + data


def string11(text, utf8=False, length=None):
    """0xA0 | utf8 << 3 | bits 10-8 of n, then bits 7-0 of n, then the text.

    Bit 3 of the first byte marks UTF-8 (0xA8-0xAF), else ASCII."""
    data = _text(text, utf8)
    n = _check(len(data) if length is None else length, 0, 0x7FF,
               "11-bit string length")
    return bytes([0xA0 | (0x08 if utf8 else 0) | (n >> 8), n & 0xFF]) + data


def _wide_string(text, utf8, length, first_byte, fmt, length_class):
    data = _text(text, utf8)
    n = len(data) if length is None else length
    if first_byte is None:
        first_byte = length_class | (1 if utf8 else 0)
    if first_byte & 0xCA != length_class:
        raise ValueError(f"0x{first_byte:02X} is no header of this string layout")
    return bytes([first_byte]) + struct.pack(fmt, n) + data


def string16(text, utf8=False, length=None, first_byte=None):
    """A header byte, unsigned 16-bit little-endian n, then the text.

    The header byte defaults to 0xC8 (ASCII) or 0xC9 (UTF-8); any byte b with
    b & 0xCA == 0xC8 may be given (0xD8, 0xE9, ... and the refused 0xCC)."""
    return _wide_string(text, utf8, length, first_byte, "<H", 0xC8)


def string32(text, utf8=False, length=None, first_byte=None):
    """A header byte, unsigned 32-bit little-endian n, then the text.

    The header byte defaults to 0xCA (ASCII) or 0xCB (UTF-8); any byte b with
    b & 0xCA == 0xCA may be given."""
    return _wide_string(text, utf8, length, first_byte, "<I", 0xCA)


def string(text):
    """The shortest layout for the text: short ASCII, 11-bit, 16-bit, 32-bit.

    Non-ASCII text is written as UTF-8."""
    utf8 = not text.isascii()
    size = len(text.encode("utf-8"))
    if not utf8 and size <= 0x3F:
        return short_string(text)
    if size <= 0x7FF:
        return string11(text, utf8)
    if size <= 0xFFFF:
        return string16(text, utf8)
    return string32(text, utf8)


# --- date-times ----------------------------------------------------------

def ticks(moment, utc=False):
    """Ticks of a datetime's calendar fields (any time zone is ignored),
    with the UTC flag (bit 62) when `utc`."""
    naive = moment.replace(tzinfo=None)
    delta = naive - _dt.datetime(1, 1, 1)
    count = ((delta.days * 86400 + delta.seconds) * TICKS_PER_SECOND
             + delta.microseconds * 10)
    return count | (UTC_FLAG if utc else 0)


def datetime_ticks(count):
    """0xD3, then the stored 64-bit value little-endian (flags included)."""
    return bytes([DATETIME]) + struct.pack("<Q", count)


def datetime_value(moment, utc=False):
    """0xD3 value of a datetime's calendar fields."""
    return datetime_ticks(ticks(moment, utc))


# --- arrays and collections ----------------------------------------------

def int32_elements(values):
    """Raw signed 32-bit little-endian elements."""
    return struct.pack(f"<{len(values)}i", *values)


def int64_elements(values):
    """Raw signed 64-bit little-endian elements."""
    return struct.pack(f"<{len(values)}q", *values)


def single_elements(values):
    """Raw binary32 little-endian elements (the same as a float array)."""
    return struct.pack(f"<{len(values)}f", *values)


def collection(tag, *segments, lengths=None, count=None):
    """A collection: tag, TinyUInt segment count, then per segment a tagged
    Int32 byte length and the segment's raw bytes.

    `lengths` replaces the stored lengths one by one (None keeps the true
    length), so odd, negative or lying lengths can be written; `count`
    replaces the segment count."""
    _check(tag, 0xE0, 0xE7, "collection tag")
    lengths = list(lengths or [])
    out = bytearray([tag])
    out += tiny_uint(len(segments) if count is None else count)
    for i, seg in enumerate(segments):
        stored = lengths[i] if i < len(lengths) and lengths[i] is not None else len(seg)
        out += int32(stored) + seg
    return bytes(out)


def int32_array(*segments):
    """0xE2 array; each argument is one segment's list of integers."""
    return collection(INT32_ARRAY, *(int32_elements(s) for s in segments))


def int64_array(*segments):
    """0xE4 array; each argument is one segment's list of integers."""
    return collection(INT64_ARRAY, *(int64_elements(s) for s in segments))


def single_array(*segments):
    """0xE6 array; each argument is one segment's list of floats."""
    return collection(SINGLE_ARRAY, *(single_elements(s) for s in segments))


# --- compressed segments -------------------------------------------------

def zstd_frame(data, content_size=True, level=3, checksum=False, window_log=None):
    """One Zstandard frame of `data`, with or without the declared size and
    the content checksum; `window_log` asks for a window of 2**window_log
    bytes (a frame of more content is then not one segment)."""
    if window_log is None:
        compressor = zstandard.ZstdCompressor(level=level, write_content_size=content_size, write_checksum=checksum)
    else:
        compressor = zstandard.ZstdCompressor(compression_params=zstandard.ZstdCompressionParameters.from_level(
            level, window_log=window_log, write_content_size=content_size, write_checksum=checksum))
    return compressor.compress(data)


def zstd_block_frame(blocks, content_size, window_log=None):
    """A Zstandard frame of the blocks as given, each ("raw", bytes) or
    ("rle", byte value, count), the last one flagged last, declaring
    `content_size` in 4 bytes. Without `window_log` the frame is one
    segment (its window is its content); else its window descriptor gives
    2**window_log bytes."""
    if window_log is None:
        header = bytes([0xA0])  # 4-byte content size, single segment
    else:
        header = bytes([0x80, (window_log - 10) << 3])
    out = bytearray(b"\x28\xb5\x2f\xfd" + header + struct.pack("<I", content_size))
    for k, block in enumerate(blocks):
        last = k == len(blocks) - 1
        if block[0] == "raw":
            out += struct.pack("<I", len(block[1]) << 3 | last)[:3] + block[1]
        else:
            out += struct.pack("<I", block[2] << 3 | 1 << 1 | last)[:3] + bytes([block[1]])
    return bytes(out)


def skippable_frame(payload=b""):
    """A skippable Zstandard frame holding `payload`."""
    return struct.pack("<II", 0x184D2A50, len(payload)) + payload


def with_content_size(frame, declared):
    """`frame` with its content size field rewritten to `declared` (which
    must fit the field's width)."""
    descriptor = frame[4]
    single = descriptor >> 5 & 1
    width = (1 if single else 0, 2, 4, 8)[descriptor >> 6]
    at = 5 + (not single) + (0, 1, 2, 4)[descriptor & 3]
    value = declared - 256 if width == 2 else declared
    return frame[:at] + value.to_bytes(width, "little") + frame[at + width:]


def compressed_segment(data=b"", content_size=True, frame=None, length=None):
    """Tagged Int32 byte count, then one Zstandard frame.

    `frame` gives the frame bytes as they are (garbage included) instead of
    compressing `data`; `length` stores another byte count than the
    frame's."""
    if frame is None:
        frame = zstd_frame(data, content_size)
    return int32(len(frame) if length is None else length) + frame


# --- packed integer arrays and float arrays ------------------------------

def _planes(values, width, what):
    bits = 8 * width
    low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    for v in values:
        _check(v, low, high, what)
    return b"".join(
        bytes((v >> (bits - 8 - 8 * k)) & 0xFF for v in values)
        for k in range(width))


def packed_int32(values):
    """Signed 32-bit values as 4 byte planes, most significant plane first."""
    return _planes(values, 4, "int32")


def packed_int64(values):
    """Signed 64-bit values as 8 byte planes, most significant plane first."""
    return _planes(values, 8, "int64")


def float_array(values):
    """Untagged binary32 little-endian values."""
    return single_elements(values)


def compression_ready_code(value):
    """Compression-ready code of a signed integer: small magnitudes give
    small non-negative codes (positive odd, zero and negative even), large
    ones wrap into negative codes."""
    if value > 1073741823:
        return 2 * value - 4294967296
    if value > 0:
        return 2 * value - 1
    if value >= -1073741823:
        return -2 * value
    return -2 * value - 1 - 4294967296


# --- whole files ---------------------------------------------------------

def file_image(size, placements=(), filler=b"\x00"):
    """`size` bytes of repeated `filler` (a byte string) with each
    (offset, bytes) of `placements` written over it."""
    out = bytearray((filler * (size // len(filler) + 1))[:size])
    for offset, data in placements:
        if offset + len(data) > size:
            raise ValueError("placement runs past the end of the image")
        out[offset:offset + len(data)] = data
    return bytes(out)

"""Encoders of the header, the jump table, the index blocks and whole files.

Header layout by format version: the writer library version and the
conversion options from 3.3 on, the user info bytes from 3.1 on, the digest
block when bit 0 of the option word is set.  The jump table record is the
last 20 bytes of the file from 3.3 on, else it follows the header.
"""

import hashlib

from .records import (
    BEGIN_OF_CONVERSION_OPTION,
    BEGIN_OF_FUNCTION_INDEX_BLOCK,
    BEGIN_OF_MEASUREMENT_INDEX_BLOCK,
    BEGIN_OF_SPECTRUM_INDEX_BLOCK,
    BEGIN_OF_ZARN_DESCRIPTION,
    END_OF_CONVERSION_OPTION,
    END_OF_FUNCTION_INDEX_BLOCK,
    END_OF_MEASUREMENT_INDEX_BLOCK,
    END_OF_SPECTRUM_INDEX_BLOCK,
    END_OF_ZARN_DESCRIPTION,
    GLOBAL_JUMP_TABLE,
    LIMIT_OF_ZARN,
    START_OF_ZARN,
    properties,
)
from .values import (
    boolean,
    compressed_segment,
    int64,
    int64_array,
    mini_uint,
    string,
    symbol,
    tiny_uint,
    uint16,
    uint16_or_32,
    uint32,
)

__all__ = [
    "MAGIC", "JUMP_TABLE_SIZE", "DIGEST_BLOCK_SIZE", "CONVERSION_OPTIONS",
    "conversion_options", "digest", "digest_block", "header", "jump_table",
    "measurement_index_block", "function_index_block", "spectrum_index_block",
    "zarn_file",
]

MAGIC = "#!Zarn@KXM;"
JUMP_TABLE_SIZE = 20
DIGEST_BLOCK_SIZE = 3 + 2 + 5 + 16


def _flag(value):
    """Properties 2 and 3 of the conversion options: the id alone."""
    if value is not True:
        raise ValueError("a flag property is written only to set it")
    return b""


CONVERSION_OPTIONS = {
    "desired_analysis_type_id": (1, tiny_uint),
    "keep_only_ms1": (2, _flag),
    "keep_profile_spectra": (3, _flag),
    "desired_quan_analysis_type_id": (4, mini_uint),
    "keep_last_ms_function_in_mse": (5, boolean),
    "mz_accuracy_power": (6, tiny_uint),
    "rt_accuracy_power": (7, tiny_uint),
    "ms_intensity_accuracy_power": (8, tiny_uint),
    "dad_intensity_accuracy_power": (9, tiny_uint),
    "analog_intensity_accuracy_power": (10, tiny_uint),
    "use_specified_chromatogram_intensity_precision": (11, boolean),
}


def _at_least(version, minor):
    return version[0] > 3 or (version[0] == 3 and version[1] >= minor)


def conversion_options(*items, **fields):
    """The conversion options record: its symbols around its properties."""
    return (symbol(BEGIN_OF_CONVERSION_OPTION)
            + properties(CONVERSION_OPTIONS, items, fields)
            + symbol(END_OF_CONVERSION_OPTION))


def digest(user_info, data, version):
    """The stored digest: MD5 of the user info bytes followed by the digested
    range, each byte plus 10 + major + minor + revision, modulo 256."""
    shift = (10 + sum(version)) % 256
    return bytes((b + shift) % 256 for b in hashlib.md5(bytes(user_info) + bytes(data)).digest())


def digest_block(start, size, stored_hash, preserved_size=0):
    """UInt16 (unused), the range start as MiniUInt, its size as UInt32,
    then the 16 stored digest bytes (raw)."""
    return uint16(preserved_size) + mini_uint(start) + uint32(size) + bytes(stored_hash)


def header(version=(3, 6, 0), option=0, lib_version=(1, 2, 3), user_info=b"",
           options=None, digest_bytes=b"", magic=MAGIC):
    """The header from the start symbol to the end of the header
    description.  `options` is the conversion options record (an empty one
    by default); `digest_bytes` the digest block, written as given when
    bit 0 of `option` is set."""
    major, minor, revision = version
    out = bytearray(symbol(START_OF_ZARN) + symbol(BEGIN_OF_ZARN_DESCRIPTION))
    out += string(magic) + mini_uint(major) + mini_uint(minor) + uint16(revision)
    out += uint16(option)
    if _at_least(version, 3):
        out += mini_uint(lib_version[0]) + mini_uint(lib_version[1]) + uint16(lib_version[2])
    if _at_least(version, 1):
        out += uint16(len(user_info)) + bytes(user_info)
    if _at_least(version, 3):
        out += conversion_options() if options is None else options
    if option & 1:
        out += digest_bytes
    out += symbol(END_OF_ZARN_DESCRIPTION)
    return bytes(out)


def jump_table(measurement_index_position, user_def_bytes_position=0):
    """The 20-byte jump table record."""
    return (symbol(GLOBAL_JUMP_TABLE) + int64(measurement_index_position)
            + int64(user_def_bytes_position))


def measurement_index_block(entries, count=None, wide=False, content=None):
    """The measurement index block with the closing limit symbol.  `entries`
    are (position, description record bytes); `content` replaces the
    decompressed bytes."""
    entries = list(entries)
    if content is None:
        content = b"".join(int64(p) + d for p, d in entries)
    n = len(entries) if count is None else count
    return (symbol(BEGIN_OF_MEASUREMENT_INDEX_BLOCK) + uint16_or_32(n, wide)
            + compressed_segment(content)
            + symbol(END_OF_MEASUREMENT_INDEX_BLOCK) + symbol(LIMIT_OF_ZARN))


def function_index_block(entries, count=None, wide=False, array=int64_array):
    """A function index block: the count, the offsets as one Int64 array
    segment, the function description records compressed.  `entries` are
    (offset, description record bytes); `array` encodes the list of offsets
    (segments of other sizes, surplus entries)."""
    entries = list(entries)
    n = len(entries) if count is None else count
    offsets = [o for o, _ in entries]
    return (symbol(BEGIN_OF_FUNCTION_INDEX_BLOCK) + uint16_or_32(n, wide)
            + array(offsets)
            + compressed_segment(b"".join(d for _, d in entries))
            + symbol(END_OF_FUNCTION_INDEX_BLOCK))


def spectrum_index_block(entries, profile_offsets=None, count=None, array=int64_array):
    """A spectrum index block: the UInt32 count, the profile flag, the
    offsets (and the profile offsets when given) as Int64 arrays, the
    spectrum description records compressed.  `entries` are (offset,
    description record bytes); `array` encodes each list of offsets."""
    entries = list(entries)
    n = len(entries) if count is None else count
    out = (symbol(BEGIN_OF_SPECTRUM_INDEX_BLOCK) + uint32(n)
           + boolean(profile_offsets is not None)
           + array([o for o, _ in entries]))
    if profile_offsets is not None:
        out += array(list(profile_offsets))
    return (out + compressed_segment(b"".join(d for _, d in entries))
            + symbol(END_OF_SPECTRUM_INDEX_BLOCK))


def zarn_file(version=(3, 6, 0), measurements=(), *, option=0, lib_version=(1, 2, 3),
              user_info=b"", options=None, body=b"", digest_range=None,
              stored_hash=None, magic=MAGIC, index_block=None, index_position=None, wide=False):
    """A whole file.

    Layout from 3.3 on: header, `body`, measurement index block, jump table
    (the last 20 bytes).  Before 3.3: header, jump table, `body`,
    measurement index block.  `measurements` are (position, description
    record bytes); `index_block` replaces the whole measurement index block
    and `index_position` the position that the jump table stores; `wide`
    stores the measurement count as UInt32.

    With bit 0 of `option` the header carries a digest block over
    `digest_range` (start, size), by default from the end of the header to
    the end of the file; the digest is computed over the finished file
    unless `stored_hash` gives the 16 stored bytes."""
    with_digest = bool(option & 1)

    def make_header(start=0, size=0, hash_bytes=bytes(16)):
        block = digest_block(start, size, hash_bytes) if with_digest else b""
        return header(version, option, lib_version, user_info, options, block, magic)

    head_size = len(make_header())
    index = measurement_index_block(measurements, wide=wide) if index_block is None else index_block
    late = _at_least(version, 3)
    if late:
        index_at = head_size + len(body)
        total = index_at + len(index) + JUMP_TABLE_SIZE
    else:
        index_at = head_size + JUMP_TABLE_SIZE + len(body)
        total = index_at + len(index)
    table = jump_table(index_at if index_position is None else index_position)

    start, size = digest_range if digest_range is not None else (head_size, total - head_size)
    head = make_header(start, size)
    if late:
        data = head + body + index + table
    else:
        data = head + table + body + index
    if with_digest:
        if stored_hash is None:
            hash_at = len(head) - 2 - 16
            if start < hash_at + 16 and hash_at < start + size:
                raise ValueError("the digested range covers the stored digest")
            stored_hash = digest(user_info, data[start:start + size], version)
        head = make_header(start, size, stored_hash)
        data = head + data[len(head):]
    assert len(data) == total
    return data

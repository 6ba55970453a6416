"""Encoders of the data blocks of a Zarn file: chromatograms, MS spectra and
DAD spectra, with every segment kind.

Content builders (`*_content`) return the bytes a segment holds, the
decompressed content for a compressed kind; segment builders return the kind
symbol followed by the body (the content compressed into a compressed
segment where the kind is compressed); block builders frame segments with
the begin symbol, the segment count and the end symbol.

Arrays are written as the caller gives them: a delta-coded array takes the
stored differences (see `deltas`), a packed array the stored integers.  A
`num_points` parameter stores another count than the arrays' length, so that
lying or negative counts can be written.
"""

import struct

from .values import (
    compressed_segment,
    double,
    float_array,
    int32,
    int32_elements,
    packed_int32,
    packed_int64,
    symbol,
    tiny_uint,
    uint16,
)

__all__ = [
    # block symbols and segment kinds
    "BEGIN_OF_SPECTRUM", "END_OF_SPECTRUM", "BEGIN_OF_CHROMATOGRAM",
    "END_OF_CHROMATOGRAM", "SPECTRUM_NO_COMPRESSION",
    "SPECTRUM_ZSTD_COMPRESSION", "SPECTRUM_MZ_AND_ZSTD_COMPRESSION",
    "SPECTRUM_BY_SCIEX_FORMAT", "CHROMATOGRAM_NO_COMPRESSION",
    "CHROMATOGRAM_ZSTD_COMPRESSION", "CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION",
    "SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE",
    "DAD_INTENSITIES_INSTEAD_OF_SPECTRUM",
    "SPECTRUM_ZSTD_EFFICIENT_COMPRESSION",
    "SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION",
    "SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION",
    "DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION",
    "SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION",
    "CHROMATOGRAM_OPTIONS", "SPECTRUM_OPTIONS",
    # helpers
    "deltas", "running_sums", "double_array",
    "zero_filled_count",
    # blocks and segments
    "block", "chromatogram_block", "spectrum_block", "plain_segment",
    "compressed", "float_pairs_content",
    # chromatogram
    "chromatogram_plain", "chromatogram_zstd",
    "chromatogram_efficient_content", "chromatogram_efficient",
    # MS spectrum
    "spectrum_plain", "spectrum_zstd", "coefficient_content",
    "spectrum_mz_coefficients", "spectrum_sciex", "spectrum_double",
    "efficient_spectrum_content", "spectrum_efficient",
    "mz_efficient_content", "spectrum_mz_efficient",
    "sciex_efficient_content", "spectrum_sciex_efficient",
    "agilent_content", "spectrum_agilent",
    # DAD
    "dad_plain_content", "dad_plain", "dad_efficient_content",
    "dad_efficient",
]

BEGIN_OF_SPECTRUM = 13
END_OF_SPECTRUM = 14
BEGIN_OF_CHROMATOGRAM = 15
END_OF_CHROMATOGRAM = 16
SPECTRUM_NO_COMPRESSION = 40
SPECTRUM_ZSTD_COMPRESSION = 41
SPECTRUM_MZ_AND_ZSTD_COMPRESSION = 42
SPECTRUM_BY_SCIEX_FORMAT = 43
CHROMATOGRAM_NO_COMPRESSION = 45
CHROMATOGRAM_ZSTD_COMPRESSION = 46
CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION = 47
SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE = 50
DAD_INTENSITIES_INSTEAD_OF_SPECTRUM = 51
SPECTRUM_ZSTD_EFFICIENT_COMPRESSION = 52
SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION = 53
SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION = 54
DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION = 55
SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION = 56


# --- helpers -------------------------------------------------------------

def deltas(values):
    """The first value, then the differences between neighbours."""
    return [b - a for a, b in zip([0] + list(values), values)]


def running_sums(values):
    out, total = [], 0
    for v in values:
        total += v
        out.append(total)
    return out


def double_array(values):
    """Untagged binary64 little-endian values."""
    return struct.pack(f"<{len(values)}d", *values)


def _count(values, num_points):
    return len(values) if num_points is None else num_points


# --- blocks and segments -------------------------------------------------

def block(begin, end, *segments, count=None):
    """Begin symbol, TinyUInt segment count, the segments, end symbol."""
    n = len(segments) if count is None else count
    return symbol(begin) + tiny_uint(n) + b"".join(segments) + symbol(end)


def chromatogram_block(*segments, count=None):
    return block(BEGIN_OF_CHROMATOGRAM, END_OF_CHROMATOGRAM, *segments,
                 count=count)


def spectrum_block(*segments, count=None):
    """An MS or DAD spectrum block (both share the symbols)."""
    return block(BEGIN_OF_SPECTRUM, END_OF_SPECTRUM, *segments, count=count)


def plain_segment(kind, body):
    """A segment that lies in the file: kind symbol, then the body."""
    return symbol(kind) + body


def compressed(kind, content, **segment_options):
    """Kind symbol, then a compressed segment of `content` (the options of
    `compressed_segment` pass through)."""
    return symbol(kind) + compressed_segment(content, **segment_options)


def float_pairs_content(xs, ys, num_points=None, double_precision=False):
    """Int32 num_points, then the x values and the y values as untagged
    binary32 arrays (binary64 with `double_precision`)."""
    pack = double_array if double_precision else float_array
    return int32(_count(xs, num_points)) + pack(xs) + pack(ys)


# --- chromatogram block --------------------------------------------------

def chromatogram_plain(retention_times, intensities, num_points=None):
    """CHROMATOGRAM_NO_COMPRESSION."""
    return plain_segment(CHROMATOGRAM_NO_COMPRESSION, float_pairs_content(
        retention_times, intensities, num_points))


def chromatogram_zstd(retention_times, intensities, num_points=None):
    """CHROMATOGRAM_ZSTD_COMPRESSION."""
    return compressed(CHROMATOGRAM_ZSTD_COMPRESSION, float_pairs_content(
        retention_times, intensities, num_points))


# Per efficient option: how the powers are stored ("uint16" for one UInt16,
# "uint16x2" for two, "tiny2" for two TinyUInt, None for none), the array
# of retention times and the array of intensities ("packed32", "packed64",
# "float32").
CHROMATOGRAM_OPTIONS = {
    0: ("uint16", "packed32", "packed32"),
    1: ("uint16", "packed32", "packed64"),
    2: (None, "float32", "packed32"),
    3: (None, "float32", "packed64"),
    4: ("uint16x2", "packed32", "packed32"),
    5: ("tiny2", "packed32", "packed32"),
    6: ("tiny2", "packed32", "packed64"),
    7: ("tiny2", "packed64", "packed32"),
    8: ("tiny2", "packed64", "packed64"),
    9: ("tiny2", "packed32", "packed32"),
}

# The efficient spectrum codec's options, in the same terms (m/z array first).
SPECTRUM_OPTIONS = {
    0: ("uint16", "packed32", "packed32"),
    1: ("uint16", "packed32", "packed64"),
    2: (None, "float32", "packed32"),
    3: (None, "float32", "packed64"),
    4: ("tiny2", "packed32", "packed32"),
    5: ("tiny2", "packed32", "packed64"),
    6: ("tiny2", "packed64", "packed32"),
    7: ("tiny2", "packed64", "packed64"),
}

_ARRAYS = {"packed32": packed_int32, "packed64": packed_int64,
           "float32": float_array}


def _powers(layout, first, second):
    if layout == "uint16":
        return uint16(first)
    if layout == "uint16x2":
        return uint16(first) + uint16(second)
    if layout == "tiny2":
        return tiny_uint(first) + tiny_uint(second)
    return b""


def _efficient_content(table, option, xs, ys, x_power, y_power, num_points,
                       layout):
    powers, x_array, y_array = layout or table[option]
    return (tiny_uint(option) + _powers(powers, x_power, y_power)
            + int32(_count(xs, num_points))
            + _ARRAYS[x_array](xs) + _ARRAYS[y_array](ys))


def chromatogram_efficient_content(option, retention_times, intensities,
                                   rt_power=0, intensity_power=0,
                                   num_points=None, layout=None):
    """Content of CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION.

    `retention_times` is the stored array: differences of the scaled
    retention times in every option but 2 and 3 (binary32 values there);
    `intensities` the stored integers (compression-ready codes of the
    differences in option 9).  Options 0 and 1 store only `rt_power`.
    `layout` writes another option's layout (to write an undefined option
    number with some body)."""
    return _efficient_content(CHROMATOGRAM_OPTIONS, option, retention_times,
                              intensities, rt_power, intensity_power,
                              num_points, layout)


def chromatogram_efficient(option, retention_times, intensities, **options):
    return compressed(CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION,
                      chromatogram_efficient_content(
                          option, retention_times, intensities, **options))


# --- MS spectrum block ---------------------------------------------------

def spectrum_plain(mz, intensities, num_points=None):
    """SPECTRUM_NO_COMPRESSION."""
    return plain_segment(SPECTRUM_NO_COMPRESSION,
                         float_pairs_content(mz, intensities, num_points))


def spectrum_zstd(mz, intensities, num_points=None):
    """SPECTRUM_ZSTD_COMPRESSION."""
    return compressed(SPECTRUM_ZSTD_COMPRESSION,
                      float_pairs_content(mz, intensities, num_points))


def spectrum_double(mz, intensities, num_points=None):
    """SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE."""
    return compressed(SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE,
                      float_pairs_content(mz, intensities, num_points,
                                          double_precision=True))


def coefficient_content(a, b, c, index_deltas, intensities, num_points=None):
    """Content of kinds 42 and 43: three Doubles, Int32 num_points, raw
    int32 index differences, binary32 intensities."""
    return (double(a) + double(b) + double(c)
            + int32(_count(index_deltas, num_points))
            + int32_elements(index_deltas) + float_array(intensities))


def spectrum_mz_coefficients(a, b, c, index_deltas, intensities, **options):
    """SPECTRUM_MZ_AND_ZSTD_COMPRESSION."""
    return compressed(SPECTRUM_MZ_AND_ZSTD_COMPRESSION, coefficient_content(
        a, b, c, index_deltas, intensities, **options))


def spectrum_sciex(a, b, c, index_deltas, intensities, **options):
    """SPECTRUM_BY_SCIEX_FORMAT."""
    return compressed(SPECTRUM_BY_SCIEX_FORMAT, coefficient_content(
        a, b, c, index_deltas, intensities, **options))


def efficient_spectrum_content(option, mz, intensities, mz_power=0,
                               intensity_power=0, num_points=None,
                               layout=None):
    """Content of SPECTRUM_ZSTD_EFFICIENT_COMPRESSION.  `mz` is the stored
    array (m/z differences, or binary32 values in options 2 and 3);
    options 0 and 1 store only `mz_power`, as a UInt16."""
    return _efficient_content(SPECTRUM_OPTIONS, option, mz, intensities,
                              mz_power, intensity_power, num_points, layout)


def spectrum_efficient(option, mz, intensities, **options):
    return compressed(SPECTRUM_ZSTD_EFFICIENT_COMPRESSION,
                      efficient_spectrum_content(option, mz, intensities,
                                                 **options))


def mz_efficient_content(option, a, b, c, index_deltas, intensities,
                         intensity_power=0, num_points=None, wide=None):
    """Content of SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION: the power only
    in options 2 and 3; packed int64 intensities in options 1 and 3 (or as
    `wide` says)."""
    if wide is None:
        wide = option in (1, 3)
    power = tiny_uint(intensity_power) if option in (2, 3) else b""
    return (tiny_uint(option) + power + double(a) + double(b) + double(c)
            + int32(_count(index_deltas, num_points))
            + packed_int32(index_deltas)
            + (packed_int64 if wide else packed_int32)(intensities))


def spectrum_mz_efficient(option, a, b, c, index_deltas, intensities,
                          **options):
    return compressed(SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION,
                      mz_efficient_content(option, a, b, c, index_deltas,
                                           intensities, **options))


def zero_filled_count(index_deltas, min_index_diff):
    """original_num_points of a consistent zero-filled SCIEX segment: the
    kept points, a leading and a trailing zero point, and two zero points for
    every difference after the first larger than `min_index_diff`."""
    gaps = sum(1 for v in index_deltas[1:] if v > min_index_diff)
    return len(index_deltas) + 2 + 2 * gaps


def sciex_efficient_content(option, a, b, c, index_deltas, intensities,
                            intensity_power=0, original_num_points=None,
                            min_index_diff=0, num_points=None, wide=None):
    """Content of SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION.

    The power is stored in options 4-7; options 0, 1, 4 and 5 store the kept
    points only, with `original_num_points` (by default the consistent
    count) and `min_index_diff`; odd options store packed int64 intensities
    (or as `wide` says)."""
    if wide is None:
        wide = option % 2 == 1
    out = tiny_uint(option)
    if 3 < option < 8:
        out += tiny_uint(intensity_power)
    out += double(a) + double(b) + double(c)
    out += int32(_count(index_deltas, num_points))
    if option in (0, 1, 4, 5):
        if original_num_points is None:
            original_num_points = zero_filled_count(index_deltas,
                                                    min_index_diff)
        out += int32(original_num_points) + int32(min_index_diff)
    return (out + packed_int32(index_deltas)
            + (packed_int64 if wide else packed_int32)(intensities))


def spectrum_sciex_efficient(option, a, b, c, index_deltas, intensities,
                             **options):
    return compressed(SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION,
                      sciex_efficient_content(option, a, b, c, index_deltas,
                                              intensities, **options))


def agilent_content(option, coefficients, mz_index, intensities,
                    index_power=0, intensity_power=0, t0=0, min_diff=1,
                    num_points=None, wide=None):
    """Content of SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION: three
    TinyUInt (option and powers), Int32 t0, min_diff and num_points, ten
    untagged binary64 coefficients, packed int32 index differences (in
    units of min_diff; entry 0 unused), packed int32 (option 0) or int64
    (option 1, or as `wide` says) intensities."""
    if len(coefficients) != 10:
        raise ValueError("ten coefficients are stored")
    if wide is None:
        wide = option == 1
    return (tiny_uint(option) + tiny_uint(index_power)
            + tiny_uint(intensity_power) + int32(t0) + int32(min_diff)
            + int32(_count(mz_index, num_points))
            + double_array(coefficients) + packed_int32(mz_index)
            + (packed_int64 if wide else packed_int32)(intensities))


def spectrum_agilent(option, coefficients, mz_index, intensities, **options):
    return compressed(SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION,
                      agilent_content(option, coefficients, mz_index,
                                      intensities, **options))


# --- DAD spectrum block --------------------------------------------------

def dad_plain_content(intensities, num_points=None):
    """Content of DAD_INTENSITIES_INSTEAD_OF_SPECTRUM: Int32 num_points,
    binary32 intensities."""
    return int32(_count(intensities, num_points)) + float_array(intensities)


def dad_plain(intensities, **options):
    return compressed(DAD_INTENSITIES_INSTEAD_OF_SPECTRUM,
                      dad_plain_content(intensities, **options))


def dad_efficient_content(option, intensities, intensity_power=0,
                          num_points=None, wide=None):
    """Content of DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION: the power only
    in options 2 and 3; packed int64 in options 1 and 3 (or as `wide`
    says)."""
    if wide is None:
        wide = option in (1, 3)
    power = tiny_uint(intensity_power) if 1 < option < 4 else b""
    return (tiny_uint(option) + power
            + int32(_count(intensities, num_points))
            + (packed_int64 if wide else packed_int32)(intensities))


def dad_efficient(option, intensities, **options):
    return compressed(DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION,
                      dad_efficient_content(option, intensities, **options))

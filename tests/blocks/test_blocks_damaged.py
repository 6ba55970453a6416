"""Damaged data blocks: whatever the bytes, a decoder returns points or
raises one of the reader's exceptions; it never crashes or reads out of
bounds (the sanitizer run of this suite watches the latter)."""

import random
import struct

import pytest

import zarnwriter as w
from kit.reader import call
from zarn_data_access._internal._reader import XicInfo
from zarn_data_access.common import ValueRange
from zarn_data_access.exception import ZarnException

EXPECTED_ERRORS = (ZarnException, IndexError, ValueError, struct.error)

# (kind, content, compressed) of one segment each.
MS = [
    (w.SPECTRUM_NO_COMPRESSION, w.float_pairs_content([1.0, 2.0], [3.0, 4.0]), False),
    (w.SPECTRUM_ZSTD_COMPRESSION, w.float_pairs_content([1.0, 2.0], [3.0, 4.0]), True),
    (w.SPECTRUM_MZ_AND_ZSTD_COMPRESSION, w.coefficient_content(1.0, 2.0, 3.0, [5, 6], [1.0, 2.0]), True),
    (w.SPECTRUM_BY_SCIEX_FORMAT, w.coefficient_content(1.0, 2.0, 3.0, [5, 6], [1.0, 2.0]), True),
    (w.SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE, w.float_pairs_content([1.0], [2.0], double_precision=True), True),
    (w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION, w.efficient_spectrum_content(4, [5, 6], [7, 8], mz_power=2), True),
    (w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION, w.efficient_spectrum_content(7, [5, 6], [7, 8], mz_power=2), True),
    (w.SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION, w.mz_efficient_content(3, 1.0, 2.0, 3.0, [5, 6], [7, 8]), True),
    (w.SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION, w.sciex_efficient_content(6, 1.0, 2.0, 3.0, [5, 6], [7, 8]),
     True),
    (w.SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION, w.sciex_efficient_content(
        5, 1.0, 2.0, 3.0, [5, 6, 1], [7, 8, 9], intensity_power=1, min_index_diff=2), True),
    (w.SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION, w.agilent_content(1, [1.0] * 10, [5, 6], [7, 8]), True),
]
CHROMATOGRAM = [
    (w.CHROMATOGRAM_NO_COMPRESSION, w.float_pairs_content([1.0, 2.0], [3.0, 4.0]), False),
    (w.CHROMATOGRAM_ZSTD_COMPRESSION, w.float_pairs_content([1.0, 2.0], [3.0, 4.0]), True),
] + [(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION,
      w.chromatogram_efficient_content(option, [1.5, 2.5] if option in (2, 3) else [5, 6], [7, 8],
                                       rt_power=1, intensity_power=2), True) for option in range(10)]
DAD = [
    (w.DAD_INTENSITIES_INSTEAD_OF_SPECTRUM, w.dad_plain_content([1.0, 2.0]), True),
] + [(w.DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION, w.dad_efficient_content(option, [5, 6], intensity_power=1), True)
     for option in range(4)]


def damage(rng, content):
    """The content with a few bytes changed, cut short, or both."""
    data = bytearray(content)
    for _ in range(rng.randrange(1, 4)):
        if data:
            data[rng.randrange(len(data))] = rng.choice([0x00, 0x7F, 0x80, 0xFF, rng.randrange(256)])
    if rng.random() < 0.3:
        del data[rng.randrange(len(data) + 1):]
    return bytes(data)


def damaged_blocks(segments, frame, seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        kind, content, compressed = rng.choice(segments)
        body = damage(rng, content)
        segment = w.compressed(kind, body) if compressed else w.plain_segment(kind, body)
        data = frame(segment)
        if rng.random() < 0.2:
            data = damage(rng, data)
        yield data


def run(make_reader, data, method, *args):
    try:
        result = call(make_reader(data), method, *args)
    except EXPECTED_ERRORS:
        return
    if result is not None:
        assert isinstance(result, list)


@pytest.mark.parametrize("method, segments, frame, extra", [
    ("read_spectrum", MS, w.spectrum_block, ()),
    ("read_chromatogram", CHROMATOGRAM, w.chromatogram_block, ()),
    ("read_dad_spectrum", DAD, w.spectrum_block, ([200.0, 210.0, 220.0],)),
    ("read_spectrum_for_multiple_xic", MS, w.spectrum_block, None),
    ("read_dad_spectrum_for_multiple_xic", DAD, w.spectrum_block, None),
])
def test_damaged_blocks_fail_cleanly(make_reader, method, segments, frame, extra):
    for data in damaged_blocks(segments, frame, seed=method, count=300):
        args = extra
        if extra is None:
            args = ([XicInfo._XicInfo__create_instance(ValueRange(-1e300, 1e300))],)
            if method.startswith("read_dad"):
                args += ([200.0, 210.0],)
        run(make_reader, data, method, *args)

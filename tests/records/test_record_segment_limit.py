"""Compressed segments of index and description records may hold more than
1 MiB only up to 256 times their compressed size: a few hundred bytes of
frames must not open as hundreds of thousands of records."""

import os
import random
import string
import time

import pytest

import zarnwriter as w
from kit.qual import qual_analysis, spectrum
from zarn_data_access.access import ZarnFile
from zarn_data_access.zstd import ZstdError

MIB = 1 << 20


def random_name(rng):
    return "".join(rng.choice(string.ascii_letters) for _ in range(40))


def measurement_index_file(write, names, distinct=True):
    """A file whose measurement index lists one measurement per name; unless
    `distinct`, every entry has the same position and hash."""
    content = b"".join(w.int64(5 + i * distinct) + w.measurement_description(f"h{i * distinct}", sample_name=name)
                       for i, name in enumerate(names))
    data = w.zarn_file((3, 6, 0), index_block=w.measurement_index_block([], count=len(names), content=content))
    return write(data), len(content)


def test_a_compressible_measurement_index_is_refused_when_opened(write):
    path, size = measurement_index_file(write, ["S"] * 100_000, distinct=False)
    assert size > MIB and os.path.getsize(path) < size // 256
    started = time.monotonic()
    with pytest.raises(ZstdError, match="exceeds the size limit"):
        ZarnFile(path)
    assert time.monotonic() - started < 2


def test_a_large_measurement_index_of_real_variety_opens(write):
    rng = random.Random(7)
    path, size = measurement_index_file(write, [random_name(rng) for _ in range(20_000)])
    assert size > MIB
    with ZarnFile(path) as handle:
        assert handle.get_measurement_count() == 20_000


def test_compressible_condition_lists_are_refused(write):
    count = 400_000
    qual = w.qual_description(detector_type=1, unique_acquisition_core_condition_list=[w.core_condition()],
                              unique_acquisition_condition_list=[w.acquisition_condition()] * count)
    assert len(qual) > MIB
    function = w.function_description(True, qual)
    data = w.measurement_file((3, 6, 0), [(w.measurement_description("h"), [(function, [])])])
    with ZarnFile(write(data)) as handle:
        with pytest.raises(ZstdError, match="exceeds the size limit"):
            handle.get_measurement(0)


def test_a_compressible_spectrum_index_is_refused(make_reader):
    with pytest.raises(ZstdError, match="exceeds the size limit"):
        qual_analysis(make_reader, [spectrum(1.0)] * 100_000)

"""The fuzz walk (fuzz/walk.py) over the inputs that the fuzzer once found
failing, and over the fuzzer's seeds: every input ends in documented
exceptions only, and the seeds read whole."""

import glob
import os
import struct
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "fuzz"))

import make_seeds  # noqa: E402
import walk  # noqa: E402

from kit import memory  # noqa: E402
from zarn_data_access.exception import ZarnException, ZarnVersionException  # noqa: E402
from zarn_data_access.zstd import ZstdError  # noqa: E402

REGRESSIONS = sorted(glob.glob(os.path.join(ROOT, "tests", "fuzz_regressions", "*")))


@pytest.mark.parametrize("path", REGRESSIONS, ids=os.path.basename)
def test_found_input_fails_only_as_documented(path):
    walk.walk_compared(path)


@pytest.mark.parametrize("path", REGRESSIONS, ids=os.path.basename)
def test_found_input_walks_in_little_address_space(path):
    # A few kilobytes that declare a large content must map no memory for
    # it: the walk runs with 256 MiB of address space beyond the open file.
    report = memory.measure(path, "walk", cap=256 * memory.MiB)
    assert "error" not in report, report
    assert report["peak"] < 64 * memory.MiB, report


UNLINKED = "'NoneType' object has no attribute '_InternalAcquisitionCoreCondition__ms_level'"


class Unrelated(Exception):
    pass


@pytest.mark.parametrize("error, expected", [
    (ZarnException("Int32 could not be read"), True),
    (ZarnVersionException("Unsupported Version: 3.7.0. Please update Zarn API."), True),
    (ZstdError("Unknown frame descriptor"), True),
    (IndexError("list index out of range"), True),
    (ValueError("57 is not a valid ZarnSymbols"), True),
    (UnicodeDecodeError("ascii", b"\xff", 0, 1, "ordinal not in range(128)"), True),
    (struct.error("unpack requires a buffer of 4 bytes"), True),
    (Exception("No profile spectrum"), True),
    (Exception("No spectrum has retention time information."), True),
    (AttributeError(UNLINKED), True),
    # The same types with other messages, or other types with the same
    # messages, are defects.
    (Exception("Index out of range"), False),
    (Unrelated("No profile spectrum"), False),
    (AttributeError("'NoneType' object has no attribute '_InternalAcquisitionCoreCondition__polarity'"), False),
    (AttributeError("'AcquisitionCondition' object has no attribute '_AcquisitionCondition__ms_level'"), False),
    (AttributeError(UNLINKED, "more"), False),
    (TypeError(UNLINKED), False),
    (KeyError("Scan"), False),
    (TypeError("unhashable type: 'list'"), False),
    (ZeroDivisionError("float division by zero"), False),
    (OverflowError("integer too large"), False),
    (RecursionError("maximum recursion depth exceeded"), False),
])
def test_documented_failures(error, expected):
    assert walk.documented(error) is expected


# What a seed may fail with: the profile spectra that a spectrum without
# one does not have, the nearest spectrum of a seed without retention
# times, the digest of a 3.0 file (which has no user info bytes), and the
# MS analysis whose stored conditions have no core conditions to link to.
EXPECTED = {
    "no-retention-times": {"No profile spectrum", "No spectrum has retention time information."},
    "v3.0.0-digest": {"File is corrupted"},
    "conditions-without-cores": {"No profile spectrum", UNLINKED},
}
# What a seed has to fail with, so that it keeps reaching that path.
REACHED = {"conditions-without-cores": {UNLINKED}}


def seeds():
    found = list(make_seeds.seeds())
    with make_seeds.raw_frames():
        found += [(name + "-raw", data, True) for name, data, raw in make_seeds.seeds() if raw]
    return found


@pytest.mark.parametrize("name, data", [(name, data) for name, data, _ in seeds()])
def test_seed_reads_whole(tmp_path, name, data):
    path = tmp_path / "seed.zarn"
    path.write_bytes(data)
    failures = set()
    walk.walk_compared(str(path), report=lambda error: failures.add(str(error)))
    allowed = EXPECTED.get(name.removesuffix("-raw"), {"No profile spectrum"})
    assert REACHED.get(name.removesuffix("-raw"), set()) <= failures <= allowed

"""The fuzz walk (fuzz/walk.py) over the inputs that the fuzzer once found
failing, and over the fuzzer's seeds: every input ends in documented
exceptions only, and the seeds read whole."""

import glob
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "fuzz"))

import make_seeds  # noqa: E402
import walk  # noqa: E402

REGRESSIONS = sorted(glob.glob(os.path.join(ROOT, "tests", "fuzz_regressions", "*")))


@pytest.mark.parametrize("path", REGRESSIONS, ids=os.path.basename)
def test_found_input_fails_only_as_documented(path):
    walk.walk(path)


# What a seed may fail with: the profile spectra that a spectrum without
# one does not have, the nearest spectrum of a seed without retention
# times, and the digest of a 3.0 file (which has no user info bytes).
EXPECTED = {
    "no-retention-times": {"No profile spectrum", "No spectrum has retention time information."},
    "v3.0.0-digest": {"File is corrupted"},
}


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
    walk.walk(str(path), report=lambda error: failures.add(str(error)))
    allowed = EXPECTED.get(name.removesuffix("-raw"), {"No profile spectrum"})
    assert failures <= allowed

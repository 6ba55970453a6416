"""Ctrl-C ends a long call at once, and the file reads the same after: each
call runs in a child interpreter of its own (kit.interrupt) on a small file
whose segments decompress to many MiB; a timer sends the signal into the
call, handled as Python handles SIGINT. The call must end with
KeyboardInterrupt well before the same call runs to its end (it ends within
about 0.1 s on the plain build; a call that answers only when done ends
about its whole length after the signal), and the same call made again must
give what it gives on the file opened anew."""

import os

import pytest

from kit import interrupt as I

# A bound for a loaded machine and the sanitizers, beside the one relative
# to the call's whole length.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
LATENCY = 6.0 if ASAN else 2.0

# (file, call, seconds into the call of the signal): streamed segments of
# 256 MiB under the walks; a streamed segment of 16 MiB whose every point
# becomes an object; 300 spectra each decompressing a segment held whole;
# one segment held whole whose decompression alone takes most of a second;
# an uncompressed segment whose every point becomes an object.
CASES = [
    ("ms_three", "xic", 0.3),
    ("ms", "multiple_xic", 0.3),
    ("ms_held", "points", 0.1),
    ("ms_held", "read_spectrum", 0.1),
    ("quan_held", "quan", 0.1),
    ("ms_300_held", "xic", 0.3),
    ("ms_held_768", "xic", 0.3),
    ("ms_plain", "points", 0.1),
    ("ms_plain", "read_spectrum", 0.1),
]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return I.write_files(str(tmp_path_factory.mktemp("interrupt")), sorted({name for name, _, _ in CASES}))


@pytest.mark.parametrize("name, call, delay", CASES, ids=[f"{name}-{call}" for name, call, _ in CASES])
def test_ctrl_c_ends_the_call_soon_and_the_file_reads_the_same(files, name, call, delay):
    report = I.interrupt(files[name], call, delay=delay, timeout=300)
    assert report["ended"] == ["KeyboardInterrupt"], report
    assert report["latency"] < min(LATENCY, report["full"] / 2), report
    assert report["same"], report

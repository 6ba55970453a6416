"""Memory follows the result: a few kilobytes of file holding segments of
zeros that decompress to hundreds of MiB cost a call only what it hands
back. Each call runs in a child interpreter of its own (kit.memory), its
address space capped on the plain build, and reports its peak of resident
memory above the state before the call."""

import os

import pytest

from kit import memory as M

MiB = M.MiB

# Under AddressSanitizer the address space cannot be capped (the shadow
# memory is reserved up front) and its allocator keeps freed memory in a
# quarantine: the child keeps that small, and the peaks get room for the
# allocator's own bookkeeping.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
CAP = 0 if ASAN else 512 * MiB
SLACK = 24 * MiB if ASAN else 0

# What streaming a large segment holds: a Zstandard stream per array or
# byte plane, each with its frame's window (2 MiB for these frames; eight
# planes in the MS layout here).
STREAMS = 24 * MiB
# A walk that hands back one point per spectrum, whatever its segments hold.
WALK_PEAK = STREAMS + SLACK


def child_env():
    env = dict(os.environ)
    if ASAN:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=4:thread_local_quarantine_size_kb=64"
    return env


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return M.write_files(str(tmp_path_factory.mktemp("hostile")))


def measure(files, name, call):
    return M.measure(files[name], call, cap=CAP, env=child_env())


# (file, call, the length of the result)
WALKS = [
    ("ms", "xic", 1),
    ("ms", "multiple_xic", 2),
    ("ms", "tic", 1),
    ("ms_three", "xic", 3),
    ("dad", "dad_chromatogram", 1),
    ("dad", "max_plot", 1),
    ("dad", "dad_points", len(M.WAVELENGTHS)),
    ("dad_four", "dad_chromatogram", 1),
    ("dad_four", "max_plot", 1),
]


@pytest.mark.parametrize("name,call,length", WALKS, ids=[f"{n}-{c}" for n, c, _ in WALKS])
def test_a_call_that_returns_little_holds_little(files, name, call, length):
    report = measure(files, name, call)
    assert report.get("result") == length, report
    assert report["peak"] <= WALK_PEAK, f"{call} on {M.FILES[name][0]} peaked at {report['peak'] / MiB:.1f} MiB"


# (file, call, the length of the result: every point, value or character)
HELD = [
    ("ms_held", "points", M.HELD // 8),
    ("ms_held", "read_spectrum", M.HELD // 8),
    ("ms_held", "spectrum_str", len(f"[0] {M.HELD // 8} points")),
    ("dad_held", "dad_intensities", M.HELD // 4),
    ("quan_held", "quan", "QuanAnalysis"),
]


@pytest.mark.parametrize("name,call,length", HELD, ids=[f"{n}-{c}" for n, c, _ in HELD])
def test_a_call_that_returns_every_point_holds_little_beside_them(files, name, call, length):
    report = measure(files, name, call)
    assert report.get("result") == length, report
    # What the call hands back (and what the spectrum keeps) is held after
    # it; at its peak the call held little more than that and its streams.
    assert report["held"] >= M.HELD, report
    assert report["peak"] <= 1.25 * report["held"] + STREAMS + SLACK, (
        f"{call} on {M.FILES[name][0]} peaked at {report['peak'] / MiB:.1f} MiB"
        f" for a result of {report['held'] / MiB:.1f} MiB")


@pytest.mark.parametrize("call", ["xic", "points"])
def test_a_frame_beyond_the_limit_fails_before_it_is_held(files, call):
    report = measure(files, "over_limit", call)
    assert report.get("error") == ["ZstdError", "Zstandard decompression failed: content exceeds the size limit"], \
        report
    assert report["peak"] <= WALK_PEAK, f"{call} peaked at {report['peak'] / MiB:.1f} MiB before failing"
    assert report["held"] <= WALK_PEAK, f"{call} still holds {report['held'] / MiB:.1f} MiB after failing"

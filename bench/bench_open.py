"""Cost of opening a qualitative MS analysis, against the native parse of its
records.

For each spectrum count the script writes a file with one measurement and
one MS function whose spectra hold one MS1 survey scan then four MS2 scans
with precursor m/z values of their own (the function stores no conditions,
so nearly every spectrum has a condition of its own), then prints per count:

  floor      the native parse of the file's records (_testing.parse_records),
             ns per spectrum;
  open       QualAnalysis._QualAnalysis__create_instance, ns per spectrum,
             and its ratio to the floor;
  read       DADAnalysis._DADAnalysis__create_instance over the same block
             (the block read without conditions), ns per spectrum;
  held       the memory the open analysis holds, MB per 100,000 spectra
             (the C allocator's bytes in use with the analysis kept, in a
             child whose interpreter allocates through it);
  tracked    objects tracked by the garbage collector made per spectrum;
  gc         the time of a full collection right after the open, ms.

Best of --repeat runs. Run from the repository root after installing the
package with the test hooks:

  python bench/bench_open.py [--counts 10000,50000,100000,200000] [--repeat N]
"""

import argparse
import ctypes
import gc
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)

from bench_qual import function_indices, ms_block  # noqa: E402

import zarnwriter as w  # noqa: E402
from zarn_data_access import qual as Q  # noqa: E402
from zarn_data_access._internal import _testing  # noqa: E402
from zarn_data_access._internal._reader import KxmFileReader  # noqa: E402
from zarn_data_access.common import PolarityTypes  # noqa: E402


def write_file(path, n, seed=7):
    rng = random.Random(seed)
    blocks = [ms_block(rng, 20) for _ in range(8)]
    body = bytearray()
    at = []
    for b in blocks:
        at.append(len(body))
        body += b
    entries = []
    for i in range(n):
        kind = i % 5
        fields = dict(retention_time=i * 0.002, ms_level=1 if kind == 0 else 2, polarity=PolarityTypes.POSITIVE,
                      mass_range=(100.0, 1500.0), is_profile_spectrum_measured=False)
        if kind:
            fields.update(collision_energy=30.0, precursor_index=i - kind,
                          precursor_value=round(rng.uniform(300.0, 1200.0), 4))
        totals = (float(rng.randrange(10**5, 10**7)), round(rng.uniform(100, 1500), 4), float(rng.randrange(10**5)))
        entries.append((at[i % len(at)], w.spectrum_description(totals=totals, **fields)))
    index_position = len(body)
    origin = index_position + 2
    body += w.spectrum_index_block([(p - origin, d) for p, d in entries])
    block_position = len(body)
    description = w.function_description(True, w.qual_description(detector_type=1))
    body += w.function_index_block([(index_position - (block_position + 2), description)])
    head_size = len(w.header())
    data = w.zarn_file(body=bytes(body), measurements=[(head_size + block_position, w.measurement_description("m"))])
    with open(path, "wb") as f:
        f.write(data)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = _MallInfo2


def in_use():
    """Bytes the C allocator has handed out and not taken back (the
    interpreter's own arenas included)."""
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def best(repeat, call):
    times = []
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        del result
    return min(times)


def measure(path, n, repeat):
    floor = best(repeat, lambda: _testing.parse_records(path))
    reader = KxmFileReader._KxmFileReader__create_instance(path)
    try:
        (function_index,) = function_indices(reader)
        create = Q.QualAnalysis._QualAnalysis__create_instance
        open_time = best(repeat, lambda: create(function_index, 0))
        # The same block read without conditions.
        read_time = best(repeat, lambda: Q.DADAnalysis._DADAnalysis__create_instance(function_index, 0))
        gc.collect()
        before_objects = len(gc.get_objects())
        analysis = create(function_index, 0)
        tracked = len(gc.get_objects()) - before_objects
        start = time.perf_counter()
        gc.collect()
        collect = time.perf_counter() - start
        assert analysis.get_spectra_count() == n
        del analysis
    finally:
        reader._KxmFileReader__stream.close()
    return floor, open_time, read_time, held_by(path), tracked, collect


def held_by(path):
    """The bytes an open analysis of the file holds, measured in a child
    whose interpreter takes all its memory from the C allocator."""
    out = subprocess.run([sys.executable, __file__, "--held", path], env=dict(os.environ, PYTHONMALLOC="malloc"),
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


def print_held(path):
    reader = KxmFileReader._KxmFileReader__create_instance(path)
    (function_index,) = function_indices(reader)
    gc.collect()
    before = in_use()
    analysis = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    gc.collect()
    print(in_use() - before)
    del analysis


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--counts", default="10000,50000,100000,200000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--held", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.held:
        return print_held(args.held)
    counts = [int(c) for c in args.counts.split(",")]
    print(f"{'spectra':>8} {'floor ns':>9} {'open ns':>9} {'ratio':>6} {'read ns':>8} {'MB/100k':>8} {'tracked':>8} "
          f"{'gc ms':>7}")
    first = None
    with tempfile.TemporaryDirectory() as folder:
        for n in counts:
            path = os.path.join(folder, f"open-{n}.zarn")
            write_file(path, n)
            floor, open_time, read_time, held, tracked, collect = measure(path, n, args.repeat)
            per = open_time / n * 1e9
            first = first or per
            print(f"{n:>8} {floor / n * 1e9:>9.0f} {per:>9.0f} {open_time / floor:>6.2f} {read_time / n * 1e9:>8.0f} "
                  f"{held / n * 1e5 / 1e6:>8.1f} {tracked / n:>8.2f} {collect * 1e3:>7.1f}")
            os.remove(path)
    print(f"ns per spectrum at the last count / the first: {per / first:.2f}")


if __name__ == "__main__":
    main()

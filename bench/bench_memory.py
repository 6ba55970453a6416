"""Peak memory of one call on small files with large zero-filled segments.

Each row runs one call in a child interpreter of its own (tests/kit/memory.py):
the file is opened and its analysis taken, the peak of resident memory is
reset, the call is made. Printed per row: the file's size, the peak above
the state before the call, what is still held with the result alive, the
time of the call's child, and how the call ended (the result's length or the
error). The rows that hand back tens of millions of points (--large) hold
gigabytes by their nature and are left out unless asked for.

Run from the repository root after installing the package:

  python bench/bench_memory.py [--large] [--cap MiB] [--data DIR]

`--cap` caps each child's address space that many MiB beyond what it has
mapped before the call (0: no cap; the default is 6144).
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from kit import memory as M  # noqa: E402

# (file, call); the large ones hand back every point of 256 MiB segments.
ROWS = [
    ("ms", "xic"), ("ms", "multiple_xic"), ("ms", "tic"), ("ms_twenty", "xic"),
    ("ms_held", "points"), ("ms_held", "read_spectrum"), ("ms_held", "spectrum_str"),
    ("dad", "dad_chromatogram"), ("dad", "max_plot"), ("dad", "dad_points"),
    ("dad_four", "dad_chromatogram"), ("dad_four", "max_plot"),
    ("dad_held", "dad_intensities"), ("quan_held", "quan"),
    ("over_limit", "xic"), ("over_limit", "points"),
]
LARGE_ROWS = [("ms", "points"), ("ms", "read_spectrum"), ("ms_four", "points"), ("dad_four", "dad_intensities"),
              ("quan", "quan")]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="also the calls that hand back every point of 256 MiB")
    parser.add_argument("--cap", type=int, default=6144, help="address-space cap of each child in MiB (0: none)")
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "zarn-bench-memory"))
    args = parser.parse_args()
    rows = ROWS + (LARGE_ROWS if args.large else [])
    os.makedirs(args.data, exist_ok=True)
    paths = M.write_files(args.data, sorted({name for name, _ in rows}))
    print(f"{'file':52s} {'call':28s} {'size':>8s} {'peak MiB':>9s} {'held MiB':>9s} {'s':>6s}  result")
    for name, call in rows:
        started = time.perf_counter()
        report = M.measure(paths[name], call, cap=args.cap * M.MiB)
        seconds = time.perf_counter() - started
        outcome = report["result"] if "result" in report else ": ".join(report["error"])
        print(f"{M.FILES[name][0]:52s} {M.CALLS[call][0]:28s} {os.path.getsize(paths[name]):8d}"
              f" {report['peak'] / M.MiB:9.1f} {report['held'] / M.MiB:9.1f} {seconds:6.2f}  {outcome}")


if __name__ == "__main__":
    main()

"""Speed of the MS spectrum decoders, per segment kind.

For each kind a file of spectra is written with the test writer and read
back spectrum by spectrum, as the qualitative analysis reads it (move the
reader, decode the block into a list of points).  Printed per kind, in
nanoseconds per decoded point:

  decode  _KxmFileReader__read_spectrum() for every spectrum of the file;
  floor   Zstandard decompression of the same segments plus the creation of
          as many point objects, the least any decoder that returns a list
          of points has to do;
  ratio   decode / floor.

Run from the repository root with a build that has the test hooks (the
environment .venvs/test that ./dev test makes):

  python bench/bench_decoders.py [--spectra N] [--points N] [--repeat N] [--kind TEXT]
"""

import argparse
import math
import os
import random
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import zarnwriter as w  # noqa: E402
from zarn_data_access import zstd  # noqa: E402
from zarn_data_access._internal import _testing  # noqa: E402
from zarn_data_access._internal._reader import KxmFileReader  # noqa: E402


def profile(rng, n):
    """A centroid-like spectrum: ascending m/z over 100-1500 with uneven
    spacing, intensities spread over five decades."""
    mz = sorted(rng.uniform(100.0, 1500.0) for _ in range(n))
    intensities = [int(10 ** rng.uniform(1.0, 6.0)) for _ in range(n)]
    return mz, intensities


def sciex_bins(rng, n):
    """Ascending SCIEX bin differences: mostly adjacent bins, with gaps."""
    return [rng.randrange(20000, 30000)] + [
        1 if rng.random() < 0.7 else rng.randrange(2, 40) for _ in range(n - 1)]


AGILENT_COEFFICIENTS = [0.35, 0.0, 1e-9, 2e-14, 0.0, 0.0, 0.0, 0.0, 0.0, 1e9]


def segment(kind, rng, n):
    """One segment of `kind` with n points, and its compressed frame (None
    for the kind that lies in the file)."""
    mz, counts = profile(rng, n)
    floats = [float(c) for c in counts]
    scaled = [round(m * 10000) for m in mz]
    if kind == "40 plain":
        return w.spectrum_plain(mz, floats)
    if kind == "41 zstd":
        return w.spectrum_zstd(mz, floats)
    if kind == "42 mz-coefficients":
        return w.spectrum_mz_coefficients(1e-10, 0.001, 100.0, w.deltas(sorted(rng.sample(range(1, 1400000), n))),
                                          floats)
    if kind == "43 sciex":
        return w.spectrum_sciex(0.001, 0.5, 1.0, sciex_bins(rng, n), floats)
    if kind == "50 double":
        return w.spectrum_double(mz, floats)
    if kind.startswith("52 efficient"):
        option = int(kind[-1])
        if option in (2, 3):
            return w.spectrum_efficient(option, mz, counts)
        return w.spectrum_efficient(option, w.deltas(scaled), counts, mz_power=4, intensity_power=1)
    if kind == "53 mz-efficient":
        return w.spectrum_mz_efficient(2, 1e-10, 0.001, 100.0, w.deltas(sorted(rng.sample(range(1, 1400000), n))),
                                       counts, intensity_power=1)
    if kind.startswith("54 sciex-efficient"):
        option = int(kind[-1])
        return w.spectrum_sciex_efficient(option, 0.001, 0.5, 1.0, sciex_bins(rng, n), counts, intensity_power=1,
                                          min_index_diff=1)
    if kind == "56 agilent":
        return w.spectrum_agilent(0, AGILENT_COEFFICIENTS, [0] + [rng.randrange(1, 30) for _ in range(n - 1)],
                                  counts, index_power=3, intensity_power=1, t0=40000000, min_diff=50)
    raise ValueError(kind)


KINDS = ["40 plain", "41 zstd", "42 mz-coefficients", "43 sciex", "50 double", "52 efficient, option 0",
         "52 efficient, option 2", "52 efficient, option 4", "53 mz-efficient", "54 sciex-efficient, option 0",
         "54 sciex-efficient, option 6", "56 agilent"]


def frame_of(seg):
    """The Zstandard frame of a compressed segment (kind symbol, Int32, frame)."""
    if seg[0:2] == w.symbol(w.SPECTRUM_NO_COMPRESSION):
        return None
    return seg[7:]


def build(kind, path, spectra, points, seed):
    """Writes the file; returns the block positions and the frames."""
    rng = random.Random(seed)
    positions, frames = [], []
    with open(path, "wb") as f:
        for _ in range(spectra):
            seg = segment(kind, rng, points)
            positions.append(f.tell())
            frames.append(frame_of(seg))
            f.write(w.spectrum_block(seg))
    return positions, frames


def best_of(repeat, *runs):
    """The shortest time of each run over `repeat` rounds; the runs take
    turns, so that both see the same load of the machine."""
    best = [math.inf] * len(runs)
    for _ in range(repeat):
        for i, run in enumerate(runs):
            start = time.perf_counter_ns()
            run()
            best[i] = min(best[i], time.perf_counter_ns() - start)
    return best


def measure(kind, spectra, points, repeat, directory):
    path = os.path.join(directory, "bench.zarn")
    positions, frames = build(kind, path, spectra, points, seed=len(kind))
    reader = KxmFileReader._KxmFileReader__create_instance(path)
    set_buffer = reader._KxmFileReader__set_buffer
    read_spectrum = reader._KxmFileReader__read_spectrum
    try:
        counts = []
        for p in positions:
            set_buffer(p)
            counts.append(len(read_spectrum()))
        total = sum(counts)

        def decode():
            for p in positions:
                set_buffer(p)
                read_spectrum()

        def floor():
            for frame, n in zip(frames, counts):
                if frame is not None:
                    zstd.decompress(frame)
                _testing.make_spectrum_points(n)

        decode_ns, floor_ns = (t / total for t in best_of(repeat, decode, floor))
    finally:
        reader._KxmFileReader__stream.close()
        os.remove(path)
    return total, decode_ns, floor_ns


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--spectra", type=int, default=2000, help="spectra per kind")
    parser.add_argument("--points", type=int, default=2000, help="points per spectrum (before zero filling)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement; the best is printed")
    parser.add_argument("--kind", action="append", help="only the kinds whose name contains this text")
    args = parser.parse_args()
    print(f"{args.spectra} spectra x {args.points} points per kind; best of {args.repeat} runs")
    print(f"{'kind':32} {'points':>10} {'decode ns/pt':>13} {'floor ns/pt':>12} {'ratio':>6}")
    with tempfile.TemporaryDirectory() as directory:
        for kind in KINDS:
            if args.kind and not any(text in kind for text in args.kind):
                continue
            total, decode_ns, floor_ns = measure(kind, args.spectra, args.points, args.repeat, directory)
            print(f"{kind:32} {total:>10} {decode_ns:>13.1f} {floor_ns:>12.1f} {decode_ns / floor_ns:>6.2f}",
                  flush=True)


if __name__ == "__main__":
    main()

"""This library side by side with the readers users would otherwise pick.

The same synthetic LC-MS run (bench/peer_dataset.py: 20,000 MS1 spectra of
2,000 centroid points, 60,000 MS2 spectra, 300 reference scans with profile
data) is read from its Zarn file by this library and from its mzML file by
pyOpenMS (C++ with Python bindings) and pyteomics (pure Python). Each
reader does each task from the file's path to the result, in a process of
its own, so that its peak memory (ru_maxrss) is its own:

  open     open the file and count its spectra;
  points   every spectrum's points: the centroid points of function 1 and
           the profile points of the reference scans (the spectra the mzML
           holds);
  tic      the total-ion chromatogram of the MS1 survey scans;
  xic      one extracted-ion chromatogram over the MS1 scans;
  xic100   100 extracted-ion chromatograms, in one pass where the reader
           offers it.

Each reader does it the fastest way it offers for the task (see the reader
classes below). The results are checked against each other: spectrum and
point counts, checksums of every 97th spectrum, the TIC, the XIC and the
100 XICs must agree within float tolerance (mzML stores intensities as
32-bit floats).

Floors are measured on the same data: the Zstandard decompression of the
segments that the task reads (the index segments for opening, the data
segments of the spectra read) plus the creation of as many point objects as
the task hands out, made the way the decoders make them and kept alive as
long as the caller holds them (one list of points per spectrum at a time
for the points, all XICs at once for 100 XICs). Opening hands out four
objects per spectrum (its SpectrumIndex, its description, its acquisition
condition and that condition's mass range), so its floor makes four point
objects per spectrum. Every task includes opening the file; its floor
includes the floor of opening.

Printed: per task the best time of each reader (at most --repeat runs, and
fewer once a reader's runs of the task take --budget seconds), our time
against the floor, each peer's time over ours, and the peak memory of each
process (and of a process that only imports the reader).

Run from the repository root with a build that has the test hooks (the
environment .venvs/test that ./dev test makes) and the optional benchmark
dependencies:

  pip install -r bench/requirements.txt
  python bench/bench_peers.py [--data DIR] [--scale X] [--repeat N] [--budget S] [--reader NAME]

The dataset is built once into --data (about 1.1 GB at scale 1; a few
minutes) and reused while its parameters stay the same.
"""

import argparse
import gc
import json
import math
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

TASKS = [
    ("open", "open, count spectra"),
    ("points", "every spectrum's points"),
    ("tic", "TIC of the MS1 scans"),
    ("xic", "one XIC"),
    ("xic100", "100 XICs"),
]
READERS = ["ours", "pyopenms", "pyteomics"]
TITLES = {"ours": "ours", "pyopenms": "pyOpenMS", "pyteomics": "pyteomics", "floor": "floor"}

# Every CHECK_STRIDE-th spectrum of each function has its points summed for
# the comparison of the readers' points.
CHECK_STRIDE = 97


def checked(key):
    return (key[1] - 1) % CHECK_STRIDE == 0


def key_of_native_id(native_id):
    """(function, scan) of "function=F process=0 scan=N"."""
    function, _, scan = native_id.split()
    return int(function[9:]), int(scan[5:])


# ---------------------------------------------------------------- readers


class Ours:
    """zarn_data_access: the public API. Opening reads the file's header,
    the measurement and both spectrum index blocks."""

    def __init__(self, manifest):
        from zarn_data_access.access import ZarnFile
        from zarn_data_access.common import ValueRange
        from zarn_data_access.qual import ChromatogramFilterOption

        self.ZarnFile, self.ValueRange, self.Option = ZarnFile, ValueRange, ChromatogramFilterOption
        self.path = manifest["zarn"]
        self.windows = manifest["xic_windows"]
        self.open_seconds = []

    def _open(self):
        start = time.perf_counter()
        f = self.ZarnFile(self.path)
        m = f.get_measurement(0)
        analyses = [m.get_qual_analysis(i) for i in range(m.get_qual_analysis_count())]
        self.open_seconds.append(time.perf_counter() - start)
        return f, analyses

    def open(self):
        f, analyses = self._open()
        with f:
            return sum(a.get_spectra_count() for a in analyses)

    def points(self):
        f, (ms, reference) = self._open()
        counts = {}
        with f:
            for i in range(ms.get_spectra_count()):
                counts[1, i + 1] = len(ms.get_spectrum(i).get_spectrum_points())
            for i in range(reference.get_spectra_count()):
                counts[2, i + 1] = len(reference.get_spectrum(i).get_profile_spectrum_points())
        return counts

    def _ms1(self, ms):
        return ms.unique_acquisition_conditions[0]

    def tic(self):
        f, (ms, _) = self._open()
        with f:
            return ms.get_tic(self._ms1(ms))

    def _option(self, ms, window):
        return self.Option(self._ms1(ms), self.ValueRange(*window))

    def xic(self):
        f, (ms, _) = self._open()
        with f:
            return ms.get_xic(self._option(ms, self.windows[0]))

    def xic100(self):
        f, (ms, _) = self._open()
        with f:
            return ms.get_multiple_xic([self._option(ms, window) for window in self.windows])

    def summary(self, task, result):
        if task == "open":
            return {"spectra": result}
        if task == "points":
            return {"counts": counts_list(result), "sums": self._checksums()}
        if task == "xic100":
            return xic_summary([[len(x), math.fsum(p.intensity for p in x)] for x in result],
                               *([(p.retention_time, p.intensity) for p in result[k]] for k in (0, -1)))
        return [(p.retention_time, p.intensity) for p in result]

    def _checksums(self):
        """Sums of m/z and intensity of the checked spectra (not timed)."""
        f, (ms, reference) = self._open()
        sums = []
        with f:
            for function, analysis, read in ((1, ms, "get_spectrum_points"),
                                             (2, reference, "get_profile_spectrum_points")):
                for i in range(0, analysis.get_spectra_count(), CHECK_STRIDE):
                    points = getattr(analysis.get_spectrum(i), read)()
                    sums.append([function, i + 1, math.fsum(p.x for p in points),
                                 math.fsum(p.intensity for p in points)])
        return sums

    def extra(self):
        return {"open_seconds": min(self.open_seconds)} if self.open_seconds else {}


class PyOpenMS:
    """pyOpenMS: counting from the file's index without its metadata
    (OnDiscMSExperiment); points by loading the file and taking each
    spectrum's arrays; the TIC from the stored totals, loaded without the
    binary data; XICs from the MS1 scans alone (filtered while loading),
    one window through the loader's m/z filter, 100 windows from each
    spectrum's arrays."""

    def __init__(self, manifest):
        import numpy as np
        import pyopenms as oms

        self.np, self.oms = np, oms
        self.path = manifest["mzml"]
        self.windows = manifest["xic_windows"]

    def _load(self, configure=None):
        exp = self.oms.MSExperiment()
        f = self.oms.MzMLFile()
        if configure:
            options = f.getOptions()
            configure(options)
            f.setOptions(options)
        f.load(self.path, exp)
        return exp

    def open(self):
        od = self.oms.OnDiscMSExperiment()
        if not od.openFile(self.path, True):
            raise RuntimeError("pyOpenMS could not open the file")
        return od.getNrSpectra()

    def points(self):
        np = self.np
        exp = self._load()
        counts, sums = {}, []
        for s in exp:
            key = key_of_native_id(s.getNativeID())
            mz, intensity = s.get_peaks()
            counts[key] = len(mz)
            if checked(key):
                sums.append([*key, float(np.sum(mz)), float(np.sum(intensity, dtype=np.float64))])
        return counts, sums

    def _ms1_centroid(self, exp):
        centroid = self.oms.SpectrumSettings.SpectrumType.CENTROID
        return (s for s in exp if s.getMSLevel() == 1 and s.getType() == centroid)

    def tic(self):
        exp = self._load(lambda o: o.setFillData(False))
        return [(s.getRT() / 60.0, float(s.getMetaValue("total ion current"))) for s in self._ms1_centroid(exp)]

    def xic(self):
        np = self.np
        lo, hi = self.windows[0]

        def configure(options):
            options.setMSLevels([1])
            options.setMZRange(self.oms.DRange1(lo, hi))

        exp = self._load(configure)
        return [(s.getRT() / 60.0, float(np.sum(s.get_peaks()[1], dtype=np.float64)))
                for s in self._ms1_centroid(exp)]

    def xic100(self):
        exp = self._load(lambda o: o.setMSLevels([1]))
        lows, highs = windows_arrays(self.np, self.windows)
        rts, rows = [], []
        for s in self._ms1_centroid(exp):
            mz, intensity = s.get_peaks()
            rts.append(s.getRT() / 60.0)
            rows.append(window_sums(self.np, mz, intensity, lows, highs))
        return rts, rows

    def summary(self, task, result):
        return peer_summary(task, result)

    def extra(self):
        return {}


class Pyteomics:
    """pyteomics: counting from the offset index that MzML builds (the
    file's own index, read by PreIndexedMzML, loses its last entries in
    pyteomics 5.0: the parse stops at the end of the index list before the
    last buffered entries come out); everything else in one sequential pass
    (no index), the TIC from the stored totals without decoding arrays, the
    XICs decoding the arrays of the MS1 scans only."""

    def __init__(self, manifest):
        import numpy as np
        from pyteomics import mzml

        self.np, self.mzml = np, mzml
        self.path = manifest["mzml"]
        self.windows = manifest["xic_windows"]

    def open(self):
        with self.mzml.MzML(self.path) as reader:
            return len(reader)

    def _pass(self, decode):
        return self.mzml.MzML(self.path, use_index=False, decode_binary=decode)

    def points(self):
        np = self.np
        counts, sums = {}, []
        with self._pass(True) as reader:
            for s in reader:
                key = key_of_native_id(s["id"])
                mz, intensity = s["m/z array"], s["intensity array"]
                counts[key] = len(mz)
                if checked(key):
                    sums.append([*key, float(np.sum(mz)), float(np.sum(intensity, dtype=np.float64))])
        return counts, sums

    @staticmethod
    def _ms1_centroid(reader):
        return (s for s in reader if s["ms level"] == 1 and "centroid spectrum" in s)

    @staticmethod
    def _rt(s):
        return float(s["scanList"]["scan"][0]["scan start time"])

    def tic(self):
        with self._pass(False) as reader:
            return [(self._rt(s), float(s["total ion current"])) for s in self._ms1_centroid(reader)]

    def xic(self):
        np = self.np
        lo, hi = self.windows[0]
        out = []
        with self._pass(False) as reader:
            for s in self._ms1_centroid(reader):
                mz = s["m/z array"].decode()
                a, b = np.searchsorted(mz, lo, side="left"), np.searchsorted(mz, hi, side="right")
                intensity = s["intensity array"].decode()
                out.append((self._rt(s), float(np.sum(intensity[a:b], dtype=np.float64))))
        return out

    def xic100(self):
        np = self.np
        lows, highs = windows_arrays(np, self.windows)
        rts, rows = [], []
        with self._pass(False) as reader:
            for s in self._ms1_centroid(reader):
                rts.append(self._rt(s))
                rows.append(window_sums(np, s["m/z array"].decode(), s["intensity array"].decode(), lows, highs))
        return rts, rows

    def summary(self, task, result):
        return peer_summary(task, result)

    def extra(self):
        return {}


def windows_arrays(np, windows):
    return np.array([w[0] for w in windows]), np.array([w[1] for w in windows])


def window_sums(np, mz, intensity, lows, highs):
    """The sum of the intensities inside each window [low, high], for all
    windows at once: differences of the running sum."""
    start = np.searchsorted(mz, lows, side="left")
    stop = np.searchsorted(mz, highs, side="right")
    running = np.concatenate(([0.0], np.cumsum(intensity, dtype=np.float64)))
    return (running[stop] - running[start]).tolist()


def counts_list(counts):
    return sorted([*key, n] for key, n in counts.items())


def xic_summary(totals, first, last):
    """Per XIC its point count and intensity sum, and the first and last XIC
    in full."""
    return {"totals": totals, "first": first, "last": last}


def peer_summary(task, result):
    if task == "open":
        return {"spectra": result}
    if task == "points":
        counts, sums = result
        return {"counts": counts_list(counts), "sums": sums}
    if task == "xic100":
        rts, rows = result
        columns = list(zip(*rows))
        return xic_summary([[len(c), math.fsum(c)] for c in columns],
                           *(list(zip(rts, columns[k])) for k in (0, -1)))
    return result


# ---------------------------------------------------------------- floors


# The objects that opening makes per spectrum: SpectrumIndex, description,
# acquisition condition, mass range.
OBJECTS_PER_SPECTRUM = 4


class Floor:
    """The floors: Zstandard decompression of the segments a task reads
    (this library's decompressor, over the frames taken out of the file
    beforehand) and the creation of as many point objects, each of its
    parts timed apart. A part returns the objects the caller would hold;
    they are let go after the part is timed."""

    def __init__(self, manifest):
        from zarn_data_access import zstd
        from zarn_data_access._internal import _testing

        self.decompress, self.make_points = zstd.decompress, _testing.make_spectrum_points
        with open(manifest["zarn"], "rb") as f:
            self.data = f.read()
        layout = manifest["layout"]
        n1 = layout["function1_count"]
        self.ms1 = manifest["ms1_spectra"]
        self.index_frames = [self._index_frame(p) for p in layout["spectrum_index_blocks"]]
        self.index_frames.append(self._function_index_frame(layout["function_index_block"]))
        self.spectra = n1 + len(layout["function2_blocks"])
        self.data_frames = [self._block_frame(p) for p in layout["function1_blocks"] + layout["profile_blocks"]]
        self.ms1_frames = [frame for frame, level in zip(self.data_frames[:n1], self._levels(manifest)) if level == 1]
        self.point_counts = None

    def _levels(self, manifest):
        per_cycle = manifest["parameters"]["ms2_per_cycle"]
        return [1 if i % (per_cycle + 1) == 0 else 2 for i in range(manifest["layout"]["function1_count"])]

    def _int32(self, at):
        assert self.data[at] == 0xC2
        return int.from_bytes(self.data[at + 1:at + 5], "little", signed=True)

    def _segment(self, at):
        """The frame of the compressed segment (tagged Int32 length) at `at`."""
        n = self._int32(at)
        frame = self.data[at + 5:at + 5 + n]
        assert frame[:4] == b"\x28\xb5\x2f\xfd"
        return frame

    def _block_frame(self, at):
        # Begin symbol, segment count, kind symbol, then the segment.
        return self._segment(at + 5)

    def _skip_int64_array(self, at):
        assert self.data[at] == 0xE4
        segments, at = self.data[at + 1], at + 2
        for _ in range(segments):
            at += 5 + self._int32(at)
        return at

    def _index_frame(self, at):
        # Begin symbol, UInt32 count, profile flag, offsets (and profile offsets).
        has_profile = self.data[at + 7] == 0x3F
        at = self._skip_int64_array(at + 8)
        if has_profile:
            at = self._skip_int64_array(at)
        return self._segment(at)

    def _function_index_frame(self, at):
        width = 3 if self.data[at + 2] == 0xC1 else 5
        return self._segment(self._skip_int64_array(at + 2 + width))

    def _decompress(self, frames):
        for frame in frames:
            self.decompress(frame)

    def open(self):
        self._decompress(self.index_frames)
        return self.make_points(OBJECTS_PER_SPECTRUM * self.spectra)

    def decompress_points(self):
        self._decompress(self.data_frames)

    def make_all_points(self):
        for n in self.point_counts:
            self.make_points(n)

    def tic(self):
        return self.make_points(self.ms1)

    def decompress_ms1(self):
        self._decompress(self.ms1_frames)

    def xic(self):
        return self.make_points(self.ms1)

    def xic100(self):
        return [self.make_points(self.ms1) for _ in range(100)]


def measure_floors(manifest, repeat):
    floor = Floor(manifest)
    from zarn_data_access.access import ZarnFile

    with ZarnFile(manifest["zarn"]) as f:
        m = f.get_measurement(0)
        ms, reference = (m.get_qual_analysis(i) for i in range(2))
        counts = [len(ms.get_spectrum(i).get_spectrum_points()) for i in range(ms.get_spectra_count())]
        counts += [len(reference.get_spectrum(i).get_profile_spectrum_points())
                   for i in range(reference.get_spectra_count())]
    floor.point_counts = counts
    parts = {"open": floor.open, "points_zstd": floor.decompress_points, "points_objects": floor.make_all_points,
             "tic": floor.tic, "xic_zstd": floor.decompress_ms1, "xic_objects": floor.xic,
             "xic100_objects": floor.xic100}
    best = {name: best_time(call, repeat, math.inf)[0] for name, call in parts.items()}
    return {
        "open": best["open"],
        "points": best["open"] + best["points_zstd"] + best["points_objects"],
        "tic": best["open"] + best["tic"],
        "xic": best["open"] + best["xic_zstd"] + best["xic_objects"],
        "xic100": best["open"] + best["xic_zstd"] + best["xic100_objects"],
        "parts": best,
    }


# ---------------------------------------------------------------- worker


def best_time(call, repeat, budget):
    """(best seconds, runs, last result) of at most `repeat` runs, fewer
    once the runs took `budget` seconds."""
    times, result = [], None
    while len(times) < repeat:
        result = None
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        if sum(times) >= budget:
            break
    return min(times), len(times), result


def worker(reader, task, manifest_path, repeat, budget):
    with open(manifest_path) as f:
        manifest = json.load(f)
    if reader == "floor":
        out = {"floors": measure_floors(manifest, repeat)}
    else:
        impl = {"ours": Ours, "pyopenms": PyOpenMS, "pyteomics": Pyteomics}[reader](manifest)
        out = {}
        if task != "import":
            seconds, runs, result = best_time(getattr(impl, task), repeat, budget)
            out = {"seconds": seconds, "runs": runs, "summary": impl.summary(task, result), **impl.extra()}
            del result
    out["maxrss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    sys.stdout.write(json.dumps(out) + "\n")


def run_worker(reader, task, manifest_path, repeat, budget):
    command = [sys.executable, os.path.abspath(__file__), "--worker", reader, task, "--manifest", manifest_path,
               "--repeat", str(repeat), "--budget", str(budget)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{reader} {task} failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- checks


def compare_series(name, ours, theirs, problems, rel=1e-6):
    """Pairs of (retention time, intensity) agree in count, time and value."""
    if len(ours) != len(theirs):
        problems.append(f"{name}: {len(theirs)} points, ours {len(ours)}")
        return
    worst = 0.0
    for (rt_a, a), (rt_b, b) in zip(ours, theirs):
        if not math.isclose(rt_a, rt_b, rel_tol=1e-9, abs_tol=1e-9):
            problems.append(f"{name}: retention time {rt_b}, ours {rt_a}")
            return
        if not math.isclose(a, b, rel_tol=rel, abs_tol=1e-3):
            problems.append(f"{name}: intensity {b} at {rt_b}, ours {a}")
            return
        if a:
            worst = max(worst, abs(a - b) / abs(a))
    return worst


def check(task, ours, theirs, title):
    """A list of disagreements, and a note on the agreement."""
    problems = []
    if task == "open":
        if ours["spectra"] != theirs["spectra"]:
            problems.append(f"open: {theirs['spectra']} spectra, ours {ours['spectra']}")
        return problems, f"{theirs['spectra']} spectra"
    if task == "points":
        if ours["counts"] != theirs["counts"]:
            problems.append("points: per-spectrum point counts differ")
        sums = {tuple(s[:2]): s[2:] for s in theirs["sums"]}
        for function, scan, mz, intensity in ours["sums"]:
            other = sums.get((function, scan))
            if other is None or not math.isclose(mz, other[0], rel_tol=1e-12) or not math.isclose(
                    intensity, other[1], rel_tol=1e-6):
                problems.append(f"points: spectrum {function}/{scan}: sums {other}, ours {[mz, intensity]}")
                break
        total = sum(c[2] for c in theirs["counts"])
        return problems, f"{total} points in {len(theirs['counts'])} spectra, {len(sums)} checksums"
    if task == "xic100":
        worst = 0.0
        for k, ((n_a, a), (n_b, b)) in enumerate(zip(ours["totals"], theirs["totals"])):
            if n_a != n_b or not math.isclose(a, b, rel_tol=1e-6):
                problems.append(f"xic100: XIC {k}: {n_b} points summing to {b}, ours {n_a} summing to {a}")
                break
            worst = max(worst, abs(a - b) / abs(a) if a else 0.0)
        for part in ("first", "last"):
            compare_series(f"xic100 {part}", ours[part], theirs[part], problems)
        return problems, f"{len(theirs['totals'])} XICs, largest relative difference {worst:.1e}"
    worst = compare_series(task, ours, theirs, problems)
    return problems, f"{len(theirs)} points, largest relative difference {worst or 0.0:.1e}"


# ---------------------------------------------------------------- report


def warm(paths):
    """Reads the files once, so that every reader finds them in the page cache."""
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def ms(seconds):
    return f"{seconds * 1000:.0f}" if seconds >= 0.1 else f"{seconds * 1000:.1f}"


def report(manifest, results, floors, readers):
    p = manifest["parameters"]
    print()
    print(f"Dataset: {manifest['ms1_spectra']} MS1 spectra of {p['ms1_points']} centroid points, "
          f"{manifest['ms2_spectra']} MS2 spectra ({manifest['centroid_points'] - manifest['ms1_points']} points), "
          f"{manifest['reference_spectra']} reference scans of {manifest['profile_points'] // max(1, manifest['reference_spectra'])} "
          f"profile points; Zarn {manifest['zarn_bytes'] / 1e6:.0f} MB, mzML {manifest['mzml_bytes'] / 1e6:.0f} MB")
    peers = [r for r in readers if r != "ours"]
    header = f"{'task':<26}{'ours ms':>10}{'floor ms':>10}{'ours/floor':>11}"
    for r in peers:
        header += f"{TITLES[r] + ' ms':>15}{'x ours':>8}"
    print()
    print("Time from the file's path to the result, best run (ms); 'x ours' is the peer's time over ours.")
    print(header)
    for task, title in TASKS:
        ours = results.get(("ours", task))
        row = f"{title:<26}"
        if ours:
            row += f"{ms(ours['seconds']):>10}{ms(floors[task]):>10}{ours['seconds'] / floors[task]:>11.1f}"
        else:
            row += f"{'-':>10}{ms(floors[task]):>10}{'-':>11}"
        for r in peers:
            theirs = results.get((r, task))
            if theirs is None:
                row += f"{'-':>15}{'-':>8}"
                continue
            ratio = f"{theirs['seconds'] / ours['seconds']:.1f}" if ours else "-"
            row += f"{ms(theirs['seconds']):>15}{ratio:>8}"
        print(row)
    if any(("ours", t) in results for t, _ in TASKS):
        print()
        print("Ours, opening apart (ms): " + ", ".join(
            f"{task} {ms(results[('ours', task)]['open_seconds'])} + {ms(results[('ours', task)]['seconds'] - results[('ours', task)]['open_seconds'])}"
            for task, _ in TASKS if ("ours", task) in results))
    parts = floors["parts"]
    print("Floor parts (ms): " + ", ".join(f"{name} {ms(seconds)}" for name, seconds in parts.items()))
    print()
    print("Peak memory (MB, ru_maxrss of the reader's process)")
    print(f"{'task':<26}" + "".join(f"{TITLES[r]:>12}" for r in readers))
    for task, title in [("import", "import only")] + TASKS:
        row = f"{title:<26}"
        for r in readers:
            result = results.get((r, task))
            row += f"{result['maxrss'] / 1e6:>12.0f}" if result else f"{'-':>12}"
        print(row)
    print()
    print("Runs per task: " + ", ".join(
        f"{TITLES[r]} " + "/".join(str(results[(r, t)]["runs"]) for t, _ in TASKS if (r, t) in results)
        for r in readers))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "zarn-bench-peers"),
                        help="directory of the dataset (built once, then reused)")
    parser.add_argument("--scale", type=float, default=1.0, help="size of the run (1.0: 20,000 MS1 spectra)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per task and reader; the best is printed")
    parser.add_argument("--budget", type=float, default=60.0,
                        help="seconds after which a reader's task is not run again")
    parser.add_argument("--reader", action="append", choices=READERS,
                        help="only these readers (ours is always run; default: all)")
    parser.add_argument("--worker", nargs=2, metavar=("READER", "TASK"), help=argparse.SUPPRESS)
    parser.add_argument("--manifest", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker, args.manifest, args.repeat, args.budget)
        return

    sys.path.insert(0, HERE)
    import peer_dataset

    manifest = peer_dataset.ensure(args.data, args.scale)
    manifest_path = os.path.join(args.data, "manifest.json")
    readers = ["ours"] + [r for r in READERS[1:] if not args.reader or r in args.reader]
    warm([manifest["zarn"], manifest["mzml"]])
    results = {}
    for reader in readers:
        for task in ["import"] + [t for t, _ in TASKS]:
            print(f"{TITLES[reader]}: {task} ...", file=sys.stderr, flush=True)
            results[reader, task] = run_worker(reader, task, manifest_path, args.repeat, args.budget)
    print("floors ...", file=sys.stderr, flush=True)
    floors = run_worker("floor", "all", manifest_path, args.repeat, args.budget)["floors"]

    problems = []
    print("Agreement with ours:")
    for reader in readers[1:]:
        for task, _ in TASKS:
            found, note = check(task, results["ours", task]["summary"], results[reader, task]["summary"], reader)
            problems += [f"{TITLES[reader]} {p}" for p in found]
            print(f"  {TITLES[reader]:<10} {task:<7} {'DIFFERS' if found else 'agrees'}: {note}")
    report(manifest, results, floors, readers)
    if problems:
        print("\nThe readers disagree:\n  " + "\n  ".join(problems))
        sys.exit(1)


if __name__ == "__main__":
    main()

"""This library side by side with the readers users would otherwise pick.

The same synthetic LC-MS run (bench/peer_dataset.py: 20,000 MS1 spectra of
2,000 centroid points, 60,000 MS2 spectra, 300 reference scans with profile
data) is read from its Zarn file by this library and from its mzML file by
pyOpenMS (C++ with Python bindings) and pyteomics (pure Python). Each
reader does each task from the file's path to the result, in a worker
process of its own:

  open     open the file and count its spectra;
  points   every spectrum's points: the centroid points of function 1 and
           the profile points of the reference scans (the spectra the mzML
           holds);
  tic      the total-ion chromatogram of the MS1 survey scans;
  xic      one extracted-ion chromatogram over the MS1 scans;
  xic100   100 extracted-ion chromatograms, in one pass where the reader
           offers it;
  xic2     the XIC of `xic` over two files (the run and a copy of it), one
           after the other and on two threads of one process, in
           alternating rounds: the throughput of two threads against one
           (this library and pyOpenMS; pyteomics is pure Python and holds
           the interpreter's lock throughout).

Each reader does it the fastest way it offers for the task (see the reader
classes below). The results are checked against each other: spectrum and
point counts, checksums of every 97th spectrum, the TIC, the XIC and the
100 XICs must agree within float tolerance (mzML stores intensities as
32-bit floats), and each XIC over two files must agree with the one XIC.

Floors are measured on the same data. Opening: the core's parse of what
opening reads (the header, the function index and every spectrum index
record of the qualitative functions) into native records, read through a
file descriptor, with no Python object made (`parse_records` of the
private module zarn_data_access._internal._testing, which every build of
the package holds). The other tasks: the floor of opening, plus the
Zstandard decompression of the data segments that the task reads, plus the
creation of as many point objects as the task hands out, made the way the
decoders make them and kept alive as long as the caller holds them (one
list of points per spectrum at a time for the points, all XICs at once for
100 XICs).

Memory: each worker reports its own peak resident memory, the high-water
mark of its address space (VmHWM of /proc/self/status; a process started
by exec gets a fresh one, unlike ru_maxrss, which it inherits from its
parent). A task's worker resets the mark to its resident size once the
reader is imported (writing 5 to /proc/self/clear_refs) and reads it after
the task, so the figure is the task's peak (what the imports hold included);
'import only' is the peak since the worker's start. Before the tasks, a
check proves the figures are the workers' own: with this process holding
512 MiB more, a worker that freed 512 MiB before its reset must report
less than half of that, and a worker that holds 256 MiB more must report
about 256 MiB more.

Printed: per task the best time of each reader (at most --repeat runs, and
fewer once a reader's runs of the task take --budget seconds), our time
against the floor, each peer's time over ours, the two-file row, and the
peak memory of each worker (and of a worker that only imports the reader).

Linux only (the memory figures). Run from the repository root with a build
that has the test hooks (the environment .venvs/test that ./dev test makes)
and the optional benchmark dependencies:

  pip install -r bench/requirements.txt
  python bench/bench_peers.py [--data DIR] [--scale X] [--repeat N] [--budget S] [--reader NAME]

The dataset is built once into --data (about 1.1 GB at scale 1, plus a
copy of each file for the two-file row; a few minutes) and reused while its
parameters stay the same.
"""

import argparse
import gc
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
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
# The readers that read the XIC over two files (pyteomics holds the
# interpreter's lock throughout).
THREADED = ["ours", "pyopenms"]
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

    def _open(self, path=None):
        start = time.perf_counter()
        f = self.ZarnFile(path or self.path)
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

    def xic(self, path=None):
        f, (ms, _) = self._open(path)
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
    """pyOpenMS with the fastest settings its documentation offers for each
    task (PeakFileOptions of MzMLFile, OnDiscMSExperiment, MSExperiment's
    aggregateFromMatrix), every MzMLFile load with the XML checks skipped
    (setSkipXMLChecks): counting from the file's index without its metadata
    (OnDiscMSExperiment.openFile with skipMetaData); points by loading the
    file and taking each spectrum's arrays; the TIC from the stored totals,
    loading the MS1 spectra alone (setMSLevels) without their binary data
    (setFillData); one XIC loading the MS1 spectra alone through the
    loader's m/z filter (setMZRange), summing each spectrum's intensities;
    100 XICs loading the MS1 spectra alone, summed by aggregateFromMatrix
    (faster than sums over each spectrum's arrays; for one XIC over the
    filtered load it gains nothing). The survey scans are the centroid MS1
    spectra (the reference scans are MS1 profile spectra)."""

    def __init__(self, manifest):
        import numpy as np
        import pyopenms as oms

        self.np, self.oms = np, oms
        self.path = manifest["mzml"]
        self.windows = manifest["xic_windows"]

    def _load(self, path=None, **settings):
        """The MSExperiment of the file, loaded with the PeakFileOptions
        setters named by `settings` called with their values."""
        exp = self.oms.MSExperiment()
        f = self.oms.MzMLFile()
        if settings:
            options = f.getOptions()
            for setter, value in settings.items():
                getattr(options, setter)(value)
            f.setOptions(options)
        f.load(path or self.path, exp)
        return exp

    def open(self):
        od = self.oms.OnDiscMSExperiment()
        if not od.openFile(self.path, True):
            raise RuntimeError("pyOpenMS could not open the file")
        return od.getNrSpectra()

    def points(self):
        np = self.np
        exp = self._load(setSkipXMLChecks=True)
        counts, sums = {}, []
        for s in exp:
            key = key_of_native_id(s.getNativeID())
            mz, intensity = s.get_peaks()
            counts[key] = len(mz)
            if checked(key):
                sums.append([*key, float(np.sum(mz)), float(np.sum(intensity, dtype=np.float64))])
        return counts, sums

    def _centroid(self, s):
        return s.getType() == self.oms.SpectrumSettings.SpectrumType.CENTROID

    def tic(self):
        exp = self._load(setFillData=False, setMSLevels=[1], setSkipXMLChecks=True)
        return [(s.getRT() / 60.0, float(s.getMetaValue("total ion current"))) for s in exp if self._centroid(s)]

    def xic(self, path=None):
        np = self.np
        lo, hi = self.windows[0]
        exp = self._load(path, setMSLevels=[1], setMZRange=self.oms.DRange1(lo, hi), setSkipXMLChecks=True)
        return [(s.getRT() / 60.0, float(np.sum(s.get_peaks()[1], dtype=np.float64))) for s in exp if self._centroid(s)]

    def xic100(self):
        np = self.np
        exp = self._load(setMSLevels=[1], setSkipXMLChecks=True)
        # One row per window: m/z from, m/z to, retention time from, to.
        ranges = np.array([[lo, hi, -math.inf, math.inf] for lo, hi in self.windows], dtype=np.float64)
        # Per window a value for each MS1 spectrum, in the file's order.
        sums = np.array(exp.aggregateFromMatrix(self.oms.MatrixDouble.fromNdArray(ranges), 1, "sum"))
        ms1 = [(s.getRT() / 60.0, self._centroid(s)) for s in exp if s.getMSLevel() == 1]
        survey = np.array([centroid for _, centroid in ms1], dtype=bool)
        return [rt for rt, centroid in ms1 if centroid], sums[:, survey]

    def summary(self, task, result):
        if task == "xic100":
            rts, columns = result
            return columns_summary(rts, columns.tolist())
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
        return columns_summary(rts, list(zip(*rows)))
    return result


def columns_summary(rts, columns):
    """The summary of 100 XICs given as one column of values per XIC."""
    return xic_summary([[len(c), math.fsum(c)] for c in columns], *(list(zip(rts, columns[k])) for k in (0, -1)))


# ---------------------------------------------------------------- floors


class Floor:
    """The floors: the native parse of the records that opening reads, the
    Zstandard decompression of the data segments a task reads (this
    library's decompressor, over the frames taken out of the file
    beforehand) and the creation of as many point objects, each of its
    parts timed apart. A part returns the objects the caller would hold;
    they are let go after the part is timed."""

    def __init__(self, manifest):
        from zarn_data_access import zstd
        from zarn_data_access._internal import _testing

        self.path = manifest["zarn"]
        self.parse_records = _testing.parse_records
        self.decompress, self.make_points = zstd.decompress, _testing.make_spectrum_points
        with open(self.path, "rb") as f:
            self.data = f.read()
        layout = manifest["layout"]
        n1 = layout["function1_count"]
        self.ms1 = manifest["ms1_spectra"]
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

    def _decompress(self, frames):
        for frame in frames:
            self.decompress(frame)

    def open(self):
        """The spectrum counts of the qualitative functions, per measurement."""
        return self.parse_records(self.path)

    def decompress_points(self):
        self._decompress(self.data_frames)

    def make_all_points(self):
        for n in self.point_counts:
            self.make_points(n)

    def tic_objects(self):
        return self.make_points(self.ms1)

    def decompress_ms1(self):
        self._decompress(self.ms1_frames)

    def xic_objects(self):
        return self.make_points(self.ms1)

    def xic100_objects(self):
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
             "tic_objects": floor.tic_objects, "xic_zstd": floor.decompress_ms1, "xic_objects": floor.xic_objects,
             "xic100_objects": floor.xic100_objects}
    runs = {name: best_time(call, repeat, math.inf) for name, call in parts.items()}
    best = {name: run[0] for name, run in runs.items()}
    return {
        "spectra": sum(sum(counts) for counts in runs["open"][2]),
        "open": best["open"],
        "points": best["open"] + best["points_zstd"] + best["points_objects"],
        "tic": best["open"] + best["tic_objects"],
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


def copy_path(path):
    """Where the copy of a dataset file for the two-file row lies."""
    root, ext = os.path.splitext(path)
    return f"{root}-copy{ext}"


def ensure_copy(path):
    """Copies the file to copy_path(path) unless an up-to-date copy is there."""
    copy = copy_path(path)
    if (not os.path.exists(copy) or os.path.getsize(copy) != os.path.getsize(path)
            or os.path.getmtime(copy) < os.path.getmtime(path)):
        shutil.copyfile(path, copy + ".part")
        os.replace(copy + ".part", copy)
    return copy


def two_files(impl, repeat, budget):
    """The XIC over the file and its copy, one after the other and on two
    threads started together, in alternating rounds: (best seconds of each,
    rounds, the results of the last round of each)."""
    paths = [impl.path, copy_path(impl.path)]

    def one_after_the_other():
        return [impl.xic(path) for path in paths]

    def on_two_threads():
        results, failures = [None, None], []

        def run(k):
            try:
                results[k] = impl.xic(paths[k])
            except BaseException as e:  # re-raised in the calling thread
                failures.append(e)

        threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        if failures:
            raise failures[0]
        return results

    times, last = {"sequential": [], "threads": []}, {}
    while len(times["threads"]) < repeat and sum(map(sum, times.values())) < budget:
        for name, call in (("sequential", one_after_the_other), ("threads", on_two_threads)):
            last[name] = None
            gc.collect()
            start = time.perf_counter()
            last[name] = call()
            times[name].append(time.perf_counter() - start)
    return min(times["sequential"]), min(times["threads"]), len(times["threads"]), last


def reset_peak():
    """Sets this process's high-water mark of resident memory to its present
    resident size; False where the system refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_memory():
    """This process's own peak resident memory in bytes: the high-water mark
    of its address space (VmHWM), which a process started by exec does not
    inherit (ru_maxrss does)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("/proc/self/status has no VmHWM: the memory figures need Linux")


def touched(megabytes):
    """A block of memory of that size, every page of it written."""
    block = bytearray(megabytes << 20)
    block[::4096] = b"\1" * len(range(0, len(block), 4096))
    return block


def memory_probe(before, during):
    """Touches and frees `before` MB, resets the high-water mark, then
    touches and frees `during` MB."""
    block = touched(before)
    del block
    reset = reset_peak()
    block = touched(during)
    del block
    return {"reset": reset}


def worker(reader, task, manifest_path, repeat, budget):
    with open(manifest_path) as f:
        manifest = json.load(f)
    if reader == "memory":
        out = memory_probe(*map(int, task.split(",")))
    elif reader == "floor":
        out = {"floors": measure_floors(manifest, repeat)}
    else:
        impl = {"ours": Ours, "pyopenms": PyOpenMS, "pyteomics": Pyteomics}[reader](manifest)
        out = {}
        if task == "xic2":
            out["reset"] = reset_peak()
            seconds, thread_seconds, runs, last = two_files(impl, repeat, budget)
            out["peak"] = peak_memory()
            out.update(seconds=seconds, thread_seconds=thread_seconds, runs=runs,
                       summary={name: [impl.summary("xic", r) for r in results] for name, results in last.items()})
            del last
        elif task != "import":
            out["reset"] = reset_peak()
            seconds, runs, result = best_time(getattr(impl, task), repeat, budget)
            out["peak"] = peak_memory()
            out.update(seconds=seconds, runs=runs, summary=impl.summary(task, result), **impl.extra())
            del result
    out.setdefault("peak", peak_memory())
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
          f"{manifest['reference_spectra']} reference scans of "
          f"{manifest['profile_points'] // max(1, manifest['reference_spectra'])} "
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
            f"{task} {ms(results[('ours', task)]['open_seconds'])} + "
            f"{ms(results[('ours', task)]['seconds'] - results[('ours', task)]['open_seconds'])}"
            for task, _ in TASKS if ("ours", task) in results))
    parts = floors["parts"]
    print("Floor parts (ms): " + ", ".join(f"{name} {ms(seconds)}" for name, seconds in parts.items()))
    threaded = [r for r in readers if (r, "xic2") in results]
    if threaded:
        print()
        print("The XIC over two files (the run and its copy), best round (ms): one after the other, and on two")
        print("threads of one process; 'x one thread' is the throughput of two threads over that of one.")
        print(f"{'reader':<12}{'one after the other':>21}{'two threads':>13}{'x one thread':>14}")
        for r in threaded:
            result = results[r, "xic2"]
            print(f"{TITLES[r]:<12}{ms(result['seconds']):>21}{ms(result['thread_seconds']):>13}"
                  f"{result['seconds'] / result['thread_seconds']:>14.2f}")
    print()
    print("Peak memory (MB): each worker's own high-water mark of resident memory (VmHWM), since its start for")
    print("'import only', from the end of the imports to the end of the task otherwise")
    print(f"{'task':<26}" + "".join(f"{TITLES[r]:>12}" for r in readers))
    for task, title in [("import", "import only")] + TASKS + [("xic2", "XIC over two files")]:
        if not any((r, task) in results for r in readers):
            continue
        row = f"{title:<26}"
        for r in readers:
            result = results.get((r, task))
            row += f"{result['peak'] / 1e6:>12.0f}" if result else f"{'-':>12}"
        print(row)
    print()
    print("Runs per task: " + ", ".join(
        f"{TITLES[r]} " + "/".join(str(results[(r, t)]["runs"]) for t in [t for t, _ in TASKS] + ["xic2"]
                                   if (r, t) in results)
        for r in readers))


# A worker must not see the memory its parent holds (BALLAST_MB), nor what it
# freed before its reset; it must see what it holds (PROBE_MB).
BALLAST_MB, PROBE_MB = 512, 256


def check_memory(manifest_path):
    """Proves that the workers' figures are their own: (problems, note)."""
    ballast = touched(BALLAST_MB)
    freed = run_worker("memory", f"{BALLAST_MB},0", manifest_path, 1, 0)
    held = run_worker("memory", f"0,{PROBE_MB}", manifest_path, 1, 0)
    parent = peak_memory()
    del ballast
    problems = []
    if not freed["reset"]:
        problems.append("the high-water mark cannot be reset here (/proc/self/clear_refs refused)")
    elif freed["peak"] >= (BALLAST_MB << 20) // 2:
        problems.append(f"a worker that freed {BALLAST_MB} MiB before its reset reports {freed['peak'] / 1e6:.0f} MB")
    grown = (held["peak"] - freed["peak"]) / (1 << 20)
    if not 0.9 * PROBE_MB <= grown <= 1.1 * PROBE_MB:
        problems.append(f"a worker that holds {PROBE_MB} MiB more reports {grown:.0f} MiB more")
    note = (f"this process peaked at {parent / 1e6:.0f} MB holding {BALLAST_MB} MiB more; a worker that freed "
            f"{BALLAST_MB} MiB before its reset reports {freed['peak'] / 1e6:.0f} MB, one that holds {PROBE_MB} MiB "
            f"reports {held['peak'] / 1e6:.0f} MB ({grown:+.0f} MiB)")
    return problems, note


def check_all(results, floors, readers):
    """Prints the agreement of every result with ours; the disagreements."""
    problems = []
    print("Agreement with ours:")

    def agree(title, task, found, note):
        problems.extend(f"{title} {p}" for p in found)
        print(f"  {title:<10} {task:<7} {'DIFFERS' if found else 'agrees'}: {note}")

    spectra = results["ours", "open"]["summary"]["spectra"]
    mismatch = [] if floors["spectra"] == spectra else [f"open: {floors['spectra']} spectra, ours {spectra}"]
    agree("floor", "open", mismatch,
          f"{floors['spectra']} spectra parsed")
    for reader in readers[1:]:
        for task, _ in TASKS:
            agree(TITLES[reader], task, *check(task, results["ours", task]["summary"],
                                                results[reader, task]["summary"], reader))
    for reader in readers:
        if (reader, "xic2") not in results:
            continue
        found, notes = [], []
        for way, summaries in results[reader, "xic2"]["summary"].items():
            for k, summary in enumerate(summaries):
                f, note = check("xic", results["ours", "xic"]["summary"], summary, reader)
                found += [f"xic2 {way}, file {k + 1}: {p}" for p in f]
                notes.append(note)
        agree(TITLES[reader], "xic2", found, "each XIC like our one XIC: " + "; ".join(sorted(set(notes))))
    return problems


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
    threaded = [r for r in THREADED if r in readers]
    files = [manifest["zarn"]] + ([manifest["mzml"]] if len(readers) > 1 else [])
    copies = [ensure_copy(path) for path, reader in zip(files, ["ours", "pyopenms"]) if reader in threaded]
    warm(files + copies)
    memory_problems, note = check_memory(manifest_path)
    print(f"Memory check: {note}" + "".join(f"\n  FAILS: {p}" for p in memory_problems))
    results = {}
    for reader in readers:
        for task in ["import"] + [t for t, _ in TASKS] + (["xic2"] if reader in threaded else []):
            print(f"{TITLES[reader]}: {task} ...", file=sys.stderr, flush=True)
            results[reader, task] = run_worker(reader, task, manifest_path, args.repeat, args.budget)
    print("floors ...", file=sys.stderr, flush=True)
    floors = run_worker("floor", "all", manifest_path, args.repeat, args.budget)["floors"]

    problems = check_all(results, floors, readers)
    report(manifest, results, floors, readers)
    problems += [f"memory: {p}" for p in memory_problems]
    if problems:
        print("\nThe readers disagree, or the memory figures are not the workers' own:\n  " + "\n  ".join(problems))
        sys.exit(1)


if __name__ == "__main__":
    main()

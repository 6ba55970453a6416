"""Several threads on one file and on separate files: every read gives what
it gives on one thread, Python code that a walk calls back runs safely on
two threads at once (and may use any file, or wait for a thread that does),
and a failing stream fails each thread's read with its own error. The files
are beyond the reader's first window, so that the walks reload the window
while other threads run. A walk beside a busy thread reads the file without
waiting for the GIL; Ctrl-C ends a long walk; a forked child walks a file
its parent opened."""

import _thread
import builtins
import os
import random
import shutil
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

import zarnwriter as w
from kit.qual import shared_block_file
from kit.reader import Stream, descriptors
from zarn_data_access._internal import _testing
from zarn_data_access.access import ZarnFile
from zarn_data_access.common import QuanAnalysisTypes, ValueRange
from zarn_data_access.qual import ChromatogramFilterOption

VERSION = (3, 6, 0)
SPECTRA = 500
POINTS = 200
WAVELENGTHS = [200.0 + 2.0 * k for k in range(60)]


def ms_spectra():
    """MS1 and MS2 spectra in turn; plain and compressed blocks in turn."""
    out = []
    for k in range(SPECTRA):
        mz = [100.0 + 0.25 * j + 0.001 * k for j in range(POINTS)]
        intensity = [float((7 * j + 3 * k) % 97 + 1) for j in range(POINTS)]
        segment = w.spectrum_double(mz, intensity) if k % 2 == 0 else w.spectrum_zstd(mz, intensity)
        level = 1 + k % 2
        out.append((w.spectrum_description(retention_time=0.01 * (k + 1), ms_level=level, polarity=1,
                                           totals=(sum(intensity), mz[0], max(intensity)), version=VERSION),
                    w.spectrum_block(segment)))
    return out


def dad_spectra():
    return [(w.spectrum_description(retention_time=0.02 * (k + 1), version=VERSION),
             w.spectrum_block(w.dad_plain([float((k + 5 * j) % 31) for j in range(len(WAVELENGTHS))])))
            for k in range(100)]


def sample_file():
    qual = w.function_description(True, w.qual_description(detector_type=1))
    dad = w.function_description(True, w.qual_description(detector_type=2, wavelength_arr=WAVELENGTHS))
    srm = w.function_description(False, w.quan_description(version=VERSION, compound_name="Caffeine", q1=195.1,
                                                           q3=138.0, quan_analysis_type=QuanAnalysisTypes.SRM,
                                                           detector_type=1))
    trace = ([0.01 * k for k in range(500)], [float(k % 13) for k in range(500)])
    functions = [(qual, ms_spectra()), (dad, dad_spectra()), (srm, w.chromatogram_block(w.chromatogram_zstd(*trace)))]
    return w.measurement_file(VERSION, [(w.measurement_description("m0"), functions)])


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    """The sample file and two copies of it."""
    first = tmp_path_factory.mktemp("threads") / "sample.zarn"
    first.write_bytes(sample_file())
    copies = [first.with_name(f"copy{k}.zarn") for k in range(2)]
    for copy in copies:
        shutil.copyfile(first, copy)
    return [str(p) for p in [first, *copies]]


@pytest.fixture(autouse=True)
def often_switching():
    """Threads switch every 20 microseconds, so that they interleave."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(2e-5)
    yield
    sys.setswitchinterval(interval)


def values(points):
    return [tuple(getattr(p, name) for name in ("index", "retention_time", "intensity", "x")) for p in points]


class Reads:
    """The reads of one open file, each as plain values."""

    def __init__(self, handle):
        m = handle.get_measurement(0)
        self.m, self.ms, self.dad = m, m.get_qual_analysis(0), m.get_dad_analysis(0)
        self.ms1, self.ms2 = self.ms.unique_acquisition_conditions

    def task(self, name, k=0):
        ms, dad = self.ms, self.dad
        if name == "xic":
            low = 100.0 + k % 20
            return values(ms.get_xic(ChromatogramFilterOption(self.ms1, ValueRange(low, low + 3.0))))
        if name == "multiple xic":
            return [values(c) for c in ms.get_multiple_xic([
                ChromatogramFilterOption(self.ms1, ValueRange(105.0, 110.0)),
                ChromatogramFilterOption(self.ms2, ValueRange(100.0, 130.0), ValueRange(1.0, 3.0)),
                ChromatogramFilterOption(self.ms1, ValueRange(120.0, 121.0), ValueRange(0.5, 2.5))])]
        if name == "tic":
            return values(ms.get_tic(self.ms2))
        if name == "points":
            i = (37 * k) % SPECTRA
            return [(p.x, p.intensity) for p in ms.get_spectrum(i).get_spectrum_points()]
        if name == "dad":
            return values(dad.get_chromatogram(ValueRange(210.0 + k % 10, 250.0)))
        if name == "max plot":
            return values(dad.get_max_plot(ValueRange(220.0, 260.0), 3.0))
        if name == "dad points":
            return [(p.x, p.intensity) for p in dad.get_spectrum(k % 100).get_spectrum_points()]
        assert name == "quan"
        return [(p.retention_time, p.intensity) for p in self.m.get_quan_analysis(0).chromatogram_points]


TASKS = ["xic", "multiple xic", "tic", "points", "dad", "max plot", "dad points", "quan"]
JOBS = [(name, k) for k in range(3) for name in TASKS]


def run_threads(count, work):
    """work(t) on `count` threads started together; their results."""
    start = threading.Barrier(count)

    def run(t):
        start.wait()
        return work(t)

    with ThreadPoolExecutor(count) as pool:
        return list(pool.map(run, range(count)))


def test_threads_on_one_file_and_on_separate_files(paths):
    with ZarnFile(paths[0]) as handle:
        expected = {job: Reads(handle).task(*job) for job in JOBS}
    handles = [ZarnFile(p) for p in paths]
    try:
        # Three threads share the first file (and its analysis objects), one
        # reads each copy; each does every job, starting at its own.
        shared = Reads(handles[0])
        reads = [shared, shared, shared, Reads(handles[1]), Reads(handles[2])]

        def work(t):
            order = JOBS[5 * t:] + JOBS[:5 * t]
            return [(job, reads[t].task(*job)) for job in order]

        for results in run_threads(len(reads), work):
            for job, result in results:
                assert result == expected[job], job
    finally:
        for handle in handles:
            handle.close()


def test_opening_one_file_on_threads(paths):
    # Each thread opens the file and reads its analyses from the start.
    def work(_):
        with ZarnFile(paths[0]) as handle:
            return [Reads(handle).task(*job) for job in JOBS[:8]]

    first, *others = run_threads(4, work)
    assert all(other == first for other in others)


def test_python_called_back_during_walks_on_two_threads(paths):
    # Bounds that compare in Python, a retention-time range whose
    # contains_value is Python and reads another spectrum through the same
    # reader (the walk's own thread taking the reader again), on two threads
    # of one analysis at once.
    calls = []

    class Bound(float):
        def __gt__(self, other):
            calls.append(1)
            return float(self) > float(other)

        def __lt__(self, other):
            calls.append(1)
            return float(self) < float(other)

    class Times(ValueRange):
        def contains_value(self, value):
            ms.get_spectrum(int(value * 100) % SPECTRA).get_spectrum_points()
            return 0.5 <= value <= 3.0

    def read():
        return [values(c) for c in ms.get_multiple_xic([
            ChromatogramFilterOption(condition, ValueRange(Bound(104.0), Bound(109.0)), Times(0.0, 1.0)),
            ChromatogramFilterOption(condition, ValueRange(110.0, 112.0), Times(0.0, 1.0))])]

    with ZarnFile(paths[0]) as handle:
        m = handle.get_measurement(0)
        ms, dad = m.get_qual_analysis(0), m.get_dad_analysis(0)
        condition = ms.unique_acquisition_conditions[0]
        expected = read()
        expected_max_plot = values(dad.get_max_plot(ValueRange(Bound(220.0), Bound(260.0)), 3.0))
        assert calls and expected[0] and expected[1]
        results = run_threads(2, lambda t: [read() for _ in range(3)])
        max_plots = run_threads(2, lambda t: values(dad.get_max_plot(ValueRange(Bound(220.0), Bound(260.0)), 3.0)))
    assert all(result == expected for thread in results for result in thread)
    assert max_plots == [expected_max_plot] * 2


def test_a_stream_whose_read_raises_fails_each_thread_alone(paths, monkeypatch):
    # Two files read through failing streams and one through the
    # interpreter's own: the walks that reload the window fail with the
    # stream's error on their own thread, the other file's thread is not
    # disturbed, and once the streams read again the files read as before.
    failing = threading.Event()

    def read(buffer):
        if failing.is_set():
            raise OSError("the disk went away")

    real_open = builtins.open
    with monkeypatch.context() as m:
        m.setattr(builtins, "open", lambda *a, **k: Stream(real_open(*a, **k), read))
        failing_handles = [ZarnFile(p) for p in paths[1:]]
    plain = ZarnFile(paths[0])
    try:
        reads = [Reads(h) for h in (plain, *failing_handles)]
        expected = [reads[0].task("xic"), reads[0].task("dad")]
        failing.set()

        def work(t):
            outcome = []
            for name in ("xic", "dad"):
                try:
                    outcome.append(reads[t].task(name))
                except OSError as e:
                    outcome.append(str(e))
            return outcome

        plain_outcome, *failed = run_threads(3, work)
        assert plain_outcome == expected
        # The XIC walks the whole function and must reload the window; the
        # DAD band may lie in the window the failed walk left.
        for outcome in failed:
            assert outcome[0] == "the disk went away" and outcome[1] in ("the disk went away", expected[1])
        failing.clear()
        assert [[r.task("xic"), r.task("dad")] for r in reads] == [expected] * 3
    finally:
        for handle in (plain, *failing_handles):
            handle.close()


def small_compressed_file(path):
    """Six MS1 spectra in compressed blocks, in a file within the reader's
    first window: no window reload moves the stream during a walk."""
    spectra = [(w.spectrum_description(retention_time=0.1 * (k + 1), ms_level=1, polarity=1, version=VERSION),
                w.spectrum_block(w.spectrum_zstd([100.0 + j + 0.01 * k for j in range(30)],
                                                 [float(j % 7 + k) for j in range(30)])))
               for k in range(6)]
    qual = w.function_description(True, w.qual_description(detector_type=1))
    path.write_bytes(w.measurement_file(VERSION, [(w.measurement_description("m0"), [(qual, spectra)])]))
    return str(path)


def test_python_code_and_callers_see_the_stream_where_each_read_leaves_it(tmp_path):
    # A walk runs without the GIL and touches the stream as each spectrum's
    # compressed segment is left: Python code it calls back, and the caller
    # after it, find the stream at the end of the segment just read.
    seen = []

    class Times(ValueRange):
        def contains_value(self, value):
            seen.append((stream.tell(), reader._KxmFileReader__after_decompressd_position))
            return True

    with ZarnFile(small_compressed_file(tmp_path / "small.zarn")) as handle:
        reader = handle._ZarnFile__reader
        stream = reader._KxmFileReader__stream
        assert reader._KxmFileReader__is_small_file
        ms = handle.get_measurement(0).get_qual_analysis(0)
        condition = ms.unique_acquisition_conditions[0]
        for options in ([ChromatogramFilterOption(condition, ValueRange(103.0, 110.0))],
                        [ChromatogramFilterOption(condition, ValueRange(103.0, 110.0), Times(0.0, 1.0)),
                         ChromatogramFilterOption(condition, ValueRange(101.0, 102.0))]):
            stream.seek(0)
            chromatograms = ms.get_multiple_xic(options)
            assert all(len(c) == 6 for c in chromatograms)
            assert stream.tell() == reader._KxmFileReader__after_decompressd_position > 0
        assert len(seen) == 6 and all(tell == after for tell, after in seen)


@pytest.mark.parametrize("closing_call, fails", [(0, True), (-1, False)])
@pytest.mark.parametrize("closer", ["stream", "handle"])
def test_a_stream_closed_by_code_a_walk_calls_back(tmp_path, closing_call, fails, closer):
    # Closed while the walk stands at the first spectrum, the stream fails
    # the walk at the next spectrum with its own error; closed at the last,
    # after the walk's last use of it, the walk gives its chromatogram. The
    # handle's close() closes the reader's own descriptor at once.
    calls = []

    class Times(ValueRange):
        def contains_value(self, value):
            calls.append(value)
            if len(calls) - 1 == closing_call % 6:
                if closer == "stream":
                    stream.close()
                else:
                    handle.close()
                    assert descriptors(path) == 0
            return True

    path = small_compressed_file(tmp_path / "small.zarn")
    with ZarnFile(path) as handle:
        stream = handle._ZarnFile__reader._KxmFileReader__stream
        ms = handle.get_measurement(0).get_qual_analysis(0)
        option = ChromatogramFilterOption(ms.unique_acquisition_conditions[0], ValueRange(103.0, 110.0),
                                          Times(0.0, 1.0))
        if fails:
            with pytest.raises(ValueError, match="closed file"):
                ms.get_xic(option)
        else:
            assert len(ms.get_xic(option)) == 6


def finished(count, work, timeout=60.0):
    """work(t) on `count` daemon threads started together, each joined with
    a timeout: a thread still running then fails the test instead of
    hanging it. Their results; a thread's exception is raised."""
    start = threading.Barrier(count)
    results, errors = [None] * count, []

    def run(t):
        start.wait()
        try:
            results[t] = work(t)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(t,), daemon=True) for t in range(count)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "the threads hang"
    if errors:
        raise errors[0]
    return results


def test_callbacks_reading_the_other_file_on_two_threads(paths):
    # Each thread's walk calls back code that reads the other thread's file:
    # the two readers are asked for in opposite orders at once.
    handles = [ZarnFile(p) for p in paths[:2]]
    try:
        reads = [Reads(h) for h in handles]

        def xic(t):
            other = reads[1 - t].ms

            class Times(ValueRange):
                def contains_value(self, value):
                    other.get_spectrum(int(value * 100) % SPECTRA).get_spectrum_points()
                    return value <= 4.0

            return values(reads[t].ms.get_xic(ChromatogramFilterOption(reads[t].ms1, ValueRange(100.0, 103.0),
                                                                       Times(0.0, 10.0))))

        expected = [xic(0), xic(1)]
        assert expected[0] == expected[1] and len(expected[0]) == 200
        assert finished(2, lambda t: [xic(t) for _ in range(3)]) == [[expected[0]] * 3] * 2
    finally:
        for handle in handles:
            handle.close()


@pytest.fixture(scope="module")
def long_dad_path(tmp_path_factory):
    """10,000 DAD spectra, about 1.2 MB: a DAD chromatogram walk, which asks
    for its band once (after the first spectrum), then reloads its window
    several times."""
    spectra = [(w.spectrum_description(retention_time=0.001 * (k + 1), version=VERSION),
                w.spectrum_block(w.dad_plain([float((k + 5 * j) % 31) for j in range(len(WAVELENGTHS))])))
               for k in range(10000)]
    dad = w.function_description(True, w.qual_description(detector_type=2, wavelength_arr=WAVELENGTHS))
    path = tmp_path_factory.mktemp("long") / "dad.zarn"
    path.write_bytes(w.measurement_file(VERSION, [(w.measurement_description("m0"), [(dad, spectra)])]))
    return str(path)


class Band:
    """The wavelength band 210-250, calling `asked` when a walk asks for it."""

    def __init__(self, asked=lambda: None):
        self.asked = asked

    @property
    def min(self):
        self.asked()
        return 210.0

    max = 250.0


@pytest.mark.parametrize("closed", ["from the walk's callback", "while the walk reads",
                                    "while the walk waits in its callback"])
def test_closing_the_file_during_a_walk(long_dad_path, closed):
    # close() releases every descriptor of the file before it returns,
    # wherever the walk stands: on the walk's own thread in its callback, on
    # another thread while the walk reads the file (close waits for its next
    # read, which gives the descriptor up) or while the walk's callback
    # waits. The walk then fails with the closed stream's error; closed
    # while it reads, it may have read its last spectrum first.
    handle = ZarnFile(long_dad_path)
    dad = handle.get_measurement(0).get_dad_analysis(0)
    expected = values(dad.get_chromatogram(Band()))
    asked, done = threading.Event(), threading.Event()

    def close():
        handle.close()
        return descriptors(long_dad_path)

    def on_ask():
        if closed == "from the walk's callback":
            assert close() == 0
            return
        asked.set()
        if closed == "while the walk waits in its callback":
            assert done.wait(20)

    def work(t):
        if t == 0:
            try:
                return values(dad.get_chromatogram(Band(on_ask)))
            except ValueError as e:
                return str(e)
        if closed == "from the walk's callback":
            return 0
        assert asked.wait(20)
        try:
            return close()
        finally:
            done.set()

    walk, left_open = finished(2, work)
    assert left_open == 0 and descriptors(long_dad_path) == 0
    if closed == "while the walk reads":
        assert walk in ("seek of closed file", expected)
    else:
        assert walk == "seek of closed file"


@pytest.mark.parametrize("task", ["xic", "xic m/z bound", "max plot"])
def test_a_callback_waiting_for_a_thread_that_reads_the_same_file(paths, task):
    # The walk's callback waits for a pool thread reading a spectrum of the
    # walk's own file: the walk must not keep the reader from it meanwhile.
    with ZarnFile(paths[0]) as handle, ThreadPoolExecutor(1) as pool:
        reads = Reads(handle)
        expected = reads.task("points", 3)

        def read_elsewhere():
            assert pool.submit(reads.task, "points", 3).result(timeout=20) == expected

        class Times(ValueRange):
            def contains_value(self, value):
                read_elsewhere()
                return True

        class Bound(float):
            def __gt__(self, other):
                read_elsewhere()
                return float(self) > float(other)

        def walk(_):
            if task == "xic":
                return values(reads.ms.get_xic(ChromatogramFilterOption(reads.ms1, ValueRange(100.0, 103.0),
                                                                        Times(0.0, 10.0))))
            if task == "xic m/z bound":
                # Asked point by point while each spectrum is decoded.
                return values(reads.ms.get_xic(ChromatogramFilterOption(reads.ms1, ValueRange(Bound(100.0), 103.0))))
            return values(reads.dad.get_max_plot(ValueRange(Bound(220.0), 260.0), 3.0))

        plain = (values(reads.ms.get_xic(ChromatogramFilterOption(reads.ms1, ValueRange(100.0, 103.0))))
                 if task.startswith("xic") else reads.task("max plot"))
        assert finished(1, walk) == [plain]


def test_condition_and_description_writes_beside_a_walk(paths, make_reader):
    # One thread sets the made spectra's conditions and reads their
    # descriptions anew (through a reader of another file, with the same
    # values), while another walks them without the GIL: every write holds
    # the lock of the reader whose table holds the spectrum (ThreadSanitizer
    # sees any write that does not).
    with ZarnFile(paths[0]) as handle:
        reads = Reads(handle)
        ms = reads.ms
        descriptions = [ms.get_spectrum(k)._Spectrum__spectrum_index._SpectrumIndex__spectrum_description
                        for k in range(SPECTRA)]
        records = []
        for k, (description, _) in enumerate(ms_spectra()[:20]):
            reader = make_reader(description)
            reader._KxmFileReader__set_version(*VERSION)
            records.append((descriptions[k], reader))
        expected = reads.task("multiple xic")
        stop = threading.Event()

        def work(t):
            if t == 0:
                try:
                    return [reads.task("multiple xic") for _ in range(10)]
                finally:
                    stop.set()
            while not stop.is_set():
                for d in descriptions:
                    d._InternalSpectrumDescription__acquisition_condition = \
                        d._InternalSpectrumDescription__acquisition_condition
                for d, reader in records:
                    reader._KxmFileReader__set_buffer(0, 0, True)
                    d._InternalSpectrumDescription__read(reader)

        walks, _ = finished(2, work)
        assert walks == [expected] * 10


@pytest.fixture(scope="module")
def large_path(tmp_path_factory):
    """2000 MS1 spectra of 300 points in plain segments: a file of about
    4 MB, whose walks reload the window many times."""
    rng = random.Random(3)
    spectra = []
    for k in range(2000):
        mz = sorted(rng.uniform(100.0, 1500.0) for _ in range(300))
        intensity = [rng.randrange(1, 10**6) for _ in range(300)]
        spectra.append((w.spectrum_description(retention_time=0.01 * (k + 1), ms_level=1, polarity=1, version=VERSION),
                        w.spectrum_block(w.spectrum_efficient(2, mz, intensity))))
    qual = w.function_description(True, w.qual_description(detector_type=1))
    path = tmp_path_factory.mktemp("large") / "large.zarn"
    path.write_bytes(w.measurement_file(VERSION, [(w.measurement_description("m0"), [(qual, spectra)])]))
    return str(path)


def large_xics(ms):
    condition = ms.unique_acquisition_conditions[0]
    return [values(ms.get_xic(ChromatogramFilterOption(condition, ValueRange(100.0 + k, 140.0 + k)))) for k in range(3)]


def test_a_walk_beside_a_busy_thread_takes_no_gil_for_its_reads(large_path):
    # The walks reload their window many times; the reader's own file is
    # read without the GIL, so a thread spinning Python meanwhile never
    # makes them wait: the stream's own methods are not used and the
    # source never takes the GIL.
    with ZarnFile(large_path) as handle:
        reader = handle._ZarnFile__reader
        ms = handle.get_measurement(0).get_qual_analysis(0)
        expected = large_xics(ms)
        stop = threading.Event()

        def spin():
            while not stop.is_set():
                pass

        spinner = threading.Thread(target=spin, daemon=True)
        spinner.start()
        try:
            before = _testing.stream_counts(reader)
            assert large_xics(ms) == expected
            assert _testing.stream_counts(reader) == before
        finally:
            stop.set()
            spinner.join(10)
        assert reader._KxmFileReader__origin_of_local_position > 0


def test_ctrl_c_ends_a_long_walk_and_the_file_stays_usable(tmp_path):
    # The walk would take seconds; the interrupt comes 0.2 s in and ends it
    # well before. The file then reads as before.
    with ZarnFile(shared_block_file(tmp_path / "long.zarn", 15000, 40000)) as handle:
        ms = handle.get_measurement(0).get_qual_analysis(0)
        condition = ms.unique_acquisition_conditions[0]
        everything = ChromatogramFilterOption(condition, ValueRange(0.0, 1e9))
        few = ChromatogramFilterOption(condition, ValueRange(0.0, 1e9), ValueRange(3.0, 3.0099))
        expected = (values(ms.get_xic(few)), ms.get_spectrum(14999).get_spectrum_points())
        assert len(expected[0]) == 10
        timer = threading.Timer(0.2, _thread.interrupt_main)
        started = time.monotonic()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            ms.get_xic(everything)
        took = time.monotonic() - started
        timer.join()
        assert took < 1.5
        assert (values(ms.get_xic(few)), ms.get_spectrum(14999).get_spectrum_points()) == expected


def test_closing_the_file_ends_a_long_walk_that_reads_no_more_of_it(tmp_path):
    # The spectra share one block, so the walk reads nothing from the file
    # after the block; it takes seconds. Closed on another thread 0.2 s in,
    # the walk fails at its next spectrum, and close() returns long before
    # the walk would have ended.
    path = shared_block_file(tmp_path / "long.zarn", 15000, 40000)
    handle = ZarnFile(path)
    ms = handle.get_measurement(0).get_qual_analysis(0)
    everything = ChromatogramFilterOption(ms.unique_acquisition_conditions[0], ValueRange(0.0, 1e9))
    started = threading.Event()

    def work(t):
        if t == 0:
            started.set()
            with pytest.raises(ValueError, match="^seek of closed file$"):
                ms.get_xic(everything)
            return None
        assert started.wait(20)
        time.sleep(0.2)
        begun = time.monotonic()
        handle.close()
        return time.monotonic() - begun, descriptors(path)

    took, left_open = finished(2, work)[1]
    assert took < 1.5 and left_open == 0


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_a_forked_child_walks_the_file_its_parent_opened(large_path):
    # Parent and child walk the one open file at once, each reloading its
    # window many times: the file offset they share must not matter. The
    # child reports through its exit status.
    with ZarnFile(large_path) as handle:
        ms = handle.get_measurement(0).get_qual_analysis(0)
        expected = large_xics(ms)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
            pid = os.fork()
        if pid == 0:
            try:
                status = 0 if all(large_xics(ms) == expected for _ in range(5)) else 1
            except BaseException:  # noqa: BLE001 - any failure is the child's status
                status = 2
            os._exit(status)
        parent = [large_xics(ms) for _ in range(5)]
        _, status = os.waitpid(pid, 0)
    assert parent == [expected] * 5
    assert os.waitstatus_to_exitcode(status) == 0

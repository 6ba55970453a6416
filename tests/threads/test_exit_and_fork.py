"""The process around the library: the interpreter exits while daemon threads
are inside calls, and the process forks while other threads are inside
calls. Each exit runs in a child interpreter under a timeout; each forked
child is waited for under a deadline and killed past it."""

import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import pytest

from kit.conversion import STAND_IN_DIR, TIMEOUT, Conversions
from kit.qual import shared_block_file
from zarn_data_access import converter
from zarn_data_access.access import ZarnFile
from zarn_data_access.common import ValueRange
from zarn_data_access.exception import ZarnException
from zarn_data_access.qual import ChromatogramFilterOption

# The sanitizer runtime's allocator takes no lock around fork(): a child
# forked while another thread of the parent allocates may wait for that
# lock forever, whatever this package does, so the forks beside busy
# threads run on the other builds only.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
fork_beside_busy_threads = pytest.mark.skipif(not hasattr(os, "fork") or ASAN,
                                              reason="no fork, or a sanitizer allocator that is not fork-safe")


@pytest.fixture(scope="module")
def long_walk(tmp_path_factory):
    return shared_block_file(tmp_path_factory.mktemp("exit") / "long.zarn", 3000, 2000)


# The head of every child: a daemon thread (or three) loops `work` while the
# main thread sleeps, then the main thread ends with status 3.
CHILD = """
import builtins, io, sys, threading, time
from zarn_data_access._internal import _testing
from zarn_data_access.access import ZarnFile
from zarn_data_access.common import ValueRange
from zarn_data_access.qual import ChromatogramFilterOption

path = sys.argv[1]
started = threading.Event()
kept = []

def xic_of(handle, mz=ValueRange(100.0, 100.5)):
    kept.append(handle)
    ms = handle.get_measurement(0).get_qual_analysis(0)
    option = ChromatogramFilterOption(ms.unique_acquisition_conditions[0], mz)
    return lambda: ms.get_xic(option)

{setup}

def loop():
    while True:
        started.set()
        work()

for _ in range({threads}):
    threading.Thread(target=loop, daemon=True).start()
started.wait(10)
{main}
time.sleep(0.3)
sys.exit(3)
"""

EXIT_STATES = {
    "a walk without the GIL": dict(setup="work = xic_of(ZarnFile(path))"),
    "waiting for the file's lock": dict(
        setup="work = xic_of(ZarnFile(path))", threads=3, main="for _ in range(2): work()"),
    "decompressing a streamed segment": dict(
        setup="_testing.set_streamed_content(4096)\nwork = xic_of(ZarnFile(path))"),
    "inside a range subclass's callback": dict(setup=textwrap.dedent("""
        class Slow(ValueRange):
            def contains_value(self, value):
                time.sleep(0.001)
                return ValueRange.contains_value(self, value)
        handle = ZarnFile(path)
        ms = handle.get_measurement(0).get_qual_analysis(0)
        option = ChromatogramFilterOption(ms.unique_acquisition_conditions[0], ValueRange(100.0, 100.5),
                                          Slow(0.0, 1e9))
        work = lambda: ms.get_xic(option)""")),
    "inside a bound's comparison": dict(setup=textwrap.dedent("""
        class Busy(float):
            def __gt__(self, other):
                sum(range(200))
                return float(self) > other
            def __lt__(self, other):
                sum(range(200))
                return float(self) < other
        work = xic_of(ZarnFile(path), ValueRange(Busy(100.0), Busy(100.5)))""")),
    "reading through a caller's file-like object": dict(setup=textwrap.dedent("""
        class Raw(io.RawIOBase):
            def __init__(self, data):
                self.data, self.at = data, 0
            def readable(self):
                return True
            def seekable(self):
                return True
            def seek(self, at, whence=0):
                self.at = at if whence == 0 else (self.at + at if whence == 1 else len(self.data) + at)
                return self.at
            def readinto(self, buffer):
                time.sleep(0.0005)
                n = len(self.data[self.at:self.at + len(buffer)])
                buffer[:n] = self.data[self.at:self.at + n]
                self.at += n
                return n
        real_open = builtins.open
        data = real_open(path, "rb").read()
        builtins.open = lambda *a, **k: io.BufferedReader(Raw(data), 4096)
        small = ZarnFile(path)
        builtins.open = lambda *a, **k: io.BytesIO(data)
        whole = ZarnFile(path)
        builtins.open = real_open
        works = [xic_of(small), xic_of(whole)]
        counter = iter(range(10**9))
        work = lambda: works[next(counter) % 2]()""")),
}


@pytest.mark.parametrize("state", list(EXIT_STATES))
def test_exit_while_daemon_threads_are_inside_calls(long_walk, state):
    # The process ends with the main thread's status, prints nothing, and
    # does so every time.
    case = {"threads": 1, "main": "", **EXIT_STATES[state]}
    script = CHILD.format(**case)
    for _ in range(4):
        run = subprocess.run([sys.executable, "-c", script, long_walk], capture_output=True, text=True,
                             timeout=60)
        assert (run.returncode, run.stderr) == (3, "")


def test_exit_while_the_main_thread_uses_a_file_a_stopped_thread_held(long_walk):
    # An exit handler registered before the package was imported runs after
    # the daemon threads stopped: the file one of them held fails with
    # ZarnException instead of waiting for it, and another file still reads.
    script = textwrap.dedent("""
        import atexit, sys, threading, time
        seen = []
        def last():
            try:
                work()
                seen.append("read")
            except Exception as e:
                seen.append(type(e).__name__ + ": " + str(e))
            seen.append(len(other()))
            print(seen)
        atexit.register(last)
        from zarn_data_access.access import ZarnFile
        from zarn_data_access.common import ValueRange
        from zarn_data_access.qual import ChromatogramFilterOption
        def xic_of(handle):
            ms = handle.get_measurement(0).get_qual_analysis(0)
            option = ChromatogramFilterOption(ms.unique_acquisition_conditions[0], ValueRange(100.0, 100.5))
            return lambda: ms.get_xic(option)
        handles = [ZarnFile(sys.argv[1]), ZarnFile(sys.argv[1])]
        work, other = xic_of(handles[0]), xic_of(handles[1])
        threading.Thread(target=lambda: [work() for _ in iter(int, 1)], daemon=True).start()
        time.sleep(0.3)
    """)
    run = subprocess.run([sys.executable, "-c", script, long_walk], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (0, "")
    outcome = eval(run.stdout)
    assert outcome[1] == 3000
    assert outcome[0] == "read" or outcome[0].startswith("ZarnException: this file was in use by a thread stopped")


def xic(handle):
    ms = handle.get_measurement(0).get_qual_analysis(0)
    option = ChromatogramFilterOption(ms.unique_acquisition_conditions[0], ValueRange(100.0, 100.5))
    return [(p.retention_time, p.intensity) for p in ms.get_xic(option)]


def forked(child, deadline=30.0):
    """Runs child() in a forked process; its return value is the child's
    exit status (an exception: 99). The child is killed past the deadline."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        pid = os.fork()
    if pid == 0:
        status = 99
        try:
            status = child()
        finally:
            os._exit(status)
    return wait_for(pid, deadline)


@fork_beside_busy_threads
def test_fork_while_another_thread_reads_the_file(long_walk):
    # In the child, the file that a parent's thread was reading at the fork
    # gives the right result or a ZarnException that says to open it again,
    # every time; close() works on it (the parent's thread may have been
    # inside its stream's seek, whose own lock then stays held in the
    # child), and the file opened again reads. Never a hang.
    handle = ZarnFile(long_walk)
    expected = xic(handle)
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            xic(handle)

    def child():
        outcomes = set()
        for _ in range(2):
            try:
                outcomes.add(0 if xic(handle) == expected else 1)
            except ZarnException as e:
                outcomes.add(10 if "open the file again" in str(e) else 2)
        if len(outcomes) != 1:
            return 4
        outcome = outcomes.pop()
        handle.close()
        if not handle._ZarnFile__reader._KxmFileReader__stream.closed:
            return 5
        with ZarnFile(long_walk) as again:
            return outcome if xic(again) == expected else 3

    thread = threading.Thread(target=loop)
    thread.start()
    try:
        time.sleep(0.05)
        outcomes = []
        for _ in range(12):
            outcomes.append(forked(child))
            time.sleep(0.01)
    finally:
        stop.set()
        thread.join(30)
    handle.close()
    assert set(outcomes) <= {0, 10}, outcomes
    assert 10 in outcomes  # the thread held the lock at some fork


def wait_for(pid, deadline=30.0):
    """The exit status of child `pid`, killed past the deadline ("hung")."""
    until = time.monotonic() + deadline
    while time.monotonic() < until:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"


@fork_beside_busy_threads
def test_fork_from_a_callback_while_another_thread_holds_the_file(long_walk):
    # The forking thread's walk suspended its lock for the callback, and
    # another thread took it and was walking at the fork: in the child, the
    # walk fails with ZarnException when it takes its lock back. The
    # parent's walk goes on and is right.
    handle = ZarnFile(long_walk)
    ms = handle.get_measurement(0).get_qual_analysis(0)
    condition = ms.unique_acquisition_conditions[0]
    expected = xic(handle)
    state = {"child": False, "status": None}

    class Forking(ValueRange):
        def contains_value(self, value):
            if state["status"] is None and not state["child"]:
                done = threading.Event()
                other = threading.Thread(target=lambda: [xic(handle) for _ in iter(done.is_set, True)])
                other.start()
                time.sleep(0.1)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
                    pid = os.fork()
                if pid == 0:
                    state["child"] = True
                else:
                    state["status"] = wait_for(pid)
                    done.set()
                    other.join(30)
            return ValueRange.contains_value(self, value)

    option = ChromatogramFilterOption(condition, ValueRange(100.0, 100.5), Forking(0.0, 1e9))
    try:
        try:
            got = [(p.retention_time, p.intensity) for p in ms.get_xic(option)]
            outcome = 0 if got == expected else 1
        except ZarnException as e:
            outcome = 10 if "open the file again" in str(e) else 2
    except BaseException:
        outcome = 99
        if not state["child"]:
            raise
    finally:
        if state["child"]:
            os._exit(outcome)
    handle.close()
    assert outcome == 0 and state["status"] in (0, 10)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_fork_while_another_thread_holds_a_converter(monkeypatch, tmp_path):
    # A thread inside convert() holds the converter's lock while the pool's
    # submit runs (here it waits): in the child, cancel() on that converter
    # fails with ZarnException instead of waiting. The parent's run ends
    # as ever.
    monkeypatch.setenv("PATH", str(STAND_IN_DIR) + os.pathsep + os.environ.get("PATH", ""))
    conversions = Conversions(monkeypatch, tmp_path)
    entered, leave = threading.Event(), threading.Event()

    class Pool(ThreadPoolExecutor):
        def submit(self, fn):
            entered.set()
            leave.wait(TIMEOUT)
            return super().submit(fn)

    monkeypatch.setattr(converter, "ThreadPoolExecutor", Pool)
    c = conversions.converter()
    result = [("out", "### Start ConversionResult\r\n"), ("out", "ok\r\n"), ("out", "### End ConversionResult\r\n")]
    started = []
    thread = threading.Thread(target=lambda: started.append(conversions.start(c, *result)))
    thread.start()

    def child():
        try:
            c.cancel()
            return 0
        except ZarnException as e:
            return 10 if "this converter was in use by another thread" in str(e) else 2

    try:
        assert entered.wait(TIMEOUT)
        status = forked(child)
    finally:
        leave.set()
        thread.join(TIMEOUT)
    try:
        assert status == 10
        assert started[0][0].result(TIMEOUT) == "ok\r\n"
    finally:
        conversions.close()

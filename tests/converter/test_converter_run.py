"""A conversion run against the stand-in converter program: progress, result,
failures, cancellation, the busy guard, and what a run leaves behind."""

import os
import pathlib
import sys
import tempfile
import threading
import time
from concurrent.futures import CancelledError, ThreadPoolExecutor

import pytest

from kit.conversion import TIMEOUT, reaped, wait_for
from zarn_data_access import converter
from zarn_data_access.exception import WbnConverterException

START_PROGRESS = ("out", "### Start Progress\r\n")
END_PROGRESS = ("out", "### End Progress\r\n")
START_RESULT = ("out", "### Start ConversionResult\r\n")
END_RESULT = ("out", "### End ConversionResult\r\n")
RESULT_OK = (START_RESULT, ("out", "ok\r\n"), END_RESULT)
HANG = ("hang", None)


def failure_of(future):
    with pytest.raises(WbnConverterException) as e:
        future.result(TIMEOUT)
    assert len(e.value.args) == 1
    return e.value.args[0]


def test_progress_values_reach_the_callback_on_the_worker_thread(conversions):
    c = conversions.converter()
    calls = []

    def callback(value):
        calls.append((value, type(value), threading.current_thread() is threading.main_thread()))
        if value == 12.5:
            raise RuntimeError("a failing callback does not stop the run")

    c.progress_report_callback = callback
    future, _ = conversions.start(
        c,
        ("out", "99\r\n"),  # outside a block
        START_PROGRESS,
        ("out", "12.5\r\n"),
        ("out", " 7 \n"),
        ("out", "abc\r\n"),
        ("out", "12,5\r\n"),
        ("out", "\r\n"),
        END_PROGRESS,
        ("out", "5\r\n"),
        ("out", " ### Start Progress\r\n"),
        ("out", "### start progress\r\n"),
        ("out", "6\r\n"),
        ("out", "### Start Progress, and more\n"),
        ("out", "1e3\r\r\n"),
    )
    assert future.result(TIMEOUT) == ""
    assert calls == [(12.5, float, False), (7.0, float, False), (1000.0, float, False)]


OUTCOMES = [
    # (program's steps, result text, or the failure's message)
    ((START_RESULT, ("out", "a\r\n"), ("out", "b\r\n"), END_RESULT), "a\r\n\r\nb\r\n"),
    ((START_RESULT, ("out", "a\n"), ("out", " ### End ConversionResult\n"), END_RESULT),
     "a\n\r\n ### End ConversionResult\n"),
    ((START_PROGRESS, START_RESULT, ("out", "3\r\n"), END_RESULT, ("out", "4\r\n")), "3\r\n"),
    ((START_RESULT, END_RESULT), ""),
    ((("out", "no blocks\r\n"),), ""),
    ((*RESULT_OK, ("exit", 5)), "ok\r\n"),
    ((("err", "bad source\r\n"),), WbnConverterException("bad source\r\n")),
    ((*RESULT_OK, ("err", "one\n"), ("err", "two"), ("exit", 0)), WbnConverterException("one\n\r\ntwo")),
    ((("exit", 3),), WbnConverterException("wbnc.exe ended with exit code 3 and wrote no conversion result.")),
    ((START_RESULT, ("out", "partial\r\n"), ("exit", 2)),
     WbnConverterException("wbnc.exe ended with exit code 2 and wrote no conversion result.")),
    # standard error is read once the program has ended, not when its output ends
    ((("close", None), ("wait", "{gate}"), ("err", "late\n")), WbnConverterException("late\n")),
]


@pytest.mark.parametrize("steps, outcome", OUTCOMES)
def test_run_outcome(conversions, monkeypatch, steps, outcome):
    monkeypatch.setattr(os, "linesep", "\r\n")
    gate = conversions.path("gate")
    steps = [(op, arg.format(gate=gate) if isinstance(arg, str) else arg) for op, arg in steps]
    c = conversions.converter()
    progress = []
    c.progress_report_callback = progress.append
    future, _ = conversions.start(c, *steps)
    if ("wait", gate) in steps:
        time.sleep(0.2)
        pathlib.Path(gate).touch()
    if isinstance(outcome, str):
        assert future.result(TIMEOUT) == outcome
        assert c._WbnConverter__conversion_result == outcome
    else:
        assert failure_of(future) == outcome.args[0]
    if START_PROGRESS in steps:
        assert progress == [3.0, 4.0]


@pytest.mark.parametrize(
    "earlier_file, overwrite, start, kept",
    [
        # the caller's own file, which the program was not let replace
        (True, False, "convert", True),
        (True, False, "_WbnConverter__convert", True),
        # a file the program was let replace, or wrote anew: its partial output
        (True, True, "convert", False),
        (False, False, "convert", False),
    ],
)
def test_interrupted_run_deletes_the_destination_only_when_the_program_may_have_written_it(
        conversions, earlier_file, overwrite, start, kept):
    c = conversions.converter()
    dest = conversions.path("partial.zarn")
    if earlier_file:
        pathlib.Path(dest).write_bytes(b"earlier")
    # The program writes the destination where it may: a partial output.
    writes = [("touch", dest)] if overwrite or not earlier_file else []
    steps = (*writes, ("raw", "ff0d0a"), HANG)
    if start == "convert":
        future, _ = conversions.start(c, *steps, dest=dest, overwrite=overwrite)
    else:
        future = c._WbnConverter__convert([conversions.scenario(*steps), "-dest", dest], dest)
        conversions.futures.append(future)
    assert failure_of(future) == (
        "Command interrupted. 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"
    )
    assert reaped(conversions.record(dest)["pid"])
    assert os.path.exists(dest) == kept
    if kept:
        assert pathlib.Path(dest).read_bytes() == b"earlier"


def test_converter_stays_busy_until_a_failed_run_has_cleaned_up(conversions, monkeypatch):
    # The destination does not exist, so every attempt to delete it fails.
    pauses, deleting, release = [], threading.Event(), threading.Event()

    def sleep(seconds):
        pauses.append(seconds)
        deleting.set()
        release.wait(TIMEOUT)

    monkeypatch.setattr(time, "sleep", sleep)
    c = conversions.converter()
    future, _ = conversions.start(c, ("raw", "c3"), ("out", "\n"), HANG)
    assert deleting.wait(TIMEOUT)
    with pytest.raises(WbnConverterException, match="^Already converting.$"):
        conversions.start(c, *RESULT_OK)
    release.set()
    assert failure_of(future).startswith("Command interrupted. 'utf-8' codec can't decode byte 0xc3")
    assert pauses == [0.1] * 100
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


def test_cancel_kills_the_program_and_fails_the_run(conversions):
    c = conversions.converter()
    assert c.cancel() is None  # no run: nothing happens
    assert vars(c) == {}
    started = conversions.path("started")
    dest = conversions.path("cancelled.zarn")
    pathlib.Path(dest).write_bytes(b"partial")
    future, _ = conversions.start(c, START_PROGRESS, ("touch", started), HANG, dest=dest)
    wait_for(started)
    c.cancel()
    c.cancel()
    assert failure_of(future) == "Cancelled."
    assert reaped(conversions.record(dest)["pid"])
    assert os.path.exists(dest)  # a cancelled run deletes nothing
    assert c._WbnConverter__is_cancelled is False
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


@pytest.mark.parametrize("moment", ["task taken", "program starting"])
def test_cancel_before_the_program_is_known_still_stops_it(conversions, monkeypatch, moment):
    c = conversions.converter()
    if moment == "task taken":
        class Pool(ThreadPoolExecutor):
            def submit(self, fn):
                return super().submit(lambda: (c.cancel(), fn())[1])

        monkeypatch.setattr(converter, "ThreadPoolExecutor", Pool)
    else:
        temporary_file = tempfile.TemporaryFile

        def cancelling_temporary_file():
            c.cancel()
            return temporary_file()

        monkeypatch.setattr(tempfile, "TemporaryFile", cancelling_temporary_file)
    future, dest = conversions.start(c, HANG)
    assert failure_of(future) == "Cancelled."
    if moment == "task taken":
        assert c._WbnConverter__process is None  # never started
    else:
        assert reaped(c._WbnConverter__process.pid)


@pytest.mark.parametrize("where", ["pool factory", "busy flag"])
def test_cancel_from_code_the_converter_runs_while_accepting_a_run(conversions, monkeypatch, where):
    """Python code that the converter calls while it accepts a run (the
    pool's factory, the setattr of its busy flag) may call back into it."""
    if where == "pool factory":
        c = conversions.converter()

        def pool(workers):
            c.cancel()
            return ThreadPoolExecutor(workers)

        monkeypatch.setattr(converter, "ThreadPoolExecutor", pool)
    else:
        class Cancelling(converter.WbnConverter):
            def __setattr__(self, name, value):
                object.__setattr__(self, name, value)
                if name == "_WbnConverter__is_converting" and value:
                    self.cancel()

        with monkeypatch.context() as m:
            m.setattr(sys, "platform", "win32")
            c = Cancelling()
    started = []
    worker = threading.Thread(target=lambda: started.append(conversions.start(c, HANG)), daemon=True)
    worker.start()
    worker.join(TIMEOUT)
    assert not worker.is_alive(), "the converter waits for itself"
    assert failure_of(started[0][0]) == "Cancelled."
    assert c._WbnConverter__is_converting is False
    monkeypatch.setattr(converter, "ThreadPoolExecutor", ThreadPoolExecutor)
    if where == "pool factory":
        assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


def test_cancel_from_the_pool_field_setattr_refuses_the_run(conversions, monkeypatch):
    class Cancelling(converter.WbnConverter):
        def __setattr__(self, name, value):
            object.__setattr__(self, name, value)
            if name == "_WbnConverter__executor" and value is not None:
                self.cancel()

    with monkeypatch.context() as m:
        m.setattr(sys, "platform", "win32")
        c = Cancelling()
    with pytest.raises(WbnConverterException, match="^Cancelled.$"):
        conversions.start(c, *RESULT_OK)
    assert c._WbnConverter__is_converting is False


def test_cancel_before_the_worker_takes_the_task_drops_it(conversions, monkeypatch):
    busy, release = threading.Event(), threading.Event()

    class BusyPool(ThreadPoolExecutor):
        def submit(self, fn):
            super().submit(lambda: (busy.set(), release.wait(TIMEOUT)))
            return super().submit(fn)

    monkeypatch.setattr(converter, "ThreadPoolExecutor", BusyPool)
    c = conversions.converter()
    future, dest = conversions.start(c, HANG)
    assert busy.wait(TIMEOUT)
    c.cancel()
    release.set()
    with pytest.raises(CancelledError):
        future.result(TIMEOUT)
    assert not os.path.exists(dest + ".run.json")
    monkeypatch.setattr(converter, "ThreadPoolExecutor", ThreadPoolExecutor)
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


def test_cancel_then_convert_at_once_keeps_the_two_runs_apart(conversions):
    c = conversions.converter()
    started, gate = conversions.path("started"), conversions.path("gate")
    old, _ = conversions.start(c, ("touch", started), HANG)
    wait_for(started)
    c.cancel()
    new, _ = conversions.start(c, ("wait", gate), *RESULT_OK)
    assert failure_of(old) == "Cancelled."
    with pytest.raises(WbnConverterException, match="^Already converting.$"):
        conversions.start(c, *RESULT_OK)
    pathlib.Path(gate).touch()
    assert new.result(TIMEOUT) == "ok\r\n"


def test_second_convert_while_running_is_refused(conversions):
    c = conversions.converter()
    gate = conversions.path("gate")
    refused = []

    def callback(value):
        try:
            c.convert("a.raw", conversions.path("from callback.zarn"), False)
        except WbnConverterException as e:
            refused.append(e.args)

    c.progress_report_callback = callback
    future, _ = conversions.start(c, START_PROGRESS, ("out", "1\r\n"), ("wait", gate), *RESULT_OK)
    other = conversions.path("other.zarn")
    with pytest.raises(WbnConverterException) as e:
        c.convert("a.raw", other, False)
    assert e.value.args == ("Already converting.",)
    pathlib.Path(gate).touch()
    assert future.result(TIMEOUT) == "ok\r\n"
    assert refused == [("Already converting.",)]
    assert not os.path.exists(other + ".run.json")


def test_convert_from_many_threads_at_once_starts_one_run(conversions):
    c = conversions.converter()
    gate = conversions.path("gate")
    barrier = threading.Barrier(8)
    outcomes = []

    def convert(i):
        scenario = conversions.scenario(("wait", gate), *RESULT_OK)
        barrier.wait()
        try:
            outcomes.append(c.convert(scenario, conversions.path(f"many{i}.zarn"), False))
        except WbnConverterException as e:
            outcomes.append(e.args)

    threads = [threading.Thread(target=convert, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    pathlib.Path(gate).touch()
    futures = [o for o in outcomes if not isinstance(o, tuple)]
    assert len(futures) == 1
    assert outcomes.count(("Already converting.",)) == 7
    assert futures[0].result(TIMEOUT) == "ok\r\n"


def test_missing_program_fails_the_run_and_frees_the_converter(conversions, monkeypatch):
    c = conversions.converter()
    path = os.environ["PATH"]
    monkeypatch.setenv("PATH", conversions.path("nowhere"))
    future, _ = conversions.start(c, *RESULT_OK)
    assert failure_of(future).startswith(
        "The application for Wbn conversion, wbnc.exe, did not function properly. Please reinstall the Zarn SDK. "
    )
    assert c._WbnConverter__is_converting is False
    monkeypatch.setenv("PATH", path)
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


@pytest.mark.parametrize("failing", ["__init__", "submit"])
def test_pool_failure_is_raised_and_frees_the_converter(conversions, monkeypatch, failing):
    class FailingPool(ThreadPoolExecutor):
        pass

    def fail(*args, **kwargs):
        raise RuntimeError("no worker")

    monkeypatch.setattr(FailingPool, failing, fail)
    monkeypatch.setattr(converter, "ThreadPoolExecutor", FailingPool)
    c = conversions.converter()
    with pytest.raises(RuntimeError, match="^no worker$"):
        conversions.start(c, *RESULT_OK)
    assert c._WbnConverter__is_converting is False
    monkeypatch.setattr(converter, "ThreadPoolExecutor", ThreadPoolExecutor)
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


def open_descriptors():
    return sorted(os.readlink(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")
                  if os.path.exists(f"/proc/self/fd/{fd}"))


@pytest.mark.parametrize(
    "steps, cancel",
    [
        (RESULT_OK, False),
        ((("err", "failed\n"),), False),
        ((("raw", "ff0a"), HANG), False),
        ((("touch", "{started}"), HANG), True),
    ],
)
def test_run_leaves_no_child_pipe_or_file_behind(conversions, steps, cancel):
    started = conversions.path("started")
    steps = [(op, arg.format(started=started) if isinstance(arg, str) else arg) for op, arg in steps]
    c = conversions.converter()
    before = open_descriptors()
    dest = conversions.path("out.zarn")
    pathlib.Path(dest).touch()
    future, _ = conversions.start(c, *steps, dest=dest)
    if cancel:
        wait_for(started)
        c.cancel()
    future.exception(TIMEOUT)
    assert reaped(conversions.record(dest)["pid"])
    assert open_descriptors() == before


def test_a_program_inherits_no_other_run_s_pipe_or_file(conversions):
    started, gate = conversions.path("started"), conversions.path("gate")
    first, _ = conversions.start(conversions.converter(), ("touch", started), ("wait", gate))
    wait_for(started)
    second, dest = conversions.start(conversions.converter(), *RESULT_OK)
    assert second.result(TIMEOUT) == "ok\r\n"
    assert conversions.record(dest)["fds"] == {}
    pathlib.Path(gate).touch()
    assert first.result(TIMEOUT) == ""

"""Faults in what the converter module takes from other modules while it
runs: each ends in a Python exception, or is passed over where the run
passes failures over, and the process goes on."""

import os
import subprocess
import sys
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

from conversion_support import TIMEOUT
from zarn_data_access import converter

RESULT_OK = (("out", "### Start ConversionResult\r\n"), ("out", "ok\r\n"), ("out", "### End ConversionResult\r\n"))


def without(module, name):
    """A stand-in for `module` that lacks `name`."""
    return types.SimpleNamespace(**{k: v for k, v in vars(module).items() if k != name})


def failing(error_type, *error_args):
    """A function that raises a new error of that type each time."""
    def fail(*args, **kwargs):
        raise error_type(*error_args)
    return fail


START_FAULTS = [
    # (module attribute of the converter, its stand-in, the failure of the future)
    ("subprocess", without(subprocess, "PIPE"), AttributeError("'types.SimpleNamespace' object has no attribute 'PIPE'")),
    ("subprocess", without(subprocess, "Popen"), AttributeError("'types.SimpleNamespace' object has no attribute 'Popen'")),
    ("subprocess", types.SimpleNamespace(Popen=failing(PermissionError, 13, "Permission denied"),
                                         PIPE=subprocess.PIPE), PermissionError(13, "Permission denied")),
    ("tempfile", types.SimpleNamespace(TemporaryFile=failing(OSError, 28, "No space left on device")),
     OSError(28, "No space left on device")),
]


@pytest.mark.parametrize("name, stand_in, failure", START_FAULTS)
def test_a_failing_start_fails_the_future_with_that_failure(conversions, monkeypatch, name, stand_in, failure):
    c = conversions.converter()
    with monkeypatch.context() as m:
        m.setattr(converter, name, stand_in)
        future, dest = conversions.start(c, *RESULT_OK)
        with pytest.raises(type(failure)) as e:
            future.result(TIMEOUT)
    assert e.value.args == failure.args
    assert not os.path.exists(dest + ".run.json")
    assert c._WbnConverter__is_converting is False
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


def test_a_pool_whose_submit_and_shutdown_fail_raises_the_submit_failure(conversions, monkeypatch):
    class BrokenPool(ThreadPoolExecutor):
        submit = failing(RuntimeError, "no submit")
        shutdown = failing(RuntimeError, "no shutdown")

    c = conversions.converter()
    with monkeypatch.context() as m:
        m.setattr(converter, "ThreadPoolExecutor", BrokenPool)
        with pytest.raises(RuntimeError, match="^no submit$"):
            conversions.start(c, *RESULT_OK)
    assert c._WbnConverter__is_converting is False
    assert c._WbnConverter__executor is None
    assert conversions.start(c, *RESULT_OK)[0].result(TIMEOUT) == "ok\r\n"


@pytest.mark.parametrize("error", [SystemExit, KeyboardInterrupt, GeneratorExit, MemoryError])
def test_a_callback_that_raises_any_kind_of_failure_does_not_stop_the_run(conversions, error):
    c = conversions.converter()
    calls = []

    def callback(value):
        calls.append(value)
        raise error()

    c.progress_report_callback = callback
    future, _ = conversions.start(c, ("out", "### Start Progress\r\n"), ("out", "1\r\n"), ("out", "2\r\n"),
                                  ("out", "### End Progress\r\n"), *RESULT_OK)
    assert future.result(TIMEOUT) == "ok\r\n"
    assert calls == [1.0, 2.0]

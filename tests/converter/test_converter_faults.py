"""Faults in what the converter module takes from other modules, when it
loads and while it runs: each ends in a Python exception, or is passed over
where the run passes failures over, and the process goes on."""

import enum
import importlib
import os
import subprocess
import sys
import textwrap
import types
from concurrent.futures import ThreadPoolExecutor

import pytest

from kit.conversion import TIMEOUT
from zarn_data_access import converter

RESULT_OK = (("out", "### Start ConversionResult\r\n"), ("out", "ok\r\n"), ("out", "### End ConversionResult\r\n"))

LOAD_FAULTS = [
    # (what is broken before the module loads, the failure expected)
    ("import zarn_data_access.exception as m; del m.WbnConverterException",
     "ImportError: cannot import name 'WbnConverterException' from 'zarn_data_access.exception' ({file})"),
    ("import zarn_data_access.common as m; del m.QuanAnalysisTypes",
     "ImportError: cannot import name 'QuanAnalysisTypes' from 'zarn_data_access.common' ({file})"),
    ("import zarn_data_access.common as m; del m.AnalysisTypes",
     "ImportError: cannot import name 'AnalysisTypes' from 'zarn_data_access.common' ({file})"),
    ("import sys; sys.modules['concurrent.futures'] = None",
     "ModuleNotFoundError: import of concurrent.futures halted; None in sys.modules"),
    ("import sys; sys.modules['time'] = None", "ModuleNotFoundError: import of time halted; None in sys.modules"),
    # an enumeration without the member ALL: its own AttributeError
    ("import enum, zarn_data_access.common as m\n"
     "class QuanAnalysisTypes(enum.Flag):\n    SRM = 1\n    SIM = 2\n"
     "m.QuanAnalysisTypes = QuanAnalysisTypes", "AttributeError: {no_all[QuanAnalysisTypes]}"),
    ("import enum, zarn_data_access.common as m\n"
     "class AnalysisTypes(enum.Flag):\n    QUAL = 1\n"
     "m.AnalysisTypes = AnalysisTypes", "AttributeError: {no_all[AnalysisTypes]}"),
]


@pytest.mark.parametrize("fault, failure", LOAD_FAULTS)
def test_loading_with_a_missing_module_or_name_fails_with_the_interpreter_s_error(fault, failure):
    script = fault + textwrap.dedent("""
        try:
            import zarn_data_access.converter
        except BaseException as e:
            print(f"{type(e).__name__}: {e}")
            print(e.__cause__, getattr(e, "name", None), getattr(e, "path", None))
        else:
            print("loaded")
        print("alive")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=TIMEOUT)
    assert run.returncode == 0, run.stderr
    message, details, alive = run.stdout.splitlines()
    source = failure.partition(" from '")[2].partition("'")[0]
    file = importlib.import_module(source).__file__ if source else None
    assert message == failure.format(file=file, no_all=NoAll())
    if source:
        # raised as the import statement raises it, not wrapped in another
        assert details == f"None {source} {file}"
    assert alive == "alive"


class NoAll:
    """no_all[Name]: the message of the interpreter's own error for the member
    ALL of a flag enumeration `Name` that lacks it (it differs between
    interpreter versions)."""

    def __getitem__(self, name):
        try:
            enum.Flag(name, {"QUAL": 1}).ALL
        except AttributeError as e:
            return str(e)
        raise AssertionError("the enumeration has ALL")


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
    ("subprocess", without(subprocess, "PIPE"),
     AttributeError("'types.SimpleNamespace' object has no attribute 'PIPE'")),
    ("subprocess", without(subprocess, "Popen"),
     AttributeError("'types.SimpleNamespace' object has no attribute 'Popen'")),
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

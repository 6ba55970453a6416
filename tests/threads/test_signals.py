"""A Python signal handler is caller code: it runs with no reader lock held,
so a handler that reads the same file on another thread and waits for it
does not block the call it interrupts, and the call then ends as it would
have without the signal. Run in a child interpreter under a timeout."""

import json
import subprocess
import sys

import pytest

from kit import interrupt as I

CHILD = r"""
import json, signal, sys, threading

from zarn_data_access.access import ZarnFile
from zarn_data_access.common import ValueRange
from zarn_data_access.qual import ChromatogramFilterOption

path = sys.argv[1]


def xic(z):
    a = z.get_measurement(0).get_qual_analysis(0)
    option = ChromatogramFilterOption(a.unique_acquisition_conditions[0], ValueRange(100.0, 200.0))
    return repr(a.get_xic(option))


z = ZarnFile(path)
seen = {}


def on_alarm(signum, frame):
    # Reads the file that the interrupted call is reading, on another thread.
    def read():
        seen["read"] = len(z.get_measurement(0).get_qual_analysis(0).unique_acquisition_conditions)

    t = threading.Thread(target=read)
    t.start()
    t.join(10)
    seen["blocked"] = t.is_alive()


signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.1)
got = xic(z)
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps(dict(seen, same=got == xic(ZarnFile(path)))))
sys.stdout.flush()
"""


@pytest.fixture(scope="module")
def many_spectra(tmp_path_factory):
    # Spectra enough that a walk is long and answers signals between them.
    return I.write_files(str(tmp_path_factory.mktemp("signals")), ["ms_300_held"])["ms_300_held"]


def test_a_handler_that_reads_the_same_file_on_another_thread_does_not_block(many_spectra):
    run = subprocess.run([sys.executable, "-c", CHILD, many_spectra], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout.strip().splitlines()[-1])
    assert report == {"read": 1, "blocked": False, "same": True}

"""Helpers of the conversion tests: converters made as on Windows, scenarios
for the stand-in converter program (bin/wbnc.exe) and what it recorded."""

import json
import os
import pathlib
import sys
import time

from zarn_data_access import converter

STAND_IN_DIR = pathlib.Path(__file__).parent.parent / "converter" / "bin"
TIMEOUT = 30


class Conversions:
    """Makes converters, writes scenarios for the stand-in and reads back
    what the stand-in recorded of its runs."""

    def __init__(self, monkeypatch, tmp_path):
        self.monkeypatch = monkeypatch
        self.dir = tmp_path
        self.converters = []
        self.futures = []
        self.count = 0

    def converter(self):
        with self.monkeypatch.context() as m:
            m.setattr(sys, "platform", "win32")
            c = converter.WbnConverter()
        self.converters.append(c)
        return c

    def path(self, name):
        return str(self.dir / name)

    def scenario(self, *steps):
        self.count += 1
        path = self.dir / f"scenario{self.count}.json"
        path.write_text(json.dumps([list(step) for step in steps]))
        return str(path)

    def start(self, c, *steps, dest=None, overwrite=False):
        """Starts a conversion of a scenario; returns its future and its
        destination path."""
        dest = dest or self.path(f"out{self.count + 1}.zarn")
        future = c.convert(self.scenario(*steps), dest, overwrite)
        self.futures.append(future)
        return future, dest

    @staticmethod
    def record(dest):
        with open(dest + ".run.json") as f:
            return json.load(f)

    def close(self):
        for c in self.converters:
            c.cancel()
        for future in self.futures:
            try:
                future.exception(TIMEOUT)
            except Exception:
                pass


def wait_for(path):
    """Waits until a file exists (a stand-in has reached a step)."""
    end = time.monotonic() + TIMEOUT
    while not os.path.exists(path):
        assert time.monotonic() < end, f"{path} did not appear"
        time.sleep(0.005)


def reaped(pid):
    """The child has ended and been waited for: no zombie is left."""
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return True
    return False

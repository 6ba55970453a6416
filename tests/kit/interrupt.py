"""Ctrl-C during one long call, in a child interpreter of its own.

`interrupt` runs one named call of kit.memory's CALLS on a file in a fresh
interpreter: a timer sends the process SIGALRM `delay` seconds into the
call, handled as Python handles SIGINT (KeyboardInterrupt); the child
reports how long after the signal the call ended and how (KeyboardInterrupt,
else the call's own result or error: it ended first), then makes the
same call again on the same objects, and once more on the file opened
anew, and reports whether the two agree. The tests and
the latency measurements share it.
"""

import json
import os
import subprocess
import sys

from kit import memory as M

# A file of many spectra, each decompressing a segment that is held whole.
MiB = 1 << 20
FILES = dict(M.FILES)
FILES["ms_300_held"] = ("MS, 300 spectra of one segment of 7 MiB each",
                        lambda: M._file(M._ms(*[M.w.spectrum_block(M.efficient_ms_segment(7 * MiB // 8))] * 300)))


def _declared_segment(points):
    """SPECTRUM_ZSTD_EFFICIENT_COMPRESSION option 0 of `points` zero points
    as one frame of one segment (its window is its content, so it is held
    whole) made of RLE blocks: a few bytes a 128 KiB block."""
    w = M.w
    head = w.tiny_uint(0) + w.uint16(4) + w.int32(points)
    blocks = [("raw", head)]
    left = 8 * points
    while left:
        blocks.append(("rle", 0, min(left, 128 * 1024)))
        left -= blocks[-1][2]
    frame = w.zstd_block_frame(blocks, len(head) + 8 * points)
    return w.symbol(w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION) + w.compressed_segment(frame=frame)


FILES["ms_plain"] = ("MS, one uncompressed segment of 8 M points (64 MiB)",
                     lambda: M._file(M._ms(M.w.spectrum_block(M.w.spectrum_plain([0.0] * (8 << 20),
                                                                                   [0.0] * (8 << 20))))))
FILES["ms_held_768"] = ("MS, one segment of 768 MiB held whole, in 24 KB of RLE blocks",
                        lambda: M._file(M._ms(M.w.spectrum_block(_declared_segment(96 * MiB)))))

_CHILD = r"""
import json, signal, sys, time

from zarn_data_access.access import ZarnFile
from zarn_data_access.common import ValueRange
from zarn_data_access.qual import ChromatogramFilterOption

path, kind, code, delay = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])


def open_file():
    z = ZarnFile(path)
    reader = z._ZarnFile__reader
    m = z.get_measurement(0)
    a = c = None
    position = None
    if kind == "qual":
        a = m.get_qual_analysis(0)
        c = a.unique_acquisition_conditions[0]
    elif kind == "dad":
        a = m.get_dad_analysis(0)
    if kind in ("qual", "dad"):
        index = (a._QualAnalysis__spectrum_index_list if kind == "qual" else a._DADAnalysis__spectrum_index_list)[0]
        position = index._SpectrumIndex__position
    return dict(z=z, reader=reader, m=m, a=a, c=c, position=position, ValueRange=ValueRange,
                ChromatogramFilterOption=ChromatogramFilterOption)


def summary(result):
    # What a result shows of itself, cheaply: its points' count and the
    # first and last of them, or its text.
    points = getattr(result, "chromatogram_points", result)
    if isinstance(points, list):
        return [len(points), repr(points[:4]), repr(points[-4:])]
    return repr(points)


def run(names):
    try:
        return ["result", summary(eval(code, names))]
    except Exception as e:
        return ["error", type(e).__name__, str(e)]


names = open_file()
compile(code, "<call>", "eval")
# The kernel's timer sends the signal on time whoever holds the GIL; its
# handler is the one Python gives SIGINT, raising KeyboardInterrupt.
signal.signal(signal.SIGALRM, signal.default_int_handler)
outcome = {}
started = time.perf_counter()
signal.setitimer(signal.ITIMER_REAL, delay)
ended = None
try:
    outcome["ended"] = run(names)
    ended = time.perf_counter()
    time.sleep(delay + 0.1)  # the signal of a call that ended first is answered here
except KeyboardInterrupt:
    if ended is None:
        ended = time.perf_counter()
        outcome["ended"] = ["KeyboardInterrupt"]
outcome["call"] = ended - started
outcome["latency"] = ended - started - delay
began = time.perf_counter()
again = run(names)
outcome["full"] = time.perf_counter() - began
fresh = run(open_file())
outcome["same"] = again == fresh
outcome["again"] = again
print(json.dumps(outcome))
"""


def interrupt(path, call, delay=0.3, timeout=600, env=None):
    """Runs CALLS[call] on the file at `path` in a child interpreter and sends
    it the signal `delay` seconds in; returns the child's report: `ended`
    (["KeyboardInterrupt"], or ["result", ...] / ["error", ...] when the call
    ended first), `latency` (seconds from the signal to the call's end),
    `call` (seconds the call ran), `full` (seconds the call made again ran
    to its end), `same` (the call made again on the same objects and on the
    file opened anew agree) and `again` (that result)."""
    _, kind, code = M.CALLS[call]
    run = subprocess.run([sys.executable, "-c", _CHILD, path, kind, code, str(delay)], capture_output=True,
                         text=True, env=env, timeout=timeout)
    if run.returncode != 0 or not run.stdout.strip():
        raise RuntimeError(f"the child interrupting {call} on {path} failed ({run.returncode}):\n{run.stderr}")
    return json.loads(run.stdout.strip().splitlines()[-1])


def write_files(folder, names):
    """Writes the files named (of FILES) into `folder`; returns {name: path}."""
    paths = {}
    for name in names:
        path = os.path.join(folder, name + ".zarn")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(FILES[name][1]())
        paths[name] = path
    return paths

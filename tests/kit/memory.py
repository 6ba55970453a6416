"""Small files with large zero-filled data segments, and the peak memory of
one call on them, measured in a child process of its own.

A data segment of zeros compresses to a few kilobytes whatever its size, so
these files cost a reader only what it makes of them. `measure` runs one
named call (see CALLS) in a fresh interpreter: the file is opened and the
analysis taken first, then the peak of resident memory is reset and the call
made; the child reports its growth at the peak, what it still holds with
the result alive, and how the call ended. The benchmark bench_memory.py and
the tests share these files and calls.
"""

import json
import os
import subprocess
import sys

import zstandard

import zarnwriter as w

MiB = 1 << 20

# The size of the large segments' content.
LARGE = 256 * MiB
# A segment whose every point is handed back stays small enough to hold.
HELD = 16 * MiB
# Beyond the decompression limit (1 GiB), as a frame that declares no size.
OVER_LIMIT = 1280 * MiB

WAVELENGTHS = [200.0 + 2.0 * k for k in range(60)]


def _frame(content_size, head, zeros, declared=True):
    """A Zstandard frame of `head` then `zeros` zero bytes, compressed in
    pieces so that the content is never held whole."""
    compressor = zstandard.ZstdCompressor(level=3, write_content_size=declared)
    chunk = bytes(16 * MiB)
    if declared:
        obj = compressor.compressobj(size=content_size)
    else:
        obj = compressor.compressobj()
    out = [obj.compress(head)]
    left = zeros
    while left:
        take = min(left, len(chunk))
        out.append(obj.compress(chunk[:take]))
        left -= take
    out.append(obj.flush())
    return b"".join(out)


def efficient_ms_segment(points, declared=True):
    """SPECTRUM_ZSTD_EFFICIENT_COMPRESSION option 0 (packed int32 m/z
    differences and intensities) of `points` zero points: both arrays are
    all zero bytes, plane after plane."""
    head = w.tiny_uint(0) + w.uint16(4) + w.int32(points)
    frame = _frame(len(head) + 8 * points, head, 8 * points, declared)
    return w.symbol(w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION) + w.compressed_segment(frame=frame)


def efficient_dad_segment(values):
    """DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION option 0 of `values` zero
    packed int32 intensities."""
    head = w.tiny_uint(0) + w.int32(values)
    frame = _frame(len(head) + 4 * values, head, 4 * values)
    return w.symbol(w.DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION) + w.compressed_segment(frame=frame)


def efficient_chromatogram_segment(points):
    """CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION option 0 of `points` zero points."""
    head = w.tiny_uint(0) + w.uint16(3) + w.int32(points)
    frame = _frame(len(head) + 8 * points, head, 8 * points)
    return w.symbol(w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION) + w.compressed_segment(frame=frame)


def _ms(*blocks):
    spectra = [(w.spectrum_description(retention_time=0.5 + k, ms_level=1, polarity=1,
                                       totals=(1.0, 150.0, 1.0)), b)
               for k, b in enumerate(blocks)]
    return w.function_description(True, w.qual_description(detector_type=1)), spectra


def _dad(*blocks):
    spectra = [(w.spectrum_description(retention_time=0.5 + k), b) for k, b in enumerate(blocks)]
    return w.function_description(True, w.qual_description(detector_type=2, wavelength_arr=WAVELENGTHS)), spectra


def _quan(block):
    return w.function_description(False, w.quan_description(
        compound_name="zeros", q1=150.0, q3=100.0, quan_analysis_type=4, detector_type=1)), block


def _file(*functions):
    return w.measurement_file((3, 6, 0), [(w.measurement_description("0001", sample_name="hostile"),
                                           list(functions))])


# name: (what the file holds, a function making its bytes)
FILES = {
    "ms": ("MS, one segment of 256 MiB",
           lambda: _file(_ms(w.spectrum_block(efficient_ms_segment(LARGE // 8))))),
    "ms_three": ("MS, three spectra of one segment of 256 MiB each",
                 lambda: _file(_ms(*[w.spectrum_block(efficient_ms_segment(LARGE // 8))] * 3))),
    "ms_twenty": ("MS, twenty spectra of one segment of 256 MiB each",
                  lambda: _file(_ms(*[w.spectrum_block(efficient_ms_segment(LARGE // 8))] * 20))),
    "ms_four": ("MS, one spectrum of four segments of 256 MiB",
                lambda: _file(_ms(w.spectrum_block(*[efficient_ms_segment(LARGE // 8)] * 4)))),
    "ms_held": ("MS, one segment of 16 MiB",
                lambda: _file(_ms(w.spectrum_block(efficient_ms_segment(HELD // 8))))),
    "dad": ("DAD, one segment of 256 MiB, 60 wavelengths",
            lambda: _file(_dad(w.spectrum_block(efficient_dad_segment(LARGE // 4))))),
    "dad_four": ("DAD, four segments of 256 MiB, 60 wavelengths",
                 lambda: _file(_dad(w.spectrum_block(*[efficient_dad_segment(LARGE // 4)] * 4)))),
    "dad_held": ("DAD, one segment of 16 MiB",
                 lambda: _file(_dad(w.spectrum_block(efficient_dad_segment(HELD // 4))))),
    "quan": ("quantitative, one segment of 256 MiB",
             lambda: _file(_quan(w.chromatogram_block(efficient_chromatogram_segment(LARGE // 8))))),
    "quan_held": ("quantitative, one segment of 16 MiB",
                  lambda: _file(_quan(w.chromatogram_block(efficient_chromatogram_segment(HELD // 8))))),
    "over_limit": ("MS, a frame of 1.25 GiB that declares no size",
                   lambda: _file(_ms(w.spectrum_block(efficient_ms_segment(OVER_LIMIT // 8, declared=False))))),
}


def write_files(folder, names=None):
    """Writes the files (all, or those named) into `folder`; returns
    {name: path}."""
    paths = {}
    for name in names or FILES:
        path = os.path.join(folder, name + ".zarn")
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(FILES[name][1]())
        paths[name] = path
    return paths


# name: (what it is, the analysis it takes, the code of the call). The code
# sees `z` (the ZarnFile), `a` (the analysis), `reader` and `position` (the
# reader and the first spectrum's block position, or the chromatogram's).
CALLS = {
    "xic": ("get_xic", "qual", "a.get_xic(ChromatogramFilterOption(c, ValueRange(100.0, 200.0)))"),
    "multiple_xic": ("get_multiple_xic", "qual",
                     "a.get_multiple_xic([ChromatogramFilterOption(c, ValueRange(100.0, 200.0)),"
                     " ChromatogramFilterOption(c, ValueRange(-1.0, 1.0))])"),
    "tic": ("get_tic", "qual", "a.get_tic(c)"),
    "points": ("get_spectrum_points", "qual", "a.get_spectrum(0).get_spectrum_points()"),
    "spectrum_str": ("str() of a Spectrum", "qual", "(s := a.get_spectrum(0), str(s))[1]"),
    "read_spectrum": ("reader read_spectrum", "qual",
                      "(reader._KxmFileReader__set_buffer(position), reader._KxmFileReader__read_spectrum())[1]"),
    "dad_chromatogram": ("get_chromatogram", "dad", "a.get_chromatogram(ValueRange(210.0, 230.0))"),
    "max_plot": ("get_max_plot", "dad", "a.get_max_plot(ValueRange(210.0, 230.0), 4.0)"),
    "dad_points": ("DAD get_spectrum_points", "dad", "a.get_spectrum(0).get_spectrum_points()"),
    "dad_intensities": ("reader get_dad_intensities", "dad",
                        "(reader._KxmFileReader__set_buffer(position + 3),"
                        " reader._KxmFileReader__get_dad_intensities())[1]"),
    "quan": ("get_quan_analysis", "quan", "m.get_quan_analysis(0)"),
    # The fuzz walk (fuzz/walk.py) of the whole file, which it opens itself.
    "walk": ("the fuzz walk", "walk", "walk.walk(path)"),
}

FUZZ = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "fuzz")

_CHILD = r"""
import json, resource, sys

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no " + key + " in /proc/self/status")

from zarn_data_access.access import ZarnFile
from zarn_data_access.common import ValueRange
from zarn_data_access.qual import ChromatogramFilterOption

path, kind, code, cap = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
z = reader = m = a = c = position = None
if kind == "walk":
    sys.path.insert(0, sys.argv[5])
    import walk
else:
    z = ZarnFile(path)
    reader = z._ZarnFile__reader
    m = z.get_measurement(0)
if kind == "qual":
    a = m.get_qual_analysis(0)
    c = a.unique_acquisition_conditions[0]
elif kind == "dad":
    a = m.get_dad_analysis(0)
if kind in ("qual", "dad"):
    index = (a._QualAnalysis__spectrum_index_list if kind == "qual" else a._DADAnalysis__spectrum_index_list)[0]
    position = index._SpectrumIndex__position
compile(code, "<call>", "eval")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS")
if cap:
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + cap, resource.RLIM_INFINITY))
outcome = {}
try:
    result = eval(code)
    outcome["result"] = len(result) if isinstance(result, (list, str)) else type(result).__name__
except BaseException as e:
    result = None
    outcome["error"] = [type(e).__name__, str(e)]
peak = status("VmHWM")
held = status("VmRSS")
outcome.update(peak=peak - base, held=held - base)
print(json.dumps(outcome))
"""


def measure(path, call, cap=0, env=None):
    """Runs CALLS[call] on the file at `path` in a child interpreter, with
    its address space capped at `cap` bytes beyond what it has mapped before
    the call (0: no cap); returns the child's report: `peak` and `held`
    (bytes of resident memory above the state before the call, at the peak
    and after it with the result alive) and `result` (the length of a list
    or text, else its type's name) or `error` ([type name, message])."""
    _, kind, code = CALLS[call]
    run = subprocess.run([sys.executable, "-c", _CHILD, path, kind, code, str(cap), FUZZ], capture_output=True,
                         text=True, env=env, timeout=600)
    if run.returncode != 0 or not run.stdout.strip():
        raise RuntimeError(f"the child measuring {call} on {path} failed ({run.returncode}):\n{run.stderr}")
    return json.loads(run.stdout.strip().splitlines()[-1])

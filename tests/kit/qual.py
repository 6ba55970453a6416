"""Helpers of the qualitative-analysis tests: functions laid out by the
writer, opened as the access module opens them (a FunctionIndex read at the
function description, then the analysis's class factory)."""

import zarnwriter as w
from zarn_data_access import qual as Q
from zarn_data_access._internal import _index as I


def ms_block(points):
    """An MS spectrum block of (m/z, intensity) pairs, stored as doubles."""
    return w.spectrum_block(w.spectrum_double([x for x, _ in points], [y for _, y in points]))


def dad_block(intensities):
    """A DAD spectrum block of binary32 intensities."""
    return w.spectrum_block(w.dad_plain(list(intensities)))


def open_function(make_reader, spectra, qual=b"", version=(3, 6, 0), **layout):
    """Writes a qualitative function (its description `qual`, the nested
    qualitative description's bytes) with its spectra; returns the laid-out
    function and its FunctionIndex."""
    lead = w.function_description(True, qual)
    function = w.qual_function(spectra, lead=lead, **layout)
    reader = make_reader(function.data)
    reader._KxmFileReader__set_version(*version)
    function_index = I.FunctionIndex._FunctionIndex__create_instance(reader, function.block_position)
    return function, function_index


def qual_analysis(make_reader, spectra, qual=None, index=0, **layout):
    """A QualAnalysis over `spectra` ((description bytes, data block bytes))."""
    qual = w.qual_description(detector_type=1) if qual is None else qual
    _, function_index = open_function(make_reader, spectra, qual, **layout)
    return Q.QualAnalysis._QualAnalysis__create_instance(function_index, index)


def dad_analysis(make_reader, spectra, wavelengths=None, index=0, **layout):
    """A DADAnalysis over `spectra`; `wavelengths` is the function's axis."""
    fields = {"detector_type": 2}
    if wavelengths is not None:
        fields["wavelength_arr"] = wavelengths
    _, function_index = open_function(make_reader, spectra, w.qual_description(**fields), **layout)
    return Q.DADAnalysis._DADAnalysis__create_instance(function_index, index)


def spectrum(rt=None, points=(), **fields):
    """One MS spectrum: its description (with retention time `rt`) and block."""
    if rt is not None:
        fields["retention_time"] = rt
    return w.spectrum_description(**fields), ms_block(points)


def chromatogram(points):
    """Typed (index, retention time, intensity, x) of each point."""
    return [tuple((type(v), v) for v in (p.index, p.retention_time, p.intensity, p.x)) for p in points]


def typed(*values):
    return tuple((type(v), v) for v in values)


def shared_block_file(path, count, points, version=(3, 6, 0)):
    """`count` MS1 spectra 1 ms apart that share one compressed block of
    `points` points: a long walk in a small file; its path as text."""
    block = w.spectrum_block(w.spectrum_zstd([100.0 + 0.01 * j for j in range(points)],
                                             [float(j % 50 + 1) for j in range(points)]))
    # Offsets count from the byte after each index block's begin symbol.
    body = block + w.spectrum_index_block(
        [(-(len(block) + 2), w.spectrum_description(retention_time=0.001 * k, ms_level=1, polarity=1,
                                                     version=version)) for k in range(count)])
    at = len(body)
    body += w.function_index_block([(len(block) - (at + 2),
                                     w.function_description(True, w.qual_description(detector_type=1)))])
    path.write_bytes(w.zarn_file(version, [(len(w.header(version)) + at, w.measurement_description("m0"))],
                                 body=body))
    return str(path)

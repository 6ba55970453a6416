"""Caller code that runs while a spectrum is being decoded (an m/z bound's
own comparison, a sink of a range-limited read) may read other spectra of
the same file: the decode it interrupts keeps its own bytes and position,
so the result is the one a plain scan over the points gives."""

import pytest

import zarnwriter as w
from kit.qual import qual_analysis
from zarn_data_access import qual as Q
from zarn_data_access.common import ValueRange

SPECTRA = 12


def segment_of(kind, mz, intensity):
    if kind == "plain":
        return w.spectrum_plain(mz, intensity)
    if kind == "double":
        return w.spectrum_double(mz, intensity)
    return w.spectrum_zstd(mz, intensity)


def spectra_of(kind, points, big=()):
    """SPECTRA spectra of `points` points each (those listed in `big` of
    600,000, whose content is above 4 MiB), in two segments of `kind`."""
    out = []
    for k in range(SPECTRA):
        n = 600_000 if k in big else points
        mz = [100.0 + 0.25 * j for j in range(n)]
        intensity = [float((7 * j + 3 * k) % 97 + 1) for j in range(n)]
        half = n // 2
        block = w.spectrum_block(segment_of(kind, mz[:half], intensity[:half]),
                                 segment_of(kind, mz[half:], intensity[half:]))
        out.append((w.spectrum_description(retention_time=float(k + 1)), block))
    return out


def expected_sums(spectra_points, low, high):
    return [sum(p.intensity for p in points if low <= p.x <= high) for points in spectra_points]


CASES = [
    pytest.param("zstd", 400, (), id="small-compressed"),
    pytest.param("zstd", 400, (0, 5), id="compressed-above-4MiB"),
    pytest.param("plain", 400, (), id="uncompressed"),
    pytest.param("double", 400, (3,), id="compressed-double"),
]


@pytest.mark.parametrize("kind, points, big", CASES)
def test_a_bound_that_reads_other_spectra_while_a_spectrum_decodes(make_reader, kind, points, big):
    spectra = spectra_of(kind, points, big)
    truth = qual_analysis(make_reader, spectra)
    spectra_points = [truth.get_spectrum(i).get_spectrum_points() for i in range(SPECTRA)]
    low, high = 110.0, 150.0
    expected = expected_sums(spectra_points, low, high)

    analysis = qual_analysis(make_reader, spectra)
    reads = []

    class Bound(float):
        # The first comparisons each read the next spectrum of the same
        # analysis, every spectrum twice over.
        def __gt__(self, other):
            if len(reads) < 2 * SPECTRA:
                reads.append(len(analysis.get_spectrum(len(reads) % SPECTRA).get_spectrum_points()))
            return float(self) > other

    condition = analysis.unique_acquisition_conditions[0]
    option = Q.ChromatogramFilterOption(condition, ValueRange(Bound(low), high))
    result = analysis.get_xic(option)
    assert [p.intensity for p in result] == expected
    assert reads == [len(p) for p in spectra_points] * 2
    # The spectra read inside the comparisons are whole.
    assert [len(analysis.get_spectrum(i).get_spectrum_points()) for i in range(SPECTRA)] == \
        [len(p) for p in spectra_points]

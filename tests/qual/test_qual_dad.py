"""DADAnalysis: DAD spectra over the function's wavelength axis (or MS
blocks without one), the chromatogram averaged over a wavelength band and
the max plot."""

import pytest

import zarnwriter as w
from kit.qual import chromatogram, dad_analysis, dad_block, ms_block, typed
from zarn_data_access import qual as Q
from zarn_data_access.common import ValueRange
from zarn_data_access.exception import ZarnException

AXIS = [200.0, 210.0, 220.0]
PEAK = [1.0, 6.0, 1.0]


def analysis_of(make_reader, pairs, with_axis, times=None):
    """A DAD analysis of spectra given as (wavelengths, intensities): over a
    stored axis (all spectra must share it) or as MS blocks."""
    times = times or [float(i + 1) for i in range(len(pairs))]
    spectra = []
    for t, (xs, ys) in zip(times, pairs):
        fields = {} if t is None else {"retention_time": t}
        spectra.append((w.spectrum_description(**fields), dad_block(ys) if with_axis else ms_block(list(zip(xs, ys)))))
    axis = pairs[0][0] if with_axis and pairs else None
    return dad_analysis(make_reader, spectra, wavelengths=axis)


@pytest.fixture(params=[True, False], ids=["axis", "ms-blocks"])
def with_axis(request):
    return request.param


# --- the analysis and its spectra -----------------------------------------------------------

def test_dad_analysis(make_reader):
    spectra = [(w.spectrum_description(retention_time=1.0), dad_block([1.0, 2.0, 3.0, 4.0])),
               (w.spectrum_description(retention_time=2.0), dad_block([5.0])),
               (w.spectrum_description(), w.spectrum_block())]
    analysis = dad_analysis(make_reader, spectra, wavelengths=AXIS, index=1)
    assert str(analysis) == repr(analysis) == "[1] 3 spectra"
    assert analysis.get_spectra_count() == 3 and analysis.index == 1
    assert analysis.supplemental_properties == {}
    first = analysis.get_spectrum(0)
    assert type(first) is Q.DADSpectrum and first.index == 0 and first.retention_time == 1.0
    assert first._DADSpectrum__wavelength_arr == AXIS
    points = first.get_spectrum_points()
    assert [typed(p.x, p.intensity) for p in points] == [typed(200.0, 1.0), typed(210.0, 2.0), typed(220.0, 3.0)]
    assert first.get_spectrum_points() is points and str(first) == "[0] 3 points"
    assert [typed(p.x, p.intensity) for p in analysis.get_spectrum(1).get_spectrum_points()] == [
        typed(200.0, 5.0), typed(210.0, 0), typed(220.0, 0)]
    assert [p.intensity for p in analysis.get_spectrum(2).get_spectrum_points()] == [0, 0, 0]
    assert analysis.get_spectrum(2).supplemental_properties == {}
    for index in (-1, 3):
        with pytest.raises(Exception, match="^Index out of range$"):
            analysis.get_spectrum(index)


def test_dad_spectrum_without_an_axis_reads_ms_blocks(make_reader):
    analysis = dad_analysis(make_reader, [(w.spectrum_description(), ms_block([(254.0, 3.0), (255.0, 4.0)]))])
    s = analysis.get_spectrum(0)
    assert s._DADSpectrum__wavelength_arr is None
    assert [(p.x, p.intensity) for p in s.get_spectrum_points()] == [(254.0, 3.0), (255.0, 4.0)]


def test_dad_spectrum_over_an_empty_axis(make_reader):
    block = dad_block([1.0]) + w.TRUE
    analysis = dad_analysis(make_reader, [(w.spectrum_description(), block)], wavelengths=[])
    s = analysis.get_spectrum(0)
    assert s.get_spectrum_points() == [] and str(s) == "[0] 0 points"
    # The block was read through to its end symbol.
    reader = analysis._DADAnalysis__reader
    assert reader._KxmFileReader__read_bool() is True


def test_dad_nearest_spectrum(make_reader):
    spectra = [(w.spectrum_description(retention_time=t), dad_block([1.0])) for t in (1.0, 3.0, 5.0)]
    analysis = dad_analysis(make_reader, spectra, wavelengths=[200.0])
    assert analysis.find_nearest_spectrum(2.0).index == 0
    assert analysis.find_nearest_spectrum(retention_time=4.5).index == 2
    assert type(analysis.find_nearest_spectrum(9)) is Q.DADSpectrum
    empty = dad_analysis(make_reader, [(w.spectrum_description(), dad_block([]))])
    with pytest.raises(Exception, match="^No spectrum has retention time information.$"):
        empty.find_nearest_spectrum(1.0)


def test_an_empty_dad_analysis(make_reader):
    analysis = dad_analysis(make_reader, [])
    assert str(analysis) == "[0] 0 spectra"
    # The band is not looked at without spectra.
    assert analysis.get_chromatogram(object()) == []
    with pytest.raises(Exception, match="^No spectrum has retention time information.$"):
        analysis.find_nearest_spectrum(1.0)
    # The max plot widens the band before the first spectrum.
    assert analysis.get_max_plot(ValueRange(1, 2), 0.5) == []
    with pytest.raises(AttributeError):
        analysis.get_max_plot(object(), 0.5)


# --- DAD chromatogram ----------------------------------------------------------------------

@pytest.mark.parametrize("band, intensity, x", [
    ((200, 220), 3.5, 210.0),
    ((205, 215), 4.75, 210.0),
    ((202, 208), 3.5, 208.0),
    ((205, 205), 3.5, 205.0),
    ((210, 210), 6.0, 210.0),
    ((190, 215), 58.75 / 15, 210.0),
    ((205, 230), 58.75 / 15, 210.0),
    ((210, 220), 3.5, 210.0),
    ((220, 220), 1.0, 220.0),
    ((221, 230), 0.0, -1.0),
    ((100, 199.9), 0.0, -1.0),
    # A band that touches only the first or the last wavelength gives that
    # point's intensity there.
    ((190, 200), 1.0, 200.0),
    ((200, 200), 1.0, 200.0),
    ((220, 230), 1.0, 220.0),
])
def test_band_average(make_reader, with_axis, band, intensity, x):
    analysis = analysis_of(make_reader, [(AXIS, PEAK)], with_axis)
    result = analysis.get_chromatogram(ValueRange(*band))
    assert chromatogram(result) == [typed(0, 1.0, intensity, x)]


@pytest.mark.parametrize("xs, ys, band, intensity, x", [
    ([200.0, 210.0], [2.0, 2.0], (204, 206), 2.0, 205.0),
    ([205.0], [5.0], (190, 210), 5.0, 205.0),
    ([], [], (190, 210), 0.0, -1.0),
    # Repeated and descending wavelengths divide by no width of zero or less.
    ([200.0, 200.0], [1.0, 3.0], (190, 210), 3.0, 200.0),
    ([200.0, 200.0, 210.0], [1.0, 3.0, 5.0], (190, 220), 4.0, 210.0),
    ([210.0, 200.0], [1.0, 3.0], (190, 220), 3.0, 200.0),
    ([200.0, 210.0, 200.0], [1.0, 6.0, 1.0], (190, 220), 1.0, 210.0),
])
def test_band_average_edge_cases(make_reader, xs, ys, band, intensity, x):
    analysis = analysis_of(make_reader, [(xs, ys)], with_axis=False)
    assert chromatogram(analysis.get_chromatogram(ValueRange(*band))) == [typed(0, 1.0, intensity, x)]


def test_band_average_keeps_an_integer_intensity(make_reader):
    spectra = [(w.spectrum_description(retention_time=1.0), w.spectrum_block(w.dad_efficient(0, [7]))),
               (w.spectrum_description(retention_time=2.0), w.spectrum_block(w.dad_efficient(0, [1, 6, 1])))]
    result = dad_analysis(make_reader, spectra, wavelengths=[200.0]).get_chromatogram(ValueRange(190, 210))
    assert chromatogram(result) == [typed(0, 1.0, 7, 200.0), typed(1, 2.0, 1, 200.0)]
    result = dad_analysis(make_reader, spectra[1:], wavelengths=AXIS).get_chromatogram(ValueRange(200, 220))
    assert chromatogram(result) == [typed(0, 2.0, 3.5, 210.0)]


def test_chromatogram_skips_spectra_without_time(make_reader, with_axis):
    analysis = analysis_of(make_reader, [(AXIS, PEAK), (AXIS, [2.0, 2.0, 2.0]), (AXIS, PEAK)], with_axis,
                           times=[1.0, None, 3.0])
    result = analysis.get_chromatogram(ValueRange(200, 220))
    assert chromatogram(result) == [typed(0, 1.0, 3.5, 210.0), typed(2, 3.0, 3.5, 210.0)]


def test_chromatogram_band_read_after_the_first_spectrum(make_reader):
    spectra = [(w.spectrum_description(retention_time=1.0), w.symbol(w.END_OF_SPECTRUM))]
    analysis = dad_analysis(make_reader, spectra, wavelengths=AXIS)
    with pytest.raises(ZarnException, match="^Zarn symbol error$"):
        analysis.get_chromatogram(object())
    good = analysis_of(make_reader, [(AXIS, PEAK)], True)
    with pytest.raises(AttributeError):
        good.get_chromatogram(object())
    with pytest.raises(TypeError):
        good.get_chromatogram(ValueRange(None, 1))


def test_positions_outside_the_file(make_reader):
    spectra = [(w.spectrum_description(retention_time=1.0), dad_block(PEAK))]
    analysis = dad_analysis(make_reader, spectra, wavelengths=AXIS, offsets=[10**9])
    for call in (lambda: analysis.get_chromatogram(ValueRange(1, 2)),
                 lambda: analysis.get_max_plot(ValueRange(1, 2), 1),
                 lambda: analysis.get_spectrum(0).get_spectrum_points()):
        with pytest.raises(ZarnException, match="^Spectrum position .* lies outside the file$"):
            call()


# Intensities beyond the axis are checked as the ones it uses are: a damaged
# segment after the axis is covered fails every read of the spectrum.
@pytest.mark.parametrize("surplus, error", [
    (w.dad_plain([1.0], num_points=2), "unpack requires"),
    (w.dad_efficient(0, [1], num_points=2), "index out of range"),
    (w.dad_plain([1.0], num_points=-1), "^Unable to read current spectrum$"),
    (w.compressed(w.DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION, w.dad_efficient_content(4, [1], wide=False)),
     "^Spectrum Intensity option is not correct. Value = 4$"),
    (w.spectrum_plain([1.0], [1.0]), "^Unable to read current spectrum$"),
    (w.symbol(w.DAD_INTENSITIES_INSTEAD_OF_SPECTRUM) + w.compressed_segment(frame=b"\x28\xb5\x2f\xfd junk"),
     "Zstandard decompression failed"),
], ids=["plain-short", "packed-short", "negative-count", "option", "ms-segment", "frame"])
def test_intensities_beyond_the_axis_are_checked(make_reader, surplus, error):
    good = w.spectrum_block(w.dad_plain([1.0, 6.0, 1.0, 9.0]), w.dad_efficient(0, [4, 5]))
    bad = w.spectrum_block(w.dad_plain([1.0, 6.0, 1.0, 9.0]), surplus)
    spectra = [(w.spectrum_description(retention_time=1.0), good), (w.spectrum_description(retention_time=2.0), bad)]
    analysis = dad_analysis(make_reader, spectra, wavelengths=AXIS)
    assert [p.intensity for p in analysis.get_spectrum(0).get_spectrum_points()] == [1.0, 6.0, 1.0]
    for call in (lambda: analysis.get_spectrum(1).get_spectrum_points(),
                 lambda: analysis.get_chromatogram(ValueRange(200, 220)),
                 lambda: analysis.get_max_plot(ValueRange(201, 219), 1.0)):
        with pytest.raises(Exception, match=error):
            call()


# --- max plot -----------------------------------------------------------------------------

MAX_AXIS = [200.0, 202.0, 204.0, 206.0]
MAX_PEAKS = [1.0, 5.0, 3.0, 5.0]


@pytest.mark.parametrize("band, tolerance, intensity, x", [
    ((201, 205), 2, 3.0, 202.0),
    ((201, 207), 0, 5.0, 202.0),
    ((199, 201), 0.5, 1.0, 200.0),
    # Points in the tolerance margin only: no point in the band.
    ((207, 210), 1.0, 0, -1),
    # A negative tolerance empties the window.
    ((201, 205), -1, 0, 202.0),
])
def test_max_plot(make_reader, with_axis, band, tolerance, intensity, x):
    analysis = analysis_of(make_reader, [(MAX_AXIS, MAX_PEAKS)], with_axis)
    result = analysis.get_max_plot(ValueRange(*band), tolerance)
    assert chromatogram(result) == [typed(0, 1.0, intensity, x)]


def test_max_plot_of_several_spectra(make_reader, with_axis):
    analysis = analysis_of(make_reader, [(MAX_AXIS, MAX_PEAKS), (MAX_AXIS, [9.0, 1.0, 1.0, 1.0]),
                                         (MAX_AXIS, MAX_PEAKS)], with_axis, times=[1.0, 2.0, None])
    result = analysis.get_max_plot(extract_wavelength_range=ValueRange(201, 205), wavelength_tolerance=2.0)
    assert chromatogram(result) == [typed(0, 1.0, 3.0, 202.0), typed(1, 2.0, 11.0 / 3, 202.0)]


def test_max_plot_tolerance_must_be_a_number(make_reader):
    spectra = [(w.spectrum_description(retention_time=1.0), w.symbol(w.END_OF_SPECTRUM))]
    analysis = dad_analysis(make_reader, spectra, wavelengths=AXIS)
    with pytest.raises(TypeError):
        analysis.get_max_plot(ValueRange(1, 2), None)
    with pytest.raises(ZarnException):
        analysis.get_max_plot(ValueRange(1, 2), "0.5")

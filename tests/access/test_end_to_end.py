"""The whole reading road through the public API alone: writer-made files
with several measurements and every kind of analysis, in several format
versions, small and beyond the reader's first window."""

import datetime

import pytest

import zarnwriter as w
from zarn_data_access.access import ZarnFile
from zarn_data_access.common import PolarityTypes, QuanAnalysisTypes, ValueRange
from zarn_data_access.qual import ChromatogramFilterOption, DADAnalysis, QualAnalysis

SRM, SIM = QuanAnalysisTypes.SRM, QuanAnalysisTypes.SIM
VERSIONS = [(3, 0, 0), (3, 2, 5), (3, 3, 0), (3, 5, 1), (3, 6, 0), (3, 6, 7)]
WHEN = datetime.datetime(2023, 11, 2, 14, 30, 5)

# Traces, in values that binary32 holds exactly.
SRM_TRACE = ([0.5, 1.0, 1.5], [10.0, 250.0, 40.0])
ANALOG_TRACE = ([0.25, 0.75], [100.0, 101.5])


def at_least(version, minor):
    return version[0] > 3 or (version[0] == 3 and version[1] >= minor)


def functions(version):
    """(function description record, data) of every kind."""
    def quan(**fields):
        return w.function_description(False, w.quan_description(version=version, **fields))

    def qual(**fields):
        return w.function_description(True, w.qual_description(**fields))

    ms_spectra = [(w.spectrum_description(retention_time=0.5 * (k + 1), ms_level=1, polarity=1,
                                          totals=(100.0 * (k + 1), 300.5, 50.0), version=version),
                   w.spectrum_block(w.spectrum_plain([100.5, 300.5], [10.0 * (k + 1), 50.0])))
                  for k in range(3)]
    dad_spectra = [(w.spectrum_description(retention_time=0.5 * (k + 1), version=version),
                    w.spectrum_block(w.dad_plain([1.0 + k, 2.0, 3.0])))
                   for k in range(2)]
    return dict(
        ms=(qual(detector_type=1, supplemental_properties={"Scan": "full"}), ms_spectra),
        dad=(qual(detector_type=2, wavelength_arr=[200.0, 210.0, 220.0]), dad_spectra),
        srm=(quan(compound_name="Caffeine", q1=195.1, q3=138.0, quan_analysis_type=SRM, detector_type=1,
                  polarity_type=1, collision_energy=20.0, supplemental_properties={"Unit": "ng/mL"}),
             w.chromatogram_block(w.chromatogram_plain(*SRM_TRACE))),
        sim=(quan(compound_name="Theophylline", extract_value=181.1, extract_tolerance=0.5,
                  quan_analysis_type=SIM, detector_type=1),
             w.chromatogram_block(w.chromatogram_efficient(0, [50, 50, 50], [1, 2, 3], rt_power=2))),
        analog=(quan(compound_name="Pump A", detector_type=3),
                w.chromatogram_block(w.chromatogram_zstd(*ANALOG_TRACE))),
    )


def sample_file(version, lead=b""):
    f = functions(version)
    measurements = [
        (w.measurement_description("m0", sample_name="Plasma 1", sample_id="P-1", measurement_date_time=WHEN,
                                   supplemental_properties={"Batch": "7"}),
         [f["dad"], f["ms"], f["srm"], f["analog"], f["sim"], f["ms"]]),
        (w.measurement_description("m1", sample_name="Blank"), [f["analog"], f["srm"]]),
        (w.measurement_description("m2"), []),
    ]
    options = dict(option=1, user_info=b"user") if at_least(version, 1) else {}
    return w.measurement_file(version, measurements, lead=lead, lib_version=(2, 0, 1), **options)


def points(chromatogram):
    return [(p.retention_time, p.intensity) for p in chromatogram]


def based(chromatogram):
    return [(p.index, p.retention_time, p.intensity, p.x) for p in chromatogram]


def spectrum(points_list):
    return [(p.x, p.intensity) for p in points_list]


def check_sample(handle, version):
    assert handle.get_file_format_version() == "%d.%d.%d" % version
    assert handle.get_converter_version() == ("2.0.1" if at_least(version, 3) else "0.0.0")
    assert handle.get_measurement_count() == 3
    m0, m1, m2 = (handle.get_measurement(i) for i in range(3))
    assert [str(m) for m in (m0, m1, m2)] == [
        "[Sample Name] Plasma 1, [Sample ID] P-1, [#Qual] 2, [#Quan] 2, [#DAD] 1, [#Analog] 1",
        "[Sample Name] Blank, [#Qual] 0, [#Quan] 1, [#DAD] 0, [#Analog] 1",
        "[#Qual] 0, [#Quan] 0, [#DAD] 0, [#Analog] 0"]
    assert (m0.hash, m0.measurement_date_time, m0.supplemental_properties, m2.sample_name) == (
        "m0", WHEN, {"Batch": "7"}, None)

    # The two MS analyses of the first measurement: the same spectra, each
    # read from its own place.
    for index in (0, 1):
        ms = m0.get_qual_analysis(index)
        assert type(ms) is QualAnalysis and str(ms) == f"[{index}] 3 spectra, 1 spectrum conditions"
        assert ms.supplemental_properties == {"Scan": "full"}
        second = ms.get_spectrum(1)
        assert (second.index, second.retention_time) == (1, 1.0)
        assert spectrum(second.get_spectrum_points()) == [(100.5, 20.0), (300.5, 50.0)]
        condition = ms.unique_acquisition_conditions[0]
        assert (condition.ms_level, condition.polarity) == (1, PolarityTypes.POSITIVE)
        assert based(ms.get_tic(condition)) == [(0, 0.5, 100.0, 300.5), (1, 1.0, 200.0, 300.5),
                                                (2, 1.5, 300.0, 300.5)]
        assert [p.intensity for p in ms.get_bpc(condition, ValueRange(0.9, 2.0))] == [50.0, 50.0]
        assert based(ms.get_xic(ChromatogramFilterOption(condition, ValueRange(100.0, 101.0)))) == [
            (0, 0.5, 10.0, 100.5), (1, 1.0, 20.0, 100.5), (2, 1.5, 30.0, 100.5)]
        low, high = ms.get_multiple_xic([
            ChromatogramFilterOption(condition, ValueRange(100.0, 101.0), ValueRange(1.2, 2.0)),
            ChromatogramFilterOption(condition, ValueRange(0.0, 1000.0))])
        assert (based(low), [p.intensity for p in high]) == ([(2, 1.5, 30.0, 100.5)], [60.0, 70.0, 80.0])
        assert ms.find_nearest_spectrum(condition, 1.2).index == 1
    dad = m0.get_dad_analysis(0)
    assert type(dad) is DADAnalysis and str(dad) == "[0] 2 spectra"
    assert spectrum(dad.get_spectrum(1).get_spectrum_points()) == [(200.0, 2.0), (210.0, 2.0), (220.0, 3.0)]
    assert based(dad.get_chromatogram(ValueRange(205.0, 215.0))) == [(0, 0.5, 2.0, 215.0),
                                                                     (1, 1.0, 2.125, 215.0)]

    srm, sim = m0.get_quan_analysis(0), m0.get_quan_analysis(1)
    assert (str(srm), str(sim)) == ("[0] SRM, Caffeine, 195.1 > 138.0", "[1] SIM, Theophylline, 181.1 +/- 0.5")
    assert points(srm.chromatogram_points) == list(zip(*SRM_TRACE))
    assert points(sim.chromatogram_points) == [(0.5, 1), (1.0, 2), (1.5, 3)]
    assert (srm.polarity, srm.collision_energy, srm.supplemental_properties) == (
        PolarityTypes.POSITIVE, 20.0, {"Unit": "ng/mL"})
    analog = m0.get_analog_analysis(0)
    assert (str(analog), points(analog.chromatogram_points)) == ("[0] Pump A", list(zip(*ANALOG_TRACE)))
    # The second measurement's functions have their own data.
    assert points(m1.get_quan_analysis(0).chromatogram_points) == list(zip(*SRM_TRACE))
    assert m1.get_analog_analysis(0).description == "Pump A"
    for getter in (m2.get_qual_analysis, m2.get_dad_analysis, m2.get_quan_analysis, m2.get_analog_analysis):
        with pytest.raises(Exception, match="^Index out of range$"):
            getter(0)


@pytest.mark.parametrize("version", VERSIONS, ids=lambda v: "%d.%d.%d" % v)
def test_every_analysis_of_every_measurement(write, version):
    with ZarnFile(write(sample_file(version))) as handle:
        check_sample(handle, version)


@pytest.mark.large_file
@pytest.mark.parametrize("version", [(3, 2, 0), (3, 6, 0)], ids=lambda v: "%d.%d.%d" % v)
def test_a_file_beyond_the_first_window(write, version):
    with ZarnFile(write(sample_file(version, lead=bytes(3 * w.WINDOW)))) as handle:
        check_sample(handle, version)


def test_closing_mid_walk(write):
    handle = ZarnFile(write(sample_file((3, 6, 0))))
    m0 = handle.get_measurement(0)
    srm = m0.get_quan_analysis(0)
    ms = m0.get_qual_analysis(0)
    first = ms.get_spectrum(0)
    first.get_spectrum_points()
    condition = ms.unique_acquisition_conditions[0]
    with handle:
        pass
    # What was read stays readable; what needs the file fails with the
    # closed stream's own error.
    assert str(srm) == "[0] SRM, Caffeine, 195.1 > 138.0" and len(srm.chromatogram_points) == 3
    assert (m0.sample_name, m0.get_dad_analysis_count()) == ("Plasma 1", 1)
    assert len(first.get_spectrum_points()) == 2 and len(ms.get_tic(condition)) == 3
    for call in (lambda: handle.get_measurement(1), lambda: m0.get_quan_analysis(1),
                 lambda: m0.get_analog_analysis(0), lambda: m0.get_qual_analysis(0),
                 lambda: m0.get_dad_analysis(0), lambda: ms.get_spectrum(1).get_spectrum_points(),
                 lambda: ms.get_xic(ChromatogramFilterOption(condition, ValueRange(0.0, 1000.0)))):
        with pytest.raises(ValueError, match="closed file"):
            call()
    with pytest.raises(Exception, match="^Index out of range$"):
        m0.get_analog_analysis(1)

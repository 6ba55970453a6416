"""The typed usage of the public API (typed_usage.py, which mypy --strict
checks in `./dev test`) runs on a file of every kind of analysis and reads
what its annotations say."""

from typed_usage import walk

import zarnwriter as w
from zarn_data_access.common import AnalysisTypes, PolarityTypes, QuanAnalysisTypes, SpectrumPoint, SpectrumTypes


def sample_file():
    def qual(**fields):
        return w.function_description(True, w.qual_description(**fields))

    def quan(**fields):
        return w.function_description(False, w.quan_description(**fields))

    ms_spectra = [(w.spectrum_description(retention_time=0.5 * k, ms_level=1, polarity=1,
                                          totals=(10.0 * k, 100.5, 5.0)),
                   w.spectrum_block(w.spectrum_plain([100.5, 300.5], [10.0 * k, 50.0])))
                  for k in (1, 2)]
    dad_spectra = [(w.spectrum_description(retention_time=0.5 * k), w.spectrum_block(w.dad_plain([1.0, 2.0, 3.0])))
                   for k in (1, 2)]
    functions = [
        (qual(detector_type=1), ms_spectra),
        (qual(detector_type=2, wavelength_arr=[200.0, 210.0, 220.0]), dad_spectra),
        (quan(compound_name="Caffeine", q1=195.1, q3=138.0, quan_analysis_type=4, detector_type=1),
         w.chromatogram_block(w.chromatogram_plain([0.5, 1.0], [12.0, 480.0]))),
        (quan(compound_name="Pump A", detector_type=3), w.chromatogram_block(w.chromatogram_plain([0.5], [101.5]))),
    ]
    return w.measurement_file((3, 6, 0), [
        (w.measurement_description("m0", sample_name="Plasma 1", supplemental_properties={"Batch": "7"}), functions),
    ])


def test_the_typed_road_reads_what_its_annotations_say(tmp_path):
    path = tmp_path / "sample.zarn"
    path.write_bytes(sample_file())
    read = walk(str(path))
    assert {k: read[k] for k in ("count", "version", "sample_name", "dilution", "supplemental", "retention_time",
                                 "spectrum_type", "first_mz", "polarity", "collision_energy", "mass_range",
                                 "nearest", "xic_index", "xic_intensity", "quan_type", "q1", "label", "trace",
                                 "keep_profile", "desired")} == dict(
        count=1, version="3.6.0", sample_name="Plasma 1", dilution=None, supplemental={"Batch": "7"},
        retention_time=0.5, spectrum_type=SpectrumTypes.NA, first_mz=100.5, polarity=PolarityTypes.POSITIVE,
        collision_energy=None, mass_range=None, nearest=1, xic_index=0, xic_intensity=10.0,
        quan_type=QuanAnalysisTypes.SRM, q1=195.1, label="Pump A",
        trace=[(0.5, 12.0), (1.0, 480.0), (0.5, 101.5)], keep_profile=False,
        desired=AnalysisTypes.QUAL | AnalysisTypes.QUAN)
    assert [p.intensity for p in read["tic"]] == [10.0, 20.0]
    assert [[p.intensity for p in xic] for xic in read["xics"]] == [[10.0, 20.0], [60.0, 70.0]]
    assert [[p.intensity for p in xic] for xic in read["own"]] == [[50.0, 50.0]]
    assert read["dad_points"] == [SpectrumPoint(200.0, 1.0), SpectrumPoint(210.0, 2.0), SpectrumPoint(220.0, 3.0)]
    assert [p.retention_time for p in read["dad_chromatogram"]] == [0.5, 1.0]

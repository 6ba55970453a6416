"""The objects of an analysis's spectra (SpectrumIndex, description, public
condition), made only when something asks for them: the same object on
every path whatever the order of the requests, mutations of a made object
seen by the chromatograms, and the collector's view of the analysis."""

import gc

import pytest

import zarnwriter as w
from kit.qual import chromatogram, qual_analysis, spectrum
from zarn_data_access import qual as Q
from zarn_data_access.common import PolarityTypes, ValueRange

# MS1 and MS2 spectra of three conditions; spectrum 5 has no retention time.
SPECTRA = [
    spectrum(0.1, [(100.0, 1.0), (200.0, 2.0)], ms_level=1, mass_range=(100.0, 1500.0)),
    spectrum(0.2, [(100.0, 3.0)], ms_level=2, collision_energy=20.0, mass_range=(100.0, 1500.0)),
    spectrum(0.3, [(100.0, 4.0), (101.0, 5.0)], ms_level=2, collision_energy=20.0, mass_range=(100.0, 1500.0)),
    spectrum(0.4, [(100.0, 6.0)], ms_level=1, mass_range=(100.0, 1500.0)),
    spectrum(0.5, [(100.0, 7.0)], ms_level=2, collision_energy=10.0, mass_range=(100.0, 1500.0)),
    spectrum(None, [(100.0, 8.0)], ms_level=1, mass_range=(100.0, 1500.0)),
    spectrum(0.7, [(100.0, 9.0)], ms_level=2, collision_energy=20.0, mass_range=(100.0, 1500.0)),
]
STORED = w.qual_description(
    detector_type=1,
    unique_acquisition_core_condition_list=[w.core_condition(ms_level=1), w.core_condition(ms_level=2)],
    unique_acquisition_condition_list=[w.acquisition_condition(internal_acquisition_core_condition_index=k)
                                       for k in range(2)])


def stored_spectra():
    """SPECTRA with the stored condition positions of their MS levels."""
    return [spectrum(0.1 * (i + 1), [(100.0, float(i))], acquisition_condition_index=level - 1, ms_level=level)
            for i, level in enumerate([1, 2, 2, 1, 2])]


RETENTION_TIMES = [0.1, 0.2, 0.3, 0.4, 0.5, None, 0.7]


def index_of(analysis, i, path, conditions):
    """Spectrum i's SpectrumIndex, reached by one of the ways a caller has;
    `conditions` are equal conditions of the spectra from elsewhere."""
    if path == "get_spectrum":
        return analysis.get_spectrum(i)._Spectrum__spectrum_index
    if path == "list":
        return analysis._QualAnalysis__spectrum_index_list[i]
    assert path == "nearest"
    return analysis.find_nearest_spectrum(conditions[i], RETENTION_TIMES[i])._Spectrum__spectrum_index


def description(index):
    return index._SpectrumIndex__spectrum_description


def condition(index):
    return description(index)._InternalSpectrumDescription__acquisition_condition


def walks(analysis):
    """Every chromatogram of the analysis's conditions, as typed values."""
    out = []
    for c in analysis.unique_acquisition_conditions:
        out.append(chromatogram(analysis.get_tic(c)))
        out.append(chromatogram(analysis.get_bpc(c, ValueRange(0.15, 0.65))))
        out.append(chromatogram(analysis.get_xic(Q.ChromatogramFilterOption(c, ValueRange(99.0, 100.5)))))
        out.append(analysis.find_nearest_spectrum(c, 0.33).index)
    return out


# --- identity ---------------------------------------------------------------------------

@pytest.mark.parametrize("first", ["get_spectrum", "list", "nearest", "conditions", "walks"])
def test_each_spectrum_has_one_set_of_objects_whatever_asks_first(make_reader, first):
    other = qual_analysis(make_reader, SPECTRA)
    conditions = [other.get_spectrum(i).acquisition_condition for i in range(7)]
    analysis = qual_analysis(make_reader, SPECTRA)
    if first == "conditions":
        analysis.unique_acquisition_conditions
    elif first == "walks":
        walks(analysis)
    elif first != "list":
        index_of(analysis, 2, first, conditions)
    indexes = analysis._QualAnalysis__spectrum_index_list
    for path in ("get_spectrum", "list", "nearest"):
        for i in (0, 2, 6):
            again = index_of(analysis, i, path, conditions)
            assert again is indexes[i]
            assert description(again) is description(indexes[i])
            assert condition(again) is condition(indexes[i])
            assert analysis.get_spectrum(i).acquisition_condition is condition(indexes[i])
    assert analysis._QualAnalysis__spectrum_index_list == indexes
    # The list holds the condition of the first spectrum of each value, in
    # sorted order; later spectra of a value hold their own, equal objects.
    unique = analysis.unique_acquisition_conditions
    assert unique is analysis._QualAnalysis__unique_acquisition_conditions
    assert [str(c) for c in unique] == ["MS1, [Mass Range] 100.0 - 1500.0",
                                        "MS2, [Mass Range] 100.0 - 1500.0, [Collision Energy] 10.0",
                                        "MS2, [Mass Range] 100.0 - 1500.0, [Collision Energy] 20.0"]
    assert [unique[k] is condition(indexes[i]) for k, i in ((0, 0), (1, 4), (2, 1))] == [True] * 3
    assert condition(indexes[2]) == condition(indexes[1]) and condition(indexes[2]) is not condition(indexes[1])
    # The condition's mass range is its description's own range object.
    assert condition(indexes[3]).mass_range is description(indexes[3])._InternalSpectrumDescription__mass_range


def test_stored_conditions_are_the_lists_objects_whenever_made(make_reader):
    analysis = qual_analysis(make_reader, stored_spectra(), STORED)
    unique = analysis.unique_acquisition_conditions
    early = analysis.get_spectrum(1).acquisition_condition
    unique[1] = "replaced"  # the spectra keep the objects they were given
    walks_before = [chromatogram(analysis.get_tic(c)) for c in (early, analysis.get_spectrum(0).acquisition_condition)]
    assert [analysis.get_spectrum(i).acquisition_condition for i in range(5)] == \
        [analysis.get_spectrum(0).acquisition_condition, early, early, analysis.get_spectrum(0).acquisition_condition,
         early]
    assert analysis.get_spectrum(4).acquisition_condition is early
    assert [len(t) for t in walks_before] == [3, 2]


@pytest.mark.parametrize("made", ["none", "all", "some"])
def test_chromatograms_do_not_depend_on_which_spectra_were_made(make_reader, made):
    reference = walks(qual_analysis(make_reader, SPECTRA))
    analysis = qual_analysis(make_reader, SPECTRA)
    if made == "all":
        analysis._QualAnalysis__spectrum_index_list
    elif made == "some":
        before = [analysis.get_spectrum(i).acquisition_condition for i in (1, 5)]
    assert walks(analysis) == reference
    if made == "some":
        # Conditions made before and after the walks stay the objects they were.
        assert [analysis.get_spectrum(i).acquisition_condition for i in (1, 5)] == before
        assert all(analysis.get_spectrum(i).acquisition_condition is c for i, c in zip((1, 5), before))
    later = [analysis.get_spectrum(i).acquisition_condition for i in range(7)]
    assert [later[i] == later[j] for i, j in ((1, 2), (1, 6), (0, 3), (0, 5), (1, 4))] == [True] * 4 + [False]
    assert walks(analysis) == reference


# --- mutations of made objects ------------------------------------------------------------

def test_a_condition_set_on_a_description_is_the_one_the_chromatograms_see(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    ms1 = analysis.unique_acquisition_conditions[0]
    index = analysis.get_spectrum(1)._Spectrum__spectrum_index
    description(index)._InternalSpectrumDescription__acquisition_condition = ms1
    assert [p.index for p in analysis.get_tic(ms1)] == [0, 1, 3]
    assert [p.index for p in analysis.get_xic(Q.ChromatogramFilterOption(ms1, ValueRange(99.0, 101.0)))] == [0, 1, 3]
    description(index)._InternalSpectrumDescription__acquisition_condition = None
    assert [p.index for p in analysis.get_tic(analysis.unique_acquisition_conditions[2])] == [2, 6]


def test_a_changed_range_of_a_made_spectrum_changes_its_condition_only(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    ms2 = analysis.unique_acquisition_conditions[2]
    made = description(analysis.get_spectrum(2)._Spectrum__spectrum_index)
    mass_range = made._InternalSpectrumDescription__mass_range
    mass_range.min = 0.0
    assert analysis.get_spectrum(2).acquisition_condition.mass_range is mass_range
    assert [p.index for p in analysis.get_tic(ms2)] == [1, 6]
    assert [p.index for p in analysis.get_tic(analysis.get_spectrum(2).acquisition_condition)] == [2]


def test_keys_added_to_a_made_description_leave_its_condition(make_reader):
    analysis = qual_analysis(make_reader, [spectrum(0.1, [], cone_voltage=20.0), spectrum(0.2, [], cone_voltage=20.0)])
    made = analysis.get_spectrum(0)
    made.supplemental_properties["ConeVoltage"] = "20"
    assert made.acquisition_condition.additional_conditions == []
    assert [p.index for p in analysis.get_tic(analysis.get_spectrum(1).acquisition_condition)] == [0, 1]


# --- caller's conditions the interpreter must compare ---------------------------------------

def test_nan_values_of_conditions_compare_as_the_interpreter_compares_them(make_reader):
    nan = float("nan")
    analysis = qual_analysis(make_reader, [spectrum(0.1, [], ms_level=2, collision_energy=nan),
                                           spectrum(0.2, [], ms_level=2, collision_energy=nan),
                                           spectrum(0.3, [], ms_level=2, collision_energy=5.0),
                                           spectrum(0.4, [], mass_range=(nan, 10.0)),
                                           spectrum(0.5, [], mass_range=(nan, 10.0))])
    unique = analysis.unique_acquisition_conditions
    assert len(unique) == 5
    # A NaN energy equals nothing; a NaN bound of a range equals itself:
    # each spectrum's condition then equals only its own.
    assert [[p.index for p in analysis.get_tic(c)] for c in unique] == [[3], [4], [2], [], []]
    assert [str(c) for c in unique[::2]] == ["MS1, [Mass Range] nan - 10.0", "MS2, [Collision Energy] 5.0",
                                             "MS2, [Collision Energy] nan"]
    assert [[p.index for p in analysis.get_tic(analysis.get_spectrum(i).acquisition_condition)] for i in (4, 3)] == \
        [[4], [3]]


def test_caller_conditions_of_other_types_are_compared_by_the_interpreter(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    other = qual_analysis(make_reader, SPECTRA)
    # Built from another analysis's description, its range then given int
    # bounds: equal to the float bounds of the spectra.
    built = Q.AcquisitionCondition(description(other.get_spectrum(1)._Spectrum__spectrum_index))
    built.mass_range.min, built.mass_range.max = 100, 1500
    assert [p.index for p in analysis.get_tic(built)] == [1, 2, 6]
    assert [p.index for p in analysis.get_xic(Q.ChromatogramFilterOption(built, ValueRange(99.0, 101.0)))] == [1, 2, 6]
    calls = []

    class Everything(Q.AcquisitionCondition):
        def __eq__(self, other):
            calls.append(other)
            return True

        __hash__ = Q.AcquisitionCondition.__hash__

    assert [p.index for p in analysis.get_tic(Everything(None))] == [0, 1, 2, 3, 4, 6]
    # One comparison per spectrum with a retention time, each with its own condition.
    assert len(calls) == 6 and len({id(c) for c in calls}) == 6
    assert analysis.get_tic(None) == [] and analysis.get_tic("MS1") == []


# --- the collector ------------------------------------------------------------------------

def test_an_open_analysis_leaves_few_tracked_objects(make_reader):
    spectra = [spectrum(0.01 * i, [], ms_level=1 + i % 2, precursor_value=float(i)) for i in range(2000)]
    gc.collect()
    before = len(gc.get_objects())
    analysis = qual_analysis(make_reader, spectra)
    assert len(gc.get_objects()) - before < 100
    assert str(analysis) == "[0] 2000 spectra, 2000 spectrum conditions"
    assert len(gc.get_objects()) - before < 100


def test_an_analysis_in_a_cycle_through_its_made_objects_is_collected(make_reader):
    finalised = []

    class Sentinel:
        def __del__(self):
            finalised.append(True)

    analysis = qual_analysis(make_reader, SPECTRA)
    made = analysis.get_spectrum(3)
    index = made._Spectrum__spectrum_index
    assert index in gc.get_referents(analysis)
    assert condition(index).mass_range.min == 100.0
    made.supplemental_properties["analysis"] = analysis
    condition(index).additional_conditions.append(Sentinel())
    del analysis, made, index
    gc.collect()
    assert finalised == [True]


def test_spectra_of_two_polarities_match_their_own_condition(make_reader):
    analysis = qual_analysis(make_reader, [spectrum(0.1, [], polarity=PolarityTypes.NEGATIVE),
                                           spectrum(0.2, [], polarity=PolarityTypes.POSITIVE)])
    found = {c.polarity: [p.index for p in analysis.get_tic(c)] for c in analysis.unique_acquisition_conditions}
    assert found == {PolarityTypes.NEGATIVE: [0], PolarityTypes.POSITIVE: [1]}

"""QualAnalysis: the spectrum index block, the acquisition conditions bound
to the spectra, and the Spectrum objects."""

import pytest

import zarnwriter as w
from kit.qual import chromatogram, dad_analysis, ms_block, open_function, qual_analysis, spectrum, typed
from kit.records import field
from zarn_data_access import qual as Q
from zarn_data_access.access import ZarnFile
from zarn_data_access.common import PolarityTypes, SpectrumTypes
from zarn_data_access.exception import ZarnException


def refused(call):
    with pytest.raises(Exception) as caught:
        call()
    assert type(caught.value) is Exception and caught.value.args == ("Inaccessible due to protection level",)


def test_data_classes_refuse_construction():
    for cls in (Q.QualAnalysis, Q.DADAnalysis, Q.Spectrum, Q.DADSpectrum):
        refused(cls)


SPECTRA = [
    spectrum(0.5, [(100.0, 1.0), (200.0, 2.0)], ms_level=1),
    spectrum(1.0, [(150.0, 3.0)], ms_level=2, collision_energy=20.0, precursor_index=0, product_indices=[4, 5],
             spectrum_type=SpectrumTypes.CENTROID, supplemental_properties={"Scan": "2"}),
    spectrum(None, [], ms_level=1),
]


# --- the spectrum index block ------------------------------------------------------------

@pytest.mark.parametrize("after", [False, True])
def test_analysis_reads_its_block(make_reader, after):
    _, function_index = open_function(make_reader, SPECTRA, w.qual_description(
        detector_type=1, supplemental_properties={"Function": "1"}), after=after)
    analysis = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 3)
    assert analysis.index == 3 and analysis.get_spectra_count() == 3
    assert str(analysis) == repr(analysis) == "[3] 3 spectra, 2 spectrum conditions"
    assert [s.retention_time for s in map(analysis.get_spectrum, range(3))] == [0.5, 1.0, None]
    assert [len(analysis.get_spectrum(i).get_spectrum_points()) for i in range(3)] == [2, 1, 0]
    assert analysis._QualAnalysis__function_index is function_index
    assert analysis._QualAnalysis__reader is field(function_index, "reader")
    assert analysis._QualAnalysis__unique_acquisition_conditions is analysis.unique_acquisition_conditions
    records = analysis._QualAnalysis__spectrum_index_list
    assert [type(r).__name__ for r in records] == ["SpectrumIndex"] * 3
    assert [r._SpectrumIndex__spectrum_description for r in records] == \
        [analysis.get_spectrum(i)._Spectrum__spectrum_index._SpectrumIndex__spectrum_description for i in range(3)]
    # The qualitative description's own dictionary, for every analysis of the function.
    properties = analysis.supplemental_properties
    properties["Added"] = "x"
    again = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    assert again.supplemental_properties is properties and properties == {"Function": "1", "Added": "x"}


@pytest.mark.parametrize("qual, conditions", [
    (w.qual_description(detector_type=1), 0),
    (w.qual_description(unique_acquisition_core_condition_list=[w.core_condition(ms_level=2)],
                        unique_acquisition_condition_list=[w.acquisition_condition()]), 1),
])
def test_an_empty_block(make_reader, qual, conditions):
    analysis = qual_analysis(make_reader, [], qual=qual)
    assert analysis.get_spectra_count() == 0
    assert len(analysis.unique_acquisition_conditions) == conditions
    assert str(analysis) == f"[0] 0 spectra, {conditions} spectrum conditions"
    with pytest.raises(Exception, match="^Index out of range$"):
        analysis.get_spectrum(0)


def test_profile_positions(make_reader):
    profiles = [ms_block([(100.0, 9.0)]), ms_block([(101.0, 8.0), (102.0, 7.0)]), ms_block([])]
    f, function_index = open_function(make_reader, SPECTRA, w.qual_description(detector_type=1), profiles=profiles)
    analysis = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    first = analysis.get_spectrum(0)
    profile = first.get_profile_spectrum_points()
    assert [(p.x, p.intensity) for p in profile] == [(100.0, 9.0)]
    # Decoded anew on every call, and apart from the main points.
    assert first.get_profile_spectrum_points() is not profile
    assert first._Spectrum__spectrum_points is None
    assert [(p.x, p.intensity) for p in first.get_spectrum_points()] == [(100.0, 1.0), (200.0, 2.0)]
    assert len(analysis.get_spectrum(1).get_profile_spectrum_points()) == 2
    # A stored profile offset of 0 is the origin, not "none".
    f, function_index = open_function(make_reader, SPECTRA, w.qual_description(detector_type=1), profiles=profiles,
                                      profile_offsets=[0, 0, 0])
    analysis = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    assert analysis.get_spectrum(2)._Spectrum__spectrum_index._SpectrumIndex__profile_position == f.origin


def test_no_profile_spectrum(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    s = analysis.get_spectrum(0)
    for _ in range(2):
        with pytest.raises(Exception, match="^No profile spectrum$"):
            s.get_profile_spectrum_points()


def with_block(f, change):
    """The function's bytes with its spectrum index block passed to `change`."""
    head, block = f.data[:f.block_position], f.data[f.block_position:]
    return head + change(block)


@pytest.mark.parametrize("change, error, message", [
    (lambda b: w.symbol(w.BEGIN_OF_SPECTRUM_DESCRIPTION) + b[2:], ZarnException, "Zarn symbol error"),
    (lambda b: b[:2] + w.uint16(3) + b[5:], ZarnException, "UInt32 could not be read"),
    (lambda b: b[:7] + w.tiny_uint(1) + b[8:], ZarnException, "Boolean could not be read"),
    (lambda b: b[:8] + w.int32_array([1]) + b[8 + len(w.int64_array([0] * 3)):], ZarnException,
     "Collection could not be read"),
    (lambda b: b[:-2] + w.symbol(w.END_OF_SPECTRUM), ZarnException, "Zarn symbol error"),
])
def test_block_errors(make_reader, change, error, message):
    f, _ = open_function(make_reader, SPECTRA, w.qual_description(detector_type=1))
    data = with_block(f, change)
    reader = make_reader(data)
    reader._KxmFileReader__set_version(3, 6, 0)
    from zarn_data_access._internal import _index as I
    function_index = I.FunctionIndex._FunctionIndex__create_instance(reader, f.block_position)
    with pytest.raises(error) as caught:
        Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    assert str(caught.value) == message


@pytest.mark.parametrize("layout, error, message", [
    (dict(offsets=[0]), IndexError, "list index out of range"),
    (dict(profiles=[b"", b"", b""], profile_offsets=[0, 0]), IndexError, "list index out of range"),
    (dict(count=4), IndexError, "list index out of range"),
])
def test_short_offset_arrays(make_reader, layout, error, message):
    with pytest.raises(error, match=message):
        qual_analysis(make_reader, SPECTRA, **layout)


def test_a_failing_description_ends_the_block(make_reader):
    broken = SPECTRA[:1] + [(w.spectrum_description((8, w.tiny_uint(9))), b"")]
    f, function_index = open_function(make_reader, broken, w.qual_description(detector_type=1))
    with pytest.raises(ValueError, match="9 is not a valid PolarityTypes"):
        Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    # The reader has left the compressed segment: the file reads on.
    reader = field(function_index, "reader")
    reader._KxmFileReader__set_buffer(f.block_position)
    assert reader._KxmFileReader__read_zarn_symbol().value == w.BEGIN_OF_SPECTRUM_INDEX_BLOCK


def test_a_function_position_outside_the_file(make_reader):
    f, _ = open_function(make_reader, SPECTRA, w.qual_description(detector_type=1))
    reader = make_reader(f.data)
    reader._KxmFileReader__set_version(3, 6, 0)
    from zarn_data_access._internal import _index as I
    for position in (len(f.data), -1):
        reader._KxmFileReader__set_buffer(0)
        function_index = I.FunctionIndex._FunctionIndex__create_instance(reader, position)
        with pytest.raises(ZarnException, match=f"^Function position {position} lies outside the file$"):
            Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)


# --- acquisition conditions ------------------------------------------------------------------

def test_conditions_from_the_spectra_are_distinct_and_sorted(make_reader):
    spectra = [spectrum(1.0, ms_level=2, collision_energy=20.0), spectrum(2.0, ms_level=1),
               spectrum(3.0, ms_level=2), spectrum(4.0, ms_level=2, collision_energy=10.0),
               spectrum(5.0, ms_level=1), spectrum(6.0, ms_level=1, polarity=PolarityTypes.BOTH),
               spectrum(7.0, ms_level=1, polarity=PolarityTypes.NEGATIVE)]
    analysis = qual_analysis(make_reader, spectra)
    unique = analysis.unique_acquisition_conditions
    assert [str(c) for c in unique] == ["MS1", "MS1-", "MS1+/-", "MS2", "MS2, [Collision Energy] 10.0",
                                        "MS2, [Collision Energy] 20.0"]
    assert analysis.unique_acquisition_conditions is unique
    # The first spectrum of a value lends its object; later ones hold their own.
    first, second = analysis.get_spectrum(1).acquisition_condition, analysis.get_spectrum(4).acquisition_condition
    assert unique[0] is first and second == first and second is not first
    assert analysis.get_spectrum(1).acquisition_condition is first


def test_equal_sort_keys_keep_distinct_conditions(make_reader):
    spectra = [spectrum(1.0, mass_range=(1.0, 2.0)), spectrum(2.0, mass_range=(1.0, 3.0)),
               spectrum(3.0, mass_range=(1.0, 2.0), supplemental_properties={"ConeVoltage": "1"}),
               spectrum(4.0, mass_range=(1.0, 2.0))]
    unique = qual_analysis(make_reader, spectra).unique_acquisition_conditions
    assert sorted(str(c) for c in unique) == ["MS1, [Mass Range] 1.0 - 2.0",
                                              "MS1, [Mass Range] 1.0 - 2.0; Waters|MassLynx",
                                              "MS1, [Mass Range] 1.0 - 3.0"]


def test_conditions_from_the_stored_list(make_reader):
    qual = w.qual_description(
        unique_acquisition_core_condition_list=[w.core_condition(ms_level=1), w.core_condition(ms_level=2)],
        unique_acquisition_condition_list=[w.acquisition_condition(internal_acquisition_core_condition_index=i)
                                           for i in (1, 0, 1)])
    spectra = [spectrum(1.0, acquisition_condition_index=1), spectrum(2.0),
               spectrum(3.0, acquisition_condition_index=-1), spectrum(4.0, ms_level=5, acquisition_condition_index=1)]
    analysis = qual_analysis(make_reader, spectra, qual=qual)
    unique = analysis.unique_acquisition_conditions
    assert [str(c) for c in unique] == ["MS2", "MS1", "MS2"]
    bound = [analysis.get_spectrum(i).acquisition_condition for i in range(4)]
    assert [c is u for c, u in zip(bound, [unique[1], unique[0], unique[2], unique[1]])] == [True] * 4


@pytest.mark.parametrize("conditions, index", [([], 0), ([w.acquisition_condition()], 1),
                                               ([w.acquisition_condition()], -2)])
def test_stored_list_that_misses_a_spectrum(make_reader, conditions, index):
    qual = w.qual_description(unique_acquisition_core_condition_list=[w.core_condition()],
                              unique_acquisition_condition_list=conditions)
    with pytest.raises(IndexError):
        qual_analysis(make_reader, [spectrum(1.0, acquisition_condition_index=index)], qual=qual)


@pytest.mark.parametrize("detector", [1, 2], ids=["MS", "DAD"])
def test_conditions_without_a_core_list(write, detector):
    # The conditions of a description without a core-condition list stay
    # unlinked: an MS analysis fails to build its public conditions from
    # them, a DAD analysis builds none and reads.
    conditions = [w.acquisition_condition(precursor_value=500.25),
                  w.acquisition_condition(internal_acquisition_core_condition_index=1)]
    qual = w.qual_description(detector_type=detector, unique_acquisition_condition_list=conditions)
    spectra = [spectrum(1.0, [(100.0, 1.0)]), spectrum(2.0, [(150.0, 2.0)], acquisition_condition_index=1)]
    function = (w.function_description(True, qual), spectra)
    data = w.measurement_file(measurements=[(w.measurement_description("h"), [function])])
    with ZarnFile(write(data)) as handle:
        measurement = handle.get_measurement(0)
        if detector == 2:
            assert measurement.get_dad_analysis(0).get_spectra_count() == 2
            return
        with pytest.raises(AttributeError) as caught:
            measurement.get_qual_analysis(0)
        assert type(caught.value) is AttributeError
        assert caught.value.args == (
            "'NoneType' object has no attribute '_InternalAcquisitionCoreCondition__ms_level'",)


def test_a_description_without_cone_voltage_still_groups(make_reader):
    spectra = [spectrum(1.0, supplemental_properties={"FragmentorVoltage": "135"}),
               spectrum(2.0, supplemental_properties={"FragmentorVoltage": "140"}),
               spectrum(3.0, cone_voltage=135.0, supplemental_properties={"FragmentorVoltage": "135"})]
    unique = qual_analysis(make_reader, spectra).unique_acquisition_conditions
    assert [str(c) for c in unique] == ["MS1; Agilent|MassHunter",
                                        "MS1; Agilent|MassHunter: [Fragmentor Voltage] 135"]


# --- Spectrum ------------------------------------------------------------------------------

def test_spectrum_properties(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    s = analysis.get_spectrum(True)
    description = s._Spectrum__spectrum_index._SpectrumIndex__spectrum_description
    assert s.index is True
    assert (s.precursor_index, s.retention_time, s.product_indices, s.spectrum_type) == (0, 1.0, [4, 5],
                                                                                        SpectrumTypes.CENTROID)
    assert s.product_indices is field(description, "product_indices")
    assert s.supplemental_properties is field(description, "supplemental_properties")
    assert s.acquisition_condition is field(description, "acquisition_condition")
    other = analysis.get_spectrum(1)
    assert other is not s and other._Spectrum__spectrum_index is s._Spectrum__spectrum_index
    assert other != s


@pytest.mark.parametrize("index", [-1, 3, 2**70])
def test_spectrum_index_out_of_range(make_reader, index):
    analysis = qual_analysis(make_reader, SPECTRA)
    with pytest.raises(Exception, match="^Index out of range$") as caught:
        analysis.get_spectrum(index)
    assert type(caught.value) is Exception


class Passing:
    """An index whose comparisons pass every range check and whose integer
    is something else."""
    def __init__(self, value):
        self.value = value

    def __lt__(self, other):
        return False

    __ge__ = __lt__

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [3, 3 + 10**5, -4, 2**70])
@pytest.mark.parametrize("make", [qual_analysis, dad_analysis], ids=["MS", "DAD"])
def test_an_index_is_taken_as_the_integer_it_converts_to(make_reader, make, value):
    analysis = make(make_reader, SPECTRA)
    with pytest.raises(IndexError, match="^list index out of range$"):
        analysis.get_spectrum(Passing(value))
    def record(spectrum):
        return getattr(spectrum, f"_{type(spectrum).__name__}__spectrum_index")
    assert record(analysis.get_spectrum(Passing(-1))) is record(analysis.get_spectrum(2))


def test_spectrum_index_of_another_type(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    with pytest.raises(TypeError, match="list indices must be integers or slices, not float"):
        analysis.get_spectrum(1.0)
    with pytest.raises(TypeError):
        analysis.get_spectrum("1")


def test_points_are_decoded_once(make_reader):
    analysis = qual_analysis(make_reader, SPECTRA)
    s = analysis.get_spectrum(0)
    assert str(s) == repr(s) == "[0] 2 points"
    points = s._Spectrum__spectrum_points
    assert s.get_spectrum_points() is points
    points.append("mine")
    assert str(s) == "[0] 3 points" and s.get_spectrum_points()[-1] == "mine"
    empty = analysis.get_spectrum(2)
    assert empty.get_spectrum_points() == [] and str(empty) == "[2] 0 points"
    assert empty.get_spectrum_points() is empty.get_spectrum_points()


def test_intensities_keep_their_type(make_reader):
    block = w.spectrum_block(w.spectrum_efficient(2, [100.0, 200.0], [7, 2**31 - 1]))
    s = qual_analysis(make_reader, [(w.spectrum_description(), block)]).get_spectrum(0)
    assert [typed(p.x, p.intensity) for p in s.get_spectrum_points()] == [typed(100.0, 7), typed(200.0, 2**31 - 1)]


def test_positions_outside_the_file(make_reader):
    f, function_index = open_function(make_reader, SPECTRA, w.qual_description(detector_type=1),
                                      offsets=[10**6, 0, 0], profiles=[b"", b"", b""],
                                      profile_offsets=[-10**6, 0, 0])
    analysis = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
    s = analysis.get_spectrum(0)
    with pytest.raises(ZarnException, match=rf"^Spectrum position {f.origin + 10**6} lies outside the file$"):
        s.get_spectrum_points()
    assert s._Spectrum__spectrum_points is None
    with pytest.raises(ZarnException, match=rf"^Profile spectrum position {f.origin - 10**6} lies outside"):
        s.get_profile_spectrum_points()


def test_a_failed_decode_leaves_the_spectrum_undecoded(make_reader):
    analysis = qual_analysis(make_reader, [spectrum(1.0), (w.spectrum_description(), w.symbol(w.END_OF_SPECTRUM))])
    s = analysis.get_spectrum(1)
    for _ in range(2):
        with pytest.raises(ZarnException, match="^Zarn symbol error$"):
            str(s)
        assert s._Spectrum__spectrum_points is None


def test_spectrum_factory_takes_anything(make_reader):
    s = Q.Spectrum._Spectrum__create_instance("not an index", 7)
    assert s.index == 7 and s._Spectrum__spectrum_points is None
    with pytest.raises(AttributeError):
        s.retention_time
    with pytest.raises(AttributeError):
        s.get_spectrum_points()


def test_stored_chromatogram_points_of_the_descriptions(make_reader):
    # One more check of what the analysis bound: the totals go unchanged.
    analysis = qual_analysis(make_reader, [spectrum(2.0, totals=(10.0, 100.5, 5.0))])
    tic = analysis.get_tic(analysis.unique_acquisition_conditions[0])
    assert chromatogram(tic) == [typed(0, 2.0, 10.0, 100.5)]

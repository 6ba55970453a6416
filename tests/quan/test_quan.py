"""Quantitative and analog analyses, made from function index records of
writer-made functions."""


import pytest

import zarnwriter as w
from kit.blocks import chromatogram_points, expect
from kit.records import create, field
from zarn_data_access._internal import _index as I
from zarn_data_access.common import ChromatogramPoint, CompoundTypes, PolarityTypes, QuanAnalysisTypes
from zarn_data_access.exception import ZarnException
from zarn_data_access.quan import AnalogAnalysis, QuanAnalysis

SRM, SIM = QuanAnalysisTypes.SRM, QuanAnalysisTypes.SIM
BLOCK = w.chromatogram_block(w.chromatogram_plain([0.5, 1.0], [100.0, 0.0]))


def function_index(make_reader, block=BLOCK, version=(3, 6, 0), position=None, **description):
    """The FunctionIndex of a quantitative function with these description
    fields, its chromatogram block right after the description record."""
    record = w.function_description(False, w.quan_description(version=version, **description))
    reader = make_reader(record + block)
    reader._KxmFileReader__set_version(*version)
    return create(I.FunctionIndex, reader, len(record) if position is None else position)


def make(cls, entry, index=0):
    return getattr(cls, f"_{cls.__name__}__create_instance")(entry, index)


def quan_description(entry):
    return field(field(entry, "function_description"), "quan_description")


def test_module_takes_the_analysis_kinds_from_common():
    from zarn_data_access import common, quan
    assert quan.QuanAnalysisTypes is common.QuanAnalysisTypes


@pytest.mark.parametrize("cls, index, description, text", [
    # the worked examples
    (QuanAnalysis, 3, dict(compound_name="Caffeine", q1=195.1, q3=138.0, quan_analysis_type=SRM),
     "[3] SRM, Caffeine, 195.1 > 138.0"),
    (QuanAnalysis, 3, dict(compound_name="Caffeine", extract_value=195.1, extract_tolerance=0.5,
                           quan_analysis_type=SIM), "[3] SIM, Caffeine, 195.1 +/- 0.5"),
    (AnalogAnalysis, 0, dict(compound_name="Pump A"), "[0] Pump A"),
    # SRM shows q1 and q3 only, None where they are not stored
    (QuanAnalysis, 1, dict(compound_name="C", quan_analysis_type=SRM, extract_value=1.0, extract_tolerance=2.0),
     "[1] SRM, C, None > None"),
    # SIM: value without tolerance, neither, tolerance without value; q1 and q3 never shown
    (QuanAnalysis, 2, dict(compound_name="C", quan_analysis_type=SIM, extract_value=7.0, q1=1.0),
     "[2] SIM, C, 7.0"),
    (QuanAnalysis, 2, dict(compound_name="C", quan_analysis_type=SIM, q1=1.0, q3=2.0), "[2] SIM, C"),
    (QuanAnalysis, 2, dict(compound_name="C", quan_analysis_type=SIM, extract_tolerance=0.5), "[2] SIM, C"),
    # no stored kind is NA, printed as SIM; no stored name is None
    (QuanAnalysis, 0, dict(extract_value=5.0, extract_tolerance=0.25, collision_energy=9.0),
     "[0] SIM, None, 5.0 +/- 0.25"),
    (AnalogAnalysis, 4, dict(q1=1.0), "[4] None"),
    # an index is written as the interpreter writes it
    (QuanAnalysis, -7, dict(compound_name="C", quan_analysis_type=QuanAnalysisTypes.ALL), "[-7] SIM, C"),
])
def test_texts(make_reader, cls, index, description, text):
    analysis = make(cls, function_index(make_reader, **description), index)
    assert str(analysis) == text
    assert repr(analysis) == text


def test_quan_properties_follow_the_description(make_reader):
    entry = function_index(
        make_reader, compound_name="Caffeine", q1=195.1, q3=138.0, collision_energy=25.0,
        estimated_retention_time=3.5, extract_value=195.0, extract_tolerance=0.5,
        quan_analysis_type=SRM, compound_type=0, polarity_type=PolarityTypes.NEGATIVE,
        concentration=1e-3, supplemental_properties={"Unit": "ng/mL"}, is_quan_transition=True)
    analysis = make(QuanAnalysis, entry, 5)
    assert dict(index=analysis.index, collision_energy=analysis.collision_energy,
                compound_name=analysis.compound_name, q1=analysis.q1, q3=analysis.q3,
                estimated_retention_time=analysis.estimated_retention_time,
                extract_value=analysis.extract_value, extract_tolerance=analysis.extract_tolerance,
                quan_analysis_type=analysis.quan_analysis_type, compound_type=analysis.compound_type,
                polarity=analysis.polarity, concentration=analysis.concentration) == dict(
        index=5, collision_energy=25.0, compound_name="Caffeine", q1=195.1, q3=138.0,
        estimated_retention_time=3.5, extract_value=195.0, extract_tolerance=0.5,
        quan_analysis_type=SRM, compound_type=CompoundTypes.UNKNOWN,
        polarity=PolarityTypes.NEGATIVE, concentration=1e-3)
    assert analysis.supplemental_properties == {"Unit": "ng/mL", "IsQuanTransition": "True"}
    # The description's own objects, not copies.
    record = quan_description(entry)
    assert analysis.supplemental_properties is field(record, "supplemental_properties")
    assert analysis.compound_name is field(record, "compound_name")
    assert field(analysis, "function_index") is entry
    assert field(analysis, "reader") is field(entry, "reader")


def test_defaults_of_an_empty_description(make_reader):
    entry = function_index(make_reader)
    quan, analog = make(QuanAnalysis, entry), make(AnalogAnalysis, entry)
    assert [getattr(quan, name) for name in ("collision_energy", "compound_name", "q1", "q3",
                                             "estimated_retention_time", "extract_value",
                                             "extract_tolerance", "concentration")] == [None] * 8
    assert (quan.quan_analysis_type, quan.compound_type, quan.polarity) == (
        QuanAnalysisTypes.NA, CompoundTypes.UNKNOWN, PolarityTypes.NA)
    assert (analog.description, analog.supplemental_properties) == (None, {})
    assert not hasattr(analog, "q1")


def test_supplemental_properties_are_shared_by_analyses_of_one_function(make_reader):
    entry = function_index(make_reader, compound_name="Flow", supplemental_properties={"a": "1"})
    first, second = make(AnalogAnalysis, entry), make(QuanAnalysis, entry)
    first.supplemental_properties["b"] = "2"
    assert second.supplemental_properties == {"a": "1", "b": "2"}


def test_chromatogram_is_read_once_per_analysis(make_reader):
    block = w.chromatogram_block(w.chromatogram_plain([0.5], [1.0]), w.chromatogram_zstd([2.0], [3.0]),
                                 w.chromatogram_efficient(0, [100, 5], [7, -1], rt_power=2))
    entry = function_index(make_reader, block)
    first, second = make(QuanAnalysis, entry), make(QuanAnalysis, entry)
    points = first.chromatogram_points
    assert chromatogram_points(points) == expect([(0.5, 1.0), (2.0, 3.0), (1.0, 7), (1.05, -1)])
    assert all(type(p) is ChromatogramPoint for p in points)
    assert first.chromatogram_points is points and field(first, "chromatogram") is points
    # Each analysis owns its list; a caller's change stays in it.
    assert second.chromatogram_points is not points
    assert chromatogram_points(second.chromatogram_points) == chromatogram_points(points)
    points.append("mine")
    assert first.chromatogram_points[-1] == "mine" and len(second.chromatogram_points) == 4


def test_empty_chromatogram(make_reader):
    analysis = make(AnalogAnalysis, function_index(make_reader, w.chromatogram_block(), compound_name="UV"))
    assert analysis.chromatogram_points == []
    assert str(analysis) == "[0] UV"


@pytest.mark.parametrize("version", [(3, 0, 0), (3, 5, 2), (3, 6, 0)])
def test_description_of_every_layout(make_reader, version):
    # Before 3.6 the quantitative description starts with a Boolean.
    entry = function_index(make_reader, version=version, compound_name="X", q1=1.5,
                           quan_analysis_type=SRM)
    assert str(make(QuanAnalysis, entry, 1)) == "[1] SRM, X, 1.5 > None"


@pytest.mark.parametrize("block, error, message", [
    (w.spectrum_block(), ZarnException, "Zarn symbol error"),
    (w.chromatogram_block(w.spectrum_plain([1.0], [1.0])), ZarnException,
     "ChromatogramPointCollection could not be read"),
    (w.chromatogram_block(w.compressed(
        w.CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION,
        w.chromatogram_efficient_content(10, [1], [1], layout=("tiny2", "packed32", "packed32")))),
     ZarnException, "Chromatogram compression option is not correct. Value = 10"),
    (w.block(w.BEGIN_OF_CHROMATOGRAM, w.END_OF_SPECTRUM), ZarnException, "Zarn symbol error"),
])
def test_reading_failures_pass_out_of_the_factory(make_reader, block, error, message):
    entry = function_index(make_reader, block)
    for cls in (QuanAnalysis, AnalogAnalysis):
        with pytest.raises(error) as caught:
            make(cls, entry)
        assert str(caught.value) == message


@pytest.mark.parametrize("position", [-1, 10**6, 2**63 - 1])
def test_function_position_outside_the_file(make_reader, position):
    entry = function_index(make_reader, position=position)
    with pytest.raises(ZarnException, match=f"^Function position {position} lies outside the file$"):
        make(QuanAnalysis, entry)


def test_reading_starts_at_the_function_position_wherever_the_reader_stands(make_reader):
    entry = function_index(make_reader, compound_name="C")
    reader = field(entry, "reader")
    reader._KxmFileReader__set_buffer(1)
    assert chromatogram_points(make(QuanAnalysis, entry).chromatogram_points) == expect([(0.5, 100.0), (1.0, 0.0)])
    assert reader._KxmFileReader__get_absolute_position() == len(reader._KxmFileReader__common_buffer)


@pytest.mark.parametrize("cls", [QuanAnalysis, AnalogAnalysis])
def test_construction_is_refused(cls):
    with pytest.raises(Exception) as caught:
        cls()
    assert type(caught.value) is Exception and str(caught.value) == "Inaccessible due to protection level"
    for args, kwargs in [((1,), {}), ((), {"function_index": 1})]:
        with pytest.raises(TypeError):
            cls(*args, **kwargs)


@pytest.mark.parametrize("cls", [QuanAnalysis, AnalogAnalysis])
def test_factory_arguments(make_reader, cls):
    entry = function_index(make_reader)
    factory = getattr(cls, f"_{cls.__name__}__create_instance")
    reader = field(entry, "reader")
    before = reader._KxmFileReader__get_absolute_position()
    with pytest.raises(TypeError):
        factory(entry)
    assert reader._KxmFileReader__get_absolute_position() == before  # not touched
    by_name = factory(function_index=entry, index="any")
    assert type(by_name) is cls and by_name.index == "any"

    class Derived(cls):
        pass

    derived = getattr(Derived, f"_{cls.__name__}__create_instance")(entry, 2)
    assert type(derived) is Derived and derived.index == 2 and len(derived.chromatogram_points) == 2


@pytest.mark.parametrize("cls, name", [(QuanAnalysis, "q1"), (QuanAnalysis, "chromatogram_points"),
                                       (AnalogAnalysis, "description"), (AnalogAnalysis, "index")])
def test_properties_are_read_only(make_reader, cls, name):
    analysis = make(cls, function_index(make_reader, q1=2.0, compound_name="C"))
    before = getattr(analysis, name)
    with pytest.raises(AttributeError):
        setattr(analysis, name, 1)
    assert getattr(analysis, name) == before


def test_closed_file(make_reader):
    entry = function_index(make_reader, compound_name="C", quan_analysis_type=SRM, q1=1.0, q3=2.0)
    made_before = make(QuanAnalysis, entry, 1)
    field(entry, "reader")._KxmFileReader__stream.close()
    # Everything was read at creation.
    assert str(made_before) == "[1] SRM, C, 1.0 > 2.0"
    assert len(made_before.chromatogram_points) == 2 and made_before.q3 == 2.0
    # A new analysis needs the file, though this small file lies in the
    # reader's window: the closed stream's own error.
    with pytest.raises(ValueError, match="closed file"):
        make(QuanAnalysis, entry)



class StandIn:
    """An object of the caller's with the private members an analysis reads;
    each member read is counted in `reads`."""

    def __init__(self, reads, **members):
        object.__setattr__(self, "reads", reads)
        object.__setattr__(self, "members", members)

    def __getattr__(self, name):
        self.reads.append(name)
        return self.members[name]


@pytest.mark.parametrize("cls", [QuanAnalysis, AnalogAnalysis])
def test_a_callers_function_index_is_read_through_its_private_members(make_reader, cls):
    entry = function_index(make_reader, compound_name="real")
    reads = []
    quan = StandIn(reads, _QuanDescription__compound_name="mine",
                   _QuanDescription__supplemental_properties={"k": "v"})
    stand_in = StandIn(reads, _FunctionIndex__reader=field(entry, "reader"),
                       _FunctionIndex__position=field(entry, "position"),
                       _FunctionIndex__function_description=StandIn(reads, _FunctionDescription__quan_description=quan))
    analysis = make(cls, stand_in, 3)
    # The reader when the analysis is made, the position when it reads.
    assert reads == ["_FunctionIndex__reader", "_FunctionIndex__position"]
    assert chromatogram_points(analysis.chromatogram_points) == expect([(0.5, 100.0), (1.0, 0.0)])
    name = "compound_name" if cls is QuanAnalysis else "description"
    del reads[:]
    assert getattr(analysis, name) == "mine" and analysis.supplemental_properties == {"k": "v"}
    path = ["_FunctionIndex__function_description", "_FunctionDescription__quan_description"]
    assert reads == path + ["_QuanDescription__compound_name"] + path + ["_QuanDescription__supplemental_properties"]
    # Followed anew on each access.
    quan.members["_QuanDescription__compound_name"] = "changed"
    assert getattr(analysis, name) == "changed"


@pytest.mark.parametrize("reader", [None, object(), "path"])
def test_a_function_index_whose_reader_is_no_reader(make_reader, reader):
    entry = function_index(make_reader)
    stand_in = StandIn([], _FunctionIndex__reader=reader, _FunctionIndex__position=field(entry, "position"))
    with pytest.raises(TypeError, match="^a KxmFileReader is required$"):
        make(QuanAnalysis, stand_in)

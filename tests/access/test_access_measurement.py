"""Measurements: the function index block, the sorting of functions by kind,
the description properties, the text form and the analyses by position."""

import datetime

import pytest

import zarnwriter as w
from zarn_data_access.access import Measurement, ZarnFile
from zarn_data_access.common import InstrumentManufacturers
from zarn_data_access.exception import ZarnException
from zarn_data_access.qual import DADAnalysis, QualAnalysis
from zarn_data_access.quan import AnalogAnalysis, QuanAnalysis
from zarn_data_access.zstd import ZstdError

NA, MS, DAD, ANALOG = 0, 1, 2, 3
CHROMATOGRAM = w.chromatogram_block(w.chromatogram_plain([1.0, 2.0], [5.0, 6.0]))
# A function index block placed right after CHROMATOGRAM reaches it with
# this offset: the origin is the byte after the block's begin symbol.
TO_DATA = -(len(CHROMATOGRAM) + 2)


def quan(name="C", detector=MS):
    fields = dict(compound_name=name)
    if detector is not None:
        fields["detector_type"] = detector
    return w.function_description(False, w.quan_description(**fields))


def qual(name="Q", detector=MS):
    fields = dict(supplemental_properties={"name": name})
    if detector is not None:
        fields["detector_type"] = detector
    return w.function_description(True, w.qual_description(**fields))


def data_of(function):
    """Data for a function: no spectra for a qualitative one (its Boolean
    follows the begin symbol), the chromatogram for a quantitative one."""
    return [] if function[2:3] == w.TRUE else CHROMATOGRAM


def raw_block(begin=w.symbol(w.BEGIN_OF_FUNCTION_INDEX_BLOCK), count=w.uint16(1),
              offsets=w.int64_array([TO_DATA]), segment=w.compressed_segment(quan()),
              end=w.symbol(w.END_OF_FUNCTION_INDEX_BLOCK)):
    """A function index block from its parts; by default one quantitative
    function whose data is the chromatogram before the block."""
    return begin + count + offsets + segment + end


def file_of_blocks(*blocks, version=(3, 6, 0)):
    """A file with one measurement per block, each block right after a
    chromatogram."""
    body = w.Body()
    entries = []
    for i, block in enumerate(blocks):
        body.place(CHROMATOGRAM)
        entries.append((w.body_start(version) + body.place(block), w.measurement_description(f"h{i}")))
    return w.zarn_file(version, entries, body=bytes(body.data))


@pytest.fixture
def open_file(tmp_path):
    """open_file(data) writes `data` and opens it; closed after the test."""
    handles = []

    def open_file(data):
        path = tmp_path / f"f{len(handles)}.zarn"
        path.write_bytes(data)
        handles.append(ZarnFile(str(path)))
        return handles[-1]

    yield open_file
    for handle in handles:
        handle.close()


def names(entries):
    """What identifies each function of a list: its compound name or its
    supplemental "name"."""
    out = []
    for entry in entries:
        description = entry._FunctionIndex__function_description
        if description._FunctionDescription__is_qual:
            out.append(description._FunctionDescription__qual_description._QualDescription__supplemental_properties["name"])
        else:
            out.append(description._FunctionDescription__quan_description._QuanDescription__compound_name)
    return out


def test_functions_are_sorted_by_kind_in_block_order(open_file):
    functions = [qual("0", DAD), qual("1", MS), quan("2", None), quan("3", MS), qual("4", None),
                 quan("5", ANALOG), qual("6", ANALOG), quan("7", DAD), qual("8", MS), quan("9", NA)]
    data = w.measurement_file(measurements=[(w.measurement_description("h"), [
        (f, data_of(f)) for f in functions])])
    m = open_file(data).get_measurement(0)
    assert [names(m._Measurement__qual_index_list), names(m._Measurement__dad_index_list),
            names(m._Measurement__quan_index_list), names(m._Measurement__analog_index_list)] == [
        ["1", "8"], ["0", "4", "6"], ["3"], ["2", "5", "7", "9"]]
    assert [m.get_qual_analysis_count(), m.get_dad_analysis_count(), m.get_quan_analysis_count(),
            m.get_analog_analysis_count()] == [2, 3, 1, 4]
    # An analysis's index is its position among its own kind.
    analog = m.get_analog_analysis(2)
    assert type(analog) is AnalogAnalysis and (analog.index, analog.description) == (2, "7")
    only = m.get_quan_analysis(0)
    assert type(only) is QuanAnalysis and (only.index, only.compound_name) == (0, "3")
    ms = m.get_qual_analysis(0)  # the second function of the block: the first is a DAD function
    assert type(ms) is QualAnalysis and (ms.index, ms.supplemental_properties) == (0, {"name": "1"})
    dad = m.get_dad_analysis(2)
    assert type(dad) is DADAnalysis and (dad.index, dad.supplemental_properties) == (2, {"name": "6"})
    assert str(m) == "[#Qual] 2, [#Quan] 1, [#DAD] 3, [#Analog] 4"


def test_offsets_count_from_the_byte_after_the_begin_symbol(open_file):
    start = w.body_start()
    block = raw_block(offsets=w.int64_array([40]))
    data = w.zarn_file(measurements=[(1000, w.measurement_description("h"))],
                       body=bytes(1000 - start) + block)
    m = open_file(data).get_measurement(0)
    assert [e._FunctionIndex__position for e in m._Measurement__quan_index_list] == [1042]


@pytest.mark.parametrize("block, count", [
    # count 0: the empty offsets and the compressed segment are still read
    (raw_block(count=w.uint16(0), offsets=w.int64_array(), segment=w.compressed_segment(b"")), 0),
    (raw_block(count=w.uint16(0), offsets=w.int64_array(), segment=w.compressed_segment(b"\x00junk")), 0),
    # offsets beyond the count are unused, as are bytes after the counted records
    (raw_block(offsets=w.int64_array([TO_DATA], [5, 6])), 1),
    (raw_block(segment=w.compressed_segment(quan() + b"\xff" * 9)), 1),
    (raw_block(count=w.uint16_or_32(1, wide=True)), 1),
    (raw_block(count=w.uint16(2), offsets=w.int64_array([TO_DATA], [TO_DATA]),
               segment=w.compressed_segment(quan("a") + quan("b"))), 2),
])
def test_block_variants(open_file, block, count):
    m = open_file(file_of_blocks(block)).get_measurement(0)
    assert m.get_quan_analysis_count() == count
    if count:
        assert len(m.get_quan_analysis(count - 1).chromatogram_points) == 2
    for getter in (m.get_qual_analysis, m.get_dad_analysis, m.get_analog_analysis):
        with pytest.raises(Exception, match="^Index out of range$"):
            getter(0)


SEGMENT = w.compressed_segment(quan())


@pytest.mark.parametrize("block, error, message", [
    (raw_block(begin=w.symbol(w.BEGIN_OF_SPECTRUM_INDEX_BLOCK)), ZarnException, "Zarn symbol error"),
    (raw_block(begin=w.tiny_uint(1) + w.tiny_uint(26)), ZarnException, "Zarn symbol could not be read"),
    (raw_block(count=w.uint64(1)), ZarnException, "UInt16/UInt32 could not be read"),
    (raw_block(offsets=w.int32_array([TO_DATA])), ZarnException, "Collection could not be read"),
    (raw_block(offsets=b"\xe4" + w.int32(1)), ZarnException, "TinyUInt could not be read"),
    (raw_block(offsets=b"\xe4\x01" + w.uint32(8) + w.int64_elements([TO_DATA])), ZarnException,
     "Int32 could not be read"),
    (raw_block(segment=w.uint32(len(SEGMENT) - 5) + SEGMENT[5:]), ZarnException, "Int32 could not be read"),
    (raw_block(segment=w.compressed_segment(frame=b"not a frame")), ZstdError, None),
    (raw_block(segment=w.compressed_segment(quan()[:-2] + w.symbol(w.END_OF_SPECTRUM_DESCRIPTION))),
     ZarnException, "Zarn symbol error"),
    (raw_block(segment=w.compressed_segment(w.function_description(False, w.tiny_uint(10) + w.tiny_uint(9)))),
     ValueError, "9 is not a valid DetectorTypes"),
    (raw_block(end=w.symbol(w.END_OF_SPECTRUM_INDEX_BLOCK)), ZarnException, "Zarn symbol error"),
    # a count beyond the offsets runs out of them, whatever its size
    (raw_block(count=w.uint16(2), segment=w.compressed_segment(quan() + quan())), IndexError, None),
    (raw_block(count=w.uint16_or_32(2**32 - 1, wide=True)), IndexError, None),
    # an offset that the origin cannot be added to
    (raw_block(offsets=w.int64_array([2**63 - 1])), ZarnException,
     "Function offset 9223372036854775807 lies outside the file"),
])
def test_block_failures_leave_the_file_readable(tmp_path, block, error, message):
    data = file_of_blocks(block, raw_block())
    path = tmp_path / "f.zarn"
    path.write_bytes(data)
    with ZarnFile(str(path)) as handle:
        with pytest.raises(error) as caught:
            handle.get_measurement(0)
        if message is not None:
            assert str(caught.value) == message
        # The reader is back in the file window, whatever failed inside
        # the compressed segment.
        assert handle._ZarnFile__reader._KxmFileReader__common_buffer == data
        assert handle.get_measurement(1).get_quan_analysis(0).chromatogram_points[1].intensity == 6.0


@pytest.mark.parametrize("position", [-5, 10**9, 2**63 - 1])
def test_measurement_position_outside_the_file(open_file, position):
    handle = open_file(w.zarn_file(measurements=[(position, w.measurement_description("h"))]))
    with pytest.raises(ZarnException) as caught:
        handle.get_measurement(0)
    assert str(caught.value) == f"Measurement position {position} lies outside the file"


@pytest.mark.parametrize("offset", [10**6, -(2**63)])
def test_function_position_outside_the_file(open_file, offset):
    data = file_of_blocks(raw_block(offsets=w.int64_array([offset])))
    m = open_file(data).get_measurement(0)
    position = m._Measurement__quan_index_list[0]._FunctionIndex__position
    assert position == offset + data.index(w.symbol(w.BEGIN_OF_FUNCTION_INDEX_BLOCK)) + 2
    with pytest.raises(ZarnException, match=f"^Function position {position} lies outside the file$"):
        m.get_quan_analysis(0)


DESCRIPTION = dict(
    sample_name="S1", sample_id="ID-7", acquisition_method_file_name="m.meth", dilution_factor=2.5,
    injection_volume=10.0, original_file_path="C:\\raw\\a.raw", instrument_product_name="Q1",
    measurement_user_name="ann", plate_code="P", well_code="A1",
    measurement_date_time=datetime.datetime(2024, 5, 6, 7, 8, 9, 123000), instrument_manufacturer=0,
    source_file_definition="def", supplemental_properties={"Operator": "B"})


def test_description_properties(open_file):
    data = w.measurement_file(measurements=[(w.measurement_description("abc", **DESCRIPTION), []),
                                            (w.measurement_description(""), [])])
    handle = open_file(data)
    m = handle.get_measurement(0)
    expected = dict(DESCRIPTION, hash="abc", instrument_manufacturer=InstrumentManufacturers.UNKNOWN)
    assert {name: getattr(m, name) for name in expected} == expected
    assert m.index == 0
    bare = handle.get_measurement(1)
    assert [getattr(bare, name) for name in DESCRIPTION if name != "supplemental_properties"] == [None] * 13
    assert (bare.hash, bare.supplemental_properties, bare.index) == ("", {}, 1)
    # The description's own dictionary: seen through every Measurement of
    # that position.
    m.supplemental_properties["Added"] = "yes"
    assert handle.get_measurement(0).supplemental_properties == {"Operator": "B", "Added": "yes"}
    for name in ("sample_name", "index", "supplemental_properties"):
        with pytest.raises(AttributeError):
            setattr(m, name, None)


@pytest.mark.parametrize("fields, functions, text", [
    ({}, [], "[#Qual] 0, [#Quan] 0, [#DAD] 0, [#Analog] 0"),
    (dict(sample_name="S1"), [qual(), qual(), qual(detector=DAD)],
     "[Sample Name] S1, [#Qual] 2, [#Quan] 0, [#DAD] 1, [#Analog] 0"),
    (dict(sample_name="", sample_id="X"), [quan(), quan(detector=ANALOG)],
     "[Sample ID] X, [#Qual] 0, [#Quan] 1, [#DAD] 0, [#Analog] 1"),
    (dict(sample_name="N", sample_id=""), [], "[Sample Name] N, [#Qual] 0, [#Quan] 0, [#DAD] 0, [#Analog] 0"),
    (dict(sample_name="N", sample_id="I"), [quan(detector=DAD), quan(detector=None)],
     "[Sample Name] N, [Sample ID] I, [#Qual] 0, [#Quan] 0, [#DAD] 0, [#Analog] 2"),
])
def test_text(open_file, fields, functions, text):
    data = w.measurement_file(measurements=[(w.measurement_description("h", **fields), [
        (f, data_of(f)) for f in functions])])
    m = open_file(data).get_measurement(0)
    assert str(m) == text and repr(m) == text


def test_analyses_by_position(open_file):
    data = w.measurement_file(measurements=[(w.measurement_description("h"), [
        (quan("a", ANALOG), CHROMATOGRAM), (quan("b", ANALOG), CHROMATOGRAM), (quan("q"), CHROMATOGRAM)])])
    m = open_file(data).get_measurement(0)
    last = m.get_analog_analysis(1)
    assert (last.index, last.description) == (1, "b")
    for index in (-1, 2, 10**30):
        with pytest.raises(Exception) as caught:
            m.get_analog_analysis(index)
        assert type(caught.value) is Exception and str(caught.value) == "Index out of range"
    for index in ("0", None, 0.5):
        with pytest.raises(TypeError):
            m.get_analog_analysis(index)
    # Each call makes a new analysis that reads its chromatogram again.
    first, again = m.get_quan_analysis(0), m.get_quan_analysis(index=0)
    assert first is not again and first.chromatogram_points is not again.chromatogram_points
    assert first._QuanAnalysis__function_index is again._QuanAnalysis__function_index


def test_construction_is_refused(open_file):
    with pytest.raises(Exception) as caught:
        Measurement()
    assert type(caught.value) is Exception and str(caught.value) == "Inaccessible due to protection level"
    with pytest.raises(TypeError):
        Measurement(1)
    handle = open_file(w.measurement_file(measurements=[(w.measurement_description("h", sample_name="S"),
                                                         [(quan(), CHROMATOGRAM)])]))
    entry = handle._ZarnFile__jump_table._JumpTable__measurement_index_list[0]
    m = Measurement._Measurement__create_instance(measurement_index=entry, index="first")
    assert (m.index, m.sample_name, m.get_quan_analysis_count()) == ("first", "S", 1)
    assert m._Measurement__measurement_index is entry


def test_a_callers_measurement_index_is_read_through_its_private_members(open_file):
    handle = open_file(w.measurement_file(measurements=[(w.measurement_description("h", sample_name="S"),
                                                         [(quan(), CHROMATOGRAM)])]))
    entry = handle._ZarnFile__jump_table._JumpTable__measurement_index_list[0]
    reads = []

    class StandIn:
        def __init__(self, **members):
            self.__dict__["members"] = members

        def __getattr__(self, name):
            reads.append(name)
            return self.members[name]

    description = StandIn(_MeasurementDescription__sample_name="mine", _MeasurementDescription__hash="#")
    stand_in = StandIn(_MeasurementIndex__reader=entry._MeasurementIndex__reader,
                       _MeasurementIndex__position=entry._MeasurementIndex__position,
                       _MeasurementIndex__measurement_description=description)
    m = Measurement._Measurement__create_instance(stand_in, 0)
    assert reads == ["_MeasurementIndex__reader", "_MeasurementIndex__position"]
    assert m.get_quan_analysis_count() == 1
    del reads[:]
    assert (m.sample_name, m.hash) == ("mine", "#")
    assert reads == ["_MeasurementIndex__measurement_description", "_MeasurementDescription__sample_name",
                     "_MeasurementIndex__measurement_description", "_MeasurementDescription__hash"]
    description.members["_MeasurementDescription__sample_name"] = "changed"
    assert m.sample_name == "changed"

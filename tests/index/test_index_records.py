"""The writer's conversion options, and the function and spectrum index
records, read from index blocks as their owners read them; and the C++
access to the records that the analyses use."""

import pytest

import zarnwriter as w
from kit.reader import call
from kit.records import create, field, read_into
from zarn_data_access._internal import _description as D
from zarn_data_access._internal import _index as I
from zarn_data_access._internal import _testing
from zarn_data_access._internal._enum import ZarnSymbols
from zarn_data_access.exception import ZarnException

OPTION_FIELDS = ("desired_analysis_type_id keep_only_ms1 keep_profile_spectra desired_quan_analysis_type_id "
                 "keep_last_ms_function_in_mse mz_accuracy_power rt_accuracy_power ms_intensity_accuracy_power "
                 "dad_intensity_accuracy_power analog_intensity_accuracy_power "
                 "use_specified_chromatogram_intensity_precision").split()
DEFAULTS = dict(zip(OPTION_FIELDS, [None, False, False, None, False, 5, 5, 0, 0, 0, False]))


def read_options(make_reader, data, version=(3, 6, 0)):
    reader = make_reader(data)
    reader._KxmFileReader__set_version(*version)
    options = create(I.ZarnInternalConversionOptions)
    read_into(options, reader)
    return options, reader


def option_values(options):
    return {n: field(options, n) for n in OPTION_FIELDS}


# --- conversion options -----------------------------------------------------------

@pytest.mark.parametrize("version, precision", [((3, 3, 0), True), ((3, 5, 9), True), ((3, 6, 0), False)])
def test_empty_options_record(make_reader, version, precision):
    options, _ = read_options(make_reader, w.conversion_options(), version)
    assert option_values(options) == {**DEFAULTS, "use_specified_chromatogram_intensity_precision": precision}


def test_options_in_the_header(make_reader):
    data = w.zarn_file((3, 4, 0), options=w.conversion_options(keep_only_ms1=True, mz_accuracy_power=7))
    reader = make_reader(data)
    options = create(I.JumpTable, reader).conversion_options
    assert option_values(options) == {**DEFAULTS, "keep_only_ms1": True, "mz_accuracy_power": 7,
                                      "use_specified_chromatogram_intensity_precision": True}


def test_every_option(make_reader):
    options, reader = read_options(make_reader, w.conversion_options(
        desired_analysis_type_id=63, keep_only_ms1=True, keep_profile_spectra=True,
        desired_quan_analysis_type_id=4095, keep_last_ms_function_in_mse=True, mz_accuracy_power=1,
        rt_accuracy_power=2, ms_intensity_accuracy_power=3, dad_intensity_accuracy_power=4,
        analog_intensity_accuracy_power=5, use_specified_chromatogram_intensity_precision=True) + b"\x07")
    assert option_values(options) == dict(zip(OPTION_FIELDS, [63, True, True, 4095, True, 1, 2, 3, 4, 5, True]))
    assert reader._KxmFileReader__read_tiny_uint() == 7


@pytest.mark.parametrize("version, items, changes", [
    ((3, 4, 0), [("use_specified_chromatogram_intensity_precision", False)],
     {"use_specified_chromatogram_intensity_precision": False}),
    ((3, 6, 0), [("use_specified_chromatogram_intensity_precision", True)],
     {"use_specified_chromatogram_intensity_precision": True}),
    ((3, 6, 0), [("keep_only_ms1", True), ("rt_accuracy_power", 9)], {"keep_only_ms1": True, "rt_accuracy_power": 9}),
    ((3, 6, 0), [(0, w.double(1.0)), (12, w.string("x")), (55, w.tiny_uint(3)), ("mz_accuracy_power", 2)],
     {"mz_accuracy_power": 2}),
    ((3, 6, 0), [("mz_accuracy_power", 2), ("mz_accuracy_power", 3)], {"mz_accuracy_power": 3}),
    ((3, 6, 0), [("keep_last_ms_function_in_mse", True), ("keep_last_ms_function_in_mse", False)], {}),
])
def test_option_properties(make_reader, version, items, changes):
    options, _ = read_options(make_reader, w.conversion_options(*items), version)
    expected = {**DEFAULTS, "use_specified_chromatogram_intensity_precision": version[1] <= 5, **changes}
    assert option_values(options) == expected


@pytest.mark.parametrize("data, message", [
    (w.conversion_options((5, w.tiny_uint(1))), "Boolean could not be read"),
    (w.conversion_options((4, w.tiny_uint(1))), "MiniUInt could not be read"),
    (w.conversion_options((6, w.mini_uint(1))), "TinyUInt could not be read"),
    (w.conversion_options((20, b"\xd1")), "UnpackData: Unknown data type"),
    (w.conversion_options()[:2] + w.TRUE + w.conversion_options()[2:], "Zarn symbol could not be read"),
    (w.symbol(w.BEGIN_OF_ZARN_DESCRIPTION) + w.symbol(7), "Zarn symbol error"),
])
def test_option_errors(make_reader, data, message):
    with pytest.raises(ZarnException) as caught:
        read_options(make_reader, data)
    assert str(caught.value) == message


# --- function index records ----------------------------------------------------------

FUNCTIONS = [
    (100, w.function_description(True, w.qual_description(detector_type=1))),
    (-2, w.function_description(False, w.quan_description(compound_name="X", detector_type=3))),
    (7, w.function_description(True, w.qual_description())),
]


def read_function_block(reader, position):
    """The function index block as the measurement reads it."""
    call(reader, "set_buffer", position)
    call(reader, "confirm_zarn_symbol", ZarnSymbols.BEGIN_OF_FUNCTION_INDEX_BLOCK)
    origin = call(reader, "get_absolute_position")
    count = call(reader, "read_uint16_or_32")
    offsets = call(reader, "read_int64_array")
    call(reader, "set_decompressed_buffer")
    entries = [create(I.FunctionIndex, reader, offsets[i] + origin) for i in range(count)]
    call(reader, "reset_decompressed_buffer")
    call(reader, "confirm_zarn_symbol", ZarnSymbols.END_OF_FUNCTION_INDEX_BLOCK)
    return origin, entries


def test_function_index_block(make_reader):
    block = w.function_index_block(FUNCTIONS)
    reader = make_reader(b"\x00" * 9 + block + b"\x05")
    reader._KxmFileReader__set_version(3, 6, 0)
    origin, entries = read_function_block(reader, 9)
    assert origin == 11
    assert [type(e) for e in entries] == [I.FunctionIndex] * 3
    assert [field(e, "position") for e in entries] == [111, 9, 18]
    assert all(field(e, "reader") is reader for e in entries)
    descriptions = [field(e, "function_description") for e in entries]
    assert [type(d) for d in descriptions] == [D.FunctionDescription] * 3
    assert [field(d, "is_qual") for d in descriptions] == [True, False, True]
    assert field(field(descriptions[1], "quan_description"), "compound_name") == "X"
    assert [_testing.function_is_qual(e) for e in entries] == [True, False, True]
    assert reader._KxmFileReader__read_tiny_uint() == 5


@pytest.mark.parametrize("data, message", [
    (w.symbol(w.BEGIN_OF_SPECTRUM_DESCRIPTION), "Zarn symbol error"),
    (w.tiny_uint(1), "Zarn symbol could not be read"),
])
def test_function_index_at_the_wrong_place(make_reader, data, message):
    reader = make_reader(data + FUNCTIONS[0][1])
    with pytest.raises(ZarnException) as caught:
        create(I.FunctionIndex, reader, 0)
    assert str(caught.value) == message


def test_function_index_keeps_its_position_unchecked(make_reader):
    reader = make_reader(FUNCTIONS[0][1])
    entry = create(I.FunctionIndex, reader, -12345)
    assert field(entry, "position") == -12345


# --- spectrum index records ------------------------------------------------------------

SPECTRA = [
    (10, w.spectrum_description(retention_time=0.5, totals=(10.0, 100.5, 5.0))),
    (20, w.spectrum_description(retention_time=1.0)),
    (30, w.spectrum_description(retention_time=1.5, supplemental_properties={"ConeVoltage": "20"})),
]


def open_spectrum_block(reader, position):
    """Reads the spectrum index block's head up to the descriptions and
    opens the compressed segment; returns origin, count, offsets, profile
    offsets."""
    call(reader, "set_buffer", position)
    call(reader, "confirm_zarn_symbol", ZarnSymbols.BEGIN_OF_SPECTRUM_INDEX_BLOCK)
    origin = call(reader, "get_absolute_position")
    count = call(reader, "read_uint32")
    has_profile = call(reader, "read_bool")
    offsets = call(reader, "read_int64_array")
    profile = call(reader, "read_int64_array") if has_profile else None
    call(reader, "set_decompressed_buffer")
    return origin, count, offsets, profile


def close_spectrum_block(reader):
    call(reader, "reset_decompressed_buffer")
    call(reader, "confirm_zarn_symbol", ZarnSymbols.END_OF_SPECTRUM_INDEX_BLOCK)


@pytest.mark.parametrize("profile", [None, [0, 5, -1]])
def test_spectrum_index_block(make_reader, profile):
    reader = make_reader(b"\x00" * 4 + w.spectrum_index_block(SPECTRA, profile_offsets=profile))
    reader._KxmFileReader__set_version(3, 6, 0)
    origin, count, offsets, profile_offsets = open_spectrum_block(reader, 4)
    entries = [create(I.SpectrumIndex, reader, offsets[i] + origin, i) for i in range(count)]
    if profile_offsets is not None:
        for entry, offset in zip(entries, profile_offsets):
            entry._SpectrumIndex__set_profile_position(offset + origin)
    close_spectrum_block(reader)
    assert origin == 6
    assert [field(e, "position") for e in entries] == [16, 26, 36]
    assert [field(e, "profile_position") for e in entries] == ([0, 0, 0] if profile is None else [6, 11, 5])
    descriptions = [field(e, "spectrum_description") for e in entries]
    assert [type(d) for d in descriptions] == [D.InternalSpectrumDescription] * 3
    assert [field(d, "index") for d in descriptions] == [0, 1, 2]
    assert [field(d, "retention_time") for d in descriptions] == [0.5, 1.0, 1.5]
    assert all(field(e, "reader") is reader for e in entries)
    assert field(entries[0], "spectrum_description") is descriptions[0]


def test_spectrum_index_records_made_from_cpp(make_reader):
    reader = make_reader(w.spectrum_index_block(SPECTRA))
    reader._KxmFileReader__set_version(3, 6, 0)
    origin, _, offsets, _ = open_spectrum_block(reader, 0)
    entries = _testing.make_spectrum_indices(reader, origin, offsets)
    close_spectrum_block(reader)
    assert [type(e) for e in entries] == [I.SpectrumIndex] * 3
    assert [field(field(e, "spectrum_description"), "retention_time") for e in entries] == [0.5, 1.0, 1.5]
    # The analyses read the C++ records straight from the Python objects.
    marker = object()
    first = field(entries[0], "spectrum_description")
    first._InternalSpectrumDescription__acquisition_condition = marker
    entries[0]._SpectrumIndex__set_profile_position(99)
    assert _testing.spectrum_index_view(entries[0]) == (origin + 10, 99, 0, 0.5, True, 10.0, marker)
    assert _testing.spectrum_index_view(entries[1]) == (origin + 20, 0, 1, 1.0, False, 0, None)
    assert _testing.spectrum_index_view(first) is None
    third = field(entries[2], "spectrum_description")
    assert _testing.spectrum_supplemental_contains(third, "ConeVoltage")
    # Once the dictionary is handed out, it answers.
    field(third, "supplemental_properties").pop("ConeVoltage")
    assert not _testing.spectrum_supplemental_contains(third, "ConeVoltage")


def test_spectrum_index_failure_stops_the_block(make_reader):
    broken = SPECTRA[:1] + [(20, w.spectrum_description((8, w.tiny_uint(9))))]
    reader = make_reader(w.spectrum_index_block(broken))
    reader._KxmFileReader__set_version(3, 6, 0)
    origin, _, offsets, _ = open_spectrum_block(reader, 0)
    create(I.SpectrumIndex, reader, offsets[0] + origin, 0)
    with pytest.raises(ValueError, match="9 is not a valid PolarityTypes"):
        create(I.SpectrumIndex, reader, offsets[1] + origin, 1)


def test_index_records_need_a_reader():
    with pytest.raises(TypeError):
        create(I.SpectrumIndex, None, 0, 0)
    with pytest.raises(TypeError):
        create(I.FunctionIndex, 1, 0)


@pytest.mark.parametrize("cls, args", [(I.FunctionIndex, (0,)), (I.SpectrumIndex, (0, 0))])
def test_two_index_records_share_one_reader(make_reader, cls, args):
    data = (FUNCTIONS[0][1] * 2) if cls is I.FunctionIndex else (SPECTRA[1][1] * 2)
    reader = make_reader(data + b"\x03")
    a, b = create(cls, reader, *args), create(cls, reader, *args)
    assert field(a, "reader") is field(b, "reader") is reader
    assert reader._KxmFileReader__read_tiny_uint() == 3

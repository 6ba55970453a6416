"""Function, qualitative and quantitative descriptions, and the spectrum
description."""

import struct

import pytest

import zarnwriter as w
from kit.records import field, fields, typed
from zarn_data_access._internal import _description as D
from zarn_data_access.common import (
    CompoundTypes,
    PolarityTypes,
    QuanAnalysisTypes,
    SpectrumTypes,
    ValueRange,
)
from zarn_data_access.exception import ZarnException

DetectorTypes = D.DetectorTypes


def qual(*items, **fields_):
    return w.function_description(True, w.qual_description(*items, **fields_))


def quan(*items, version=(3, 6), **fields_):
    return w.function_description(False, w.quan_description(*items, version=version, **fields_))


# --- function description -----------------------------------------------------

def test_qualitative_function_has_no_quan_description(read_record):
    f = read_record(D.FunctionDescription, qual(detector_type=1))
    assert field(f, "is_qual") is True
    q = field(f, "qual_description")
    assert type(q) is D.QualDescription and field(f, "qual_description") is q
    assert field(q, "detector_type") is DetectorTypes.MS
    with pytest.raises(AttributeError):
        field(f, "quan_description")


def test_quantitative_function_has_no_qual_description(read_record):
    f = read_record(D.FunctionDescription, quan(detector_type=1))
    assert field(f, "is_qual") is False
    assert field(field(f, "quan_description"), "detector_type") is DetectorTypes.MS
    with pytest.raises(AttributeError):
        field(f, "qual_description")


@pytest.mark.parametrize("data, message", [
    (w.symbol(w.BEGIN_OF_FUNCTION_DESCRIPTION) + w.tiny_uint(1) + w.symbol(29), "Boolean could not be read"),
    (qual()[:-2] + w.symbol(w.END_OF_MEASUREMENT_DESCRIPTION), "Zarn symbol error"),
    (w.symbol(w.BEGIN_OF_SPECTRUM_DESCRIPTION) + qual()[2:], "Zarn symbol error"),
    (qual(detector_type=4), "4 is not a valid DetectorTypes"),
    (quan(quan_analysis_type=8), "<flag 'QuanAnalysisTypes'> invalid value 8\n    given 0b0 1000\n"
                                 "  allowed 0b0 0111"),
    (quan(compound_type=1), "1 is not a valid CompoundTypes"),
])
def test_function_description_errors(read_record, data, message):
    with pytest.raises((ZarnException, ValueError)) as caught:
        read_record(D.FunctionDescription, data)
    assert str(caught.value) == message


# --- qualitative description ----------------------------------------------------

def cores(*ms_levels):
    return [w.core_condition(ms_level=level) for level in ms_levels]


def conditions(*indices):
    return [w.acquisition_condition(internal_acquisition_core_condition_index=i) for i in indices]


def read_qual(read_record, *items, **fields_):
    return field(read_record(D.FunctionDescription, qual(*items, **fields_)), "qual_description")


def test_qual_description_fields(read_record):
    q = read_qual(read_record, wavelength_arr=[190.0, 190.5], detector_type=2,
                  supplemental_properties={"Kind": "DAD"})
    assert field(q, "wavelength_arr") == [190.0, 190.5]
    assert field(q, "wavelength_arr") is field(q, "wavelength_arr")
    assert field(q, "detector_type") is DetectorTypes.DAD
    assert field(q, "supplemental_properties") == {"Kind": "DAD"}
    assert fields(q, "unique_acquisition_core_condition_list unique_acquisition_condition_list") == {
        "unique_acquisition_core_condition_list": None, "unique_acquisition_condition_list": None}


def test_empty_qual_description_defaults(read_record):
    q = read_qual(read_record)
    assert field(q, "detector_type") is DetectorTypes.NA
    assert field(q, "wavelength_arr") is None and field(q, "supplemental_properties") == {}


@pytest.mark.parametrize("order", ["cores first", "conditions first"])
def test_conditions_are_linked_to_their_cores(read_record, order):
    items = [("unique_acquisition_core_condition_list", cores(1, 2)),
             ("unique_acquisition_condition_list", conditions(1, 0, 1, -1))]
    if order == "conditions first":
        items.reverse()
    q = read_qual(read_record, *items)
    core_list = field(q, "unique_acquisition_core_condition_list")
    linked = [field(c, "internal_acquisition_core_condition")
              for c in field(q, "unique_acquisition_condition_list")]
    assert [core_list.index(c) for c in linked] == [1, 0, 1, 1]
    # Conditions share the very objects of the core list.
    assert linked[0] is core_list[1] and linked[3] is core_list[1]
    assert field(q, "unique_acquisition_condition_list") is field(q, "unique_acquisition_condition_list")


def test_conditions_with_equal_cores_are_equal(read_record):
    a = read_qual(read_record, unique_acquisition_core_condition_list=cores(2, 2),
                  unique_acquisition_condition_list=conditions(0, 1))
    b = read_qual(read_record, unique_acquisition_core_condition_list=cores(2, 5),
                  unique_acquisition_condition_list=conditions(0, 1))
    ca, cb = field(a, "unique_acquisition_condition_list"), field(b, "unique_acquisition_condition_list")
    assert ca[0] != ca[1]  # equal cores, the indices differ
    assert ca[0] == cb[0] and hash(ca[0]) == hash(cb[0])  # equal cores from another block
    assert ca[1] != cb[1]  # the same index, unequal cores


def test_one_list_without_the_other(read_record):
    q = read_qual(read_record, unique_acquisition_condition_list=conditions(0))
    assert field(field(q, "unique_acquisition_condition_list")[0], "internal_acquisition_core_condition") is None
    q = read_qual(read_record, unique_acquisition_core_condition_list=cores(1))
    assert field(q, "unique_acquisition_condition_list") is None
    assert len(field(q, "unique_acquisition_core_condition_list")) == 1


@pytest.mark.parametrize("items", [
    [("unique_acquisition_core_condition_list", []), ("unique_acquisition_condition_list", conditions(0))],
    [("unique_acquisition_core_condition_list", cores(1)), ("unique_acquisition_condition_list", conditions(1))],
    [("unique_acquisition_core_condition_list", cores(1)), ("unique_acquisition_condition_list", conditions(-2))],
])
def test_core_index_outside_the_list_fails(read_record, items):
    with pytest.raises(IndexError):
        read_qual(read_record, *items)


def test_negative_counts_give_empty_lists(read_record):
    q = read_qual(read_record, (3, w.record_list([], count=-1)), (4, w.record_list([], count=-1)))
    assert field(q, "unique_acquisition_core_condition_list") == []
    assert field(q, "unique_acquisition_condition_list") == []


def test_count_larger_than_the_records_fails_on_the_first_missing_record(read_record):
    # The next core record would begin where the function's end symbol stands.
    with pytest.raises(ZarnException, match="Zarn symbol error"):
        read_qual(read_record, (3, w.record_list(cores(1), count=2**31 - 1)))


# --- quantitative description -----------------------------------------------------

QUAN_FIELDS = ("collision_energy compound_name q1 q3 estimated_retention_time extract_value "
               "extract_tolerance concentration").split()


def read_quan(read_record, *items, version=(3, 6), **fields_):
    f = read_record(D.FunctionDescription, quan(*items, version=version, **fields_),
                    version=version + (0,))
    return field(f, "quan_description")


def test_empty_quan_description_defaults(read_record):
    q = read_quan(read_record)
    assert [field(q, n) for n in QUAN_FIELDS] == [None] * len(QUAN_FIELDS)
    assert field(q, "quan_analysis_type") is QuanAnalysisTypes.NA
    assert field(q, "compound_type") is CompoundTypes.UNKNOWN
    assert field(q, "detector_type") is DetectorTypes.NA
    assert field(q, "polarity_type") is PolarityTypes.NA
    assert field(q, "is_quan_transition") is None
    assert field(q, "supplemental_properties") == {}


@pytest.mark.parametrize("version", [(3, 0), (3, 5), (3, 6)])
def test_quan_description_fields(read_record, version):
    q = read_quan(read_record, version=version, collision_energy=25.0, compound_name="Caffeine", q1=195.1,
                  q3=138.0, estimated_retention_time=4.5, extract_value=195.09, extract_tolerance=0.5,
                  quan_analysis_type=4, compound_type=0, detector_type=3, polarity_type=2, concentration=1.25)
    assert {n: typed(field(q, n)) for n in QUAN_FIELDS} == {
        "collision_energy": ("float", 25.0), "compound_name": ("str", "Caffeine"), "q1": ("float", 195.1),
        "q3": ("float", 138.0), "estimated_retention_time": ("float", 4.5),
        "extract_value": ("float", 195.09), "extract_tolerance": ("float", 0.5),
        "concentration": ("float", 1.25)}
    assert field(q, "quan_analysis_type") is QuanAnalysisTypes.SRM
    assert field(q, "detector_type") is DetectorTypes.ANALOG
    assert field(q, "polarity_type") is PolarityTypes.NEGATIVE


@pytest.mark.parametrize("written, read, message", [
    ((3, 6), (3, 5), "Boolean could not be read"),
    ((3, 5), (3, 6), "Zarn symbol could not be read"),
])
def test_leading_boolean_follows_the_version(read_record, written, read, message):
    data = quan(q1=1.0, version=written)
    with pytest.raises(ZarnException) as caught:
        read_record(D.FunctionDescription, data, version=read + (0,))
    assert str(caught.value) == message


def test_quan_description_needs_the_format_version(read_record):
    with pytest.raises(AttributeError, match="_KxmFileReader__major_version"):
        read_record(D.FunctionDescription, quan(), version=None)


@pytest.mark.parametrize("items, expected", [
    ([("is_quan_transition", False)], [("IsQuanTransition", "False")]),
    ([], []),
    ([("supplemental_properties", {"IsQuanTransition": "x", "b": "1"}), ("is_quan_transition", True)],
     [("IsQuanTransition", "True"), ("b", "1")]),
    ([("is_quan_transition", True), ("supplemental_properties", {"a": "1", "IsQuanTransition": "x"})],
     [("a", "1"), ("IsQuanTransition", "True")]),
])
def test_quan_transition_entry(read_record, items, expected):
    q = read_quan(read_record, *items)
    assert list(field(q, "supplemental_properties").items()) == expected
    assert field(q, "is_quan_transition") == (dict(items).get("is_quan_transition"))


# --- spectrum description -----------------------------------------------------------

SPECTRUM_FIELDS = ("index cone_voltage precursor_index ms_level retention_time collision_energy "
                   "precursor_value product_indices polarity spectrum_type precursor_range mass_range "
                   "is_profile_spectrum_measured acquisition_condition_index acquisition_condition "
                   "has_total_ion_base_peak current_total_ion base_peak_mz base_peak_intensity").split()


def spectrum_values(s):
    return {n: typed(field(s, n)) for n in SPECTRUM_FIELDS}


EMPTY_SPECTRUM = {
    "index": ("int", 0), "cone_voltage": ("int", 0), "precursor_index": ("NoneType", None),
    "ms_level": ("NoneType", None), "retention_time": ("NoneType", None),
    "collision_energy": ("NoneType", None), "precursor_value": ("NoneType", None),
    "product_indices": ("NoneType", None), "polarity": ("PolarityTypes", PolarityTypes.NA),
    "spectrum_type": ("SpectrumTypes", SpectrumTypes.NA), "precursor_range": ("NoneType", None),
    "mass_range": ("NoneType", None), "is_profile_spectrum_measured": ("NoneType", None),
    "acquisition_condition_index": ("int", 0), "acquisition_condition": ("NoneType", None),
    "has_total_ion_base_peak": ("bool", False), "current_total_ion": ("int", 0),
    "base_peak_mz": ("int", 0), "base_peak_intensity": ("int", 0),
}


@pytest.mark.parametrize("data, changes", [
    ("80 1E 3E 80 1F", {}),
    ("80 1E 03 C1 01 00 3E 80 1F", {"ms_level": ("int", 1)}),
])
def test_spectrum_description_examples(read_record, data, changes):
    s = read_record(D.InternalSpectrumDescription, bytes.fromhex(data), 0)
    assert spectrum_values(s) == {**EMPTY_SPECTRUM, **changes}
    assert field(s, "supplemental_properties") == {}


def test_spectrum_description_fields(read_record):
    s = read_record(D.InternalSpectrumDescription, w.spectrum_description(
        cone_voltage=20.0, precursor_index=-1, ms_level=2, retention_time=1.5, collision_energy=30.0,
        precursor_value=445.12, product_indices=[4, 5], polarity=1, spectrum_type=3,
        precursor_range=(444.0, 446.0), mass_range=(50.0, 500.0), is_profile_spectrum_measured=False,
        acquisition_condition_index=2, supplemental_properties={"ConeVoltage": "20"},
        totals=(1000.5, 445.1, 99.5)), 12)
    values = spectrum_values(s)
    assert values.pop("precursor_range")[0] == values.pop("mass_range")[0] == "ValueRange"
    assert values == {
        "index": ("int", 12), "cone_voltage": ("float", 20.0), "precursor_index": ("int", -1),
        "ms_level": ("int", 2), "retention_time": ("float", 1.5), "collision_energy": ("float", 30.0),
        "precursor_value": ("float", 445.12), "product_indices": ("list", [4, 5]),
        "polarity": ("PolarityTypes", PolarityTypes.POSITIVE),
        "spectrum_type": ("SpectrumTypes", SpectrumTypes.CENTROID),
        "is_profile_spectrum_measured": ("bool", False), "acquisition_condition_index": ("int", 2),
        "acquisition_condition": ("NoneType", None), "has_total_ion_base_peak": ("bool", True),
        "current_total_ion": ("float", 1000.5), "base_peak_mz": ("float", 445.1),
        "base_peak_intensity": ("float", 99.5)}
    assert field(s, "mass_range") == ValueRange(50.0, 500.0)
    for name in ("product_indices", "precursor_range", "mass_range", "supplemental_properties"):
        assert field(s, name) is field(s, name)
    assert field(s, "supplemental_properties") == {"ConeVoltage": "20"}


def single(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


@pytest.mark.parametrize("version, totals, expected", [
    ((3, 2, 0), (0.1, 2.2, 3.3), (single(0.1), single(2.2), single(3.3))),
    ((3, 0, 0), (0.1, 2.2, 3.3), (single(0.1), single(2.2), single(3.3))),
    ((3, 3, 0), (0.1, 2.2, 3.3), (0.1, 2.2, 3.3)),
    ((3, 6, 0), (0.1, 2.2, 3.3), (0.1, 2.2, 3.3)),
])
def test_totals_width_follows_the_version(read_record, version, totals, expected):
    s = read_record(D.InternalSpectrumDescription,
                    w.spectrum_description(totals=totals, version=version[:2]), 0, version=version)
    assert tuple(field(s, n) for n in ("current_total_ion", "base_peak_mz", "base_peak_intensity")) == expected


@pytest.mark.parametrize("written, read, message", [
    ((3, 3), (3, 2, 0), "Single could not be read"),
    ((3, 2), (3, 3, 0), "Double could not be read"),
])
def test_totals_of_the_other_width_fail(read_record, written, read, message):
    with pytest.raises(ZarnException) as caught:
        read_record(D.InternalSpectrumDescription, w.spectrum_description(totals=(1, 2, 3), version=written),
                    0, version=read)
    assert str(caught.value) == message


def test_version_is_consulted_only_for_stored_totals(read_record):
    s = read_record(D.InternalSpectrumDescription, w.spectrum_description(ms_level=1), 0, version=None)
    assert field(s, "ms_level") == 1
    with pytest.raises(AttributeError):
        read_record(D.InternalSpectrumDescription, w.spectrum_description(totals=(1, 2, 3)), 0, version=None)


@pytest.mark.parametrize("unknown", [(0, w.double(1.0)), (14, w.string("x")), (54, w.int64_array([1]))])
def test_spectrum_unknown_ids_are_skipped(read_record, unknown):
    s = read_record(D.InternalSpectrumDescription, w.spectrum_description(unknown, retention_time=2.0), 0)
    assert field(s, "retention_time") == 2.0


@pytest.mark.parametrize("data, message", [
    (w.spectrum_description()[:-3] + w.symbol(31), "Boolean could not be read"),
    (w.spectrum_description((8, w.tiny_uint(7))), "7 is not a valid PolarityTypes"),
    (w.spectrum_description((9, w.tiny_uint(4))), "4 is not a valid SpectrumTypes"),
    (w.spectrum_description((7, w.int64_array([1]))), "Collection could not be read"),
    (w.spectrum_description((12, w.tiny_uint(1))), "Boolean could not be read"),
    (w.spectrum_description((55, w.int64(1))), "String could not be read [Position: {AbsolutePosition}]"),
    (w.spectrum_description()[:-2] + w.symbol(33), "Zarn symbol error"),
])
def test_spectrum_description_errors(read_record, data, message):
    with pytest.raises((ZarnException, ValueError)) as caught:
        read_record(D.InternalSpectrumDescription, data, 0)
    assert str(caught.value) == message


def test_acquisition_condition_is_settable(read_record):
    s = read_record(D.InternalSpectrumDescription, w.spectrum_description(), 0)
    marker = object()
    s._InternalSpectrumDescription__acquisition_condition = marker
    assert field(s, "acquisition_condition") is marker
    s._InternalSpectrumDescription__acquisition_condition = None
    assert field(s, "acquisition_condition") is None
    with pytest.raises(AttributeError):
        s._InternalSpectrumDescription__retention_time = 1.0


def test_records_are_collected_with_their_cycles(read_record):
    import gc
    import weakref

    s = read_record(D.InternalSpectrumDescription, w.spectrum_description(), 0)
    holder = type("Holder", (), {})()
    holder.description = s
    s._InternalSpectrumDescription__acquisition_condition = holder
    field(s, "supplemental_properties")["self"] = s
    gone = weakref.ref(holder)
    del s, holder
    gc.collect()
    assert gone() is None

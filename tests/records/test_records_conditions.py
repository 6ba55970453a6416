"""The condition records: vendor-specific, triple-quadrupole scan, core
acquisition condition and acquisition condition, with their value hash and
equality."""

import math

import pytest

import zarnwriter as w
from kit.records import create, field, fields, read_into, typed
from zarn_data_access._internal import _description as D
from zarn_data_access._internal import _testing
from zarn_data_access.common import PolarityTypes, SpectrumTypes, ValueRange
from zarn_data_access.exception import ZarnException

Vendor, Scan = D.VendorSpecificAdditionalCondition, D.TripleQScanCondition
Core, Condition = D.InternalAcquisitionCoreCondition, D.InternalAcquisitionCondition
VendorTypes, ScanTypes = D.VendorSpecificAdditionalConditionTypes, D.TripleQScanTypes


def scheme(*contributions):
    """The value hash over fields: 1, then 31 * result + (0 for None, else
    the field's hash)."""
    result = 1
    for value in contributions:
        result = 31 * result + (0 if value is None else hash(value))
    return result


def as_hashed(value):
    """What hash() makes of a __hash__ that returns `value`: an integer that
    fits a Py_hash_t is passed on unreduced (-1 becomes -2), a wider one is
    reduced as hash(value)."""
    if -2**63 <= value < 2**63:
        return -2 if value == -1 else value
    return hash(value)


def h(text):
    return bytes.fromhex(text.replace("|", " "))


# --- vendor-specific and scan conditions ------------------------------------

def test_vendor_record_example(read_record):
    v = read_record(Vendor, h("80 24 | 01 01 | 02 C2 02 00 00 00 | 03 C7 00 00 00 00 00 00 54 40 | 80 25"))
    assert {k: typed(x) for k, x in fields(v, "type original_id cone_voltage scan_info_string").items()} == {
        "type": ("VendorSpecificAdditionalConditionTypes", VendorTypes.SCIEX_ANALYST),
        "original_id": ("int", 2), "cone_voltage": ("float", 80.0), "scan_info_string": ("NoneType", None)}


def test_scan_record_example(read_record):
    s = read_record(Scan, h("80 24 | 01 01 | 02 C7 0A D7 A3 70 3D 02 67 40 | 04 C7 00 00 00 00 00 00 79 40 "
                            "C7 00 00 00 00 00 20 8C 40 | 80 25"))
    assert field(s, "type") is ScanTypes.PRODUCT
    assert field(s, "target_mz") == 184.07
    assert field(s, "q1_range") is None
    q3 = field(s, "q3_range")
    assert type(q3) is ValueRange and (q3.min, q3.max) == (400.0, 900.0)
    assert field(s, "q3_range") is q3


@pytest.mark.parametrize("cls, expected", [(Vendor, 31 ** 3), (Scan, 31 ** 4)])
def test_empty_additional_records(read_record, cls, expected):
    record = read_record(cls, h("80 24 80 25"))
    assert record.__hash__() == expected and hash(record) == expected
    assert record == read_record(cls, h("80 24 80 25"))


@pytest.mark.parametrize("cls, first, second, name", [
    (Vendor, ("original_id", 1), ("original_id", 5), "original_id"),
    (Scan, ("target_mz", 1.5), ("target_mz", 2.5), "target_mz"),
])
def test_unknown_id_skipped_and_repeated_id_overwrites(read_record, cls, first, second, name):
    write = w.vendor_condition if cls is Vendor else w.triple_q_scan_condition
    data = write(("type", 1), first, (9, w.double(3.0)), second)
    record = read_record(cls, data)
    assert field(record, name) == second[1]
    assert field(record, "type").value == 1


@pytest.mark.parametrize("cls, data, message", [
    (Vendor, w.vendor_condition(type=5), "5 is not a valid VendorSpecificAdditionalConditionTypes"),
    (Scan, w.triple_q_scan_condition(type=4), "4 is not a valid TripleQScanTypes"),
    (Vendor, w.vendor_condition((2, w.double(1.0))), "Int32 could not be read"),
    (Scan, w.triple_q_scan_condition((3, w.double(1.0) + w.int32(1))), "Double could not be read"),
    (Vendor, w.vendor_condition((9, b"\xb0")), "UnpackData: Unknown data type"),
    (Vendor, w.symbol(w.BEGIN_OF_ACQUISITION_CONDITION) + w.symbol(37), "Zarn symbol error"),
    (Scan, w.double(1.0), "Zarn symbol could not be read"),
])
def test_additional_record_errors(read_record, cls, data, message):
    with pytest.raises((ZarnException, ValueError)) as caught:
        read_record(cls, data)
    assert str(caught.value) == message


def test_ranges_are_stored_as_read(read_record):
    s = read_record(Scan, w.triple_q_scan_condition(q1_range=(900.0, 400.0)))
    assert (field(s, "q1_range").min, field(s, "q1_range").max) == (900.0, 400.0)


def test_additional_record_hashes_follow_the_scheme(read_record):
    v = read_record(Vendor, w.vendor_condition(type=3, original_id=-7, cone_voltage=12.5, scan_info_string="f"))
    expected = scheme(VendorTypes.THERMO_FISHER_RAW_FILE_READER, -7, 12.5)
    assert v.__hash__() == expected and hash(v) == as_hashed(expected)
    s = read_record(Scan, w.triple_q_scan_condition(type=2, q1_range=(1.0, 2.0), q3_range=(3.0, 4.0)))
    expected = scheme(ScanTypes.NEUTRAL_LOSS, None, ValueRange(1.0, 2.0), ValueRange(3.0, 4.0))
    assert s.__hash__() == expected and hash(s) == as_hashed(expected)


VENDOR = dict(type=1, original_id=2, cone_voltage=80.0, scan_info_string="a")


@pytest.mark.parametrize("change, equal", [
    ({"scan_info_string": "b"}, True),
    ({"type": 4}, False),
    ({"original_id": 3}, False),
    ({"cone_voltage": 80.5}, False),
])
def test_vendor_equality(read_record, change, equal):
    a = read_record(Vendor, w.vendor_condition(**VENDOR))
    b = read_record(Vendor, w.vendor_condition(**{**VENDOR, **change}))
    assert (a == b, a != b) == (equal, not equal)
    if equal:
        assert hash(a) == hash(b) and len({a, b}) == 1


def test_other_classes_are_simply_unequal(read_record):
    v = read_record(Vendor, h("80 24 80 25"))
    s = read_record(Scan, h("80 24 80 25"))
    core = read_record(Core, h("80 22 80 23"))
    condition = read_record(Condition, h("80 22 80 23"))
    for a, b in [(v, s), (s, v), (v, None), (None, v), (core, condition), (condition, core),
                 (condition, None), (condition, "text"), (core, 1)]:
        assert (a == b) is False and (a != b) is True


def test_nan_field_is_unequal_even_to_itself(read_record):
    v = read_record(Vendor, w.vendor_condition(cone_voltage=math.nan))
    assert v != v and not (v == v)
    assert hash(v) == hash(v)


# --- core acquisition condition ---------------------------------------------

def test_core_record_example(read_record):
    core = read_record(Core, h("80 22 | 01 C1 02 00 | 02 C7 00 00 00 00 00 80 41 40 | 07 80 24 01 01 80 25 | 80 23"))
    assert typed(field(core, "ms_level")) == ("int", 2)
    assert typed(field(core, "collision_energy")) == ("float", 35.0)
    scan = field(core, "triple_q_scan_condition")
    assert type(scan) is Scan and field(scan, "type") is ScanTypes.PRODUCT
    assert field(core, "triple_q_scan_condition") is scan
    assert field(core, "vendor_specific_additional_condition") is None


def test_empty_core_record(read_record):
    core = read_record(Core, h("80 22 80 23"))
    assert fields(core, "ms_level collision_energy mass_range vendor_specific_additional_condition "
                        "triple_q_scan_condition") == dict.fromkeys(
        "ms_level collision_energy mass_range vendor_specific_additional_condition "
        "triple_q_scan_condition".split())
    assert field(core, "polarity") is PolarityTypes.NA
    assert field(core, "original_measured_spectrum_type") is SpectrumTypes.NA
    expected = scheme(None, PolarityTypes.NA, None, None, SpectrumTypes.NA, None, None)
    assert core.__hash__() == expected != 31 ** 7


def test_core_hash_takes_the_nested_records_hashes(read_record):
    vendor = w.vendor_condition(type=0, cone_voltage=135.0)
    scan = w.triple_q_scan_condition(type=0, target_mz=1.0)
    core = read_record(Core, w.core_condition(ms_level=2, polarity=1, collision_energy=20.0,
                                              mass_range=(50.0, 1000.0), original_measured_spectrum_type=3,
                                              vendor_specific_additional_condition=vendor,
                                              triple_q_scan_condition=scan))
    nested_vendor = field(core, "vendor_specific_additional_condition")
    nested_scan = field(core, "triple_q_scan_condition")
    expected = scheme(2, PolarityTypes.POSITIVE, 20.0, ValueRange(50.0, 1000.0), SpectrumTypes.CENTROID,
                      nested_vendor, nested_scan)
    assert core.__hash__() == expected and hash(core) == as_hashed(expected)
    # The nested records contribute their hash as the interpreter reduces it.
    assert hash(nested_vendor) == hash(scheme(VendorTypes.AGILENT_MASS_HUNTER, None, 135.0))


def test_core_with_empty_vendor_record_differs_from_one_without(read_record):
    with_vendor = read_record(Core, w.core_condition(vendor_specific_additional_condition=h("80 24 80 25")))
    vendor = field(with_vendor, "vendor_specific_additional_condition")
    assert fields(vendor, "type original_id cone_voltage scan_info_string") == dict.fromkeys(
        ["type", "original_id", "cone_voltage", "scan_info_string"])
    assert with_vendor != read_record(Core, w.core_condition())


@pytest.mark.parametrize("a, b", [
    (w.core_condition(vendor_specific_additional_condition=w.vendor_condition(type=3, scan_info_string="x")),
     w.core_condition(vendor_specific_additional_condition=w.vendor_condition(type=3, scan_info_string="y"))),
    (w.core_condition(("collision_energy", 10.0), ("polarity", 2)),
     w.core_condition(("polarity", 2), ("collision_energy", 10.0))),
])
def test_equal_cores(read_record, a, b):
    x, y = read_record(Core, a), read_record(Core, b)
    assert x == y and hash(x) == hash(y)


def test_core_skips_unknown_ids_and_keeps_the_last_nested_record(read_record):
    core = read_record(Core, w.core_condition(
        (20, w.double(1.0)),
        ("vendor_specific_additional_condition", w.vendor_condition(type=4)),
        ("triple_q_scan_condition", w.triple_q_scan_condition(type=0)),
        ("triple_q_scan_condition", w.triple_q_scan_condition(type=3))))
    assert field(field(core, "vendor_specific_additional_condition"), "type") is VendorTypes.WATERS_MASS_LYNX
    assert field(field(core, "triple_q_scan_condition"), "type") is ScanTypes.NEUTRAL_GAIN


@pytest.mark.parametrize("data, message", [
    (w.core_condition(polarity=9), "9 is not a valid PolarityTypes"),
    (w.core_condition(original_measured_spectrum_type=63), "63 is not a valid SpectrumTypes"),
    (w.core_condition((1, w.int16(1))), "UInt16 could not be read"),
    (w.core_condition((6, w.double(1.0))), "Zarn symbol could not be read"),
    (w.core_condition((7, w.symbol(w.BEGIN_OF_ACQUISITION_CONDITION))), "Zarn symbol error"),
    (w.core_condition((3, w.double(1.0))), "TinyUInt could not be read"),
])
def test_core_errors(read_record, data, message):
    with pytest.raises((ZarnException, ValueError)) as caught:
        read_record(Core, data)
    assert str(caught.value) == message


# --- acquisition condition ---------------------------------------------------

@pytest.mark.parametrize("data, index, expected_hash", [
    (h("80 22 80 23"), 0, 28629151),
    (h("80 22 01 C2 02 00 00 00 80 23"), 2, 30476193),
    (w.acquisition_condition(internal_acquisition_core_condition_index=-1), -1, 31 ** 5 - 31 ** 4),
])
def test_unlinked_condition_examples(read_record, data, index, expected_hash):
    c = read_record(Condition, data)
    assert typed(field(c, "internal_acquisition_core_condition_index")) == ("int", index)
    assert fields(c, "precursor_value precursor_range product_indices internal_acquisition_core_condition") == \
        dict.fromkeys(["precursor_value", "precursor_range", "product_indices",
                       "internal_acquisition_core_condition"])
    assert c.__hash__() == expected_hash


def test_condition_fields_and_hash(read_record):
    c = read_record(Condition, w.acquisition_condition(
        (55, w.string("ignored")), internal_acquisition_core_condition_index=1, precursor_value=500.25,
        precursor_range=(499.0, 501.5), product_indices=[3, 4]))
    assert typed(field(c, "precursor_value")) == ("float", 500.25)
    assert field(c, "product_indices") == [3, 4] and field(c, "product_indices") is field(c, "product_indices")
    expected = scheme(None, 500.25, ValueRange(499.0, 501.5), (3, 4), None) + 31 ** 4 * 1
    assert c.__hash__() == expected


def test_a_hash_past_the_integer_modulus_is_passed_on_unreduced(read_record):
    # 31**5 + 31**3 * 154800000000000 lies between 2**61 and 2**63: hash()
    # keeps it as it is, where hash() of the integer itself reduces it.
    c = read_record(Condition, w.acquisition_condition(precursor_value=154800000000000.0))
    expected = 31 ** 5 + 31 ** 3 * 154800000000000
    assert 2 ** 61 < expected < 2 ** 63
    assert c.__hash__() == hash(c) == expected != hash(expected)


def test_absent_and_empty_product_lists_differ(read_record):
    absent = read_record(Condition, w.acquisition_condition())
    empty = read_record(Condition, w.acquisition_condition(product_indices=[]))
    assert field(empty, "product_indices") == []
    assert absent != empty
    assert absent.__hash__() == 31 ** 5 and empty.__hash__() == 31 ** 5 + 31 * hash(())
    assert absent == read_record(Condition, w.acquisition_condition())


def test_condition_repeated_id_keeps_the_last(read_record):
    c = read_record(Condition, w.acquisition_condition(("internal_acquisition_core_condition_index", 1),
                                                       ("internal_acquisition_core_condition_index", 4)))
    assert field(c, "internal_acquisition_core_condition_index") == 4


@pytest.mark.parametrize("data, message", [
    (w.acquisition_condition((1, w.double(1.0))), "Int32 could not be read"),
    (w.acquisition_condition((2, w.int32(1))), "Double could not be read"),
    (w.acquisition_condition((4, w.single_array([1.0]))), "Collection could not be read"),
    (w.acquisition_condition((9, b"\xe8")), "UnpackData: Unknown data type"),
    (w.acquisition_condition()[:-2] + w.symbol(w.END_OF_ADDITIONAL_CONDITION), "Zarn symbol error"),
])
def test_condition_errors(read_record, data, message):
    with pytest.raises(ZarnException) as caught:
        read_record(Condition, data)
    assert str(caught.value) == message


def test_linking_a_condition_by_hand(read_record):
    c = read_record(Condition, w.acquisition_condition())
    core = read_record(Core, w.core_condition(ms_level=3))
    c._InternalAcquisitionCondition__internal_acquisition_core_condition = core
    assert field(c, "internal_acquisition_core_condition") is core
    assert c.__hash__() == 31 ** 5 + hash(core)
    # The core records see the link as well.
    assert _testing.linked_core_ms_level(c) == 3
    c._InternalAcquisitionCondition__internal_acquisition_core_condition = None
    assert c.__hash__() == 31 ** 5 and _testing.linked_core_ms_level(c) is None
    with pytest.raises(TypeError):
        c._InternalAcquisitionCondition__internal_acquisition_core_condition = "core"


def test_fields_other_than_the_link_cannot_be_set(read_record):
    c = read_record(Condition, w.acquisition_condition())
    with pytest.raises(AttributeError):
        c._InternalAcquisitionCondition__precursor_value = 1.0


def test_read_again_replaces_the_fields(make_reader):
    reader = make_reader(w.vendor_condition(type=1, original_id=1) + w.vendor_condition(original_id=2))
    v = create(Vendor)
    read_into(v, reader)
    assert field(v, "original_id") == 1
    read_into(v, reader)
    assert (field(v, "type"), field(v, "original_id")) == (VendorTypes.SCIEX_ANALYST, 2)

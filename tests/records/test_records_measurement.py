"""The record protocol shared by every description record, and the
measurement description."""

import datetime

import pytest
from dateutil import tz

import zarnwriter as w
from kit.records import create, field, read_into, typed
from zarn_data_access import common
from zarn_data_access._internal import _description as D
from zarn_data_access._internal import _enum
from zarn_data_access.common import InstrumentManufacturers
from zarn_data_access.exception import ZarnException

RECORD_CLASSES = [
    D.MeasurementDescription, D.FunctionDescription, D.QualDescription,
    D.QuanDescription, D.InternalSpectrumDescription, D.InternalAcquisitionCondition,
    D.InternalAcquisitionCoreCondition, D.VendorSpecificAdditionalCondition,
    D.TripleQScanCondition,
]

MEASUREMENT_FIELDS = (
    "hash sample_name sample_id acquisition_method_file_name dilution_factor "
    "injection_volume original_file_path instrument_product_name "
    "measurement_user_name plate_code well_code measurement_date_time "
    "instrument_manufacturer source_file_definition").split()


# --- protocol --------------------------------------------------------------

@pytest.mark.parametrize("cls", RECORD_CLASSES, ids=lambda c: c.__name__)
def test_calling_a_record_class_is_refused(cls):
    with pytest.raises(Exception) as caught:
        cls()
    assert type(caught.value) is Exception
    assert str(caught.value) == "Inaccessible due to protection level"


def test_module_keeps_the_enumerations_and_value_types_it_imports():
    for name in ("ZarnSymbols", "DetectorTypes", "VendorSpecificAdditionalConditionTypes", "TripleQScanTypes"):
        assert getattr(D, name) is getattr(_enum, name)
    for name in ("CompoundTypes", "InstrumentManufacturers", "PolarityTypes", "QuanAnalysisTypes",
                 "SpectrumTypes", "ValueRange"):
        assert getattr(D, name) is getattr(common, name)


def test_factories_make_records_with_their_defaults():
    m = create(D.MeasurementDescription)
    assert [field(m, n) for n in MEASUREMENT_FIELDS] == [None] * len(MEASUREMENT_FIELDS)
    assert field(m, "supplemental_properties") == {}
    s = create(D.InternalSpectrumDescription, 7)
    assert typed(field(s, "index")) == ("int", 7)
    v = create(D.VendorSpecificAdditionalCondition)
    assert [field(v, n) for n in ("type", "original_id", "cone_voltage", "scan_info_string")] == [None] * 4
    f = create(D.FunctionDescription)
    with pytest.raises(AttributeError):
        field(f, "is_qual")


def test_supplemental_dictionaries_are_never_shared():
    a, b = create(D.MeasurementDescription), create(D.MeasurementDescription)
    field(a, "supplemental_properties")["k"] = "v"
    assert field(b, "supplemental_properties") == {}
    assert field(a, "supplemental_properties") is field(a, "supplemental_properties")


# --- measurement description ----------------------------------------------

def full_measurement():
    return w.measurement_description(
        "0123abcd",
        sample_name="Sample 1", sample_id="S-1", acquisition_method_file_name="method.m",
        dilution_factor=2.5, injection_volume=10.0, original_file_path="C:\\data\\run.raw",
        instrument_product_name="Instrument \u00e9", measurement_user_name="user",
        plate_code="P1", well_code="A1",
        measurement_date_time=datetime.datetime(2021, 3, 4, 5, 6, 7, 890000),
        instrument_manufacturer=3, source_file_definition="def",
        supplemental_properties={"key": "value"})


def test_measurement_description_reads_every_field(read_record):
    m = read_record(D.MeasurementDescription, full_measurement())
    assert {n: typed(field(m, n)) for n in MEASUREMENT_FIELDS} == {
        "hash": ("str", "0123abcd"),
        "sample_name": ("str", "Sample 1"),
        "sample_id": ("str", "S-1"),
        "acquisition_method_file_name": ("str", "method.m"),
        "dilution_factor": ("float", 2.5),
        "injection_volume": ("float", 10.0),
        "original_file_path": ("str", "C:\\data\\run.raw"),
        "instrument_product_name": ("str", "Instrument \u00e9"),
        "measurement_user_name": ("str", "user"),
        "plate_code": ("str", "P1"),
        "well_code": ("str", "A1"),
        "measurement_date_time": ("datetime", datetime.datetime(2021, 3, 4, 5, 6, 7, 890000)),
        "instrument_manufacturer": ("InstrumentManufacturers", InstrumentManufacturers(3)),
        "source_file_definition": ("str", "def"),
    }
    assert field(m, "supplemental_properties") == {"key": "value"}
    # Fields read as the same object on every access, as attributes do.
    assert field(m, "measurement_date_time") is field(m, "measurement_date_time")


def test_utc_date_time_is_the_instant_in_the_local_zone(read_record):
    moment = datetime.datetime(2020, 1, 2, 3, 4, 5)
    m = read_record(D.MeasurementDescription,
                    w.measurement_description("", measurement_date_time=w.ticks(moment, utc=True)))
    value = field(m, "measurement_date_time")
    assert value.astimezone(datetime.timezone.utc).replace(tzinfo=None) == moment
    assert isinstance(value.tzinfo, tz.tzlocal)


def test_minimal_measurement_description(read_record, make_reader):
    data = w.measurement_description("")
    m = read_record(D.MeasurementDescription, data)
    assert field(m, "hash") == ""
    assert [field(m, n) for n in MEASUREMENT_FIELDS[1:]] == [None] * 13
    assert field(m, "supplemental_properties") == {}


def test_reader_stands_after_the_record(make_reader):
    data = w.measurement_description("h", sample_name="x") + w.tiny_uint(9)
    reader = make_reader(data)
    m = create(D.MeasurementDescription)
    assert read_into(m, reader) is None
    assert reader._KxmFileReader__read_tiny_uint() == 9


def test_repeated_property_keeps_the_last_value(read_record):
    data = w.measurement_description("", ("sample_name", "first"), ("sample_name", "second"))
    assert field(read_record(D.MeasurementDescription, data), "sample_name") == "second"


@pytest.mark.parametrize("unknown", [
    (0, w.double(1.0)), (14, w.string("skipped")), (33, w.int32_array([1, 2])),
    (54, w.datetime_ticks(5)), (20, w.symbol(13)), (40, w.mini_uint(7)), (41, w.TRUE),
])
def test_unknown_properties_are_skipped(read_record, unknown):
    data = w.measurement_description("", ("sample_id", "a"), unknown, ("well_code", "B2"))
    m = read_record(D.MeasurementDescription, data)
    assert (field(m, "sample_id"), field(m, "well_code")) == ("a", "B2")


U, R = w.UNIT_SEPARATOR, w.RECORD_SEPARATOR


@pytest.mark.parametrize("stored, expected", [
    (f"a{U}1{R}b{U}2{R}a{U}3", [("a", "3"), ("b", "2")]),
    ("", []),
    ("no separator", []),
    (f"x{U}1{U}2{R}y{U}2", [("y", "2")]),
    (f"k{U}v{R}", [("k", "v")]),
    (f"{R}{R}k{U}v", [("k", "v")]),
    (f"{U}value", [("", "value")]),
    (f"key{U}", [("key", "")]),
    (f" k {U} v ", [(" k ", " v ")]),
    (f"\u00e9{U}\u20ac", [("\u00e9", "\u20ac")]),
])
def test_supplemental_properties_string(read_record, stored, expected):
    m = read_record(D.MeasurementDescription,
                    w.measurement_description("", supplemental_properties=stored))
    assert list(field(m, "supplemental_properties").items()) == expected


def test_second_supplemental_property_adds_to_the_same_dictionary(read_record):
    data = w.measurement_description(
        "", ("supplemental_properties", {"a": "1", "b": "2"}),
        ("supplemental_properties", {"c": "3", "a": "4"}))
    props = field(read_record(D.MeasurementDescription, data), "supplemental_properties")
    assert list(props.items()) == [("a", "4"), ("b", "2"), ("c", "3")]


def test_many_supplemental_pairs(read_record):
    pairs = [(f"k{i}", str(i)) for i in range(200)] + [("k5", "again")]
    props = field(read_record(D.MeasurementDescription,
                              w.measurement_description("", supplemental_properties=pairs)),
                  "supplemental_properties")
    assert len(props) == 200 and props["k5"] == "again" and list(props)[5] == "k5"


def test_a_dictionary_handed_out_before_reading_receives_the_pairs(make_reader):
    m = create(D.MeasurementDescription)
    props = field(m, "supplemental_properties")
    props["mine"] = "kept"
    read_into(m, make_reader(w.measurement_description("", supplemental_properties={"a": "1"})))
    assert field(m, "supplemental_properties") is props
    assert props == {"mine": "kept", "a": "1"}


def test_failed_read_leaves_the_fields_read_before_it(make_reader):
    data = w.measurement_description("", sample_name="kept", supplemental_properties={"a": "1"},
                                     dilution_factor=1.0)
    data = data.replace(w.double(1.0), w.single(1.0))
    m = create(D.MeasurementDescription)
    props = field(m, "supplemental_properties")
    with pytest.raises(ZarnException, match="Double could not be read"):
        read_into(m, make_reader(data))
    assert field(m, "sample_name") == "kept"
    assert props == {"a": "1"}


@pytest.mark.parametrize("data, error, message", [
    (w.measurement_description("", (4, w.single(1.0))), ZarnException, "Double could not be read"),
    (w.measurement_description("", (1, w.int64(1))), ZarnException,
     "String could not be read [Position: {AbsolutePosition}]"),
    # A byte of no string form with bit 0x04 clear reads as "" and stays.
    (w.measurement_description("", (1, w.uint16(1))), ZarnException, "Zarn symbol could not be read"),
    (w.measurement_description("", (11, w.double(1.0))), ZarnException, "DateTime could not be read"),
    (w.measurement_description("", (12, w.double(1.0))), ZarnException, "TinyUInt could not be read"),
    (w.measurement_description("", (30, b"\xd0")), ZarnException, "UnpackData: Unknown data type"),
    (w.measurement_description("")[:-2] + w.TRUE + w.symbol(23), ZarnException,
     "Zarn symbol could not be read"),
    (w.measurement_description("")[:-2] + w.symbol(w.END_OF_FUNCTION_DESCRIPTION), ZarnException,
     "Zarn symbol error"),
    (w.symbol(w.BEGIN_OF_SPECTRUM_DESCRIPTION) + w.string("") + w.symbol(23), ZarnException,
     "Zarn symbol error"),
    (w.symbol(22) + w.int64(1) + w.symbol(23), ZarnException,
     "String could not be read [Position: {AbsolutePosition}]"),
])
def test_measurement_description_errors(read_record, data, error, message):
    with pytest.raises(error) as caught:
        read_record(D.MeasurementDescription, data)
    assert str(caught.value) == message


def test_record_read_needs_a_reader(make_reader):
    with pytest.raises(TypeError):
        read_into(create(D.MeasurementDescription), object())

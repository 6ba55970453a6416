"""The public condition classes of the qualitative analysis: the makers'
conditions, the triple-quadrupole scan conditions, AcquisitionCondition and
ChromatogramFilterOption."""

import gc
import math

import pytest

import zarnwriter as w
from kit.compare import Dropped, replacing
from kit.records import field
from zarn_data_access import qual as Q
from zarn_data_access._internal import _description as D
from zarn_data_access.common import PolarityTypes, SpectrumTypes, ValueRange

VendorTypes, ScanTypes = D.VendorSpecificAdditionalConditionTypes, D.TripleQScanTypes
MAKERS = [Q.AgilentMassHunterCondition, Q.SCIEXAnalystCondition, Q.ShimadzuIoModuleCondition,
          Q.ThermoFisherRawFileReaderCondition, Q.WatersMassLynxCondition]
SCANS = [Q.PrecursorIonScanCondition, Q.ProductIonScanCondition, Q.NeutralLossScanCondition,
         Q.NeutralGainScanCondition]


def scheme(*contributions):
    """The value hash: 1, then 31 * result + (0 for None, else the hash),
    as the interpreter reduces it when a __hash__ returns it."""
    result = 1
    for value in contributions:
        result = 31 * result + (0 if value is None else hash(value))
    if -2**63 <= result < 2**63:
        return -2 if result == -1 else result
    return hash(result)


def h(text):
    return bytes.fromhex(text.replace("|", " "))


def vendor(read_record, **fields):
    return read_record(D.VendorSpecificAdditionalCondition, w.vendor_condition(**fields))


def scan(read_record, **fields):
    return read_record(D.TripleQScanCondition, w.triple_q_scan_condition(**fields))


def stored_conditions(read_record, cores, conditions):
    """The condition records of a qualitative description, each linked to
    its core condition."""
    lists = dict(unique_acquisition_condition_list=conditions)
    if cores is not None:
        lists["unique_acquisition_core_condition_list"] = cores
    function = read_record(D.FunctionDescription, w.function_description(True, w.qual_description(**lists)))
    return field(field(function, "qual_description"), "unique_acquisition_condition_list")


def stored_condition(read_record, condition=None, **core):
    return stored_conditions(read_record, [w.core_condition(**core)], [w.acquisition_condition(**(condition or {}))])[0]


def described(read_record, **fields):
    return read_record(D.InternalSpectrumDescription, w.spectrum_description(**fields), 0)


# --- makers' conditions ---------------------------------------------------------------

@pytest.mark.parametrize("cls, argument, text, values, hash_value", [
    (Q.AgilentMassHunterCondition, 35.0, "Agilent|MassHunter: [Fragmentor Voltage] 35", [35.0], 66),
    (Q.AgilentMassHunterCondition, 12.5, "Agilent|MassHunter: [Fragmentor Voltage] 12.5", [12.5], 31 + hash(12.5)),
    (Q.AgilentMassHunterCondition, -0.0, "Agilent|MassHunter: [Fragmentor Voltage] -0", [-0.0], 31),
    (Q.AgilentMassHunterCondition, 1e16, "Agilent|MassHunter: [Fragmentor Voltage] 1e+16", [1e16], 31 + hash(1e16)),
    (Q.AgilentMassHunterCondition, 35, "Agilent|MassHunter", [None], 31),
    (Q.AgilentMassHunterCondition, True, "Agilent|MassHunter", [None], 31),
    (Q.AgilentMassHunterCondition, "35.0", "Agilent|MassHunter", [None], 31),
    (Q.ThermoFisherRawFileReaderCondition, 20.0, "ThermoFisher|RawFileReader: [SID] 20", [20.0, None], 51),
    (Q.ThermoFisherRawFileReaderCondition, None, "ThermoFisher|RawFileReader", [None, None], 31),
    (Q.WatersMassLynxCondition, 30.0, "Waters|MassLynx: [Cone Voltage] 30", [None, 30.0], 991),
    (Q.WatersMassLynxCondition, 0, "Waters|MassLynx", [None, None], 961),
])
def test_maker_condition_from_a_value(cls, argument, text, values, hash_value):
    condition = cls(argument)
    assert str(condition) == repr(condition) == text
    names = {Q.AgilentMassHunterCondition: ["fragmentor_voltage"],
             Q.ThermoFisherRawFileReaderCondition: ["sid", "scan_filter"],
             Q.WatersMassLynxCondition: ["function_number", "cone_voltage"]}[cls]
    assert [getattr(condition, n) for n in names] == values
    assert hash(condition) == hash_value


def test_a_float_argument_is_held_as_given():
    class Volts(float):
        pass

    volts = Volts(35.0)
    assert Q.AgilentMassHunterCondition(volts).fragmentor_voltage is volts
    assert Q.AgilentMassHunterCondition(argument=35.0) == Q.AgilentMassHunterCondition(35.0)
    assert Q.AgilentMassHunterCondition(35) == Q.AgilentMassHunterCondition(None)


@pytest.mark.parametrize("cls, fields, text, hash_value", [
    (Q.SCIEXAnalystCondition, dict(original_id=2), "SCIEX|Analyst: [Experiment Index] 2", 1023),
    (Q.SCIEXAnalystCondition, dict(original_id=2, cone_voltage=100.0),
     "SCIEX|Analyst: [Experiment Index] 2, [DP] 100", 1123),
    (Q.SCIEXAnalystCondition, dict(cone_voltage=100.5), "SCIEX|Analyst: [DP] 100.5", scheme(None, 100.5)),
    (Q.SCIEXAnalystCondition, {}, "SCIEX|Analyst", 961),
    (Q.ShimadzuIoModuleCondition, dict(original_id=3, cone_voltage=1.0), "Shimadzu|IoModule: [Event Number] 3", 34),
    (Q.ShimadzuIoModuleCondition, {}, "Shimadzu|IoModule", 31),
    (Q.AgilentMassHunterCondition, dict(original_id=3), "Agilent|MassHunter", 31),
    (Q.ThermoFisherRawFileReaderCondition, dict(scan_info_string=""), "ThermoFisher|RawFileReader", 31),
    (Q.ThermoFisherRawFileReaderCondition, dict(scan_info_string="FTMS + p ESI"),
     "ThermoFisher|RawFileReader: [Scan Filter] FTMS + p ESI", 31),
    (Q.ThermoFisherRawFileReaderCondition, dict(cone_voltage=20.0, scan_info_string="ITMS"),
     "ThermoFisher|RawFileReader: [SID] 20, [Scan Filter] ITMS", 51),
    (Q.ThermoFisherRawFileReaderCondition, dict(cone_voltage=20.0, scan_info_string=""),
     "ThermoFisher|RawFileReader: [SID] 20", 51),
    (Q.WatersMassLynxCondition, dict(original_id=2, cone_voltage=30.0),
     "Waters|MassLynx: [Function Number] 2, [Cone Voltage] 30", scheme(2, 30.0)),
    (Q.WatersMassLynxCondition, dict(original_id=-5), "Waters|MassLynx: [Function Number] -5", scheme(-5, None)),
])
def test_maker_condition_from_a_record(read_record, cls, fields, text, hash_value):
    # The record's type is not read: every class takes any vendor record.
    condition = cls(vendor(read_record, type=VendorTypes.WATERS_MASS_LYNX, **fields))
    assert str(condition) == repr(condition) == text
    assert hash(condition) == hash_value


def test_sciex_condition_from_the_record_example(read_record):
    record = read_record(D.VendorSpecificAdditionalCondition,
                         h("80 24 | 01 01 | 02 C2 02 00 00 00 | 03 C7 00 00 00 00 00 00 54 40 | 80 25"))
    condition = Q.SCIEXAnalystCondition(vendor_specific_additional_condition=record)
    assert (condition.experiment_index, condition.dp) == (2, 80.0)
    assert str(condition) == "SCIEX|Analyst: [Experiment Index] 2, [DP] 80"


def test_maker_fields_are_the_records_objects(read_record):
    record = vendor(read_record, original_id=7, cone_voltage=1.5, scan_info_string="s")
    thermo = Q.ThermoFisherRawFileReaderCondition(record)
    assert thermo.scan_filter is field(record, "scan_info_string")
    assert Q.WatersMassLynxCondition(record).function_number is field(record, "original_id")


def test_thermo_scan_filter_takes_no_part_in_equality(read_record):
    a = Q.ThermoFisherRawFileReaderCondition(vendor(read_record, cone_voltage=20.0, scan_info_string="a"))
    b = Q.ThermoFisherRawFileReaderCondition(vendor(read_record, cone_voltage=20.0, scan_info_string="b"))
    assert a == b and hash(a) == hash(b) and str(a) != str(b)
    assert a == Q.ThermoFisherRawFileReaderCondition(20.0)


@pytest.mark.parametrize("other", [None, 35.0, "Agilent|MassHunter: [Fragmentor Voltage] 35",
                                   Q.ThermoFisherRawFileReaderCondition(35.0), Q.WatersMassLynxCondition(35.0)])
def test_other_objects_are_unequal(other):
    condition = Q.AgilentMassHunterCondition(35.0)
    assert (condition == other) is False
    assert (condition != other) is True


def test_nan_voltage_equals_no_condition():
    condition = Q.WatersMassLynxCondition(math.nan)
    assert str(condition) == "Waters|MassLynx: [Cone Voltage] nan"
    assert condition != condition and condition != Q.WatersMassLynxCondition(math.nan)


@pytest.mark.parametrize("cls", MAKERS + SCANS)
def test_construction_and_read_only_properties(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(1.0, 2.0)
    if cls in (Q.SCIEXAnalystCondition, Q.ShimadzuIoModuleCondition) or cls in SCANS:
        # These read the record's fields from any argument.
        with pytest.raises(AttributeError):
            cls(object())
        return
    condition = cls(1.0)
    name = [n for n in dir(cls) if isinstance(getattr(cls, n), property)][0]
    with pytest.raises(AttributeError):
        setattr(condition, name, 2.0)


# --- scan conditions ---------------------------------------------------------------------

@pytest.mark.parametrize("cls, values, text", [
    (Q.PrecursorIonScanCondition, dict(product_ion_mz=184.07, q1_range="q1"),
     "Precursor Ion Scan: [Product Ion m/z] 184.07, [Q1 Range] 400.0 - 900.0"),
    (Q.ProductIonScanCondition, dict(precursor_ion_mz=184.07, q3_range="q3"),
     "Product Ion Scan: [Precursor Ion m/z] 184.07, [Q3 Range] 50.0 - 60.0"),
    (Q.NeutralLossScanCondition, dict(neutral_loss_mz=184.07, q1_range="q1", q3_range="q3"),
     "Neutral Loss Scan: [Neutral Loss m/z] 184.07, [Q1 Range] 400.0 - 900.0, [Q3 Range] 50.0 - 60.0"),
    (Q.NeutralGainScanCondition, dict(neutral_gain_mz=184.07, q1_range="q1", q3_range="q3"),
     "Neutral Gain Scan: [Neutral Gain m/z] 184.07, [Q1 Range] 400.0 - 900.0, [Q3 Range] 50.0 - 60.0"),
])
def test_scan_condition_keeps_its_fields(read_record, cls, values, text):
    # The scan kind in the record plays no part.
    record = scan(read_record, type=ScanTypes.NEUTRAL_GAIN, target_mz=184.07, q1_range=(400.0, 900.0),
                  q3_range=(50.0, 60.0))
    condition = cls(triple_q_scan_condition=record)
    sources = {"q1": field(record, "q1_range"), "q3": field(record, "q3_range")}
    for name, value in values.items():
        assert getattr(condition, name) is sources.get(value, getattr(condition, name))
        assert getattr(condition, name) == sources.get(value, value)
    assert str(condition) == repr(condition) == text
    assert hash(condition) == scheme(*(sources.get(v, v) for v in values.values()))


def test_scan_condition_of_an_empty_record(read_record):
    record = scan(read_record)
    assert str(Q.PrecursorIonScanCondition(record)) == "Precursor Ion Scan: [Product Ion m/z] None, [Q1 Range] None"
    assert str(Q.NeutralLossScanCondition(record)) == \
        "Neutral Loss Scan: [Neutral Loss m/z] None, [Q1 Range] None, [Q3 Range] None"
    assert [hash(cls(record)) for cls in SCANS] == [961, 961, 29791, 29791]
    assert Q.ProductIonScanCondition(record) == Q.ProductIonScanCondition(scan(read_record))


def test_scan_condition_values(read_record):
    precursor = Q.PrecursorIonScanCondition(scan(read_record, target_mz=500.0))
    assert hash(precursor) == 31 * (31 + 500)
    record = scan(read_record, target_mz=1.0, q1_range=(1.0, 2.0), q3_range=(3.0, 4.0))
    loss, gain = Q.NeutralLossScanCondition(record), Q.NeutralGainScanCondition(record)
    assert hash(loss) == hash(gain) and loss != gain
    again = Q.NeutralLossScanCondition(scan(read_record, target_mz=1.0, q1_range=(1.0, 2.0), q3_range=(3.0, 4.0)))
    assert again == loss and hash(again) == hash(loss) and again.q1_range is not loss.q1_range
    for other in (None, "x", Q.WatersMassLynxCondition(1.0)):
        assert (loss == other) is False and (loss != other) is True
    nan = Q.ProductIonScanCondition(scan(read_record, target_mz=math.nan))
    assert nan != nan


def test_scan_condition_shares_the_records_range(read_record):
    record = scan(read_record, target_mz=1.0, q1_range=(1.0, 2.0))
    condition = Q.PrecursorIonScanCondition(record)
    before = hash(condition)
    field(record, "q1_range").max = 5.0
    assert str(condition) == "Precursor Ion Scan: [Product Ion m/z] 1.0, [Q1 Range] 1.0 - 5.0"
    assert hash(condition) != before
    assert condition == Q.PrecursorIonScanCondition(scan(read_record, target_mz=1.0, q1_range=(1.0, 5.0)))


# --- AcquisitionCondition ---------------------------------------------------------------------

FIELDS = ["ms_level", "polarity", "collision_energy", "precursor_value", "original_measured_spectrum_type",
          "precursor_range", "mass_range"]


def values(condition):
    return {name: getattr(condition, name) for name in FIELDS}


def condition_hash(condition):
    return scheme(*(getattr(condition, n) for n in FIELDS), tuple(condition.additional_conditions))


def test_condition_of_an_empty_spectrum_description(read_record):
    condition = Q.AcquisitionCondition(read_record(D.InternalSpectrumDescription, h("80 1E 3E 80 1F"), 4))
    assert values(condition) == dict(ms_level=1, polarity=PolarityTypes.NA, collision_energy=None,
                                     precursor_value=None, original_measured_spectrum_type=SpectrumTypes.UNKNOWN,
                                     precursor_range=None, mass_range=None)
    assert condition.additional_conditions == []
    assert str(condition) == repr(condition) == "MS1"
    assert hash(condition) == condition_hash(condition)


@pytest.mark.parametrize("fields, text", [
    (dict(is_profile_spectrum_measured=False), "MS1, [Original Measured Spectrum Type] Centroid"),
    (dict(is_profile_spectrum_measured=True), "MS1, [Original Measured Spectrum Type] Profile"),
    (dict(ms_level=2, polarity=PolarityTypes.BOTH, collision_energy=35.0), "MS2+/-, [Collision Energy] 35.0"),
    (dict(ms_level=3, polarity=PolarityTypes.NEGATIVE, mass_range=(100.0, 1e16), precursor_value=0.1,
          precursor_range=(1e-05, 2.0)),
     "MS3-, [Mass Range] 100.0 - 1e+16, [Precursor Value] 0.1, [Precursor Range] 1e-05 - 2.0"),
    (dict(ms_level=0, polarity=PolarityTypes.POSITIVE), "MS0+"),
    (dict(cone_voltage=20.0, supplemental_properties={"In-SourceCID": "x", "ConeVoltage": "y"}),
     "MS1; ThermoFisher|RawFileReader: [SID] 20"),
    (dict(cone_voltage=20.0, supplemental_properties={"ConeVoltage": "y"}), "MS1; Waters|MassLynx: [Cone Voltage] 20"),
    (dict(cone_voltage=20.0, supplemental_properties={"ConeVoltage": "y", "FragmentorVoltage": "z"}),
     "MS1; Agilent|MassHunter: [Fragmentor Voltage] 20"),
    (dict(cone_voltage=20.0, supplemental_properties={"coneVoltage": "y"}), "MS1"),
    # No stored cone voltage: the maker's condition holds no voltage.
    (dict(supplemental_properties={"FragmentorVoltage": "135"}), "MS1; Agilent|MassHunter"),
    (dict(supplemental_properties={"ConeVoltage": "20"}), "MS1; Waters|MassLynx"),
])
def test_condition_from_a_spectrum_description(read_record, fields, text):
    condition = Q.AcquisitionCondition(described(read_record, **fields))
    assert str(condition) == text
    assert hash(condition) == condition_hash(condition)
    assert condition == Q.AcquisitionCondition(described(read_record, **fields))


def test_condition_of_a_description_holds_the_records_objects(read_record):
    description = described(read_record, mass_range=(1.0, 2.0), precursor_range=(3.0, 4.0),
                            supplemental_properties={"FragmentorVoltage": "1"})
    condition = Q.AcquisitionCondition(argument=description)
    assert condition.mass_range is field(description, "mass_range")
    assert condition.precursor_range is field(description, "precursor_range")
    # A key removed from the handed-out dictionary is gone for the next condition.
    field(description, "supplemental_properties").clear()
    assert Q.AcquisitionCondition(description).additional_conditions == []
    assert condition.additional_conditions is condition.additional_conditions


def test_condition_from_a_condition_record(read_record):
    condition = Q.AcquisitionCondition(stored_condition(
        read_record, dict(precursor_value=500.25, precursor_range=(499.0, 502.0)), ms_level=2,
        polarity=PolarityTypes.POSITIVE, collision_energy=35.0,
        original_measured_spectrum_type=SpectrumTypes.CENTROID,
        vendor_specific_additional_condition=w.vendor_condition(type=VendorTypes.AGILENT_MASS_HUNTER,
                                                                cone_voltage=135.0)))
    assert str(condition) == ("MS2+, [Collision Energy] 35.0, [Precursor Value] 500.25, [Precursor Range] "
                              "499.0 - 502.0, [Original Measured Spectrum Type] Centroid; "
                              "Agilent|MassHunter: [Fragmentor Voltage] 135")
    assert hash(condition) == condition_hash(condition)


def test_condition_record_values_are_the_records_objects(read_record):
    record = stored_condition(read_record, dict(precursor_range=(1.0, 2.0)), mass_range=(3.0, 4.0))
    core = field(record, "internal_acquisition_core_condition")
    condition = Q.AcquisitionCondition(record)
    assert condition.mass_range is field(core, "mass_range")
    assert condition.precursor_range is field(record, "precursor_range")
    # The core's own measured type (default NA) and polarity (default NA) are kept.
    assert values(condition) == dict(ms_level=1, polarity=PolarityTypes.NA, collision_energy=None,
                                     precursor_value=None, original_measured_spectrum_type=SpectrumTypes.NA,
                                     precursor_range=ValueRange(1.0, 2.0), mass_range=ValueRange(3.0, 4.0))
    assert str(condition) == "MS1, [Mass Range] 3.0 - 4.0, [Precursor Range] 1.0 - 2.0"


@pytest.mark.parametrize("vendor_fields, scan_fields, classes", [
    (dict(type=VendorTypes.SCIEX_ANALYST, original_id=1), None, [Q.SCIEXAnalystCondition]),
    (dict(type=VendorTypes.SHIMADZU_IO_MODULE, original_id=1), None, [Q.ShimadzuIoModuleCondition]),
    (dict(type=VendorTypes.THERMO_FISHER_RAW_FILE_READER), None, [Q.ThermoFisherRawFileReaderCondition]),
    (dict(type=VendorTypes.WATERS_MASS_LYNX), None, [Q.WatersMassLynxCondition]),
    (dict(original_id=1), dict(target_mz=1.0), []),
    (None, dict(type=ScanTypes.PRECURSOR), [Q.PrecursorIonScanCondition]),
    (None, dict(type=ScanTypes.PRODUCT), [Q.ProductIonScanCondition]),
    (None, dict(type=ScanTypes.NEUTRAL_LOSS), [Q.NeutralLossScanCondition]),
    (None, dict(type=ScanTypes.NEUTRAL_GAIN), [Q.NeutralGainScanCondition]),
    (dict(type=VendorTypes.WATERS_MASS_LYNX, cone_voltage=3.0), dict(type=ScanTypes.PRODUCT, target_mz=2.5),
     [Q.WatersMassLynxCondition, Q.ProductIonScanCondition]),
])
def test_additional_conditions_of_a_record(read_record, vendor_fields, scan_fields, classes):
    core = {}
    if vendor_fields is not None:
        core["vendor_specific_additional_condition"] = w.vendor_condition(**vendor_fields)
    if scan_fields is not None:
        core["triple_q_scan_condition"] = w.triple_q_scan_condition(**scan_fields)
    condition = Q.AcquisitionCondition(stored_condition(read_record, **core))
    assert [type(c) for c in condition.additional_conditions] == classes
    assert str(condition) == "; ".join(["MS1"] + [str(c) for c in condition.additional_conditions])
    assert hash(condition) == condition_hash(condition)


def test_record_and_description_conditions_compare_by_value(read_record):
    from_record = Q.AcquisitionCondition(stored_condition(
        read_record, ms_level=2, collision_energy=20.0, original_measured_spectrum_type=SpectrumTypes.UNKNOWN,
        vendor_specific_additional_condition=w.vendor_condition(type=VendorTypes.WATERS_MASS_LYNX,
                                                                cone_voltage=30.0)))
    from_description = Q.AcquisitionCondition(described(
        read_record, ms_level=2, collision_energy=20.0, cone_voltage=30.0,
        supplemental_properties={"ConeVoltage": "30"}))
    assert from_record == from_description and hash(from_record) == hash(from_description)
    # The record's maker condition holds a function number only if stored.
    assert {from_record, from_description} == {from_record}


def test_additional_conditions_take_part_by_order_and_number(read_record):
    a = Q.AcquisitionCondition(described(read_record))
    b = Q.AcquisitionCondition(described(read_record))
    a.additional_conditions.extend([Q.WatersMassLynxCondition(1.0), Q.AgilentMassHunterCondition(1.0)])
    b.additional_conditions.extend([Q.AgilentMassHunterCondition(1.0), Q.WatersMassLynxCondition(1.0)])
    assert a != b
    b.additional_conditions.reverse()
    assert a == b and hash(a) == hash(b)
    assert str(a) == "MS1; Waters|MassLynx: [Cone Voltage] 1; Agilent|MassHunter: [Fragmentor Voltage] 1"
    b.additional_conditions.pop()
    assert a != b


@pytest.mark.parametrize("make_other", [lambda r: None, lambda r: "MS1", lambda r: stored_condition(r)])
def test_condition_compared_with_other_objects(read_record, make_other):
    condition = Q.AcquisitionCondition(described(read_record))
    other = make_other(read_record)
    assert (condition == other) is False and (condition != other) is True


def test_a_condition_built_from_anything_else_has_no_fields(read_record):
    for argument in (None, 3, "MS1", object()):
        condition = Q.AcquisitionCondition(argument)
        assert condition.additional_conditions == []
        for name in FIELDS:
            with pytest.raises(AttributeError, match=f"_AcquisitionCondition__{name}"):
                getattr(condition, name)
        with pytest.raises(AttributeError):
            str(condition)
        with pytest.raises(AttributeError):
            hash(condition)
        assert (condition == None) is False  # noqa: E711
    full = Q.AcquisitionCondition(described(read_record))
    with pytest.raises(AttributeError):
        full == Q.AcquisitionCondition(None)  # noqa: B015


def test_condition_construction_errors(read_record):
    unlinked = stored_conditions(read_record, None, [w.acquisition_condition()])[0]
    with pytest.raises(AttributeError):
        Q.AcquisitionCondition(unlinked)
    with pytest.raises(TypeError):
        Q.AcquisitionCondition()
    with pytest.raises(TypeError):
        Q.AcquisitionCondition(None, None)
    with pytest.raises(TypeError):
        Q.AcquisitionCondition(other=None)
    condition = Q.AcquisitionCondition(described(read_record))
    with pytest.raises(AttributeError):
        condition.ms_level = 2


# --- ChromatogramFilterOption ------------------------------------------------------------

def test_filter_option_text_and_properties(read_record):
    condition = Q.AcquisitionCondition(described(read_record, ms_level=2, collision_energy=35.0))
    mz = ValueRange(100.0, 100.5)
    option = Q.ChromatogramFilterOption(condition, mz)
    assert option.retention_time_range is None
    assert option.acquisition_condition is condition and option.extract_mz_range is mz
    assert str(option) == repr(option) == \
        "[AcquisitionCondition] MS2, [Collision Energy] 35.0, [Extract m/z Range] 100.0 - 100.5"
    rt = ValueRange(1, 2)
    option.retention_time_range = rt
    assert option.retention_time_range is rt
    assert str(option).endswith(", [Extract m/z Range] 100.0 - 100.5, [Retention Time Range] 1 - 2")
    rt.max = 3
    assert str(option).endswith("[Retention Time Range] 1 - 3")
    option.retention_time_range = None
    assert str(option) == "[AcquisitionCondition] MS2, [Collision Energy] 35.0, [Extract m/z Range] 100.0 - 100.5"


def test_filter_option_stores_anything_unchecked():
    option = Q.ChromatogramFilterOption(extract_mz_range="mz", acquisition_condition=None, retention_time_range=7)
    assert str(option) == "[AcquisitionCondition] None, [Extract m/z Range] mz, [Retention Time Range] 7"
    option.extract_mz_range = None
    option.acquisition_condition = "c"
    assert (option.acquisition_condition, option.extract_mz_range) == ("c", None)
    assert Q.ChromatogramFilterOption(None, None) != Q.ChromatogramFilterOption(None, None)
    with pytest.raises(AttributeError):
        del option.extract_mz_range
    with pytest.raises(TypeError):
        Q.ChromatogramFilterOption(None)
    with pytest.raises(TypeError):
        Q.ChromatogramFilterOption(None, None, None, None)
    with pytest.raises(TypeError):
        Q.ChromatogramFilterOption(None, None, rt=None)


def test_cycles_through_conditions_and_options_are_collected(read_record):
    def alive():
        gc.collect()
        return sum(type(o) in (Q.AcquisitionCondition, Q.ChromatogramFilterOption) for o in gc.get_objects())

    before = alive()
    condition = Q.AcquisitionCondition(described(read_record, mass_range=(1.0, 2.0)))
    condition.additional_conditions.append([condition])
    option = Q.ChromatogramFilterOption(condition, None)
    option.retention_time_range = option
    assert alive() == before + 2
    del condition, option
    assert alive() == before


# --- values that lead back to themselves ----------------------------------------------

# Each returns the value and a function that breaks its cycle again.

def own_list(read_record):
    condition = Q.AcquisitionCondition(stored_condition(read_record))
    condition.additional_conditions.append(condition)
    return condition, condition.additional_conditions.clear


def own_core_range(read_record):
    core = field(stored_condition(read_record, mass_range=(100.0, 200.0)), "internal_acquisition_core_condition")
    mass_range = field(core, "mass_range")
    mass_range.min = (core,)
    return core, lambda: setattr(mass_range, "min", 100.0)


def own_range(read_record):
    value_range = ValueRange(1.0, 2.0)
    value_range.max = (value_range,)
    return value_range, lambda: setattr(value_range, "max", 2.0)


@pytest.mark.parametrize("make", [own_list, own_core_range, own_range])
def test_a_value_that_holds_itself_fails_to_hash(read_record, make):
    """The hash recurses through the value's own fields: it must end in
    RecursionError, as in Python code, never overflow the C stack."""
    value, unlink = make(read_record)
    try:
        with pytest.raises(RecursionError):
            hash(value)
        with pytest.raises(RecursionError):
            {value}
    finally:
        unlink()


class ScanFields:
    """Stands in for a scan condition record: the fields a scan condition reads."""
    def __init__(self, target_mz, q1_range=None):
        self._TripleQScanCondition__target_mz = target_mz
        self._TripleQScanCondition__q1_range = q1_range


def test_a_comparison_that_replaces_a_range_bound_leaves_it_alive():
    for _ in range(2000):
        first = ValueRange(replacing(lambda: second, "min"), 1)
        second = ValueRange(Dropped(), 1)
        P = Q.PrecursorIonScanCondition
        assert P(ScanFields(1.0, first)) != P(ScanFields(1.0, second))


@pytest.mark.parametrize("nest", ["cycle", "deep"])
def test_conditions_nested_beyond_the_limit_fail_to_compare(nest):
    P = Q.PrecursorIonScanCondition
    if nest == "cycle":
        a_list, b_list = [], []
        a, b = P(ScanFields(a_list)), P(ScanFields(b_list))
        a_list.append(a)
        b_list.append(b)
    else:
        a = b = None
        for _ in range(100_000):
            a, b = P(ScanFields([a])), P(ScanFields([b]))
    try:
        with pytest.raises(RecursionError):
            a == b
    finally:
        if nest == "cycle":
            a_list.clear()
            b_list.clear()

"""Encoders of the description records of a Zarn file.

A record is its begin symbol, its untagged values, its tagged properties
(the property id as a tiny unsigned number, then the value in the encoding
the id calls for) and its end symbol.  Records nested in another record
(the qualitative and quantitative descriptions) have no symbols of their
own.

Properties are given as keyword arguments by field name, written in the
order given, or as leading (key, value) pairs, which may repeat a field or
use an integer id whose value is ready bytes (unknown ids, wrong kinds).
"""

from .values import (
    boolean,
    datetime_ticks,
    datetime_value,
    double,
    int32,
    int32_array,
    single,
    single_array,
    string,
    symbol,
    tiny_uint,
    uint16,
)

__all__ = [
    # block symbols
    "START_OF_ZARN", "LIMIT_OF_ZARN", "BEGIN_OF_ZARN_DESCRIPTION",
    "END_OF_ZARN_DESCRIPTION", "BEGIN_OF_CONVERSION_OPTION",
    "END_OF_CONVERSION_OPTION", "GLOBAL_JUMP_TABLE",
    "BEGIN_OF_MEASUREMENT_INDEX_BLOCK", "END_OF_MEASUREMENT_INDEX_BLOCK",
    "BEGIN_OF_MEASUREMENT_DESCRIPTION", "END_OF_MEASUREMENT_DESCRIPTION",
    "BEGIN_OF_FUNCTION_INDEX_BLOCK", "END_OF_FUNCTION_INDEX_BLOCK",
    "BEGIN_OF_FUNCTION_DESCRIPTION", "END_OF_FUNCTION_DESCRIPTION",
    "BEGIN_OF_SPECTRUM_DESCRIPTION", "END_OF_SPECTRUM_DESCRIPTION",
    "BEGIN_OF_SPECTRUM_INDEX_BLOCK", "END_OF_SPECTRUM_INDEX_BLOCK",
    "BEGIN_OF_ACQUISITION_CONDITION", "END_OF_ACQUISITION_CONDITION",
    "BEGIN_OF_ADDITIONAL_CONDITION", "END_OF_ADDITIONAL_CONDITION",
    # property tables
    "MEASUREMENT_DESCRIPTION", "VENDOR_CONDITION", "TRIPLE_Q_SCAN_CONDITION",
    "CORE_CONDITION", "ACQUISITION_CONDITION", "QUAL_DESCRIPTION",
    "QUAN_DESCRIPTION", "SPECTRUM_DESCRIPTION",
    # helpers
    "RECORD_SEPARATOR", "UNIT_SEPARATOR", "supplemental", "value_range",
    "record_list", "properties",
    # records
    "measurement_description", "vendor_condition", "triple_q_scan_condition",
    "core_condition", "acquisition_condition", "qual_description",
    "quan_description", "function_description", "spectrum_description",
]

# Block symbol values.
START_OF_ZARN = 1
LIMIT_OF_ZARN = 2
BEGIN_OF_ZARN_DESCRIPTION = 3
END_OF_ZARN_DESCRIPTION = 4
BEGIN_OF_CONVERSION_OPTION = 6
END_OF_CONVERSION_OPTION = 7
GLOBAL_JUMP_TABLE = 10
BEGIN_OF_MEASUREMENT_INDEX_BLOCK = 20
END_OF_MEASUREMENT_INDEX_BLOCK = 21
BEGIN_OF_MEASUREMENT_DESCRIPTION = 22
END_OF_MEASUREMENT_DESCRIPTION = 23
BEGIN_OF_FUNCTION_INDEX_BLOCK = 26
END_OF_FUNCTION_INDEX_BLOCK = 27
BEGIN_OF_FUNCTION_DESCRIPTION = 28
END_OF_FUNCTION_DESCRIPTION = 29
BEGIN_OF_SPECTRUM_DESCRIPTION = 30
END_OF_SPECTRUM_DESCRIPTION = 31
BEGIN_OF_SPECTRUM_INDEX_BLOCK = 32
END_OF_SPECTRUM_INDEX_BLOCK = 33
BEGIN_OF_ACQUISITION_CONDITION = 34
END_OF_ACQUISITION_CONDITION = 35
BEGIN_OF_ADDITIONAL_CONDITION = 36
END_OF_ADDITIONAL_CONDITION = 37

# Separators of the supplemental-properties string.
RECORD_SEPARATOR = "\u241e"  # between pairs
UNIT_SEPARATOR = "\u241f"  # between key and value


# --- value encoders of the property tables -------------------------------

def supplemental(pairs):
    """The supplemental-properties string: a str as it stands, or pairs (a
    dict or (key, value) tuples) joined by the two separators."""
    if isinstance(pairs, str):
        return string(pairs)
    items = pairs.items() if isinstance(pairs, dict) else pairs
    return string(RECORD_SEPARATOR.join(k + UNIT_SEPARATOR + v for k, v in items))


def value_range(bounds):
    """A range: two Doubles, minimum first."""
    low, high = bounds
    return double(low) + double(high)


def _enum(value):
    """An enumeration value: a tiny number (a member's `value` or an int)."""
    return tiny_uint(getattr(value, "value", value))


def _date_time(value):
    """A date-time: a datetime's calendar fields, or a raw tick count."""
    return datetime_ticks(value) if isinstance(value, int) else datetime_value(value)


def _nested(record):
    """A nested record that follows its id directly: its bytes."""
    return bytes(record)


def record_list(records, count=None):
    """A tagged Int32 count (the number of records unless given), then the
    records back to back."""
    records = list(records)
    return int32(len(records) if count is None else count) + b"".join(records)


def _int32_list(values):
    return int32_array(list(values))


def _single_list(values):
    return single_array(list(values))


# --- property tables: field name -> (property id, encoder) ---------------

MEASUREMENT_DESCRIPTION = {
    "sample_name": (1, string),
    "sample_id": (2, string),
    "acquisition_method_file_name": (3, string),
    "dilution_factor": (4, double),
    "injection_volume": (5, double),
    "original_file_path": (6, string),
    "instrument_product_name": (7, string),
    "measurement_user_name": (8, string),
    "plate_code": (9, string),
    "well_code": (10, string),
    "measurement_date_time": (11, _date_time),
    "instrument_manufacturer": (12, _enum),
    "source_file_definition": (13, string),
    "supplemental_properties": (55, supplemental),
}

VENDOR_CONDITION = {
    "type": (1, _enum),
    "original_id": (2, int32),
    "cone_voltage": (3, double),
    "scan_info_string": (4, string),
}

TRIPLE_Q_SCAN_CONDITION = {
    "type": (1, _enum),
    "target_mz": (2, double),
    "q1_range": (3, value_range),
    "q3_range": (4, value_range),
}

CORE_CONDITION = {
    "ms_level": (1, uint16),
    "collision_energy": (2, double),
    "polarity": (3, _enum),
    "mass_range": (4, value_range),
    "original_measured_spectrum_type": (5, _enum),
    "vendor_specific_additional_condition": (6, _nested),
    "triple_q_scan_condition": (7, _nested),
}

ACQUISITION_CONDITION = {
    "internal_acquisition_core_condition_index": (1, int32),
    "precursor_value": (2, double),
    "precursor_range": (3, value_range),
    "product_indices": (4, _int32_list),
}

QUAL_DESCRIPTION = {
    "wavelength_arr": (1, _single_list),
    "detector_type": (2, _enum),
    "unique_acquisition_core_condition_list": (3, record_list),
    "unique_acquisition_condition_list": (4, record_list),
    "supplemental_properties": (55, supplemental),
}

QUAN_DESCRIPTION = {
    "collision_energy": (1, double),
    "compound_name": (2, string),
    "q1": (3, double),
    "q3": (4, double),
    "estimated_retention_time": (5, double),
    "extract_value": (6, double),
    "extract_tolerance": (7, double),
    "quan_analysis_type": (8, _enum),
    "compound_type": (9, _enum),
    "detector_type": (10, _enum),
    "polarity_type": (11, _enum),
    "concentration": (12, double),
    "is_quan_transition": (13, boolean),
    "supplemental_properties": (55, supplemental),
}

SPECTRUM_DESCRIPTION = {
    "cone_voltage": (1, double),
    "precursor_index": (2, int32),
    "ms_level": (3, uint16),
    "retention_time": (4, double),
    "collision_energy": (5, double),
    "precursor_value": (6, double),
    "product_indices": (7, _int32_list),
    "polarity": (8, _enum),
    "spectrum_type": (9, _enum),
    "precursor_range": (10, value_range),
    "mass_range": (11, value_range),
    "is_profile_spectrum_measured": (12, boolean),
    "acquisition_condition_index": (13, int32),
    "supplemental_properties": (55, supplemental),
}


def properties(table, items=(), fields=None):
    """Tagged properties: the (key, value) pairs of `items`, then those of
    `fields`, in order.  A str key names a field of `table`; an int key is a
    raw property id whose value is ready bytes."""
    out = bytearray()
    for key, value in list(items) + list((fields or {}).items()):
        if isinstance(key, int):
            out += tiny_uint(key) + bytes(value)
        else:
            prop_id, encode = table[key]
            out += tiny_uint(prop_id) + encode(value)
    return bytes(out)


def _framed(begin, end, body):
    return symbol(begin) + body + symbol(end)


# --- records --------------------------------------------------------------

def measurement_description(hash="", *items, **fields):
    """Begin symbol, the untagged hash string, properties, end symbol."""
    return _framed(BEGIN_OF_MEASUREMENT_DESCRIPTION, END_OF_MEASUREMENT_DESCRIPTION,
                   string(hash) + properties(MEASUREMENT_DESCRIPTION, items, fields))


def vendor_condition(*items, **fields):
    """A maker-specific condition, framed by the additional-condition symbols."""
    return _framed(BEGIN_OF_ADDITIONAL_CONDITION, END_OF_ADDITIONAL_CONDITION,
                   properties(VENDOR_CONDITION, items, fields))


def triple_q_scan_condition(*items, **fields):
    """A triple-quadrupole scan condition, framed like the vendor record."""
    return _framed(BEGIN_OF_ADDITIONAL_CONDITION, END_OF_ADDITIONAL_CONDITION,
                   properties(TRIPLE_Q_SCAN_CONDITION, items, fields))


def core_condition(*items, **fields):
    """A core acquisition condition; the nested vendor and scan records
    (ids 6 and 7) are given as their record bytes."""
    return _framed(BEGIN_OF_ACQUISITION_CONDITION, END_OF_ACQUISITION_CONDITION,
                   properties(CORE_CONDITION, items, fields))


def acquisition_condition(*items, **fields):
    """An acquisition condition, framed like the core condition."""
    return _framed(BEGIN_OF_ACQUISITION_CONDITION, END_OF_ACQUISITION_CONDITION,
                   properties(ACQUISITION_CONDITION, items, fields))


def qual_description(*items, **fields):
    """A qualitative description: properties only, no symbols.  The two
    condition lists are given as lists of record bytes."""
    return properties(QUAL_DESCRIPTION, items, fields)


def quan_description(*items, version=(3, 6), **fields):
    """A quantitative description: for format 3.0 to 3.5 a leading
    Boolean without id (written false), then properties; no symbols."""
    major, minor = version[0], version[1]
    leading = boolean(False) if major == 3 and minor <= 5 else b""
    return leading + properties(QUAN_DESCRIPTION, items, fields)


def function_description(is_qual, description=b""):
    """Begin symbol, the is-qual Boolean, the nested description, end symbol."""
    return _framed(BEGIN_OF_FUNCTION_DESCRIPTION, END_OF_FUNCTION_DESCRIPTION,
                   boolean(is_qual) + description)


def spectrum_description(*items, totals=None, version=(3, 6), **fields):
    """Begin symbol, properties, the trailer and end symbol.  The trailer is
    a Boolean, true when `totals` (total ion current, base peak m/z, base
    peak intensity) are given, followed by them as Doubles from format 3.3
    on and as Singles before."""
    trailer = boolean(totals is not None)
    if totals is not None:
        major, minor = version[0], version[1]
        number = double if major > 3 or (major == 3 and minor > 2) else single
        trailer += b"".join(number(v) for v in totals)
    return _framed(BEGIN_OF_SPECTRUM_DESCRIPTION, END_OF_SPECTRUM_DESCRIPTION,
                   properties(SPECTRUM_DESCRIPTION, items, fields) + trailer)

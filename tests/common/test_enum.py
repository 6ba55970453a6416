import enum

import pytest

from zarn_data_access._internal._enum import (
    DetectorTypes,
    TripleQScanTypes,
    VendorSpecificAdditionalConditionTypes,
    ZarnSymbols,
)

ZARN_SYMBOLS = [
    ("NONE", 0), ("START_OF_ZARN", 1), ("LIMIT_OF_ZARN", 2),
    ("BEGIN_OF_ZARN_DESCRIPTION", 3), ("END_OF_ZARN_DESCRIPTION", 4),
    ("BEGIN_OF_CONVERSION_OPTION", 6), ("END_OF_CONVERSION_OPTION", 7),
    ("GLOBAL_JUMP_TABLE", 10),
    ("BEGIN_OF_SPECTRUM", 13), ("END_OF_SPECTRUM", 14),
    ("BEGIN_OF_CHROMATOGRAM", 15), ("END_OF_CHROMATOGRAM", 16),
    ("BEGIN_OF_MEASUREMENT_INDEX_BLOCK", 20), ("END_OF_MEASUREMENT_INDEX_BLOCK", 21),
    ("BEGIN_OF_MEASUREMENT_DESCRIPTION", 22), ("END_OF_MEASUREMENT_DESCRIPTION", 23),
    ("BEGIN_OF_FUNCTION_INDEX_BLOCK", 26), ("END_OF_FUNCTION_INDEX_BLOCK", 27),
    ("BEGIN_OF_FUNCTION_DESCRIPTION", 28), ("END_OF_FUNCTION_DESCRIPTION", 29),
    ("BEGIN_OF_SPECTRUM_DESCRIPTION", 30), ("END_OF_SPECTRUM_DESCRIPTION", 31),
    ("BEGIN_OF_SPECTRUM_INDEX_BLOCK", 32), ("END_OF_SPECTRUM_INDEX_BLOCK", 33),
    ("BEGIN_OF_ACQUISITION_CONDITION", 34), ("END_OF_ACQUISITION_CONDITION", 35),
    ("BEGIN_OF_ADDITIONAL_CONDITION", 36), ("END_OF_ADDITIONAL_CONDITION", 37),
    ("SPECTRUM_NO_COMPRESSION", 40), ("SPECTRUM_ZSTD_COMPRESSION", 41),
    ("SPECTRUM_MZ_AND_ZSTD_COMPRESSION", 42), ("SPECTRUM_BY_SCIEX_FORMAT", 43),
    ("CHROMATOGRAM_NO_COMPRESSION", 45), ("CHROMATOGRAM_ZSTD_COMPRESSION", 46),
    ("CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION", 47),
    ("SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE", 50),
    ("DAD_INTENSITIES_INSTEAD_OF_SPECTRUM", 51),
    ("SPECTRUM_ZSTD_EFFICIENT_COMPRESSION", 52),
    ("SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION", 53),
    ("SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION", 54),
    ("DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION", 55),
    ("SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION", 56),
]

TABLES = [
    (ZarnSymbols, ZARN_SYMBOLS),
    (DetectorTypes, [("NA", 0), ("MS", 1), ("DAD", 2), ("ANALOG", 3)]),
    (TripleQScanTypes, [("PRECURSOR", 0), ("PRODUCT", 1),
                        ("NEUTRAL_LOSS", 2), ("NEUTRAL_GAIN", 3)]),
    (VendorSpecificAdditionalConditionTypes,
     [("AGILENT_MASS_HUNTER", 0), ("SCIEX_ANALYST", 1), ("SHIMADZU_IO_MODULE", 2),
      ("THERMO_FISHER_RAW_FILE_READER", 3), ("WATERS_MASS_LYNX", 4)]),
]


@pytest.mark.parametrize("cls, rows", TABLES, ids=lambda v: getattr(v, "__name__", ""))
def test_members_in_table_order_with_their_values(cls, rows):
    assert [(m.name, m.value) for m in cls] == rows
    assert [(n, m.value) for n, m in cls.__members__.items()] == rows
    for name, value in rows:
        member = cls(value)
        assert member is getattr(cls, name)
        assert type(member.value) is int


@pytest.mark.parametrize("cls", [t[0] for t in TABLES], ids=lambda c: c.__name__)
def test_plain_enumerations_of_the_module(cls):
    assert issubclass(cls, enum.Enum)
    assert not issubclass(cls, int)
    assert cls.__module__ == "zarn_data_access._internal._enum"
    assert cls.__qualname__ == cls.__name__


def test_member_counts():
    assert [len(ZarnSymbols), len(DetectorTypes), len(TripleQScanTypes),
            len(VendorSpecificAdditionalConditionTypes)] == [42, 4, 4, 5]


UNDEFINED_SYMBOLS = [5, 8, 9, 11, 12, 17, 18, 19, 24, 25, 38, 39, 44, 48, 49, 57, 4095]


@pytest.mark.parametrize("cls, value",
                         [(ZarnSymbols, v) for v in UNDEFINED_SYMBOLS]
                         + [(DetectorTypes, 4), (TripleQScanTypes, 4),
                            (VendorSpecificAdditionalConditionTypes, 5)])
def test_undefined_value_fails_lookup_with_value_error(cls, value):
    with pytest.raises(ValueError):
        cls(value)


def test_members_are_not_their_integers():
    assert ZarnSymbols(0) is ZarnSymbols.NONE
    assert DetectorTypes(1) is DetectorTypes.MS
    assert not (DetectorTypes.MS == 1)
    assert DetectorTypes.MS != 1
    assert DetectorTypes.MS.value == 1
    assert ZarnSymbols.START_OF_ZARN != DetectorTypes.MS
    assert len({ZarnSymbols.NONE, ZarnSymbols.NONE, DetectorTypes.NA}) == 2

"""The option tree of a conversion: class-level defaults, shared default
objects, and read-write properties over class-qualified fields."""

import pytest

from zarn_data_access.common import AnalysisTypes, QuanAnalysisTypes
from zarn_data_access.converter import (
    AdditionalOptions,
    ConvertOptions,
    ManufacturerOptions,
    QualOptions,
    QuanOptions,
    ShimadzuOptions,
    WatersOptions,
)

OPTION_CLASSES = [
    QualOptions,
    QuanOptions,
    ShimadzuOptions,
    WatersOptions,
    ManufacturerOptions,
    AdditionalOptions,
    ConvertOptions,
]

# Every property with its default; None stands for a shared object of the
# named class.
PROPERTIES = [
    (QualOptions, "keep_profile_spectra", False),
    (QualOptions, "keep_only_ms1_spectra", False),
    (QuanOptions, "desired_quan_analysis_type", QuanAnalysisTypes.ALL),
    (ShimadzuOptions, "use_shimadzu_post_processing", False),
    (WatersOptions, "keep_last_ms_function_in_mse", False),
    (ManufacturerOptions, "shimadzu_options", ShimadzuOptions),
    (ManufacturerOptions, "waters_options", WatersOptions),
    (AdditionalOptions, "force_split_by_measurement", False),
    (ConvertOptions, "qual_options", QualOptions),
    (ConvertOptions, "quan_options", QuanOptions),
    (ConvertOptions, "manufacturer_options", ManufacturerOptions),
    (ConvertOptions, "desired_analysis_type", AnalysisTypes.ALL),
    (ConvertOptions, "additional_options", AdditionalOptions),
]


def stored(cls, prop):
    return f"_{cls.__name__}__{prop}"


@pytest.fixture
def shared_defaults():
    """The shared default option objects, restored after the test."""
    objects = [
        getattr(cls, stored(cls, prop))
        for cls, prop, default in PROPERTIES
        if isinstance(default, type)
    ]
    saved = [dict(vars(o)) for o in objects]
    yield
    for o, values in zip(objects, saved):
        vars(o).clear()
        vars(o).update(values)


@pytest.mark.parametrize("cls, prop, default", PROPERTIES)
def test_new_object_answers_the_class_default(cls, prop, default):
    obj = cls()
    value = getattr(obj, prop)
    if isinstance(default, type):
        assert type(value) is default
        assert value is getattr(cls(), prop)
    else:
        assert value is default
    assert value is getattr(cls, stored(cls, prop))
    assert vars(obj) == {}


@pytest.mark.parametrize("cls, prop, default", PROPERTIES)
def test_setter_stores_any_value_as_the_object_s_own(cls, prop, default):
    class_default = getattr(cls, stored(cls, prop))
    for value in (None, "text", 0, QualOptions()):
        obj = cls()
        assert setattr(obj, prop, value) is None
        assert getattr(obj, prop) is value
        assert vars(obj) == {stored(cls, prop): value}
        assert getattr(cls, stored(cls, prop)) is class_default
        assert getattr(cls(), prop) is class_default


def test_shared_defaults_are_one_object_across_holders():
    a, b = ConvertOptions(), ConvertOptions()
    for prop in ("qual_options", "quan_options", "manufacturer_options", "additional_options"):
        assert getattr(a, prop) is getattr(b, prop)
    assert ManufacturerOptions().shimadzu_options is ManufacturerOptions().shimadzu_options
    assert a.manufacturer_options.shimadzu_options is ManufacturerOptions().shimadzu_options
    assert a.manufacturer_options.waters_options is ManufacturerOptions().waters_options


def test_change_through_a_shared_default_shows_in_every_holder_without_its_own(shared_defaults):
    own = ConvertOptions()
    own.qual_options = QualOptions()
    ConvertOptions().qual_options.keep_profile_spectra = True
    assert ConvertOptions().qual_options.keep_profile_spectra is True
    assert own.qual_options.keep_profile_spectra is False
    assert QualOptions().keep_profile_spectra is False

    ConvertOptions().manufacturer_options.waters_options.keep_last_ms_function_in_mse = True
    assert ManufacturerOptions().waters_options.keep_last_ms_function_in_mse is True
    assert WatersOptions().keep_last_ms_function_in_mse is False


def test_a_sub_option_object_is_held_by_reference_in_every_tree():
    qual = QualOptions()
    a, b = ConvertOptions(), ConvertOptions()
    a.qual_options = qual
    b.qual_options = qual
    a.qual_options.keep_only_ms1_spectra = True
    assert b.qual_options.keep_only_ms1_spectra is True
    assert QualOptions().keep_only_ms1_spectra is False


@pytest.mark.parametrize("cls", OPTION_CLASSES)
def test_option_classes_are_plain_classes_taking_no_arguments(cls):
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "zarn_data_access.converter"
    with pytest.raises(TypeError):
        cls(1)


@pytest.mark.parametrize("cls, prop, default", PROPERTIES)
def test_property_cannot_be_deleted(cls, prop, default):
    obj = cls()
    setattr(obj, prop, "kept")
    with pytest.raises(AttributeError):
        delattr(obj, prop)
    assert getattr(obj, prop) == "kept"

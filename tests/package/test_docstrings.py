"""Every public class, method and property of the public modules has a
one-line docstring of its own."""

import importlib

import pytest

PUBLIC_CLASSES = {
    "zarn_data_access.access": {"ZarnFile", "Measurement"},
    "zarn_data_access.qual": {
        "AgilentMassHunterCondition", "SCIEXAnalystCondition", "ShimadzuIoModuleCondition",
        "ThermoFisherRawFileReaderCondition", "WatersMassLynxCondition", "PrecursorIonScanCondition",
        "ProductIonScanCondition", "NeutralLossScanCondition", "NeutralGainScanCondition", "AcquisitionCondition",
        "ChromatogramFilterOption", "Spectrum", "DADSpectrum", "QualAnalysis", "DADAnalysis",
    },
    "zarn_data_access.quan": {"QuanAnalysis", "AnalogAnalysis"},
    "zarn_data_access.converter": {
        "QualOptions", "QuanOptions", "ShimadzuOptions", "WatersOptions", "ManufacturerOptions",
        "AdditionalOptions", "ConvertOptions", "WbnConverter",
    },
}


def nanobind_doc(function):
    """The docstring of a nanobind function without the signature that
    nanobind puts in front of it ("" when it has none); None for any other
    object."""
    signatures = getattr(function, "__nb_signature__", None)
    if signatures is None:
        return None
    docs = [doc or "" for _, doc, _ in signatures]
    return docs[0] if all(docs) else ""


def own_doc(member):
    if isinstance(member, property):
        getter_doc = nanobind_doc(member.fget)
        # A property given no docstring shows its getter's signature.
        if getter_doc is not None and member.__doc__ == member.fget.__doc__:
            return getter_doc
        return member.__doc__
    doc = nanobind_doc(member)
    return member.__doc__ if doc is None else doc


def public_classes(module):
    # Classes that the module takes from others are documented there.
    return {name: value for name, value in vars(module).items()
            if isinstance(value, type) and not name.startswith("_") and value.__module__ == module.__name__}


@pytest.mark.parametrize("module_name, class_names", PUBLIC_CLASSES.items())
def test_every_public_class_method_and_property_has_a_one_line_docstring(module_name, class_names):
    classes = public_classes(importlib.import_module(module_name))
    assert set(classes) == class_names
    undocumented = []
    for class_name, cls in classes.items():
        members = [(class_name, cls.__doc__)]
        # Private members, mangled (_Class__x) or special, have none.
        members += [(f"{class_name}.{name}", own_doc(member))
                    for name, member in vars(cls).items() if not name.startswith("_")]
        undocumented += [name for name, doc in members
                         if not isinstance(doc, str) or not doc.strip() or "\n" in doc.strip()]
    assert undocumented == []

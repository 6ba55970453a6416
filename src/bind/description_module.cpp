// zarn_data_access._internal._description: the description records.
//
// Every field keeps the class-qualified name under which the other modules
// reach it (`_MeasurementDescription__sample_name`); records are parsed by
// the core and their Python field objects made on first access. The fields
// of each class are those of its table (description_objects.hpp).
#include <nanobind/nanobind.h>

#include "description_objects.hpp"
#include "pyconv.hpp"
#include "record_fields.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;
using zarn::Reader;

namespace {

// ---- probing the shared enumerations

// Tells the core which stored values (0-63) each enumeration of the shared
// value module accepts, by asking the enumeration itself.
void learn_value_enum_members() {
    for (int k = 0; k < zarn::kValueEnumCount; ++k) {
        nb::handle type = enum_type(PyEnum(k));
        uint64_t members = 0;
        for (int v = 0; v < 64; ++v) {
            PyObject *member = PyObject_CallFunction(type.ptr(), "i", v);
            if (member) {
                members |= uint64_t(1) << v;
                Py_DECREF(member);
            } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
            } else {
                throw nb::python_error();
            }
        }
        zarn::set_value_enum_members(zarn::ValueEnum(k), members);
    }
}

int64_t index_argument(nb::handle index) { return to_i64_saturating(index); }

}  // namespace

NB_MODULE(_description, m) {
    init_module_support();
    require_value_types();
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();

    // The names this module takes from the enumerations and the value module.
    nb::module_ enums = nb::module_::import_("zarn_data_access._internal._enum");
    nb::module_ common = nb::module_::import_("zarn_data_access.common");
    for (const char *name :
         {"ZarnSymbols", "DetectorTypes", "VendorSpecificAdditionalConditionTypes", "TripleQScanTypes"})
        m.attr(name) = nb::getattr(enums, name);
    for (const char *name : {"CompoundTypes", "InstrumentManufacturers", "PolarityTypes", "QuanAnalysisTypes",
                             "SpectrumTypes", "ValueRange"})
        m.attr(name) = nb::getattr(common, name);
    learn_value_enum_members();

    def_record<MeasurementDescriptionObject>(m);
    def_record<VendorSpecificAdditionalConditionObject>(m);
    def_record<TripleQScanConditionObject>(m);
    def_record<InternalAcquisitionCoreConditionObject>(m, &create_read<InternalAcquisitionCoreConditionObject>,
                                                       "reader"_a);
    def_record<InternalAcquisitionConditionObject>(m, &create_read<InternalAcquisitionConditionObject>, "reader"_a);
    def_record<QualDescriptionObject>(m);
    def_record<QuanDescriptionObject>(m);
    def_record<FunctionDescriptionObject>(m);
    def_record<InternalSpectrumDescriptionObject>(
        m, [](nb::handle index) { return new_instance<InternalSpectrumDescriptionObject>(index_argument(index)); },
        "index"_a);
}

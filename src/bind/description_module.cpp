// zarn_data_access._internal._description: the description records.
//
// Every field keeps the class-qualified name under which the other modules
// reach it (`_MeasurementDescription__sample_name`); records are parsed by
// the core and their Python field objects made on first access.
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <type_traits>

#include "pyconv.hpp"
#include "description_objects.hpp"
#include "support.hpp"
#include "value_semantics.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;
using zarn::Reader;

namespace {

template <typename T>
using Getter = nb::object (*)(T &);

// ---- value hash and equality of the condition records

template <typename T>
using Fields = std::type_identity_t<std::initializer_list<Getter<T>>>;

template <typename T>
nb::object hash_of(T &o, Fields<T> fields) {
    ValueHash h;
    for (Getter<T> get : fields) h.add(get(o));
    return h.value();
}

// Unequal to an object of another class; otherwise the fields compared in
// order with their own inequality.
template <typename T>
bool equal_to(T &self, nb::handle other, Fields<T> fields) {
    T *that = as<T>(other);
    if (!that) return false;
    for (Getter<T> get : fields)
        if (differ(get(self), get(*that))) return false;
    return true;
}

template <typename T>
void value_semantics(nb::class_<T> &cls, nb::object (*hash)(T &), bool (*eq)(T &, nb::handle)) {
    cls.def("__hash__", hash).def("__eq__", eq, "other"_a.none());
}

// ---- field getters

using Vendor = VendorSpecificAdditionalConditionObject;
using Scan = TripleQScanConditionObject;
using Core = InternalAcquisitionCoreConditionObject;
using Condition = InternalAcquisitionConditionObject;
using Measurement = MeasurementDescriptionObject;
using Qual = QualDescriptionObject;
using Quan = QuanDescriptionObject;
using Function = FunctionDescriptionObject;
using Spectrum = InternalSpectrumDescriptionObject;

nb::object vendor_type(Vendor &o) {
    return o.slots.get(o.Type, [&] { return opt_enum(PyEnum::VendorCondition, o.rec().type); });
}
nb::object vendor_original_id(Vendor &o) {
    return o.slots.get(o.OriginalId, [&] { return opt_int(o.rec().original_id); });
}
nb::object vendor_cone_voltage(Vendor &o) {
    return o.slots.get(o.ConeVoltage, [&] { return opt_float(o.rec().cone_voltage); });
}
nb::object vendor_scan_info_string(Vendor &o) {
    return o.slots.get(o.ScanInfoString, [&] { return opt_str(o.rec().scan_info_string); });
}

nb::object scan_type(Scan &o) {
    return o.slots.get(o.Type, [&] { return opt_enum(PyEnum::TripleQScan, o.rec().type); });
}
nb::object scan_target_mz(Scan &o) {
    return o.slots.get(o.TargetMz, [&] { return opt_float(o.rec().target_mz); });
}
nb::object scan_q1_range(Scan &o) {
    return o.slots.get(o.Q1Range, [&] { return opt_range(o.rec().q1_range); });
}
nb::object scan_q3_range(Scan &o) {
    return o.slots.get(o.Q3Range, [&] { return opt_range(o.rec().q3_range); });
}

nb::object core_ms_level(Core &o) {
    return o.slots.get(o.MsLevel, [&] { return opt_int(o.rec().ms_level); });
}
nb::object core_polarity(Core &o) {
    return o.slots.get(o.Polarity, [&] { return value_enum(zarn::ValueEnum::Polarity, o.rec().polarity); });
}
nb::object core_collision_energy(Core &o) {
    return o.slots.get(o.CollisionEnergy, [&] { return opt_float(o.rec().collision_energy); });
}
nb::object core_mass_range(Core &o) {
    return o.slots.get(o.MassRange, [&] { return opt_range(o.rec().mass_range); });
}
nb::object core_original_measured_spectrum_type(Core &o) {
    return o.slots.get(o.OriginalMeasuredSpectrumType, [&] {
        return value_enum(zarn::ValueEnum::SpectrumType, o.rec().original_measured_spectrum_type);
    });
}
nb::object core_vendor(Core &o) { return vendor_specific_additional_condition(o); }
nb::object core_scan(Core &o) { return triple_q_scan_condition(o); }

nb::object condition_core_index(Condition &o) {
    return o.slots.get(o.InternalAcquisitionCoreConditionIndex,
                       [&] { return nb::int_(o.rec().internal_acquisition_core_condition_index); });
}
nb::object condition_precursor_value(Condition &o) {
    return o.slots.get(o.PrecursorValue, [&] { return opt_float(o.rec().precursor_value); });
}
nb::object condition_precursor_range(Condition &o) {
    return o.slots.get(o.PrecursorRange, [&] { return opt_range(o.rec().precursor_range); });
}
nb::object condition_product_indices(Condition &o) {
    return o.slots.get(o.ProductIndices, [&] { return opt_int_list(o.rec().product_indices); });
}
nb::object condition_core(Condition &o) { return internal_acquisition_core_condition(o); }

void set_condition_core(Condition &o, nb::handle value) {
    if (value.is_none()) {
        o.rec().internal_acquisition_core_condition.reset();
    } else {
        Core *core = as<Core>(value);
        if (!core)
            throw nb::type_error("_InternalAcquisitionCondition__internal_acquisition_core_condition must be an "
                                 "InternalAcquisitionCoreCondition or None");
        o.rec().internal_acquisition_core_condition = core->record;
    }
    o.core_condition = nb::borrow(value);
}

// The value hash and equality lists of the condition records.
nb::object vendor_hash(Vendor &o) { return hash_of(o, {vendor_type, vendor_original_id, vendor_cone_voltage}); }
bool vendor_eq(Vendor &o, nb::handle other) {
    return equal_to(o, other, {vendor_type, vendor_original_id, vendor_cone_voltage});
}

nb::object scan_hash(Scan &o) { return hash_of(o, {scan_type, scan_target_mz, scan_q1_range, scan_q3_range}); }
bool scan_eq(Scan &o, nb::handle other) {
    return equal_to(o, other, {scan_type, scan_target_mz, scan_q1_range, scan_q3_range});
}

constexpr std::initializer_list<Getter<Core>> kCoreFields = {
    core_ms_level, core_polarity,  core_collision_energy, core_mass_range, core_original_measured_spectrum_type,
    core_vendor,   core_scan};
nb::object core_hash(Core &o) { return hash_of(o, kCoreFields); }
bool core_eq(Core &o, nb::handle other) { return equal_to(o, other, kCoreFields); }

// The core index takes part as the integer itself; the product indices as
// the tuple of their elements.
nb::object condition_hash(Condition &o) {
    ValueHash h;
    h.add_integer(o.rec().internal_acquisition_core_condition_index);
    h.add(condition_precursor_value(o));
    h.add(condition_precursor_range(o));
    h.add_as_tuple(condition_product_indices(o));
    h.add(condition_core(o));
    return h.value();
}
bool condition_eq(Condition &o, nb::handle other) {
    return equal_to(o, other,
                    {condition_core_index, condition_precursor_value, condition_precursor_range,
                     condition_product_indices, condition_core});
}

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
    for (const char *name : {"ZarnSymbols", "DetectorTypes", "VendorSpecificAdditionalConditionTypes", "TripleQScanTypes"})
        m.attr(name) = enums.attr(name);
    for (const char *name : {"CompoundTypes", "InstrumentManufacturers", "PolarityTypes", "QuanAnalysisTypes",
                             "SpectrumTypes", "ValueRange"})
        m.attr(name) = common.attr(name);
    learn_value_enum_members();

    // ---- MeasurementDescription
    auto measurement = record_class<Measurement>(m, "MeasurementDescription");
    measurement.def_static("_MeasurementDescription__create_instance", [] { return new_instance<Measurement>(); })
        .def("_MeasurementDescription__read", [](Measurement &o, Reader &r) { read_object(o, r); }, "reader"_a);
    {
        using M = Measurement;
        auto str_field = [&](const char *name, M::Slot slot, std::optional<std::string> zarn::MeasurementDescription::*f) {
            measurement.def_prop_ro(name, [slot, f](M &o) { return o.slots.get(slot, [&] { return opt_str(o.rec().*f); }); });
        };
        auto float_field = [&](const char *name, M::Slot slot, std::optional<double> zarn::MeasurementDescription::*f) {
            measurement.def_prop_ro(name,
                                    [slot, f](M &o) { return o.slots.get(slot, [&] { return opt_float(o.rec().*f); }); });
        };
        using D = zarn::MeasurementDescription;
        str_field("_MeasurementDescription__hash", M::Hash, &D::hash);
        str_field("_MeasurementDescription__sample_name", M::SampleName, &D::sample_name);
        str_field("_MeasurementDescription__sample_id", M::SampleId, &D::sample_id);
        str_field("_MeasurementDescription__acquisition_method_file_name", M::AcquisitionMethodFileName,
                  &D::acquisition_method_file_name);
        float_field("_MeasurementDescription__dilution_factor", M::DilutionFactor, &D::dilution_factor);
        float_field("_MeasurementDescription__injection_volume", M::InjectionVolume, &D::injection_volume);
        str_field("_MeasurementDescription__original_file_path", M::OriginalFilePath, &D::original_file_path);
        str_field("_MeasurementDescription__instrument_product_name", M::InstrumentProductName,
                  &D::instrument_product_name);
        str_field("_MeasurementDescription__measurement_user_name", M::MeasurementUserName, &D::measurement_user_name);
        str_field("_MeasurementDescription__plate_code", M::PlateCode, &D::plate_code);
        str_field("_MeasurementDescription__well_code", M::WellCode, &D::well_code);
        measurement.def_prop_ro("_MeasurementDescription__measurement_date_time", [](M &o) {
            return o.slots.get(M::MeasurementDateTime, [&] { return opt_datetime(o.rec().measurement_date_time); });
        });
        measurement.def_prop_ro("_MeasurementDescription__instrument_manufacturer", [](M &o) {
            return o.slots.get(M::InstrumentManufacturer, [&] {
                const auto &v = o.rec().instrument_manufacturer;
                return v ? enum_member(PyEnum::InstrumentManufacturer, *v) : nb::none();
            });
        });
        str_field("_MeasurementDescription__source_file_definition", M::SourceFileDefinition,
                  &D::source_file_definition);
        measurement.def_prop_ro("_MeasurementDescription__supplemental_properties",
                                [](M &o) { return supplemental_properties(o); });
    }

    // ---- VendorSpecificAdditionalCondition
    auto vendor = record_class<Vendor>(m, "VendorSpecificAdditionalCondition");
    vendor.def_static("_VendorSpecificAdditionalCondition__create_instance", [] { return new_instance<Vendor>(); })
        .def("_VendorSpecificAdditionalCondition__read", [](Vendor &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_VendorSpecificAdditionalCondition__type", vendor_type)
        .def_prop_ro("_VendorSpecificAdditionalCondition__original_id", vendor_original_id)
        .def_prop_ro("_VendorSpecificAdditionalCondition__cone_voltage", vendor_cone_voltage)
        .def_prop_ro("_VendorSpecificAdditionalCondition__scan_info_string", vendor_scan_info_string);
    value_semantics(vendor, vendor_hash, vendor_eq);

    // ---- TripleQScanCondition
    auto scan = record_class<Scan>(m, "TripleQScanCondition");
    scan.def_static("_TripleQScanCondition__create_instance", [] { return new_instance<Scan>(); })
        .def("_TripleQScanCondition__read", [](Scan &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_TripleQScanCondition__type", scan_type)
        .def_prop_ro("_TripleQScanCondition__target_mz", scan_target_mz)
        .def_prop_ro("_TripleQScanCondition__q1_range", scan_q1_range)
        .def_prop_ro("_TripleQScanCondition__q3_range", scan_q3_range);
    value_semantics(scan, scan_hash, scan_eq);

    // ---- InternalAcquisitionCoreCondition
    auto core = record_class<Core>(m, "InternalAcquisitionCoreCondition");
    core.def_static("_InternalAcquisitionCoreCondition__create_instance",
                    [](Reader &r) {
                        nb::object obj = new_instance<Core>();
                        read_object(*nb::inst_ptr<Core>(obj), r);
                        return obj;
                    },
                    "reader"_a)
        .def("_InternalAcquisitionCoreCondition__read", [](Core &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_InternalAcquisitionCoreCondition__ms_level", core_ms_level)
        .def_prop_ro("_InternalAcquisitionCoreCondition__polarity", core_polarity)
        .def_prop_ro("_InternalAcquisitionCoreCondition__collision_energy", core_collision_energy)
        .def_prop_ro("_InternalAcquisitionCoreCondition__mass_range", core_mass_range)
        .def_prop_ro("_InternalAcquisitionCoreCondition__original_measured_spectrum_type",
                     core_original_measured_spectrum_type)
        .def_prop_ro("_InternalAcquisitionCoreCondition__vendor_specific_additional_condition", core_vendor)
        .def_prop_ro("_InternalAcquisitionCoreCondition__triple_q_scan_condition", core_scan);
    value_semantics(core, core_hash, core_eq);

    // ---- InternalAcquisitionCondition
    auto condition = record_class<Condition>(m, "InternalAcquisitionCondition");
    condition
        .def_static("_InternalAcquisitionCondition__create_instance",
                    [](Reader &r) {
                        nb::object obj = new_instance<Condition>();
                        read_object(*nb::inst_ptr<Condition>(obj), r);
                        return obj;
                    },
                    "reader"_a)
        .def("_InternalAcquisitionCondition__read", [](Condition &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_InternalAcquisitionCondition__internal_acquisition_core_condition_index", condition_core_index)
        .def_prop_ro("_InternalAcquisitionCondition__precursor_value", condition_precursor_value)
        .def_prop_ro("_InternalAcquisitionCondition__precursor_range", condition_precursor_range)
        .def_prop_ro("_InternalAcquisitionCondition__product_indices", condition_product_indices)
        .def_prop_rw("_InternalAcquisitionCondition__internal_acquisition_core_condition", condition_core,
                     set_condition_core, nb::arg("value").none());
    value_semantics(condition, condition_hash, condition_eq);

    // ---- QualDescription
    auto qual = record_class<Qual>(m, "QualDescription");
    qual.def_static("_QualDescription__create_instance", [] { return new_instance<Qual>(); })
        .def("_QualDescription__read", [](Qual &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_QualDescription__wavelength_arr",
                     [](Qual &o) {
                         return o.slots.get(Qual::WavelengthArr, [&] { return opt_float_list(o.rec().wavelength_arr); });
                     })
        .def_prop_ro("_QualDescription__detector_type", [](Qual &o) { return detector_member(o.rec().detector_type); })
        .def_prop_ro("_QualDescription__unique_acquisition_core_condition_list",
                     [](Qual &o) { return unique_acquisition_core_condition_list(o); })
        .def_prop_ro("_QualDescription__unique_acquisition_condition_list",
                     [](Qual &o) { return unique_acquisition_condition_list(o); })
        .def_prop_ro("_QualDescription__supplemental_properties", [](Qual &o) { return supplemental_properties(o); });

    // ---- QuanDescription
    auto quan = record_class<Quan>(m, "QuanDescription");
    quan.def_static("_QuanDescription__create_instance", [] { return new_instance<Quan>(); })
        .def("_QuanDescription__read", [](Quan &o, Reader &r) { read_object(o, r); }, "reader"_a);
    {
        using Q = zarn::QuanDescription;
        auto float_field = [&](const char *name, Quan::Slot slot, std::optional<double> Q::*f) {
            quan.def_prop_ro(name, [slot, f](Quan &o) { return o.slots.get(slot, [&] { return opt_float(o.rec().*f); }); });
        };
        auto enum_field = [&](const char *name, Quan::Slot slot, zarn::ValueEnum kind, std::optional<int64_t> Q::*f) {
            quan.def_prop_ro(name, [slot, kind, f](Quan &o) {
                return o.slots.get(slot, [&] { return value_enum(kind, o.rec().*f); });
            });
        };
        quan.def_prop_ro("_QuanDescription__is_quan_transition", [](Quan &o) {
            return o.slots.get(Quan::IsQuanTransition, [&] { return opt_bool(o.rec().is_quan_transition); });
        });
        float_field("_QuanDescription__collision_energy", Quan::CollisionEnergy, &Q::collision_energy);
        quan.def_prop_ro("_QuanDescription__compound_name", [](Quan &o) {
            return o.slots.get(Quan::CompoundName, [&] { return opt_str(o.rec().compound_name); });
        });
        float_field("_QuanDescription__q1", Quan::Q1, &Q::q1);
        float_field("_QuanDescription__q3", Quan::Q3, &Q::q3);
        float_field("_QuanDescription__estimated_retention_time", Quan::EstimatedRetentionTime,
                    &Q::estimated_retention_time);
        float_field("_QuanDescription__extract_value", Quan::ExtractValue, &Q::extract_value);
        float_field("_QuanDescription__extract_tolerance", Quan::ExtractTolerance, &Q::extract_tolerance);
        enum_field("_QuanDescription__quan_analysis_type", Quan::QuanAnalysisType, zarn::ValueEnum::QuanAnalysisType,
                   &Q::quan_analysis_type);
        enum_field("_QuanDescription__compound_type", Quan::CompoundType, zarn::ValueEnum::CompoundType,
                   &Q::compound_type);
        quan.def_prop_ro("_QuanDescription__detector_type", [](Quan &o) { return detector_member(o.rec().detector_type); });
        enum_field("_QuanDescription__polarity_type", Quan::PolarityType, zarn::ValueEnum::Polarity, &Q::polarity_type);
        float_field("_QuanDescription__concentration", Quan::Concentration, &Q::concentration);
        quan.def_prop_ro("_QuanDescription__supplemental_properties", [](Quan &o) { return supplemental_properties(o); });
    }

    // ---- FunctionDescription
    auto function = record_class<Function>(m, "FunctionDescription");
    function.def_static("_FunctionDescription__create_instance", [] { return new_instance<Function>(); })
        .def("_FunctionDescription__read", [](Function &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_FunctionDescription__is_qual",
                     [](Function &o) {
                         if (!o.rec().is_qual)
                             throw zarn::AttributeError(
                                 "'FunctionDescription' object has no attribute '_FunctionDescription__is_qual'");
                         return *o.rec().is_qual;
                     })
        .def_prop_ro("_FunctionDescription__qual_description", [](Function &o) { return qual_description(o); })
        .def_prop_ro("_FunctionDescription__quan_description", [](Function &o) { return quan_description(o); });

    // ---- InternalSpectrumDescription
    auto spectrum = record_class<Spectrum>(m, "InternalSpectrumDescription");
    spectrum
        .def_static("_InternalSpectrumDescription__create_instance",
                    [](nb::handle index) { return new_instance<Spectrum>(index_argument(index)); }, "index"_a)
        .def("_InternalSpectrumDescription__read", [](Spectrum &o, Reader &r) { read_object(o, r); }, "reader"_a)
        .def_prop_ro("_InternalSpectrumDescription__index", [](Spectrum &o) { return o.rec().index; })
        .def_prop_ro("_InternalSpectrumDescription__cone_voltage",
                     [](Spectrum &o) { return float_or_zero(o.rec().cone_voltage); })
        .def_prop_ro("_InternalSpectrumDescription__precursor_index",
                     [](Spectrum &o) { return opt_int(o.rec().precursor_index); })
        .def_prop_ro("_InternalSpectrumDescription__ms_level", [](Spectrum &o) { return opt_int(o.rec().ms_level); })
        .def_prop_ro("_InternalSpectrumDescription__retention_time",
                     [](Spectrum &o) { return opt_float(o.rec().retention_time); })
        .def_prop_ro("_InternalSpectrumDescription__collision_energy",
                     [](Spectrum &o) { return opt_float(o.rec().collision_energy); })
        .def_prop_ro("_InternalSpectrumDescription__precursor_value",
                     [](Spectrum &o) { return opt_float(o.rec().precursor_value); })
        .def_prop_ro("_InternalSpectrumDescription__product_indices", [](Spectrum &o) { return product_indices(o); })
        .def_prop_ro("_InternalSpectrumDescription__polarity",
                     [](Spectrum &o) { return value_enum(zarn::ValueEnum::Polarity, o.rec().polarity); })
        .def_prop_ro("_InternalSpectrumDescription__spectrum_type",
                     [](Spectrum &o) { return value_enum(zarn::ValueEnum::SpectrumType, o.rec().spectrum_type); })
        .def_prop_ro("_InternalSpectrumDescription__precursor_range", [](Spectrum &o) { return precursor_range(o); })
        .def_prop_ro("_InternalSpectrumDescription__mass_range", [](Spectrum &o) { return mass_range(o); })
        .def_prop_ro("_InternalSpectrumDescription__is_profile_spectrum_measured",
                     [](Spectrum &o) { return opt_bool(o.rec().is_profile_spectrum_measured); })
        .def_prop_ro("_InternalSpectrumDescription__acquisition_condition_index",
                     [](Spectrum &o) { return o.rec().acquisition_condition_index; })
        .def_prop_rw(
            "_InternalSpectrumDescription__acquisition_condition", [](Spectrum &o) { return acquisition_condition(o); },
            [](Spectrum &o, nb::handle value) { o.acquisition_condition = nb::borrow(value); }, nb::arg("value").none())
        .def_prop_ro("_InternalSpectrumDescription__has_total_ion_base_peak",
                     [](Spectrum &o) { return o.rec().has_total_ion_base_peak; })
        .def_prop_ro("_InternalSpectrumDescription__current_total_ion",
                     [](Spectrum &o) { return float_or_zero(o.rec().current_total_ion); })
        .def_prop_ro("_InternalSpectrumDescription__base_peak_mz",
                     [](Spectrum &o) { return float_or_zero(o.rec().base_peak_mz); })
        .def_prop_ro("_InternalSpectrumDescription__base_peak_intensity",
                     [](Spectrum &o) { return float_or_zero(o.rec().base_peak_intensity); })
        .def_prop_ro("_InternalSpectrumDescription__supplemental_properties",
                     [](Spectrum &o) { return supplemental_properties(o); });
}

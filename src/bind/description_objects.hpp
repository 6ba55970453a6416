// The Python objects of the description records (zarn_data_access._internal.
// _description), shared by every binding module that makes or reads them.
//
// An object holds the core record (src/core/records/records.hpp) and the
// Python objects of its fields that must stay the same object on every
// access (lists, dictionaries, ranges, nested records), made on first
// access and kept. Each class lists its fields once, in `fields`
// (record_fields.hpp); adding a field to a record is one line in its core
// property list and one line here.
//
// For other C++ modules (the analyses): cast a record's Python object with
// `as<T>(handle)` (null when it is not a T) or nb::cast<T &>, then
//   - read scalar fields from the core record (`rec()`): they cannot be
//     changed from Python, so the core record is the truth;
//   - take lists, dictionaries, ranges and nested records through field()
//     and the accessor functions below, which hand out the kept Python
//     objects: a caller may have changed those in place, and the objects
//     then are the truth (supplemental_contains() answers from the
//     dictionary once it exists).
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "enum_members.hpp"
#include "field_values.hpp"
#include "objects.hpp"
#include "reader_object.hpp"
#include "record_fields.hpp"
#include "records/records.hpp"
#include "supplemental.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The common part of most record objects: the core record, shared with the
// records that hold it, and the kept objects of its fields (`slots`, which
// each class declares after its field table), which a read drops.
template <typename Self, typename R>
struct RecordObject {
    using Record = R;
    std::shared_ptr<Record> record = std::make_shared<Record>();
    bool reading = false;

    Record &rec() { return *record; }
    int traverse(visitproc visit, void *arg) const { return self().slots.traverse(visit, arg); }
    void clear() { self().slots.clear(); }
    void forget() { self().slots.clear(); }

private:
    const Self &self() const { return static_cast<const Self &>(*this); }
    Self &self() { return static_cast<Self &>(*this); }
};

// A record with supplemental properties keeps their dictionary apart: a read
// adds to it instead of dropping it.
template <typename Self, typename R>
struct RecordObjectWithDictionary : RecordObject<Self, R> {
    nb::object supplemental;

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(supplemental.ptr());
        return RecordObject<Self, R>::traverse(visit, arg);
    }
    void clear() {
        RecordObject<Self, R>::clear();
        supplemental.reset();
    }
};

// An object of a nested record, sharing the core record; None for none.
template <typename T, typename R>
nb::object wrap_record(std::shared_ptr<R> record) {
    if (!record) return nb::none();
    nb::object obj = new_instance<T>();
    nb::inst_ptr<T>(obj)->record = std::move(record);
    return obj;
}

// The converter of a member that holds a nested record of object type T.
template <typename T>
struct Nested {
    template <typename R>
    nb::object operator()(const std::shared_ptr<R> &record) const {
        return wrap_record<T>(record);
    }
};

// ---------------------------------------------------------------- condition records

struct VendorSpecificAdditionalConditionObject
    : RecordObject<VendorSpecificAdditionalConditionObject, VendorSpecificAdditionalCondition> {
    using Self = VendorSpecificAdditionalConditionObject;
    static constexpr const char *kClass = "VendorSpecificAdditionalCondition";
    static constexpr auto kRead = read_vendor_specific_additional_condition;
    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(type, OptionalMember<PyEnum::VendorCondition>, InValue::Hash),
        ZARN_KEPT(original_id, ByType, InValue::Hash),
        ZARN_KEPT(cone_voltage, ByType, InValue::Hash),
        ZARN_KEPT(scan_info_string),
    };
    Slots<kept_count(fields)> slots;
};

struct TripleQScanConditionObject : RecordObject<TripleQScanConditionObject, TripleQScanCondition> {
    using Self = TripleQScanConditionObject;
    static constexpr const char *kClass = "TripleQScanCondition";
    static constexpr auto kRead = read_triple_q_scan_condition;
    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(type, OptionalMember<PyEnum::TripleQScan>, InValue::Hash),
        ZARN_KEPT(target_mz, ByType, InValue::Hash),
        ZARN_KEPT(q1_range, ByType, InValue::Hash),
        ZARN_KEPT(q3_range, ByType, InValue::Hash),
    };
    Slots<kept_count(fields)> slots;
};

struct InternalAcquisitionCoreConditionObject
    : RecordObject<InternalAcquisitionCoreConditionObject, InternalAcquisitionCoreCondition> {
    using Self = InternalAcquisitionCoreConditionObject;
    static constexpr const char *kClass = "InternalAcquisitionCoreCondition";
    static constexpr auto kRead = read_internal_acquisition_core_condition;
    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(ms_level, ByType, InValue::Hash),
        ZARN_KEPT(polarity, ValueMember<ValueEnum::Polarity>, InValue::Hash),
        ZARN_KEPT(collision_energy, ByType, InValue::Hash),
        ZARN_KEPT(mass_range, ByType, InValue::Hash),
        ZARN_KEPT(original_measured_spectrum_type, ValueMember<ValueEnum::SpectrumType>, InValue::Hash),
        ZARN_KEPT(vendor_specific_additional_condition, Nested<VendorSpecificAdditionalConditionObject>, InValue::Hash),
        ZARN_KEPT(triple_q_scan_condition, Nested<TripleQScanConditionObject>, InValue::Hash),
    };
    Slots<kept_count(fields)> slots;
};

struct InternalAcquisitionConditionObject
    : RecordObject<InternalAcquisitionConditionObject, InternalAcquisitionCondition> {
    using Self = InternalAcquisitionConditionObject;
    static constexpr const char *kClass = "InternalAcquisitionCondition";
    static constexpr auto kRead = read_internal_acquisition_condition;

    // The linked core condition's object, made when first asked for; a read
    // leaves the link alone.
    static nb::object core_condition_field(Self &o) {
        if (!o.core_condition.is_valid())
            o.core_condition =
                wrap_record<InternalAcquisitionCoreConditionObject>(o.rec().internal_acquisition_core_condition);
        return o.core_condition;
    }
    static void set_core_condition(Self &o, nb::handle value) {
        if (value.is_none()) {
            o.rec().internal_acquisition_core_condition.reset();
        } else {
            auto *core = as<InternalAcquisitionCoreConditionObject>(value);
            if (!core)
                throw nb::type_error(
                    "_InternalAcquisitionCondition__internal_acquisition_core_condition must be an "
                    "InternalAcquisitionCoreCondition or None");
            o.rec().internal_acquisition_core_condition = core->record;
        }
        o.core_condition = nb::borrow(value);
    }

    // The core index takes part in the hash as the integer itself, the
    // product indices as the tuple of their elements.
    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(internal_acquisition_core_condition_index, ByType, InValue::Integer),
        ZARN_KEPT(precursor_value, ByType, InValue::Hash),
        ZARN_KEPT(precursor_range, ByType, InValue::Hash),
        ZARN_KEPT(product_indices, ByType, InValue::Tuple),
        custom<Self>("internal_acquisition_core_condition", core_condition_field, InValue::Hash, set_core_condition),
    };
    Slots<kept_count(fields)> slots;
    nb::object core_condition;

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(core_condition.ptr());
        return RecordObject::traverse(visit, arg);
    }
    void clear() {
        RecordObject::clear();
        core_condition.reset();
    }
};

// ---------------------------------------------------------------- function descriptions

struct QualDescriptionObject : RecordObjectWithDictionary<QualDescriptionObject, QualDescription> {
    using Self = QualDescriptionObject;
    static constexpr const char *kClass = "QualDescription";
    static constexpr auto kRead = read_qual_description;

    // The two condition lists. They are made together, so that each
    // condition's linked core condition is the very object of the core list.
    static void make_condition_lists(Self &o) {
        using CoreObj = InternalAcquisitionCoreConditionObject;
        QualDescription &q = o.rec();
        nb::object cores = nb::none();
        std::vector<std::pair<const InternalAcquisitionCoreCondition *, nb::object>> by_record;
        // The loops walk copies of the record lists: making objects may run
        // Python code (a collection's finalisers) that reads into the
        // description again and replaces its lists.
        if (q.unique_acquisition_core_condition_list) {
            const auto records = *q.unique_acquisition_core_condition_list;
            nb::list list;
            for (const auto &core : records) {
                nb::object obj = wrap_record<CoreObj>(core);
                by_record.emplace_back(core.get(), obj);
                list.append(obj);
            }
            cores = std::move(list);
        }
        nb::object conditions = nb::none();
        if (q.unique_acquisition_condition_list) {
            const auto records = *q.unique_acquisition_condition_list;
            nb::list list;
            for (const auto &condition : records) {
                nb::object obj = wrap_record<InternalAcquisitionConditionObject>(condition);
                if (const auto *core = condition->internal_acquisition_core_condition.get()) {
                    for (const auto &[record, core_obj] : by_record)
                        if (record == core) {
                            nb::inst_ptr<InternalAcquisitionConditionObject>(obj)->core_condition = core_obj;
                            break;
                        }
                }
                list.append(obj);
            }
            conditions = std::move(list);
        }
        o.core_conditions = std::move(cores);
        o.conditions = std::move(conditions);
    }
    static nb::object core_conditions_field(Self &o) {
        if (!o.core_conditions.is_valid()) make_condition_lists(o);
        return o.core_conditions;
    }
    static nb::object conditions_field(Self &o) {
        if (!o.conditions.is_valid()) make_condition_lists(o);
        return o.conditions;
    }

    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(wavelength_arr),
        ZARN_FRESH(detector_type, DetectorMember),
        custom<Self>("unique_acquisition_core_condition_list", core_conditions_field),
        custom<Self>("unique_acquisition_condition_list", conditions_field),
        custom<Self>("supplemental_properties", supplemental_properties<Self>),
    };
    Slots<kept_count(fields)> slots;
    nb::object core_conditions, conditions;

    int traverse(visitproc visit, void *arg) const {
        if (int r = visit_objects(visit, arg, core_conditions, conditions)) return r;
        return RecordObjectWithDictionary::traverse(visit, arg);
    }
    void clear() {
        RecordObjectWithDictionary::clear();
        reset_objects(core_conditions, conditions);
    }
    void forget() {
        RecordObjectWithDictionary::forget();
        reset_objects(core_conditions, conditions);
    }
};

struct QuanDescriptionObject : RecordObjectWithDictionary<QuanDescriptionObject, QuanDescription> {
    using Self = QuanDescriptionObject;
    static constexpr const char *kClass = "QuanDescription";
    static constexpr auto kRead = read_quan_description;
    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(is_quan_transition),
        ZARN_KEPT(collision_energy),
        ZARN_KEPT(compound_name),
        ZARN_KEPT(q1),
        ZARN_KEPT(q3),
        ZARN_KEPT(estimated_retention_time),
        ZARN_KEPT(extract_value),
        ZARN_KEPT(extract_tolerance),
        ZARN_KEPT(quan_analysis_type, ValueMember<ValueEnum::QuanAnalysisType>),
        ZARN_KEPT(compound_type, ValueMember<ValueEnum::CompoundType>),
        ZARN_FRESH(detector_type, DetectorMember),
        ZARN_KEPT(polarity_type, ValueMember<ValueEnum::Polarity>),
        ZARN_KEPT(concentration),
        custom<Self>("supplemental_properties", supplemental_properties<Self>),
    };
    Slots<kept_count(fields)> slots;
};

struct FunctionDescriptionObject : RecordObject<FunctionDescriptionObject, FunctionDescription> {
    using Self = FunctionDescriptionObject;
    static constexpr const char *kClass = "FunctionDescription";
    static constexpr auto kRead = read_function_description;

    // A field the record does not have (yet) fails as an attribute never set.
    [[noreturn]] static void missing(const char *name) {
        throw MissingField("'FunctionDescription' object has no attribute '" + field_name<Self>(name) + "'");
    }
    static nb::object is_qual_field(Self &o) {
        if (!o.rec().is_qual) missing("is_qual");
        return nb::bool_(*o.rec().is_qual);
    }
    static nb::object qual_description_field(Self &o) {
        if (!o.rec().qual_description) missing("qual_description");
        if (!o.qual_description.is_valid())
            o.qual_description = wrap_record<QualDescriptionObject>(o.rec().qual_description);
        return o.qual_description;
    }
    static nb::object quan_description_field(Self &o) {
        if (!o.rec().quan_description) missing("quan_description");
        if (!o.quan_description.is_valid())
            o.quan_description = wrap_record<QuanDescriptionObject>(o.rec().quan_description);
        return o.quan_description;
    }

    static constexpr Field<Self> fields[] = {
        custom<Self>("is_qual", is_qual_field, InValue::No, nullptr, "def (self) -> bool"),
        custom<Self>("qual_description", qual_description_field),
        custom<Self>("quan_description", quan_description_field),
    };
    Slots<kept_count(fields)> slots;
    nb::object qual_description, quan_description;

    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, qual_description, quan_description);
    }
    void clear() { reset_objects(qual_description, quan_description); }
    void forget() { clear(); }
};

inline nb::object qual_description(FunctionDescriptionObject &o) {
    return FunctionDescriptionObject::qual_description_field(o);
}
inline nb::object quan_description(FunctionDescriptionObject &o) {
    return FunctionDescriptionObject::quan_description_field(o);
}

// ---------------------------------------------------------------- measurement and spectrum descriptions

struct MeasurementDescriptionObject : RecordObjectWithDictionary<MeasurementDescriptionObject, MeasurementDescription> {
    using Self = MeasurementDescriptionObject;
    static constexpr const char *kClass = "MeasurementDescription";
    static constexpr auto kRead = read_measurement_description;
    static constexpr Field<Self> fields[] = {
        ZARN_KEPT(hash),
        ZARN_KEPT(sample_name),
        ZARN_KEPT(sample_id),
        ZARN_KEPT(acquisition_method_file_name),
        ZARN_KEPT(dilution_factor),
        ZARN_KEPT(injection_volume),
        ZARN_KEPT(original_file_path),
        ZARN_KEPT(instrument_product_name),
        ZARN_KEPT(measurement_user_name),
        ZARN_KEPT(plate_code),
        ZARN_KEPT(well_code),
        ZARN_KEPT(measurement_date_time),
        ZARN_KEPT(instrument_manufacturer, OptionalMember<PyEnum::InstrumentManufacturer>),
        ZARN_KEPT(source_file_definition),
        custom<Self>("supplemental_properties", supplemental_properties<Self>),
    };
    Slots<kept_count(fields)> slots;
};

// One per spectrum, so the record is held inline and only the fields that
// must keep their identity keep an object.
struct InternalSpectrumDescriptionObject {
    using Self = InternalSpectrumDescriptionObject;
    using Record = InternalSpectrumDescription;
    static constexpr const char *kClass = "InternalSpectrumDescription";
    static constexpr auto kRead = read_internal_spectrum_description;

    static nb::object acquisition_condition_field(Self &o) { return or_none(o.acquisition_condition); }
    // Written under the lock of the table's reader: a walk on another
    // thread reads it without the GIL. The condition it replaces is dropped
    // after the lock is given up, as dropping it may run Python code.
    static void set_acquisition_condition(Self &o, nb::handle value) {
        nb::object replaced = nb::borrow(value);
        with_reader_lock(o.table_reader, [&] { std::swap(o.acquisition_condition, replaced); });
    }

    static constexpr Field<Self> fields[] = {
        ZARN_FRESH(index),
        ZARN_FRESH(cone_voltage, FloatOrZero),
        ZARN_FRESH(precursor_index),
        ZARN_FRESH(ms_level),
        ZARN_FRESH(retention_time),
        ZARN_FRESH(collision_energy),
        ZARN_FRESH(precursor_value),
        ZARN_KEPT(product_indices),
        ZARN_FRESH(polarity, ValueMember<ValueEnum::Polarity>),
        ZARN_FRESH(spectrum_type, ValueMember<ValueEnum::SpectrumType>),
        ZARN_KEPT(precursor_range),
        ZARN_KEPT(mass_range),
        ZARN_FRESH(is_profile_spectrum_measured),
        ZARN_FRESH(acquisition_condition_index),
        custom<Self>("acquisition_condition", acquisition_condition_field, InValue::No, set_acquisition_condition),
        ZARN_FRESH(has_total_ion_base_peak),
        ZARN_FRESH(current_total_ion, FloatOrZero),
        ZARN_FRESH(base_peak_mz, FloatOrZero),
        ZARN_FRESH(base_peak_intensity, FloatOrZero),
        custom<Self>("supplemental_properties", supplemental_properties<Self>),
    };

    InternalSpectrumDescription record;
    Slots<kept_count(fields)> slots;
    nb::object supplemental;
    bool reading = false;
    // The spectrum's public acquisition condition, set by the qualitative
    // analysis; unset reads as None.
    nb::object acquisition_condition;
    // The reader whose spectrum table holds this description, once an
    // analysis has made it; unset otherwise. Its lock guards the record and
    // the condition (see threading.hpp).
    nb::object table_reader;

    explicit InternalSpectrumDescriptionObject(int64_t index) { record.index = index; }
    InternalSpectrumDescription &rec() { return record; }
    int traverse(visitproc visit, void *arg) const {
        if (int r = visit_objects(visit, arg, supplemental, acquisition_condition, table_reader)) return r;
        return slots.traverse(visit, arg);
    }
    void clear() {
        slots.clear();
        reset_objects(supplemental, acquisition_condition, table_reader);
    }
    // A read leaves the acquisition condition alone.
    void forget() { slots.clear(); }
};

inline nb::object product_indices(InternalSpectrumDescriptionObject &o) {
    return field(o, field_index<InternalSpectrumDescriptionObject>("product_indices"));
}
inline nb::object precursor_range(InternalSpectrumDescriptionObject &o) {
    return field(o, field_index<InternalSpectrumDescriptionObject>("precursor_range"));
}
inline nb::object mass_range(InternalSpectrumDescriptionObject &o) {
    return field(o, field_index<InternalSpectrumDescriptionObject>("mass_range"));
}

// ---------------------------------------------------------------- reading into an object

// Python code that the stream runs during a read may read into the same
// object again; the outer read still writes into nested records that the
// inner one would replace, so a read into an object being read is refused.
class ReadInProgress {
public:
    explicit ReadInProgress(bool &flag) : flag_(flag) {
        if (flag_) throw ZarnError("The record is already being read");
        flag_ = true;
    }
    ReadInProgress(const ReadInProgress &) = delete;
    ReadInProgress &operator=(const ReadInProgress &) = delete;
    ~ReadInProgress() { flag_ = false; }

private:
    bool &flag_;
};

// Runs `read` into the object's record. The kept objects of fields that the
// read may change are dropped and made again from the record when next
// asked for; a handed-out dictionary gets the pairs read.
template <typename T, typename Read>
void read_object_with(T &o, Read &&read) {
    const ReadInProgress reading(o.reading);
    struct Forget {
        T &o;
        ~Forget() { o.forget(); }
    } forget{o};
    if constexpr (requires { o.supplemental; })
        read_with_dictionary(o.rec().supplemental_properties, o.supplemental, read);
    else
        read();
}

// Reads one record at the reader's position into the object, with the
// core's reader of its record.
// A spectrum description of an analysis's table is written holding the
// lock of that table's reader as well, both taken in address order.
template <typename T>
void read_object(T &o, Reader &r) {
    nb::object table_reader;
    if constexpr (requires { o.table_reader; }) table_reader = o.table_reader;
    Reader *table = table_reader.is_valid() ? &reader_of(table_reader) : nullptr;
    if (!table || table == &r) {
        const ReaderUse use(r);
        read_object_with(o, [&] { T::kRead(r, o.rec()); });
        return;
    }
    const bool table_first = std::less<Reader *>()(table, &r);
    const ReaderUse first(table_first ? *table : r);
    const ReaderUse second(table_first ? r : *table);
    read_object_with(o, [&] { T::kRead(r, o.rec()); });
}

// ---------------------------------------------------------------- registration

// A record class: its factory (`create`, with its arguments' names), its
// read step, its fields, and for the condition records their value hash
// and equality.
template <typename T, typename Create, typename... Extra>
void def_record(nb::module_ &m, Create &&create, const Extra &...extra) {
    auto cls = record_class<T>(m, T::kClass);
    cls.def_static(field_name<T>("create_instance").c_str(), std::forward<Create>(create), extra...)
        .def(field_name<T>("read").c_str(), [](T &o, Reader &r) { read_object(o, r); }, nb::arg("reader"));
    def_fields(cls);
    if constexpr (has_value_fields<T>()) def_value_semantics(cls);
}

// A record class whose factory takes no argument.
template <typename T>
void def_record(nb::module_ &m) {
    def_record<T>(m, [] { return create<T>(); });
}

// The factory of a record read where it is made.
template <typename T>
nb::object create_read(Reader &r) {
    return create<T>([&](T &o) { read_object(o, r); });
}

}  // namespace zarn::py

// The Python objects of the description records (zarn_data_access._internal.
// _description), shared by every binding module that makes or reads them.
//
// An object holds the core record (src/core/records/records.hpp) and the
// Python objects of its fields that must stay the same object on every
// access (lists, dictionaries, ranges, nested records), made on first
// access and kept.
//
// For other C++ modules (the analyses): cast a record's Python object with
// `as<T>(handle)` (null when it is not a T) or nb::cast<T &>, then
//   - read scalar fields from the core record (`rec()`): they cannot be
//     changed from Python, so the core record is the truth;
//   - take lists, dictionaries, ranges and nested records through the
//     accessor functions below, which hand out the kept Python objects: a
//     caller may have changed those in place, and the objects then are the
//     truth (supplemental_contains() answers from the dictionary once it
//     exists).
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "enum_members.hpp"
#include "field_values.hpp"
#include "objects.hpp"
#include "records/records.hpp"
#include "supplemental.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Python objects of a record's fields, made on first access and kept, so
// that a field reads as the same object every time, as an attribute would.
template <size_t N>
struct Slots {
    std::array<nb::object, N> objects;

    template <typename Make>
    nb::object get(size_t i, Make &&make) {
        if (!objects[i].is_valid()) objects[i] = make();
        return objects[i];
    }
    void clear() {
        for (nb::object &o : objects) o.reset();
    }
    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &o : objects) Py_VISIT(o.ptr());
        return 0;
    }
};

// ---------------------------------------------------------------- description records

// The common part of most record objects: the core record, shared with the
// records that hold it, and the kept objects of its fields, which a read
// drops.
template <typename Record, size_t N>
struct RecordObject {
    std::shared_ptr<Record> record = std::make_shared<Record>();
    Slots<N> slots;
    bool reading = false;

    Record &rec() { return *record; }
    int traverse(visitproc visit, void *arg) const { return slots.traverse(visit, arg); }
    void clear() { slots.clear(); }
    void forget() { slots.clear(); }
};

// A record with supplemental properties keeps their dictionary apart: a read
// adds to it instead of dropping it.
template <typename Record, size_t N>
struct RecordObjectWithDictionary : RecordObject<Record, N> {
    nb::object supplemental;

    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(supplemental.ptr());
        return RecordObject<Record, N>::traverse(visit, arg);
    }
    void clear() {
        RecordObject<Record, N>::clear();
        supplemental.reset();
    }
};

struct VendorSpecificAdditionalConditionObject : RecordObject<VendorSpecificAdditionalCondition, 4> {
    enum Slot { Type, OriginalId, ConeVoltage, ScanInfoString, Count };
};

struct TripleQScanConditionObject : RecordObject<TripleQScanCondition, 4> {
    enum Slot { Type, TargetMz, Q1Range, Q3Range, Count };
};

struct InternalAcquisitionCoreConditionObject : RecordObject<InternalAcquisitionCoreCondition, 7> {
    enum Slot {
        MsLevel,
        Polarity,
        CollisionEnergy,
        MassRange,
        OriginalMeasuredSpectrumType,
        VendorSpecificAdditionalCondition,
        TripleQScanCondition,
        Count
    };
};

struct InternalAcquisitionConditionObject : RecordObject<InternalAcquisitionCondition, 4> {
    enum Slot { InternalAcquisitionCoreConditionIndex, PrecursorValue, PrecursorRange, ProductIndices, Count };
    // The linked core condition's object; unset until first asked for. A
    // read leaves the link alone.
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

struct QualDescriptionObject : RecordObjectWithDictionary<QualDescription, 3> {
    enum Slot { WavelengthArr, UniqueAcquisitionCoreConditionList, UniqueAcquisitionConditionList, Count };
};

struct QuanDescriptionObject : RecordObjectWithDictionary<QuanDescription, 13> {
    enum Slot {
        IsQuanTransition,
        CollisionEnergy,
        CompoundName,
        Q1,
        Q3,
        EstimatedRetentionTime,
        ExtractValue,
        ExtractTolerance,
        QuanAnalysisType,
        CompoundType,
        DetectorType,
        PolarityType,
        Concentration,
        Count
    };
};

struct FunctionDescriptionObject {
    std::shared_ptr<FunctionDescription> record = std::make_shared<FunctionDescription>();
    nb::object qual_description, quan_description;
    bool reading = false;

    FunctionDescription &rec() { return *record; }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(qual_description.ptr());
        Py_VISIT(quan_description.ptr());
        return 0;
    }
    void clear() {
        qual_description.reset();
        quan_description.reset();
    }
    void forget() { clear(); }
};

struct MeasurementDescriptionObject : RecordObjectWithDictionary<MeasurementDescription, 14> {
    enum Slot {
        Hash,
        SampleName,
        SampleId,
        AcquisitionMethodFileName,
        DilutionFactor,
        InjectionVolume,
        OriginalFilePath,
        InstrumentProductName,
        MeasurementUserName,
        PlateCode,
        WellCode,
        MeasurementDateTime,
        InstrumentManufacturer,
        SourceFileDefinition,
        Count
    };
};

// One per spectrum, so the record is held inline and only the fields that
// must keep their identity have a kept object.
struct InternalSpectrumDescriptionObject {
    InternalSpectrumDescription record;
    nb::object supplemental, product_indices, precursor_range, mass_range;
    bool reading = false;
    // The spectrum's public acquisition condition, set by the qualitative
    // analysis; unset reads as None.
    nb::object acquisition_condition;

    explicit InternalSpectrumDescriptionObject(int64_t index) { record.index = index; }
    InternalSpectrumDescription &rec() { return record; }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(supplemental.ptr());
        Py_VISIT(product_indices.ptr());
        Py_VISIT(precursor_range.ptr());
        Py_VISIT(mass_range.ptr());
        Py_VISIT(acquisition_condition.ptr());
        return 0;
    }
    void clear() {
        supplemental.reset();
        product_indices.reset();
        precursor_range.reset();
        mass_range.reset();
        acquisition_condition.reset();
    }
    // A read leaves the acquisition condition alone.
    void forget() {
        product_indices.reset();
        precursor_range.reset();
        mass_range.reset();
    }
};

static_assert(VendorSpecificAdditionalConditionObject::Count == 4 && TripleQScanConditionObject::Count == 4 &&
              InternalAcquisitionCoreConditionObject::Count == 7 && InternalAcquisitionConditionObject::Count == 4 &&
              QualDescriptionObject::Count == 3 && QuanDescriptionObject::Count == 13 &&
              MeasurementDescriptionObject::Count == 14);

// ---- objects of nested records, sharing the core record

template <typename T, typename R>
nb::object wrap_record(std::shared_ptr<R> record) {
    if (!record) return nb::none();
    nb::object obj = new_instance<T>();
    nb::inst_ptr<T>(obj)->record = std::move(record);
    return obj;
}

// ---- accessors of the kept objects

inline nb::object vendor_specific_additional_condition(InternalAcquisitionCoreConditionObject &o) {
    return o.slots.get(o.VendorSpecificAdditionalCondition, [&] {
        return wrap_record<VendorSpecificAdditionalConditionObject>(o.rec().vendor_specific_additional_condition);
    });
}

inline nb::object triple_q_scan_condition(InternalAcquisitionCoreConditionObject &o) {
    return o.slots.get(o.TripleQScanCondition,
                       [&] { return wrap_record<TripleQScanConditionObject>(o.rec().triple_q_scan_condition); });
}

inline nb::object internal_acquisition_core_condition(InternalAcquisitionConditionObject &o) {
    if (!o.core_condition.is_valid())
        o.core_condition =
            wrap_record<InternalAcquisitionCoreConditionObject>(o.rec().internal_acquisition_core_condition);
    return o.core_condition;
}

// The two condition lists of a qualitative description. They are made
// together, so that each condition's linked core condition is the very
// object of the core list.
inline void make_condition_lists(QualDescriptionObject &o) {
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
    o.slots.objects[o.UniqueAcquisitionCoreConditionList] = std::move(cores);
    o.slots.objects[o.UniqueAcquisitionConditionList] = std::move(conditions);
}

inline nb::object unique_acquisition_core_condition_list(QualDescriptionObject &o) {
    if (!o.slots.objects[o.UniqueAcquisitionCoreConditionList].is_valid()) make_condition_lists(o);
    return o.slots.objects[o.UniqueAcquisitionCoreConditionList];
}

inline nb::object unique_acquisition_condition_list(QualDescriptionObject &o) {
    if (!o.slots.objects[o.UniqueAcquisitionConditionList].is_valid()) make_condition_lists(o);
    return o.slots.objects[o.UniqueAcquisitionConditionList];
}


inline nb::object qual_description(FunctionDescriptionObject &o) {
    if (!o.rec().qual_description)
        throw AttributeError("'FunctionDescription' object has no attribute '_FunctionDescription__qual_description'");
    if (!o.qual_description.is_valid())
        o.qual_description = wrap_record<QualDescriptionObject>(o.rec().qual_description);
    return o.qual_description;
}

inline nb::object quan_description(FunctionDescriptionObject &o) {
    if (!o.rec().quan_description)
        throw AttributeError("'FunctionDescription' object has no attribute '_FunctionDescription__quan_description'");
    if (!o.quan_description.is_valid())
        o.quan_description = wrap_record<QuanDescriptionObject>(o.rec().quan_description);
    return o.quan_description;
}

inline nb::object product_indices(InternalSpectrumDescriptionObject &o) {
    if (!o.product_indices.is_valid()) o.product_indices = opt_int_list(o.rec().product_indices);
    return o.product_indices;
}
inline nb::object precursor_range(InternalSpectrumDescriptionObject &o) {
    if (!o.precursor_range.is_valid()) o.precursor_range = opt_range(o.rec().precursor_range);
    return o.precursor_range;
}
inline nb::object mass_range(InternalSpectrumDescriptionObject &o) {
    if (!o.mass_range.is_valid()) o.mass_range = opt_range(o.rec().mass_range);
    return o.mass_range;
}
inline nb::object acquisition_condition(InternalSpectrumDescriptionObject &o) { return or_none(o.acquisition_condition); }

// ---- reading into an object

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

// Reads into the object's record. The kept objects of fields that the read
// may change are dropped and made again from the record when next asked
// for; a handed-out dictionary gets the pairs read.
template <typename T, typename Read>
void read_object(T &o, Read &&read) {
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

inline void read_object(MeasurementDescriptionObject &o, Reader &r) {
    read_object(o, [&] { read_measurement_description(r, o.rec()); });
}
inline void read_object(VendorSpecificAdditionalConditionObject &o, Reader &r) {
    read_object(o, [&] { read_vendor_specific_additional_condition(r, o.rec()); });
}
inline void read_object(TripleQScanConditionObject &o, Reader &r) {
    read_object(o, [&] { read_triple_q_scan_condition(r, o.rec()); });
}
inline void read_object(InternalAcquisitionCoreConditionObject &o, Reader &r) {
    read_object(o, [&] { read_internal_acquisition_core_condition(r, o.rec()); });
}
inline void read_object(InternalAcquisitionConditionObject &o, Reader &r) {
    read_object(o, [&] { read_internal_acquisition_condition(r, o.rec()); });
}
inline void read_object(QualDescriptionObject &o, Reader &r) {
    read_object(o, [&] { read_qual_description(r, o.rec()); });
}
inline void read_object(QuanDescriptionObject &o, Reader &r) {
    read_object(o, [&] { read_quan_description(r, o.rec()); });
}
inline void read_object(FunctionDescriptionObject &o, Reader &r) {
    read_object(o, [&] { read_function_description(r, o.rec()); });
}
inline void read_object(InternalSpectrumDescriptionObject &o, Reader &r) {
    read_object(o, [&] { read_internal_spectrum_description(r, o.rec()); });
}

}  // namespace zarn::py

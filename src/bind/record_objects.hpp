// The Python objects of the description and index records, shared by every
// binding module that makes or reads them.
//
// Each record class of _description and _index is one of the C++ types
// below, registered with nanobind by its module. An object holds the core
// record (src/core/records.hpp, src/core/index.hpp) and the Python objects of
// its fields that must stay the same object on every access (lists,
// dictionaries, ranges, nested records), made on first access and kept.
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
// make_function_index() and make_spectrum_index() create index records from
// C++ without calling Python code; spectrum_description_of() reaches the
// description of a SpectrumIndex.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/index.hpp"
#include "pyconv.hpp"
#include "records/records.hpp"
#include "support.hpp"
#include "values.hpp"

namespace zarn::py {

namespace nb = nanobind;

// ---------------------------------------------------------------- instances

// A new Python instance of a registered record type, made without running
// Python code (the classes refuse construction from Python).
template <typename T, typename... Args>
nb::object new_instance(Args &&...args) {
    static nb::handle type;
    if (!type.is_valid()) type = nb::type<T>();
    if (!type.is_valid()) throw nb::type_error("zarn_data_access._internal record types are not loaded");
    nb::object obj = nb::inst_alloc(type);
    new (nb::inst_ptr<T>(obj)) T(std::forward<Args>(args)...);
    nb::inst_mark_ready(obj);
    return obj;
}

// Pauses the cyclic garbage collector while many record objects are made in
// one go (a spectrum index block): otherwise every few hundred new objects
// start a collection that walks all objects made so far.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

// The C++ object of `h` when it is a T, else null.
template <typename T>
T *as(nb::handle h) {
    if (!h.is_valid() || !nb::isinstance<T>(h)) return nullptr;
    if (!nb::inst_ready(h)) return nullptr;
    return nb::inst_ptr<T>(h);
}

// The C++ reader of a KxmFileReader object; TypeError for anything else.
inline Reader &reader_of(nb::handle reader_object) {
    Reader *reader = nullptr;
    if (!reader_object.is_valid() || !nb::try_cast<Reader *>(reader_object, reader) || !reader)
        throw nb::type_error("a KxmFileReader is required");
    return *reader;
}

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

// A C++ object's traverse and clear over the Python objects it holds.
template <typename... Objects>
int visit_objects(visitproc visit, void *arg, const Objects &...objects) {
    int r = 0;
    ((r = r != 0 || !objects.ptr() ? r : visit(objects.ptr(), arg)), ...);
    return r;
}

template <typename... Objects>
void reset_objects(Objects &...objects) {
    (objects.reset(), ...);
}

// Garbage-collector support for the record types: the kept field objects
// may be anything a caller put into a list or dictionary, cycles included.
template <typename T>
int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}

template <typename T>
int record_clear(PyObject *self) {
    or_unraisable("clearing a Zarn object", [&] {
        if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    });
    return 0;
}

template <typename T>
inline PyType_Slot gc_slots[] = {{Py_tp_traverse, (void *)record_traverse<T>},
                                 {Py_tp_clear, (void *)record_clear<T>},
                                 {0, nullptr}};

inline nb::object or_none(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

// A record class: garbage-collected, and refusing construction from Python
// (objects come from the class factories).
template <typename T>
nb::class_<T> record_class(nb::module_ &m, const char *name) {
    nb::class_<T> cls(m, name, nb::type_slots(gc_slots<T>));
    cls.def("__init__", [](T *) { throw PlainError("Inaccessible due to protection level"); });
    return cls;
}

// ---------------------------------------------------------------- field values

inline nb::object opt_str(const std::optional<std::string> &v) { return v ? nb::object(make_str(*v)) : nb::none(); }
inline nb::object opt_float(const std::optional<double> &v) {
    return v ? nb::steal(PyFloat_FromDouble(*v)) : nb::none();
}
template <typename I>
nb::object opt_int(const std::optional<I> &v) {
    return v ? nb::steal(PyLong_FromLongLong((long long)*v)) : nb::none();
}
inline nb::object opt_bool(const std::optional<bool> &v) { return v ? nb::object(nb::bool_(*v)) : nb::none(); }
// A number whose absence is the integer 0.
inline nb::object float_or_zero(const std::optional<double> &v) {
    return v ? nb::steal(PyFloat_FromDouble(*v)) : nb::object(nb::int_(0));
}
inline nb::object range_value(const Range &r) {
    return make_value(ValueRange{nb::steal(PyFloat_FromDouble(r.min)), nb::steal(PyFloat_FromDouble(r.max))});
}
inline nb::object opt_range(const std::optional<Range> &v) { return v ? range_value(*v) : nb::none(); }
inline nb::object opt_int_list(const std::optional<std::vector<int64_t>> &v) {
    return v ? nb::object(int_list(*v)) : nb::none();
}
inline nb::object opt_float_list(const std::optional<std::vector<double>> &v) {
    return v ? nb::object(float_list(*v)) : nb::none();
}
inline nb::object opt_datetime(const std::optional<DateTimeFields> &v) { return v ? make_datetime(*v) : nb::none(); }

inline void dict_set(nb::handle dict, const std::string &key, const std::string &value) {
    if (PyDict_SetItem(dict.ptr(), make_str(key).ptr(), make_str(value).ptr()) != 0) throw nb::python_error();
}

inline nb::object supplemental_dict(const SupplementalProperties &props) {
    nb::dict d;
    for (const auto &[key, value] : props.items()) dict_set(d, key, value);
    return d;
}

// ---------------------------------------------------------------- enumeration members

// The Python enumerations that records hand out. The first five are the
// core's ValueEnum kinds, in the same order.
enum class PyEnum : uint8_t {
    Polarity,
    SpectrumType,
    QuanAnalysisType,
    CompoundType,
    InstrumentManufacturer,
    Detector,
    VendorCondition,
    TripleQScan
};
inline constexpr int kPyEnumCount = 8;

inline PyEnum py_enum(ValueEnum kind) { return PyEnum(uint8_t(kind)); }

inline nb::handle enum_type(PyEnum kind) {
    struct Where {
        const char *module, *name;
    };
    static constexpr Where where[kPyEnumCount] = {
        {"zarn_data_access.common", "PolarityTypes"},
        {"zarn_data_access.common", "SpectrumTypes"},
        {"zarn_data_access.common", "QuanAnalysisTypes"},
        {"zarn_data_access.common", "CompoundTypes"},
        {"zarn_data_access.common", "InstrumentManufacturers"},
        {"zarn_data_access._internal._enum", "DetectorTypes"},
        {"zarn_data_access._internal._enum", "VendorSpecificAdditionalConditionTypes"},
        {"zarn_data_access._internal._enum", "TripleQScanTypes"},
    };
    static PyObject *types[kPyEnumCount] = {};
    PyObject *&type = types[size_t(kind)];
    if (!type) type = import_attr(where[size_t(kind)].module, where[size_t(kind)].name);
    return type;
}

// The member of value v, made once (for 0-63) by calling the enumeration.
inline nb::object enum_member(PyEnum kind, int64_t value) {
    static PyObject *members[kPyEnumCount][64] = {};
    if (value < 0 || value > 63) return enum_type(kind)(value);
    PyObject *&member = members[size_t(kind)][size_t(value)];
    if (!member) member = nb::object(enum_type(kind)(value)).release().ptr();
    return nb::borrow(member);
}

// The member that a record holds when the file does not store the field.
inline nb::handle enum_default(PyEnum kind) {
    static PyObject *defaults[kPyEnumCount] = {};
    PyObject *&member = defaults[size_t(kind)];
    if (!member) {
        const char *name = kind == PyEnum::CompoundType ? "UNKNOWN" : "NA";
        member = nb::object(enum_type(kind).attr(name)).release().ptr();
    }
    return member;
}

template <typename I>
nb::object value_enum(ValueEnum kind, const std::optional<I> &v) {
    return v ? enum_member(py_enum(kind), *v) : nb::borrow(enum_default(py_enum(kind)));
}
inline nb::object detector_member(DetectorType v) { return enum_member(PyEnum::Detector, int64_t(v)); }
template <typename E>
nb::object opt_enum(PyEnum kind, const std::optional<E> &v) {
    return v ? enum_member(kind, int64_t(*v)) : nb::none();
}

// ---------------------------------------------------------------- supplemental properties

// Reading into a record whose dictionary has been handed out adds the pairs
// read to that dictionary, as reading into the dictionary itself would: the
// record's pairs are set aside, the read fills an empty list, and its pairs
// then go into the dictionary and join the record's.
template <typename Read>
void read_with_dictionary(SupplementalProperties &props, const nb::object &dict, Read &&read) {
    if (!dict.is_valid()) {
        read();
        return;
    }
    SupplementalProperties earlier;
    std::swap(earlier, props);
    auto finish = [&]() {
        std::swap(earlier, props);
        for (const auto &[key, value] : earlier.items()) dict_set(dict, key, value);
        props.merge(earlier);
    };
    try {
        read();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

// True when the record's supplemental properties hold `key`: the kept
// dictionary once it exists, else the pairs read.
inline bool supplemental_contains(const nb::object &dict, const SupplementalProperties &props, std::string_view key) {
    if (!dict.is_valid()) return props.contains(key);
    nb::object k = nb::steal(PyUnicode_FromStringAndSize(key.data(), Py_ssize_t(key.size())));
    const int r = PyDict_Contains(dict.ptr(), k.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

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

template <typename T>
nb::object supplemental_properties(T &o) {
    if (!o.supplemental.is_valid()) o.supplemental = supplemental_dict(o.rec().supplemental_properties);
    return o.supplemental;
}

template <typename T>
bool supplemental_contains(T &o, std::string_view key) {
    return supplemental_contains(o.supplemental, o.rec().supplemental_properties, key);
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

// ---------------------------------------------------------------- index records

struct ZarnInternalConversionOptionsObject {
    std::shared_ptr<ZarnInternalConversionOptions> record = std::make_shared<ZarnInternalConversionOptions>();
    bool reading = false;

    ZarnInternalConversionOptions &rec() { return *record; }
    int traverse(visitproc, void *) const { return 0; }
    void clear() {}
    void forget() {}
};

struct MeasurementIndexObject {
    nb::object reader;
    MeasurementIndex record;
    nb::object measurement_description;

    MeasurementIndex &rec() { return record; }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(reader.ptr());
        Py_VISIT(measurement_description.ptr());
        return 0;
    }
    void clear() {
        reader.reset();
        measurement_description.reset();
    }
};

struct JumpTableObject {
    JumpTable record;
    nb::object conversion_options, measurement_index_list;
    bool reading = false;

    JumpTable &rec() { return record; }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(conversion_options.ptr());
        Py_VISIT(measurement_index_list.ptr());
        return 0;
    }
    void clear() {
        conversion_options.reset();
        measurement_index_list.reset();
    }
};

struct FunctionIndexObject {
    nb::object reader;
    int64_t position = 0;
    nb::object function_description;

    // The description's C++ object; null only after the collector cleared it.
    FunctionDescriptionObject *description() { return as<FunctionDescriptionObject>(function_description); }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(reader.ptr());
        Py_VISIT(function_description.ptr());
        return 0;
    }
    void clear() {
        reader.reset();
        function_description.reset();
    }
};

struct SpectrumIndexObject {
    nb::object reader;
    int64_t position = 0;
    nb::object spectrum_description;
    int64_t profile_position = 0;

    // The description's C++ object; null only after the collector cleared it.
    InternalSpectrumDescriptionObject *description() {
        return spectrum_description.is_valid() ? nb::inst_ptr<InternalSpectrumDescriptionObject>(spectrum_description)
                                               : nullptr;
    }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(reader.ptr());
        Py_VISIT(spectrum_description.ptr());
        return 0;
    }
    void clear() {
        reader.reset();
        spectrum_description.reset();
    }
};

// A SpectrumIndex's description, reached from C++ without an attribute
// lookup; null when `h` is no SpectrumIndex.
inline InternalSpectrumDescriptionObject *spectrum_description_of(nb::handle h) {
    SpectrumIndexObject *index = as<SpectrumIndexObject>(h);
    return index ? index->description() : nullptr;
}

// ---- analyses

// What every analysis object holds first: the FunctionIndex it was made
// for, the index as passed, and that function index's reader. Its class
// factory fills them before the analysis reads the function's data.
struct FunctionAnalysis {
    nb::object function_index, index, reader;

    void hold(nb::handle function_index_object, nb::handle index_object) {
        function_index = nb::borrow(function_index_object);
        index = nb::borrow(index_object);
        reader = nb::getattr(function_index_object, "_FunctionIndex__reader");
    }
    int traverse(visitproc visit, void *arg) const { return visit_objects(visit, arg, function_index, index, reader); }
    void clear() { reset_objects(function_index, index, reader); }
};

// ---- factories for C++ callers (the same steps as the class factories)

// A FunctionIndex: keeps the reader object and the position and reads the
// function description at the reader's current place.
inline nb::object make_function_index(nb::handle reader_object, int64_t position) {
    Reader &reader = reader_of(reader_object);
    nb::object description = new_instance<FunctionDescriptionObject>();
    read_function_description(reader, nb::inst_ptr<FunctionDescriptionObject>(description)->rec());
    nb::object obj = new_instance<FunctionIndexObject>();
    auto *index = nb::inst_ptr<FunctionIndexObject>(obj);
    index->reader = nb::borrow(reader_object);
    index->position = position;
    index->function_description = std::move(description);
    return obj;
}

// A SpectrumIndex: keeps the reader object and the position and reads the
// spectrum description, with its index, at the reader's current place; the
// profile position is 0. `reader` is the C++ object of `reader_object`.
inline nb::object make_spectrum_index(nb::handle reader_object, Reader &reader, int64_t position, int64_t index) {
    nb::object description = new_instance<InternalSpectrumDescriptionObject>(index);
    read_internal_spectrum_description(reader, nb::inst_ptr<InternalSpectrumDescriptionObject>(description)->rec());
    nb::object obj = new_instance<SpectrumIndexObject>();
    auto *entry = nb::inst_ptr<SpectrumIndexObject>(obj);
    entry->reader = nb::borrow(reader_object);
    entry->position = position;
    entry->spectrum_description = std::move(description);
    return obj;
}

}  // namespace zarn::py

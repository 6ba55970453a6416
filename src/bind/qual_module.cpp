// zarn_data_access.qual: qualitative MS and DAD analyses, their spectra and
// the chromatograms derived from them, and the condition classes that select
// spectra: the maker-specific and triple-quadrupole scan conditions,
// AcquisitionCondition and ChromatogramFilterOption.
//
// An analysis reads its function's spectrum index block when it is made and
// keeps the SpectrumIndex records; the chromatograms walk them in C++,
// decode each spectrum they need once into native points and make Python
// objects only for the points they return.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "blocks/blocks.hpp"
#include "records/index.hpp"
#include "points.hpp"
#include "pyconv.hpp"
#include "analysis/qual.hpp"
#include "analysis_objects.hpp"
#include "index_objects.hpp"
#include "support.hpp"
#include "value_semantics.hpp"
#include "values.hpp"


// ================================================================ condition classes

namespace zarn::py {

namespace nb = nanobind;

// The nine classes of additional conditions: five makers' conditions, four
// scan conditions. Each holds up to three fields, the objects it was given.
enum class Extra : uint8_t {
    Agilent,
    Sciex,
    Shimadzu,
    ThermoFisher,
    Waters,
    PrecursorScan,
    ProductScan,
    NeutralLossScan,
    NeutralGainScan
};

template <Extra K>
struct ExtraCondition {
    std::array<nb::object, 3> fields;

    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &o : fields) Py_VISIT(o.ptr());
        return 0;
    }
    void clear() {
        for (nb::object &o : fields) o.reset();
    }
};

// The public acquisition condition. An object built from anything but a
// condition record or a spectrum description has no fields but its list.
struct AcquisitionConditionObject {
    enum Field {
        MsLevel,
        Polarity,
        CollisionEnergy,
        PrecursorValue,
        OriginalMeasuredSpectrumType,
        PrecursorRange,
        MassRange,
        Count
    };
    bool has_fields = false;
    std::array<nb::object, Count> fields;
    nb::object additional_conditions;

    // The field, or AttributeError as for an attribute never set.
    nb::handle field(Field f) const;
    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &o : fields) Py_VISIT(o.ptr());
        return visit_objects(visit, arg, additional_conditions);
    }
    void clear() {
        for (nb::object &o : fields) o.reset();
        additional_conditions.reset();
    }
};

struct ChromatogramFilterOptionObject {
    nb::object extract_mz_range, acquisition_condition, retention_time_range;

    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, extract_mz_range, acquisition_condition, retention_time_range);
    }
    void clear() { reset_objects(extract_mz_range, acquisition_condition, retention_time_range); }
};

// Registers the classes of this header with the module.
void register_conditions(nb::module_ &m);

// Which maker's condition a spectrum description's supplemental keys ask for.
SpectrumConditionKey::Maker maker_of(InternalSpectrumDescriptionObject &description);

// AcquisitionCondition(description), the maker already chosen.
nb::object condition_from_description(InternalSpectrumDescriptionObject &description,
                                      SpectrumConditionKey::Maker maker);

// AcquisitionCondition(argument), as the constructor builds it.
nb::object make_acquisition_condition(nb::handle argument);

// The C++ object when `h` is exactly an AcquisitionCondition (no subclass),
// else null.
AcquisitionConditionObject *exact_acquisition_condition(nb::handle h);

// a != b for a spectrum's condition and a caller's, as the interpreter
// answers it; in C++ when neither side can bring comparisons of its own.
bool conditions_differ(nb::handle a, nb::handle b);

// The PolarityTypes value of the member that records hold by default.
int64_t default_polarity_value();

}  // namespace zarn::py


namespace zarn::py {

using namespace nb::literals;

namespace {

using Acq = AcquisitionConditionObject;
using Option = ChromatogramFilterOptionObject;

// ---------------------------------------------------------------- small helpers

// a == b as the interpreter answers it, taken for its truth.
bool equals(nb::handle a, nb::handle b) {
    nb::object r = nb::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    if (!r.is_valid()) throw nb::python_error();
    const int truth = PyObject_IsTrue(r.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
}

nb::object str_of(nb::handle h) {
    nb::object s = nb::steal(PyObject_Str(h.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return s;
}

// The voltage text: str() of the value without one trailing ".0".
nb::object voltage_text(nb::handle value) {
    nb::object s = str_of(value);
    const Py_ssize_t n = PyUnicode_GetLength(s.ptr());
    nb::str suffix(".0");
    const Py_ssize_t match = PyUnicode_Tailmatch(s.ptr(), suffix.ptr(), 0, n, 1);
    if (match < 0) throw nb::python_error();
    if (match == 0) return s;
    nb::object cut = nb::steal(PyUnicode_Substring(s.ptr(), 0, n - 2));
    if (!cut.is_valid()) throw nb::python_error();
    return cut;
}

// Text pieces joined once at the end.
class Text {
public:
    Text &operator<<(const char *piece) {
        parts_.append(nb::str(piece));
        return *this;
    }
    Text &operator<<(const nb::object &piece) {
        parts_.append(piece);
        return *this;
    }
    nb::str done() const {
        nb::object joined = nb::steal(PyUnicode_Join(nb::str("").ptr(), parts_.ptr()));
        if (!joined.is_valid()) throw nb::python_error();
        return nb::borrow<nb::str>(joined);
    }

private:
    nb::list parts_;
};

// A member of an enumeration by name, kept for the life of the interpreter.
nb::handle member(PyEnum kind, const char *name) { return nb::object(enum_type(kind).attr(name)).release(); }

nb::handle spectrum_type(int which) {
    static nb::handle members[3] = {member(PyEnum::SpectrumType, "UNKNOWN"), member(PyEnum::SpectrumType, "PROFILE"),
                                    member(PyEnum::SpectrumType, "CENTROID")};
    return members[which];
}

// ---------------------------------------------------------------- additional conditions

struct ExtraInfo {
    const char *name;      // the class
    const char *argument;  // the constructor's parameter
    const char *title;     // the text before the fields
    size_t fields;
    size_t hashed;               // the leading fields that hash and compare
    bool makers;                 // a maker's condition: absent fields are left out of the text
    int voltage_field;           // the field a float argument fills, and the one with the voltage text; -1: none
    bool tests_argument;         // takes a vendor record or a float, anything else as nothing
    int text_field;              // a text field that is absent when empty too; -1: none
    std::array<const char *, 3> properties;
    std::array<const char *, 3> labels;
    std::array<const char *, 3> sources;  // the record's fields that fill them
};

constexpr const char *kVendorOriginalId = "_VendorSpecificAdditionalCondition__original_id";
constexpr const char *kVendorConeVoltage = "_VendorSpecificAdditionalCondition__cone_voltage";
constexpr const char *kVendorScanInfo = "_VendorSpecificAdditionalCondition__scan_info_string";
constexpr const char *kTargetMz = "_TripleQScanCondition__target_mz";
constexpr const char *kQ1Range = "_TripleQScanCondition__q1_range";
constexpr const char *kQ3Range = "_TripleQScanCondition__q3_range";

constexpr ExtraInfo kExtras[] = {
    {"AgilentMassHunterCondition", "argument", "Agilent|MassHunter", 1, 1, true, 0, true, -1,
     {"fragmentor_voltage"}, {"Fragmentor Voltage"}, {kVendorConeVoltage}},
    {"SCIEXAnalystCondition", "vendor_specific_additional_condition", "SCIEX|Analyst", 2, 2, true, 1, false, -1,
     {"experiment_index", "dp"}, {"Experiment Index", "DP"}, {kVendorOriginalId, kVendorConeVoltage}},
    {"ShimadzuIoModuleCondition", "vendor_specific_additional_condition", "Shimadzu|IoModule", 1, 1, true, -1, false,
     -1, {"event_no"}, {"Event Number"}, {kVendorOriginalId}},
    {"ThermoFisherRawFileReaderCondition", "argument", "ThermoFisher|RawFileReader", 2, 1, true, 0, true, 1,
     {"sid", "scan_filter"}, {"SID", "Scan Filter"}, {kVendorConeVoltage, kVendorScanInfo}},
    {"WatersMassLynxCondition", "argument", "Waters|MassLynx", 2, 2, true, 1, true, -1,
     {"function_number", "cone_voltage"}, {"Function Number", "Cone Voltage"}, {kVendorOriginalId, kVendorConeVoltage}},
    {"PrecursorIonScanCondition", "triple_q_scan_condition", "Precursor Ion Scan", 2, 2, false, -1, false, -1,
     {"product_ion_mz", "q1_range"}, {"Product Ion m/z", "Q1 Range"}, {kTargetMz, kQ1Range}},
    {"ProductIonScanCondition", "triple_q_scan_condition", "Product Ion Scan", 2, 2, false, -1, false, -1,
     {"precursor_ion_mz", "q3_range"}, {"Precursor Ion m/z", "Q3 Range"}, {kTargetMz, kQ3Range}},
    {"NeutralLossScanCondition", "triple_q_scan_condition", "Neutral Loss Scan", 3, 3, false, -1, false, -1,
     {"neutral_loss_mz", "q1_range", "q3_range"}, {"Neutral Loss m/z", "Q1 Range", "Q3 Range"},
     {kTargetMz, kQ1Range, kQ3Range}},
    {"NeutralGainScanCondition", "triple_q_scan_condition", "Neutral Gain Scan", 3, 3, false, -1, false, -1,
     {"neutral_gain_mz", "q1_range", "q3_range"}, {"Neutral Gain m/z", "Q1 Range", "Q3 Range"},
     {kTargetMz, kQ1Range, kQ3Range}},
};
constexpr size_t kExtraCount = sizeof(kExtras) / sizeof(kExtras[0]);

using ExtraFields = std::array<nb::object, 3>;

// The registered type of each class, and the fields of an instance.
PyTypeObject *extra_types[kExtraCount] = {};

template <Extra K>
ExtraFields &fields_of(PyObject *o) {
    return nb::inst_ptr<ExtraCondition<K>>(o)->fields;
}

constexpr ExtraFields &(*kFieldsOf[kExtraCount])(PyObject *) = {
    fields_of<Extra::Agilent>,       fields_of<Extra::Sciex>,         fields_of<Extra::Shimadzu>,
    fields_of<Extra::ThermoFisher>,  fields_of<Extra::Waters>,        fields_of<Extra::PrecursorScan>,
    fields_of<Extra::ProductScan>,   fields_of<Extra::NeutralLossScan>, fields_of<Extra::NeutralGainScan>};

// The class of `o` when it is exactly one of the nine, else -1.
int exact_extra(PyObject *o) {
    for (size_t k = 0; k < kExtraCount; ++k)
        if (Py_TYPE(o) == extra_types[k]) return int(k);
    return -1;
}

bool present(const ExtraInfo &info, size_t f, const nb::object &value) {
    if (value.is_none()) return false;
    return int(f) != info.text_field || !equals(value, nb::str(""));
}

nb::str extra_text(const ExtraInfo &info, const ExtraFields &fields) {
    Text text;
    text << info.title;
    bool first = true;
    for (size_t f = 0; f < info.fields; ++f) {
        nb::object value = or_none(fields[f]);
        if (info.makers && !present(info, f, value)) continue;
        text << (first ? ": [" : ", [") << info.labels[f] << "] ";
        text << (int(f) == info.voltage_field && info.makers ? voltage_text(value) : str_of(value));
        first = false;
    }
    return text.done();
}

nb::object extra_hash(const ExtraInfo &info, const ExtraFields &fields) {
    ValueHash h;
    for (size_t f = 0; f < info.hashed; ++f) h.add(or_none(fields[f]));
    return h.value();
}

bool values_differ(nb::handle a, nb::handle b);

bool extra_fields_equal(const ExtraInfo &info, const ExtraFields &a, const ExtraFields &b) {
    for (size_t f = 0; f < info.hashed; ++f)
        if (values_differ(or_none(a[f]), or_none(b[f]))) return false;
    return true;
}

// The fields of a new condition of class `info` built from `argument`.
ExtraFields build_extra(const ExtraInfo &info, nb::handle argument) {
    ExtraFields fields;
    for (nb::object &f : fields) f = nb::none();
    bool from_record = true;
    if (info.tests_argument) {
        from_record = nb::isinstance<VendorSpecificAdditionalConditionObject>(argument);
        if (!from_record) {
            if (PyFloat_Check(argument.ptr())) fields[size_t(info.voltage_field)] = nb::borrow(argument);
            return fields;
        }
    }
    for (size_t f = 0; f < info.fields; ++f) fields[f] = nb::getattr(argument, info.sources[f]);
    return fields;
}

template <Extra K>
nb::object new_extra(nb::handle argument) {
    const ExtraInfo &info = kExtras[size_t(K)];
    ExtraFields fields = build_extra(info, argument);
    nb::object obj = new_instance<ExtraCondition<K>>();
    nb::inst_ptr<ExtraCondition<K>>(obj)->fields = std::move(fields);
    return obj;
}

template <Extra K>
void register_extra(nb::module_ &m) {
    using T = ExtraCondition<K>;
    static const ExtraInfo &info = kExtras[size_t(K)];
    nb::class_<T> cls(m, info.name, nb::type_slots(gc_slots<T>));
    cls.def(
        "__init__",
        [](T *self, nb::handle argument) {
            ExtraFields fields = build_extra(info, argument);
            new (self) T{std::move(fields)};
        },
        nb::arg(info.argument).none());
    auto text = [](T &o) { return extra_text(info, o.fields); };
    cls.def("__str__", text).def("__repr__", text);
    for (size_t f = 0; f < info.fields; ++f)
        cls.def_prop_ro(info.properties[f], [f](T &o) { return or_none(o.fields[f]); });
    cls.def("__hash__", [](T &o) { return extra_hash(info, o.fields); })
        .def(
            "__eq__",
            [](T &o, nb::handle other) {
                T *that = as<T>(other);
                return that && extra_fields_equal(info, o.fields, that->fields);
            },
            "other"_a.none());
    extra_types[size_t(K)] = (PyTypeObject *)cls.ptr();
}

// ---------------------------------------------------------------- native comparisons

bool identity_compared(PyObject *o) { return Py_TYPE(o)->tp_richcompare == PyBaseObject_Type.tp_richcompare; }

// RichCompareBool(a, b, ==): the same object is equal; the nine classes
// compare in C++.
bool items_equal(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr()) return true;
    const RecursionLevel level(" in comparison");
    const int k = exact_extra(a.ptr());
    if (k >= 0 && Py_TYPE(b.ptr()) == Py_TYPE(a.ptr()))
        return extra_fields_equal(kExtras[k], kFieldsOf[k](a.ptr()), kFieldsOf[k](b.ptr()));
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

PyTypeObject *value_range_type() {
    static PyTypeObject *type = (PyTypeObject *)nb::type<ValueRange>().ptr();
    return type;
}

// a != b for field values, in C++ for the kinds that conditions hold and
// whose comparison no Python code decides; the interpreter otherwise.
bool values_differ(nb::handle a, nb::handle b) {
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == Py_None && y == Py_None) return false;
    if (PyFloat_CheckExact(x) && PyFloat_CheckExact(y)) return PyFloat_AS_DOUBLE(x) != PyFloat_AS_DOUBLE(y);
    if (Py_TYPE(x) == value_range_type() && Py_TYPE(y) == value_range_type()) {
        const ValueRange &r = *nb::inst_ptr<ValueRange>(x), &s = *nb::inst_ptr<ValueRange>(y);
        // Each bound is held while compared: a comparison may replace it.
        nb::object r_min = r.min, s_min = s.min;
        if (!items_equal(r_min, s_min)) return true;
        nb::object r_max = r.max, s_max = s.max;
        return !items_equal(r_max, s_max);
    }
    if (identity_compared(x) && identity_compared(y)) return x != y;
    if (PyList_CheckExact(x) && PyList_CheckExact(y)) {
        if (PyList_GET_SIZE(x) != PyList_GET_SIZE(y)) return true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(x) && i < PyList_GET_SIZE(y); ++i) {
            // Held while compared: a comparison may change the lists.
            nb::object v = nb::borrow(PyList_GET_ITEM(x, i)), u = nb::borrow(PyList_GET_ITEM(y, i));
            if (!items_equal(v, u)) return true;
        }
        return PyList_GET_SIZE(x) != PyList_GET_SIZE(y);
    }
    return differ(a, b);
}

// ---------------------------------------------------------------- AcquisitionCondition

constexpr const char *kFieldNames[Acq::Count] = {
    "_AcquisitionCondition__ms_level",
    "_AcquisitionCondition__polarity",
    "_AcquisitionCondition__collision_energy",
    "_AcquisitionCondition__precursor_value",
    "_AcquisitionCondition__original_measured_spectrum_type",
    "_AcquisitionCondition__precursor_range",
    "_AcquisitionCondition__mass_range",
};

nb::object new_list() { return nb::steal(PyList_New(0)); }

// The extra condition `kind` made from `argument` appended to the list.
void append_extra(Acq &o, Extra kind, nb::handle argument) {
    static nb::object (*const make[kExtraCount])(nb::handle) = {
        new_extra<Extra::Agilent>,      new_extra<Extra::Sciex>,           new_extra<Extra::Shimadzu>,
        new_extra<Extra::ThermoFisher>, new_extra<Extra::Waters>,          new_extra<Extra::PrecursorScan>,
        new_extra<Extra::ProductScan>,  new_extra<Extra::NeutralLossScan>, new_extra<Extra::NeutralGainScan>};
    nb::object extra = make[size_t(kind)](argument);
    if (PyList_Append(o.additional_conditions.ptr(), extra.ptr()) != 0) throw nb::python_error();
}

// The first of `kinds` whose enumeration member the record's type equals.
template <size_t N>
void append_by_type(Acq &o, nb::handle record, const char *type_field, PyEnum enumeration,
                    const std::pair<const char *, Extra> (&kinds)[N]) {
    if (record.is_none()) return;
    nb::object type = nb::getattr(record, type_field);
    for (const auto &[name, kind] : kinds) {
        if (equals(type, enum_type(enumeration).attr(name))) {
            append_extra(o, kind, record);
            return;
        }
    }
}

void fill_from_condition_record(Acq &o, nb::handle argument) {
    nb::object core = nb::getattr(argument, "_InternalAcquisitionCondition__internal_acquisition_core_condition");
    nb::object ms_level = nb::getattr(core, "_InternalAcquisitionCoreCondition__ms_level");
    o.fields[Acq::MsLevel] = ms_level.is_none() ? nb::int_(1) : ms_level;
    o.fields[Acq::Polarity] = nb::getattr(core, "_InternalAcquisitionCoreCondition__polarity");
    o.fields[Acq::CollisionEnergy] = nb::getattr(core, "_InternalAcquisitionCoreCondition__collision_energy");
    o.fields[Acq::MassRange] = nb::getattr(core, "_InternalAcquisitionCoreCondition__mass_range");
    o.fields[Acq::OriginalMeasuredSpectrumType] =
        nb::getattr(core, "_InternalAcquisitionCoreCondition__original_measured_spectrum_type");
    o.fields[Acq::PrecursorRange] = nb::getattr(argument, "_InternalAcquisitionCondition__precursor_range");
    o.fields[Acq::PrecursorValue] = nb::getattr(argument, "_InternalAcquisitionCondition__precursor_value");
    o.has_fields = true;
    static const std::pair<const char *, Extra> makers[] = {{"AGILENT_MASS_HUNTER", Extra::Agilent},
                                                            {"SCIEX_ANALYST", Extra::Sciex},
                                                            {"SHIMADZU_IO_MODULE", Extra::Shimadzu},
                                                            {"THERMO_FISHER_RAW_FILE_READER", Extra::ThermoFisher},
                                                            {"WATERS_MASS_LYNX", Extra::Waters}};
    static const std::pair<const char *, Extra> scans[] = {{"PRECURSOR", Extra::PrecursorScan},
                                                           {"PRODUCT", Extra::ProductScan},
                                                           {"NEUTRAL_LOSS", Extra::NeutralLossScan},
                                                           {"NEUTRAL_GAIN", Extra::NeutralGainScan}};
    append_by_type(o, nb::getattr(core, "_InternalAcquisitionCoreCondition__vendor_specific_additional_condition"),
                   "_VendorSpecificAdditionalCondition__type", PyEnum::VendorCondition, makers);
    append_by_type(o, nb::getattr(core, "_InternalAcquisitionCoreCondition__triple_q_scan_condition"),
                   "_TripleQScanCondition__type", PyEnum::TripleQScan, scans);
}

void fill_from_description(Acq &o, InternalSpectrumDescriptionObject &d, SpectrumConditionKey::Maker maker) {
    const InternalSpectrumDescription &r = d.rec();
    o.fields[Acq::MsLevel] = r.ms_level ? nb::int_(int64_t(*r.ms_level)) : nb::int_(1);
    o.fields[Acq::Polarity] = value_enum(ValueEnum::Polarity, r.polarity);
    o.fields[Acq::CollisionEnergy] = opt_float(r.collision_energy);
    o.fields[Acq::MassRange] = mass_range(d);
    const int measured = !r.is_profile_spectrum_measured ? 0 : *r.is_profile_spectrum_measured ? 1 : 2;
    o.fields[Acq::OriginalMeasuredSpectrumType] = nb::borrow(spectrum_type(measured));
    o.fields[Acq::PrecursorRange] = precursor_range(d);
    o.fields[Acq::PrecursorValue] = opt_float(r.precursor_value);
    o.has_fields = true;
    static constexpr Extra kinds[] = {Extra::Agilent, Extra::ThermoFisher, Extra::Waters};
    if (maker != SpectrumConditionKey::None) append_extra(o, kinds[maker], float_or_zero(r.cone_voltage));
}

void fill(Acq &o, nb::handle argument) {
    o.additional_conditions = new_list();
    if (nb::isinstance<InternalAcquisitionConditionObject>(argument)) {
        fill_from_condition_record(o, argument);
    } else if (InternalSpectrumDescriptionObject *d = as<InternalSpectrumDescriptionObject>(argument)) {
        fill_from_description(o, *d, maker_of(*d));
    }
}

nb::handle polarity_sign(nb::handle polarity) {
    static const std::pair<nb::handle, nb::handle> signs[] = {
        {member(PyEnum::Polarity, "POSITIVE"), nb::str("+").release()},
        {member(PyEnum::Polarity, "NEGATIVE"), nb::str("-").release()},
        {member(PyEnum::Polarity, "BOTH"), nb::str("+/-").release()}};
    for (const auto &[m, sign] : signs)
        if (equals(polarity, m)) return sign;
    return nb::handle();
}

nb::str condition_text(Acq &o) {
    Text text;
    text << "MS" << str_of(o.field(Acq::MsLevel));
    if (nb::handle sign = polarity_sign(o.field(Acq::Polarity)); sign.is_valid()) text << nb::borrow(sign);
    static constexpr std::pair<Acq::Field, const char *> optional_parts[] = {
        {Acq::MassRange, ", [Mass Range] "},
        {Acq::CollisionEnergy, ", [Collision Energy] "},
        {Acq::PrecursorValue, ", [Precursor Value] "},
        {Acq::PrecursorRange, ", [Precursor Range] "}};
    for (const auto &[f, label] : optional_parts) {
        nb::handle value = o.field(f);
        if (!value.is_none()) text << label << str_of(value);
    }
    nb::handle measured = o.field(Acq::OriginalMeasuredSpectrumType);
    if (equals(measured, spectrum_type(1)))
        text << ", [Original Measured Spectrum Type] Profile";
    else if (equals(measured, spectrum_type(2)))
        text << ", [Original Measured Spectrum Type] Centroid";
    nb::object list = or_none(o.additional_conditions);
    if (!list.is_none()) {
        const Py_ssize_t n = PyObject_Length(list.ptr());
        if (n < 0) throw nb::python_error();
        for (Py_ssize_t i = 0; i < n; ++i) {
            nb::object item = nb::steal(PySequence_GetItem(list.ptr(), i));
            if (!item.is_valid()) throw nb::python_error();
            text << "; " << str_of(item);
        }
    }
    return text.done();
}

nb::object condition_hash(Acq &o) {
    ValueHash h;
    for (int f = 0; f < Acq::Count; ++f) h.add(o.field(Acq::Field(f)));
    h.add_as_tuple(or_none(o.additional_conditions));
    return h.value();
}

bool condition_equal(Acq &o, nb::handle other) {
    Acq *that = as<Acq>(other);
    if (!that) return false;
    for (int f = 0; f < Acq::Count; ++f)
        if (values_differ(o.field(Acq::Field(f)), that->field(Acq::Field(f)))) return false;
    return !values_differ(or_none(o.additional_conditions), or_none(that->additional_conditions));
}

// ---------------------------------------------------------------- ChromatogramFilterOption

nb::str option_text(Option &o) {
    Text text;
    text << "[AcquisitionCondition] " << str_of(or_none(o.acquisition_condition)) << ", [Extract m/z Range] "
         << str_of(or_none(o.extract_mz_range));
    nb::object range = or_none(o.retention_time_range);
    if (!equals(range, nb::none())) text << ", [Retention Time Range] " << str_of(range);
    return text.done();
}

template <nb::object Option::*Field>
void option_property(nb::class_<Option> &cls, const char *name) {
    cls.def_prop_rw(
        name, [](Option &o) { return or_none(o.*Field); },
        [](Option &o, nb::handle value) { o.*Field = nb::borrow(value); }, nb::for_setter(nb::arg(name).none()));
}

}  // namespace

nb::handle AcquisitionConditionObject::field(Field f) const {
    if (!has_fields || !fields[f].is_valid())
        throw AttributeError(std::string("'AcquisitionCondition' object has no attribute '") + kFieldNames[f] + "'");
    return fields[f];
}

SpectrumConditionKey::Maker maker_of(InternalSpectrumDescriptionObject &d) {
    if (supplemental_contains(d, "FragmentorVoltage")) return SpectrumConditionKey::Agilent;
    if (supplemental_contains(d, "In-SourceCID")) return SpectrumConditionKey::ThermoFisher;
    if (supplemental_contains(d, "ConeVoltage")) return SpectrumConditionKey::Waters;
    return SpectrumConditionKey::None;
}

nb::object condition_from_description(InternalSpectrumDescriptionObject &d, SpectrumConditionKey::Maker maker) {
    nb::object obj = new_instance<Acq>();
    Acq &o = *nb::inst_ptr<Acq>(obj);
    o.additional_conditions = new_list();
    fill_from_description(o, d, maker);
    return obj;
}

nb::object make_acquisition_condition(nb::handle argument) {
    nb::object obj = new_instance<Acq>();
    fill(*nb::inst_ptr<Acq>(obj), argument);
    return obj;
}

AcquisitionConditionObject *exact_acquisition_condition(nb::handle h) {
    static PyTypeObject *type = (PyTypeObject *)nb::type<Acq>().ptr();
    return h.is_valid() && Py_TYPE(h.ptr()) == type && nb::inst_ready(h) ? nb::inst_ptr<Acq>(h) : nullptr;
}

bool conditions_differ(nb::handle a, nb::handle b) {
    if (Acq *x = exact_acquisition_condition(a)) {
        if (exact_acquisition_condition(b)) return !condition_equal(*x, b);
        // Not a condition at all: the condition's equality says unequal.
        if (!nb::isinstance<Acq>(b)) return true;
    }
    return differ(a, b);
}

int64_t default_polarity_value() {
    static const int64_t value = nb::cast<int64_t>(enum_default(PyEnum::Polarity).attr("value"));
    return value;
}

void register_conditions(nb::module_ &m) {
    register_extra<Extra::Agilent>(m);
    register_extra<Extra::Sciex>(m);
    register_extra<Extra::Shimadzu>(m);
    register_extra<Extra::ThermoFisher>(m);
    register_extra<Extra::Waters>(m);
    register_extra<Extra::PrecursorScan>(m);
    register_extra<Extra::ProductScan>(m);
    register_extra<Extra::NeutralLossScan>(m);
    register_extra<Extra::NeutralGainScan>(m);

    nb::class_<Acq> acq(m, "AcquisitionCondition", nb::type_slots(gc_slots<Acq>));
    acq.def(
        "__init__",
        [](Acq *self, nb::handle argument) {
            Acq built;
            fill(built, argument);
            new (self) Acq(std::move(built));
        },
        "argument"_a.none());
    acq.def("__str__", condition_text).def("__repr__", condition_text);
    static constexpr std::pair<const char *, Acq::Field> properties[] = {
        {"ms_level", Acq::MsLevel},
        {"polarity", Acq::Polarity},
        {"collision_energy", Acq::CollisionEnergy},
        {"precursor_value", Acq::PrecursorValue},
        {"original_measured_spectrum_type", Acq::OriginalMeasuredSpectrumType},
        {"precursor_range", Acq::PrecursorRange},
        {"mass_range", Acq::MassRange}};
    for (const auto &[name, field] : properties) {
        const Acq::Field f = field;  // clang 14 cannot capture a structured binding
        acq.def_prop_ro(name, [f](Acq &o) { return nb::borrow(o.field(f)); });
    }
    acq.def_prop_ro("additional_conditions", [](Acq &o) { return or_none(o.additional_conditions); });
    acq.def("__hash__", condition_hash).def("__eq__", condition_equal, "other"_a.none());

    nb::class_<Option> option(m, "ChromatogramFilterOption", nb::type_slots(gc_slots<Option>));
    option.def(
        "__init__",
        [](Option *self, nb::handle acquisition_condition, nb::handle extract_mz_range,
           nb::handle retention_time_range) {
            new (self) Option{nb::borrow(extract_mz_range), nb::borrow(acquisition_condition),
                              nb::borrow(retention_time_range)};
        },
        "acquisition_condition"_a.none(), "extract_mz_range"_a.none(), "retention_time_range"_a.none() = nb::none());
    option.def("__str__", option_text).def("__repr__", option_text);
    option_property<&Option::extract_mz_range>(option, "extract_mz_range");
    option_property<&Option::acquisition_condition>(option, "acquisition_condition");
    option_property<&Option::retention_time_range>(option, "retention_time_range");
}

}  // namespace zarn::py


// ================================================================ analyses

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;
using zarn::Number;
using zarn::Point;
using zarn::Reader;

namespace {

constexpr const char *kNoRetentionTime = "No spectrum has retention time information.";

// ---------------------------------------------------------------- Python helpers

bool truth(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool compare(nb::handle a, nb::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

Py_ssize_t length(nb::handle h) {
    const Py_ssize_t n = PyObject_Length(h.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

nb::object to_float(nb::handle h) {
    nb::object f = nb::steal(PyNumber_Float(h.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return f;
}

// A number that arithmetic on a float produced, as the native number
// comparisons take it.
Number number_of(nb::handle h) {
    if (PyLong_Check(h.ptr())) {
        Bound bound{nb::borrow(h)};
        if (bound.native()) return bound.number();
    }
    return Number::real(as_double(h));
}

// "[<index>] <count> <words>"
nb::str counted_text(nb::handle index, Py_ssize_t count, const char *words) {
    nb::object text = nb::steal(PyUnicode_FromFormat("[%S] %zd %s", index.ptr(), count, words));
    if (!text.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(text);
}

// The list position that `index` names, checked as `index < 0 or index >=
// count` raising "Index out of range"; an index that is no integer fails
// as list indexing fails.
size_t checked_position(nb::handle index, size_t count) {
    nb::object zero = nb::int_(0), size = nb::int_(count);
    if (compare(index, zero, Py_LT) || compare(index, size, Py_GE)) throw zarn::PlainError("Index out of range");
    if (!PyIndex_Check(index.ptr())) {
        nb::object message = nb::steal(PyUnicode_FromFormat("list indices must be integers or slices, not %s",
                                                            Py_TYPE(index.ptr())->tp_name));
        throw nb::type_error(nb::borrow<nb::str>(message).c_str());
    }
    nb::object position = nb::steal(PyNumber_Index(index.ptr()));
    if (!position.is_valid()) throw nb::python_error();
    // The comparisons above are the index's own; the list position is what
    // it converts to, taken as a list takes it (negative from the end).
    int64_t i = to_i64_saturating(position);
    if (i < 0) i += int64_t(count);
    if (i < 0 || uint64_t(i) >= count) throw zarn::IndexError("list index out of range");
    return size_t(i);
}

// ---------------------------------------------------------------- spectrum index records

// The reader, positions and description of one SpectrumIndex.
InternalSpectrumDescriptionObject &description_of(const nb::object &entry) {
    InternalSpectrumDescriptionObject *d = nb::inst_ptr<SpectrumIndexObject>(entry)->description();
    if (!d) throw nb::type_error("the spectrum description is gone");
    return *d;
}

int64_t position_of(const nb::object &entry) { return nb::inst_ptr<SpectrumIndexObject>(entry)->position; }

// A SpectrumIndex's field as the interpreter reads it (the spectra keep
// whatever object their factory was given).
nb::object index_field(const nb::object &spectrum_index, const char *name) {
    return nb::getattr(or_none(spectrum_index), (std::string("_SpectrumIndex__") + name).c_str());
}

nb::object description_field(const nb::object &spectrum_index, const char *name) {
    return nb::getattr(index_field(spectrum_index, "spectrum_description"),
                       (std::string("_InternalSpectrumDescription__") + name).c_str());
}

// Moves the spectrum's reader to a position the spectrum's record holds.
// `holder` keeps the reader object alive while the caller reads: the record
// answers its reader afresh on each access, and Python code run during a read
// may drop the one it answered before.
Reader &reader_at(const nb::object &spectrum_index, nb::handle position, const char *what, nb::object &holder) {
    holder = index_field(spectrum_index, "reader");
    Reader &reader = reader_of(holder);
    zarn::move_to_stored_position(reader, to_i64_saturating(position), what);
    return reader;
}

// A spectrum of a chromatogram: its description's own index and its
// retention time, taken when the spectrum was chosen.
struct Chosen {
    int64_t index;
    double retention_time;
};

nb::object chromatogram_point(const Chosen &spectrum, Num intensity, Num x) {
    return make_value(SpectrumBasedChromatogramPoint{Num::of_int(spectrum.index),
                                                     Num::of_float(spectrum.retention_time), std::move(intensity),
                                                     std::move(x)});
}

// ---------------------------------------------------------------- spectra

struct SpectrumObject {
    nb::object spectrum_index, index, spectrum_points;

    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, spectrum_index, index, spectrum_points);
    }
    void clear() { reset_objects(spectrum_index, index, spectrum_points); }
};

struct DADSpectrumObject : SpectrumObject {
    nb::object wavelength_arr;

    int traverse(visitproc visit, void *arg) const {
        if (int r = visit_objects(visit, arg, wavelength_arr)) return r;
        return SpectrumObject::traverse(visit, arg);
    }
    void clear() {
        SpectrumObject::clear();
        wavelength_arr.reset();
    }
};

nb::object new_spectrum(nb::handle spectrum_index, nb::handle index) {
    nb::object obj = new_instance<SpectrumObject>();
    auto *s = nb::inst_ptr<SpectrumObject>(obj);
    s->spectrum_index = nb::borrow(spectrum_index);
    s->index = nb::borrow(index);
    s->spectrum_points = nb::none();
    return obj;
}

nb::object new_dad_spectrum(nb::handle spectrum_index, nb::handle index, nb::handle wavelength_arr) {
    nb::object obj = new_instance<DADSpectrumObject>();
    auto *s = nb::inst_ptr<DADSpectrumObject>(obj);
    s->spectrum_index = nb::borrow(spectrum_index);
    s->index = nb::borrow(index);
    s->wavelength_arr = nb::borrow(wavelength_arr);
    s->spectrum_points = nb::none();
    return obj;
}

nb::object spectrum_points(SpectrumObject &s) {
    if (or_none(s.spectrum_points).is_none()) {
        nb::object holder;
        Reader &reader = reader_at(s.spectrum_index, index_field(s.spectrum_index, "position"), "Spectrum", holder);
        s.spectrum_points = spectrum_list(zarn::read_spectrum(reader));
    }
    return s.spectrum_points;
}

nb::object profile_spectrum_points(SpectrumObject &s) {
    nb::object position = index_field(s.spectrum_index, "profile_position");
    if (compare(position, nb::int_(0), Py_EQ)) throw zarn::PlainError("No profile spectrum");
    nb::object holder;
    return spectrum_list(zarn::read_spectrum(reader_at(s.spectrum_index, position, "Profile spectrum", holder)));
}

nb::object dad_spectrum_points(DADSpectrumObject &s) {
    if (or_none(s.spectrum_points).is_none()) {
        nb::object holder;
        Reader &reader = reader_at(s.spectrum_index, index_field(s.spectrum_index, "position"), "Spectrum", holder);
        nb::object wavelengths = or_none(s.wavelength_arr);
        s.spectrum_points = wavelengths.is_none() ? nb::object(spectrum_list(zarn::read_spectrum(reader)))
                                                  : nb::object(read_dad_spectrum(reader, wavelengths));
    }
    return s.spectrum_points;
}

template <typename T, nb::object (*Points)(T &)>
nb::str points_text(T &s) {
    return counted_text(or_none(s.index), length(Points(s)), "points");
}

// ---------------------------------------------------------------- analyses

// The SpectrumIndex records of an analysis. A call that walks them holds
// the list it started with, whatever Python code it calls back does to the
// analysis.
using SpectrumList = std::shared_ptr<const std::vector<nb::object>>;

struct AnalysisObject : FunctionAnalysis {
    SpectrumList spectrum_index_list;

    size_t count() const { return spectrum_index_list ? spectrum_index_list->size() : 0; }
    int traverse(visitproc visit, void *arg) const {
        if (int r = FunctionAnalysis::traverse(visit, arg)) return r;
        if (spectrum_index_list)
            for (const nb::object &o : *spectrum_index_list) Py_VISIT(o.ptr());
        return 0;
    }
    void clear() {
        FunctionAnalysis::clear();
        spectrum_index_list.reset();
    }
};

// The list to walk: none after the collector cleared the analysis.
SpectrumList listed(const AnalysisObject &a) {
    static const SpectrumList empty = std::make_shared<const std::vector<nb::object>>();
    return a.spectrum_index_list ? a.spectrum_index_list : empty;
}

struct QualAnalysisObject : AnalysisObject {
    nb::object unique_acquisition_conditions;

    int traverse(visitproc visit, void *arg) const {
        if (int r = visit_objects(visit, arg, unique_acquisition_conditions)) return r;
        return AnalysisObject::traverse(visit, arg);
    }
    void clear() {
        AnalysisObject::clear();
        unique_acquisition_conditions.reset();
    }
};

struct DADAnalysisObject : AnalysisObject {};

nb::object qual_description_of(const AnalysisObject &a) {
    return nb::getattr(nb::getattr(a.function_index, "_FunctionIndex__function_description"),
                       "_FunctionDescription__qual_description");
}

nb::object qual_field(const AnalysisObject &a, const char *name) {
    return nb::getattr(qual_description_of(a), (std::string("_QualDescription__") + name).c_str());
}

// The spectrum index block (the reader's version must be known): one
// SpectrumIndex per spectrum with its description and positions.
void read_spectrum_index_block(AnalysisObject &a) {
    Reader &reader = reader_of(a.reader);
    const int64_t position = to_i64_saturating(nb::getattr(a.function_index, "_FunctionIndex__position"));
    zarn::SpectrumIndexHead head = zarn::read_spectrum_index_head(reader, position);
    zarn::DecompressedSegment segment(reader, Reader::SegmentContent::Records);
    auto list = std::make_shared<std::vector<nb::object>>();
    list->reserve(size_t(std::min<int64_t>(head.count, int64_t(head.offsets.size()))));
    for (int64_t i = 0; i < head.count; ++i)
        list->push_back(make_spectrum_index(a.reader, reader, zarn::stored_offset(head.offsets, head.origin, i), i));
    a.spectrum_index_list = list;
    if (head.has_profile)
        for (int64_t i = 0; i < head.count; ++i)
            nb::inst_ptr<SpectrumIndexObject>((*list)[size_t(i)])->profile_position =
                zarn::stored_offset(head.profile_offsets, head.origin, i);
    segment.close();
    reader.confirm_zarn_symbol(zarn::Symbol::END_OF_SPECTRUM_INDEX_BLOCK);
}

// Gives every spectrum description its public condition and makes the list
// of the analysis's distinct conditions: from the function's stored list,
// or from the spectra, grouped by value and sorted.
void bind_acquisition_conditions(QualAnalysisObject &a) {
    const SpectrumList spectra = listed(a);
    nb::object stored = qual_field(a, "unique_acquisition_condition_list");
    nb::list unique;
    if (stored.is_none()) {
        std::vector<zarn::SpectrumConditionKey> keys;
        std::vector<nb::object> conditions;
        keys.reserve(spectra->size());
        conditions.reserve(spectra->size());
        for (const nb::object &entry : *spectra) {
            InternalSpectrumDescriptionObject &d = description_of(entry);
            const zarn::SpectrumConditionKey::Maker maker = maker_of(d);
            d.acquisition_condition = condition_from_description(d, maker);
            conditions.push_back(d.acquisition_condition);
            keys.emplace_back(d.rec(), maker, default_polarity_value());
        }
        zarn::ConditionGroups groups = zarn::group_conditions(keys);
        zarn::sort_condition_groups(groups.firsts, keys);
        for (size_t first : groups.firsts) unique.append(conditions[first]);
    } else {
        const Items items(stored);
        for (size_t k = 0; k < items.size(); ++k) unique.append(make_acquisition_condition(items[k]));
        const int64_t n = int64_t(unique.size());
        for (const nb::object &entry : *spectra) {
            InternalSpectrumDescriptionObject &d = description_of(entry);
            int64_t j = d.rec().acquisition_condition_index;
            if (j < 0) j += n;
            if (j < 0 || j >= n) throw zarn::IndexError("list index out of range");
            d.acquisition_condition = unique[size_t(j)];
        }
    }
    a.unique_acquisition_conditions = std::move(unique);
}

void read_qual(QualAnalysisObject &a) {
    GcPause pause;
    read_spectrum_index_block(a);
    bind_acquisition_conditions(a);
}

void read_dad(DADAnalysisObject &a) {
    GcPause pause;
    read_spectrum_index_block(a);
}

// ---------------------------------------------------------------- matching conditions and ranges

// Whether each spectrum's condition differs from a caller's, decided once
// per condition object (spectra of a stored condition list share theirs).
class ConditionMatcher {
public:
    // `caller_first`: the caller's condition is the left operand of !=.
    ConditionMatcher(nb::handle condition, bool caller_first) : condition_(condition), caller_first_(caller_first) {}

    bool differs(nb::handle spectrum_condition) {
        auto [it, added] = memo_.try_emplace(spectrum_condition.ptr());
        if (added) {
            it->second.first = nb::borrow(spectrum_condition);
            it->second.second = caller_first_ ? conditions_differ(condition_, spectrum_condition)
                                              : conditions_differ(spectrum_condition, condition_);
        }
        return it->second.second;
    }

private:
    nb::handle condition_;
    bool caller_first_;
    std::unordered_map<PyObject *, std::pair<nb::object, bool>> memo_;
};

// x <= y for native numbers (false with a NaN).
bool at_most(const Number &x, const Number &y) {
    auto nan = [](const Number &n) { return !n.is_int && std::isnan(n.f); };
    return !nan(x) && !nan(y) && !zarn::greater(x, y);
}

// A retention-time range's contains_value(rt): in C++ for a ValueRange
// with numeric bounds, else by calling the method (looked up at first use).
class RangeTest {
public:
    explicit RangeTest(nb::handle range) : range_(nb::borrow(range)) {
        if (range.is_none()) return;
        static nb::handle value_range = nb::type<ValueRange>();
        if (Py_TYPE(range.ptr()) != (PyTypeObject *)value_range.ptr()) return;
        const ValueRange &r = *nb::inst_ptr<ValueRange>(range);
        Bound min{r.min}, max{r.max};
        if (min.native() && max.native()) bounds_.emplace(min.number(), max.number());
    }
    bool none() const { return range_.is_none(); }
    bool contains(double value) {
        if (bounds_) {
            const Number v = Number::real(value);
            return at_most(bounds_->first, v) && at_most(v, bounds_->second);
        }
        if (!method_.is_valid()) method_ = nb::getattr(range_, "contains_value");
        return truth(method_(value));
    }

private:
    nb::object range_, method_;
    std::optional<std::pair<Number, Number>> bounds_;
};

// ---------------------------------------------------------------- QualAnalysis

// The retention time of a spectrum that counts for a chromatogram of
// `match`: it has one and its condition equals the caller's.
template <typename Match>
std::optional<double> counted_time(InternalSpectrumDescriptionObject &d, Match &match) {
    const std::optional<double> rt = d.rec().retention_time;
    if (!rt || match.differs(or_none(d.acquisition_condition))) return std::nullopt;
    return rt;
}

nb::list stored_totals(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time_range, bool base_peak) {
    const SpectrumList spectra = listed(a);
    ConditionMatcher match(condition, false);
    RangeTest range(retention_time_range);
    nb::list out;
    for (const nb::object &entry : *spectra) {
        InternalSpectrumDescriptionObject &d = description_of(entry);
        const std::optional<double> rt = counted_time(d, match);
        if (!rt || (!range.none() && !range.contains(*rt))) continue;
        const zarn::InternalSpectrumDescription &r = d.rec();
        const std::optional<double> &intensity = base_peak ? r.base_peak_intensity : r.current_total_ion;
        auto total = [](const std::optional<double> &v) { return v ? Num::of_float(*v) : Num::of_int(0); };
        out.append(chromatogram_point({r.index, *rt}, total(intensity), total(r.base_peak_mz)));
    }
    return out;
}

// The conditions that the options want, as a set of the interpreter, with
// membership decided in C++ where both sides are plain conditions.
class WantedConditions {
public:
    void add(nb::handle condition) {
        if (PySet_Add(set_.ptr(), condition.ptr()) != 0) throw nb::python_error();
        if (!exact_acquisition_condition(condition)) {
            all_exact_ = false;
        } else if (std::none_of(exact_.begin(), exact_.end(),
                                [&](const nb::object &o) { return o.ptr() == condition.ptr(); })) {
            // Options often share one condition object: it is looked up once.
            exact_.push_back(nb::borrow(condition));
        }
    }
    bool contains(nb::handle condition) {
        auto [it, added] = memo_.try_emplace(condition.ptr());
        if (added) {
            it->second.first = nb::borrow(condition);
            it->second.second = look_up(condition);
        }
        return it->second.second;
    }

private:
    bool look_up(nb::handle condition) {
        if (all_exact_ && exact_acquisition_condition(condition)) {
            for (const nb::object &wanted : exact_)
                if (wanted.ptr() == condition.ptr() || !conditions_differ(wanted, condition)) return true;
            return false;
        }
        const int r = PySet_Contains(set_.ptr(), condition.ptr());
        if (r < 0) throw nb::python_error();
        return r == 1;
    }

    nb::object set_ = nb::steal(PySet_New(nullptr));
    std::vector<nb::object> exact_;
    bool all_exact_ = true;
    std::unordered_map<PyObject *, std::pair<nb::object, bool>> memo_;
};

// The condition matchers of an extraction. Options whose condition is the
// same plain condition object share one matcher, and the verdicts on the
// last spectrum condition are kept while the options are walked: each
// spectrum's condition is compared with each such object once, not once
// per option.
class OptionMatchers {
public:
    // The matcher of an option's condition.
    size_t add(nb::handle condition) {
        if (exact_acquisition_condition(condition))
            for (size_t k = 0; k < matchers_.size(); ++k)
                if (shared_[k] && conditions_[k].ptr() == condition.ptr()) return k;
        conditions_.push_back(nb::borrow(condition));
        shared_.push_back(exact_acquisition_condition(condition) != nullptr);
        matchers_.emplace_back(conditions_.back(), true);
        return matchers_.size() - 1;
    }
    // Whether the spectrum's condition, as it stands now, differs from the
    // condition of matcher k.
    bool differs(size_t k, nb::handle spectrum_condition) {
        if (spectrum_condition.ptr() != verdicts_for_) {
            verdicts_.assign(matchers_.size(), kUnknown);
            verdicts_for_ = spectrum_condition.ptr();
        }
        if (verdicts_[k] == kUnknown) verdicts_[k] = matchers_[k].differs(spectrum_condition) ? kDiffers : kSame;
        return verdicts_[k] == kDiffers;
    }

private:
    enum Verdict : int8_t { kUnknown, kDiffers, kSame };
    std::vector<nb::object> conditions_;
    std::vector<bool> shared_;
    std::vector<ConditionMatcher> matchers_;
    std::vector<Verdict> verdicts_;
    // The condition the verdicts are for; every matcher that gave one holds it.
    PyObject *verdicts_for_ = nullptr;
};

// One filter option of an extraction, its properties read once.
struct XicOption {
    nb::object acquisition_condition, extract_mz_range;
    size_t matcher;
    RangeTest range;
    std::optional<Bound> min, max;  // the m/z window, read at the first scan
    nb::list result;

    XicOption(nb::object condition, nb::object mz_range, nb::handle retention_time_range, size_t matcher)
        : acquisition_condition(std::move(condition)), extract_mz_range(std::move(mz_range)), matcher(matcher),
          range(retention_time_range) {}

    zarn::WindowValue scan(std::span<const Point> points, bool ascending) {
        if (!min) {
            min.emplace(nb::getattr(extract_mz_range, "min"));
            max.emplace(nb::getattr(extract_mz_range, "max"));
        }
        const bool search = ascending && min->native() && max->native();
        const size_t start = search ? zarn::window_start(points, min->number()) : 0;
        return zarn::window_value(
            points, start, [&](double x) { return min->greater(x); }, [&](double x) { return max->less(x); });
    }
};

nb::object smallest(const std::vector<nb::object> &values, int op) {
    nb::object best = values.front();
    for (size_t i = 1; i < values.size(); ++i)
        if (compare(values[i], best, op)) best = values[i];
    return best;
}

bool is_nan_float(nb::handle h) {
    return PyFloat_Check(h.ptr()) && std::isnan(PyFloat_AS_DOUBLE(h.ptr()));
}

nb::list multiple_xic(QualAnalysisObject &a, nb::handle options) {
    constexpr const char *kNoOptions = "chromatogram_filter_options is null or empty";
    if (options.is_none() || length(options) == 0) throw zarn::PlainError(kNoOptions);
    const Items items(options);
    std::vector<XicOption> chosen;
    chosen.reserve(items.size());
    OptionMatchers matchers;
    WantedConditions wanted;
    std::vector<nb::object> lows, highs;
    bool every_range = true, nan_bound = false;
    for (size_t k = 0; k < items.size(); ++k) {
        nb::object option = items[k];
        if (option.is_none()) throw zarn::PlainError("element of chromatogram_filter_options should not be null");
        nb::object condition = nb::getattr(option, "acquisition_condition");
        if (condition.is_none()) throw zarn::PlainError("acquisition_condition should not be null");
        nb::object mz_range = nb::getattr(option, "extract_mz_range");
        if (mz_range.is_none()) throw zarn::PlainError("extract_mz_range should not be null");
        wanted.add(condition);
        nb::object rt_range = nb::getattr(option, "retention_time_range");
        if (rt_range.is_none()) {
            every_range = false;
        } else {
            lows.push_back(nb::getattr(rt_range, "min"));
            highs.push_back(nb::getattr(rt_range, "max"));
            nan_bound = nan_bound || is_nan_float(lows.back()) || is_nan_float(highs.back());
        }
        const size_t matcher = matchers.add(condition);
        chosen.emplace_back(std::move(condition), std::move(mz_range), rt_range, matcher);
    }
    // Spectra outside every option's range are not read. A NaN bound would
    // make the combined range take whichever bound comes first and shut out
    // the other options' spectra: each option's own range then decides alone.
    std::optional<RangeTest> combined;
    if (every_range && !nan_bound)
        combined.emplace(make_value(ValueRange{smallest(lows, Py_LT), smallest(highs, Py_GT)}));

    const SpectrumList spectra = listed(a);
    std::vector<std::pair<size_t, Chosen>> to_read;
    for (size_t i = 0; i < spectra->size(); ++i) {
        InternalSpectrumDescriptionObject &d = description_of((*spectra)[i]);
        const std::optional<double> rt = d.rec().retention_time;
        if (!rt || !wanted.contains(or_none(d.acquisition_condition))) continue;
        if (combined && !combined->contains(*rt)) continue;
        to_read.emplace_back(i, Chosen{d.rec().index, *rt});
    }

    Reader &reader = reader_of(a.reader);
    for (const auto &[i, chosen_spectrum] : to_read) {
        const nb::object &entry = (*spectra)[i];
        InternalSpectrumDescriptionObject &d = description_of(entry);
        zarn::move_to_stored_position(reader, position_of(entry), "Spectrum");
        const std::vector<Point> points = zarn::read_spectrum(reader);
        const bool ascending = zarn::ascending(points);
        for (XicOption &option : chosen) {
            if (matchers.differs(option.matcher, or_none(d.acquisition_condition))) continue;
            if (!option.range.none() && !option.range.contains(chosen_spectrum.retention_time)) continue;
            const zarn::WindowValue v = option.scan(points, ascending);
            option.result.append(chromatogram_point(chosen_spectrum, num_of(v.sum), Num::of_float(v.base_x)));
        }
    }
    nb::list out;
    for (XicOption &option : chosen) out.append(option.result);
    return out;
}

nb::list xic(QualAnalysisObject &a, nb::handle option) {
    if (option.is_none()) throw zarn::PlainError("chromatogram_filter_option is null");
    nb::list one;
    one.append(option);
    return nb::borrow<nb::list>(multiple_xic(a, one)[0]);
}

// The list position of the spectrum nearest to `retention_time` among those
// that `counts` lets through; -1 when there is none.
template <typename Counts>
int64_t nearest_position(const AnalysisObject &a, nb::handle retention_time, Counts &&counts) {
    const bool native = PyFloat_Check(retention_time.ptr()) || PyLong_Check(retention_time.ptr());
    const double target = native ? as_double(retention_time) : 0.0;
    double smallest = DBL_MAX;
    nb::object smallest_object = nb::float_(DBL_MAX);
    int64_t found = -1;
    const SpectrumList spectra = listed(a);
    for (size_t i = 0; i < spectra->size(); ++i) {
        InternalSpectrumDescriptionObject &d = description_of((*spectra)[i]);
        const std::optional<double> rt = counts(d);
        if (!rt) continue;
        if (native) {
            const double difference = std::fabs(*rt - target);
            if (difference < smallest) {
                smallest = difference;
                found = int64_t(i);
            }
            continue;
        }
        nb::object difference =
            nb::steal(PyNumber_Absolute(nb::object(nb::float_(*rt) - nb::borrow(retention_time)).ptr()));
        if (!difference.is_valid()) throw nb::python_error();
        if (compare(difference, smallest_object, Py_LT)) {
            smallest_object = difference;
            found = int64_t(i);
        }
    }
    if (found < 0) throw zarn::PlainError(kNoRetentionTime);
    return found;
}

nb::object get_spectrum(QualAnalysisObject &a, nb::handle index) {
    const SpectrumList spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_spectrum((*spectra)[i], index);
}

nb::object find_nearest_spectrum(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time) {
    ConditionMatcher match(condition, false);
    const int64_t found = nearest_position(
        a, retention_time, [&](InternalSpectrumDescriptionObject &d) { return counted_time(d, match); });
    return get_spectrum(a, nb::int_(found));
}

// ---------------------------------------------------------------- DADAnalysis

nb::object get_dad_spectrum(DADAnalysisObject &a, nb::handle index) {
    const SpectrumList spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_dad_spectrum((*spectra)[i], index, qual_field(a, "wavelength_arr"));
}

// The function's wavelength axis as doubles, or none: then spectra are
// read with the MS decoder.
std::optional<std::vector<double>> wavelength_axis(const DADAnalysisObject &a) {
    nb::object axis = qual_field(a, "wavelength_arr");
    if (axis.is_none()) return std::nullopt;
    const Items items(axis);
    std::vector<double> out(items.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = as_double(items[i]);
    return out;
}

std::vector<Point> read_dad_points(Reader &reader, const std::optional<std::vector<double>> &axis) {
    return axis ? zarn::read_dad_spectrum(reader, *axis) : zarn::read_spectrum(reader);
}

nb::list dad_chromatogram(DADAnalysisObject &a, nb::handle extract_wavelength_range) {
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    Reader &reader = reader_of(a.reader);
    std::optional<std::pair<double, double>> band;  // read after the first spectrum
    nb::list out;
    const SpectrumList spectra = listed(a);
    for (const nb::object &entry : *spectra) {
        InternalSpectrumDescriptionObject &d = description_of(entry);
        if (!d.rec().retention_time) continue;
        const Chosen spectrum{d.rec().index, *d.rec().retention_time};
        zarn::move_to_stored_position(reader, position_of(entry), "Spectrum");
        const std::vector<Point> points = read_dad_points(reader, axis);
        if (!band) {
            const double min = as_double(to_float(nb::getattr(extract_wavelength_range, "min")));
            const double max = as_double(to_float(nb::getattr(extract_wavelength_range, "max")));
            band.emplace(min, max);
        }
        const zarn::BandValue v = zarn::dad_band_average(points, band->first, band->second);
        out.append(chromatogram_point(spectrum, num_of(v.intensity), Num::of_float(v.base_x)));
    }
    return out;
}

nb::list max_plot(DADAnalysisObject &a, nb::handle extract_wavelength_range, nb::handle wavelength_tolerance) {
    const nb::object tolerance = to_float(wavelength_tolerance);
    const double tol = as_double(tolerance);
    // The collector takes the band widened by the tolerance on both sides.
    zarn::XicRange widened;
    const Bound min{nb::getattr(extract_wavelength_range, "min")};
    widened.min = number_of(min.object() - tolerance);
    const Bound max{nb::getattr(extract_wavelength_range, "max")};
    widened.max = number_of(max.object() + tolerance);
    zarn::XicRange *ranges[] = {&widened};
    zarn::XicSink sink(ranges);
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    Reader &reader = reader_of(a.reader);
    nb::list out;
    const SpectrumList spectra = listed(a);
    for (const nb::object &entry : *spectra) {
        InternalSpectrumDescriptionObject &d = description_of(entry);
        if (!d.rec().retention_time) continue;
        const Chosen spectrum{d.rec().index, *d.rec().retention_time};
        zarn::move_to_stored_position(reader, position_of(entry), "Spectrum");
        widened.is_break_to_read = false;
        widened.spectrum_point.clear();
        if (axis)
            zarn::read_dad_spectrum_for_multiple_xic(reader, *axis, sink);
        else
            zarn::read_spectrum_for_multiple_xic(reader, sink);
        const zarn::MaxPlotValue v = zarn::max_plot_value(
            widened.spectrum_point, [&](double x) { return min.greater(x); }, [&](double x) { return max.less(x); },
            tol);
        switch (v.kind) {
            case zarn::MaxPlotValue::NoPoint:
                out.append(chromatogram_point(spectrum, Num::of_int(0), Num::of_int(-1)));
                break;
            case zarn::MaxPlotValue::EmptyWindow:
                out.append(chromatogram_point(spectrum, Num::of_int(0), Num::of_float(v.base_x)));
                break;
            case zarn::MaxPlotValue::Mean:
                out.append(chromatogram_point(spectrum, Num::of_float(v.mean), Num::of_float(v.base_x)));
                break;
        }
    }
    return out;
}

nb::object find_nearest_dad_spectrum(DADAnalysisObject &a, nb::handle retention_time) {
    const int64_t found = nearest_position(
        a, retention_time,
        [](InternalSpectrumDescriptionObject &d) { return d.rec().retention_time; });
    return get_dad_spectrum(a, nb::int_(found));
}

// ---------------------------------------------------------------- registration

template <typename T>
void analysis_fields(nb::class_<T> &cls, const char *prefix) {
    const std::string p = prefix;
    cls.def_prop_ro((p + "function_index").c_str(), [](T &a) { return or_none(a.function_index); })
        .def_prop_ro((p + "index").c_str(), [](T &a) { return or_none(a.index); })
        .def_prop_ro((p + "reader").c_str(), [](T &a) { return or_none(a.reader); })
        // The records are held natively: a new list of the same records.
        .def_prop_ro((p + "spectrum_index_list").c_str(),
                     [](T &a) {
                         nb::list out;
                         for (const nb::object &o : *listed(a)) out.append(o);
                         return out;
                     })
        .def_prop_ro("index", [](T &a) { return or_none(a.index); })
        .def_prop_ro("supplemental_properties", [](T &a) { return qual_field(a, "supplemental_properties"); })
        .def("get_spectra_count", [](T &a) { return a.count(); });
}

template <typename T>
void spectrum_fields(nb::class_<T> &cls, const char *prefix) {
    const std::string p = prefix;
    cls.def_prop_ro((p + "spectrum_index").c_str(), [](T &s) { return or_none(s.spectrum_index); })
        .def_prop_ro((p + "index").c_str(), [](T &s) { return or_none(s.index); })
        .def_prop_ro((p + "spectrum_points").c_str(), [](T &s) { return or_none(s.spectrum_points); })
        .def_prop_ro("index", [](T &s) { return or_none(s.index); })
        .def_prop_ro("retention_time", [](T &s) { return description_field(s.spectrum_index, "retention_time"); })
        .def_prop_ro("supplemental_properties",
                     [](T &s) { return description_field(s.spectrum_index, "supplemental_properties"); });
}

}  // namespace

NB_MODULE(qual, m) {
    init_module_support();
    require_value_types();
    for (const char *name : {"zarn_data_access._internal._enum", "zarn_data_access._internal._reader",
                             "zarn_data_access._internal._description", "zarn_data_access._internal._index"})
        nb::module_::import_(name);
    nb::module_ description = nb::module_::import_("zarn_data_access._internal._description");
    for (const char *name : {"VendorSpecificAdditionalConditionTypes", "TripleQScanTypes"})
        m.attr(name) = nb::getattr(description, name);

    register_conditions(m);

    // ---- Spectrum
    auto spectrum = record_class<SpectrumObject>(m, "Spectrum");
    spectrum.def_static("_Spectrum__create_instance", &new_spectrum, "spectrum_index"_a.none(), "index"_a.none());
    spectrum.def("__str__", points_text<SpectrumObject, spectrum_points>)
        .def("__repr__", points_text<SpectrumObject, spectrum_points>);
    spectrum_fields(spectrum, "_Spectrum__");
    for (const char *name : {"acquisition_condition", "precursor_index", "product_indices", "spectrum_type"})
        spectrum.def_prop_ro(name, [name](SpectrumObject &s) { return description_field(s.spectrum_index, name); });
    spectrum.def("get_spectrum_points", &spectrum_points)
        .def("get_profile_spectrum_points", &profile_spectrum_points);

    // ---- DADSpectrum
    auto dad_spectrum = record_class<DADSpectrumObject>(m, "DADSpectrum");
    dad_spectrum.def_static("_DADSpectrum__create_instance", &new_dad_spectrum, "spectrum_index"_a.none(),
                            "index"_a.none(), "wavelength_arr"_a.none());
    dad_spectrum.def("__str__", points_text<DADSpectrumObject, dad_spectrum_points>)
        .def("__repr__", points_text<DADSpectrumObject, dad_spectrum_points>);
    spectrum_fields(dad_spectrum, "_DADSpectrum__");
    dad_spectrum
        .def_prop_ro("_DADSpectrum__wavelength_arr", [](DADSpectrumObject &s) { return or_none(s.wavelength_arr); })
        .def("get_spectrum_points", &dad_spectrum_points);

    // ---- QualAnalysis
    auto qual = record_class<QualAnalysisObject>(m, "QualAnalysis");
    qual.def_static("_QualAnalysis__create_instance", &create_analysis<QualAnalysisObject, read_qual>,
                    "function_index"_a.none(), "index"_a.none());
    qual.def("__str__",
             [](QualAnalysisObject &a) {
                 nb::object text = nb::steal(PyUnicode_FromFormat(
                     "%U, %zd spectrum conditions", counted_text(or_none(a.index), a.count(), "spectra").ptr(),
                     length(or_none(a.unique_acquisition_conditions))));
                 if (!text.is_valid()) throw nb::python_error();
                 return text;
             })
        .def("__repr__", [](nb::handle self) { return nb::str(self); })
        .def("_QualAnalysis__read", &read_qual);
    analysis_fields(qual, "_QualAnalysis__");
    qual.def_prop_ro("unique_acquisition_conditions",
                     [](QualAnalysisObject &a) { return or_none(a.unique_acquisition_conditions); })
        .def_prop_ro("_QualAnalysis__unique_acquisition_conditions",
                     [](QualAnalysisObject &a) { return or_none(a.unique_acquisition_conditions); })
        .def("get_spectrum", &get_spectrum, "index"_a.none())
        .def(
            "get_tic",
            [](QualAnalysisObject &a, nb::handle condition, nb::handle range) {
                return stored_totals(a, condition, range, false);
            },
            "acquisition_condition"_a.none(), "retention_time_range"_a.none() = nb::none())
        .def(
            "get_bpc",
            [](QualAnalysisObject &a, nb::handle condition, nb::handle range) {
                return stored_totals(a, condition, range, true);
            },
            "acquisition_condition"_a.none(), "retention_time_range"_a.none() = nb::none())
        .def("get_xic", &xic, "chromatogram_filter_option"_a.none())
        .def("get_multiple_xic", &multiple_xic, "chromatogram_filter_options"_a.none())
        .def("find_nearest_spectrum", &find_nearest_spectrum, "acquisition_condition"_a.none(),
             "retention_time"_a.none());

    // ---- DADAnalysis
    auto dad = record_class<DADAnalysisObject>(m, "DADAnalysis");
    dad.def_static("_DADAnalysis__create_instance", &create_analysis<DADAnalysisObject, read_dad>,
                   "function_index"_a.none(), "index"_a.none());
    dad.def("__str__",
            [](DADAnalysisObject &a) { return counted_text(or_none(a.index), a.count(), "spectra"); })
        .def("__repr__", [](nb::handle self) { return nb::str(self); })
        .def("_DADAnalysis__read", &read_dad);
    analysis_fields(dad, "_DADAnalysis__");
    dad.def("get_spectrum", &get_dad_spectrum, "index"_a.none())
        .def("get_chromatogram", &dad_chromatogram, "extract_wavelength_range"_a.none())
        .def("get_max_plot", &max_plot, "extract_wavelength_range"_a.none(), "wavelength_tolerance"_a.none())
        .def("find_nearest_spectrum", &find_nearest_dad_spectrum, "retention_time"_a.none());
}

// The condition classes: their fields, texts, hashes and equality, built
// from the caller's arguments, the condition records or a spectrum's
// description.
#include "qual/conditions.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "analysis_objects.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "pyconv.hpp"
#include "signatures.hpp"
#include "support.hpp"
#include "value_semantics.hpp"
#include "values.hpp"

namespace zarn::py {

using namespace nb::literals;

namespace {

using Acq = AcquisitionConditionObject;
using Option = ChromatogramFilterOptionObject;

// ---------------------------------------------------------------- small helpers

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

nb::handle spectrum_type(MeasuredSpectrumType which) {
    static nb::handle members[3] = {member(PyEnum::SpectrumType, "UNKNOWN"), member(PyEnum::SpectrumType, "PROFILE"),
                                    member(PyEnum::SpectrumType, "CENTROID")};
    return members[size_t(which) - size_t(MeasuredSpectrumType::Unknown)];
}

// ---------------------------------------------------------------- additional conditions

struct ExtraInfo {
    const char *name;      // the class
    const char *argument;  // the constructor's parameter
    const char *title;     // the text before the fields
    size_t fields;
    size_t hashed;        // the leading fields that hash and compare
    bool makers;          // a maker's condition: absent fields are left out of the text
    int voltage_field;    // the field a float argument fills, and the one with the voltage text; -1: none
    bool tests_argument;  // takes a vendor record or a float, anything else as nothing
    int text_field;       // a text field that is absent when empty too; -1: none
    std::array<const char *, 3> properties;
    std::array<const char *, 3> labels;
    std::array<const char *, 3> sources;  // the record's fields that fill them
    const char *doc;                      // the class's docstring
    std::array<const char *, 3> docs;     // the properties' docstrings
    std::array<const char *, 3> types;    // the properties' Python types
};

constexpr const char *kVendorOriginalId = "_VendorSpecificAdditionalCondition__original_id";
constexpr const char *kVendorConeVoltage = "_VendorSpecificAdditionalCondition__cone_voltage";
constexpr const char *kVendorScanInfo = "_VendorSpecificAdditionalCondition__scan_info_string";
constexpr const char *kTargetMz = "_TripleQScanCondition__target_mz";
constexpr const char *kQ1Range = "_TripleQScanCondition__q1_range";
constexpr const char *kQ3Range = "_TripleQScanCondition__q3_range";

constexpr ExtraInfo kExtras[] = {
    {"AgilentMassHunterCondition",
     "argument",
     "Agilent|MassHunter",
     1,
     1,
     true,
     0,
     true,
     -1,
     {"fragmentor_voltage"},
     {"Fragmentor Voltage"},
     {kVendorConeVoltage},
     "A maker-specific additional condition: the fragmentor voltage.",
     {"The fragmentor voltage as a float, or None."},
     {"float | None"}},
    {"SCIEXAnalystCondition",
     "vendor_specific_additional_condition",
     "SCIEX|Analyst",
     2,
     2,
     true,
     1,
     false,
     -1,
     {"experiment_index", "dp"},
     {"Experiment Index", "DP"},
     {kVendorOriginalId, kVendorConeVoltage},
     "A maker-specific additional condition: the experiment index and the DP value.",
     {"The experiment index as an integer, or None.", "The DP value as a float, or None."},
     {"int | None", "float | None"}},
    {"ShimadzuIoModuleCondition",
     "vendor_specific_additional_condition",
     "Shimadzu|IoModule",
     1,
     1,
     true,
     -1,
     false,
     -1,
     {"event_no"},
     {"Event Number"},
     {kVendorOriginalId},
     "A maker-specific additional condition: the event number.",
     {"The event number as an integer, or None."},
     {"int | None"}},
    {"ThermoFisherRawFileReaderCondition",
     "argument",
     "ThermoFisher|RawFileReader",
     2,
     1,
     true,
     0,
     true,
     1,
     {"sid", "scan_filter"},
     {"SID", "Scan Filter"},
     {kVendorConeVoltage, kVendorScanInfo},
     "A maker-specific additional condition: the SID value and the scan filter.",
     {"The SID value as a float, or None.", "The scan filter text, possibly empty, or None."},
     {"float | None", "str | None"}},
    {"WatersMassLynxCondition",
     "argument",
     "Waters|MassLynx",
     2,
     2,
     true,
     1,
     true,
     -1,
     {"function_number", "cone_voltage"},
     {"Function Number", "Cone Voltage"},
     {kVendorOriginalId, kVendorConeVoltage},
     "A maker-specific additional condition: the function number and the cone voltage.",
     {"The function number as an integer, or None.", "The cone voltage as a float, or None."},
     {"int | None", "float | None"}},
    {"PrecursorIonScanCondition",
     "triple_q_scan_condition",
     "Precursor Ion Scan",
     2,
     2,
     false,
     -1,
     false,
     -1,
     {"product_ion_mz", "q1_range"},
     {"Product Ion m/z", "Q1 Range"},
     {kTargetMz, kQ1Range},
     "A triple-quadrupole precursor ion scan condition: the product ion m/z and the scanned Q1 range.",
     {"The product ion m/z as a float, or None.", "The scanned Q1 range as a ValueRange, or None."},
     {"float | None", "zarn_data_access.common.ValueRange | None"}},
    {"ProductIonScanCondition",
     "triple_q_scan_condition",
     "Product Ion Scan",
     2,
     2,
     false,
     -1,
     false,
     -1,
     {"precursor_ion_mz", "q3_range"},
     {"Precursor Ion m/z", "Q3 Range"},
     {kTargetMz, kQ3Range},
     "A triple-quadrupole product ion scan condition: the precursor ion m/z and the scanned Q3 range.",
     {"The precursor ion m/z as a float, or None.", "The scanned Q3 range as a ValueRange, or None."},
     {"float | None", "zarn_data_access.common.ValueRange | None"}},
    {"NeutralLossScanCondition",
     "triple_q_scan_condition",
     "Neutral Loss Scan",
     3,
     3,
     false,
     -1,
     false,
     -1,
     {"neutral_loss_mz", "q1_range", "q3_range"},
     {"Neutral Loss m/z", "Q1 Range", "Q3 Range"},
     {kTargetMz, kQ1Range, kQ3Range},
     "A triple-quadrupole neutral loss scan condition: the neutral loss m/z and the scanned Q1 and Q3 ranges.",
     {"The neutral loss m/z as a float, or None.", "The scanned Q1 range as a ValueRange, or None.",
      "The scanned Q3 range as a ValueRange, or None."},
     {"float | None", "zarn_data_access.common.ValueRange | None", "zarn_data_access.common.ValueRange | None"}},
    {"NeutralGainScanCondition",
     "triple_q_scan_condition",
     "Neutral Gain Scan",
     3,
     3,
     false,
     -1,
     false,
     -1,
     {"neutral_gain_mz", "q1_range", "q3_range"},
     {"Neutral Gain m/z", "Q1 Range", "Q3 Range"},
     {kTargetMz, kQ1Range, kQ3Range},
     "A triple-quadrupole neutral gain scan condition: the neutral gain m/z and the scanned Q1 and Q3 ranges.",
     {"The neutral gain m/z as a float, or None.", "The scanned Q1 range as a ValueRange, or None.",
      "The scanned Q3 range as a ValueRange, or None."},
     {"float | None", "zarn_data_access.common.ValueRange | None", "zarn_data_access.common.ValueRange | None"}},
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
    fields_of<Extra::Agilent>,      fields_of<Extra::Sciex>,           fields_of<Extra::Shimadzu>,
    fields_of<Extra::ThermoFisher>, fields_of<Extra::Waters>,          fields_of<Extra::PrecursorScan>,
    fields_of<Extra::ProductScan>,  fields_of<Extra::NeutralLossScan>, fields_of<Extra::NeutralGainScan>};

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
    nb::class_<T> cls(m, info.name, info.doc, nb::type_slots(gc_slots<T>));
    cls.def(
        "__init__",
        [](T *self, nb::handle argument) {
            ExtraFields fields = build_extra(info, argument);
            new (self) T{std::move(fields)};
        },
        nb::arg(info.argument).none(),
        nb::sig((std::string("def __init__(self, ") + info.argument + ": object) -> None").c_str()));
    auto text = [](T &o) { return extra_text(info, o.fields); };
    cls.def("__str__", text).def("__repr__", text);
    for (size_t f = 0; f < info.fields; ++f) {
        const GetterSignature signature(info.properties[f], info.types[f]);
        cls.def_prop_ro(info.properties[f], [f](T &o) { return or_none(o.fields[f]); }, signature.sig(), info.docs[f]);
    }
    cls.def(
           "__hash__", [](T &o) { return extra_hash(info, o.fields); }, nb::sig("def __hash__(self) -> int"))
        .def(
            "__eq__",
            [](T &o, nb::handle other) {
                T *that = as<T>(other);
                return that && extra_fields_equal(info, o.fields, that->fields);
            },
            "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"));
    free_nested_in_turn(cls);
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
    o.fields[Acq::MsLevel] = ms_level.is_none() ? nb::int_(kDefaultMsLevel) : ms_level;
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
    o.fields[Acq::MsLevel] = nb::int_(ms_level_or_default(r.ms_level));
    o.fields[Acq::Polarity] = value_enum(ValueEnum::Polarity, r.polarity);
    o.fields[Acq::CollisionEnergy] = opt_float(r.collision_energy);
    o.fields[Acq::MassRange] = mass_range(d);
    o.fields[Acq::OriginalMeasuredSpectrumType] =
        nb::borrow(spectrum_type(measured_spectrum_type(r.is_profile_spectrum_measured)));
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
    if (equals(measured, spectrum_type(MeasuredSpectrumType::Profile)))
        text << ", [Original Measured Spectrum Type] Profile";
    else if (equals(measured, spectrum_type(MeasuredSpectrumType::Centroid)))
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
void option_property(nb::class_<Option> &cls, const char *name, const char *type, const char *doc) {
    const GetterSignature getter(name, type);
    const SetterSignature setter(name, type);
    cls.def_prop_rw(
        name, [](Option &o) { return or_none(o.*Field); },
        [](Option &o, nb::handle value) { o.*Field = nb::borrow(value); }, nb::for_getter(getter.sig()),
        nb::for_setter(nb::arg(name).none()), nb::for_setter(setter.sig()), doc);
}

}  // namespace

nb::handle AcquisitionConditionObject::field(Field f) const {
    if (!has_fields || !fields[f].is_valid())
        throw MissingField(std::string("'AcquisitionCondition' object has no attribute '") + kFieldNames[f] + "'");
    return fields[f];
}

namespace {

// A float field as plain data: None, or a float that is no NaN.
bool plain_float(nb::handle h, std::optional<double> &out) {
    if (h.is_none()) return true;
    if (!PyFloat_CheckExact(h.ptr()) || std::isnan(PyFloat_AS_DOUBLE(h.ptr()))) return false;
    out = PyFloat_AS_DOUBLE(h.ptr());
    return true;
}

// An int that fits 64 bits.
bool plain_int(nb::handle h, int64_t &out) {
    if (!PyLong_CheckExact(h.ptr())) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    return !overflow;
}

bool plain_range(nb::handle h, std::optional<Range> &out) {
    if (h.is_none()) return true;
    static nb::handle value_range = nb::type<ValueRange>();
    if (Py_TYPE(h.ptr()) != (PyTypeObject *)value_range.ptr()) return false;
    const ValueRange &r = *nb::inst_ptr<ValueRange>(h);
    std::optional<double> min, max;
    if (!r.min.is_valid() || !r.max.is_valid() || r.min.is_none() || r.max.is_none()) return false;
    if (!plain_float(r.min, min) || !plain_float(r.max, max)) return false;
    out = Range{*min, *max};
    return true;
}

// The additional conditions: an exact list of at most one exact condition
// class; a maker's condition that a description can give has plain fields.
bool plain_extras(nb::handle h, PlainCondition &out) {
    if (!PyList_CheckExact(h.ptr())) return false;
    const Py_ssize_t n = PyList_GET_SIZE(h.ptr());
    if (n == 0) return true;
    out.describable = false;
    if (n > 1) return true;  // lengths differ: no element is compared
    PyObject *item = PyList_GET_ITEM(h.ptr(), 0);
    const int kind = exact_extra(item);
    if (kind < 0) return false;
    // Other classes never equal a description's maker condition, and their
    // equality with another class asks nothing of their fields.
    static constexpr std::pair<Extra, SpectrumConditionKey::Maker> makers[] = {
        {Extra::Agilent, SpectrumConditionKey::Agilent},
        {Extra::ThermoFisher, SpectrumConditionKey::ThermoFisher},
        {Extra::Waters, SpectrumConditionKey::Waters}};
    for (const auto &[extra, maker] : makers) {
        if (kind != int(extra)) continue;
        const ExtraInfo &info = kExtras[kind];
        const ExtraFields &fields = kFieldsOf[kind](item);
        // A description's maker condition holds its voltage (or nothing)
        // and no other field.
        for (size_t f = 0; f < info.hashed; ++f) {
            nb::handle value = fields[f].is_valid() ? nb::handle(fields[f]) : nb::handle(Py_None);
            if (int(f) == info.voltage_field) {
                if (!plain_float(value, out.voltage)) return false;
            } else if (!value.is_none()) {
                // A field that a description's condition holds as None.
                PyObject *v = value.ptr();
                const bool builtin = PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
                                     (PyFloat_CheckExact(v) && !std::isnan(PyFloat_AS_DOUBLE(v)));
                return builtin;
            }
        }
        out.describable = true;
        out.maker = maker;
    }
    return true;
}

}  // namespace

bool PlainCondition::equals(const SpectrumConditionKey &k) const {
    auto same = [](const auto &a, const auto &b) { return a.has_value() == b.has_value() && (!a || *a == *b); };
    auto same_range = [](const std::optional<Range> &a, const std::optional<Range> &b) {
        return a.has_value() == b.has_value() && (!a || (a->min == b->min && a->max == b->max));
    };
    return !never && ms_level == k.ms_level && polarity == k.polarity && same(collision_energy, k.collision_energy) &&
           same(precursor_value, k.precursor_value) && measured && *measured == k.measured &&
           same_range(precursor_range, k.precursor_range) && same_range(mass_range, k.mass_range) && describable &&
           maker == k.maker && (maker == SpectrumConditionKey::None || same(voltage, k.voltage));
}

bool PlainCondition::may_equal(const InternalSpectrumDescription &d) const {
    auto same = [](const std::optional<double> &a, const std::optional<double> &b) {
        return a.has_value() == b.has_value() && (!a || *a == *b);
    };
    return !never && ms_level == ms_level_or_default(d.ms_level) && same(collision_energy, d.collision_energy) &&
           same(precursor_value, d.precursor_value);
}

std::optional<PlainCondition> plain_condition(nb::handle condition, bool caller_first) {
    PlainCondition out;
    Acq *c = exact_acquisition_condition(condition);
    if (!c) {
        if (caller_first || nb::isinstance<Acq>(condition)) return std::nullopt;
        out.never = true;
        return out;
    }
    if (!c->has_fields) return std::nullopt;
    for (const nb::object &f : c->fields)
        if (!f.is_valid()) return std::nullopt;
    if (!plain_int(c->fields[Acq::MsLevel], out.ms_level)) return std::nullopt;
    nb::handle polarity = c->fields[Acq::Polarity];
    if ((PyObject *)Py_TYPE(polarity.ptr()) != enum_type(PyEnum::Polarity).ptr()) return std::nullopt;
    if (!plain_int(nb::getattr(polarity, "value"), out.polarity)) return std::nullopt;
    nb::handle measured = c->fields[Acq::OriginalMeasuredSpectrumType];
    if ((PyObject *)Py_TYPE(measured.ptr()) != enum_type(PyEnum::SpectrumType).ptr()) return std::nullopt;
    for (MeasuredSpectrumType t :
         {MeasuredSpectrumType::Unknown, MeasuredSpectrumType::Profile, MeasuredSpectrumType::Centroid})
        if (measured.ptr() == spectrum_type(t).ptr()) out.measured = t;
    if (!plain_float(c->fields[Acq::CollisionEnergy], out.collision_energy) ||
        !plain_float(c->fields[Acq::PrecursorValue], out.precursor_value) ||
        !plain_range(c->fields[Acq::PrecursorRange], out.precursor_range) ||
        !plain_range(c->fields[Acq::MassRange], out.mass_range) || !c->additional_conditions.is_valid() ||
        !plain_extras(c->additional_conditions, out))
        return std::nullopt;
    return out;
}

SpectrumConditionKey::Maker maker_of(InternalSpectrumDescriptionObject &d) {
    return SpectrumConditionKey::maker_of([&](std::string_view key) { return supplemental_contains(d, key); });
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

    nb::class_<Acq> acq(m, "AcquisitionCondition",
                        "The conditions under which MS spectra were acquired; compared and hashed by value.",
                        nb::type_slots(gc_slots<Acq>));
    acq.def(
        "__init__",
        [](Acq *self, nb::handle argument) {
            Acq built;
            fill(built, argument);
            new (self) Acq(std::move(built));
        },
        "argument"_a.none(), nb::sig("def __init__(self, argument: object) -> None"));
    acq.def("__str__", condition_text).def("__repr__", condition_text);
    static constexpr struct {
        const char *name;
        Acq::Field field;
        const char *type, *doc;
    } properties[] = {
        {"ms_level", Acq::MsLevel, "int", "The MS level as an integer, 1 when the source holds none."},
        {"polarity", Acq::Polarity, "zarn_data_access.common.PolarityTypes", "The polarity as a PolarityTypes member."},
        {"collision_energy", Acq::CollisionEnergy, "float | None", "The collision energy as a float, or None."},
        {"precursor_value", Acq::PrecursorValue, "float | None", "The precursor m/z as a float, or None."},
        {"original_measured_spectrum_type", Acq::OriginalMeasuredSpectrumType, "zarn_data_access.common.SpectrumTypes",
         "The spectrum type as measured (profile or centroid), a SpectrumTypes member."},
        {"precursor_range", Acq::PrecursorRange, "zarn_data_access.common.ValueRange | None",
         "The precursor range as a ValueRange, or None."},
        {"mass_range", Acq::MassRange, "zarn_data_access.common.ValueRange | None",
         "The mass range as a ValueRange, or None."}};
    for (const auto &property : properties) {
        const Acq::Field f = property.field;
        const GetterSignature signature(property.name, property.type);
        acq.def_prop_ro(property.name, [f](Acq &o) { return nb::borrow(o.field(f)); }, signature.sig(), property.doc);
    }
    acq.def_prop_ro(
        "additional_conditions", [](Acq &o) { return or_none(o.additional_conditions); },
        nb::sig("def additional_conditions(self) -> list[_AdditionalCondition]"),
        "The condition's own list of additional conditions: the maker-specific one, then the scan one.");
    acq.def("__hash__", condition_hash, nb::sig("def __hash__(self) -> int"))
        .def("__eq__", condition_equal, "other"_a.none(), nb::sig("def __eq__(self, other: object) -> bool"));
    free_nested_in_turn(acq);

    nb::class_<Option> option(m, "ChromatogramFilterOption",
                              "What one extracted-ion chromatogram selects: an acquisition condition, an m/z range "
                              "to sum and an optional retention-time range.",
                              nb::type_slots(gc_slots<Option>));
    option.def(
        "__init__",
        [](Option *self, nb::handle acquisition_condition, nb::handle extract_mz_range,
           nb::handle retention_time_range) {
            new (self) Option{nb::borrow(extract_mz_range), nb::borrow(acquisition_condition),
                              nb::borrow(retention_time_range)};
        },
        "acquisition_condition"_a.none(), "extract_mz_range"_a.none(), "retention_time_range"_a.none() = nb::none(),
        nb::sig("def __init__(self, acquisition_condition: zarn_data_access.qual.AcquisitionCondition, "
                "extract_mz_range: _Range, "
                "retention_time_range: _TimeRange | None = None) -> None"));
    option.def("__str__", option_text).def("__repr__", option_text);
    option_property<&Option::extract_mz_range>(option, "extract_mz_range", "_Range",
                                               "The m/z range, a ValueRange, whose intensities are summed.");
    option_property<&Option::acquisition_condition>(option, "acquisition_condition",
                                                    "zarn_data_access.qual.AcquisitionCondition",
                                                    "The AcquisitionCondition that a spectrum must equal.");
    option_property<&Option::retention_time_range>(
        option, "retention_time_range", "_TimeRange | None",
        "The ValueRange of retention times that counts, or None for every one.");
    free_nested_in_turn(option);
}

}  // namespace zarn::py

// zarn_data_access.quan: quantitative (SIM and SRM) traces and analog
// traces of a measurement.
//
// An analysis is a view on one function: it reads the function's
// chromatogram through the file's reader when it is created and answers
// every later request from memory, the chromatogram from its own list and
// the description values from the function's QuanDescription, followed on
// each access. It reaches the function index, its description and the
// reader through their C++ objects, or through their private members where
// a caller passed objects of its own, so this module loads no other module
// of the package's readers and records.
#include <nanobind/nanobind.h>

#include <initializer_list>

#include "analysis_objects.hpp"
#include "blocks/blocks.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "points.hpp"
#include "pyconv.hpp"
#include "reader_object.hpp"
#include "records/index.hpp"
#include "signatures.hpp"
#include "support.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;

namespace {

// The fields of both analysis classes; `Kind` only makes the two C++ types
// that nanobind needs.
template <int Kind>
struct TraceObject : FunctionAnalysis {
    nb::object chromatogram;

    int traverse(visitproc visit, void *arg) const {
        if (int r = FunctionAnalysis::traverse(visit, arg)) return r;
        return visit_objects(visit, arg, chromatogram);
    }
    void clear() {
        FunctionAnalysis::clear();
        chromatogram.reset();
    }
};

using Quan = TraceObject<0>;
using Analog = TraceObject<1>;

PyObject *srm_member = nullptr;  // QuanAnalysisTypes.SRM

// Moves the reader to the function's data and decodes its chromatogram
// block there.
// The reader object is held, and its lock, for the read, whatever Python
// code run during it does to the analysis.
template <typename T>
void read_trace(T &o) {
    const ReaderUse use(o.reader);
    zarn::Reader &reader = use.reader();
    zarn::move_to_stored_position(reader, function_index_position(o.function_index), "Function");
    o.chromatogram = read_chromatogram_points(reader);
}

// Field `field` of the function's QuanDescription, looked up anew on each
// access.
template <typename T>
nb::object description_field(T &o, size_t field) {
    nb::object quan = private_field<FunctionDescriptionObject>(
        function_index_description(o.function_index), "_FunctionDescription__quan_description",
        [](FunctionDescriptionObject &d) { return quan_description(d); });
    return record_field<QuanDescriptionObject>(quan, field);
}

nb::str quan_text(nb::handle self) {
    const nb::object index = self.attr("index"), name = self.attr("compound_name");
    const nb::str open("["), sep(", ");
    const nb::object kind = self.attr("quan_analysis_type");
    if (compare(kind, srm_member, Py_EQ)) {
        const nb::object q1 = self.attr("q1"), q3 = self.attr("q3");
        return join_str({open, index, nb::str("] SRM, "), name, sep, q1, nb::str(" > "), q3});
    }
    const nb::object value = self.attr("extract_value"), tolerance = self.attr("extract_tolerance");
    const nb::str sim("] SIM, ");
    const bool has_value = compare(value, Py_None, Py_NE);
    if (has_value && compare(tolerance, Py_None, Py_NE))
        return join_str({open, index, sim, name, sep, value, nb::str(" +/- "), tolerance});
    if (has_value) return join_str({open, index, sim, name, sep, value});
    return join_str({open, index, sim, name});
}

nb::str analog_text(nb::handle self) {
    const nb::object index = self.attr("index"), description = self.attr("description");
    return join_str({nb::str("["), index, nb::str("] "), description});
}

// The members common to both classes, in their order: the factory, the
// texts, the read step, then `index` and `chromatogram_points`.
template <typename T>
nb::class_<T> trace_class(nb::module_ &m, const char *name, const char *doc, nb::str (*text)(nb::handle)) {
    nb::class_<T> cls = record_class<T>(m, name, doc);
    const std::string prefix = std::string("_") + name + "__";
    nb::object classmethod = nb::module_::import_("builtins").attr("classmethod");
    cls.attr((prefix + "create_instance").c_str()) = classmethod(nb::cpp_function(
        [](nb::handle cls, nb::handle function_index, nb::handle index) {
            return create_analysis_of<T, read_trace<T>>(cls, function_index, index);
        },
        "cls"_a, "function_index"_a.none(), "index"_a.none()));
    cls.def("__str__", text)
        .def("__repr__", text)
        .def((prefix + "read").c_str(), [](T &o) { read_trace(ready(o)); })
        .def_prop_ro(
            "index", [](T &o) { return ready(o).index; }, nb::sig("def index(self) -> int"),
            "The analysis's position among its measurement's analyses of its kind.")
        .def_prop_ro(
            "chromatogram_points", [](T &o) { return ready(o).chromatogram; },
            nb::sig("def chromatogram_points(self) -> list[zarn_data_access.common.ChromatogramPoint]"),
            "The trace's own list of ChromatogramPoint objects, read when the analysis was made.");
    return cls;
}

template <typename T>
void description_property(nb::class_<T> &cls, const char *name, size_t field, const char *type, const char *doc) {
    const GetterSignature signature(name, type);
    cls.def_prop_ro(name, [field](T &o) { return description_field(ready(o), field); }, signature.sig(), doc);
}

// A public property, the QuanDescription field it hands out, its Python
// type and its docstring.
struct Property {
    const char *name;
    size_t field;
    const char *type;
    const char *doc;
};
using Description = QuanDescriptionObject;
constexpr Property kQuanProperties[] = {
    {"collision_energy", field_index<Description>("collision_energy"), "float | None",
     "The collision energy as a float, or None."},
    {"compound_name", field_index<Description>("compound_name"), "str | None", "The compound name, or None."},
    {"q1", field_index<Description>("q1"), "float | None", "The Q1 m/z as a float, or None."},
    {"q3", field_index<Description>("q3"), "float | None", "The Q3 m/z as a float, or None."},
    {"estimated_retention_time", field_index<Description>("estimated_retention_time"), "float | None",
     "The estimated retention time as a float, or None."},
    {"extract_value", field_index<Description>("extract_value"), "float | None",
     "The extraction value as a float, or None."},
    {"extract_tolerance", field_index<Description>("extract_tolerance"), "float | None",
     "The extraction tolerance as a float, or None."},
    {"quan_analysis_type", field_index<Description>("quan_analysis_type"), "zarn_data_access.common.QuanAnalysisTypes",
     "The kind of trace as a QuanAnalysisTypes member."},
    {"compound_type", field_index<Description>("compound_type"), "zarn_data_access.common.CompoundTypes",
     "The kind of compound as a CompoundTypes member."},
    {"polarity", field_index<Description>("polarity_type"), "zarn_data_access.common.PolarityTypes",
     "The polarity as a PolarityTypes member."},
    {"concentration", field_index<Description>("concentration"), "float | None",
     "The concentration as a float, or None."},
    {"supplemental_properties", field_index<Description>("supplemental_properties"), "dict[str, str]",
     "The description's own dictionary of supplemental properties, text to text."},
};
constexpr Property kAnalogProperties[] = {
    {"description", field_index<Description>("compound_name"), "str | None", "The trace's label, or None."},
    {"supplemental_properties", field_index<Description>("supplemental_properties"), "dict[str, str]",
     "The description's own dictionary of supplemental properties, text to text."},
};

}  // namespace

NB_MODULE(quan, m) {
    init_module_support();
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();

    nb::object quan_analysis_types = nb::module_::import_("zarn_data_access.common").attr("QuanAnalysisTypes");
    m.attr("QuanAnalysisTypes") = quan_analysis_types;
    srm_member = nb::object(quan_analysis_types.attr("SRM")).release().ptr();

    auto quan = trace_class<Quan>(
        m, "QuanAnalysis",
        "One quantitative (SIM or SRM) trace of a measurement: its chromatogram and its compound's description.",
        quan_text);
    for (const Property &p : kQuanProperties) description_property(quan, p.name, p.field, p.type, p.doc);

    auto analog =
        trace_class<Analog>(m, "AnalogAnalysis",
                            "One analog detector trace of a measurement: its chromatogram and its label.", analog_text);
    for (const Property &p : kAnalogProperties) description_property(analog, p.name, p.field, p.type, p.doc);

    // The private fields, under their class-qualified names.
    auto fields = [](auto &cls, const std::string &prefix) {
        using T = typename std::remove_reference_t<decltype(cls)>::Type;
        cls.def_prop_ro((prefix + "function_index").c_str(), [](T *o) { return or_none(o->function_index); })
            .def_prop_ro((prefix + "index").c_str(), [](T *o) { return or_none(o->index); })
            .def_prop_ro((prefix + "reader").c_str(), [](T *o) { return or_none(o->reader); })
            .def_prop_ro((prefix + "chromatogram").c_str(), [](T *o) { return or_none(o->chromatogram); });
    };
    fields(quan, "_QuanAnalysis__");
    fields(analog, "_AnalogAnalysis__");
}

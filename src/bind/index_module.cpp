// zarn_data_access._internal._index: the file header, the jump table, the
// writer's conversion options and the index records of measurements,
// functions and spectra.
#include <nanobind/nanobind.h>

#include "index_objects.hpp"
#include "pyconv.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;
using zarn::Reader;

namespace {

using Options = ZarnInternalConversionOptionsObject;
using Table = JumpTableObject;
using MeasurementEntry = MeasurementIndexObject;
using FunctionEntry = FunctionIndexObject;
using SpectrumEntry = SpectrumIndexObject;

nb::object measurement_index_object(nb::handle reader, const zarn::MeasurementIndex &entry) {
    return create<MeasurementEntry>([&](MeasurementEntry &o) {
        o.reader = nb::borrow(reader);
        o.record = entry;
        o.measurement_description = wrap_record<MeasurementDescriptionObject>(entry.measurement_description);
    });
}

// Reads the whole header or only the measurement index block into the
// table. The list of MeasurementIndex objects is made anew whenever the
// read has made a new list of entries.
void read_table(Table &o, nb::handle reader_object, bool whole) {
    const ReadInProgress reading(o.reading);
    const ReaderUse use(reader_object);
    Reader &reader = use.reader();
    const zarn::MeasurementIndex *before = o.rec().measurement_index_list.data();
    auto finish = [&](bool done) {
        const auto &entries = o.rec().measurement_index_list;
        if (done || entries.data() != before) {
            nb::list list;
            for (const auto &entry : entries) list.append(measurement_index_object(reader_object, entry));
            o.measurement_index_list = std::move(list);
        }
        Options *options = as<Options>(o.conversion_options);
        if (options && options->record != o.rec().conversion_options) o.conversion_options.reset();
    };
    try {
        if (whole)
            zarn::read_jump_table(reader, o.rec());
        else
            zarn::read_jump_table_measurement_index(reader, o.rec());
    } catch (...) {
        finish(false);
        throw;
    }
    finish(true);
}

void read_measurement_entry(MeasurementEntry &o) {
    const ReaderUse use(o.reader);
    Reader &reader = use.reader();
    o.record.position = reader.read_int64();
    auto *description = as<MeasurementDescriptionObject>(o.measurement_description);
    if (!description) throw nb::type_error("the measurement description is gone");
    read_object(*description, reader);
}

}  // namespace

NB_MODULE(_index, m) {
    init_module_support();
    require_value_types();
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();

    nb::module_ enums = nb::module_::import_("zarn_data_access._internal._enum");
    nb::module_ description = nb::module_::import_("zarn_data_access._internal._description");
    nb::module_ exception = nb::module_::import_("zarn_data_access.exception");
    m.attr("ZarnSymbols") = nb::getattr(enums, "ZarnSymbols");
    for (const char *name : {"MeasurementDescription", "FunctionDescription", "InternalSpectrumDescription"})
        m.attr(name) = nb::getattr(description, name);
    for (const char *name : {"ZarnException", "ZarnVersionException"}) m.attr(name) = nb::getattr(exception, name);

    // ---- JumpTable
    auto table = record_class<Table>(m, "JumpTable");
    table.attr("_JumpTable__current_major") = zarn::JumpTable::current_major;
    table.attr("_JumpTable__current_minor") = zarn::JumpTable::current_minor;
    table
        .def_static(
            "_JumpTable__create_instance",
            [](nb::handle reader) { return create<Table>([&](Table &o) { read_table(o, reader, true); }); }, "reader"_a)
        .def(
            "_JumpTable__read", [](Table &o, nb::handle reader) { read_table(o, reader, true); }, "reader"_a)
        .def(
            "_JumpTable__read_measurement_index", [](Table &o, nb::handle reader) { read_table(o, reader, false); },
            "reader"_a)
        .def_prop_ro("_JumpTable__major_version", [](Table &o) { return o.rec().major_version; })
        .def_prop_ro("_JumpTable__minor_version", [](Table &o) { return o.rec().minor_version; })
        .def_prop_ro("_JumpTable__revision_version", [](Table &o) { return o.rec().revision_version; })
        .def_prop_ro("_JumpTable__major_lib_version", [](Table &o) { return o.rec().major_lib_version; })
        .def_prop_ro("_JumpTable__minor_lib_version", [](Table &o) { return o.rec().minor_lib_version; })
        .def_prop_ro("_JumpTable__revision_lib_version", [](Table &o) { return o.rec().revision_lib_version; })
        .def_prop_ro("conversion_options",
                     [](Table &o) {
                         // Files before 3.3 carry no conversion options: the
                         // field does not exist.
                         if (!o.rec().conversion_options)
                             throw zarn::MissingField("'JumpTable' object has no attribute 'conversion_options'");
                         if (!o.conversion_options.is_valid())
                             o.conversion_options = wrap_record<Options>(o.rec().conversion_options);
                         return o.conversion_options;
                     })
        .def_prop_ro("_JumpTable__jump_table_position", [](Table &o) { return o.rec().jump_table_position; })
        .def_prop_ro("_JumpTable__measurement_index_position",
                     [](Table &o) { return o.rec().measurement_index_position; })
        .def_prop_ro("_JumpTable__user_def_bytes_position", [](Table &o) { return o.rec().user_def_bytes_position; })
        .def_prop_ro("_JumpTable__num_measurements", [](Table &o) { return o.rec().num_measurements; })
        .def_prop_ro("_JumpTable__measurement_index_list", [](Table &o) { return or_none(o.measurement_index_list); });

    // ---- ZarnInternalConversionOptions
    def_record<Options>(m);

    // ---- MeasurementIndex
    auto measurement = record_class<MeasurementEntry>(m, "MeasurementIndex");
    measurement
        .def_static(
            "_MeasurementIndex__create_instance",
            [](nb::handle reader) {
                reader_of(reader);  // refuses anything else before reading
                return create<MeasurementEntry>([&](MeasurementEntry &o) {
                    o.reader = nb::borrow(reader);
                    o.measurement_description = create<MeasurementDescriptionObject>();
                    o.record.measurement_description =
                        nb::inst_ptr<MeasurementDescriptionObject>(o.measurement_description)->record;
                    read_measurement_entry(o);
                });
            },
            "reader"_a)
        .def("_MeasurementIndex__read", [](MeasurementEntry &o) { read_measurement_entry(o); })
        .def_prop_ro("_MeasurementIndex__reader", [](MeasurementEntry &o) { return or_none(o.reader); })
        .def_prop_ro("_MeasurementIndex__position", [](MeasurementEntry &o) { return o.record.position; })
        .def_prop_ro("_MeasurementIndex__measurement_description",
                     [](MeasurementEntry &o) { return or_none(o.measurement_description); });

    // ---- FunctionIndex
    auto function = record_class<FunctionEntry>(m, "FunctionIndex");
    function
        .def_static(
            "_FunctionIndex__create_instance",
            [](nb::handle reader, nb::handle position) {
                const int64_t at = to_i64_saturating(position);
                const ReaderUse use(reader);
                return make_function_index(reader, at);
            },
            "reader"_a, "position"_a)
        .def_prop_ro("_FunctionIndex__reader", [](FunctionEntry &o) { return or_none(o.reader); })
        .def_prop_ro("_FunctionIndex__position", [](FunctionEntry &o) { return o.position; })
        .def_prop_ro("_FunctionIndex__function_description",
                     [](FunctionEntry &o) { return or_none(o.function_description); });

    // ---- SpectrumIndex
    auto spectrum = record_class<SpectrumEntry>(m, "SpectrumIndex");
    spectrum
        .def_static(
            "_SpectrumIndex__create_instance",
            [](nb::handle reader, nb::handle position, nb::handle index) {
                const int64_t i = to_i64_saturating(index), at = to_i64_saturating(position);
                const ReaderUse use(reader);
                return make_spectrum_index(reader, use.reader(), at, i);
            },
            "reader"_a, "position"_a, "index"_a)
        .def(
            "_SpectrumIndex__set_profile_position",
            [](SpectrumEntry &o, nb::handle position) { o.profile_position = to_i64_saturating(position); },
            "position"_a)
        .def_prop_ro("_SpectrumIndex__reader", [](SpectrumEntry &o) { return or_none(o.reader); })
        .def_prop_ro("_SpectrumIndex__position", [](SpectrumEntry &o) { return o.position; })
        .def_prop_ro("_SpectrumIndex__spectrum_description",
                     [](SpectrumEntry &o) { return or_none(o.spectrum_description); })
        .def_prop_ro("_SpectrumIndex__profile_position", [](SpectrumEntry &o) { return o.profile_position; });
}

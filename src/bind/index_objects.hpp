// The Python objects of the index records (zarn_data_access._internal._index):
// the conversion options, the jump table and the index entries of
// measurements, functions and spectra, and the factories that make function
// and spectrum index entries from C++ without calling Python code.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "description_objects.hpp"
#include "objects.hpp"
#include "reader_object.hpp"
#include "records/index.hpp"

namespace zarn::py {

namespace nb = nanobind;

struct ZarnInternalConversionOptionsObject
    : RecordObject<ZarnInternalConversionOptionsObject, ZarnInternalConversionOptions> {
    using Self = ZarnInternalConversionOptionsObject;
    static constexpr const char *kClass = "ZarnInternalConversionOptions";
    static constexpr auto kRead = read_conversion_options;
    static constexpr Field<Self> fields[] = {
        ZARN_FRESH(desired_analysis_type_id),
        ZARN_FRESH(keep_only_ms1),
        ZARN_FRESH(keep_profile_spectra),
        ZARN_FRESH(desired_quan_analysis_type_id),
        ZARN_FRESH(keep_last_ms_function_in_mse),
        ZARN_FRESH(mz_accuracy_power),
        ZARN_FRESH(rt_accuracy_power),
        ZARN_FRESH(ms_intensity_accuracy_power),
        ZARN_FRESH(dad_intensity_accuracy_power),
        ZARN_FRESH(analog_intensity_accuracy_power),
        ZARN_FRESH(use_specified_chromatogram_intensity_precision),
    };
    Slots<kept_count(fields)> slots;
};

struct MeasurementIndexObject {
    nb::object reader;
    MeasurementIndex record;
    nb::object measurement_description;

    MeasurementIndex &rec() { return record; }
    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, reader, measurement_description);
    }
    void clear() { reset_objects(reader, measurement_description); }
};

struct JumpTableObject {
    JumpTable record;
    nb::object conversion_options, measurement_index_list;
    bool reading = false;

    JumpTable &rec() { return record; }
    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, conversion_options, measurement_index_list);
    }
    void clear() { reset_objects(conversion_options, measurement_index_list); }
};

struct FunctionIndexObject {
    nb::object reader;
    int64_t position = 0;
    nb::object function_description;

    // The description's C++ object; null only after the collector cleared it.
    FunctionDescriptionObject *description() { return as<FunctionDescriptionObject>(function_description); }
    int traverse(visitproc visit, void *arg) const { return visit_objects(visit, arg, reader, function_description); }
    void clear() { reset_objects(reader, function_description); }
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
    int traverse(visitproc visit, void *arg) const { return visit_objects(visit, arg, reader, spectrum_description); }
    void clear() { reset_objects(reader, spectrum_description); }
};

// A SpectrumIndex's description, reached from C++ without an attribute
// lookup; null when `h` is no SpectrumIndex.
inline InternalSpectrumDescriptionObject *spectrum_description_of(nb::handle h) {
    SpectrumIndexObject *index = as<SpectrumIndexObject>(h);
    return index ? index->description() : nullptr;
}

// ---- the fields that other modules read, as the properties answer them

inline nb::object measurement_index_reader(nb::handle h) {
    return private_field<MeasurementIndexObject>(h, "_MeasurementIndex__reader",
                                                 [](MeasurementIndexObject &o) { return or_none(o.reader); });
}
inline int64_t measurement_index_position(nb::handle h) {
    if (auto *o = exactly<MeasurementIndexObject>(h)) return o->record.position;
    return to_i64_saturating(nb::getattr(h, "_MeasurementIndex__position"));
}
inline nb::object measurement_index_description(nb::handle h) {
    return private_field<MeasurementIndexObject>(
        h, "_MeasurementIndex__measurement_description",
        [](MeasurementIndexObject &o) { return or_none(o.measurement_description); });
}

inline nb::object function_index_reader(nb::handle h) {
    return private_field<FunctionIndexObject>(h, "_FunctionIndex__reader",
                                              [](FunctionIndexObject &o) { return or_none(o.reader); });
}
inline int64_t function_index_position(nb::handle h) {
    if (auto *o = exactly<FunctionIndexObject>(h)) return o->position;
    return to_i64_saturating(nb::getattr(h, "_FunctionIndex__position"));
}
inline nb::object function_index_description(nb::handle h) {
    return private_field<FunctionIndexObject>(h, "_FunctionIndex__function_description",
                                              [](FunctionIndexObject &o) { return or_none(o.function_description); });
}

// ---- factories for C++ callers (the same steps as the class factories)

// A FunctionIndex: keeps the reader object and the position and reads the
// function description at the reader's current place.
inline nb::object make_function_index(nb::handle reader_object, int64_t position) {
    Reader &reader = reader_of(reader_object);
    nb::object description = create<FunctionDescriptionObject>(
        [&](FunctionDescriptionObject &d) { read_function_description(reader, d.rec()); });
    return create<FunctionIndexObject>([&](FunctionIndexObject &index) {
        index.reader = nb::borrow(reader_object);
        index.position = position;
        index.function_description = std::move(description);
    });
}

// A SpectrumIndex: keeps the reader object and the position and reads the
// spectrum description, with its index, at the reader's current place; the
// profile position is 0. `reader` is the C++ object of `reader_object`.
inline nb::object make_spectrum_index(nb::handle reader_object, Reader &reader, int64_t position, int64_t index) {
    nb::object description = create<InternalSpectrumDescriptionObject>(
        [&](InternalSpectrumDescriptionObject &d) { read_internal_spectrum_description(reader, d.rec()); }, index);
    return create<SpectrumIndexObject>([&](SpectrumIndexObject &entry) {
        entry.reader = nb::borrow(reader_object);
        entry.position = position;
        entry.spectrum_description = std::move(description);
    });
}

}  // namespace zarn::py

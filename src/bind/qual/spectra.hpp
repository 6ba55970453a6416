// The spectra of zarn_data_access.qual (Spectrum, DADSpectrum) and the
// SpectrumIndex records they and the analyses read from.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "analysis_objects.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "io/reader.hpp"
#include "qual/helpers.hpp"

namespace zarn::py {

namespace nb = nanobind;

// ---------------------------------------------------------------- spectrum index records

// The reader, positions and description of one SpectrumIndex.
inline InternalSpectrumDescriptionObject &description_of(const nb::object &entry) {
    InternalSpectrumDescriptionObject *d = nb::inst_ptr<SpectrumIndexObject>(entry)->description();
    if (!d) throw nb::type_error("the spectrum description is gone");
    return *d;
}

inline int64_t position_of(const nb::object &entry) { return nb::inst_ptr<SpectrumIndexObject>(entry)->position; }

// A SpectrumIndex's field as the interpreter reads it (the spectra keep
// whatever object their factory was given).
nb::object index_field(const nb::object &spectrum_index, const char *name);

nb::object description_field(const nb::object &spectrum_index, const char *name);

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

nb::object new_spectrum(nb::handle spectrum_index, nb::handle index);
nb::object new_dad_spectrum(nb::handle spectrum_index, nb::handle index, nb::handle wavelength_arr);

nb::object spectrum_points(SpectrumObject &s);
nb::object profile_spectrum_points(SpectrumObject &s);
nb::object dad_spectrum_points(DADSpectrumObject &s);

template <typename T, nb::object (*Points)(T &)>
nb::str points_text(T &s) {
    return counted_text(or_none(s.index), length(Points(s)), "points");
}

}  // namespace zarn::py

// The spectra: their points, read when first asked for and kept, and the
// fields of the SpectrumIndex they were made for.
#include "qual/spectra.hpp"

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

#include "analysis_objects.hpp"
#include "blocks/blocks.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "points.hpp"
#include "qual/helpers.hpp"
#include "reader_object.hpp"

namespace zarn::py {

nb::object index_field(const nb::object &spectrum_index, const char *name) {
    return nb::getattr(or_none(spectrum_index), (std::string("_SpectrumIndex__") + name).c_str());
}

nb::object description_field(const nb::object &spectrum_index, const char *name) {
    return nb::getattr(index_field(spectrum_index, "spectrum_description"),
                       (std::string("_InternalSpectrumDescription__") + name).c_str());
}

namespace {

// Moves the spectrum's reader to a position the spectrum's record holds.
// `use` holds the reader's lock and keeps the reader object alive while the
// caller reads: the record answers its reader afresh on each access, and
// Python code run during a read may drop the one it answered before.
Reader &reader_at(const nb::object &spectrum_index, nb::handle position, const char *what,
                  std::optional<ReaderUse> &use) {
    use.emplace(index_field(spectrum_index, "reader"));
    Reader &reader = use->reader();
    zarn::move_to_stored_position(reader, to_i64_saturating(position), what);
    return reader;
}

}  // namespace

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
        std::optional<ReaderUse> use;
        Reader &reader = reader_at(s.spectrum_index, index_field(s.spectrum_index, "position"), "Spectrum", use);
        s.spectrum_points = read_spectrum_points(reader);
    }
    return s.spectrum_points;
}

nb::object profile_spectrum_points(SpectrumObject &s) {
    nb::object position = index_field(s.spectrum_index, "profile_position");
    if (compare_items(position, nb::int_(0), Py_EQ)) throw zarn::Misuse("No profile spectrum");
    std::optional<ReaderUse> use;
    return read_spectrum_points(reader_at(s.spectrum_index, position, "Profile spectrum", use));
}

nb::object dad_spectrum_points(DADSpectrumObject &s) {
    if (or_none(s.spectrum_points).is_none()) {
        std::optional<ReaderUse> use;
        Reader &reader = reader_at(s.spectrum_index, index_field(s.spectrum_index, "position"), "Spectrum", use);
        nb::object wavelengths = or_none(s.wavelength_arr);
        s.spectrum_points = wavelengths.is_none() ? nb::object(read_spectrum_points(reader))
                                                  : nb::object(read_dad_spectrum(reader, wavelengths));
    }
    return s.spectrum_points;
}

}  // namespace zarn::py

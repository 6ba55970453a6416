// The analyses of zarn_data_access.qual: QualAnalysis and DADAnalysis, the
// SpectrumIndex records they hold, and their chromatograms and searches.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/qual.hpp"
#include "analysis_objects.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "records/records.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The spectra of an analysis, kept native: each spectrum's positions and
// description record, and its SpectrumIndex object (with its description
// and, in a qualitative analysis, its public condition) once one has been
// asked for. From then on the object is the spectrum's truth: a caller may
// read into its description again or set its condition. A call that walks
// the spectra holds the table it started with, whatever Python code it
// calls back does to the analysis.
struct NativeSpectra {
    // Where the spectra's public conditions come from: none (a DAD analysis,
    // or conditions not bound yet), the function's stored list (`bound`,
    // `condition_of` the position in it), or one condition per spectrum
    // made from its description (`condition_of` the group of spectra with
    // equal keys, `firsts` the first spectrum of each group in the order in
    // which the spectra show them).
    enum class Conditions : uint8_t { None, Stored, OwnEach };
    static constexpr uint32_t kUnbound = UINT32_MAX;

    nb::object reader;
    std::vector<int64_t> positions, profile_positions;  // profile positions: none, or one per spectrum
    std::vector<zarn::InternalSpectrumDescription> records;
    std::vector<nb::object> objects;  // the SpectrumIndex objects made so far
    Conditions conditions = Conditions::None;
    std::vector<uint32_t> condition_of;
    std::vector<nb::object> bound;
    std::vector<size_t> firsts;

    size_t size() const { return records.size(); }
    bool made(size_t i) const { return objects[i].is_valid(); }
    int traverse(visitproc visit, void *arg) const {
        Py_VISIT(reader.ptr());
        for (const nb::object &o : objects) Py_VISIT(o.ptr());
        for (const nb::object &o : bound) Py_VISIT(o.ptr());
        return 0;
    }
};
using SpectraTable = std::shared_ptr<NativeSpectra>;

struct AnalysisObject : FunctionAnalysis {
    SpectraTable spectra;

    size_t count() const { return spectra ? spectra->size() : 0; }
    int traverse(visitproc visit, void *arg) const {
        if (int r = FunctionAnalysis::traverse(visit, arg)) return r;
        return spectra ? spectra->traverse(visit, arg) : 0;
    }
    void clear() {
        FunctionAnalysis::clear();
        spectra.reset();
    }
};

// The table to walk: an empty one after the collector cleared the analysis.
SpectraTable listed(const AnalysisObject &a);

// The SpectrumIndex object of spectrum i, made when first asked for.
nb::object spectrum_index_object(NativeSpectra &t, size_t i);

// A new list of every spectrum's SpectrumIndex object.
nb::list spectrum_index_list(const AnalysisObject &a);

struct QualAnalysisObject : AnalysisObject {
    // The list of distinct conditions; for conditions made per spectrum it
    // is made when first asked for, from the table it was read with.
    nb::object unique_acquisition_conditions;
    SpectraTable unique_from;

    int traverse(visitproc visit, void *arg) const {
        if (int r = visit_objects(visit, arg, unique_acquisition_conditions)) return r;
        if (unique_from && unique_from != spectra)
            if (int r = unique_from->traverse(visit, arg)) return r;
        return AnalysisObject::traverse(visit, arg);
    }
    void clear() {
        AnalysisObject::clear();
        unique_acquisition_conditions.reset();
        unique_from.reset();
    }
};

// The analysis's list of distinct conditions (None once cleared), and its
// length without making it.
nb::object unique_conditions(QualAnalysisObject &a);
Py_ssize_t unique_count(QualAnalysisObject &a);

struct DADAnalysisObject : AnalysisObject {};

// A field of the function's qualitative description, read as the
// interpreter reads it.
nb::object qual_field(const AnalysisObject &a, const char *name);

// Reads the function's spectrum index block (and, for a QualAnalysis, gives
// every spectrum its public condition).
void read_qual(QualAnalysisObject &a);
void read_dad(DADAnalysisObject &a);

// ---- QualAnalysis
nb::object get_spectrum(QualAnalysisObject &a, nb::handle index);
nb::list stored_totals(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time_range, bool base_peak);
nb::list xic(QualAnalysisObject &a, nb::handle option);
nb::list multiple_xic(QualAnalysisObject &a, nb::handle options);
nb::object find_nearest_spectrum(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time);

// ---- DADAnalysis
nb::object get_dad_spectrum(DADAnalysisObject &a, nb::handle index);
nb::list dad_chromatogram(DADAnalysisObject &a, nb::handle extract_wavelength_range);
nb::list max_plot(DADAnalysisObject &a, nb::handle extract_wavelength_range, nb::handle wavelength_tolerance);
nb::object find_nearest_dad_spectrum(DADAnalysisObject &a, nb::handle retention_time);

}  // namespace zarn::py

// The analyses of zarn_data_access.qual: QualAnalysis and DADAnalysis, the
// SpectrumIndex records they hold, and their chromatograms and searches.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "analysis_objects.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"

namespace zarn::py {

namespace nb = nanobind;

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
inline SpectrumList listed(const AnalysisObject &a) {
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

// zarn_data_access.qual: qualitative MS and DAD analyses, their spectra and
// the chromatograms derived from them, and the condition classes that select
// spectra: the maker-specific and triple-quadrupole scan conditions,
// AcquisitionCondition and ChromatogramFilterOption.
//
// An analysis reads its function's spectrum index block when it is made and
// keeps the spectra's records natively, making a spectrum's SpectrumIndex,
// description and condition objects when something first asks for them;
// the chromatograms walk the records in C++, decode each spectrum they need
// once into native points and make Python objects only for the points they
// return.
//
// This file registers the classes; the conditions, spectra and analyses
// have a file each beside it.
#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "analysis_objects.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "qual/analyses.hpp"
#include "qual/conditions.hpp"
#include "qual/helpers.hpp"
#include "qual/spectra.hpp"
#include "signatures.hpp"
#include "support.hpp"
#include "values.hpp"

namespace zarn::py {

namespace {

template <typename T>
void analysis_fields(nb::class_<T> &cls, const char *prefix) {
    const std::string p = prefix;
    cls.def_prop_ro((p + "function_index").c_str(), [](T &a) { return or_none(a.function_index); })
        .def_prop_ro((p + "index").c_str(), [](T &a) { return or_none(a.index); })
        .def_prop_ro((p + "reader").c_str(), [](T &a) { return or_none(a.reader); })
        // The records are held natively: a new list of the same records.
        .def_prop_ro((p + "spectrum_index_list").c_str(), [](T &a) { return spectrum_index_list(a); })
        .def_prop_ro(
            "index", [](T &a) { return or_none(a.index); }, nb::sig("def index(self) -> int"),
            "The analysis's position among its measurement's analyses of its kind.")
        .def_prop_ro(
            "supplemental_properties", [](T &a) { return qual_field(a, "supplemental_properties"); },
            nb::sig("def supplemental_properties(self) -> dict[str, str]"),
            "The function's own dictionary of supplemental properties, text to text.")
        .def("get_spectra_count", [](T &a) { return a.count(); }, "The number of spectra of the analysis.");
}

template <typename T>
void spectrum_fields(nb::class_<T> &cls, const char *prefix) {
    const std::string p = prefix;
    cls.def_prop_ro((p + "spectrum_index").c_str(), [](T &s) { return or_none(s.spectrum_index); })
        .def_prop_ro((p + "index").c_str(), [](T &s) { return or_none(s.index); })
        .def_prop_ro((p + "spectrum_points").c_str(), [](T &s) { return or_none(s.spectrum_points); })
        .def_prop_ro(
            "index", [](T &s) { return or_none(s.index); }, nb::sig("def index(self) -> int"),
            "The spectrum's position in its analysis's list of spectra.")
        .def_prop_ro(
            "retention_time", [](T &s) { return description_field(s.spectrum_index, "retention_time"); },
            nb::sig("def retention_time(self) -> float | None"), "The retention time as a float, or None.")
        .def_prop_ro(
            "supplemental_properties",
            [](T &s) { return description_field(s.spectrum_index, "supplemental_properties"); },
            nb::sig("def supplemental_properties(self) -> dict[str, str]"),
            "The description's own dictionary of supplemental properties, text to text.");
}

}  // namespace

}  // namespace zarn::py

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;

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
    auto spectrum = record_class<SpectrumObject>(
        m, "Spectrum", "One mass spectrum of a qualitative MS analysis: its description values and its points.");
    spectrum.def_static("_Spectrum__create_instance", &new_spectrum, "spectrum_index"_a.none(), "index"_a.none());
    spectrum.def("__str__", points_text<SpectrumObject, spectrum_points>)
        .def("__repr__", points_text<SpectrumObject, spectrum_points>);
    spectrum_fields(spectrum, "_Spectrum__");
    static constexpr struct {
        const char *name, *type, *doc;
    } spectrum_properties[] = {
        {"acquisition_condition", "zarn_data_access.qual.AcquisitionCondition",
         "The AcquisitionCondition bound to the spectrum."},
        {"precursor_index", "int | None", "The precursor index as an integer, or None."},
        {"product_indices", "list[int] | None", "The product indices as a list of integers, or None."},
        {"spectrum_type", "zarn_data_access.common.SpectrumTypes", "The spectrum type as a SpectrumTypes member."}};
    for (const auto &property : spectrum_properties) {
        const char *field = property.name;
        const GetterSignature signature(field, property.type);
        spectrum.def_prop_ro(
            field, [field](SpectrumObject &s) { return description_field(s.spectrum_index, field); }, signature.sig(),
            property.doc);
    }
    spectrum
        .def("get_spectrum_points", &spectrum_points,
             nb::sig("def get_spectrum_points(self) -> list[zarn_data_access.common.SpectrumPoint]"),
             "The spectrum's points (m/z and intensity) as a list of SpectrumPoint, decoded once and kept.")
        .def("get_profile_spectrum_points", &profile_spectrum_points,
             nb::sig("def get_profile_spectrum_points(self) -> list[zarn_data_access.common.SpectrumPoint]"),
             "The points of the spectrum's profile data as a new list of SpectrumPoint, decoded on every call.");

    // ---- DADSpectrum
    auto dad_spectrum = record_class<DADSpectrumObject>(
        m, "DADSpectrum", "One diode-array spectrum of a DAD analysis: its description values and its points.");
    dad_spectrum.def_static("_DADSpectrum__create_instance", &new_dad_spectrum, "spectrum_index"_a.none(),
                            "index"_a.none(), "wavelength_arr"_a.none());
    dad_spectrum.def("__str__", points_text<DADSpectrumObject, dad_spectrum_points>)
        .def("__repr__", points_text<DADSpectrumObject, dad_spectrum_points>);
    spectrum_fields(dad_spectrum, "_DADSpectrum__");
    dad_spectrum
        .def_prop_ro("_DADSpectrum__wavelength_arr", [](DADSpectrumObject &s) { return or_none(s.wavelength_arr); })
        .def("get_spectrum_points", &dad_spectrum_points,
             nb::sig("def get_spectrum_points(self) -> list[zarn_data_access.common.SpectrumPoint]"),
             "The spectrum's points (wavelength and intensity) as a list of SpectrumPoint, decoded once and kept.");

    // ---- QualAnalysis
    auto qual = record_class<QualAnalysisObject>(
        m, "QualAnalysis", "One qualitative MS analysis of a measurement: its spectra, conditions and chromatograms.");
    qual.def_static("_QualAnalysis__create_instance", &create_analysis<QualAnalysisObject, read_qual>,
                    "function_index"_a.none(), "index"_a.none());
    qual.def(
            "__str__",
            [](QualAnalysisObject &a) {
                nb::object text = nb::steal(
                    PyUnicode_FromFormat("%U, %zd spectrum conditions",
                                         counted_text(or_none(a.index), a.count(), "spectra").ptr(), unique_count(a)));
                if (!text.is_valid()) throw nb::python_error();
                return text;
            },
            nb::sig("def __str__(self) -> str"))
        .def("__repr__", [](nb::handle self) { return nb::str(self); })
        .def("_QualAnalysis__read", &read_qual);
    analysis_fields(qual, "_QualAnalysis__");
    qual.def_prop_ro(
            "unique_acquisition_conditions", [](QualAnalysisObject &a) { return unique_conditions(a); },
            nb::sig("def unique_acquisition_conditions(self) -> list[zarn_data_access.qual.AcquisitionCondition]"),
            "The analysis's own list of its distinct AcquisitionCondition objects.")
        .def_prop_ro("_QualAnalysis__unique_acquisition_conditions",
                     [](QualAnalysisObject &a) { return unique_conditions(a); })
        .def("get_spectrum", &get_spectrum, "index"_a.none(),
             nb::sig("def get_spectrum(self, index: int) -> zarn_data_access.qual.Spectrum"),
             "A new Spectrum for the spectrum at the given position.")
        .def(
            "get_tic",
            [](QualAnalysisObject &a, nb::handle condition, nb::handle range) {
                return stored_totals(a, condition, range, false);
            },
            "acquisition_condition"_a.none(), "retention_time_range"_a.none() = nb::none(),
            nb::sig("def get_tic(self, acquisition_condition: zarn_data_access.qual.AcquisitionCondition | None, "
                    "retention_time_range: _TimeRange | None = None) -> "
                    "list[zarn_data_access.common.SpectrumBasedChromatogramPoint]"),
            "The total-ion chromatogram of the spectra of one acquisition condition, from their stored totals, as "
            "SpectrumBasedChromatogramPoint objects.")
        .def(
            "get_bpc",
            [](QualAnalysisObject &a, nb::handle condition, nb::handle range) {
                return stored_totals(a, condition, range, true);
            },
            "acquisition_condition"_a.none(), "retention_time_range"_a.none() = nb::none(),
            nb::sig("def get_bpc(self, acquisition_condition: zarn_data_access.qual.AcquisitionCondition | None, "
                    "retention_time_range: _TimeRange | None = None) -> "
                    "list[zarn_data_access.common.SpectrumBasedChromatogramPoint]"),
            "The base-peak chromatogram of the spectra of one acquisition condition, from their stored base peaks, as "
            "SpectrumBasedChromatogramPoint objects.")
        .def("get_xic", &xic, "chromatogram_filter_option"_a.none(),
             nb::sig("def get_xic(self, chromatogram_filter_option: _FilterOption) -> "
                     "list[zarn_data_access.common.SpectrumBasedChromatogramPoint]"),
             "The extracted-ion chromatogram of one ChromatogramFilterOption, as SpectrumBasedChromatogramPoint "
             "objects.")
        .def("get_multiple_xic", &multiple_xic, "chromatogram_filter_options"_a.none(),
             nb::sig("def get_multiple_xic(self, chromatogram_filter_options: "
                     "collections.abc.Sequence[_FilterOption]) -> "
                     "list[list[zarn_data_access.common.SpectrumBasedChromatogramPoint]]"),
             "The extracted-ion chromatograms of a list of ChromatogramFilterOption objects, reading each spectrum "
             "once: one list of SpectrumBasedChromatogramPoint per option.")
        .def("find_nearest_spectrum", &find_nearest_spectrum, "acquisition_condition"_a.none(),
             "retention_time"_a.none(),
             nb::sig(
                 "def find_nearest_spectrum(self, acquisition_condition: zarn_data_access.qual.AcquisitionCondition, "
                 "retention_time: float) -> zarn_data_access.qual.Spectrum"),
             "A new Spectrum of the given acquisition condition whose retention time is nearest to the given one.");

    // ---- DADAnalysis
    auto dad = record_class<DADAnalysisObject>(
        m, "DADAnalysis", "One diode-array (DAD) analysis of a measurement: its spectra and chromatograms.");
    dad.def_static("_DADAnalysis__create_instance", &create_analysis<DADAnalysisObject, read_dad>,
                   "function_index"_a.none(), "index"_a.none());
    dad.def("__str__", [](DADAnalysisObject &a) { return counted_text(or_none(a.index), a.count(), "spectra"); })
        .def("__repr__", [](nb::handle self) { return nb::str(self); })
        .def("_DADAnalysis__read", &read_dad);
    analysis_fields(dad, "_DADAnalysis__");
    dad.def("get_spectrum", &get_dad_spectrum, "index"_a.none(),
            nb::sig("def get_spectrum(self, index: int) -> zarn_data_access.qual.DADSpectrum"),
            "A new DADSpectrum for the spectrum at the given position.")
        .def("get_chromatogram", &dad_chromatogram, "extract_wavelength_range"_a.none(),
             nb::sig("def get_chromatogram(self, extract_wavelength_range: _Range) -> "
                     "list[zarn_data_access.common.SpectrumBasedChromatogramPoint]"),
             "The DAD chromatogram of a wavelength range: per spectrum with a retention time, the mean intensity over "
             "the range and the wavelength of its highest intensity, as SpectrumBasedChromatogramPoint objects.")
        .def("get_max_plot", &max_plot, "extract_wavelength_range"_a.none(), "wavelength_tolerance"_a.none(),
             nb::sig("def get_max_plot(self, extract_wavelength_range: _Range, wavelength_tolerance: float) -> "
                     "list[zarn_data_access.common.SpectrumBasedChromatogramPoint]"),
             "The DAD max plot of a wavelength range: per spectrum with a retention time, the mean intensity within "
             "the tolerance of the range's highest point and that point's wavelength, as "
             "SpectrumBasedChromatogramPoint objects.")
        .def("find_nearest_spectrum", &find_nearest_dad_spectrum, "retention_time"_a.none(),
             nb::sig("def find_nearest_spectrum(self, retention_time: float) -> zarn_data_access.qual.DADSpectrum"),
             "A new DADSpectrum whose retention time is nearest to the given one.");
}

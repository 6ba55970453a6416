// The analyses: reading a function's spectrum index block, giving the
// spectra their public conditions, and the chromatograms and searches over
// the spectra.
#include "qual/analyses.hpp"

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/qual.hpp"
#include "analysis/walks.hpp"
#include "analysis_objects.hpp"
#include "blocks/blocks.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "points.hpp"
#include "qual/conditions.hpp"
#include "qual/helpers.hpp"
#include "qual/matching.hpp"
#include "qual/spectra.hpp"
#include "reader_object.hpp"
#include "records/index.hpp"
#include "threading.hpp"
#include "values.hpp"

namespace zarn::py {

namespace {

using Chosen = zarn::ChosenSpectrum;

// The spectra of an analysis as the core's walks take them.
class Spectra {
public:
    explicit Spectra(SpectrumList list) : list_(std::move(list)) {}

    size_t size() const { return list_->size(); }
    const zarn::InternalSpectrumDescription &record(size_t i) const { return description(i).rec(); }
    int64_t position(size_t i) const { return position_of((*list_)[i]); }
    InternalSpectrumDescriptionObject &description(size_t i) const { return description_of((*list_)[i]); }
    // The spectrum's public condition, as it stands now.
    nb::object condition(size_t i) const { return or_none(description(i).acquisition_condition); }
    // The same object without the GIL and without a reference: only to look
    // it up among objects the caller holds (then it is the object held).
    PyObject *condition_key(size_t i) const {
        const nb::object &c = description(i).acquisition_condition;
        return c.is_valid() ? c.ptr() : Py_None;
    }

private:
    SpectrumList list_;
};

nb::object chromatogram_point(const Chosen &spectrum, Num intensity, Num x) {
    return make_value(SpectrumBasedChromatogramPoint{
        Num::of_int(spectrum.index), Num::of_float(spectrum.retention_time), std::move(intensity), std::move(x)});
}

nb::object qual_description_of(const AnalysisObject &a) {
    return nb::getattr(nb::getattr(a.function_index, "_FunctionIndex__function_description"),
                       "_FunctionDescription__qual_description");
}

// ---------------------------------------------------------------- reading

// The spectrum index block (the reader's version must be known): one
// SpectrumIndex per spectrum with its description and positions.
class SpectrumIndexReading {
public:
    SpectrumIndexReading(AnalysisObject &a, Reader &reader) : a_(a), reader_(reader) {}

    void begin(size_t capacity) { list_->reserve(capacity); }
    void spectrum(int64_t i, int64_t position) {
        list_->push_back(make_spectrum_index(a_.reader, reader_, position, i));
    }
    void listed() { a_.spectrum_index_list = list_; }
    void profile(int64_t i, int64_t position) {
        nb::inst_ptr<SpectrumIndexObject>((*list_)[size_t(i)])->profile_position = position;
    }

private:
    AnalysisObject &a_;
    Reader &reader_;
    std::shared_ptr<std::vector<nb::object>> list_ = std::make_shared<std::vector<nb::object>>();
};

void read_spectrum_index_block(AnalysisObject &a) {
    const ReaderUse use(a.reader);
    Reader &reader = use.reader();
    const int64_t position = to_i64_saturating(nb::getattr(a.function_index, "_FunctionIndex__position"));
    zarn::walk_spectrum_index_block(reader, position, SpectrumIndexReading(a, reader));
}

// Gives every spectrum description its public condition and makes the list
// of the analysis's distinct conditions: from the function's stored list,
// or from the spectra, grouped by value and sorted.
void bind_acquisition_conditions(QualAnalysisObject &a) {
    const Spectra spectra(listed(a));
    nb::object stored = qual_field(a, "unique_acquisition_condition_list");
    nb::list unique;
    if (stored.is_none()) {
        std::vector<nb::object> conditions;
        conditions.reserve(spectra.size());
        const std::vector<size_t> firsts = zarn::distinct_conditions(
            spectra, default_polarity_value(), [&](size_t i) { return maker_of(spectra.description(i)); },
            [&](size_t i, zarn::SpectrumConditionKey::Maker maker) {
                InternalSpectrumDescriptionObject &d = spectra.description(i);
                d.acquisition_condition = condition_from_description(d, maker);
                conditions.push_back(d.acquisition_condition);
            });
        for (size_t first : firsts) unique.append(conditions[first]);
    } else {
        const Items items(stored);
        for (size_t k = 0; k < items.size(); ++k) unique.append(make_acquisition_condition(items[k]));
        for (size_t i = 0; i < spectra.size(); ++i) {
            InternalSpectrumDescriptionObject &d = spectra.description(i);
            d.acquisition_condition =
                unique[zarn::stored_condition_position(d.rec().acquisition_condition_index, unique.size())];
        }
    }
    a.unique_acquisition_conditions = std::move(unique);
}

}  // namespace

nb::object qual_field(const AnalysisObject &a, const char *name) {
    return nb::getattr(qual_description_of(a), (std::string("_QualDescription__") + name).c_str());
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

// ---------------------------------------------------------------- QualAnalysis

namespace {

// The m/z window of an option.
struct MzWindow {
    Bound min, max;
};

// One filter option of an extraction, its properties read once.
struct XicOption {
    nb::object acquisition_condition, extract_mz_range;
    size_t matcher;
    RangeTest range;
    std::optional<MzWindow> mz_window;  // read at the first spectrum the option takes
    // The window values of the spectra it took, made into points at the end.
    std::vector<std::pair<Chosen, zarn::WindowValue>> taken;

    XicOption(nb::object condition, nb::object mz_range, nb::handle retention_time_range, size_t matcher)
        : acquisition_condition(std::move(condition)),
          extract_mz_range(std::move(mz_range)),
          matcher(matcher),
          range(retention_time_range) {}

    const MzWindow &window() {
        if (!mz_window)
            with_gil([&] {
                mz_window.emplace(
                    MzWindow{Bound(nb::getattr(extract_mz_range, "min")), Bound(nb::getattr(extract_mz_range, "max"))});
            });
        return *mz_window;
    }
};

bool is_nan_float(nb::handle h) { return PyFloat_Check(h.ptr()) && std::isnan(PyFloat_AS_DOUBLE(h.ptr())); }

// The filter options of an extraction, read from the caller's objects as the
// core's zarn::read_filter_options asks for them.
class FilterOptions {
public:
    explicit FilterOptions(nb::handle options) : options_(options) {}

    bool empty() const { return options_.is_none() || length(options_) == 0; }
    size_t count() {
        items_.emplace(options_);
        chosen_.reserve(items_->size());
        return items_->size();
    }
    bool present(size_t k) {
        option_ = (*items_)[k];
        return !option_.is_none();
    }
    bool condition(size_t) {
        condition_ = nb::getattr(option_, "acquisition_condition");
        return !condition_.is_none();
    }
    bool mz_range(size_t) {
        mz_range_ = nb::getattr(option_, "extract_mz_range");
        return !mz_range_.is_none();
    }
    void want(size_t) { wanted_.add(condition_); }
    bool retention_range(size_t) {
        rt_range_ = nb::getattr(option_, "retention_time_range");
        if (rt_range_.is_none()) return false;
        lows_.push_back(nb::getattr(rt_range_, "min"));
        highs_.push_back(nb::getattr(rt_range_, "max"));
        return true;
    }
    bool nan_bound(size_t) const { return is_nan_float(lows_.back()) || is_nan_float(highs_.back()); }
    void finish(size_t) {
        const size_t matcher = matchers_.add(condition_);
        chosen_.emplace_back(std::move(condition_), std::move(mz_range_), rt_range_, matcher);
        rt_range_.reset();
        option_.reset();
    }
    bool low_below(size_t k, size_t j) { return compare(lows_[k], lows_[j], Py_LT); }
    bool high_above(size_t k, size_t j) { return compare(highs_[k], highs_[j], Py_GT); }
    void combine(size_t low, size_t high) { combined_.emplace(make_value(ValueRange{lows_[low], highs_[high]})); }

    // One list of points per option.
    nb::list results() const {
        nb::list out;
        for (const XicOption &option : chosen_) {
            nb::list points;
            for (const auto &[spectrum, v] : option.taken)
                points.append(chromatogram_point(spectrum, num_of(v.sum), Num::of_float(v.base_x)));
            out.append(points);
        }
        return out;
    }

private:
    friend class Extraction;

    nb::handle options_;
    std::optional<Items> items_;
    std::vector<XicOption> chosen_;
    OptionMatchers matchers_;
    WantedConditions wanted_;
    std::vector<nb::object> lows_, highs_;
    std::optional<RangeTest> combined_;
    // The option being read, dropped once it is read (and first when a
    // check fails).
    nb::object option_, condition_, mz_range_, rt_range_;
};

// The extraction over the spectra, as the core's zarn::extract_windows asks;
// it runs without the GIL. A condition already judged is answered natively;
// a new one is judged with the GIL.
class Extraction {
public:
    Extraction(FilterOptions &options, const Spectra &spectra) : o_(options), spectra_(spectra) {}

    bool wanted(size_t i) {
        if (const std::optional<bool> known = o_.wanted_.known(spectra_.condition_key(i))) return *known;
        return with_gil([&] { return o_.wanted_.contains(spectra_.condition(i)); });
    }
    bool in_combined(double rt) { return !o_.combined_ || o_.combined_->contains(rt); }
    size_t options() const { return o_.chosen_.size(); }
    bool matches(size_t k, size_t i) {
        const size_t matcher = o_.chosen_[k].matcher;
        if (const std::optional<bool> known = o_.matchers_.known(matcher, spectra_.condition_key(i))) return !*known;
        return with_gil([&] { return !o_.matchers_.differs(matcher, spectra_.condition(i)); });
    }
    bool in_range(size_t k, double rt) {
        RangeTest &range = o_.chosen_[k].range;
        return range.none() || range.contains(rt);
    }
    const MzWindow &window(size_t k) { return o_.chosen_[k].window(); }
    void take(size_t k, const Chosen &spectrum, const zarn::WindowValue &v) {
        o_.chosen_[k].taken.emplace_back(spectrum, v);
    }

private:
    FilterOptions &o_;
    const Spectra &spectra_;
};

// The list position of the spectrum nearest to `retention_time` among those
// that `time(spectra, i)` gives a time for: in C++ for a float or an int,
// else by the interpreter's arithmetic and comparison on the caller's object.
template <typename Time>
int64_t nearest_position(const AnalysisObject &a, nb::handle retention_time, Time &&time) {
    if (PyFloat_Check(retention_time.ptr()) || PyLong_Check(retention_time.ptr())) {
        zarn::NearerTime nearer(as_double(retention_time));
        const Spectra spectra(listed(a));
        return int64_t(zarn::nearest_spectrum(spectra.size(), [&](size_t i) { return time(spectra, i); }, nearer));
    }
    nb::object least = nb::float_(DBL_MAX);
    const Spectra spectra(listed(a));
    auto nearer = [&](double rt) {
        nb::object distance =
            nb::steal(PyNumber_Absolute(nb::object(nb::float_(rt) - nb::borrow(retention_time)).ptr()));
        if (!distance.is_valid()) throw nb::python_error();
        if (!compare(distance, least, Py_LT)) return false;
        least = distance;
        return true;
    };
    return int64_t(zarn::nearest_spectrum(spectra.size(), [&](size_t i) { return time(spectra, i); }, nearer));
}

}  // namespace

nb::list stored_totals(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time_range, bool base_peak) {
    const Spectra spectra(listed(a));
    ConditionMatcher match(condition, false);
    RangeTest range(retention_time_range);
    nb::list out;
    // An absent total is the integer 0.
    auto total = [](const std::optional<double> &v) { return v ? Num::of_float(*v) : Num::of_int(0); };
    zarn::stored_totals(
        spectra, base_peak, [&](size_t i) { return !match.differs(spectra.condition(i)); },
        [&](double rt) { return range.none() || range.contains(rt); },
        [&](const Chosen &spectrum, const std::optional<double> &intensity, const std::optional<double> &mz) {
            out.append(chromatogram_point(spectrum, total(intensity), total(mz)));
        });
    return out;
}

nb::list multiple_xic(QualAnalysisObject &a, nb::handle options) {
    FilterOptions read(options);
    zarn::read_filter_options(read);
    const Spectra spectra(listed(a));
    Extraction extraction(read, spectra);
    const ReaderUse use(a.reader);
    without_gil([&] { zarn::extract_windows(use.reader(), spectra, extraction); });
    return read.results();
}

nb::list xic(QualAnalysisObject &a, nb::handle option) {
    if (option.is_none()) throw zarn::Misuse(zarn::kNoFilterOption);
    nb::list one;
    one.append(option);
    return nb::borrow<nb::list>(multiple_xic(a, one)[0]);
}

nb::object get_spectrum(QualAnalysisObject &a, nb::handle index) {
    const SpectrumList spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_spectrum((*spectra)[i], index);
}

nb::object find_nearest_spectrum(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time) {
    ConditionMatcher match(condition, false);
    const int64_t found = nearest_position(a, retention_time, [&](const Spectra &spectra, size_t i) {
        return zarn::counted_time(spectra, i, [&](size_t j) { return !match.differs(spectra.condition(j)); });
    });
    return get_spectrum(a, nb::int_(found));
}

// ---------------------------------------------------------------- DADAnalysis

namespace {

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

// A max plot value as its point: the intensity 0 and x -1 when the band
// holds no point, the intensity 0 when the window is empty.
nb::object max_plot_point(const Chosen &spectrum, const zarn::MaxPlotValue &v) {
    switch (v.kind) {
        case zarn::MaxPlotValue::NoPoint:
            return chromatogram_point(spectrum, Num::of_int(0), Num::of_int(-1));
        case zarn::MaxPlotValue::EmptyWindow:
            return chromatogram_point(spectrum, Num::of_int(0), Num::of_float(v.base_x));
        case zarn::MaxPlotValue::Mean:
            break;
    }
    return chromatogram_point(spectrum, Num::of_float(v.mean), Num::of_float(v.base_x));
}

}  // namespace

nb::object get_dad_spectrum(DADAnalysisObject &a, nb::handle index) {
    const SpectrumList spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_dad_spectrum((*spectra)[i], index, qual_field(a, "wavelength_arr"));
}

nb::list dad_chromatogram(DADAnalysisObject &a, nb::handle extract_wavelength_range) {
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    const ReaderUse use(a.reader);
    const Spectra spectra(listed(a));
    auto band = [&] {
        return with_gil([&] {
            const double min = as_double(to_float(nb::getattr(extract_wavelength_range, "min")));
            const double max = as_double(to_float(nb::getattr(extract_wavelength_range, "max")));
            return std::pair(min, max);
        });
    };
    std::vector<std::pair<Chosen, zarn::BandValue>> values;
    without_gil([&] {
        zarn::dad_chromatogram(
            use.reader(), spectra, axis, band,
            [&](const Chosen &spectrum, const zarn::BandValue &v) { values.emplace_back(spectrum, v); });
    });
    nb::list out;
    for (const auto &[spectrum, v] : values)
        out.append(chromatogram_point(spectrum, num_of(v.intensity), Num::of_float(v.base_x)));
    return out;
}

nb::list max_plot(DADAnalysisObject &a, nb::handle extract_wavelength_range, nb::handle wavelength_tolerance) {
    const nb::object tolerance = to_float(wavelength_tolerance);
    const double tol = as_double(tolerance);
    // The collector takes the band widened by the tolerance on both sides.
    const Bound min{nb::getattr(extract_wavelength_range, "min")};
    const Number widened_min = number_of(min.object() - tolerance);
    const Bound max{nb::getattr(extract_wavelength_range, "max")};
    const Number widened_max = number_of(max.object() + tolerance);
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    const ReaderUse use(a.reader);
    const Spectra spectra(listed(a));
    std::vector<std::pair<Chosen, zarn::MaxPlotValue>> values;
    without_gil([&] {
        zarn::max_plot(use.reader(), spectra, axis, widened_min, widened_max, min, max, tol,
                       [&](const Chosen &spectrum, const zarn::MaxPlotValue &v) { values.emplace_back(spectrum, v); });
    });
    nb::list out;
    for (const auto &[spectrum, v] : values) out.append(max_plot_point(spectrum, v));
    return out;
}

nb::object find_nearest_dad_spectrum(DADAnalysisObject &a, nb::handle retention_time) {
    const int64_t found = nearest_position(
        a, retention_time, [](const Spectra &spectra, size_t i) { return spectra.record(i).retention_time; });
    return get_dad_spectrum(a, nb::int_(found));
}

}  // namespace zarn::py

// zarn_data_access.qual: qualitative MS and DAD analyses, their spectra and
// the chromatograms derived from them.
//
// An analysis reads its function's spectrum index block when it is made and
// keeps the SpectrumIndex records; the chromatograms walk them in C++,
// decode each spectrum they need once into native points and make Python
// objects only for the points they return.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "blocks.hpp"
#include "index.hpp"
#include "points.hpp"
#include "pyconv.hpp"
#include "qual.hpp"
#include "qual_conditions.hpp"
#include "record_objects.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;
using zarn::Number;
using zarn::Point;
using zarn::Reader;

namespace {

constexpr const char *kNoRetentionTime = "No spectrum has retention time information.";

// ---------------------------------------------------------------- Python helpers

bool truth(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool compare(nb::handle a, nb::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

Py_ssize_t length(nb::handle h) {
    const Py_ssize_t n = PyObject_Length(h.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

nb::object to_float(nb::handle h) {
    nb::object f = nb::steal(PyNumber_Float(h.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return f;
}

// A number that arithmetic on a float produced, as the native number
// comparisons take it.
Number number_of(nb::handle h) {
    if (PyLong_Check(h.ptr())) {
        Bound bound{nb::borrow(h)};
        if (bound.native()) return bound.number();
    }
    return Number::real(as_double(h));
}

// "[<index>] <count> <words>"
nb::str counted_text(nb::handle index, Py_ssize_t count, const char *words) {
    nb::object text = nb::steal(PyUnicode_FromFormat("[%S] %zd %s", index.ptr(), count, words));
    if (!text.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(text);
}

// The list position that `index` names, checked as `index < 0 or index >=
// count` raising "Index out of range"; an index that is no integer fails
// as list indexing fails.
size_t checked_position(nb::handle index, size_t count) {
    nb::object zero = nb::int_(0), size = nb::int_(count);
    if (compare(index, zero, Py_LT) || compare(index, size, Py_GE)) throw zarn::PlainError("Index out of range");
    if (!PyIndex_Check(index.ptr())) {
        nb::object message = nb::steal(PyUnicode_FromFormat("list indices must be integers or slices, not %s",
                                                            Py_TYPE(index.ptr())->tp_name));
        throw nb::type_error(nb::borrow<nb::str>(message).c_str());
    }
    nb::object position = nb::steal(PyNumber_Index(index.ptr()));
    if (!position.is_valid()) throw nb::python_error();
    return size_t(to_i64_saturating(position));
}

// ---------------------------------------------------------------- spectrum index records

// The reader, positions and description of one SpectrumIndex.
InternalSpectrumDescriptionObject &description_of(const nb::object &entry) {
    InternalSpectrumDescriptionObject *d = nb::inst_ptr<SpectrumIndexObject>(entry)->description();
    if (!d) throw nb::type_error("the spectrum description is gone");
    return *d;
}

int64_t position_of(const nb::object &entry) { return nb::inst_ptr<SpectrumIndexObject>(entry)->position; }

// A SpectrumIndex's field as the interpreter reads it (the spectra keep
// whatever object their factory was given).
nb::object index_field(const nb::object &spectrum_index, const char *name) {
    return nb::getattr(or_none(spectrum_index), (std::string("_SpectrumIndex__") + name).c_str());
}

nb::object description_field(const nb::object &spectrum_index, const char *name) {
    return nb::getattr(index_field(spectrum_index, "spectrum_description"),
                       (std::string("_InternalSpectrumDescription__") + name).c_str());
}

// Moves the spectrum's reader to a position the spectrum's record holds.
Reader &reader_at(const nb::object &spectrum_index, nb::handle position, const char *what) {
    Reader &reader = reader_of(index_field(spectrum_index, "reader"));
    zarn::move_to_stored_position(reader, to_i64_saturating(position), what);
    return reader;
}

// A spectrum of a chromatogram: its description's own index and its
// retention time, taken when the spectrum was chosen.
struct Chosen {
    int64_t index;
    double retention_time;
};

nb::object chromatogram_point(const Chosen &spectrum, Num intensity, Num x) {
    return make_value(SpectrumBasedChromatogramPoint{Num::of_int(spectrum.index),
                                                     Num::of_float(spectrum.retention_time), std::move(intensity),
                                                     std::move(x)});
}

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
        Reader &reader = reader_at(s.spectrum_index, index_field(s.spectrum_index, "position"), "Spectrum");
        s.spectrum_points = spectrum_list(zarn::read_spectrum(reader));
    }
    return s.spectrum_points;
}

nb::object profile_spectrum_points(SpectrumObject &s) {
    nb::object position = index_field(s.spectrum_index, "profile_position");
    if (compare(position, nb::int_(0), Py_EQ)) throw zarn::PlainError("No profile spectrum");
    return spectrum_list(zarn::read_spectrum(reader_at(s.spectrum_index, position, "Profile spectrum")));
}

nb::object dad_spectrum_points(DADSpectrumObject &s) {
    if (or_none(s.spectrum_points).is_none()) {
        Reader &reader = reader_at(s.spectrum_index, index_field(s.spectrum_index, "position"), "Spectrum");
        nb::object wavelengths = or_none(s.wavelength_arr);
        s.spectrum_points = wavelengths.is_none() ? nb::object(spectrum_list(zarn::read_spectrum(reader)))
                                                  : nb::object(read_dad_spectrum(reader, wavelengths));
    }
    return s.spectrum_points;
}

template <typename T, nb::object (*Points)(T &)>
nb::str points_text(T &s) {
    return counted_text(or_none(s.index), length(Points(s)), "points");
}

// ---------------------------------------------------------------- analyses

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
SpectrumList listed(const AnalysisObject &a) {
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

nb::object qual_description_of(const AnalysisObject &a) {
    return nb::getattr(nb::getattr(a.function_index, "_FunctionIndex__function_description"),
                       "_FunctionDescription__qual_description");
}

nb::object qual_field(const AnalysisObject &a, const char *name) {
    return nb::getattr(qual_description_of(a), (std::string("_QualDescription__") + name).c_str());
}

// The spectrum index block (the reader's version must be known): one
// SpectrumIndex per spectrum with its description and positions.
void read_spectrum_index_block(AnalysisObject &a) {
    Reader &reader = reader_of(a.reader);
    const int64_t position = to_i64_saturating(nb::getattr(a.function_index, "_FunctionIndex__position"));
    zarn::SpectrumIndexHead head = zarn::read_spectrum_index_head(reader, position);
    zarn::DecompressedSegment segment(reader);
    auto list = std::make_shared<std::vector<nb::object>>();
    list->reserve(size_t(std::min<int64_t>(head.count, int64_t(head.offsets.size()))));
    for (int64_t i = 0; i < head.count; ++i)
        list->push_back(make_spectrum_index(a.reader, reader, zarn::stored_offset(head.offsets, head.origin, i), i));
    a.spectrum_index_list = list;
    if (head.has_profile)
        for (int64_t i = 0; i < head.count; ++i)
            nb::inst_ptr<SpectrumIndexObject>((*list)[size_t(i)])->profile_position =
                zarn::stored_offset(head.profile_offsets, head.origin, i);
    segment.close();
    reader.confirm_zarn_symbol(zarn::Symbol::END_OF_SPECTRUM_INDEX_BLOCK);
}

// Gives every spectrum description its public condition and makes the list
// of the analysis's distinct conditions: from the function's stored list,
// or from the spectra, grouped by value and sorted.
void bind_acquisition_conditions(QualAnalysisObject &a) {
    const SpectrumList spectra = listed(a);
    nb::object stored = qual_field(a, "unique_acquisition_condition_list");
    nb::list unique;
    if (stored.is_none()) {
        std::vector<zarn::SpectrumConditionKey> keys;
        std::vector<nb::object> conditions;
        keys.reserve(spectra->size());
        conditions.reserve(spectra->size());
        for (const nb::object &entry : *spectra) {
            InternalSpectrumDescriptionObject &d = description_of(entry);
            const zarn::SpectrumConditionKey::Maker maker = maker_of(d);
            d.acquisition_condition = condition_from_description(d, maker);
            conditions.push_back(d.acquisition_condition);
            keys.emplace_back(d.rec(), maker, default_polarity_value());
        }
        zarn::ConditionGroups groups = zarn::group_conditions(keys);
        zarn::sort_condition_groups(groups.firsts, keys);
        for (size_t first : groups.firsts) unique.append(conditions[first]);
    } else {
        const Items items(stored);
        for (size_t k = 0; k < items.size(); ++k) unique.append(make_acquisition_condition(items[k]));
        const int64_t n = int64_t(unique.size());
        for (const nb::object &entry : *spectra) {
            InternalSpectrumDescriptionObject &d = description_of(entry);
            int64_t j = d.rec().acquisition_condition_index;
            if (j < 0) j += n;
            if (j < 0 || j >= n) throw zarn::IndexError("list index out of range");
            d.acquisition_condition = unique[size_t(j)];
        }
    }
    a.unique_acquisition_conditions = std::move(unique);
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

template <typename T, void (*Read)(T &)>
nb::object create_analysis(nb::handle function_index, nb::handle index) {
    nb::object obj = new_instance<T>();
    T &a = *nb::inst_ptr<T>(obj);
    a.hold(function_index, index);
    Read(a);
    return obj;
}

// ---------------------------------------------------------------- matching conditions and ranges

// Whether each spectrum's condition differs from a caller's, decided once
// per condition object (spectra of a stored condition list share theirs).
class ConditionMatcher {
public:
    // `caller_first`: the caller's condition is the left operand of !=.
    ConditionMatcher(nb::handle condition, bool caller_first) : condition_(condition), caller_first_(caller_first) {}

    bool differs(nb::handle spectrum_condition) {
        auto [it, added] = memo_.try_emplace(spectrum_condition.ptr());
        if (added) {
            it->second.first = nb::borrow(spectrum_condition);
            it->second.second = caller_first_ ? conditions_differ(condition_, spectrum_condition)
                                              : conditions_differ(spectrum_condition, condition_);
        }
        return it->second.second;
    }

private:
    nb::handle condition_;
    bool caller_first_;
    std::unordered_map<PyObject *, std::pair<nb::object, bool>> memo_;
};

// x <= y for native numbers (false with a NaN).
bool at_most(const Number &x, const Number &y) {
    auto nan = [](const Number &n) { return !n.is_int && std::isnan(n.f); };
    return !nan(x) && !nan(y) && !zarn::greater(x, y);
}

// A retention-time range's contains_value(rt): in C++ for a ValueRange
// with numeric bounds, else by calling the method (looked up at first use).
class RangeTest {
public:
    explicit RangeTest(nb::handle range) : range_(nb::borrow(range)) {
        if (range.is_none()) return;
        static nb::handle value_range = nb::type<ValueRange>();
        if (Py_TYPE(range.ptr()) != (PyTypeObject *)value_range.ptr()) return;
        const ValueRange &r = *nb::inst_ptr<ValueRange>(range);
        Bound min{r.min}, max{r.max};
        if (min.native() && max.native()) bounds_.emplace(min.number(), max.number());
    }
    bool none() const { return range_.is_none(); }
    bool contains(double value) {
        if (bounds_) {
            const Number v = Number::real(value);
            return at_most(bounds_->first, v) && at_most(v, bounds_->second);
        }
        if (!method_.is_valid()) method_ = nb::getattr(range_, "contains_value");
        return truth(method_(value));
    }

private:
    nb::object range_, method_;
    std::optional<std::pair<Number, Number>> bounds_;
};

// ---------------------------------------------------------------- QualAnalysis

// The retention time of a spectrum that counts for a chromatogram of
// `match`: it has one and its condition equals the caller's.
template <typename Match>
std::optional<double> counted_time(InternalSpectrumDescriptionObject &d, Match &match) {
    const std::optional<double> rt = d.rec().retention_time;
    if (!rt || match.differs(or_none(d.acquisition_condition))) return std::nullopt;
    return rt;
}

nb::list stored_totals(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time_range, bool base_peak) {
    const SpectrumList spectra = listed(a);
    ConditionMatcher match(condition, false);
    RangeTest range(retention_time_range);
    nb::list out;
    for (const nb::object &entry : *spectra) {
        InternalSpectrumDescriptionObject &d = description_of(entry);
        const std::optional<double> rt = counted_time(d, match);
        if (!rt || (!range.none() && !range.contains(*rt))) continue;
        const zarn::InternalSpectrumDescription &r = d.rec();
        const std::optional<double> &intensity = base_peak ? r.base_peak_intensity : r.current_total_ion;
        auto total = [](const std::optional<double> &v) { return v ? Num::of_float(*v) : Num::of_int(0); };
        out.append(chromatogram_point({r.index, *rt}, total(intensity), total(r.base_peak_mz)));
    }
    return out;
}

// The conditions that the options want, as a set of the interpreter, with
// membership decided in C++ where both sides are plain conditions.
class WantedConditions {
public:
    void add(nb::handle condition) {
        if (PySet_Add(set_.ptr(), condition.ptr()) != 0) throw nb::python_error();
        if (!exact_acquisition_condition(condition)) {
            all_exact_ = false;
        } else if (std::none_of(exact_.begin(), exact_.end(),
                                [&](const nb::object &o) { return o.ptr() == condition.ptr(); })) {
            // Options often share one condition object: it is looked up once.
            exact_.push_back(nb::borrow(condition));
        }
    }
    bool contains(nb::handle condition) {
        auto [it, added] = memo_.try_emplace(condition.ptr());
        if (added) {
            it->second.first = nb::borrow(condition);
            it->second.second = look_up(condition);
        }
        return it->second.second;
    }

private:
    bool look_up(nb::handle condition) {
        if (all_exact_ && exact_acquisition_condition(condition)) {
            for (const nb::object &wanted : exact_)
                if (wanted.ptr() == condition.ptr() || !conditions_differ(wanted, condition)) return true;
            return false;
        }
        const int r = PySet_Contains(set_.ptr(), condition.ptr());
        if (r < 0) throw nb::python_error();
        return r == 1;
    }

    nb::object set_ = nb::steal(PySet_New(nullptr));
    std::vector<nb::object> exact_;
    bool all_exact_ = true;
    std::unordered_map<PyObject *, std::pair<nb::object, bool>> memo_;
};

// The condition matchers of an extraction. Options whose condition is the
// same plain condition object share one matcher, and the verdicts on the
// last spectrum condition are kept while the options are walked: each
// spectrum's condition is compared with each such object once, not once
// per option.
class OptionMatchers {
public:
    // The matcher of an option's condition.
    size_t add(nb::handle condition) {
        if (exact_acquisition_condition(condition))
            for (size_t k = 0; k < matchers_.size(); ++k)
                if (shared_[k] && conditions_[k].ptr() == condition.ptr()) return k;
        conditions_.push_back(nb::borrow(condition));
        shared_.push_back(exact_acquisition_condition(condition) != nullptr);
        matchers_.emplace_back(conditions_.back(), true);
        return matchers_.size() - 1;
    }
    // Whether the spectrum's condition, as it stands now, differs from the
    // condition of matcher k.
    bool differs(size_t k, nb::handle spectrum_condition) {
        if (spectrum_condition.ptr() != verdicts_for_) {
            verdicts_.assign(matchers_.size(), kUnknown);
            verdicts_for_ = spectrum_condition.ptr();
        }
        if (verdicts_[k] == kUnknown) verdicts_[k] = matchers_[k].differs(spectrum_condition) ? kDiffers : kSame;
        return verdicts_[k] == kDiffers;
    }

private:
    enum Verdict : int8_t { kUnknown, kDiffers, kSame };
    std::vector<nb::object> conditions_;
    std::vector<bool> shared_;
    std::vector<ConditionMatcher> matchers_;
    std::vector<Verdict> verdicts_;
    // The condition the verdicts are for; every matcher that gave one holds it.
    PyObject *verdicts_for_ = nullptr;
};

// One filter option of an extraction, its properties read once.
struct XicOption {
    nb::object acquisition_condition, extract_mz_range;
    size_t matcher;
    RangeTest range;
    std::optional<Bound> min, max;  // the m/z window, read at the first scan
    nb::list result;

    XicOption(nb::object condition, nb::object mz_range, nb::handle retention_time_range, size_t matcher)
        : acquisition_condition(std::move(condition)), extract_mz_range(std::move(mz_range)), matcher(matcher),
          range(retention_time_range) {}

    zarn::WindowValue scan(std::span<const Point> points, bool ascending) {
        if (!min) {
            min.emplace(nb::getattr(extract_mz_range, "min"));
            max.emplace(nb::getattr(extract_mz_range, "max"));
        }
        const bool search = ascending && min->native() && max->native();
        const size_t start = search ? zarn::window_start(points, min->number()) : 0;
        return zarn::window_value(
            points, start, [&](double x) { return min->greater(x); }, [&](double x) { return max->less(x); });
    }
};

nb::object smallest(const std::vector<nb::object> &values, int op) {
    nb::object best = values.front();
    for (size_t i = 1; i < values.size(); ++i)
        if (compare(values[i], best, op)) best = values[i];
    return best;
}

nb::list multiple_xic(QualAnalysisObject &a, nb::handle options) {
    constexpr const char *kNoOptions = "chromatogram_filter_options is null or empty";
    if (options.is_none() || length(options) == 0) throw zarn::PlainError(kNoOptions);
    const Items items(options);
    std::vector<XicOption> chosen;
    chosen.reserve(items.size());
    OptionMatchers matchers;
    WantedConditions wanted;
    std::vector<nb::object> lows, highs;
    bool every_range = true;
    for (size_t k = 0; k < items.size(); ++k) {
        nb::object option = items[k];
        if (option.is_none()) throw zarn::PlainError("element of chromatogram_filter_options should not be null");
        nb::object condition = nb::getattr(option, "acquisition_condition");
        if (condition.is_none()) throw zarn::PlainError("acquisition_condition should not be null");
        nb::object mz_range = nb::getattr(option, "extract_mz_range");
        if (mz_range.is_none()) throw zarn::PlainError("extract_mz_range should not be null");
        wanted.add(condition);
        nb::object rt_range = nb::getattr(option, "retention_time_range");
        if (rt_range.is_none()) {
            every_range = false;
        } else {
            lows.push_back(nb::getattr(rt_range, "min"));
            highs.push_back(nb::getattr(rt_range, "max"));
        }
        const size_t matcher = matchers.add(condition);
        chosen.emplace_back(std::move(condition), std::move(mz_range), rt_range, matcher);
    }
    // Spectra outside every option's range are not read.
    std::optional<RangeTest> combined;
    if (every_range)
        combined.emplace(make_value(ValueRange{smallest(lows, Py_LT), smallest(highs, Py_GT)}));

    const SpectrumList spectra = listed(a);
    std::vector<std::pair<size_t, Chosen>> to_read;
    for (size_t i = 0; i < spectra->size(); ++i) {
        InternalSpectrumDescriptionObject &d = description_of((*spectra)[i]);
        const std::optional<double> rt = d.rec().retention_time;
        if (!rt || !wanted.contains(or_none(d.acquisition_condition))) continue;
        if (combined && !combined->contains(*rt)) continue;
        to_read.emplace_back(i, Chosen{d.rec().index, *rt});
    }

    Reader &reader = reader_of(a.reader);
    for (const auto &[i, chosen_spectrum] : to_read) {
        const nb::object &entry = (*spectra)[i];
        InternalSpectrumDescriptionObject &d = description_of(entry);
        zarn::move_to_stored_position(reader, position_of(entry), "Spectrum");
        const std::vector<Point> points = zarn::read_spectrum(reader);
        const bool ascending = zarn::ascending(points);
        for (XicOption &option : chosen) {
            if (matchers.differs(option.matcher, or_none(d.acquisition_condition))) continue;
            if (!option.range.none() && !option.range.contains(chosen_spectrum.retention_time)) continue;
            const zarn::WindowValue v = option.scan(points, ascending);
            option.result.append(chromatogram_point(chosen_spectrum, num_of(v.sum), Num::of_float(v.base_x)));
        }
    }
    nb::list out;
    for (XicOption &option : chosen) out.append(option.result);
    return out;
}

nb::list xic(QualAnalysisObject &a, nb::handle option) {
    if (option.is_none()) throw zarn::PlainError("chromatogram_filter_option is null");
    nb::list one;
    one.append(option);
    return nb::borrow<nb::list>(multiple_xic(a, one)[0]);
}

// The list position of the spectrum nearest to `retention_time` among those
// that `counts` lets through; -1 when there is none.
template <typename Counts>
int64_t nearest_position(const AnalysisObject &a, nb::handle retention_time, Counts &&counts) {
    const bool native = PyFloat_Check(retention_time.ptr()) || PyLong_Check(retention_time.ptr());
    const double target = native ? as_double(retention_time) : 0.0;
    double smallest = DBL_MAX;
    nb::object smallest_object = nb::float_(DBL_MAX);
    int64_t found = -1;
    const SpectrumList spectra = listed(a);
    for (size_t i = 0; i < spectra->size(); ++i) {
        InternalSpectrumDescriptionObject &d = description_of((*spectra)[i]);
        const std::optional<double> rt = counts(d);
        if (!rt) continue;
        if (native) {
            const double difference = std::fabs(*rt - target);
            if (difference < smallest) {
                smallest = difference;
                found = int64_t(i);
            }
            continue;
        }
        nb::object difference =
            nb::steal(PyNumber_Absolute(nb::object(nb::float_(*rt) - nb::borrow(retention_time)).ptr()));
        if (!difference.is_valid()) throw nb::python_error();
        if (compare(difference, smallest_object, Py_LT)) {
            smallest_object = difference;
            found = int64_t(i);
        }
    }
    if (found < 0) throw zarn::PlainError(kNoRetentionTime);
    return found;
}

nb::object get_spectrum(QualAnalysisObject &a, nb::handle index) {
    const SpectrumList spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_spectrum((*spectra)[i], index);
}

nb::object find_nearest_spectrum(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time) {
    ConditionMatcher match(condition, false);
    const int64_t found = nearest_position(
        a, retention_time, [&](InternalSpectrumDescriptionObject &d) { return counted_time(d, match); });
    return get_spectrum(a, nb::int_(found));
}

// ---------------------------------------------------------------- DADAnalysis

nb::object get_dad_spectrum(DADAnalysisObject &a, nb::handle index) {
    const SpectrumList spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_dad_spectrum((*spectra)[i], index, qual_field(a, "wavelength_arr"));
}

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

std::vector<Point> read_dad_points(Reader &reader, const std::optional<std::vector<double>> &axis) {
    return axis ? zarn::read_dad_spectrum(reader, *axis) : zarn::read_spectrum(reader);
}

nb::list dad_chromatogram(DADAnalysisObject &a, nb::handle extract_wavelength_range) {
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    Reader &reader = reader_of(a.reader);
    std::optional<std::pair<double, double>> band;  // read after the first spectrum
    nb::list out;
    const SpectrumList spectra = listed(a);
    for (const nb::object &entry : *spectra) {
        InternalSpectrumDescriptionObject &d = description_of(entry);
        if (!d.rec().retention_time) continue;
        const Chosen spectrum{d.rec().index, *d.rec().retention_time};
        zarn::move_to_stored_position(reader, position_of(entry), "Spectrum");
        const std::vector<Point> points = read_dad_points(reader, axis);
        if (!band) {
            const double min = as_double(to_float(nb::getattr(extract_wavelength_range, "min")));
            const double max = as_double(to_float(nb::getattr(extract_wavelength_range, "max")));
            band.emplace(min, max);
        }
        const zarn::BandValue v = zarn::dad_band_average(points, band->first, band->second);
        out.append(chromatogram_point(spectrum, num_of(v.intensity), Num::of_float(v.base_x)));
    }
    return out;
}

nb::list max_plot(DADAnalysisObject &a, nb::handle extract_wavelength_range, nb::handle wavelength_tolerance) {
    const nb::object tolerance = to_float(wavelength_tolerance);
    const double tol = as_double(tolerance);
    // The collector takes the band widened by the tolerance on both sides.
    zarn::XicRange widened;
    const Bound min{nb::getattr(extract_wavelength_range, "min")};
    widened.min = number_of(min.object() - tolerance);
    const Bound max{nb::getattr(extract_wavelength_range, "max")};
    widened.max = number_of(max.object() + tolerance);
    zarn::XicRange *ranges[] = {&widened};
    zarn::XicSink sink(ranges);
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    Reader &reader = reader_of(a.reader);
    nb::list out;
    const SpectrumList spectra = listed(a);
    for (const nb::object &entry : *spectra) {
        InternalSpectrumDescriptionObject &d = description_of(entry);
        if (!d.rec().retention_time) continue;
        const Chosen spectrum{d.rec().index, *d.rec().retention_time};
        zarn::move_to_stored_position(reader, position_of(entry), "Spectrum");
        widened.is_break_to_read = false;
        widened.spectrum_point.clear();
        if (axis)
            zarn::read_dad_spectrum_for_multiple_xic(reader, *axis, sink);
        else
            zarn::read_spectrum_for_multiple_xic(reader, sink);
        const zarn::MaxPlotValue v = zarn::max_plot_value(
            widened.spectrum_point, [&](double x) { return min.greater(x); }, [&](double x) { return max.less(x); },
            tol);
        switch (v.kind) {
            case zarn::MaxPlotValue::NoPoint:
                out.append(chromatogram_point(spectrum, Num::of_int(0), Num::of_int(-1)));
                break;
            case zarn::MaxPlotValue::EmptyWindow:
                out.append(chromatogram_point(spectrum, Num::of_int(0), Num::of_float(v.base_x)));
                break;
            case zarn::MaxPlotValue::Mean:
                out.append(chromatogram_point(spectrum, Num::of_float(v.mean), Num::of_float(v.base_x)));
                break;
        }
    }
    return out;
}

nb::object find_nearest_dad_spectrum(DADAnalysisObject &a, nb::handle retention_time) {
    const int64_t found = nearest_position(
        a, retention_time,
        [](InternalSpectrumDescriptionObject &d) { return d.rec().retention_time; });
    return get_dad_spectrum(a, nb::int_(found));
}

// ---------------------------------------------------------------- registration

template <typename T>
void analysis_fields(nb::class_<T> &cls, const char *prefix) {
    const std::string p = prefix;
    cls.def_prop_ro((p + "function_index").c_str(), [](T &a) { return or_none(a.function_index); })
        .def_prop_ro((p + "index").c_str(), [](T &a) { return or_none(a.index); })
        .def_prop_ro((p + "reader").c_str(), [](T &a) { return or_none(a.reader); })
        .def_prop_ro("index", [](T &a) { return or_none(a.index); })
        .def_prop_ro("supplemental_properties", [](T &a) { return qual_field(a, "supplemental_properties"); })
        .def("get_spectra_count", [](T &a) { return a.count(); });
}

template <typename T>
void spectrum_fields(nb::class_<T> &cls, const char *prefix) {
    const std::string p = prefix;
    cls.def_prop_ro((p + "spectrum_index").c_str(), [](T &s) { return or_none(s.spectrum_index); })
        .def_prop_ro((p + "index").c_str(), [](T &s) { return or_none(s.index); })
        .def_prop_ro((p + "spectrum_points").c_str(), [](T &s) { return or_none(s.spectrum_points); })
        .def_prop_ro("index", [](T &s) { return or_none(s.index); })
        .def_prop_ro("retention_time", [](T &s) { return description_field(s.spectrum_index, "retention_time"); })
        .def_prop_ro("supplemental_properties",
                     [](T &s) { return description_field(s.spectrum_index, "supplemental_properties"); });
}

}  // namespace

NB_MODULE(qual, m) {
    init_module_support();
    require_value_types();
    for (const char *name : {"zarn_data_access._internal._enum", "zarn_data_access._internal._reader",
                             "zarn_data_access._internal._description", "zarn_data_access._internal._index"})
        nb::module_::import_(name);
    nb::module_ description = nb::module_::import_("zarn_data_access._internal._description");
    for (const char *name : {"VendorSpecificAdditionalConditionTypes", "TripleQScanTypes"})
        m.attr(name) = description.attr(name);

    register_conditions(m);

    // ---- Spectrum
    auto spectrum = record_class<SpectrumObject>(m, "Spectrum");
    spectrum.def_static("_Spectrum__create_instance", &new_spectrum, "spectrum_index"_a.none(), "index"_a.none());
    spectrum.def("__str__", points_text<SpectrumObject, spectrum_points>)
        .def("__repr__", points_text<SpectrumObject, spectrum_points>);
    spectrum_fields(spectrum, "_Spectrum__");
    for (const char *name : {"acquisition_condition", "precursor_index", "product_indices", "spectrum_type"})
        spectrum.def_prop_ro(name, [name](SpectrumObject &s) { return description_field(s.spectrum_index, name); });
    spectrum.def("get_spectrum_points", &spectrum_points)
        .def("get_profile_spectrum_points", &profile_spectrum_points);

    // ---- DADSpectrum
    auto dad_spectrum = record_class<DADSpectrumObject>(m, "DADSpectrum");
    dad_spectrum.def_static("_DADSpectrum__create_instance", &new_dad_spectrum, "spectrum_index"_a.none(),
                            "index"_a.none(), "wavelength_arr"_a.none());
    dad_spectrum.def("__str__", points_text<DADSpectrumObject, dad_spectrum_points>)
        .def("__repr__", points_text<DADSpectrumObject, dad_spectrum_points>);
    spectrum_fields(dad_spectrum, "_DADSpectrum__");
    dad_spectrum
        .def_prop_ro("_DADSpectrum__wavelength_arr", [](DADSpectrumObject &s) { return or_none(s.wavelength_arr); })
        .def("get_spectrum_points", &dad_spectrum_points);

    // ---- QualAnalysis
    auto qual = record_class<QualAnalysisObject>(m, "QualAnalysis");
    qual.def_static("_QualAnalysis__create_instance", &create_analysis<QualAnalysisObject, read_qual>,
                    "function_index"_a.none(), "index"_a.none());
    qual.def("__str__",
             [](QualAnalysisObject &a) {
                 nb::object text = nb::steal(PyUnicode_FromFormat(
                     "%U, %zd spectrum conditions", counted_text(or_none(a.index), a.count(), "spectra").ptr(),
                     length(or_none(a.unique_acquisition_conditions))));
                 if (!text.is_valid()) throw nb::python_error();
                 return text;
             })
        .def("__repr__", [](nb::handle self) { return nb::str(self); })
        .def("_QualAnalysis__read", &read_qual);
    analysis_fields(qual, "_QualAnalysis__");
    qual.def_prop_ro("unique_acquisition_conditions",
                     [](QualAnalysisObject &a) { return or_none(a.unique_acquisition_conditions); })
        .def("get_spectrum", &get_spectrum, "index"_a.none())
        .def(
            "get_tic",
            [](QualAnalysisObject &a, nb::handle condition, nb::handle range) {
                return stored_totals(a, condition, range, false);
            },
            "acquisition_condition"_a.none(), "retention_time_range"_a.none() = nb::none())
        .def(
            "get_bpc",
            [](QualAnalysisObject &a, nb::handle condition, nb::handle range) {
                return stored_totals(a, condition, range, true);
            },
            "acquisition_condition"_a.none(), "retention_time_range"_a.none() = nb::none())
        .def("get_xic", &xic, "chromatogram_filter_option"_a.none())
        .def("get_multiple_xic", &multiple_xic, "chromatogram_filter_options"_a.none())
        .def("find_nearest_spectrum", &find_nearest_spectrum, "acquisition_condition"_a.none(),
             "retention_time"_a.none());

    // ---- DADAnalysis
    auto dad = record_class<DADAnalysisObject>(m, "DADAnalysis");
    dad.def_static("_DADAnalysis__create_instance", &create_analysis<DADAnalysisObject, read_dad>,
                   "function_index"_a.none(), "index"_a.none());
    dad.def("__str__",
            [](DADAnalysisObject &a) { return counted_text(or_none(a.index), a.count(), "spectra"); })
        .def("__repr__", [](nb::handle self) { return nb::str(self); })
        .def("_DADAnalysis__read", &read_dad);
    analysis_fields(dad, "_DADAnalysis__");
    dad.def("get_spectrum", &get_dad_spectrum, "index"_a.none())
        .def("get_chromatogram", &dad_chromatogram, "extract_wavelength_range"_a.none())
        .def("get_max_plot", &max_plot, "extract_wavelength_range"_a.none(), "wavelength_tolerance"_a.none())
        .def("find_nearest_spectrum", &find_nearest_dad_spectrum, "retention_time"_a.none());
}

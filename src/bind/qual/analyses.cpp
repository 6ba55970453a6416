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
#include <string_view>
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

// The maker's condition that a record's supplemental keys select.
zarn::SpectrumConditionKey::Maker record_maker(const zarn::InternalSpectrumDescription &r) {
    return zarn::SpectrumConditionKey::maker_of(
        [&](std::string_view key) { return r.supplemental_properties.contains(key); });
}

// The condition key of a record as read.
zarn::SpectrumConditionKey key_of(const zarn::InternalSpectrumDescription &r) {
    return zarn::SpectrumConditionKey(r, record_maker(r), default_polarity_value());
}

// The spectra of an analysis as the core's walks take them: a made
// spectrum answers from its objects, any other from the native table.
class Spectra {
public:
    explicit Spectra(SpectraTable table) : t_(std::move(table)) {}

    size_t size() const { return t_->size(); }
    const zarn::InternalSpectrumDescription &record(size_t i) const {
        return t_->made(i) ? description_of(t_->objects[i]).rec() : t_->records[i];
    }
    int64_t position(size_t i) const { return t_->made(i) ? position_of(t_->objects[i]) : t_->positions[i]; }
    // Whether spectrum i's condition is only its native key so far.
    bool keyed(size_t i) const { return t_->conditions == NativeSpectra::Conditions::OwnEach && !t_->made(i); }
    // The key of a keyed spectrum, whose record is still the one read.
    zarn::SpectrumConditionKey key(size_t i) const { return key_of(t_->records[i]); }
    size_t group(size_t i) const { return t_->condition_of[i]; }
    size_t groups() const { return t_->firsts.size(); }
    // The spectrum's public condition, as it stands now.
    nb::object condition(size_t i) const {
        if (PyObject *c = condition_key(i)) return nb::borrow(c);
        spectrum_index_object(*t_, i);
        return nb::borrow(condition_key(i));
    }
    bool any_keyed() const { return t_->conditions == NativeSpectra::Conditions::OwnEach; }
    bool made(size_t i) const { return t_->made(i); }
    // The function's stored conditions that spectra not made yet answer.
    const std::vector<nb::object> &stored_conditions() const { return t_->bound; }
    // Makes every spectrum's objects.
    void make_all() const {
        GcPause pause;
        for (size_t i = 0; i < size(); ++i) spectrum_index_object(*t_, i);
    }
    // The spectrum's public condition without the GIL and without a
    // reference, only to look it up among objects the caller holds (then it
    // is the object held); null for a keyed spectrum, which has no object yet.
    PyObject *condition_key(size_t i) const {
        if (!t_->made(i)) {
            if (t_->conditions == NativeSpectra::Conditions::Stored) {
                const uint32_t j = t_->condition_of[i];
                return j == NativeSpectra::kUnbound ? Py_None : t_->bound[j].ptr();
            }
            if (t_->conditions == NativeSpectra::Conditions::None) return Py_None;
            return nullptr;
        }
        const nb::object &c = description_of(t_->objects[i]).acquisition_condition;
        return c.is_valid() ? c.ptr() : Py_None;
    }

private:
    SpectraTable t_;
};

// Whether the spectra's conditions differ from a caller's: a keyed
// spectrum's compares natively with the caller's plain condition, once per
// group of equal keys; a made one's, or any where the caller's condition is
// not plain (every spectrum is then made first), as the interpreter
// compares them.
class SpectrumMatcher {
public:
    SpectrumMatcher(const Spectra &spectra, nb::handle condition, bool caller_first)
        : spectra_(spectra), python_(condition, caller_first) {
        if (!spectra.any_keyed()) return;
        plain_ = plain_condition(condition, caller_first);
        if (plain_)
            verdicts_.assign(spectra.groups(), kUnknown);
        else
            spectra.make_all();
    }

    bool differs(size_t i) {
        if (!spectra_.keyed(i)) return python_.differs(spectra_.condition(i));
        int8_t &v = verdicts_[spectra_.group(i)];
        if (v == kUnknown)
            v = plain_->may_equal(spectra_.record(i)) && plain_->equals(spectra_.key(i)) ? kSame : kDiffers;
        return v == kDiffers;
    }

private:
    static constexpr int8_t kUnknown = 0, kDiffers = 1, kSame = 2;
    const Spectra &spectra_;
    ConditionMatcher python_;
    std::optional<PlainCondition> plain_;
    std::vector<int8_t> verdicts_;
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

// The spectrum index block (the reader's version must be known): every
// spectrum's positions and description, kept native.
class SpectrumIndexReading {
public:
    SpectrumIndexReading(AnalysisObject &a, Reader &reader) : a_(a), reader_(reader) { table_->reader = a.reader; }

    void begin(size_t capacity) {
        table_->records.reserve(capacity);
        table_->positions.reserve(capacity);
    }
    void spectrum(int64_t i, int64_t position) {
        table_->positions.push_back(position);
        zarn::InternalSpectrumDescription &record = table_->records.emplace_back();
        record.index = i;
        read_internal_spectrum_description(reader_, record);
    }
    void listed() {
        table_->objects.resize(table_->records.size());
        a_.spectra = table_;
    }
    void profile(int64_t i, int64_t position) {
        if (table_->profile_positions.empty()) table_->profile_positions.assign(table_->size(), 0);
        table_->profile_positions[size_t(i)] = position;
    }

private:
    AnalysisObject &a_;
    Reader &reader_;
    SpectraTable table_ = std::make_shared<NativeSpectra>();
};

void read_spectrum_index_block(AnalysisObject &a) {
    const ReaderUse use(a.reader);
    Reader &reader = use.reader();
    const int64_t position = to_i64_saturating(nb::getattr(a.function_index, "_FunctionIndex__position"));
    zarn::walk_spectrum_index_block(reader, position, SpectrumIndexReading(a, reader));
}

// Gives every spectrum its public condition and the analysis its list of
// distinct conditions: from the function's stored list, or from the
// spectra, grouped by value and sorted. Conditions made per spectrum are
// only keyed here; their objects come with the spectrum's, and the list
// with its first use.
void bind_acquisition_conditions(QualAnalysisObject &a) {
    const SpectraTable table = listed(a);
    NativeSpectra &t = *table;
    nb::object stored = qual_field(a, "unique_acquisition_condition_list");
    if (stored.is_none()) {
        zarn::ConditionGroups groups = zarn::group_conditions(t.size(), [&](size_t i) { return key_of(t.records[i]); });
        t.condition_of.assign(groups.group_of.begin(), groups.group_of.end());
        t.firsts = std::move(groups.firsts);
        t.conditions = NativeSpectra::Conditions::OwnEach;
        a.unique_acquisition_conditions.reset();
        a.unique_from = table;
        return;
    }
    const Items items(stored);
    nb::list unique;
    for (size_t k = 0; k < items.size(); ++k) unique.append(make_acquisition_condition(items[k]));
    std::vector<nb::object> bound;
    bound.reserve(items.size());
    for (size_t k = 0; k < items.size(); ++k) bound.push_back(unique[k]);
    t.bound = std::move(bound);
    t.condition_of.assign(t.size(), NativeSpectra::kUnbound);
    t.conditions = NativeSpectra::Conditions::Stored;
    const Spectra spectra(table);
    for (size_t i = 0; i < t.size(); ++i) {
        const size_t j = zarn::stored_condition_position(spectra.record(i).acquisition_condition_index, t.bound.size());
        t.condition_of[i] = uint32_t(j);
        if (!t.made(i)) continue;
        nb::object replaced = t.bound[j];
        with_reader_lock(t.reader, [&] { std::swap(description_of(t.objects[i]).acquisition_condition, replaced); });
    }
    a.unique_acquisition_conditions = std::move(unique);
    a.unique_from.reset();
}

}  // namespace

nb::object qual_field(const AnalysisObject &a, const char *name) {
    return nb::getattr(qual_description_of(a), (std::string("_QualDescription__") + name).c_str());
}

SpectraTable listed(const AnalysisObject &a) { return a.spectra ? a.spectra : std::make_shared<NativeSpectra>(); }

nb::object spectrum_index_object(NativeSpectra &t, size_t i) {
    assert_gil("making a spectrum's objects");
    if (t.made(i)) return t.objects[i];
    const zarn::InternalSpectrumDescription &r = t.records[i];
    nb::object description = create<InternalSpectrumDescriptionObject>(
        [&](InternalSpectrumDescriptionObject &d) {
            d.record = r;
            d.table_reader = t.reader;
        },
        r.index);
    InternalSpectrumDescriptionObject &d = *nb::inst_ptr<InternalSpectrumDescriptionObject>(description);
    if (t.conditions == NativeSpectra::Conditions::OwnEach) {
        d.acquisition_condition = condition_from_description(d, maker_of(d));
    } else if (t.conditions == NativeSpectra::Conditions::Stored && t.condition_of[i] != NativeSpectra::kUnbound) {
        d.acquisition_condition = t.bound[t.condition_of[i]];
    }
    nb::object entry = create<SpectrumIndexObject>([&](SpectrumIndexObject &o) {
        o.reader = t.reader;
        o.position = t.positions[i];
        o.spectrum_description = std::move(description);
        o.profile_position = t.profile_positions.empty() ? 0 : t.profile_positions[i];
    });
    // Making the objects may have run Python code that asked for them too.
    // The slot is written under the reader's lock: a walk on another thread
    // reads the table without the GIL.
    with_reader_lock(t.reader, [&] {
        if (!t.made(i)) t.objects[i] = std::move(entry);
    });
    return t.objects[i];
}

nb::list spectrum_index_list(const AnalysisObject &a) {
    const SpectraTable t = listed(a);
    Spectra(t).make_all();
    nb::list out;
    for (const nb::object &o : t->objects) out.append(o);
    return out;
}

nb::object unique_conditions(QualAnalysisObject &a) {
    if (!a.unique_acquisition_conditions.is_valid() && a.unique_from) {
        const SpectraTable t = a.unique_from;
        const Spectra spectra(t);
        // Many spectra may have conditions of their own: their objects are
        // made at once, with the collector paused.
        GcPause pause;
        // The groups in the order of the list.
        std::vector<size_t> order(t->firsts.size());
        std::vector<zarn::SpectrumConditionKey> keys;
        keys.reserve(order.size());
        for (size_t g = 0; g < order.size(); ++g) {
            order[g] = g;
            keys.push_back(key_of(t->records[t->firsts[g]]));
        }
        zarn::sort_condition_groups(order, keys);
        nb::list unique;
        for (size_t g : order) unique.append(spectra.condition(t->firsts[g]));
        if (!a.unique_acquisition_conditions.is_valid() && a.unique_from == t) {
            a.unique_acquisition_conditions = std::move(unique);
            a.unique_from.reset();
        }
    }
    return or_none(a.unique_acquisition_conditions);
}

Py_ssize_t unique_count(QualAnalysisObject &a) {
    if (!a.unique_acquisition_conditions.is_valid() && a.unique_from) return Py_ssize_t(a.unique_from->firsts.size());
    return length(or_none(a.unique_acquisition_conditions));
}

void read_qual(QualAnalysisObject &a) {
    read_spectrum_index_block(a);
    bind_acquisition_conditions(a);
}

void read_dad(DADAnalysisObject &a) { read_spectrum_index_block(a); }

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
    std::optional<MzWindow> bounds;     // read before the walk, when that runs no caller's code
    // The window values of the spectra it took, made into points at the end.
    std::vector<std::pair<Chosen, zarn::WindowValue>> taken;

    XicOption(nb::object condition, nb::object mz_range, nb::handle retention_time_range, size_t matcher)
        : acquisition_condition(std::move(condition)),
          extract_mz_range(std::move(mz_range)),
          matcher(matcher),
          range(retention_time_range) {}

    const MzWindow &window() {
        if (!mz_window) {
            if (!bounds) with_gil([&] { read_bounds(); });
            mz_window = std::move(bounds);
        }
        return *mz_window;
    }
    // Reads the bounds (with the GIL) for window() to take.
    void read_bounds() {
        bounds.emplace(
            MzWindow{Bound(nb::getattr(extract_mz_range, "min")), Bound(nb::getattr(extract_mz_range, "max"))});
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
        assert_gil("making extracted-ion chromatograms");
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
    // Keyed spectra are matched natively when every option's condition is
    // plain; otherwise every spectrum is made first.
    Extraction(FilterOptions &options, const Spectra &spectra) : o_(options), spectra_(spectra) {
        for (const XicOption &option : o_.chosen_) {
            std::optional<PlainCondition> plain = plain_condition(option.acquisition_condition, true);
            if (!plain) {
                plain_.clear();
                if (spectra.any_keyed()) spectra.make_all();
                return;
            }
            plain_.push_back(std::move(*plain));
        }
        if (spectra.any_keyed()) wanted_groups_.assign(spectra.groups(), 0);
        if (!calls_no_caller_code()) return;
        judge_known_conditions();
        // Plain ValueRanges: reading their bounds now runs no caller's code
        // and spares the walk a GIL take per option.
        for (XicOption &option : o_.chosen_) option.read_bounds();
    }

    // Whether the walk can run none of the caller's code: every option's
    // condition is plain (checked by the caller) and its ranges are
    // ValueRanges of plain numbers.
    bool calls_no_caller_code() const {
        static nb::handle value_range = nb::type<ValueRange>();
        for (const XicOption &option : o_.chosen_) {
            if (!option.range.none() && !option.range.native()) return false;
            nb::handle mz = option.extract_mz_range;
            if (Py_TYPE(mz.ptr()) != (PyTypeObject *)value_range.ptr()) return false;
            const ValueRange &r = *nb::inst_ptr<ValueRange>(mz);
            if (!Bound(r.min).native() || !Bound(r.max).native()) return false;
        }
        return true;
    }
    // Judges now, with the GIL, the plain conditions that the spectra hold
    // so far (the function's stored ones, those of the spectra made), so
    // that the walk answers them without taking the GIL for each new one
    // (beside a busy thread, each take may wait a switch interval): judging
    // a plain condition runs no caller's code, and nothing can change it
    // meanwhile when the walk runs none either.
    void judge_known_conditions() {
        auto judge = [&](nb::handle condition) {
            if (o_.wanted_.known(condition.ptr()) || !plain_condition(condition, true)) return;
            o_.wanted_.contains(condition);
            for (const XicOption &option : o_.chosen_) o_.matchers_.differs(option.matcher, condition);
        };
        for (const nb::object &condition : spectra_.stored_conditions()) judge(condition);
        for (size_t i = 0; i < spectra_.size(); ++i)
            if (spectra_.made(i)) judge(spectra_.condition(i));
    }

    bool wanted(size_t i) {
        if (!spectra_.keyed(i)) {
            if (const std::optional<bool> known = o_.wanted_.known(spectra_.condition_key(i))) return *known;
            return with_gil([&] { return o_.wanted_.contains(spectra_.condition(i)); });
        }
        int8_t &v = wanted_groups_[spectra_.group(i)];
        if (v == 0)
            v = std::any_of(plain_.begin(), plain_.end(), [&](const PlainCondition &p) { return equal(p, i); }) ? 2 : 1;
        return v == 2;
    }
    bool in_combined(double rt) { return !o_.combined_ || o_.combined_->contains(rt); }
    size_t options() const { return o_.chosen_.size(); }
    bool matches(size_t k, size_t i) {
        if (spectra_.keyed(i)) return equal(plain_[k], i);
        const size_t matcher = o_.chosen_[k].matcher;
        if (const std::optional<bool> known = o_.matchers_.known(matcher, spectra_.condition_key(i))) return !*known;
        return with_gil([&] { return !o_.matchers_.differs(matcher, spectra_.condition(i)); });
    }
    bool in_range(size_t k, double rt) {
        RangeTest &range = o_.chosen_[k].range;
        return range.none() || range.contains(rt);
    }
    const MzWindow &window(size_t k) { return o_.chosen_[k].window(); }
    // The option's window when it has been read, without reading it.
    const MzWindow *known_window(size_t k) const {
        const std::optional<MzWindow> &w = o_.chosen_[k].mz_window;
        return w ? &*w : nullptr;
    }
    void take(size_t k, const Chosen &spectrum, const zarn::WindowValue &v) {
        o_.chosen_[k].taken.emplace_back(spectrum, v);
    }

private:
    FilterOptions &o_;
    const Spectra &spectra_;
    // Whether a keyed spectrum's condition equals a plain one.
    bool equal(const PlainCondition &p, size_t i) {
        return p.may_equal(spectra_.record(i)) && p.equals(key_of_spectrum(i));
    }
    // The key of a keyed spectrum, kept while the options are offered it.
    const zarn::SpectrumConditionKey &key_of_spectrum(size_t i) {
        if (!key_ || key_for_ != i) {
            key_.emplace(spectra_.key(i));
            key_for_ = i;
        }
        return *key_;
    }

    std::vector<PlainCondition> plain_;
    std::vector<int8_t> wanted_groups_;  // per group: 0 unknown, 1 not wanted, 2 wanted
    std::optional<zarn::SpectrumConditionKey> key_;
    size_t key_for_ = 0;
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
    SpectrumMatcher match(spectra, condition, false);
    RangeTest range(retention_time_range);
    nb::list out;
    // An absent total is the integer 0.
    auto total = [](const std::optional<double> &v) { return v ? Num::of_float(*v) : Num::of_int(0); };
    zarn::stored_totals(
        spectra, base_peak, [&](size_t i) { return !match.differs(i); },
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
    use.native([&] { zarn::extract_windows(use.reader(), spectra, extraction); });
    return read.results();
}

nb::list xic(QualAnalysisObject &a, nb::handle option) {
    if (option.is_none()) throw zarn::Misuse(zarn::kNoFilterOption);
    nb::list one;
    one.append(option);
    return nb::borrow<nb::list>(multiple_xic(a, one)[0]);
}

nb::object get_spectrum(QualAnalysisObject &a, nb::handle index) {
    const SpectraTable spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_spectrum(spectrum_index_object(*spectra, i), index);
}

nb::object find_nearest_spectrum(QualAnalysisObject &a, nb::handle condition, nb::handle retention_time) {
    std::optional<SpectrumMatcher> match;
    const int64_t found = nearest_position(a, retention_time, [&](const Spectra &spectra, size_t i) {
        if (!match) match.emplace(spectra, condition, false);
        return zarn::counted_time(spectra, i, [&](size_t j) { return !match->differs(j); });
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
    const SpectraTable spectra = listed(a);
    const size_t i = checked_position(index, spectra->size());
    return new_dad_spectrum(spectrum_index_object(*spectra, i), index, qual_field(a, "wavelength_arr"));
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
    use.native([&] {
        zarn::dad_chromatogram(
            use.reader(), spectra, axis, band,
            [&](const Chosen &spectrum, const zarn::BandValue &v) { values.emplace_back(spectrum, v); });
    });
    assert_gil("making a DAD chromatogram");
    nb::list out;
    for (const auto &[spectrum, v] : values)
        out.append(chromatogram_point(spectrum, num_of(v.intensity), Num::of_float(v.base_x)));
    return out;
}

nb::list max_plot(DADAnalysisObject &a, nb::handle extract_wavelength_range, nb::handle wavelength_tolerance) {
    const nb::object tolerance = to_float(wavelength_tolerance);
    const double tol = as_double(tolerance);
    // The collector takes the band widened by the tolerance on both sides.
    // The band's bounds are asked once a spectrum's points are collected.
    const Bound min{nb::getattr(extract_wavelength_range, "min")};
    const Number widened_min = number_of(min.object() - tolerance);
    const Bound max{nb::getattr(extract_wavelength_range, "max")};
    const Number widened_max = number_of(max.object() + tolerance);
    const std::optional<std::vector<double>> axis = wavelength_axis(a);
    const ReaderUse use(a.reader);
    const Spectra spectra(listed(a));
    std::vector<std::pair<Chosen, zarn::MaxPlotValue>> values;
    use.native([&] {
        zarn::max_plot(use.reader(), spectra, axis, widened_min, widened_max, min, max, tol,
                       [&](const Chosen &spectrum, const zarn::MaxPlotValue &v) { values.emplace_back(spectrum, v); });
    });
    assert_gil("making a max plot");
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

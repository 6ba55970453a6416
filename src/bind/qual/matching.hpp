// The native predicates that the analyses make once from a caller's objects:
// whether a spectrum's condition differs from the caller's, whether a
// condition is one that a list of options wants, and whether a retention
// time lies in the caller's range. Each asks the caller's own objects only
// where their comparisons or methods are their own.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/numbers.hpp"
#include "points.hpp"
#include "qual/conditions.hpp"
#include "qual/helpers.hpp"
#include "threading.hpp"
#include "values.hpp"

namespace zarn::py {

namespace nb = nanobind;

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
    // The verdict on a condition already judged, found without the GIL; none
    // for a new one.
    std::optional<bool> known(PyObject *spectrum_condition) const {
        const auto it = memo_.find(spectrum_condition);
        if (it == memo_.end()) return std::nullopt;
        return it->second.second;
    }

private:
    nb::handle condition_;
    bool caller_first_;
    std::unordered_map<PyObject *, std::pair<nb::object, bool>> memo_;
};

// x <= y for native numbers (false with a NaN).
inline bool at_most(const Number &x, const Number &y) {
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
    // Whether contains() is answered in C++.
    bool native() const { return bounds_.has_value(); }
    bool contains(double value) {
        if (bounds_) {
            const Number v = Number::real(value);
            return at_most(bounds_->first, v) && at_most(v, bounds_->second);
        }
        return with_gil([&] {
            if (!method_.is_valid()) method_ = nb::getattr(range_, "contains_value");
            return truth(method_(value));
        });
    }

private:
    nb::object range_, method_;
    std::optional<std::pair<Number, Number>> bounds_;
};

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
    // Whether a condition already looked up is wanted, found without the
    // GIL; none for a new one.
    std::optional<bool> known(PyObject *condition) const {
        const auto it = memo_.find(condition);
        if (it == memo_.end()) return std::nullopt;
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
    // differs(k, spectrum_condition) without the GIL where matcher k has
    // judged the condition already; none where it has not.
    std::optional<bool> known(size_t k, PyObject *spectrum_condition) {
        if (spectrum_condition == verdicts_for_ && verdicts_[k] != kUnknown) return verdicts_[k] == kDiffers;
        const std::optional<bool> verdict = matchers_[k].known(spectrum_condition);
        if (!verdict) return std::nullopt;
        if (spectrum_condition != verdicts_for_) {
            verdicts_.assign(matchers_.size(), kUnknown);
            verdicts_for_ = spectrum_condition;
        }
        verdicts_[k] = *verdict ? kDiffers : kSame;
        return verdict;
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

}  // namespace zarn::py

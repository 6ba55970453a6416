// What the description records imply beyond their stored values, the same
// for every caller: the kind of analysis a function makes, and what a
// field that the file does not store stands for.
#pragma once

#include <cstdint>
#include <optional>

#include "records/records.hpp"

namespace zarn {

// The analysis a function makes, from its description alone: a
// qualitative function with the MS detector a qualitative MS analysis, one
// with any other detector a DAD analysis; a quantitative one with MS a SIM
// or SRM analysis, else an analog trace.
enum class FunctionKind : uint8_t { Qual, Dad, Quan, Analog };
inline constexpr int kFunctionKindCount = 4;

FunctionKind function_kind(const FunctionDescription &d);

// The spectrum type that a spectrum's measured flag stands for, as its
// SpectrumTypes value: no flag UNKNOWN, a set flag PROFILE, a clear flag
// CENTROID.
enum class MeasuredSpectrumType : uint8_t { Unknown = 1, Profile = 2, Centroid = 3 };

MeasuredSpectrumType measured_spectrum_type(const std::optional<bool> &is_profile_spectrum_measured);
inline MeasuredSpectrumType measured_spectrum_type(const InternalSpectrumDescription &d) {
    return measured_spectrum_type(d.is_profile_spectrum_measured);
}

// The MS level of a condition: the stored one, 1 when none is stored.
inline constexpr int64_t kDefaultMsLevel = 1;
template <typename I>
int64_t ms_level_or_default(const std::optional<I> &stored) {
    return stored ? int64_t(*stored) : kDefaultMsLevel;
}

// The name of the member that a field of the shared value module's
// enumeration `kind` holds when the file does not store it: UNKNOWN for a
// compound type, NA for the others.
const char *absent_member_name(ValueEnum kind);

}  // namespace zarn

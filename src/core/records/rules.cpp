#include "records/rules.hpp"

namespace zarn {

FunctionKind function_kind(const FunctionDescription &d) {
    if (d.is_qual.value_or(false)) {
        const bool ms = d.qual_description && d.qual_description->detector_type == DetectorType::MS;
        return ms ? FunctionKind::Qual : FunctionKind::Dad;
    }
    const bool ms = d.quan_description && d.quan_description->detector_type == DetectorType::MS;
    return ms ? FunctionKind::Quan : FunctionKind::Analog;
}

MeasuredSpectrumType measured_spectrum_type(const std::optional<bool> &is_profile_spectrum_measured) {
    if (!is_profile_spectrum_measured) return MeasuredSpectrumType::Unknown;
    return *is_profile_spectrum_measured ? MeasuredSpectrumType::Profile : MeasuredSpectrumType::Centroid;
}

const char *absent_member_name(ValueEnum kind) { return kind == ValueEnum::CompoundType ? "UNKNOWN" : "NA"; }

}  // namespace zarn

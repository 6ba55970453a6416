// Description records of a Zarn container: the tagged-property records that
// describe measurements, functions, spectra and acquisition conditions.
//
// Each record is parsed straight from the reader's window into a plain
// struct. An absent optional is a field the record did not carry; what that
// field is to a caller (None, the integer 0, an enumeration's default
// member) is said at the field. Nested records are held by shared_ptr so that
// the binding can hand out one object per nested record without copying it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/datetime.hpp"
#include "format/enums.hpp"
#include "io/reader.hpp"

namespace zarn {

// Enumerations of the package's shared value module, which the container
// stores as tiny numbers. Records keep the stored integer; which integers
// are members is learnt from the enumerations themselves when the binding
// loads (set_value_enum_members), so that the core refuses exactly what the
// enumeration refuses, at the place where it is read.
enum class ValueEnum : uint8_t { Polarity, SpectrumType, QuanAnalysisType, CompoundType, InstrumentManufacturer };
inline constexpr int kValueEnumCount = 5;

const char *value_enum_name(ValueEnum kind);
// Bit v of `members` set: the stored value v (0-63) is a member.
void set_value_enum_members(ValueEnum kind, uint64_t members);
// `value` when it is a member, else EnumLookupError.
int64_t check_value_enum(ValueEnum kind, int64_t value);

struct Range {
    double min = 0.0, max = 0.0;
};

// Key/value pairs in the order in which each key was first inserted; a key
// set again keeps its place and takes the new value.
class SupplementalProperties {
public:
    using Item = std::pair<std::string, std::string>;

    void set(std::string key, std::string value);
    // Adds the pairs of one stored string: pairs separated by U+241E, key
    // and value by U+241F; a piece without exactly one U+241F is ignored.
    void add_stored(std::string_view text);
    // Adds every pair of `other`, in its order.
    void merge(const SupplementalProperties &other);
    const std::string *find(std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    const std::vector<Item> &items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() {
        items_.clear();
        index_.reset();
    }
    SupplementalProperties() = default;
    SupplementalProperties(const SupplementalProperties &other) : items_(other.items_) { build_index(); }
    SupplementalProperties(SupplementalProperties &&) noexcept = default;
    SupplementalProperties &operator=(SupplementalProperties other) noexcept {
        items_.swap(other.items_);
        index_.swap(other.index_);
        return *this;
    }

private:
    void build_index();

    std::vector<Item> items_;
    // Built only for long lists, where a linear search would be slow.
    std::unique_ptr<std::unordered_map<std::string, size_t>> index_;
};

// ---------------------------------------------------------------- records

struct MeasurementDescription {
    std::optional<std::string> hash;
    std::optional<std::string> sample_name;
    std::optional<std::string> sample_id;
    std::optional<std::string> acquisition_method_file_name;
    std::optional<double> dilution_factor;
    std::optional<double> injection_volume;
    std::optional<std::string> original_file_path;
    std::optional<std::string> instrument_product_name;
    std::optional<std::string> measurement_user_name;
    std::optional<std::string> plate_code;
    std::optional<std::string> well_code;
    std::optional<DateTimeFields> measurement_date_time;
    std::optional<int64_t> instrument_manufacturer;  // InstrumentManufacturers value
    std::optional<std::string> source_file_definition;
    SupplementalProperties supplemental_properties;
};

struct VendorSpecificAdditionalCondition {
    std::optional<VendorConditionType> type;
    std::optional<int64_t> original_id;
    std::optional<double> cone_voltage;
    std::optional<std::string> scan_info_string;
};

struct TripleQScanCondition {
    std::optional<TripleQScanType> type;
    std::optional<double> target_mz;
    std::optional<Range> q1_range;
    std::optional<Range> q3_range;
};

struct InternalAcquisitionCoreCondition {
    std::optional<int64_t> ms_level;
    std::optional<int64_t> polarity;  // PolarityTypes value; absent: PolarityTypes.NA
    std::optional<double> collision_energy;
    std::optional<Range> mass_range;
    std::optional<int64_t> original_measured_spectrum_type;  // SpectrumTypes value; absent: SpectrumTypes.NA
    std::shared_ptr<VendorSpecificAdditionalCondition> vendor_specific_additional_condition;
    std::shared_ptr<TripleQScanCondition> triple_q_scan_condition;
};

struct InternalAcquisitionCondition {
    int64_t internal_acquisition_core_condition_index = 0;
    std::optional<double> precursor_value;
    std::optional<Range> precursor_range;
    std::optional<std::vector<int64_t>> product_indices;
    // The linked core condition: set by the qualitative description that
    // holds both lists; null while unlinked.
    std::shared_ptr<InternalAcquisitionCoreCondition> internal_acquisition_core_condition;
};

struct QualDescription {
    std::optional<std::vector<double>> wavelength_arr;
    DetectorType detector_type = DetectorType::NA;
    std::optional<std::vector<std::shared_ptr<InternalAcquisitionCoreCondition>>> unique_acquisition_core_condition_list;
    std::optional<std::vector<std::shared_ptr<InternalAcquisitionCondition>>> unique_acquisition_condition_list;
    SupplementalProperties supplemental_properties;
};

struct QuanDescription {
    std::optional<bool> is_quan_transition;
    std::optional<double> collision_energy;
    std::optional<std::string> compound_name;
    std::optional<double> q1;
    std::optional<double> q3;
    std::optional<double> estimated_retention_time;
    std::optional<double> extract_value;
    std::optional<double> extract_tolerance;
    std::optional<int64_t> quan_analysis_type;  // QuanAnalysisTypes value; absent: QuanAnalysisTypes.NA
    std::optional<int64_t> compound_type;       // CompoundTypes value; absent: CompoundTypes.UNKNOWN
    DetectorType detector_type = DetectorType::NA;
    std::optional<int64_t> polarity_type;  // PolarityTypes value; absent: PolarityTypes.NA
    std::optional<double> concentration;
    SupplementalProperties supplemental_properties;
};

// Exactly one of the two descriptions is set once the record has been read.
struct FunctionDescription {
    std::optional<bool> is_qual;
    std::shared_ptr<QualDescription> qual_description;
    std::shared_ptr<QuanDescription> quan_description;
};

// One per spectrum, so the fields are laid out compactly.
struct InternalSpectrumDescription {
    int64_t index = 0;
    std::optional<double> cone_voltage;  // absent: the integer 0
    std::optional<double> retention_time;
    std::optional<double> collision_energy;
    std::optional<double> precursor_value;
    // Absent: the integer 0 (no totals stored, or not read yet).
    std::optional<double> current_total_ion;
    std::optional<double> base_peak_mz;
    std::optional<double> base_peak_intensity;
    std::optional<Range> precursor_range;
    std::optional<Range> mass_range;
    std::optional<std::vector<int64_t>> product_indices;
    SupplementalProperties supplemental_properties;
    std::optional<int32_t> precursor_index;
    int32_t acquisition_condition_index = 0;
    std::optional<uint16_t> ms_level;
    std::optional<uint8_t> polarity;       // PolarityTypes value; absent: PolarityTypes.NA
    std::optional<uint8_t> spectrum_type;  // SpectrumTypes value; absent: SpectrumTypes.NA
    std::optional<bool> is_profile_spectrum_measured;
    bool has_total_ion_base_peak = false;
};

// ---------------------------------------------------------------- reading
//
// Each reads one record at the reader's position into `out`, overwriting
// the fields that the record carries and adding to its supplemental
// properties, and leaves the reader after the record. A failure propagates
// with `out` holding what was read before it.

void read_measurement_description(Reader &reader, MeasurementDescription &out);
void read_vendor_specific_additional_condition(Reader &reader, VendorSpecificAdditionalCondition &out);
void read_triple_q_scan_condition(Reader &reader, TripleQScanCondition &out);
void read_internal_acquisition_core_condition(Reader &reader, InternalAcquisitionCoreCondition &out);
void read_internal_acquisition_condition(Reader &reader, InternalAcquisitionCondition &out);
// Links each condition to its core condition after the property loop.
void read_qual_description(Reader &reader, QualDescription &out);
// Consults the reader's format version (a leading boolean before 3.6).
void read_quan_description(Reader &reader, QuanDescription &out);
void read_function_description(Reader &reader, FunctionDescription &out);
// Consults the reader's format version when totals are stored.
void read_internal_spectrum_description(Reader &reader, InternalSpectrumDescription &out);

// The reader's format version; AttributeError (as for the reader's missing
// version fields) before the header reader has set it.
const Version &format_version(const Reader &reader);

}  // namespace zarn

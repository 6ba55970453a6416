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
//
// Each record's stored properties are listed once, one line each, as
//   X(id, type, name, read)
// `id` is the property's stored number; `type` and `name` are the member
// that holds it (the bindings give the field the same name), declared in
// the order of the list; `read` says how its payload is read (records.cpp):
// a function of the reader whose result the member takes, or a function of
// the reader and the member. A member that holds a nested record takes a
// new record, which then reads itself.
//
// Enumerations of the shared value module are kept as their stored value;
// what a member the file does not store reads as is said at the record.

#define ZARN_DECLARE_PROPERTY(id, type, name, read) type name{};

#define ZARN_MEASUREMENT_DESCRIPTION_PROPERTIES(X)                                                             \
    X(1, std::optional<std::string>, sample_name, &Reader::read_string)                                        \
    X(2, std::optional<std::string>, sample_id, &Reader::read_string)                                          \
    X(3, std::optional<std::string>, acquisition_method_file_name, &Reader::read_string)                       \
    X(4, std::optional<double>, dilution_factor, &Reader::read_double)                                         \
    X(5, std::optional<double>, injection_volume, &Reader::read_double)                                        \
    X(6, std::optional<std::string>, original_file_path, &Reader::read_string)                                 \
    X(7, std::optional<std::string>, instrument_product_name, &Reader::read_string)                            \
    X(8, std::optional<std::string>, measurement_user_name, &Reader::read_string)                              \
    X(9, std::optional<std::string>, plate_code, &Reader::read_string)                                         \
    X(10, std::optional<std::string>, well_code, &Reader::read_string)                                         \
    X(11, std::optional<DateTimeFields>, measurement_date_time, &Reader::read_datetime)                        \
    X(12, std::optional<int64_t>, instrument_manufacturer, read_value_enum<ValueEnum::InstrumentManufacturer>) \
    X(13, std::optional<std::string>, source_file_definition, &Reader::read_string)                            \
    X(55, SupplementalProperties, supplemental_properties, read_supplemental)

// instrument_manufacturer: an InstrumentManufacturers value.
struct MeasurementDescription {
    std::optional<std::string> hash;  // stored before the properties
    ZARN_MEASUREMENT_DESCRIPTION_PROPERTIES(ZARN_DECLARE_PROPERTY)
};

#define ZARN_VENDOR_SPECIFIC_ADDITIONAL_CONDITION_PROPERTIES(X)                \
    X(1, std::optional<VendorConditionType>, type, read_vendor_condition_type) \
    X(2, std::optional<int64_t>, original_id, &Reader::read_int32)             \
    X(3, std::optional<double>, cone_voltage, &Reader::read_double)            \
    X(4, std::optional<std::string>, scan_info_string, &Reader::read_string)

struct VendorSpecificAdditionalCondition {
    ZARN_VENDOR_SPECIFIC_ADDITIONAL_CONDITION_PROPERTIES(ZARN_DECLARE_PROPERTY)
};

#define ZARN_TRIPLE_Q_SCAN_CONDITION_PROPERTIES(X)               \
    X(1, std::optional<TripleQScanType>, type, read_scan_type)   \
    X(2, std::optional<double>, target_mz, &Reader::read_double) \
    X(3, std::optional<Range>, q1_range, read_range)             \
    X(4, std::optional<Range>, q3_range, read_range)

struct TripleQScanCondition {
    ZARN_TRIPLE_Q_SCAN_CONDITION_PROPERTIES(ZARN_DECLARE_PROPERTY)
};

#define ZARN_INTERNAL_ACQUISITION_CORE_CONDITION_PROPERTIES(X)                                              \
    X(1, std::optional<int64_t>, ms_level, &Reader::read_uint16)                                            \
    X(3, std::optional<int64_t>, polarity, read_value_enum<ValueEnum::Polarity>)                            \
    X(2, std::optional<double>, collision_energy, &Reader::read_double)                                     \
    X(4, std::optional<Range>, mass_range, read_range)                                                      \
    X(5, std::optional<int64_t>, original_measured_spectrum_type, read_value_enum<ValueEnum::SpectrumType>) \
    X(6, std::shared_ptr<VendorSpecificAdditionalCondition>, vendor_specific_additional_condition,          \
      read_vendor_specific_additional_condition)                                                            \
    X(7, std::shared_ptr<TripleQScanCondition>, triple_q_scan_condition, read_triple_q_scan_condition)

// polarity: a PolarityTypes value, absent PolarityTypes.NA;
// original_measured_spectrum_type: a SpectrumTypes value, absent
// SpectrumTypes.NA.
struct InternalAcquisitionCoreCondition {
    ZARN_INTERNAL_ACQUISITION_CORE_CONDITION_PROPERTIES(ZARN_DECLARE_PROPERTY)
};

#define ZARN_INTERNAL_ACQUISITION_CONDITION_PROPERTIES(X)                         \
    X(1, int64_t, internal_acquisition_core_condition_index, &Reader::read_int32) \
    X(2, std::optional<double>, precursor_value, &Reader::read_double)            \
    X(3, std::optional<Range>, precursor_range, read_range)                       \
    X(4, std::optional<std::vector<int64_t>>, product_indices, &Reader::read_int32_array)

struct InternalAcquisitionCondition {
    ZARN_INTERNAL_ACQUISITION_CONDITION_PROPERTIES(ZARN_DECLARE_PROPERTY)
    // The linked core condition: set by the qualitative description that
    // holds both lists; null while unlinked.
    std::shared_ptr<InternalAcquisitionCoreCondition> internal_acquisition_core_condition;
};

#define ZARN_QUAL_DESCRIPTION_PROPERTIES(X)                                                                            \
    X(1, std::optional<std::vector<double>>, wavelength_arr, &Reader::read_single_array)                               \
    X(2, DetectorType, detector_type, read_detector_type)                                                              \
    X(3, std::optional<std::vector<std::shared_ptr<InternalAcquisitionCoreCondition>>>,                                \
      unique_acquisition_core_condition_list, read_core_condition_list)                                                \
    X(4, std::optional<std::vector<std::shared_ptr<InternalAcquisitionCondition>>>, unique_acquisition_condition_list, \
      read_condition_list)                                                                                             \
    X(55, SupplementalProperties, supplemental_properties, read_supplemental)

// detector_type: absent DetectorType::NA.
struct QualDescription {
    ZARN_QUAL_DESCRIPTION_PROPERTIES(ZARN_DECLARE_PROPERTY)
};

#define ZARN_QUAN_DESCRIPTION_PROPERTIES(X)                                                        \
    X(13, std::optional<bool>, is_quan_transition, &Reader::read_bool)                             \
    X(1, std::optional<double>, collision_energy, &Reader::read_double)                            \
    X(2, std::optional<std::string>, compound_name, &Reader::read_string)                          \
    X(3, std::optional<double>, q1, &Reader::read_double)                                          \
    X(4, std::optional<double>, q3, &Reader::read_double)                                          \
    X(5, std::optional<double>, estimated_retention_time, &Reader::read_double)                    \
    X(6, std::optional<double>, extract_value, &Reader::read_double)                               \
    X(7, std::optional<double>, extract_tolerance, &Reader::read_double)                           \
    X(8, std::optional<int64_t>, quan_analysis_type, read_value_enum<ValueEnum::QuanAnalysisType>) \
    X(9, std::optional<int64_t>, compound_type, read_value_enum<ValueEnum::CompoundType>)          \
    X(10, DetectorType, detector_type, read_detector_type)                                         \
    X(11, std::optional<int64_t>, polarity_type, read_value_enum<ValueEnum::Polarity>)             \
    X(12, std::optional<double>, concentration, &Reader::read_double)                              \
    X(55, SupplementalProperties, supplemental_properties, read_supplemental)

// quan_analysis_type: a QuanAnalysisTypes value, absent
// QuanAnalysisTypes.NA; compound_type: a CompoundTypes value, absent
// CompoundTypes.UNKNOWN; detector_type: absent DetectorType::NA;
// polarity_type: a PolarityTypes value, absent PolarityTypes.NA.
struct QuanDescription {
    ZARN_QUAN_DESCRIPTION_PROPERTIES(ZARN_DECLARE_PROPERTY)
};

static_assert(DetectorType{} == DetectorType::NA);

// Exactly one of the two descriptions is set once the record has been read.
struct FunctionDescription {
    std::optional<bool> is_qual;
    std::shared_ptr<QualDescription> qual_description;
    std::shared_ptr<QuanDescription> quan_description;
};

#define ZARN_INTERNAL_SPECTRUM_DESCRIPTION_PROPERTIES(X)                                  \
    X(1, std::optional<double>, cone_voltage, &Reader::read_double)                       \
    X(4, std::optional<double>, retention_time, &Reader::read_double)                     \
    X(5, std::optional<double>, collision_energy, &Reader::read_double)                   \
    X(6, std::optional<double>, precursor_value, &Reader::read_double)                    \
    X(10, std::optional<Range>, precursor_range, read_range)                              \
    X(11, std::optional<Range>, mass_range, read_range)                                   \
    X(7, std::optional<std::vector<int64_t>>, product_indices, &Reader::read_int32_array) \
    X(55, SupplementalProperties, supplemental_properties, read_supplemental)             \
    X(2, std::optional<int32_t>, precursor_index, &Reader::read_int32)                    \
    X(13, int32_t, acquisition_condition_index, &Reader::read_int32)                      \
    X(3, std::optional<uint16_t>, ms_level, &Reader::read_uint16)                         \
    X(8, std::optional<uint8_t>, polarity, read_value_enum<ValueEnum::Polarity>)          \
    X(9, std::optional<uint8_t>, spectrum_type, read_value_enum<ValueEnum::SpectrumType>) \
    X(12, std::optional<bool>, is_profile_spectrum_measured, &Reader::read_bool)

// One per spectrum, so the members are laid out compactly. cone_voltage:
// absent the integer 0; polarity: a PolarityTypes value, absent
// PolarityTypes.NA; spectrum_type: a SpectrumTypes value, absent
// SpectrumTypes.NA.
struct InternalSpectrumDescription {
    int64_t index = 0;
    // Stored after the properties; absent: the integer 0 (no totals
    // stored, or not read yet).
    std::optional<double> current_total_ion;
    std::optional<double> base_peak_mz;
    std::optional<double> base_peak_intensity;
    ZARN_INTERNAL_SPECTRUM_DESCRIPTION_PROPERTIES(ZARN_DECLARE_PROPERTY)
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

// The reader's format version; VersionNotSet before the header reader has
// set it.
const Version &format_version(const Reader &reader);

}  // namespace zarn

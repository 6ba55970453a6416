#include "records/records.hpp"

#include <array>

namespace zarn {

// ---------------------------------------------------------------- enumerations

namespace {

std::array<uint64_t, kValueEnumCount> g_value_enum_members{};

}  // namespace

const char *value_enum_name(ValueEnum kind) {
    switch (kind) {
        case ValueEnum::Polarity: return "PolarityTypes";
        case ValueEnum::SpectrumType: return "SpectrumTypes";
        case ValueEnum::QuanAnalysisType: return "QuanAnalysisTypes";
        case ValueEnum::CompoundType: return "CompoundTypes";
        case ValueEnum::InstrumentManufacturer: return "InstrumentManufacturers";
    }
    return "";
}

void set_value_enum_members(ValueEnum kind, uint64_t members) { g_value_enum_members[size_t(kind)] = members; }

int64_t check_value_enum(ValueEnum kind, int64_t value) {
    if (value < 0 || value > 63 || !(g_value_enum_members[size_t(kind)] >> value & 1))
        throw EnumLookupError(value_enum_name(kind), value);
    return value;
}

// ---------------------------------------------------------------- supplemental properties

namespace {

// U+241E and U+241F in UTF-8. Stored text is valid UTF-8, so a byte match
// is a character match.
constexpr std::string_view kRecordSeparator = "\xE2\x90\x9E";
constexpr std::string_view kUnitSeparator = "\xE2\x90\x9F";
constexpr size_t kIndexThreshold = 16;

}  // namespace

void SupplementalProperties::build_index() {
    if (items_.size() < kIndexThreshold) return;
    index_ = std::make_unique<std::unordered_map<std::string, size_t>>();
    for (size_t i = 0; i < items_.size(); ++i) index_->emplace(items_[i].first, i);
}

void SupplementalProperties::set(std::string key, std::string value) {
    if (index_) {
        auto it = index_->find(key);
        if (it != index_->end()) {
            items_[it->second].second = std::move(value);
            return;
        }
        index_->emplace(key, items_.size());
        items_.emplace_back(std::move(key), std::move(value));
        return;
    }
    for (Item &item : items_) {
        if (item.first == key) {
            item.second = std::move(value);
            return;
        }
    }
    items_.emplace_back(std::move(key), std::move(value));
    build_index();
}

void SupplementalProperties::add_stored(std::string_view text) {
    size_t start = 0;
    while (true) {
        const size_t end = text.find(kRecordSeparator, start);
        const std::string_view piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        const size_t unit = piece.find(kUnitSeparator);
        if (unit != std::string_view::npos &&
            piece.find(kUnitSeparator, unit + kUnitSeparator.size()) == std::string_view::npos)
            set(std::string(piece.substr(0, unit)), std::string(piece.substr(unit + kUnitSeparator.size())));
        if (end == std::string_view::npos) break;
        start = end + kRecordSeparator.size();
    }
}

void SupplementalProperties::merge(const SupplementalProperties &other) {
    for (const Item &item : other.items_) set(item.first, item.second);
}

const std::string *SupplementalProperties::find(std::string_view key) const {
    if (index_) {
        auto it = index_->find(std::string(key));
        return it == index_->end() ? nullptr : &items_[it->second].second;
    }
    for (const Item &item : items_)
        if (item.first == key) return &item.second;
    return nullptr;
}

// ---------------------------------------------------------------- reading helpers

namespace {

// The tagged-property loop: while the next byte is a property id (0x00 to
// 0x37), `read_known(id)` reads the value of a known id and returns true;
// the value of an unknown id is skipped whole.
template <typename F>
void read_properties(Reader &reader, F &&read_known) {
    while (reader.is_tiny_uint()) {
        const int64_t id = reader.read_tiny_uint();
        if (!read_known(id)) reader.skip_object();
    }
}

Range read_range(Reader &reader) {
    const double min = reader.read_double();
    const double max = reader.read_double();
    return Range{min, max};
}

int64_t read_value_enum(Reader &reader, ValueEnum kind) { return check_value_enum(kind, reader.read_tiny_uint()); }

void read_supplemental(Reader &reader, SupplementalProperties &out) { out.add_stored(reader.read_string()); }

// Python-style list indexing: a negative index counts from the back.
size_t list_index(int64_t k, size_t size) {
    const int64_t n = int64_t(size);
    const int64_t i = k < 0 ? k + n : k;
    if (i < 0 || i >= n) throw IndexError("list index out of range");
    return size_t(i);
}

bool version_at_most_3_5(const Reader &reader) {
    const Version &v = format_version(reader);
    return v.major == 3 && v.minor <= 5;
}

}  // namespace

const Version &format_version(const Reader &reader) {
    if (!reader.has_version())
        throw AttributeError("'KxmFileReader' object has no attribute '_KxmFileReader__major_version'");
    return reader.version();
}

// ---------------------------------------------------------------- records

void read_measurement_description(Reader &reader, MeasurementDescription &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_MEASUREMENT_DESCRIPTION);
    out.hash = reader.read_string();
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.sample_name = reader.read_string(); return true;
            case 2: out.sample_id = reader.read_string(); return true;
            case 3: out.acquisition_method_file_name = reader.read_string(); return true;
            case 4: out.dilution_factor = reader.read_double(); return true;
            case 5: out.injection_volume = reader.read_double(); return true;
            case 6: out.original_file_path = reader.read_string(); return true;
            case 7: out.instrument_product_name = reader.read_string(); return true;
            case 8: out.measurement_user_name = reader.read_string(); return true;
            case 9: out.plate_code = reader.read_string(); return true;
            case 10: out.well_code = reader.read_string(); return true;
            case 11: out.measurement_date_time = reader.read_datetime(); return true;
            case 12: out.instrument_manufacturer = read_value_enum(reader, ValueEnum::InstrumentManufacturer); return true;
            case 13: out.source_file_definition = reader.read_string(); return true;
            case 55: read_supplemental(reader, out.supplemental_properties); return true;
            default: return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_MEASUREMENT_DESCRIPTION);
}

void read_vendor_specific_additional_condition(Reader &reader, VendorSpecificAdditionalCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ADDITIONAL_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.type = vendor_condition_type_from_value(reader.read_tiny_uint()); return true;
            case 2: out.original_id = reader.read_int32(); return true;
            case 3: out.cone_voltage = reader.read_double(); return true;
            case 4: out.scan_info_string = reader.read_string(); return true;
            default: return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ADDITIONAL_CONDITION);
}

void read_triple_q_scan_condition(Reader &reader, TripleQScanCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ADDITIONAL_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.type = scan_type_from_value(reader.read_tiny_uint()); return true;
            case 2: out.target_mz = reader.read_double(); return true;
            case 3: out.q1_range = read_range(reader); return true;
            case 4: out.q3_range = read_range(reader); return true;
            default: return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ADDITIONAL_CONDITION);
}

void read_internal_acquisition_core_condition(Reader &reader, InternalAcquisitionCoreCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ACQUISITION_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.ms_level = reader.read_uint16(); return true;
            case 2: out.collision_energy = reader.read_double(); return true;
            case 3: out.polarity = read_value_enum(reader, ValueEnum::Polarity); return true;
            case 4: out.mass_range = read_range(reader); return true;
            case 5: out.original_measured_spectrum_type = read_value_enum(reader, ValueEnum::SpectrumType); return true;
            case 6: {
                // The new record takes the field first and then reads itself,
                // so that a failure leaves it there partly read. It is read
                // through a reference of its own: whatever replaces the field
                // meanwhile, the record stays alive until its read is over.
                auto record = std::make_shared<VendorSpecificAdditionalCondition>();
                out.vendor_specific_additional_condition = record;
                read_vendor_specific_additional_condition(reader, *record);
                return true;
            }
            case 7: {
                auto record = std::make_shared<TripleQScanCondition>();
                out.triple_q_scan_condition = record;
                read_triple_q_scan_condition(reader, *record);
                return true;
            }
            default: return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ACQUISITION_CONDITION);
}

void read_internal_acquisition_condition(Reader &reader, InternalAcquisitionCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ACQUISITION_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.internal_acquisition_core_condition_index = reader.read_int32(); return true;
            case 2: out.precursor_value = reader.read_double(); return true;
            case 3: out.precursor_range = read_range(reader); return true;
            case 4: out.product_indices = reader.read_int32_array(); return true;
            default: return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ACQUISITION_CONDITION);
}

namespace {

// A stored count followed by that many records. The count only bounds the
// loop: records are appended as they are read, so a count larger than the
// records present fails on the first record that is not there.
template <typename Record, typename Read>
std::vector<std::shared_ptr<Record>> read_record_list(Reader &reader, Read read) {
    const int64_t n = reader.read_int32();
    std::vector<std::shared_ptr<Record>> list;
    for (int64_t i = 0; i < n; ++i) {
        auto record = std::make_shared<Record>();
        read(reader, *record);
        list.push_back(std::move(record));
    }
    return list;
}

}  // namespace

void read_qual_description(Reader &reader, QualDescription &out) {
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.wavelength_arr = reader.read_single_array(); return true;
            case 2: out.detector_type = detector_type_from_value(reader.read_tiny_uint()); return true;
            case 3:
                out.unique_acquisition_core_condition_list =
                    read_record_list<InternalAcquisitionCoreCondition>(reader, read_internal_acquisition_core_condition);
                return true;
            case 4:
                out.unique_acquisition_condition_list =
                    read_record_list<InternalAcquisitionCondition>(reader, read_internal_acquisition_condition);
                return true;
            case 55: read_supplemental(reader, out.supplemental_properties); return true;
            default: return false;
        }
    });
    // Linking runs after the loop, so the two lists may come in either order.
    if (out.unique_acquisition_core_condition_list && out.unique_acquisition_condition_list) {
        const auto &cores = *out.unique_acquisition_core_condition_list;
        for (const auto &condition : *out.unique_acquisition_condition_list)
            condition->internal_acquisition_core_condition =
                cores[list_index(condition->internal_acquisition_core_condition_index, cores.size())];
    }
}

void read_quan_description(Reader &reader, QuanDescription &out) {
    if (version_at_most_3_5(reader)) reader.read_bool();  // a leading flag that is not kept
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.collision_energy = reader.read_double(); return true;
            case 2: out.compound_name = reader.read_string(); return true;
            case 3: out.q1 = reader.read_double(); return true;
            case 4: out.q3 = reader.read_double(); return true;
            case 5: out.estimated_retention_time = reader.read_double(); return true;
            case 6: out.extract_value = reader.read_double(); return true;
            case 7: out.extract_tolerance = reader.read_double(); return true;
            case 8: out.quan_analysis_type = read_value_enum(reader, ValueEnum::QuanAnalysisType); return true;
            case 9: out.compound_type = read_value_enum(reader, ValueEnum::CompoundType); return true;
            case 10: out.detector_type = detector_type_from_value(reader.read_tiny_uint()); return true;
            case 11: out.polarity_type = read_value_enum(reader, ValueEnum::Polarity); return true;
            case 12: out.concentration = reader.read_double(); return true;
            case 13: out.is_quan_transition = reader.read_bool(); return true;
            case 55: read_supplemental(reader, out.supplemental_properties); return true;
            default: return false;
        }
    });
    if (out.is_quan_transition)
        out.supplemental_properties.set("IsQuanTransition", *out.is_quan_transition ? "True" : "False");
}

void read_function_description(Reader &reader, FunctionDescription &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_FUNCTION_DESCRIPTION);
    out.is_qual = reader.read_bool();
    // Each description is read through a reference of its own, as the
    // nested condition records are.
    if (*out.is_qual) {
        auto description = std::make_shared<QualDescription>();
        out.qual_description = description;
        read_qual_description(reader, *description);
    } else {
        auto description = std::make_shared<QuanDescription>();
        out.quan_description = description;
        read_quan_description(reader, *description);
    }
    reader.confirm_zarn_symbol(Symbol::END_OF_FUNCTION_DESCRIPTION);
}

void read_internal_spectrum_description(Reader &reader, InternalSpectrumDescription &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_SPECTRUM_DESCRIPTION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            case 1: out.cone_voltage = reader.read_double(); return true;
            case 2: out.precursor_index = int32_t(reader.read_int32()); return true;
            case 3: out.ms_level = uint16_t(reader.read_uint16()); return true;
            case 4: out.retention_time = reader.read_double(); return true;
            case 5: out.collision_energy = reader.read_double(); return true;
            case 6: out.precursor_value = reader.read_double(); return true;
            case 7: out.product_indices = reader.read_int32_array(); return true;
            case 8: out.polarity = uint8_t(read_value_enum(reader, ValueEnum::Polarity)); return true;
            case 9: out.spectrum_type = uint8_t(read_value_enum(reader, ValueEnum::SpectrumType)); return true;
            case 10: out.precursor_range = read_range(reader); return true;
            case 11: out.mass_range = read_range(reader); return true;
            case 12: out.is_profile_spectrum_measured = reader.read_bool(); return true;
            case 13: out.acquisition_condition_index = int32_t(reader.read_int32()); return true;
            case 55: read_supplemental(reader, out.supplemental_properties); return true;
            default: return false;
        }
    });
    out.has_total_ion_base_peak = reader.read_bool();
    if (out.has_total_ion_base_peak) {
        // Doubles from format 3.3 on, Singles before.
        const Version &v = format_version(reader);
        const bool wide = v.major > 3 || (v.major == 3 && v.minor > 2);
        auto read_total = [&]() { return wide ? reader.read_double() : double(reader.read_single()); };
        out.current_total_ion = read_total();
        out.base_peak_mz = read_total();
        out.base_peak_intensity = read_total();
    }
    reader.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM_DESCRIPTION);
}

}  // namespace zarn

#include "records/records.hpp"

#include <array>
#include <functional>
#include <type_traits>

namespace zarn {

// ---------------------------------------------------------------- enumerations

namespace {

std::array<uint64_t, kValueEnumCount> g_value_enum_members{};

}  // namespace

const char *value_enum_name(ValueEnum kind) {
    switch (kind) {
        case ValueEnum::Polarity:
            return "PolarityTypes";
        case ValueEnum::SpectrumType:
            return "SpectrumTypes";
        case ValueEnum::QuanAnalysisType:
            return "QuanAnalysisTypes";
        case ValueEnum::CompoundType:
            return "CompoundTypes";
        case ValueEnum::InstrumentManufacturer:
            return "InstrumentManufacturers";
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
        const std::string_view piece =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
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

template <ValueEnum Kind>
int64_t read_value_enum(Reader &reader) {
    return check_value_enum(Kind, reader.read_tiny_uint());
}

DetectorType read_detector_type(Reader &reader) { return detector_type_from_value(reader.read_tiny_uint()); }
TripleQScanType read_scan_type(Reader &reader) { return scan_type_from_value(reader.read_tiny_uint()); }
VendorConditionType read_vendor_condition_type(Reader &reader) {
    return vendor_condition_type_from_value(reader.read_tiny_uint());
}

void read_supplemental(Reader &reader, SupplementalProperties &out) { out.add_stored(reader.read_string()); }

// A stored count followed by that many records. The count only bounds the
// loop: records are appended as they are read, so a count larger than the
// records present fails on the first record that is not there.
template <typename Record, void (*Read)(Reader &, Record &)>
std::vector<std::shared_ptr<Record>> read_record_list(Reader &reader) {
    const int64_t n = reader.read_int32();
    std::vector<std::shared_ptr<Record>> list;
    for (int64_t i = 0; i < n; ++i) {
        auto record = std::make_shared<Record>();
        Read(reader, *record);
        list.push_back(std::move(record));
    }
    return list;
}

constexpr auto read_core_condition_list =
    read_record_list<InternalAcquisitionCoreCondition, read_internal_acquisition_core_condition>;
constexpr auto read_condition_list =
    read_record_list<InternalAcquisitionCondition, read_internal_acquisition_condition>;

template <typename T>
struct Stored {
    using type = T;
};
template <typename T>
struct Stored<std::optional<T>> {
    using type = T;
};

template <typename T>
inline constexpr bool kIsRecordPointer = false;
template <typename T>
inline constexpr bool kIsRecordPointer<std::shared_ptr<T>> = true;

// Reads one property's payload into its member, as its list says.
template <auto Read, typename Member>
void read_member(Reader &reader, Member &member) {
    if constexpr (std::is_invocable_v<decltype(Read), Reader &, Member &>) {
        std::invoke(Read, reader, member);
    } else if constexpr (kIsRecordPointer<Member>) {
        // The new record takes the member first and then reads itself, so
        // that a failure leaves it there partly read. It is read through a
        // reference of its own: whatever replaces the member meanwhile, the
        // record stays alive until its read is over.
        auto record = std::make_shared<typename Member::element_type>();
        member = record;
        std::invoke(Read, reader, *record);
    } else {
        member = typename Stored<Member>::type(std::invoke(Read, reader));
    }
}

#define ZARN_READ_PROPERTY(id, type, name, read) \
    case id:                                     \
        read_member<read>(reader, out.name);     \
        return true;

// Python-style list indexing: a negative index counts from the back.
size_t list_index(int64_t k, size_t size) {
    const int64_t n = int64_t(size);
    const int64_t i = k < 0 ? k + n : k;
    if (i < 0 || i >= n) throw OutOfRange("list index out of range");
    return size_t(i);
}

bool version_at_most_3_5(const Reader &reader) {
    const Version &v = format_version(reader);
    return v.major == 3 && v.minor <= 5;
}

}  // namespace

const Version &format_version(const Reader &reader) {
    if (!reader.has_version()) throw VersionNotSet();
    return reader.version();
}

// ---------------------------------------------------------------- records

void read_measurement_description(Reader &reader, MeasurementDescription &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_MEASUREMENT_DESCRIPTION);
    out.hash = reader.read_string();
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            ZARN_MEASUREMENT_DESCRIPTION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_MEASUREMENT_DESCRIPTION);
}

void read_vendor_specific_additional_condition(Reader &reader, VendorSpecificAdditionalCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ADDITIONAL_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            ZARN_VENDOR_SPECIFIC_ADDITIONAL_CONDITION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ADDITIONAL_CONDITION);
}

void read_triple_q_scan_condition(Reader &reader, TripleQScanCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ADDITIONAL_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            ZARN_TRIPLE_Q_SCAN_CONDITION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ADDITIONAL_CONDITION);
}

void read_internal_acquisition_core_condition(Reader &reader, InternalAcquisitionCoreCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ACQUISITION_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            ZARN_INTERNAL_ACQUISITION_CORE_CONDITION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ACQUISITION_CONDITION);
}

void read_internal_acquisition_condition(Reader &reader, InternalAcquisitionCondition &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ACQUISITION_CONDITION);
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            ZARN_INTERNAL_ACQUISITION_CONDITION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
        }
    });
    reader.confirm_zarn_symbol(Symbol::END_OF_ACQUISITION_CONDITION);
}

void read_qual_description(Reader &reader, QualDescription &out) {
    read_properties(reader, [&](int64_t id) {
        switch (id) {
            ZARN_QUAL_DESCRIPTION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
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
            ZARN_QUAN_DESCRIPTION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
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
            ZARN_INTERNAL_SPECTRUM_DESCRIPTION_PROPERTIES(ZARN_READ_PROPERTY)
            default:
                return false;
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

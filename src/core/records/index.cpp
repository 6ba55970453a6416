#include "records/index.hpp"

#include <algorithm>
#include <string>

#include "format/md5.hpp"

namespace zarn {

namespace {

constexpr const char *kMagic = "#!Zarn@KXM;";
constexpr const char *kCorrupted = "File is corrupted";

// Version gates compare major and minor only.
bool at_least(const JumpTable &t, int64_t minor) {
    return t.major_version > 3 || (t.major_version == 3 && t.minor_version >= minor);
}

// The integrity check: MD5 of the user info bytes followed by the declared
// range of the file, each byte shifted by 10 + major + minor + revision
// (modulo 256), against the stored digest.
void check_digest(Reader &reader, const JumpTable &t, const std::optional<std::vector<uint8_t>> &user_info) {
    if (!user_info) throw ZarnError(kCorrupted);
    reader.read_uint16();  // a size that is not used
    const int64_t start = reader.read_mini_uint();
    const int64_t size = reader.read_uint32();
    const Bytes stored_bytes = reader.get_bytes(16);
    const std::vector<uint8_t> stored(stored_bytes.begin(), stored_bytes.end());

    // The range must begin inside the file; it is hashed as far as the file
    // holds it, piece by piece.
    if (start >= reader.file_channel_size()) throw ZarnError(kCorrupted);
    Md5 md5;
    md5.update(user_info->data(), user_info->size());
    reader.read_file_range(start, size, [&](Bytes piece) { md5.update(piece.data(), piece.size()); });
    std::array<uint8_t, 16> digest = md5.finish();

    const auto shift = uint8_t((10 + t.major_version + t.minor_version + t.revision_version) & 0xFF);
    for (uint8_t &byte : digest) byte = uint8_t(byte + shift);
    if (stored.size() != digest.size() || !std::equal(digest.begin(), digest.end(), stored.begin()))
        throw ZarnError(kCorrupted);
}

}  // namespace

void move_to_stored_position(Reader &reader, int64_t position, const char *what, int64_t required_size) {
    if (position < 0 || position >= reader.file_channel_size())
        throw ZarnError(std::string(what) + " position " + std::to_string(position) + " lies outside the file");
    reader.source().touch(position);
    reader.set_buffer(position, required_size);
}

void read_function_index_block(Reader &reader, int64_t position, const std::function<void(int64_t)> &each) {
    move_to_stored_position(reader, position, "Measurement");
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_FUNCTION_INDEX_BLOCK);
    const int64_t origin = reader.absolute_position();
    const int64_t count = reader.read_uint16_or_32();
    const std::vector<int64_t> offsets = reader.read_int64_array();
    DecompressedSegment segment(reader, Reader::SegmentContent::Records);
    for (int64_t i = 0; i < count; ++i) {
        if (uint64_t(i) >= offsets.size()) throw OutOfRange("list index out of range");
        const int64_t offset = offsets[size_t(i)];
        int64_t function_position;
        if (__builtin_add_overflow(offset, origin, &function_position))
            throw ZarnError("Function offset " + std::to_string(offset) + " lies outside the file");
        each(function_position);
    }
    segment.close();
    reader.confirm_zarn_symbol(Symbol::END_OF_FUNCTION_INDEX_BLOCK);
}

void read_conversion_options(Reader &reader, ZarnInternalConversionOptions &out) {
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_CONVERSION_OPTION);
    const Version &v = format_version(reader);
    if (v.major == 3 && v.minor <= 5) out.use_specified_chromatogram_intensity_precision = true;
    while (reader.is_tiny_uint()) {
        switch (reader.read_tiny_uint()) {
            case 1:
                out.desired_analysis_type_id = reader.read_tiny_uint();
                break;
            case 2:
                out.keep_only_ms1 = true;
                break;  // no payload: the id alone sets it
            case 3:
                out.keep_profile_spectra = true;
                break;
            case 4:
                out.desired_quan_analysis_type_id = reader.read_mini_uint();
                break;
            case 5:
                out.keep_last_ms_function_in_mse = reader.read_bool();
                break;
            case 6:
                out.mz_accuracy_power = reader.read_tiny_uint();
                break;
            case 7:
                out.rt_accuracy_power = reader.read_tiny_uint();
                break;
            case 8:
                out.ms_intensity_accuracy_power = reader.read_tiny_uint();
                break;
            case 9:
                out.dad_intensity_accuracy_power = reader.read_tiny_uint();
                break;
            case 10:
                out.analog_intensity_accuracy_power = reader.read_tiny_uint();
                break;
            case 11:
                out.use_specified_chromatogram_intensity_precision = reader.read_bool();
                break;
            default:
                reader.skip_object();
                break;
        }
    }
    reader.confirm_zarn_symbol(Symbol::END_OF_CONVERSION_OPTION);
}

void read_measurement_index_entry(Reader &reader, MeasurementIndex &out) {
    out.position = reader.read_int64();
    if (!out.measurement_description) out.measurement_description = std::make_shared<MeasurementDescription>();
    read_measurement_description(reader, *out.measurement_description);
}

void read_jump_table(Reader &reader, JumpTable &out) {
    reader.confirm_zarn_symbol(Symbol::START_OF_ZARN);
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_ZARN_DESCRIPTION);
    if (reader.read_string() != kMagic) throw ZarnError("Zarn header is not correct");

    out.major_version = reader.read_mini_uint();
    out.minor_version = reader.read_mini_uint();
    out.revision_version = reader.read_uint16();
    if (out.major_version > JumpTable::current_major ||
        (out.major_version == JumpTable::current_major && out.minor_version > JumpTable::current_minor))
        throw ZarnVersionError("Unsupported Version: " + std::to_string(out.major_version) + "." +
                               std::to_string(out.minor_version) + "." + std::to_string(out.revision_version) +
                               ". Please update Zarn API.");
    // Before anything that consults the version is read.
    reader.set_version(out.major_version, out.minor_version, out.revision_version);

    const int64_t option = reader.read_uint16();
    if (at_least(out, 3)) {
        out.major_lib_version = reader.read_mini_uint();
        out.minor_lib_version = reader.read_mini_uint();
        out.revision_lib_version = reader.read_uint16();
    }
    std::optional<std::vector<uint8_t>> user_info;
    if (at_least(out, 1)) {
        const int64_t preserved_size = reader.read_uint16();
        const Bytes bytes = reader.get_bytes(preserved_size);
        user_info.emplace(bytes.begin(), bytes.end());
    }
    if (at_least(out, 3)) {
        out.conversion_options = std::make_shared<ZarnInternalConversionOptions>();
        read_conversion_options(reader, *out.conversion_options);
    }
    if ((option & 1) == 1) check_digest(reader, out, user_info);
    reader.confirm_zarn_symbol(Symbol::END_OF_ZARN_DESCRIPTION);

    // The jump table record: the last 20 bytes of the file from 3.3 on,
    // else right after the header description.
    if (at_least(out, 3)) {
        out.jump_table_position = reader.file_channel_size() - 20;
        move_to_stored_position(reader, out.jump_table_position, "Jump table", 64);
    }
    out.jump_table_position = reader.absolute_position();
    reader.confirm_zarn_symbol(Symbol::GLOBAL_JUMP_TABLE);
    out.measurement_index_position = reader.read_int64();
    out.user_def_bytes_position = reader.read_int64();

    read_jump_table_measurement_index(reader, out);
}

void read_jump_table_measurement_index(Reader &reader, JumpTable &out) {
    move_to_stored_position(reader, out.measurement_index_position, "Measurement index");
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_MEASUREMENT_INDEX_BLOCK);
    out.num_measurements = reader.read_uint16_or_32();
    DecompressedSegment segment(reader, Reader::SegmentContent::Records);
    // The count only bounds the loop; entries are appended as they are read.
    std::vector<MeasurementIndex> list;
    for (int64_t i = 0; i < out.num_measurements; ++i) {
        MeasurementIndex entry;
        read_measurement_index_entry(reader, entry);
        list.push_back(std::move(entry));
    }
    out.measurement_index_list = std::move(list);
    segment.close();
    reader.confirm_zarn_symbol(Symbol::END_OF_MEASUREMENT_INDEX_BLOCK);
    reader.confirm_zarn_symbol(Symbol::LIMIT_OF_ZARN);
}

}  // namespace zarn

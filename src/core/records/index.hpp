// The file header, the writer's conversion options, the jump table and the
// measurement index of a Zarn container.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "io/reader.hpp"
#include "records/records.hpp"

namespace zarn {

struct ZarnInternalConversionOptions {
    std::optional<int64_t> desired_analysis_type_id;
    bool keep_only_ms1 = false;
    bool keep_profile_spectra = false;
    std::optional<int64_t> desired_quan_analysis_type_id;
    bool keep_last_ms_function_in_mse = false;
    int64_t mz_accuracy_power = 5;
    int64_t rt_accuracy_power = 5;
    int64_t ms_intensity_accuracy_power = 0;
    int64_t dad_intensity_accuracy_power = 0;
    int64_t analog_intensity_accuracy_power = 0;
    bool use_specified_chromatogram_intensity_precision = false;
};

// Consults the reader's format version: 3.3 to 3.5 start with
// use_specified_chromatogram_intensity_precision true.
void read_conversion_options(Reader &reader, ZarnInternalConversionOptions &out);

struct MeasurementIndex {
    int64_t position = 0;  // absolute file offset of the measurement's function index block
    std::shared_ptr<MeasurementDescription> measurement_description;
};

// One entry of the measurement index block at the reader's place: the
// position, then the description record (read into the entry's description).
void read_measurement_index_entry(Reader &reader, MeasurementIndex &out);

struct JumpTable {
    // The newest format version this library reads.
    static constexpr int64_t current_major = 3;
    static constexpr int64_t current_minor = 6;

    int64_t major_version = 0;
    int64_t minor_version = 0;
    int64_t revision_version = 0;
    int64_t major_lib_version = 0;  // the writer's library version; 0.0.0 before format 3.3
    int64_t minor_lib_version = 0;
    int64_t revision_lib_version = 0;
    std::shared_ptr<ZarnInternalConversionOptions> conversion_options;  // from format 3.3; null before
    int64_t jump_table_position = 0;
    int64_t measurement_index_position = 0;
    int64_t user_def_bytes_position = 0;
    int64_t num_measurements = 0;
    std::vector<MeasurementIndex> measurement_index_list;
};

// Reads and checks the header from the reader's position (offset 0 of a new
// reader): symbols, magic, version gate (ZarnVersionError), the reader's
// version, option word, writer library version, user info bytes, conversion
// options, integrity digest; then the jump table record and the measurement
// index block.
void read_jump_table(Reader &reader, JumpTable &out);

// Reads the measurement index block at out.measurement_index_position.
void read_jump_table_measurement_index(Reader &reader, JumpTable &out);

// Moves the reader to a position that was read from the file (or derived
// from it). The reader itself ignores a position outside the file and would
// go on decoding whatever it stood on; here such a position is a
// ZarnError "<what> position <n> lies outside the file". The stream is
// touched on every move, so that once the file has been closed a read
// fails with the closed stream's own error even where the window (a small
// file is held whole) could still answer.
void move_to_stored_position(Reader &reader, int64_t position, const char *what, int64_t required_size = 0);

// Reads a measurement's function index block at `position`: the begin
// symbol, the function count, the functions' offsets (relative to the byte
// after the begin symbol), the compressed function descriptions and the
// end symbol. For each of the count's functions in order, `each` is called
// with the function's absolute position while the reader stands at that
// function's description in the decompressed window; it reads the
// description. The count bounds the loop and allocates nothing. Failures:
// ZarnError for a block position outside the file or an offset whose sum
// with the origin cannot be held; OutOfRange when the offsets run out
// before the count; a failure inside the descriptions restores the file
// window.
void read_function_index_block(Reader &reader, int64_t position, const std::function<void(int64_t)> &each);

}  // namespace zarn

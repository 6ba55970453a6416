// The container reader: positioned, windowed reading of a Zarn file and the
// decoding of every tagged value of the format.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "format/buffer.hpp"
#include "format/datetime.hpp"
#include "format/enums.hpp"
#include "format/errors.hpp"
#include "format/numbers.hpp"
#include "format/zstd.hpp"

namespace zarn {

using Bytes = std::span<const uint8_t>;

// Where the reader's bytes come from. The Python binding implements it over
// the interpreter's file object, so that a closed stream fails with the file
// object's own error and no descriptor is read behind its back.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Moves to the absolute file offset `position`.
    virtual void seek(int64_t position) = 0;
    // Reads up to `size` bytes into `out` and returns how many were read; a
    // short count means the end of the file.
    virtual size_t read(uint8_t *out, size_t size) = 0;
    // seek(position), then read(out, size), in one step of the source.
    virtual size_t read_at(int64_t position, uint8_t *out, size_t size) {
        seek(position);
        return read(out, size);
    }
    // Runs `work`, a step over about `size` bytes that touches only native
    // memory and no other method of the source; the binding lets other
    // threads run meanwhile.
    virtual void run_native(size_t /*size*/, const std::function<void()> &work) { work(); }
    // Moves to `position` only so that the source is asked at all (a closed
    // one fails); the reader seeks again before it next reads. A source may
    // put the move off (see deferred_touch_source) until its next use.
    virtual void touch(int64_t position) { seek(position); }
    // Makes a move that touch() put off.
    virtual void flush_touch() {}
};

// The source, if any, whose touch the running thread has put off: it is
// made before the thread next runs code that may look at the source. One
// per thread for every module of the process.
ByteSource *&deferred_touch_source();

// The locks of readers that the running thread holds, as the binding keeps
// them (opaque to the core): one list per thread for every module of the
// process, since a lock taken in one module may be given up in another.
std::vector<void *> &held_reader_locks();

// The state that the binding's threads share across every module of the
// process (opaque to the core): made by `make` at the first call, once per
// process, and never destroyed, since threads stopped at exit may still see
// it.
void *shared_thread_state(void *(*make)());

// Makes the touch that the running thread put off, if any.
inline void flush_deferred_touch() {
    ByteSource *&source = deferred_touch_source();
    if (!source) return;
    ByteSource *s = source;
    source = nullptr;
    s->flush_touch();
}

// Cuts an unsigned bit field, most significant bit first, out of bytes.
class BitConverter {
public:
    // Widths beyond 63 bits cannot be returned as a signed 64-bit value.
    explicit BitConverter(int64_t length_of_bit_field);
    int64_t length_of_bit_field() const { return width_; }
    // Field of `width_` bits starting at bit `offset` of `bytes`.
    int64_t get(Bytes bytes, int64_t offset) const;
    // Field inside the single byte `byte` (every bit position wraps into it).
    int64_t get(uint8_t byte, int64_t offset) const;

private:
    int64_t width_;
};

// Converts stored date-time values; stateless.
struct DateTimeParser {};

struct Version {
    int64_t major = 0, minor = 0, revision = 0;
};

class Reader {
public:
    static constexpr int64_t kDefaultBufferSize = 262144;

    // Takes the open file and its size, and loads the first window: the whole
    // file when it is smaller than the default window, else the first
    // kDefaultBufferSize bytes.
    Reader(std::unique_ptr<ByteSource> source, int64_t stream_length);
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader();

    ByteSource &source() { return *source_; }

    // ---- state, as the interface exposes it
    int64_t local_position() const { return local_; }
    int64_t origin_of_local_position() const { return origin_; }
    int64_t after_decompressed_position() const { return after_decompressed_; }
    int64_t default_buffer_size() const { return kDefaultBufferSize; }
    int64_t stream_length() const { return stream_length_; }
    bool is_small_file() const { return small_file_; }
    bool in_decompressed_window() const { return in_decompressed_; }
    const ByteBuffer &common_buffer() const { return buffer_; }
    bool has_version() const { return has_version_; }
    const Version &version() const { return version_; }
    const BitConverter &convert_uint_6() const { return convert6_; }
    const BitConverter &convert_uint_11() const { return convert11_; }
    const BitConverter &convert_uint_12() const { return convert12_; }
    const DateTimeParser &datetime_parser() const { return datetime_parser_; }

    // ---- positioning and windows
    void set_version(int64_t major, int64_t minor, int64_t revision);
    int64_t absolute_position() const { return add_sat(origin_, local_); }
    int64_t file_channel_size() const { return stream_length_; }
    // Makes the file byte at `position` the next one read; a position outside
    // the file is ignored. Leaves a decompressed window first.
    void set_buffer(int64_t position, int64_t required_size = 0, bool force_update_buffer = false);
    // Makes the next `required_size` bytes present, as far as the file holds them.
    void ensure_buffer(int64_t required_size) {
        if (small_file_ || in_decompressed_) return;
        if (int64_t(buffer_.size()) < add_sat(local_, required_size)) reload_for(required_size);
    }
    // The next `size` bytes (fewer at the end of the data); the position
    // advances by `size`. A negative size counts as 0. The span stays valid
    // until the window changes.
    Bytes get_bytes(int64_t size);
    void skip_bytes(int64_t size);
    // Hands the file bytes [position, position + size), as far as the file
    // holds them, to `sink` in pieces of at most 64 KiB, straight from the
    // file and without touching the window or the position.
    void read_file_range(int64_t position, int64_t size, const std::function<void(Bytes)> &sink);
    // What a compressed segment holds: data blocks may take the whole
    // decompression limit, index and description records a limit in
    // proportion to their compressed size.
    enum class SegmentContent { Data, Records };
    // Opens the compressed segment at the position as the window.
    void set_decompressed_buffer(SegmentContent content = SegmentContent::Data);
    // Leaves it: the next byte is the file byte after the compressed bytes.
    void reset_decompressed_buffer();
    // Leaves a decompressed window without touching the file, after a
    // failure inside it. Never throws.
    void abandon_decompressed_buffer() noexcept;
    // Reads the compressed segment at the position (its length and its
    // bytes) and decompresses its content into `out`; the reader then stands
    // after the compressed bytes. Fails as set_decompressed_buffer does.
    void decompress_segment(ByteBuffer &out, SegmentContent content = SegmentContent::Data);
    // The compressed bytes of the segment at the position, for a caller that
    // decompresses them itself (and then sets after_decompressed_position);
    // the reader then stands after them. Fails as set_decompressed_buffer
    // does before it decompresses.
    Bytes compressed_segment();

    // Where the reader stands, so that a decoder can stand there again after
    // caller code, which may have read elsewhere with the same reader, ran.
    struct Mark {
        int64_t position;  // the file offset, or the offset in a decompressed window
        uint64_t window;   // which decompressed window, if in one
        bool decompressed;
    };
    Mark mark() const {
        return in_decompressed_ ? Mark{local_, window_count_, true} : Mark{absolute_position(), 0, false};
    }
    // Stands at `m` again; nothing is read when the reader has not moved.
    // A decompressed window that was left meanwhile cannot be returned to:
    // ZarnError.
    void seat(const Mark &m);
    // Leaves a segment read apart from the reader (see OwnedSegment): the
    // stream is touched at the file offset `m`, as leaving a decompressed
    // window touches it, and the reader stands there.
    void leave_segment(const Mark &m);
    // Bytes that can still be read from the position in the current data: to
    // the end of the window in small-file mode and in a decompressed window,
    // to the end of the file otherwise.
    int64_t remaining() const;

    // ---- tagged values
    Symbol read_zarn_symbol();
    void confirm_zarn_symbol(Symbol expected);
    bool is_tiny_uint();
    bool read_bool();
    int64_t read_tiny_uint();
    int64_t read_mini_uint();
    int64_t read_int16();
    int64_t read_uint16();
    int64_t read_int32();
    int64_t read_uint32();
    int64_t read_int64();
    uint64_t read_uint64();
    float read_single();
    double read_double();
    int64_t read_uint16_or_32();

    std::vector<int64_t> read_int32_array();
    std::vector<int64_t> read_int64_array();
    std::vector<double> read_single_array();
    std::string read_string();
    DateTimeFields read_datetime();

    void skip_object();
    void skip_collection();

    // ---- packed arrays
    // `n` little-endian binary32 values at the position.
    std::vector<double> read_float_array(int64_t n);

    // The first byte of the next value, without consuming it; OutOfRange when
    // no byte is left in the window.
    uint8_t peek_byte() const {
        if (local_ < 0 || local_ >= int64_t(buffer_.size())) throw OutOfRange();
        return buffer_[size_t(local_)];
    }
    int64_t available_in_window() const {
        int64_t left = int64_t(buffer_.size()) - local_;
        return left > 0 ? left : 0;
    }

private:
    friend class OwnedSegment;
    struct ContentTag {};
    // A reader of decompressed content alone: its whole data is one
    // decompressed window, and it has no file behind it.
    explicit Reader(ContentTag);
    void stand_at(int64_t position);
    void reload_for(int64_t required_size);
    void load_window(int64_t position, int64_t size);
    void read_file(int64_t position, int64_t size, ByteBuffer &data);
    void restore_file_window() noexcept;
    void trim_spare() noexcept;
    template <typename T, uint8_t Tag, int Width>
    T read_fixed(const char *message);
    template <int Width, typename Decode>
    void read_array_segments(uint8_t tag, Decode &&decode);
    const uint8_t *at() const { return buffer_.data() + local_; }

    std::unique_ptr<ByteSource> source_;
    ByteBuffer buffer_;
    int64_t local_ = 0;
    int64_t origin_ = 0;
    int64_t after_decompressed_ = 0;
    int64_t stream_length_ = 0;
    bool small_file_ = false;
    bool in_decompressed_ = false;
    // The file window set aside while a decompressed window is active.
    ByteBuffer saved_window_;
    // Memory kept for the next window: the last decompressed content or the
    // file window a load replaced, so that reading segment after segment
    // allocates nothing once it has grown.
    ByteBuffer spare_;
    int64_t saved_origin_ = 0;
    // Counts the decompressed windows opened, so that a mark knows its own.
    uint64_t window_count_ = 0;
    // Readers of content kept for the next owned segments (see
    // OwnedSegment): a decode and a decode nested in its caller's code take
    // one each, and reading spectrum after spectrum allocates nothing once
    // they have grown. Each slot is taken and given by atomic exchange, as
    // decodes on other threads may take and give meanwhile; the memory they
    // keep is capped at kKeptContent in all.
    static constexpr size_t kContentSlots = 2;
    std::atomic<Reader *> content_slots_[kContentSlots] = {};
    bool has_version_ = false;
    Version version_;
    BitConverter convert6_{6}, convert11_{11}, convert12_{12};
    DateTimeParser datetime_parser_;
};

// Opens the compressed segment at the reader's position for the lifetime of
// the guard. `close()` leaves it as the format requires; a guard destroyed
// by an exception restores the file window instead, so that a failure inside
// a segment never leaves decompressed bytes behind as the file's window.
class DecompressedSegment {
public:
    explicit DecompressedSegment(Reader &reader, Reader::SegmentContent content = Reader::SegmentContent::Data)
        : reader_(reader) {
        reader_.set_decompressed_buffer(content);
    }
    DecompressedSegment(const DecompressedSegment &) = delete;
    DecompressedSegment &operator=(const DecompressedSegment &) = delete;
    void close() {
        open_ = false;
        reader_.reset_decompressed_buffer();
    }
    ~DecompressedSegment() {
        if (open_) reader_.abandon_decompressed_buffer();
    }

private:
    Reader &reader_;
    bool open_ = true;
};

// The compressed data segment at the reader's position, decompressed into
// memory of the segment's own and read through a reader of its own
// (content()), so that caller code that runs while its points are handed
// out, and reads with the same reader elsewhere meanwhile, cannot replace
// or move what is being decoded. The file's reader stands after the
// compressed bytes from the start; `close()` touches the stream there and
// stands there again, whatever was read meanwhile. A failure leaves the
// file's reader after the compressed bytes, as DecompressedSegment does.
//
// Content larger than kStreamedContent is not held: the segment keeps its
// compressed bytes, checks the whole content in one pass that keeps only
// its first kStreamHead bytes (content() then holds those), and its decoder
// reads the arrays through streams that start where they lie (stream_from).
// Frames whose windows are larger than streams accept are held whole.
class OwnedSegment {
public:
    static constexpr size_t kStreamHead = 4096;

    explicit OwnedSegment(Reader &file);
    OwnedSegment(const OwnedSegment &) = delete;
    OwnedSegment &operator=(const OwnedSegment &) = delete;
    ~OwnedSegment();
    Reader &content() { return *content_; }
    void close() { file_.leave_segment(after_); }
    bool streamed() const { return streamed_; }
    // The size of the whole content.
    size_t content_size() const { return size_; }
    // The content from byte `offset` on (a streamed segment only).
    FrameStream stream_from(size_t offset) const;

private:
    void open();
    void give_back() noexcept;

    Reader &file_;
    std::unique_ptr<Reader> content_;
    Reader::Mark after_{};
    ByteBuffer compressed_;
    bool streamed_ = false;
    size_t size_ = 0;
};

// Packed integer arrays: n values stored as byte planes, most significant
// plane first. The views read value i in place (the caller checks that the
// 4n or 8n bytes are there); `kWide` tells whether values take 64 bits.
// Always inlined: the decoders' loops ask them once per value.
struct Planes32 {
    static constexpr bool kWide = false;
    const uint8_t *p;
    size_t n;
    [[gnu::always_inline]] int64_t operator[](size_t i) const {
        return int32_t(uint32_t(p[i]) << 24 | uint32_t(p[n + i]) << 16 | uint32_t(p[2 * n + i]) << 8 | p[3 * n + i]);
    }
};

struct Planes64 {
    static constexpr bool kWide = true;
    const uint8_t *p;
    size_t n;
    [[gnu::always_inline]] int64_t operator[](size_t i) const {
        uint64_t v = 0;
        for (size_t k = 0; k < 8; ++k) v = (v << 8) | p[k * n + i];
        return int64_t(v);
    }
};

// The values of a packed array; OutOfRange when `bytes` holds fewer than 4n
// (8n) bytes.
std::vector<int64_t> decode_packed_int32(Bytes bytes, int64_t n);
std::vector<int64_t> decode_packed_int64(Bytes bytes, int64_t n);

// Sign folding of the compression-ready codes, exact for 128-bit operands.
i128 compression_ready_to_int(i128 code);
i128 int_to_compression_ready(i128 value);

// True when `text` is valid strict UTF-8 (no surrogates, no overlong forms,
// nothing beyond U+10FFFF).
bool is_valid_utf8(const uint8_t *text, size_t size);

}  // namespace zarn

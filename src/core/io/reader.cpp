#include "io/reader.hpp"

#include <algorithm>
#include <cstring>

#include "format/interrupt.hpp"
#include "format/zstd.hpp"

namespace zarn {

namespace {

constexpr const char *kStringError = "String could not be read [Position: {AbsolutePosition}]";
constexpr const char *kUnknownDataType = "UnpackData: Unknown data type";

}  // namespace

// ---------------------------------------------------------------- bit fields

BitConverter::BitConverter(int64_t length_of_bit_field) : width_(length_of_bit_field) {
    if (length_of_bit_field < 0 || length_of_bit_field > 63)
        throw InvalidValue("length_of_bit_field must lie between 0 and 63");
}

int64_t BitConverter::get(Bytes bytes, int64_t offset) const {
    if (offset < 0) throw InvalidValue("offset must not be negative");
    if (width_ == 0) return 0;
    // The last bit lies beyond any byte string when the sum would overflow.
    if (offset > INT64_MAX - width_) throw OutOfRange();
    const int64_t last_bit = offset + width_ - 1;
    if (last_bit / 8 >= int64_t(bytes.size())) throw OutOfRange();
    int64_t result = 0;
    for (int64_t bit = offset; bit <= last_bit; ++bit) {
        const uint8_t mask = uint8_t(0x80u >> (bit & 7));
        result = (result << 1) | ((bytes[size_t(bit / 8)] & mask) ? 1 : 0);
    }
    return result;
}

int64_t BitConverter::get(uint8_t byte, int64_t offset) const {
    if (offset < 0) throw InvalidValue("offset must not be negative");
    int64_t result = 0;
    // Only the bit's place within a byte counts: unsigned arithmetic keeps
    // it exact (2**64 is a multiple of 8) where offset + width would overflow.
    for (int64_t k = 0; k < width_; ++k) {
        const uint64_t bit = uint64_t(offset) + uint64_t(k);
        const uint8_t mask = uint8_t(0x80u >> (bit & 7));
        result = (result << 1) | ((byte & mask) ? 1 : 0);
    }
    return result;
}

ByteSource *&deferred_touch_source() {
    thread_local ByteSource *source = nullptr;
    return source;
}

std::vector<void *> &held_reader_locks() {
    thread_local std::vector<void *> held;
    return held;
}

void *shared_thread_state(void *(*make)()) {
    static void *const state = make();
    return state;
}

// ---------------------------------------------------------------- windows

Reader::Reader(std::unique_ptr<ByteSource> source, int64_t stream_length)
    : source_(std::move(source)), stream_length_(stream_length < 0 ? 0 : stream_length) {
    small_file_ = stream_length_ < kDefaultBufferSize;
    // The stream stands at its start: read without seeking.
    const int64_t size = small_file_ ? stream_length_ : kDefaultBufferSize;
    buffer_.resize(size_t(size));
    size_t got = 0;
    while (got < buffer_.size()) {
        size_t n = source_->read(buffer_.data() + got, buffer_.size() - got);
        if (n == 0) break;
        got += n;
    }
    buffer_.resize(got);
}

void Reader::set_version(int64_t major, int64_t minor, int64_t revision) {
    version_ = Version{major, minor, revision};
    has_version_ = true;
}

void Reader::read_file(int64_t position, int64_t size, ByteBuffer &data) {
    // Never read beyond the size the file had when it was opened.
    const int64_t left = stream_length_ - position;
    if (size < 0 || size > left) size = left > 0 ? left : 0;
    data.resize(static_cast<size_t>(size));
    if (data.empty()) source_->seek(position);
    size_t got = 0;
    while (got < data.size()) {
        size_t n = got == 0 ? source_->read_at(position, data.data(), data.size())
                            : source_->read(data.data() + got, data.size() - got);
        if (n == 0) break;
        got += n;
    }
    data.resize(got);
}

void Reader::read_file_range(int64_t position, int64_t size, const std::function<void(Bytes)> &sink) {
    if (position < 0) position = 0;
    const int64_t left = stream_length_ - position;
    if (size > left) size = left;
    if (size <= 0) return;
    constexpr int64_t kPiece = 65536;
    std::vector<uint8_t> piece(size_t(std::min(size, kPiece)));
    source_->seek(position);
    while (size > 0) {
        const size_t want = size_t(std::min(size, kPiece));
        size_t got = 0;
        while (got < want) {
            const size_t n = source_->read(piece.data() + got, want - got);
            if (n == 0) break;
            got += n;
        }
        if (got > 0) sink(Bytes(piece.data(), got));
        if (got < want) return;  // the file is shorter than when it was opened
        size -= int64_t(got);
    }
}

void Reader::load_window(int64_t position, int64_t size) {
    // Read into the spare memory, so that a failed read leaves the window
    // as it was.
    read_file(position, size, spare_);
    buffer_.swap(spare_);
    trim_spare();
    origin_ = position;
    local_ = 0;
}

void Reader::trim_spare() noexcept {
    // A segment far larger than a spectrum's (a block of records, above
    // all) does not keep its memory: an open file would hold it for nothing.
    constexpr size_t kKeptSpare = size_t(4) << 20;
    if (spare_.capacity() > kKeptSpare) ByteBuffer().swap(spare_);
}

void Reader::restore_file_window() noexcept {
    buffer_.swap(saved_window_);
    spare_.swap(saved_window_);
    ByteBuffer().swap(saved_window_);
    trim_spare();
    origin_ = saved_origin_;
    in_decompressed_ = false;
}

void Reader::set_buffer(int64_t position, int64_t required_size, bool force_update_buffer) {
    if (position < 0 || stream_length_ <= position) return;
    // A file offset means nothing inside decompressed content: return to the
    // file window first.
    if (in_decompressed_) restore_file_window();
    if (small_file_) {
        local_ = position;
        return;
    }
    if (!force_update_buffer && required_size == 0 && origin_ <= position &&
        position + 20 < origin_ + int64_t(buffer_.size())) {
        local_ = position - origin_;
        return;
    }
    load_window(position, required_size != 0 ? required_size : kDefaultBufferSize);
}

void Reader::reload_for(int64_t required_size) {
    const int64_t window = int64_t(buffer_.size());
    const int64_t n = window < required_size ? required_size : window;
    set_buffer(absolute_position(), n, true);
}

int64_t Reader::remaining() const {
    if (small_file_ || in_decompressed_) return available_in_window();
    const int64_t left = stream_length_ - absolute_position();
    return left > 0 ? left : 0;
}

Bytes Reader::get_bytes(int64_t size) {
    if (size < 0) size = 0;
    ensure_buffer(size);
    const int64_t start = local_;
    const int64_t length = std::min(size, available_in_window());
    local_ = add_sat(local_, size);
    if (length <= 0) return {};
    return Bytes(buffer_.data() + start, size_t(length));
}

void Reader::skip_bytes(int64_t size) {
    if (size <= 0) return;
    ensure_buffer(size);
    local_ = add_sat(local_, size);
}

Bytes Reader::compressed_segment() {
    if (in_decompressed_) throw ZarnError("Compressed segment inside a compressed segment");
    const int64_t n = read_int32();
    if (n < 0) throw DecompressionError("Compressed segment length is negative: " + std::to_string(n));
    Bytes data = get_bytes(n);
    if (int64_t(data.size()) < n) throw DecompressionError("Compressed segment is cut short");
    return data;
}

void Reader::decompress_segment(ByteBuffer &out, SegmentContent kind) {
    const Bytes data = compressed_segment();
    const size_t limit = kind == SegmentContent::Records ? record_segment_limit(data.size()) : kMaxDecompressedSize;
    source_->run_native(data.size(), [&] { zstd_decompress(data.data(), data.size(), limit, out); });
    after_decompressed_ = absolute_position();
}

void Reader::set_decompressed_buffer(SegmentContent kind) {
    decompress_segment(spare_, kind);
    saved_window_.swap(buffer_);
    saved_origin_ = origin_;
    buffer_.swap(spare_);
    in_decompressed_ = true;
    ++window_count_;
    local_ = 0;
}

void Reader::stand_at(int64_t position) {
    if (small_file_) {
        local_ = position;
        return;
    }
    if (origin_ <= position && position + 20 < origin_ + int64_t(buffer_.size())) {
        local_ = position - origin_;
        return;
    }
    load_window(position, kDefaultBufferSize);
}

void Reader::reset_decompressed_buffer() {
    // Touch the stream as leaving the segment always has: a closed stream
    // fails here with its own error, even though the file window is kept.
    source_->touch(after_decompressed_);
    if (in_decompressed_) restore_file_window();
    stand_at(after_decompressed_);
}

void Reader::abandon_decompressed_buffer() noexcept {
    if (!in_decompressed_) return;
    restore_file_window();
    local_ = after_decompressed_ - origin_;
}

void Reader::seat(const Mark &m) {
    if (m.decompressed) {
        if (!in_decompressed_ || window_count_ != m.window)
            throw ZarnError("The decompressed segment was left while it was being read");
        local_ = m.position;
        return;
    }
    if (in_decompressed_) restore_file_window();
    if (absolute_position() == m.position) return;
    stand_at(m.position);
}

void Reader::leave_segment(const Mark &m) {
    source_->touch(m.position);
    seat(m);
}

// ---------------------------------------------------------------- owned segments

namespace {

// The source of a reader of decompressed content: there is no file.
class NoFile final : public ByteSource {
public:
    void seek(int64_t) override { throw ZarnError("Decompressed content has no file"); }
    size_t read(uint8_t *, size_t) override { throw ZarnError("Decompressed content has no file"); }
};

// Spare memory that an open file keeps for the next decompressed segments,
// all its readers of content together.
constexpr size_t kKeptContent = size_t(4) << 20;

}  // namespace

Reader::Reader(ContentTag) : source_(std::make_unique<NoFile>()), in_decompressed_(true) {}

Reader::~Reader() {
    for (std::atomic<Reader *> &slot : content_slots_) delete slot.exchange(nullptr);
}

OwnedSegment::OwnedSegment(Reader &file) : file_(file) {
    for (std::atomic<Reader *> &slot : file.content_slots_) {
        if (Reader *kept = slot.exchange(nullptr, std::memory_order_acquire)) {
            content_.reset(kept);
            break;
        }
    }
    if (!content_) content_.reset(new Reader(Reader::ContentTag{}));
    try {
        open();
    } catch (...) {
        give_back();
        throw;
    }
    content_->local_ = 0;
    if (!streamed_) size_ = content_->buffer_.size();
    // The caller's code may have read with the file's reader meanwhile.
    file.seat(after_);
    file.after_decompressed_ = after_.position;
}

OwnedSegment::~OwnedSegment() { give_back(); }

void OwnedSegment::open() {
    const Bytes data = file_.compressed_segment();
    after_ = file_.mark();
    ByteBuffer &out = content_->buffer_;
    const int64_t declared = zstd_declared_size(data.data(), data.size());
    const size_t threshold = streamed_content();
    const bool large = declared == -1 || (declared > int64_t(threshold) && declared <= int64_t(kMaxDecompressedSize));
    if (!large) {
        file_.source().run_native(data.size(),
                                  [&] { zstd_decompress(data.data(), data.size(), kMaxDecompressedSize, out); });
        return;
    }
    // Large content takes long to decompress, and the caller's code may
    // run meanwhile (an interruption point) and replace the file's window.
    compressed_.assign(data.begin(), data.end());
    const InterruptibleScope interruptible;
    if (zstd_largest_window(compressed_.data(), compressed_.size()) > (size_t(1) << kStreamWindowLog)) {
        // The work is what the frame declares, however few bytes declare it.
        const size_t work = std::max(compressed_.size(), declared > 0 ? size_t(declared) : size_t(0));
        file_.source().run_native(
            work, [&] { zstd_decompress(compressed_.data(), compressed_.size(), kMaxDecompressedSize, out); });
        ByteBuffer().swap(compressed_);
        return;
    }
    const size_t limit = declared >= 0 ? size_t(declared) : kMaxDecompressedSize;
    file_.source().run_native(declared >= 0 ? limit : compressed_.size(), [&] {
        if (declared >= 0) {
            out.resize(kStreamHead);
            out.resize(zstd_pass_declared(compressed_.data(), compressed_.size(), limit, out.data(), out.size(),
                                          kStreamWindowLog));
            size_ = limit;
            streamed_ = true;
            return;
        }
        // Undeclared content up to the threshold is held whole, read into
        // memory that grows with it.
        FrameStream check(compressed_.data(), compressed_.size(), limit, kStreamWindowLog);
        size_t have = 0;
        for (size_t size = std::min(size_t(1) << 16, threshold);; size = std::min(2 * size, threshold)) {
            out.resize(size);
            have += check.read(out.data() + have, size - have);
            if (have < size || check.ended()) {
                out.resize(have);
                return;
            }
            if (size == threshold) break;
        }
        ByteBuffer().swap(out);
        out.resize(kStreamHead);
        FrameStream again(compressed_.data(), compressed_.size(), limit, kStreamWindowLog);
        out.resize(again.read(out.data(), kStreamHead));
        again.skip(SIZE_MAX);
        size_ = again.produced();
        streamed_ = true;
    });
}

FrameStream OwnedSegment::stream_from(size_t offset) const {
    FrameStream stream(compressed_.data(), compressed_.size(), size_, kStreamWindowLog);
    stream.allow_interruption();
    stream.skip(offset);
    return stream;
}

void OwnedSegment::give_back() noexcept {
    if (!content_) return;
    // Each slot keeps at most its share of the cap.
    if (content_->buffer_.capacity() > kKeptContent / Reader::kContentSlots) ByteBuffer().swap(content_->buffer_);
    for (std::atomic<Reader *> &slot : file_.content_slots_) {
        Reader *empty = nullptr;
        if (slot.compare_exchange_strong(empty, content_.get(), std::memory_order_release)) {
            content_.release();
            return;
        }
    }
    content_.reset();
}

// ---------------------------------------------------------------- scalars

Symbol Reader::read_zarn_symbol() {
    ensure_buffer(2);
    const uint8_t first = peek_byte();
    if ((first & 0xF0) != 0x80) throw ZarnError("Zarn symbol could not be read");
    const bool complete = available_in_window() >= 2;
    const uint8_t second = complete ? at()[1] : 0;
    local_ += 2;
    if (!complete) throw OutOfRange();
    return symbol_from_value(int64_t(first & 0x0F) << 8 | second);
}

void Reader::confirm_zarn_symbol(Symbol expected) {
    if (read_zarn_symbol() != expected) throw ZarnError("Zarn symbol error");
}

bool Reader::is_tiny_uint() {
    ensure_buffer(1);
    return peek_byte() <= 0x37;
}

bool Reader::read_bool() {
    ensure_buffer(1);
    const uint8_t first = peek_byte();
    if ((first & 0xF8) != 0x38) throw ZarnError("Boolean could not be read");
    local_ += 1;
    if ((first & 0x07) == 7) return true;
    if ((first & 0x07) == 6) return false;
    throw ZarnError("Boolean could not be read");
}

int64_t Reader::read_tiny_uint() {
    ensure_buffer(1);
    const uint8_t first = peek_byte();
    if ((first & 0xC0) != 0) throw ZarnError("TinyUInt could not be read");
    local_ += 1;
    return first & 0x3F;
}

int64_t Reader::read_mini_uint() {
    ensure_buffer(2);
    const uint8_t first = peek_byte();
    if ((first & 0xF0) != 0x90) throw ZarnError("MiniUInt could not be read");
    const bool complete = available_in_window() >= 2;
    const uint8_t second = complete ? at()[1] : 0;
    local_ += 2;
    if (!complete) throw OutOfRange();
    return int64_t(first & 0x0F) << 8 | second;
}

template <typename T, uint8_t Tag, int Width>
T Reader::read_fixed(const char *message) {
    ensure_buffer(1 + Width);
    const uint8_t first = peek_byte();
    // A payload cut short by the end of the data is refused like a wrong tag.
    if (first != Tag || available_in_window() < 1 + Width) throw ZarnError(message);
    const uint8_t *p = at() + 1;
    local_ += 1 + Width;
    if constexpr (Width == 2) {
        return T(load_u16le(p));
    } else if constexpr (Width == 4) {
        return T(load_u32le(p));
    } else {
        return T(load_u64le(p));
    }
}

int64_t Reader::read_int16() { return int16_t(read_fixed<uint16_t, 0xC0, 2>("Int16 could not be read")); }
int64_t Reader::read_uint16() { return read_fixed<uint16_t, 0xC1, 2>("UInt16 could not be read"); }
int64_t Reader::read_int32() { return int32_t(read_fixed<uint32_t, 0xC2, 4>("Int32 could not be read")); }
int64_t Reader::read_uint32() { return read_fixed<uint32_t, 0xC3, 4>("UInt32 could not be read"); }
int64_t Reader::read_int64() { return int64_t(read_fixed<uint64_t, 0xC4, 8>("Int64 could not be read")); }
uint64_t Reader::read_uint64() { return read_fixed<uint64_t, 0xC5, 8>("UInt64 could not be read"); }

float Reader::read_single() {
    const uint32_t bits = read_fixed<uint32_t, 0xC6, 4>("Single could not be read");
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

double Reader::read_double() {
    const uint64_t bits = read_fixed<uint64_t, 0xC7, 8>("Double could not be read");
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

int64_t Reader::read_uint16_or_32() {
    constexpr const char *message = "UInt16/UInt32 could not be read";
    ensure_buffer(3);
    const uint8_t first = peek_byte();
    if (first == 0xC1) {
        if (available_in_window() < 3) throw ZarnError(message);
        const int64_t value = load_u16le(at() + 1);
        local_ += 3;
        return value;
    }
    if (first == 0xC3) {
        ensure_buffer(5);
        if (available_in_window() < 5) throw ZarnError(message);
        const int64_t value = load_u32le(at() + 1);
        local_ += 5;
        return value;
    }
    throw ZarnError(message);
}

// ---------------------------------------------------------------- arrays

template <int Width, typename Decode>
void Reader::read_array_segments(uint8_t tag, Decode &&decode) {
    ensure_buffer(1);
    if (peek_byte() != tag) throw ZarnError("Collection could not be read");
    local_ += 1;
    const int64_t segments = read_tiny_uint();
    for (int64_t s = 0; s < segments; ++s) {
        const int64_t length = read_int32();
        if (length < Width) continue;  // no whole element; nothing is consumed
        const int64_t count = length / Width;
        const int64_t bytes = count * Width;
        int64_t whole_available = remaining() / Width;
        if (count <= whole_available) {
            ensure_buffer(bytes);
            // A file cut short since it was opened loads less than its size
            // promised: the window decides.
            whole_available = available_in_window() / Width;
        }
        if (count > whole_available) {
            decode(nullptr, whole_available);  // reports the short element
            continue;
        }
        decode(at(), count);
        local_ += bytes;
    }
}

std::vector<int64_t> Reader::read_int32_array() {
    std::vector<int64_t> out;
    read_array_segments<4>(0xE2, [&](const uint8_t *p, int64_t count) {
        if (!p) throw ZarnError("Collection could not be read");
        out.reserve(out.size() + size_t(count));
        for (int64_t i = 0; i < count; ++i) out.push_back(int32_t(load_u32le(p + 4 * i)));
    });
    return out;
}

std::vector<int64_t> Reader::read_int64_array() {
    std::vector<int64_t> out;
    read_array_segments<8>(0xE4, [&](const uint8_t *p, int64_t count) {
        if (!p) throw ZarnError("Collection could not be read");
        out.reserve(out.size() + size_t(count));
        for (int64_t i = 0; i < count; ++i) out.push_back(int64_t(load_u64le(p + 8 * i)));
    });
    return out;
}

std::vector<double> Reader::read_single_array() {
    std::vector<double> out;
    read_array_segments<4>(0xE6, [&](const uint8_t *p, int64_t count) {
        if (!p) {
            // The whole elements are consumed, then the short one, whose
            // unpacking fails.
            local_ = add_sat(local_, (count + 1) * 4);
            throw ShortRawArray("unpack requires a buffer of 4 bytes");
        }
        out.reserve(out.size() + size_t(count));
        for (int64_t i = 0; i < count; ++i) out.push_back(double(load_f32le(p + 4 * i)));
    });
    return out;
}

std::vector<double> Reader::read_float_array(int64_t n) {
    if (n <= 0) return {};
    const int64_t bytes = n > INT64_MAX / 4 ? INT64_MAX : n * 4;
    if (remaining() >= bytes) ensure_buffer(bytes);
    // The window decides as well: a file cut short since it was opened loads
    // less than its size promised.
    if (remaining() < bytes || available_in_window() < bytes) {
        skip_bytes(bytes);
        throw ShortRawArray("unpack requires a buffer of " + std::to_string(bytes) + " bytes");
    }
    const uint8_t *p = at();
    std::vector<double> out(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) out[size_t(i)] = double(load_f32le(p + 4 * i));
    local_ += bytes;
    return out;
}

// ---------------------------------------------------------------- strings

bool is_valid_utf8(const uint8_t *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

std::string Reader::read_string() {
    ensure_buffer(6);
    const uint8_t first = peek_byte();
    const int64_t start = local_;
    int64_t length = 0;
    if ((first & 0xC0) == 0x40) {
        length = first & 0x3F;
        local_ += 1;
    } else if ((first & 0xF0) == 0xA0) {
        const bool complete = available_in_window() >= 2;
        const uint8_t second = complete ? at()[1] : 0;
        local_ += 2;
        if (!complete) throw OutOfRange();
        length = int64_t(first & 0x07) << 8 | second;
    } else if ((first & 0xF0) == 0xB0) {
        throw ZarnError(kStringError);
    } else if ((first & 0xCA) == 0xC8) {
        if (available_in_window() < 3) throw ZarnError(kStringError);
        length = load_u16le(at() + 1);
        local_ += 3;
    } else if ((first & 0xCA) == 0xCA) {
        if (available_in_window() < 5) throw ZarnError(kStringError);
        length = load_u32le(at() + 1);
        local_ += 5;
    }

    bool utf8;
    if ((first & 0xC0) == 0x40) {
        utf8 = false;
    } else if ((first & 0xF0) == 0xA0) {
        utf8 = (first & 0x08) != 0;
    } else if ((first & 0x05) == 0) {
        utf8 = false;
    } else if ((first & 0x05) == 1) {
        utf8 = true;
    } else {
        throw ZarnError(kStringError);
    }

    if (length == 0) return {};
    // Text cut short by the end of the data is refused before it is taken,
    // with the position back on the tag.
    if (remaining() < length) {
        local_ = start;
        throw ZarnError(kStringError);
    }
    Bytes text = get_bytes(length);
    const uint8_t *p = text.data();
    const size_t n = text.size();
    if (utf8) {
        if (!is_valid_utf8(p, n)) throw TextDecodeError("utf-8", std::string(p, p + n));
    } else {
        for (size_t i = 0; i < n; ++i)
            if (p[i] >= 0x80) throw TextDecodeError("ascii", std::string(p, p + n));
    }
    return std::string(p, p + n);
}

DateTimeFields Reader::read_datetime() {
    ensure_buffer(9);
    const uint8_t first = peek_byte();
    if (first != 0xD3 || available_in_window() < 9) throw ZarnError("DateTime could not be read");
    const uint64_t value = load_u64le(at() + 1);
    local_ += 9;
    return datetime_from_ticks(value);
}

// ---------------------------------------------------------------- skipping

void Reader::skip_object() {
    ensure_buffer(1);
    const uint8_t first = peek_byte();
    if ((first & 0xE0) == 0xE0) {
        if (first > 0xE7) throw ZarnError(kUnknownDataType);
        skip_collection();
    } else if ((first & 0x80) == 0) {
        local_ += 1;
        if ((first & 0xC0) != 0) local_ = add_sat(local_, first & 0x3F);
    } else if ((first & 0xC0) == 0x80) {
        if ((first & 0xE0) == 0x80) {
            if ((first & 0xF0) == 0x80) {
                read_zarn_symbol();
            } else {
                read_mini_uint();
            }
        } else if ((first & 0xF0) == 0xA0) {
            read_string();
        } else {
            throw ZarnError(kUnknownDataType);
        }
    } else if ((first & 0xF0) == 0xC0) {
        switch (first) {
            case 0xC0:
                read_int16();
                break;
            case 0xC1:
                read_uint16();
                break;
            case 0xC2:
                read_int32();
                break;
            case 0xC3:
                read_uint32();
                break;
            case 0xC4:
                read_int64();
                break;
            case 0xC5:
                read_uint64();
                break;
            case 0xC6:
                read_single();
                break;
            case 0xC7:
                read_double();
                break;
            default:
                read_string();
                break;
        }
    } else if (first == 0xD3) {
        read_datetime();
    } else {
        throw ZarnError(kUnknownDataType);
    }
}

void Reader::skip_collection() {
    local_ = add_sat(local_, 1);
    const int64_t segments = read_tiny_uint();
    for (int64_t s = 0; s < segments; ++s) {
        const int64_t length = read_int32();
        // The bytes are passed over without being loaded; a negative length
        // passes over nothing.
        if (length > 0) local_ = add_sat(local_, length);
    }
}

// ---------------------------------------------------------------- packed arrays

namespace {

template <typename Planes, int Width>
std::vector<int64_t> decode_packed(Bytes b, int64_t n) {
    if (n <= 0) return {};
    if (n > int64_t(b.size()) / Width) throw OutOfRange();
    const Planes values{b.data(), size_t(n)};
    std::vector<int64_t> out(static_cast<size_t>(n));
    for (size_t i = 0; i < out.size(); ++i) out[i] = values[i];
    return out;
}

}  // namespace

std::vector<int64_t> decode_packed_int32(Bytes b, int64_t n) { return decode_packed<Planes32, 4>(b, n); }
std::vector<int64_t> decode_packed_int64(Bytes b, int64_t n) { return decode_packed<Planes64, 8>(b, n); }

i128 compression_ready_to_int(i128 c) {
    const bool even = (c & 1) == 0;
    if (c >= 0) return even ? -(c / 2) : (c + 1) / 2;
    return even ? c / 2 + 2147483648 : -((c + 1) / 2) - 2147483648;
}

i128 int_to_compression_ready(i128 x) {
    if (x > 1073741823) return 2 * x - 4294967296;
    if (x > 0) return 2 * x - 1;
    if (x >= -1073741823) return -2 * x;
    return -2 * x - 1 - 4294967296;
}

}  // namespace zarn

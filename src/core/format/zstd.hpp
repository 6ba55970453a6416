// Zstandard decompression of one compressed segment, bounded in size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "format/buffer.hpp"

namespace zarn {

// Largest decompressed content accepted from one segment. No real segment
// comes near it; anything larger is treated as a corrupt (or hostile) frame.
inline constexpr size_t kMaxDecompressedSize = size_t(1) << 30;

// Segments of index and description records are decoded into objects of
// many times their size as soon as a file, a measurement or an analysis is
// opened. Their content may exceed this floor only up to this many times
// their compressed size, far above what such records compress by, so that a
// few kilobytes of frames never turn into gigabytes of records.
inline constexpr size_t kRecordSegmentFloor = size_t(1) << 20;
inline constexpr size_t kRecordSegmentRatio = 256;

// The content limit of a record segment of `compressed` bytes.
inline size_t record_segment_limit(size_t compressed) {
    if (compressed > kMaxDecompressedSize / kRecordSegmentRatio) return kMaxDecompressedSize;
    const size_t limit = compressed * kRecordSegmentRatio;
    return limit < kRecordSegmentFloor ? kRecordSegmentFloor : limit;
}

// Data segments whose content is larger than this are not held whole: their
// decoders read the content as streams (see OwnedSegment), each of which
// accepts windows up to 2**kStreamWindowLog bytes. Frames that normal
// compression levels make use at most 8 MiB.
inline constexpr size_t kStreamedContent = size_t(8) << 20;
inline constexpr int kStreamWindowLog = 23;

// The size above which data segments are streamed: kStreamedContent, unless
// the test hooks set another, so that small files take the streamed path.
size_t streamed_content();
void set_streamed_content(size_t size);

// The largest window that the frames in data[0, size) ask for, or SIZE_MAX
// when a frame's header or extent cannot be read (decoding tells why) or a
// raw or RLE block is larger than its frame's block maximum, which one-shot
// decompression takes and streams refuse.
size_t zstd_largest_window(const uint8_t *data, size_t size);

// The content size that the first frame in data[0, size) declares, or -1
// when it declares none, -2 when its header cannot be read.
int64_t zstd_declared_size(const uint8_t *data, size_t size);

// Raises the DecompressionError of a frame that fails `what`.
[[noreturn]] void zstd_failure(const std::string &what);

// The content of the Zstandard frame(s) in data[0, size), read in order in
// pieces of the caller's size, holding no more than the stream's window
// beside them. Content beyond `max_size` and every decoding failure raise
// DecompressionError as they are reached. `window_log_max`: the largest
// window (a power of two) accepted; 0 leaves the library's default. A
// stream made inside an InterruptibleScope, or allowed so, is an
// interruption point at each step of its decoding.
class FrameStream {
public:
    FrameStream(const uint8_t *data, size_t size, size_t max_size, int window_log_max = 0);
    FrameStream(FrameStream &&) noexcept;
    FrameStream &operator=(FrameStream &&) noexcept;
    ~FrameStream();
    // The next up to `n` bytes of content into `out`; fewer only at its end.
    size_t read(uint8_t *out, size_t n);
    // Passes over the next up to `n` bytes; how many there were.
    size_t skip(size_t n);
    // Content bytes read or passed over so far.
    size_t produced() const { return produced_; }
    bool ended() const { return in_pos_ == size_ && last_rc_ == 0; }
    // For a stream over bytes its owner keeps whatever the caller's code does.
    void allow_interruption() { interruptible_ = true; }

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    const uint8_t *data_;
    size_t size_, in_pos_ = 0, max_, produced_ = 0, last_rc_ = 1;
    bool interruptible_;
};

// Passes over the content of the frame(s) in data[0, size), whose first
// frame declares `declared` bytes and whose frames' extents can be read,
// holding no more than a stream's window (`window_log_max`, as FrameStream
// takes it), and fails as zstd_decompress does on the same bytes: a first
// frame of one segment (its window is its content) is decompressed whole,
// any other read as a stream bounded by its declared size, more content
// failing as one-shot decompression into memory of that size does, and the
// frames after it are decompressed in one call into no room.
// The first up to `head_size` bytes go to `head`; returns how many did.
size_t zstd_pass_declared(const uint8_t *data, size_t size, size_t declared, uint8_t *head, size_t head_size,
                          int window_log_max);

// Decompresses the Zstandard frame(s) in data[0, size) into `out`, which
// keeps its memory from earlier use. A frame that declares its content
// size is decompressed in one call into memory of that size when it is
// small (up to 1 MiB); a larger one into memory of 1 MiB (or 16 times the
// compressed size, when more) first, doubled up to the declared size while
// the content does not fit, so that memory follows what the frame yields. The declared size must match the content
// (the first frame's: more content fails as the buffer being too small). An undeclared
// one is streamed into `out` up to 1 MiB; one that yields more is measured
// by a pass that keeps nothing, refused there when it passes `max_size`,
// and else decompressed again into memory of its size. Content beyond
// `max_size`, declared or actual, and every decoding failure raise
// DecompressionError (what `out` then holds is unspecified).
void zstd_decompress(const uint8_t *data, size_t size, size_t max_size, ByteBuffer &out);

// The same into a new buffer.
ByteBuffer zstd_decompress(const uint8_t *data, size_t size, size_t max_size = kMaxDecompressedSize);

}  // namespace zarn

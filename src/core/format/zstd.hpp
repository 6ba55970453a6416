// Zstandard decompression of one compressed segment, bounded in size.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Decompresses the Zstandard frame(s) in data[0, size) into `out`, which
// keeps its memory from earlier use. A frame that declares a small content
// size (up to 1 MiB) is decompressed in one call into exactly that size; a
// larger or undeclared one as a stream, whose output grows with what the
// frame yields, and a declared size must then match what it yields. Content
// beyond `max_size`, declared or actual, and every decoding failure raise
// DecompressionError (what `out` then holds is unspecified).
void zstd_decompress(const uint8_t *data, size_t size, size_t max_size, ByteBuffer &out);

// The same into a new buffer.
ByteBuffer zstd_decompress(const uint8_t *data, size_t size, size_t max_size = kMaxDecompressedSize);

}  // namespace zarn

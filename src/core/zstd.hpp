// Zstandard decompression of one compressed segment, bounded in size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zarn {

// Largest decompressed content accepted from one segment. No real segment
// comes near it; anything larger is treated as a corrupt (or hostile) frame.
inline constexpr size_t kMaxDecompressedSize = size_t(1) << 30;

// Decompresses the Zstandard frame(s) in data[0, size). A frame that declares
// a small content size (up to 1 MiB) is decompressed in one call into a
// buffer of exactly that size; a larger or undeclared one as a stream, whose
// buffer grows with what the frame yields, and a declared size must then
// match what it yields. Content beyond `max_size`, declared or actual, and
// every decoding failure raise ZstdError.
std::vector<uint8_t> zstd_decompress(const uint8_t *data, size_t size,
                                     size_t max_size = kMaxDecompressedSize);

}  // namespace zarn

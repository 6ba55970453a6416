#include "format/zstd.hpp"

#include <zstd.h>

#include <memory>
#include <string>

#include "format/errors.hpp"

namespace zarn {
namespace {

[[noreturn]] void fail(const std::string &what) { throw DecompressionError("Zstandard decompression failed: " + what); }

struct DStreamDeleter {
    void operator()(ZSTD_DStream *s) const { ZSTD_freeDStream(s); }
};

struct DCtxDeleter {
    void operator()(ZSTD_DCtx *c) const { ZSTD_freeDCtx(c); }
};

// The largest declared content size that is allocated at once.
constexpr size_t kTrustedDeclaredSize = size_t(1) << 20;

// One decompression context per thread, made once: making a context costs
// far more than decompressing the small frame of one spectrum.
ZSTD_DCtx *context() {
    thread_local std::unique_ptr<ZSTD_DCtx, DCtxDeleter> ctx(ZSTD_createDCtx());
    if (!ctx) fail("out of memory");
    return ctx.get();
}

// `window_log_max`: the largest window (as a power of two) that the stream
// accepts; 0 leaves the library's default.
void decompress_stream(const uint8_t *data, size_t size, size_t max_size, ByteBuffer &out, int window_log_max = 0) {
    std::unique_ptr<ZSTD_DStream, DStreamDeleter> stream(ZSTD_createDStream());
    if (!stream) fail("out of memory");
    size_t rc = ZSTD_initDStream(stream.get());
    if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
    if (window_log_max > 0) {
        rc = ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, window_log_max);
        if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
    }

    out.clear();
    size_t chunk = ZSTD_DStreamOutSize();
    ZSTD_inBuffer in{data, size, 0};
    size_t last_rc = 1;
    while (in.pos < in.size || last_rc != 0) {
        if (out.size() >= max_size + 1) fail("content exceeds the size limit");
        size_t old = out.size();
        size_t grow = std::min(chunk, max_size + 1 - old);
        out.resize(old + grow);
        ZSTD_outBuffer ob{out.data() + old, grow, 0};
        size_t in_before = in.pos;
        last_rc = ZSTD_decompressStream(stream.get(), &ob, &in);
        if (ZSTD_isError(last_rc)) fail(ZSTD_getErrorName(last_rc));
        out.resize(old + ob.pos);
        if (out.size() > max_size) fail("content exceeds the size limit");
        // No progress with all input consumed: the frame is truncated.
        if (ob.pos == 0 && in.pos == in_before && in.pos == in.size && last_rc != 0) fail("truncated frame");
    }
}

}  // namespace

void zstd_decompress(const uint8_t *data, size_t size, size_t max_size, ByteBuffer &out) {
    if (size == 0) fail("no frame");
    unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    if (declared == ZSTD_CONTENTSIZE_ERROR) fail("not a valid frame");
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN) return decompress_stream(data, size, max_size, out);
    if (declared > max_size) fail("declared content exceeds the size limit");
    // A declared size is a claim of the frame: above kTrustedDeclaredSize the
    // content is decompressed in steps, so that a frame that claims much and
    // holds little never has the claimed buffer filled. The stream takes a
    // window as large as the declared content (which a frame of one segment
    // has), reserved by the library but touched only as it is written.
    if (declared > kTrustedDeclaredSize) {
        int window_log = 10;
        while ((1ull << window_log) < declared) ++window_log;
        // Reserved memory is untouched until written, and the content then
        // never moves as it grows.
        out.reserve(static_cast<size_t>(declared));
        decompress_stream(data, size, static_cast<size_t>(declared), out, window_log);
        if (out.size() != declared) fail("content shorter than declared");
        return;
    }
    out.resize(static_cast<size_t>(declared));
    size_t rc = ZSTD_decompressDCtx(context(), out.data(), out.size(), data, size);
    if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
    if (rc != out.size()) fail("content shorter than declared");
}

ByteBuffer zstd_decompress(const uint8_t *data, size_t size, size_t max_size) {
    ByteBuffer out;
    zstd_decompress(data, size, max_size, out);
    return out;
}

}  // namespace zarn

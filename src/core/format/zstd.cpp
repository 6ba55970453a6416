#include "format/zstd.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // frame headers, for the window sizes
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "format/errors.hpp"
#include "format/interrupt.hpp"

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

}  // namespace

void zstd_failure(const std::string &what) { fail(what); }

namespace {
std::atomic<size_t> streamed_content_size{kStreamedContent};
}  // namespace

size_t streamed_content() { return streamed_content_size.load(std::memory_order_relaxed); }
void set_streamed_content(size_t size) { streamed_content_size.store(size, std::memory_order_relaxed); }

struct FrameStream::Stream {
    std::unique_ptr<ZSTD_DStream, DStreamDeleter> s;
};

FrameStream::FrameStream(const uint8_t *data, size_t size, size_t max_size, int window_log_max)
    : stream_(std::make_unique<Stream>()),
      data_(data),
      size_(size),
      max_(max_size),
      interruptible_(interruptible_scope()) {
    stream_->s.reset(ZSTD_createDStream());
    if (!stream_->s) fail("out of memory");
    size_t rc = ZSTD_initDStream(stream_->s.get());
    if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
    if (window_log_max > 0) {
        rc = ZSTD_DCtx_setParameter(stream_->s.get(), ZSTD_d_windowLogMax, window_log_max);
        if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
    }
}

FrameStream::FrameStream(FrameStream &&) noexcept = default;
FrameStream &FrameStream::operator=(FrameStream &&) noexcept = default;
FrameStream::~FrameStream() = default;

size_t FrameStream::read(uint8_t *out, size_t n) {
    size_t got = 0;
    while (got < n && (in_pos_ < size_ || last_rc_ != 0)) {
        // One byte beyond the limit is asked for, so that content over it is
        // seen as soon as it is there.
        const size_t room = std::min(n - got, max_ + 1 - produced_);
        ZSTD_outBuffer ob{out + got, room, 0};
        ZSTD_inBuffer in{data_, size_, in_pos_};
        last_rc_ = ZSTD_decompressStream(stream_->s.get(), &ob, &in);
        if (ZSTD_isError(last_rc_)) fail(ZSTD_getErrorName(last_rc_));
        const bool moved = in.pos != in_pos_;
        in_pos_ = in.pos;
        got += ob.pos;
        produced_ += ob.pos;
        if (produced_ > max_) fail("content exceeds the size limit");
        // No progress with all input consumed: the frame is truncated.
        if (ob.pos == 0 && !moved && in_pos_ == size_ && last_rc_ != 0) fail("truncated frame");
        if (interruptible_) interruption_point();
    }
    return got;
}

size_t FrameStream::skip(size_t n) {
    uint8_t piece[16384];
    size_t passed = 0;
    while (passed < n) {
        const size_t got = read(piece, std::min(n - passed, sizeof piece));
        if (got == 0) break;
        passed += got;
    }
    return passed;
}

size_t zstd_largest_window(const uint8_t *data, size_t size) {
    size_t largest = 0, at = 0;
    while (at < size) {
        ZSTD_frameHeader header;
        if (ZSTD_getFrameHeader(&header, data + at, size - at) != 0) return SIZE_MAX;
        if (header.frameType == ZSTD_frame && header.windowSize > largest) {
            if (header.windowSize > SIZE_MAX / 2) return SIZE_MAX;
            largest = size_t(header.windowSize);
        }
        const size_t extent = ZSTD_findFrameCompressedSize(data + at, size - at);
        if (ZSTD_isError(extent) || extent == 0) return SIZE_MAX;
        at += extent;
    }
    return largest;
}

int64_t zstd_declared_size(const uint8_t *data, size_t size) {
    const unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN) return -1;
    if (declared == ZSTD_CONTENTSIZE_ERROR || declared > uint64_t(INT64_MAX)) return -2;
    return int64_t(declared);
}

void zstd_decompress(const uint8_t *data, size_t size, size_t max_size, ByteBuffer &out) {
    if (size == 0) fail("no frame");
    unsigned long long declared = ZSTD_getFrameContentSize(data, size);
    if (declared == ZSTD_CONTENTSIZE_ERROR) fail("not a valid frame");
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN) {
        const size_t first = std::min(kTrustedDeclaredSize, max_size);
        FrameStream stream(data, size, max_size);
        out.resize(first);
        const size_t got = stream.read(out.data(), first);
        out.resize(got);
        if (got < first || stream.ended()) return;
        // More than the first piece: measured first, so that content over
        // the limit is refused having kept nothing.
        stream.skip(SIZE_MAX);
        const size_t total = stream.produced();
        ByteBuffer().swap(out);
        out.resize(total);
        FrameStream again(data, size, total);
        if (again.read(out.data(), total) != total) fail("truncated frame");
        return;
    }
    if (declared > max_size) fail("declared content exceeds the size limit");
    // A declared size is a claim of the frame: above kTrustedDeclaredSize the
    // content is decompressed in steps, so that a frame that claims much and
    // holds little never has the claimed buffer filled. The stream takes a
    // window as large as the declared content (which a frame of one segment
    // has), reserved by the library but touched only as it is written.
    if (declared > kTrustedDeclaredSize) {
        int window_log = 10;
        while ((1ull << window_log) < declared) ++window_log;
        // Memory left unset is untouched until written.
        out.resize(static_cast<size_t>(declared));
        FrameStream stream(data, size, static_cast<size_t>(declared), window_log);
        const size_t got = stream.read(out.data(), out.size());
        uint8_t beyond;
        stream.read(&beyond, 1);  // content beyond the declared size fails here
        if (got != declared) fail("content shorter than declared");
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

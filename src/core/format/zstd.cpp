#include "format/zstd.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // frame headers, for the window sizes
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

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

// A frame declaring more is decompressed first into memory of this many
// times its compressed size (at least kTrustedDeclaredSize), more than the
// content of most real segments takes, then into more while it does not fit.
constexpr size_t kFirstAttemptRatio = 16;

// Attempts into more memory than this are made aside, where the caller may
// end them (see attempts_aside); the wait between two interruption points.
constexpr size_t kInlineAttempt = size_t(64) << 20;
constexpr std::chrono::milliseconds kAsideWait{5};

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

namespace {

// The header of a frame that is not one segment as it is without its
// content size; returns its size (at most ZSTD_FRAMEHEADERSIZE_MAX).
size_t header_without_content_size(const uint8_t *data, uint8_t *out) {
    const uint8_t descriptor = data[4];
    const size_t dict_bytes = (descriptor & 3) == 3 ? 4 : (descriptor & 3);
    const size_t n = 6 + dict_bytes;  // magic, descriptor, window, dictionary
    std::copy_n(data, n, out);
    out[4] = descriptor & 0x3F;
    return n;
}

// Streams the frame data[0, size) (header h, not one segment) as if it
// declared no size, checking its content against the size it declares (an
// interruption point at each step inside an InterruptibleScope); the first up to
// `head_size` bytes go to `head`. Returns false when the frame's checksum
// does not match (unless told to ignore it), the content then unmeasured.
bool stream_measured(const uint8_t *data, size_t size, const ZSTD_frameHeader &h, uint8_t *head, size_t head_size,
                     int window_log_max, bool ignore_checksum) {
    const size_t declared = size_t(h.frameContentSize);
    uint8_t header[ZSTD_FRAMEHEADERSIZE_MAX];
    const size_t header_size = header_without_content_size(data, header);
    std::unique_ptr<ZSTD_DStream, DStreamDeleter> stream(ZSTD_createDStream());
    if (!stream) fail("out of memory");
    size_t rc = ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, window_log_max);
    if (!ZSTD_isError(rc) && ignore_checksum)
        rc = ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_forceIgnoreChecksum, ZSTD_d_ignoreChecksum);
    if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
    ZSTD_inBuffer in{header, header_size, 0};
    bool body = false;
    uint8_t piece[16384];
    size_t produced = 0;
    const bool interruptible = interruptible_scope();
    for (rc = 1; rc != 0;) {
        if (interruptible) interruption_point();
        if (!body && in.pos == in.size) {
            in = ZSTD_inBuffer{data + h.headerSize, size - h.headerSize, 0};
            body = true;
        }
        // One byte beyond the declared size is asked for, so that more
        // content is seen as soon as it is there.
        const bool in_head = produced < head_size;
        ZSTD_outBuffer out{in_head ? head + produced : piece,
                           std::min(in_head ? head_size - produced : sizeof piece, declared + 1 - produced), 0};
        const size_t before = in.pos;
        rc = ZSTD_decompressStream(stream.get(), &out, &in);
        produced += out.pos;
        if (produced > declared) fail(ZSTD_getErrorString(ZSTD_error_dstSize_tooSmall));
        if (ZSTD_isError(rc)) {
            // The checksum is compared while content may still be held
            // back, so that content is measured without it first.
            if (ZSTD_getErrorCode(rc) == ZSTD_error_checksum_wrong) return false;
            fail(ZSTD_getErrorName(rc));
        }
        // No progress with the frame's bytes all given: it is cut short
        // (its extent was read, so this is a guard).
        if (rc != 0 && body && in.pos == in.size && in.pos == before && out.pos == 0)
            fail(ZSTD_getErrorString(ZSTD_error_srcSize_wrong));
    }
    if (produced != declared) fail(ZSTD_getErrorString(ZSTD_error_corruption_detected));
    return true;
}

}  // namespace

size_t zstd_pass_declared(const uint8_t *data, size_t size, size_t declared, uint8_t *head, size_t head_size,
                          int window_log_max) {
    const size_t first = ZSTD_findFrameCompressedSize(data, size);
    if (ZSTD_isError(first)) fail(ZSTD_getErrorName(first));
    ZSTD_frameHeader h;
    if (ZSTD_getFrameHeader(&h, data, first) != 0 || h.frameType != ZSTD_frame || h.frameContentSize != declared)
        fail(ZSTD_getErrorString(ZSTD_error_corruption_detected));
    // A frame of one segment has its content for window, which a stream
    // would hold as well: it is decompressed in one call as the whole decode
    // does (streams take no larger window). Any other is streamed as if it
    // declared no size, so that its content is measured against the
    // declared size as one-shot decompression into memory of that size
    // measures it: content beyond it fails as the buffer being too small
    // where it is reached, less content as corruption at the frame's end,
    // and only then a wrong checksum.
    if (data[4] & 0x20) {
        if (h.windowSize > (uint64_t(1) << window_log_max))
            fail(ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge));
        ByteBuffer content;
        content.resize(declared);
        const size_t rc = ZSTD_decompressDCtx(context(), content.data(), content.size(), data, first);
        if (ZSTD_isError(rc)) fail(ZSTD_getErrorName(rc));
        if (rc != declared) fail("content shorter than declared");
        std::copy_n(content.data(), std::min(declared, head_size), head);
    } else if (!stream_measured(data, first, h, head, head_size, window_log_max, false)) {
        stream_measured(data, first, h, head, head_size, window_log_max, true);
        fail(ZSTD_getErrorString(ZSTD_error_checksum_wrong));
    }
    if (first < size) {
        // One-shot decompression has no room left after the first frame:
        // what follows must yield nothing. Bytes that begin no frame there
        // are taken for a wrong source size, as after any complete frame.
        uint8_t none;
        const size_t rc = ZSTD_decompressDCtx(context(), &none, 0, data + first, size - first);
        if (ZSTD_isError(rc))
            fail(ZSTD_getErrorCode(rc) == ZSTD_error_prefix_unknown ? ZSTD_getErrorString(ZSTD_error_srcSize_wrong)
                                                                    : ZSTD_getErrorName(rc));
    }
    return std::min(declared, head_size);
}

namespace {

// Whether every raw and RLE block of the frame data[0, extent) (a frame
// whose extent was read) is within the frame's block maximum: one-shot
// decompression takes larger ones as they are, streams refuse them.
bool blocks_within_maximum(const uint8_t *data, size_t extent, const ZSTD_frameHeader &header) {
    size_t at = header.headerSize;
    while (at + 3 <= extent) {
        const uint32_t block = uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16;
        const uint32_t type = (block >> 1) & 3, length = block >> 3;
        if (type < 2 && length > header.blockSizeMax) return false;
        at += 3 + (type == 1 ? 1 : length);
        if (block & 1) break;
    }
    return true;
}

}  // namespace

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
        if (header.frameType == ZSTD_frame && !blocks_within_maximum(data + at, extent, header)) return SIZE_MAX;
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

namespace {

// One-shot decompression of data[0, size), which declares `declared` bytes,
// into memory of `capacity` bytes. True when it ended: `out` holds the
// content, or `failure` says why it failed; false when the content does
// not fit, `capacity` then doubled (up to the declared size) for the next
// attempt. An attempt too small for the content fails only as too small,
// any other failure as an attempt of the full size does, since the frames
// are decoded in order.
bool attempt(ZSTD_DCtx *ctx, const uint8_t *data, size_t size, size_t declared, size_t &capacity, ByteBuffer &out,
             std::string &failure) {
    // Growing an emptied buffer copies nothing; memory left unset is
    // untouched until written.
    out.clear();
    out.resize(capacity);
    const size_t rc = ZSTD_decompressDCtx(ctx, out.data(), out.size(), data, size);
    if (!ZSTD_isError(rc)) {
        if (rc != declared) failure = "content shorter than declared";
        out.resize(rc);
        return true;
    }
    if (ZSTD_getErrorCode(rc) != ZSTD_error_dstSize_tooSmall || capacity == declared) {
        failure = ZSTD_getErrorName(rc);
        return true;
    }
    capacity = capacity > declared / 2 ? declared : 2 * capacity;
    return false;
}

// The attempts from `capacity` on, made on a thread of their own while this
// one waits at interruption points: one call of the library cannot be
// interrupted, and an attempt of up to 1 GiB takes about a second. When the
// wait is ended (the interruption hook throws), the thread finishes alone
// on memory of its own (a copy of the frames, its output) and frees it.
void attempts_aside(const uint8_t *data, size_t size, size_t declared, size_t capacity, ByteBuffer &out) {
    struct Job {
        ByteBuffer frames, content;
        std::string failure;
        std::exception_ptr error;
        std::mutex mutex;
        std::condition_variable ended_cv;
        bool ended = false;
    };
    auto job = std::make_shared<Job>();
    job->frames.assign(data, data + size);
    auto work = [job, declared, capacity]() mutable {
        try {
            std::unique_ptr<ZSTD_DCtx, DCtxDeleter> ctx(ZSTD_createDCtx());
            if (!ctx) fail("out of memory");
            while (!attempt(ctx.get(), job->frames.data(), job->frames.size(), declared, capacity, job->content,
                            job->failure)) {}
        } catch (...) {
            job->error = std::current_exception();
        }
        ByteBuffer().swap(job->frames);
        const std::lock_guard<std::mutex> guard(job->mutex);
        job->ended = true;
        job->ended_cv.notify_all();
    };
    std::thread worker;
    try {
        worker = std::thread(work);
    } catch (const std::system_error &) {
        // No thread to be had: the attempts are made here.
        work();
    }
    struct Leave {
        std::thread &t;
        ~Leave() {
            if (t.joinable()) t.detach();
        }
    } leave{worker};
#ifndef _WIN32
    const pid_t process = ::getpid();
#endif
    std::unique_lock<std::mutex> guard(job->mutex);
    while (!job->ended_cv.wait_for(guard, kAsideWait, [&] { return job->ended; })) {
        guard.unlock();
        interruption_point();
#ifndef _WIN32
        // The caller's code forked meanwhile: the worker runs in the parent only.
        if (::getpid() != process) fail("the decompression was left in the parent process at a fork");
#endif
        guard.lock();
    }
    guard.unlock();
    if (worker.joinable()) worker.join();
    if (job->error) std::rethrow_exception(job->error);
    if (!job->failure.empty()) fail(job->failure);
    out.swap(job->content);
}

}  // namespace

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
    // A declared size is a claim of the frame: memory follows what it
    // yields. One-shot decompression needs no window beside its output; it
    // is tried into memory of kTrustedDeclaredSize, or kFirstAttemptRatio
    // times the compressed bytes when that is more, first, doubled up to
    // the declared size while the content does not fit, so that the content
    // costs at most twice its work and memory (and what the file's own bytes
    // ask for). An attempt too small for the content fails only as too
    // small, any other failure as an attempt of the full size does, since
    // the frames are decoded in order.
    const size_t first = size > SIZE_MAX / kFirstAttemptRatio ? SIZE_MAX : size * kFirstAttemptRatio;
    size_t capacity = std::min(static_cast<size_t>(declared), std::max(first, kTrustedDeclaredSize));
    std::string failure;
    for (;;) {
        if (capacity > kInlineAttempt && interruptible_scope()) {
            attempts_aside(data, size, static_cast<size_t>(declared), capacity, out);
            return;
        }
        if (attempt(context(), data, size, static_cast<size_t>(declared), capacity, out, failure)) break;
    }
    if (!failure.empty()) fail(failure);
}

ByteBuffer zstd_decompress(const uint8_t *data, size_t size, size_t max_size) {
    ByteBuffer out;
    zstd_decompress(data, size, max_size, out);
    return out;
}

}  // namespace zarn

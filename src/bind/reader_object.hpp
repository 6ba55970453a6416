// The reader of a KxmFileReader object: the file it reads, and the reader
// as the other modules take it from the object.
#pragma once

#include <nanobind/nanobind.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "format/interrupt.hpp"
#include "io/reader.hpp"
#include "threading.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The container file as the interpreter's binary file object. The
// interpreter's own buffered file over a regular file is read with
// positioned reads on a descriptor of the source's own (duplicated at open),
// without the GIL: the stream itself is then only moved to where those reads
// leave it, at once with the GIL held, else when Python next runs. A stream
// closed elsewhere thus fails with its own error at that move, and no
// descriptor number that its closing freed is ever read. Any other stream is
// read through its own methods, with the GIL.
//
// The descriptor is closed by close() (the file's closing, whatever objects
// still hold the reader), by the source's end, and by the first use that
// finds the stream closed by other code. Only a thread that holds the
// reader's lock closes it, so no read on another thread is under way on it.
class StreamSource final : public ByteSource {
public:
    explicit StreamSource(nb::object stream) : stream_(std::move(stream)) {
        static nb::handle buffered = nb::object(nb::module_::import_("io").attr("BufferedReader")).release();
        static nb::handle file_io = nb::object(nb::module_::import_("io").attr("FileIO")).release();
        own_memory_ = Py_TYPE(stream_.ptr()) == (PyTypeObject *)buffered.ptr() &&
                      Py_TYPE(nb::getattr(stream_, "raw").ptr()) == (PyTypeObject *)file_io.ptr();
        if (own_memory_) fd_ = own_descriptor(nb::cast<int>(stream_.attr("fileno")()));
    }
    StreamSource(const StreamSource &) = delete;
    StreamSource &operator=(const StreamSource &) = delete;
    ~StreamSource() override { close_descriptor(); }
    const nb::object &stream() const { return stream_; }
    // What close() closes: the stream, but for the interpreter's buffered
    // file of a reader lost at a fork the raw file under it, since the
    // buffered file's own lock stays held in the child when a thread of the
    // parent was inside one of its calls (it closes the same file).
    nb::object closing() { return own_memory_ && lock.lost() ? nb::object(stream_.attr("raw")) : stream_; }

    // Closes the stream, unless it is closed already, and the descriptor of
    // the source's own (with the GIL held). A walk using the reader
    // meanwhile goes over to the stream at its next read or touch (its next
    // spectrum), which fails as closed, and gives the descriptor up itself;
    // close() waits for the reader's lock (without the GIL) and closes the
    // descriptor if still open.
    // It does not wait where that could never end: while the interpreter
    // finalizes (a daemon thread may hold the lock for good), or on a
    // thread that holds another reader's lock (finalisation of the file may
    // run there); the thread holding the lock, or the source's end, then
    // closes the descriptor.
    void close() {
        try {
            const nb::object stream = closing();
            if (!nb::cast<bool>(nb::bool_(stream.attr("closed")))) stream.attr("close")();
        } catch (...) {
            release_descriptor();
            throw;
        }
        release_descriptor();
    }

    void seek(int64_t position) override {
        holding_gil([&] { seek_held(position); });
        if (fd_ >= 0) cursor_ = position;
    }

    size_t read(uint8_t *out, size_t size) override {
        if (size == 0) return 0;
        if (positioned() && cursor_) return read_positioned(*cursor_, out, size);
        return holding_gil([&] {
            flush_touch();
            return read_held(out, size);
        });
    }

    size_t read_at(int64_t position, uint8_t *out, size_t size) override {
        if (size != 0 && positioned()) return read_positioned(position, out, size);
        return holding_gil([&] {
            seek_held(position);
            return size == 0 ? size_t(0) : read_held(out, size);
        });
    }

    // With the GIL held the stream is touched at once, as always. A walk
    // running without it touches the stream at each spectrum: taking the
    // GIL back for each would wait on every busy Python thread, so the last
    // touch is kept, and made before the stream is next used, before the
    // thread next runs Python code (with_gil) and when the walk ends
    // (ReaderUse::native). No Python code sees the difference.
    // Once the file is being closed, a touch is made at once: a walk that
    // reads nothing more from the file (its spectra share a segment) then
    // fails at its next spectrum, so that close() does not wait for its end.
    void touch(int64_t position) override {
        if (PyGILState_Check() || closing_.load(std::memory_order_acquire)) return seek(position);
        put_off_touch(position);
    }
    // Makes the touch put off by a walk (with the GIL held).
    void flush_touch() override {
        if (deferred_touch_source() == this) deferred_touch_source() = nullptr;
        if (pending_touch_) seek_held(*pending_touch_);
    }

    // Long steps (decompressing a large segment) run without the GIL; a
    // short one is not worth giving the GIL up and waiting to get it back:
    // beside a busy Python thread, taking it back can wait for that thread's
    // whole switch interval. A single block is decoded with the GIL held for
    // the same reason; only its large segments' decompression gives it up.
    void run_native(size_t size, const std::function<void()> &work) override {
        if (size < kNativeThreshold) return work();
        without_gil(work);
    }

    // Counts for the tests: reads through the stream's own methods, and
    // the GIL taken back to use the stream.
    size_t stream_reads = 0, gil_takes = 0;

    // The lock of the reader that reads through this source.
    ReaderLock lock;

private:
    static constexpr size_t kNativeThreshold = 65536;

    template <typename F>
    auto holding_gil(F &&f) -> decltype(f()) {
        if (!PyGILState_Check()) ++gil_takes;
        return zarn::py::holding_gil(std::forward<F>(f));
    }

    // A descriptor of the source's own for a regular file; -1 otherwise
    // (and on Windows, which has no positioned reads on a descriptor).
    static int own_descriptor([[maybe_unused]] int fd) {
#ifdef _WIN32
        return -1;
#else
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
        return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
#endif
    }
    void close_descriptor() noexcept {
#ifndef _WIN32
        if (fd_ >= 0) ::close(fd_);
#endif
        fd_ = -1;
        cursor_.reset();
    }

    // Whether reads go through the descriptor. Once the file is being closed
    // they go through the stream: the thread reading (it holds the reader's
    // lock) closes the descriptor and moves the stream to where the reads
    // stood, which fails there as closed.
    bool positioned() {
        if (fd_ < 0) return false;
        if (!closing_.load(std::memory_order_acquire)) return true;
        const std::optional<int64_t> at = cursor_;
        close_descriptor();
        if (at) holding_gil([&] { seek_held(*at); });
        return false;
    }

    // The descriptor's part of close().
    void release_descriptor() {
        if (!own_memory_) return;  // no descriptor of its own was ever taken
        closing_.store(true, std::memory_order_release);
        const std::vector<void *> &held = zarn::held_reader_locks();
        const bool holds_other = std::any_of(held.begin(), held.end(), [&](void *l) { return l != &lock; });
        if (finalizing() || holds_other) return;
        // A lock lost at a fork or at exit has no holder that reads again.
        if (!lock.lost()) {
            try {
                const std::lock_guard<ReaderLock> use(lock);
                close_descriptor();
                return;
            } catch (const ZarnError &) {
                if (!lock.lost()) throw;
            }
        }
        close_descriptor();
    }

    static bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing() != 0;
#else
        return _Py_IsFinalizing() != 0;
#endif
    }

    void put_off_touch(int64_t position) {
        pending_touch_ = position;
        deferred_touch_source() = this;
    }

    // Reads at the position through the source's descriptor, then moves the
    // stream to where its own read would have left it.
    size_t read_positioned(int64_t position, uint8_t *out, size_t size) {
        size_t got = 0;
#ifndef _WIN32
        while (got < size) {
            const ssize_t n = ::pread(fd_, out + got, size - got, off_t(position) + off_t(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                holding_gil([&] {
                    errno = error;
                    PyErr_SetFromErrno(PyExc_OSError);
                    throw nb::python_error();
                });
            }
            if (n == 0) break;
            got += size_t(n);
        }
#endif
        cursor_ = position + int64_t(got);
        if (PyGILState_Check())
            seek_held(*cursor_);
        else
            put_off_touch(*cursor_);
        return got;
    }

    // A seek with the GIL held; it supersedes a touch put off. A stream
    // found closed gives its descriptor up: every later read goes through
    // the stream, and fails as it does.
    void seek_held(int64_t position) {
        pending_touch_.reset();
        try {
            stream_.attr("seek")(position);
        } catch (nb::python_error &) {
            if (fd_ >= 0 && nb::cast<bool>(nb::bool_(stream_.attr("closed")))) close_descriptor();
            throw;
        }
    }

    size_t read_held(uint8_t *out, size_t size) {
        ++stream_reads;
        // The interpreter's own file object (buffered over a file descriptor)
        // reads straight into the reader's memory and keeps no view of it.
        // Any other stream gets a buffer of its own, copied out: a view it
        // kept would outlive that memory.
        nb::object target;
        if (own_memory_) {
            target = nb::steal(PyMemoryView_FromMemory(reinterpret_cast<char *>(out), Py_ssize_t(size), PyBUF_WRITE));
        } else {
            target = nb::steal(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(size)));
        }
        if (!target.is_valid()) throw nb::python_error();
        nb::object got;
        try {
            got = stream_.attr("readinto")(target);
        } catch (...) {
            if (own_memory_) target.attr("release")();
            throw;
        }
        if (own_memory_) target.attr("release")();
        if (got.is_none()) return 0;
        const int64_t n = nb::cast<int64_t>(got);
        const size_t taken = n < 0 ? 0 : std::min<size_t>(size_t(n), size);
        if (!own_memory_) {
            // The stream may have resized its buffer: copy only what it holds.
            const size_t held = size_t(PyByteArray_GET_SIZE(target.ptr()));
            const size_t copied = std::min(taken, held);
            if (copied) std::memcpy(out, PyByteArray_AS_STRING(target.ptr()), copied);
            return copied;
        }
        return taken;
    }

    nb::object stream_;
    bool own_memory_ = false;
    int fd_ = -1;
    // Set by close(): reads stop using the descriptor, touches are made at once.
    std::atomic<bool> closing_ = false;
    // Where the next read() continues, once positioned reads have begun.
    std::optional<int64_t> cursor_;
    std::optional<int64_t> pending_touch_;
};

// The core's interruption hook (format/interrupt.hpp): on the main thread,
// pending signals are answered there as other caller code runs (with_gil:
// the GIL held, no reader lock held), and a handler's exception, such as
// the KeyboardInterrupt of Ctrl-C, ends the call. Other threads never take
// the GIL for it: only the main thread runs Python's signal handlers.
inline unsigned long &signal_thread() {
    static unsigned long ident = 0;
    return ident;
}
// Once the interpreter exits, a thread other than the exiting one stops
// here for good (threading.hpp).
inline void answer_signals() {
    stop_if_exiting();
    if (PyThread_get_thread_ident() != signal_thread()) return;
    with_gil([] {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    });
}
// Called once, with the GIL held, when the reader module is loaded; a
// child process forked from another thread has that thread as its main one.
inline void install_signal_hook() {
    auto learn = [] {
        signal_thread() =
            nb::cast<unsigned long>(nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    };
    learn();
    const nb::module_ os = nb::module_::import_("os");
    if (nb::hasattr(os, "register_at_fork"))
        os.attr("register_at_fork")(nb::arg("after_in_child") = nb::cpp_function(learn));
    zarn::set_interruption_hook(&answer_signals);
}

// The source of a reader that a KxmFileReader object holds (every one reads
// through a StreamSource), and its stream.
inline StreamSource &source_of(Reader &reader) { return static_cast<StreamSource &>(reader.source()); }
inline const nb::object &stream_of(Reader &reader) { return source_of(reader).stream(); }

// The C++ reader of a KxmFileReader object; TypeError for anything else.
inline Reader &reader_of(nb::handle reader_object) {
    Reader *reader = nullptr;
    if (!reader_object.is_valid() || !nb::try_cast<Reader *>(reader_object, reader) || !reader)
        throw nb::type_error("a KxmFileReader is required");
    return *reader;
}

// One call's use of a reader: its lock, held from here to the end of the
// scope, and the reader object, kept alive as long (Python code that the
// call runs may drop every other reference). Made and ended with the GIL
// held.
class ReaderUse {
public:
    explicit ReaderUse(nb::handle reader_object) : object_(nb::borrow(reader_object)), reader_(reader_of(object_)) {
        assert_gil("taking a reader");
        lock().lock();
    }
    // For a reader that the caller keeps alive (the object a method is called on).
    explicit ReaderUse(Reader &reader) : reader_(reader) {
        assert_gil("taking a reader");
        lock().lock();
    }
    ReaderUse(const ReaderUse &) = delete;
    ReaderUse &operator=(const ReaderUse &) = delete;
    ~ReaderUse() {
        assert_gil("leaving a reader");
        lock().unlock();
    }
    Reader &reader() const { return reader_; }
    // Runs f without the GIL, then makes the stream touch it put off (the
    // stream's own seek: caller code). When f fails, its failure is the one
    // reported.
    template <typename F>
    void native(F &&f) const {
        StreamSource &source = source_of(reader_);
        try {
            without_gil(std::forward<F>(f));
        } catch (...) {
            try {
                holding_gil([&] { source.flush_touch(); });
            } catch (...) {}
            throw;
        }
        holding_gil([&] { source.flush_touch(); });
    }

private:
    ReaderLock &lock() const { return source_of(reader_).lock; }
    nb::object object_;
    Reader &reader_;
};

// Runs f holding the lock of the reader object, when it is a KxmFileReader.
template <typename F>
void with_reader_lock(nb::handle reader_object, F &&f) {
    Reader *reader = nullptr;
    if (reader_object.is_valid() && nb::try_cast<Reader *>(reader_object, reader) && reader) {
        const ReaderUse use(*reader);
        f();
    } else {
        f();
    }
}

// A method of KxmFileReader (a member of Reader, or a function or lambda
// whose first parameter is the Reader) that holds the reader's lock for the
// call.
template <typename R, typename... A>
auto locked(R (Reader::*f)(A...)) {
    return [f](Reader &r, A... a) -> R {
        const ReaderUse use(r);
        return (r.*f)(std::forward<A>(a)...);
    };
}
template <typename R, typename... A>
auto locked(R (Reader::*f)(A...) const) {
    return [f](Reader &r, A... a) -> R {
        const ReaderUse use(r);
        return (r.*f)(std::forward<A>(a)...);
    };
}
template <typename R, typename... A>
auto locked(R (*f)(Reader &, A...)) {
    return [f](Reader &r, A... a) -> R {
        const ReaderUse use(r);
        return f(r, std::forward<A>(a)...);
    };
}
namespace detail {
template <typename L, typename R, typename... A>
auto locked_lambda(L l, R (L::*)(Reader &, A...) const) {
    return [l](Reader &r, A... a) -> R {
        const ReaderUse use(r);
        return l(r, std::forward<A>(a)...);
    };
}
}  // namespace detail
template <typename L>
auto locked(L l) {
    return detail::locked_lambda(std::move(l), &L::operator());
}

}  // namespace zarn::py

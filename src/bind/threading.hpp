// Threads: long native work runs without the interpreter's lock (the GIL),
// and each file's reader has a lock of its own (ReaderLock) that serialises
// the calls using it. The one rule for the native state that threads share:
//
// - A reader (its window, position, decompressed segment, spare memory) and
//   its StreamSource are used only by the thread that holds the reader's
//   lock. A call takes it through a ReaderUse, with the GIL held, and keeps
//   it to its end; a walk keeps it while it runs without the GIL. Closing
//   the file is such a use for the source's own descriptor: close() marks
//   the source closing (an atomic flag, which the lock's holder reads at
//   each read and touch and then gives the descriptor up itself) and takes
//   the lock to close it, but not while the interpreter finalizes nor on a
//   thread that holds another reader's lock.
// - The native spectrum table of an analysis (NativeSpectra) and what a walk
//   reads of a made spectrum (its description's record and acquisition
//   condition, its SpectrumIndex position) are written only by a thread
//   that holds both the GIL and the lock of the table's reader (the reader
//   whose file the table was read from; a spectrum's description knows it).
//   A thread that holds either one may read them: a walk reads them without
//   the GIL under the lock, and with the GIL while its lock is suspended.
// - Without the GIL runs only code that touches no Python object: the
//   decompression of large segments, and the walks over the spectra. They
//   reach Python only through `with_gil`, and their reads of the reader's
//   own file need no GIL at all (positioned reads on a descriptor of the
//   reader's own, StreamSource).
// - Caller code (a range subclass's bounds or contains_value, a
//   condition's __eq__ or __hash__, a Python signal handler run at the
//   core's interruption points, anything else a walk asks through
//   `with_gil`) never runs with a reader lock held: `with_gil` first
//   suspends every reader lock the thread holds, at every depth, and takes
//   them back afterwards, in a fixed order and waiting without the GIL. The
//   walk then finds the reader as other threads left it, so it seats the
//   reader again before it reads (each spectrum is sought anew), and copes
//   with a file closed meanwhile (the closed stream's own error) and with
//   an analysis cleared meanwhile (it holds the table it started with).
//   A caller's bound that a decoder asks point by point (an extraction's
//   m/z bounds) is such code too: the decoder decodes bytes of its own and
//   seats the reader again after it. One exception runs caller code under
//   the lock, as the reader stands mid-way through loading a window then: a
//   caller's own file-like object (any stream but the interpreter's
//   buffered file over a regular file) is read under it.
// - A thread that waits for a reader lock never holds the GIL, so the
//   holder, which may need the GIL to go on, never waits for a waiter.
//   Where one thread needs two readers' locks at once (reading into a
//   spectrum description through one reader when the description belongs
//   to another's table) it takes them in address order.
// - In test builds (ZARN_TESTING) the places that make or drop Python
//   objects on behalf of native work assert that the GIL is held
//   (`assert_gil`); the check is compiled out otherwise.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "io/reader.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Whether this thread holds the GIL is asked of the interpreter: every
// extension module of the package has its own copy of these functions, and
// one module may release the GIL where another's code takes it back.

// In test builds: aborts, naming the place, when the GIL is not held.
#ifdef ZARN_TESTING
inline void assert_gil(const char *where) {
    if (PyGILState_Check()) return;
    std::fprintf(stderr, "zarn: %s without the GIL\n", where);
    std::abort();
}
#else
inline void assert_gil(const char *) {}
#endif

// Runs f without the GIL (f touches no Python object but through
// `with_gil`). A failure thrown by f, a C++ exception or an nb::python_error
// made inside `with_gil`, reaches the caller with the GIL held again, to be
// translated as always.
template <typename F>
decltype(auto) without_gil(F &&f) {
    if (!PyGILState_Check()) return std::forward<F>(f)();
    const nb::gil_scoped_release released;
    return std::forward<F>(f)();
}

// The lock of one reader. The thread that holds it may take it again
// (Python code it calls back may use the same reader); another thread waits
// for it without the GIL. The holder may suspend it, whatever its depth,
// and take it back at that depth.
class ReaderLock {
public:
    ReaderLock() = default;
    ReaderLock(const ReaderLock &) = delete;
    ReaderLock &operator=(const ReaderLock &) = delete;

    void lock() { take(1); }
    void unlock() {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (--depth_ == 0) release_held();
    }
    // Gives the lock up however deep this thread holds it; the depth it had.
    size_t suspend() {
        const std::lock_guard<std::mutex> guard(mutex_);
        const size_t depth = depth_;
        depth_ = 0;
        release_held();
        return depth;
    }
    // Takes it back at the depth that suspend() gave.
    void resume(size_t depth) { take(depth); }

private:
    void take(size_t depth) {
        const std::thread::id me = std::this_thread::get_id();
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            if (depth_ != 0 && owner_ == me) {
                depth_ += depth;
                return;
            }
            if (depth_ == 0) return own(me, depth);
        }
        without_gil([&] {
            std::unique_lock<std::mutex> guard(mutex_);
            free_.wait(guard, [&] { return depth_ == 0; });
            own(me, depth);
        });
    }
    void own(std::thread::id me, size_t depth) {
        owner_ = me;
        depth_ = depth;
        zarn::held_reader_locks().push_back(this);
    }
    void release_held() {
        owner_ = std::thread::id();
        std::vector<void *> &held = zarn::held_reader_locks();
        const auto it = std::find(held.begin(), held.end(), static_cast<void *>(this));
        if (it != held.end()) held.erase(it);
        free_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable free_;
    std::thread::id owner_;
    size_t depth_ = 0;
};

// For its lifetime, this thread holds no reader lock: every one it holds is
// suspended, and taken back at the end in address order, so that threads
// taking several back never wait for each other in a cycle.
class LocksSuspended {
public:
    LocksSuspended() {
        const std::vector<void *> &held = zarn::held_reader_locks();
        if (held.empty()) return;
        const std::vector<void *> locks = held;
        for (void *lock : locks) {
            ReaderLock *l = static_cast<ReaderLock *>(lock);
            saved_.emplace_back(l, l->suspend());
        }
        std::sort(saved_.begin(), saved_.end());
    }
    LocksSuspended(const LocksSuspended &) = delete;
    LocksSuspended &operator=(const LocksSuspended &) = delete;
    ~LocksSuspended() {
        for (const auto &[lock, depth] : saved_) lock->resume(depth);
    }

private:
    std::vector<std::pair<ReaderLock *, size_t>> saved_;
};

// Runs f with the GIL held, taken for the call when this thread runs
// without it; the reader's own stream reads take it so (the reader's lock
// stays held). Python code may look at the stream a walk read: it first
// stands where the walk's touches would have left it.
template <typename F>
decltype(auto) holding_gil(F &&f) {
    if (PyGILState_Check()) return std::forward<F>(f)();
    const nb::gil_scoped_acquire held;
    zarn::flush_deferred_touch();
    return std::forward<F>(f)();
}

// Runs f, which may run caller code, with the GIL held and no reader lock:
// the locks this thread holds are suspended first and taken back (waiting
// without the GIL) once f is done. Python objects are made, read and dropped
// only inside such a call (or where the GIL was never released).
// The stream touch put off is made first, while the reader is still this
// thread's.
template <typename F>
decltype(auto) with_gil(F &&f) {
    return holding_gil([&]() -> decltype(auto) {
        const LocksSuspended suspended;
        return std::forward<F>(f)();
    });
}

}  // namespace zarn::py

// Threads: long native work runs without the interpreter's lock (the GIL),
// and each file's reader has a lock of its own (ReaderLock) that serialises
// the calls using it; each WbnConverter has one too (its StateLock, a
// ThreadLock). The one rule for the native state that threads share:
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
// - A converter's run state is used only by the thread that holds its
//   lock (StateLock). Unlike a reader's, it is held while caller code runs
//   (a field's setattr, the pool's factory and submit, which may call the
//   same converter again on the same thread: the lock is recursive), and it
//   is never suspended; a thread waits for it without the GIL, like a
//   reader lock. A thread holding it may take a reader lock (caller code
//   reading a file), never the other way round but through a caller's own
//   file-like object, which must then not use the converter.
// - Every GIL release and every retake goes through this file (GilReleased,
//   GilTaken), so that the process's exit and fork find each thread at a
//   known step. At exit, before the interpreter finalizes, an atexit hook
//   raises a flag and waits (up to kExitWait) for the threads running here
//   without the GIL; a thread other than the exiting one then stops for
//   good at its next step (an interruption point of the core, a lock wait,
//   the GIL taken back, the return from caller code), holding no GIL and
//   touching nothing, and its reader locks are lost. A thread that the
//   interpreter ends inside caller code (CPython 3.11 to 3.13 unwind it from
//   its GIL wait) stops where the unwind reaches the package (run_caller), since
//   the cleanups of the frames below would run without the GIL. The state
//   such a thread may still see (SharedThreads) is never freed.
// - Every ThreadLock is registered: fork handlers take each one's internal
//   mutex before fork(), and in the child a lock that another thread held
//   is lost. Taking a lost lock fails with ZarnException (open the file
//   again), and the guarded reader or converter is not used again.
// - In test builds (ZARN_TESTING) the places that make or drop Python
//   objects on behalf of native work assert that the GIL is held
//   (`assert_gil`); the check is compiled out otherwise.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// glibc ends a thread (pthread_exit, as CPython 3.11 to 3.13 do at exit) by
// unwinding it with an exception of no C++ type: a catch (...) sees it as
// one whose std::current_exception() is empty.
#if defined(__GLIBC__) || defined(__GLIBCXX__)
#define ZARN_FORCED_UNWIND 1
#endif
#ifndef _WIN32
#include <pthread.h>
#endif

#include "format/errors.hpp"
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

class ThreadLock;

// What the threads of every module share: whether the interpreter is
// exiting (and which thread runs the exit), how many threads run without
// the GIL inside the package's own code, and every lock of the package (for
// the wake-up at exit and the fork handlers). One per process, never freed.
struct SharedThreads {
    std::atomic<bool> exiting{false};
    std::thread::id exit_thread;  // written before `exiting` is raised
    std::atomic<size_t> native{0};
    std::mutex mutex;  // with `drained`: the exit's wait for `native` to reach 0
    std::condition_variable drained;
    std::mutex registry;  // guards `locks` and each lock's place in it
    ThreadLock *locks = nullptr;
    bool exit_hook = false;  // registered with the atexit module (under the GIL)
};

inline SharedThreads &shared_threads();

// This thread is to stop where it stands: the interpreter exits and it is
// not the thread that runs the exit.
inline bool must_stop() {
    SharedThreads &s = shared_threads();
    return s.exiting.load() && std::this_thread::get_id() != s.exit_thread;
}

// Stops this thread for good, holding no GIL and touching nothing again:
// the locks it holds are marked lost first, so that the exiting thread
// fails on them instead of waiting. `native`: the thread is counted as
// running without the GIL.
[[noreturn]] inline void stop_thread(bool native) noexcept;

// The end of a stretch without the GIL (the count the exit waits for).
inline void native_ended() noexcept {
    SharedThreads &s = shared_threads();
    if (s.native.fetch_sub(1) == 1 && s.exiting.load()) {
        const std::lock_guard<std::mutex> guard(s.mutex);
        s.drained.notify_all();
    }
}

// Gives the GIL up, with `release`, to run native code: with the GIL held,
// a thread that must stop gives it up and stops instead.
template <typename Release>
void enter_native(Release &&release) {
    if (must_stop()) {
        release();
        stop_thread(false);
    }
    shared_threads().native.fetch_add(1);
    release();
}

// Takes the GIL back, with `acquire`, after native code. A thread that must
// stop, or that the interpreter ends while it waits for the GIL (the
// interpreter then unwinds it, from CPython 3.11 to 3.13), stops instead.
template <typename Acquire>
void leave_native(Acquire &&acquire) noexcept {
    if (must_stop()) stop_thread(true);
#ifdef ZARN_FORCED_UNWIND
    try {
        acquire();
    } catch (...) {
        stop_thread(true);  // taking the GIL throws nothing else
    }
#else
    acquire();
#endif
    native_ended();
}

// Runs f, which runs caller code with the GIL held: when the interpreter
// ends the thread meanwhile, the thread stops here, without unwinding
// through the package's frames (whose cleanups need the GIL).
template <typename F>
decltype(auto) run_caller(F &&f) {
#ifdef ZARN_FORCED_UNWIND
    try {
        return std::forward<F>(f)();
    } catch (...) {
        if (!std::current_exception()) stop_thread(false);
        throw;
    }
#else
    return std::forward<F>(f)();
#endif
}

// For its lifetime, this thread runs without the GIL.
class GilReleased {
public:
    GilReleased() {
        enter_native([&] { state_ = PyEval_SaveThread(); });
    }
    ~GilReleased() {
        leave_native([&] { PyEval_RestoreThread(state_); });
    }
    GilReleased(const GilReleased &) = delete;
    GilReleased &operator=(const GilReleased &) = delete;

private:
    PyThreadState *state_ = nullptr;
};

// For its lifetime, this thread, which ran without the GIL, holds it.
class GilTaken {
public:
    GilTaken() {
        leave_native([&] { state_ = PyGILState_Ensure(); });
    }
    ~GilTaken() {
        enter_native([&] { PyGILState_Release(state_); });
    }
    GilTaken(const GilTaken &) = delete;
    GilTaken &operator=(const GilTaken &) = delete;

private:
    PyGILState_STATE state_{};
};

// Runs f without the GIL (f touches no Python object but through
// `with_gil`). A failure thrown by f, a C++ exception or an nb::python_error
// made inside `with_gil`, reaches the caller with the GIL held again, to be
// translated as always.
template <typename F>
decltype(auto) without_gil(F &&f) {
    if (!PyGILState_Check()) return std::forward<F>(f)();
    const GilReleased released;
    return std::forward<F>(f)();
}

// At a step where this thread may stop (it holds the GIL or not): when the
// interpreter exits and this is not the exiting thread, it stops here.
inline void stop_if_exiting() {
    if (must_stop()) without_gil([] { stop_thread(true); });
}

// A lock that the thread holding it may take again, and that another thread
// waits for without the GIL; it stays usable across a fork and the exit. A
// lock held by a thread that is gone (it ran at a fork, in the parent only,
// or it was stopped at exit) is lost: taking it fails with a ZarnError that
// says so, and the object it guards is not used again.
class ThreadLock {
public:
    // `what` names the guarded object in the lost lock's message; a
    // `suspendable` lock is one of the thread's reader locks (see
    // LocksSuspended).
    ThreadLock(const char *what, bool suspendable) : what_(what), suspendable_(suspendable) {
        SharedThreads &s = shared_threads();
        const std::lock_guard<std::mutex> guard(s.registry);
        next_ = s.locks;
        if (next_) next_->prev_ = this;
        s.locks = this;
    }
    ~ThreadLock() {
        SharedThreads &s = shared_threads();
        const std::lock_guard<std::mutex> guard(s.registry);
        (prev_ ? prev_->next_ : s.locks) = next_;
        if (next_) next_->prev_ = prev_;
    }
    ThreadLock(const ThreadLock &) = delete;
    ThreadLock &operator=(const ThreadLock &) = delete;

    void lock() { take(1); }
    bool lost() {
        const std::lock_guard<std::mutex> guard(mutex_);
        return lost_ != nullptr;
    }
    void unlock() {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (!mine()) return;
        if (--depth_ == 0) release_held();
    }

    // The fork and the exit handle every lock of the process.
    template <typename F>
    static void for_each(F &&f) {
        for (ThreadLock *l = shared_threads().locks; l; l = l->next_) f(*l);
    }
    // The exiting thread wakes every waiter, which then stops.
    void wake() {
        { const std::lock_guard<std::mutex> guard(mutex_); }
        free_.notify_all();
    }
    // Marks the lock lost when this thread holds it (it is being stopped).
    void lose_held(const char *why) {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (mine() && !lost_) lost_ = why;
        free_.notify_all();
    }
    // Around fork(): the parent's lock is held by the forking thread; in the
    // child, a lock that another thread held is lost, and the condition
    // variable is made anew (its waiters do not exist there).
    void before_fork() { mutex_.lock(); }
    void after_fork_in_parent() { mutex_.unlock(); }
    void after_fork_in_child() {
        if (depth_ != 0 && owner_ != std::this_thread::get_id() && !lost_) lost_ = kLostAtFork;
        new (&free_) std::condition_variable();
        mutex_.unlock();
    }

    static constexpr const char *kLostAtFork =
        "was in use by another thread when the process forked, and that thread does not run in this process";
    static constexpr const char *kLostAtExit = "was in use by a thread stopped at interpreter exit";

protected:
    void take(size_t depth) {
        const std::thread::id me = std::this_thread::get_id();
        {
            std::unique_lock<std::mutex> guard(mutex_);
            if (lost_) {
                guard.unlock();
                // A thread that must stop does so rather than fail.
                stop_if_exiting();
                throw_lost();
            }
            if (depth_ != 0 && owner_ == me) {
                depth_ += depth;
                return;
            }
            if (depth_ == 0) return own(me, depth);
        }
        without_gil([&] {
            std::unique_lock<std::mutex> guard(mutex_);
            free_.wait(guard, [&] { return depth_ == 0 || lost_ || must_stop(); });
            if (must_stop()) {
                guard.unlock();
                stop_thread(true);
            }
            if (lost_) throw_lost();
            own(me, depth);
        });
    }
    // Gives the lock up however deep this thread holds it; the depth it had.
    size_t give_up() {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (!mine()) return 0;
        const size_t depth = depth_;
        depth_ = 0;
        release_held();
        return depth;
    }

private:
    bool mine() const { return depth_ != 0 && !lost_ && owner_ == std::this_thread::get_id(); }
    void own(std::thread::id me, size_t depth) {
        owner_ = me;
        depth_ = depth;
        if (suspendable_) zarn::held_reader_locks().push_back(this);
    }
    void release_held() {
        owner_ = std::thread::id();
        if (suspendable_) {
            std::vector<void *> &held = zarn::held_reader_locks();
            const auto it = std::find(held.begin(), held.end(), static_cast<void *>(this));
            if (it != held.end()) held.erase(it);
        }
        free_.notify_all();
    }
    [[noreturn]] void throw_lost() const {
        throw ZarnError(std::string("this ") + what_ + " " + lost_ + ": " +
                        (suspendable_ ? "open the file again in this process" : "make a new one in this process"));
    }

    const char *const what_;
    const bool suspendable_;
    std::mutex mutex_;
    std::condition_variable free_;
    std::thread::id owner_;
    size_t depth_ = 0;
    const char *lost_ = nullptr;  // why the lock is lost, once it is
    ThreadLock *prev_ = nullptr, *next_ = nullptr;
};

// The lock of one reader. The thread that holds it may take it again
// (Python code it calls back may use the same reader); another thread waits
// for it without the GIL. The holder may suspend it, whatever its depth,
// and take it back at that depth.
class ReaderLock : public ThreadLock {
public:
    ReaderLock() : ThreadLock("file", true) {}
    // Gives the lock up however deep this thread holds it; the depth it had.
    size_t suspend() { return give_up(); }
    // Takes it back at the depth that suspend() gave.
    void resume(size_t depth) {
        if (depth) take(depth);
    }
};

inline void stop_thread(bool native) noexcept {
    const std::vector<void *> held = zarn::held_reader_locks();
    for (void *lock : held) static_cast<ThreadLock *>(lock)->lose_held(ThreadLock::kLostAtExit);
    if (native) native_ended();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

// How long the exit waits for the threads running without the GIL in the
// package's code to stop (each does at its next step: an interruption point
// of the core, a lock, the GIL taken back).
constexpr std::chrono::seconds kExitWait{2};

// Called at interpreter exit through the atexit module, before the
// interpreter begins to finalize (daemon threads still run then): raises
// the exiting flag, wakes every lock's waiters, and waits a bounded time,
// without the GIL, for every thread running the package's native code to
// stop. Every later step of those threads stops them, and so does the
// interpreter's own end of a thread inside caller code, so no thread of
// ours touches the interpreter's state or the package's while the
// interpreter finalizes.
// The objects that other threads still reach (the frames of a thread
// stopped or ended at exit, and what its call holds) stay alive to the end,
// and nanobind would report them as leaked instances, which they are not.
// With no other thread alive, such a report is a real leak and stays on.
inline void stop_threads_at_exit() {
    SharedThreads &s = shared_threads();
    try {
        nb::object threads = nb::module_::import_("threading").attr("enumerate")();
        if (nb::len(threads) > 1) nb::set_leak_warnings(false);
    } catch (nb::python_error &) {
        nb::set_leak_warnings(false);
    }
    s.exit_thread = std::this_thread::get_id();
    s.exiting.store(true);
    {
        const std::lock_guard<std::mutex> guard(s.registry);
        ThreadLock::for_each([](ThreadLock &l) { l.wake(); });
    }
    PyThreadState *state = PyEval_SaveThread();
    {
        std::unique_lock<std::mutex> guard(s.mutex);
        s.drained.wait_for(guard, kExitWait, [&] { return s.native.load() == 0; });
    }
    PyEval_RestoreThread(state);
}

#ifndef _WIN32
inline void locks_before_fork() {
    shared_threads().registry.lock();
    ThreadLock::for_each([](ThreadLock &l) { l.before_fork(); });
}
inline void locks_after_fork_in_parent() {
    ThreadLock::for_each([](ThreadLock &l) { l.after_fork_in_parent(); });
    shared_threads().registry.unlock();
}
// In the child only the forking thread runs; it held the GIL at the fork.
inline void locks_after_fork_in_child() {
    SharedThreads &s = shared_threads();
    ThreadLock::for_each([](ThreadLock &l) { l.after_fork_in_child(); });
    s.native.store(0);
    new (&s.mutex) std::mutex();
    new (&s.drained) std::condition_variable();
    s.registry.unlock();
}
#endif

inline SharedThreads &shared_threads() {
    static SharedThreads *const state = static_cast<SharedThreads *>(zarn::shared_thread_state([]() -> void * {
        SharedThreads *made = new SharedThreads();
#ifndef _WIN32
        ::pthread_atfork(&locks_before_fork, &locks_after_fork_in_parent, &locks_after_fork_in_child);
#endif
        return made;
    }));
    return *state;
}

// Registers stop_threads_at_exit with the atexit module, once per process
// (at a module's import, with the GIL held).
inline void register_exit_hook() {
    SharedThreads &s = shared_threads();
    if (s.exit_hook) return;
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&stop_threads_at_exit));
    s.exit_hook = true;
}

// For its lifetime, this thread holds no reader lock: every one it holds is
// suspended, and taken back at the end in address order, so that threads
// taking several back never wait for each other in a cycle. A lock lost
// meanwhile (a fork in caller code) fails the end with its ZarnError, unless
// a failure is on its way already.
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
    ~LocksSuspended() noexcept(false) {
        std::exception_ptr lost;
        for (const auto &[lock, depth] : saved_) {
            try {
                lock->resume(depth);
            } catch (const ZarnError &) {
                if (!lost) lost = std::current_exception();
            }
        }
        if (lost && std::uncaught_exceptions() == failures_) std::rethrow_exception(lost);
    }

private:
    std::vector<std::pair<ReaderLock *, size_t>> saved_;
    const int failures_ = std::uncaught_exceptions();
};

// Runs f with the GIL held, taken for the call when this thread runs
// without it; the reader's own stream reads take it so (the reader's lock
// stays held). Python code may look at the stream a walk read: it first
// stands where the walk's touches would have left it.
template <typename F>
decltype(auto) holding_gil(F &&f) {
    if (PyGILState_Check()) return run_caller(std::forward<F>(f));
    const GilTaken held;
    return run_caller([&]() -> decltype(auto) {
        zarn::flush_deferred_touch();
        return std::forward<F>(f)();
    });
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
        return run_caller(std::forward<F>(f));
    });
}

}  // namespace zarn::py

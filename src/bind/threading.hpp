// Threads: long native work runs without the interpreter's lock (the GIL),
// and each file's reader has a lock of its own that serialises the calls
// using it.
//
// A call releases the GIL once around its native work (a decompression, a
// decoding, a whole walk over the spectra). Inside, anything that touches a
// Python object (the file object's reads, a caller's range or comparison)
// takes the GIL back for that step through `with_gil`; where the answers are
// native no GIL is taken at all.
#pragma once

#include <nanobind/nanobind.h>

#include <mutex>
#include <utility>

#include "io/reader.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Whether this thread holds the GIL is asked of the interpreter: every
// extension module of the package has its own copy of these functions, and
// one module may release the GIL where another's code takes it back.

// Runs f with the GIL held: taken for the call when this thread runs without
// it. Python objects are made, read and dropped only inside such a call (or
// where the GIL was never released).
template <typename F>
decltype(auto) with_gil(F &&f) {
    if (PyGILState_Check()) return std::forward<F>(f)();
    const nb::gil_scoped_acquire held;
    // Python code may look at the stream a walk read: it first stands where
    // the walk's touches would have left it.
    zarn::flush_deferred_touch();
    return std::forward<F>(f)();
}

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

// The lock of one reader. The thread that holds it may take it again (Python
// code it calls back, such as a file object's read or a caller's range, may
// use the same reader); another thread waits for it without the GIL, so that
// the holder, which may need the GIL to go on, never waits for a waiter.
class ReaderLock {
public:
    void lock() {
        if (mutex_.try_lock()) return;
        without_gil([&] { mutex_.lock(); });
    }
    void unlock() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

}  // namespace zarn::py

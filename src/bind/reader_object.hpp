// The reader of a KxmFileReader object: the file it reads, and the reader
// as the other modules take it from the object.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "io/reader.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The container file as the interpreter's binary file object.
class StreamSource final : public ByteSource {
public:
    explicit StreamSource(nb::object stream) : stream_(std::move(stream)) {
        static nb::handle buffered = nb::object(nb::module_::import_("io").attr("BufferedReader")).release();
        static nb::handle file_io = nb::object(nb::module_::import_("io").attr("FileIO")).release();
        own_memory_ = Py_TYPE(stream_.ptr()) == (PyTypeObject *)buffered.ptr() &&
                      Py_TYPE(nb::getattr(stream_, "raw").ptr()) == (PyTypeObject *)file_io.ptr();
    }
    const nb::object &stream() const { return stream_; }

    void seek(int64_t position) override { stream_.attr("seek")(position); }

    size_t read(uint8_t *out, size_t size) override {
        if (size == 0) return 0;
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

private:
    nb::object stream_;
    bool own_memory_ = false;
};

// The stream of a reader that a KxmFileReader object holds (every one reads
// through a StreamSource).
inline const nb::object &stream_of(Reader &reader) { return static_cast<StreamSource &>(reader.source()).stream(); }

// The C++ reader of a KxmFileReader object; TypeError for anything else.
inline Reader &reader_of(nb::handle reader_object) {
    Reader *reader = nullptr;
    if (!reader_object.is_valid() || !nb::try_cast<Reader *>(reader_object, reader) || !reader)
        throw nb::type_error("a KxmFileReader is required");
    return *reader;
}

}  // namespace zarn::py

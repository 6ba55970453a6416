// The reader as the other modules take it from a KxmFileReader object.
#pragma once

#include <nanobind/nanobind.h>

#include "io/reader.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The C++ reader of a KxmFileReader object; TypeError for anything else.
inline Reader &reader_of(nb::handle reader_object) {
    Reader *reader = nullptr;
    if (!reader_object.is_valid() || !nb::try_cast<Reader *>(reader_object, reader) || !reader)
        throw nb::type_error("a KxmFileReader is required");
    return *reader;
}

}  // namespace zarn::py

// zarn_data_access._internal._testing: small hooks for the test suite that
// reach the C++ core from a module other than the one that made an object.
#include <nanobind/nanobind.h>

#include "reader.hpp"
#include "support.hpp"

namespace nb = nanobind;

NB_MODULE(_testing, m) {
    zarn::py::init_module_support();
    // A KxmFileReader made by _reader, taken here as the same C++ object.
    m.def("reader_read_tiny_uint_at", [](zarn::Reader &reader, int64_t position) {
        reader.set_buffer(position);
        return reader.read_tiny_uint();
    });
    m.def("reader_address", [](zarn::Reader &reader) { return reinterpret_cast<uintptr_t>(&reader); });
}

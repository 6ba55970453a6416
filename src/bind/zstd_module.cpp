// zarn_data_access.zstd: Zstandard decompression over the system libzstd.
#include <nanobind/nanobind.h>

#include <algorithm>

#include "format/zstd.hpp"
#include "support.hpp"

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(zstd, m) {
    zarn::py::init_module_support();
    PyObject *error =
        PyErr_NewExceptionWithDoc("zarn_data_access.zstd.ZstdError", "A Zstandard frame could not be decompressed.",
                                  zarn::py::zarn_exception_type(), nullptr);
    if (!error) throw nb::python_error();
    m.attr("ZstdError") = nb::steal(error);
    m.attr("MAX_DECOMPRESSED_SIZE") = zarn::kMaxDecompressedSize;

    m.def(
        "decompress",
        [](nb::bytes data, int64_t max_size) {
            const size_t limit = size_t(std::clamp<int64_t>(max_size, 0, int64_t(1) << 62));
            const zarn::ByteBuffer out =
                zarn::zstd_decompress(static_cast<const uint8_t *>(data.data()), data.size(), limit);
            return nb::bytes(reinterpret_cast<const char *>(out.data()), out.size());
        },
        "data"_a, "max_size"_a = int64_t(zarn::kMaxDecompressedSize),
        "Decompresses the Zstandard frame in `data`. Content larger than `max_size` bytes, "
        "declared or actual, raises ZstdError, as does any corrupt frame.");
}

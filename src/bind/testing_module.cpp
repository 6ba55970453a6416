// zarn_data_access._internal._testing: small hooks for the test suite that
// reach the C++ core from a module other than the one that made an object.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <nanobind/nanobind.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "analysis/qual.hpp"
#include "blocks/blocks.hpp"
#include "format/zstd.hpp"
#include "index_objects.hpp"
#include "io/reader.hpp"
#include "reader_object.hpp"
#include "records/index.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// A file read through its descriptor, with no Python file object.
class DescriptorSource final : public zarn::ByteSource {
public:
    explicit DescriptorSource(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
    }
    ~DescriptorSource() override { ::close(fd_); }
    DescriptorSource(const DescriptorSource &) = delete;
    DescriptorSource &operator=(const DescriptorSource &) = delete;

    int64_t size() const {
        struct stat st;
        if (::fstat(fd_, &st) != 0) throw std::system_error(errno, std::generic_category(), "fstat");
        return int64_t(st.st_size);
    }
    void seek(int64_t position) override {
        if (::lseek(fd_, off_t(position), SEEK_SET) < 0)
            throw std::system_error(errno, std::generic_category(), "lseek");
    }
    size_t read(uint8_t *out, size_t size) override {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd_, out + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
            if (n == 0) break;
            done += size_t(n);
        }
        return done;
    }

private:
    int fd_;
};

// What opening a file and its qualitative analyses reads, parsed by the core
// alone into native records: the header with the measurement index, each
// measurement's function index, and each qualitative function's spectrum
// index block with every spectrum description. Per measurement, the spectrum
// count of each qualitative function.
std::vector<std::vector<int64_t>> parse_records(const std::string &path) {
    auto source = std::make_unique<DescriptorSource>(path);
    const int64_t size = source->size();
    zarn::Reader reader(std::move(source), size);
    zarn::JumpTable table;
    zarn::read_jump_table(reader, table);
    std::vector<std::vector<int64_t>> counts;
    for (const zarn::MeasurementIndex &measurement : table.measurement_index_list) {
        std::vector<std::pair<int64_t, zarn::FunctionDescription>> functions;
        zarn::read_function_index_block(reader, measurement.position, [&](int64_t position) {
            functions.emplace_back(position, zarn::FunctionDescription{});
            zarn::read_function_description(reader, functions.back().second);
        });
        counts.emplace_back();
        for (const auto &[position, description] : functions) {
            if (!description.is_qual.value_or(false)) continue;
            zarn::SpectrumIndexHead head = zarn::read_spectrum_index_head(reader, position);
            zarn::DecompressedSegment segment(reader, zarn::Reader::SegmentContent::Records);
            std::vector<zarn::InternalSpectrumDescription> spectra;
            std::vector<std::pair<int64_t, int64_t>> positions;
            spectra.reserve(size_t(std::min<int64_t>(head.count, int64_t(head.offsets.size()))));
            positions.reserve(spectra.capacity());
            for (int64_t i = 0; i < head.count; ++i) {
                positions.emplace_back(zarn::stored_offset(head.offsets, head.origin, i), 0);
                spectra.emplace_back().index = i;
                zarn::read_internal_spectrum_description(reader, spectra.back());
            }
            if (head.has_profile)
                for (int64_t i = 0; i < head.count; ++i)
                    positions[size_t(i)].second = zarn::stored_offset(head.profile_offsets, head.origin, i);
            segment.close();
            reader.confirm_zarn_symbol(zarn::Symbol::END_OF_SPECTRUM_INDEX_BLOCK);
            counts.back().push_back(int64_t(spectra.size()));
        }
    }
    return counts;
}

}  // namespace

NB_MODULE(_testing, m) {
    zarn::py::init_module_support();
    zarn::py::require_value_types();
    // A KxmFileReader made by _reader, taken here as the same C++ object.
    m.def("reader_read_tiny_uint_at", [](zarn::Reader &reader, int64_t position) {
        reader.set_buffer(position);
        return reader.read_tiny_uint();
    });
    m.def(
        "set_streamed_content",
        [](size_t size) {
            const size_t before = zarn::streamed_content();
            zarn::set_streamed_content(size);
            return before;
        },
        "size"_a, "Sets the content size above which data segments are streamed; returns the one before.");
    m.def("reader_address", [](zarn::Reader &reader) { return reinterpret_cast<uintptr_t>(&reader); });
    // The reads through the stream's own methods and the GIL takes of the
    // reader's source so far.
    m.def("stream_counts", [](zarn::Reader &reader) {
        const auto &source = static_cast<const zarn::py::StreamSource &>(reader.source());
        return std::make_pair(source.stream_reads, source.gil_takes);
    });

    // The record objects of _description and _index, reached as C++ objects
    // the way the analyses reach them.
    using namespace zarn::py;
    // SpectrumIndex records made from C++, one per offset, from the
    // descriptions at the reader's place.
    m.def("make_spectrum_indices", [](nb::handle reader_object, int64_t origin, std::vector<int64_t> offsets) {
        zarn::Reader &reader = reader_of(reader_object);
        GcPause pause;
        nb::list list;
        for (size_t i = 0; i < offsets.size(); ++i) {
            int64_t position;
            if (__builtin_add_overflow(origin, offsets[i], &position))
                throw zarn::ZarnError("Spectrum offset lies outside the file");
            list.append(make_spectrum_index(reader_object, reader, position, int64_t(i)));
        }
        return list;
    });
    // What C++ sees of a SpectrumIndex and its description.
    m.def("spectrum_index_view", [](nb::handle entry) -> nb::object {
        SpectrumIndexObject *index = as<SpectrumIndexObject>(entry);
        InternalSpectrumDescriptionObject *d = spectrum_description_of(entry);
        if (!index || !d) return nb::none();
        const zarn::InternalSpectrumDescription &r = d->rec();
        return nb::make_tuple(index->position, index->profile_position, r.index, opt_float(r.retention_time),
                              r.has_total_ion_base_peak, float_or_zero(r.current_total_ion),
                              or_none(d->acquisition_condition));
    });
    m.def("spectrum_supplemental_contains", [](nb::handle description, std::string key) {
        auto *d = as<InternalSpectrumDescriptionObject>(description);
        if (!d) throw nb::type_error("an InternalSpectrumDescription is expected");
        return supplemental_contains(*d, key);
    });
    // The MS level of a condition's linked core condition, through the core
    // records only.
    m.def("linked_core_ms_level", [](nb::handle condition) -> nb::object {
        auto &c = nb::cast<InternalAcquisitionConditionObject &>(condition);
        const auto &core = c.rec().internal_acquisition_core_condition;
        return core ? opt_int(core->ms_level) : nb::none();
    });
    m.def("function_is_qual", [](nb::handle function_index) -> nb::object {
        FunctionIndexObject *index = as<FunctionIndexObject>(function_index);
        if (!index || !index->description()) return nb::none();
        return opt_bool(index->description()->rec().is_qual);
    });

    // n new SpectrumPoint objects made the way the decoders make them: the
    // floor of any decoding that returns n points.
    m.def("make_spectrum_points", [](size_t n) {
        if (n > size_t(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        nb::list list = nb::steal<nb::list>(PyList_New(Py_ssize_t(n)));
        if (!list.is_valid()) throw nb::python_error();
        for (size_t i = 0; i < n; ++i) {
            nb::object point = zarn::py::make_value(
                zarn::py::SpectrumPoint{zarn::py::Num::of_float(double(i)), zarn::py::Num::of_float(1.0)});
            PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), point.release().ptr());
        }
        return list;
    });
    // The range-limited MS read over native ranges, as C++ callers run it:
    // per range its collected (x, intensity) pairs and its passed flag.
    m.def("read_spectrum_for_native_ranges",
          [](zarn::Reader &reader, const std::vector<std::pair<double, double>> &bounds) {
              std::vector<zarn::XicRange> ranges(bounds.size());
              std::vector<zarn::XicRange *> order;
              for (size_t i = 0; i < bounds.size(); ++i) {
                  ranges[i].min = zarn::Number::real(bounds[i].first);
                  ranges[i].max = zarn::Number::real(bounds[i].second);
                  order.push_back(&ranges[i]);
              }
              zarn::XicSink sink(order);
              zarn::read_spectrum_for_multiple_xic(reader, sink);
              nb::list out;
              for (const zarn::XicRange &range : ranges) {
                  nb::list points;
                  for (const zarn::Point &p : range.spectrum_point)
                      points.append(nb::make_tuple(p.x, p.intensity.to_double()));
                  out.append(nb::make_tuple(points, range.is_break_to_read));
              }
              return out;
          });

    // The floor of opening: the records parsed natively, no Python object
    // made per record (see parse_records). The description module teaches
    // the core which stored enumeration values are members.
    nb::module_::import_("zarn_data_access._internal._description");
    m.def("parse_records", &parse_records);
}

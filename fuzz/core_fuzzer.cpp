// libFuzzer target over the C++ core alone, without the interpreter.
//
// An input that begins with the Zarn start symbol is taken as a whole file
// and walked as fuzz/walk.py walks it through the public API: the header,
// version gate, digest, jump table and measurement index; each
// measurement's function index; each analysis's spectrum index and its
// conditions; the chosen spectra and profile spectra, TIC and BPC from the
// stored totals, XIC and multiple XIC, DAD spectra, chromatograms and max
// plots, quantitative and analog traces. One file in eight is walked a
// second time with filler put in before its last 20 bytes, where a file of
// 3.3 or later keeps its jump table: the reader then reads it through its
// moving window instead of holding it whole. One file in four is walked
// again with every data segment read as streams (the streaming size
// lowered to nothing): each step must end as it did with the segments held
// whole, in success or with the same failure, kind and message, and keep
// the same values.
//
// Any other input is a script for the reader itself (see `run_script`): the
// value decoders, windows, compressed segments, block and record readers
// called at chosen positions of a file that may exceed the reader's window,
// be cut short after it was opened, or come in small pieces.
//
// A failure of the core's documented kinds ends the step it happened in;
// anything else (another exception, a crash, a sanitizer report, a timeout,
// memory beyond -rss_limit_mb) is a finding, as is a broken promise that
// the target checks: a range-limited read that offers other points than the
// full read decodes, or a failed block that leaves a decompressed window
// behind. Build and run: fuzz/run-native.sh (fuzz/README.md).
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "analysis/qual.hpp"
#include "analysis/walks.hpp"
#include "blocks/blocks.hpp"
#include "format/datetime.hpp"
#include "format/md5.hpp"
#include "format/zstd.hpp"
#include "io/reader.hpp"
#include "records/index.hpp"
#include "records/records.hpp"
#include "records/rules.hpp"

namespace {

using namespace zarn;

[[noreturn]] void finding(const char *what) {
    std::fprintf(stderr, "core_fuzzer: %s\n", what);
    std::abort();
}

// The outcomes of a walk that is compared with the same walk over streamed
// data segments (see `walk_compared`): each step's failure, its kind and
// message, or its success, and a digest of the values the walk kept.
struct Trace {
    std::vector<std::string> steps;
    uint64_t digest = 14695981039346656037ull;
};
Trace *g_trace = nullptr;

void note(double v) {
    if (!g_trace) return;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    g_trace->digest = (g_trace->digest ^ bits) * 1099511628211ull;
}

bool failed(const std::exception &e) {
    if (g_trace) g_trace->steps.push_back(std::string(typeid(e).name()) + ": " + e.what());
    return false;
}

// The failures that reading a malformed file may end in, as the bindings
// hand them on: ZarnException (ZarnVersionException and DecompressionError among
// them), OutOfRange, InvalidValue (with the enumerations' lookup errors and
// UnicodeDecodeError) and struct.error. True when `step` ran through.
template <typename Step>
bool attempt(Step &&step) {
    try {
        step();
        if (g_trace) g_trace->steps.emplace_back();
        return true;
    } catch (const ZarnError &e) {
        return failed(e);
    } catch (const OutOfRange &e) {
        return failed(e);
    } catch (const EnumLookupError &e) {
        return failed(e);
    } catch (const InvalidValue &e) {
        return failed(e);
    } catch (const ShortRawArray &e) {
        return failed(e);
    } catch (const TextDecodeError &e) {
        return failed(e);
    }
}

// ---------------------------------------------------------------- the bytes

// A file of `length` bytes: pieces of bytes at their offsets, `fill`
// elsewhere. Only the first `delivered` bytes can be read (a file cut short
// since it was opened), at most `piece` bytes per read.
class MemorySource final : public ByteSource {
public:
    struct Piece {
        int64_t offset;
        std::span<const uint8_t> bytes;
    };

    MemorySource(std::vector<Piece> pieces, int64_t length, int64_t delivered, size_t piece, uint8_t fill)
        : pieces_(std::move(pieces)), delivered_(std::min(delivered, length)), piece_(piece), fill_(fill) {}

    void seek(int64_t position) override {
        // A file object refuses it; the core never asks for it.
        if (position < 0) finding("seek to a negative position");
        position_ = position;
    }

    size_t read(uint8_t *out, size_t size) override {
        if (position_ >= delivered_) return 0;
        const size_t n = std::min({size, size_t(delivered_ - position_), piece_});
        std::memset(out, fill_, n);
        for (const Piece &p : pieces_) {
            // The part of [position, position + n) that the piece covers.
            const int64_t from = std::max(position_, p.offset);
            const int64_t to = std::min(position_ + int64_t(n), p.offset + int64_t(p.bytes.size()));
            if (from < to) std::memcpy(out + (from - position_), p.bytes.data() + (from - p.offset), size_t(to - from));
        }
        position_ += int64_t(n);
        return n;
    }

private:
    std::vector<Piece> pieces_;
    int64_t delivered_;
    size_t piece_;
    uint8_t fill_;
    int64_t position_ = 0;
};

// Results that the target computes only to have the core compute them are
// stored here, so that the compiler keeps the computation.
volatile double g_kept;
void keep(double v) {
    g_kept = v;
    note(v);
}

void note(const std::vector<Point> &points) {
    for (const Point &p : points) {
        note(p.x);
        note(p.intensity.to_double());
    }
}

// ---------------------------------------------------------------- the walk's caps (fuzz/walk.py)

constexpr int64_t kMeasurements = 4;
constexpr int64_t kAnalyses = 3;  // per kind and measurement
constexpr int64_t kSpectra = 6;   // single spectra read per analysis (the first ones and the last)
constexpr size_t kConditions = 4;
constexpr size_t kXicOptions = 4;

// The positions read one by one: the first ones and the last.
std::vector<size_t> chosen_spectra(size_t count) {
    std::vector<size_t> out;
    for (size_t k = 0; k < count && k < size_t(kSpectra - 1); ++k) out.push_back(k);
    if (count > out.size()) out.push_back(count - 1);
    return out;
}

struct Window {
    double min, max;
};

// A range over the middle of the values (sorted, NaN left out), else `fallback`.
Window middle(std::vector<double> values, Window fallback) {
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }), values.end());
    if (values.empty()) return fallback;
    std::sort(values.begin(), values.end());
    return {values[values.size() / 4], values[(3 * values.size()) / 4]};
}

// min <= value <= max, false with a NaN.
bool inside(const Window &w, double value) { return w.min <= value && value <= w.max; }

// ---------------------------------------------------------------- analyses

struct Spectrum {
    int64_t position = 0, profile_position = 0;
    InternalSpectrumDescription description;
};

struct Analysis {
    std::vector<Spectrum> spectra;
    std::vector<size_t> condition_of;  // per spectrum, its place in the analysis's condition list
    size_t conditions = 0;
};

// The spectrum index block at the function's position, read as an analysis
// reads it when it is made.
std::vector<Spectrum> read_spectra(Reader &r, int64_t position) {
    const SpectrumIndexHead head = read_spectrum_index_head(r, position);
    DecompressedSegment segment(r, Reader::SegmentContent::Records);
    std::vector<Spectrum> out;
    out.reserve(size_t(std::min<int64_t>(head.count, int64_t(head.offsets.size()))));
    for (int64_t i = 0; i < head.count; ++i) {
        Spectrum s;
        s.position = stored_offset(head.offsets, head.origin, i);
        s.description.index = i;
        read_internal_spectrum_description(r, s.description);
        out.push_back(std::move(s));
    }
    if (head.has_profile)
        for (int64_t i = 0; i < head.count; ++i)
            out[size_t(i)].profile_position = stored_offset(head.profile_offsets, head.origin, i);
    segment.close();
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM_INDEX_BLOCK);
    return out;
}

SpectrumConditionKey::Maker maker_of(const SupplementalProperties &p) {
    return SpectrumConditionKey::maker_of([&](std::string_view key) { return p.contains(key); });
}

// Each spectrum's condition: the stored one its index names, or the group
// of equal conditions derived from the spectra, in the sorted group order.
void bind_conditions(const QualDescription &q, Analysis &a) {
    a.condition_of.resize(a.spectra.size());
    if (q.unique_acquisition_condition_list) {
        const int64_t n = int64_t(q.unique_acquisition_condition_list->size());
        for (size_t i = 0; i < a.spectra.size(); ++i) {
            int64_t j = a.spectra[i].description.acquisition_condition_index;
            if (j < 0) j += n;
            if (j < 0 || j >= n) throw OutOfRange("list index out of range");
            a.condition_of[i] = size_t(j);
        }
        a.conditions = size_t(n);
        return;
    }
    std::vector<SpectrumConditionKey> keys;
    keys.reserve(a.spectra.size());
    for (const Spectrum &s : a.spectra)
        keys.emplace_back(s.description, maker_of(s.description.supplemental_properties), 0);
    ConditionGroups groups = group_conditions(keys);
    sort_condition_groups(groups.firsts, keys);
    std::vector<size_t> place(groups.firsts.size());
    for (size_t k = 0; k < groups.firsts.size(); ++k) place[groups.group_of[groups.firsts[k]]] = k;
    for (size_t i = 0; i < a.spectra.size(); ++i) a.condition_of[i] = place[groups.group_of[i]];
    a.conditions = groups.firsts.size();
}

// Collects every point offered and never stops the read.
class Collector final : public PointSink {
public:
    bool offer(double x, double intensity) override {
        points.emplace_back(x, intensity);
        return false;
    }
    std::vector<std::pair<double, double>> points;
};

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The range-limited read of the block at `position` offers the points of
// the full read, in order, whenever it reads through; a stopping sink then
// ends it early.
template <typename RangeRead>
void check_range_read(Reader &r, int64_t position, const std::vector<Point> &points, const Window &w,
                      RangeRead &&range_read) {
    Collector all;
    if (attempt([&] {
            move_to_stored_position(r, position, "Spectrum");
            range_read(all);
        })) {
        if (all.points.size() != points.size()) finding("the range-limited read offered another number of points");
        for (size_t i = 0; i < points.size(); ++i)
            if (!same_bits(all.points[i].first, points[i].x) ||
                !same_bits(all.points[i].second, points[i].intensity.to_double()))
                finding("the range-limited read offered another point than the full read");
    }
    XicRange ranges[2];
    ranges[0].min = Number::real(w.min);
    ranges[0].max = Number::real(w.max);
    ranges[1].min = ranges[1].max = Number::real(w.min);
    ranges[1].minimum_intensity = Number::integer(1);
    XicRange *order[] = {&ranges[0], &ranges[1], &ranges[0]};
    XicSink sink(order);
    attempt([&] {
        move_to_stored_position(r, position, "Spectrum");
        range_read(sink);
    });
}

struct XicOption {
    size_t condition;
    Window mz;
    std::optional<Window> rt;
};

// A window bound that is a plain number.
struct NumberBound {
    double value;
    bool native() const { return true; }
    Number number() const { return Number::real(value); }
    bool greater(double x) const { return value > x; }
    bool less(double x) const { return value < x; }
};

// The analysis's spectra as the core's walks take them.
struct FuzzSpectra {
    const Analysis &a;
    size_t size() const { return a.spectra.size(); }
    const InternalSpectrumDescription &record(size_t i) const { return a.spectra[i].description; }
    int64_t position(size_t i) const { return a.spectra[i].position; }
};

// The options of an extraction as the core's walk asks for them; a window
// counts as read from the first spectrum its option takes, as the bindings
// read a caller's range.
class FuzzExtraction {
public:
    struct Bounds {
        NumberBound min, max;
    };
    FuzzExtraction(const Analysis &a, std::span<const XicOption> options) : a_(a), options_(options) {
        bool every_range = true, nan_bound = false;
        for (const XicOption &o : options) {
            windows_.push_back(Bounds{{o.mz.min}, {o.mz.max}});
            if (!o.rt) {
                every_range = false;
                continue;
            }
            nan_bound = nan_bound || std::isnan(o.rt->min) || std::isnan(o.rt->max);
            combined_ =
                combined_ ? Window{std::min(combined_->min, o.rt->min), std::max(combined_->max, o.rt->max)} : *o.rt;
        }
        if (!every_range || nan_bound) combined_.reset();
        read_.assign(options.size(), false);
    }
    bool wanted(size_t i) const {
        return std::any_of(options_.begin(), options_.end(),
                           [&](const XicOption &o) { return o.condition == a_.condition_of[i]; });
    }
    bool in_combined(double rt) const { return !combined_ || inside(*combined_, rt); }
    size_t options() const { return options_.size(); }
    bool matches(size_t k, size_t i) const { return options_[k].condition == a_.condition_of[i]; }
    bool in_range(size_t k, double rt) const { return !options_[k].rt || inside(*options_[k].rt, rt); }
    const Bounds &window(size_t k) {
        read_[k] = true;
        return windows_[k];
    }
    const Bounds *known_window(size_t k) const { return read_[k] ? &windows_[k] : nullptr; }
    void take(size_t, const ChosenSpectrum &, const WindowValue &v) { keep(v.sum.to_double() + v.base_x); }

private:
    const Analysis &a_;
    std::span<const XicOption> options_;
    std::optional<Window> combined_;
    std::vector<Bounds> windows_;
    std::vector<bool> read_;
};

// The extracted-ion chromatograms of the options, by the core's walk.
void multiple_xic(Reader &r, const Analysis &a, std::span<const XicOption> options) {
    FuzzExtraction x(a, options);
    extract_windows(r, FuzzSpectra{a}, x);
}

// TIC or BPC of a condition from the stored totals, and the nearest spectrum
// of that condition: no block is read for either.
void stored_totals(const Analysis &a, size_t condition, double target) {
    double nearest = DBL_MAX, sum = 0.0;
    for (size_t i = 0; i < a.spectra.size(); ++i) {
        const InternalSpectrumDescription &d = a.spectra[i].description;
        if (!d.retention_time || a.condition_of[i] != condition) continue;
        sum = sum + d.current_total_ion.value_or(0.0) + d.base_peak_intensity.value_or(0.0) +
              d.base_peak_mz.value_or(0.0);
        nearest = std::min(nearest, std::fabs(*d.retention_time - target));
    }
    keep(sum + nearest);
}

void walk_qual(Reader &r, int64_t position, const QualDescription &q) {
    Analysis a;
    if (!attempt([&] {
            a.spectra = read_spectra(r, position);
            bind_conditions(q, a);
        }))
        return;
    std::vector<double> times, xs;
    for (size_t k : chosen_spectra(a.spectra.size())) {
        const Spectrum &s = a.spectra[k];
        if (s.description.retention_time) times.push_back(*s.description.retention_time);
        std::vector<Point> points;
        if (attempt([&] {
                move_to_stored_position(r, s.position, "Spectrum");
                points = read_spectrum(r);
            })) {
            note(points);
            for (const Point &p : points) xs.push_back(p.x);
            check_range_read(r, s.position, points, middle(xs, {0.0, 2000.0}),
                             [&](PointSink &sink) { read_spectrum_for_multiple_xic(r, sink); });
        }
        if (s.profile_position != 0)
            attempt([&] {
                move_to_stored_position(r, s.profile_position, "Profile spectrum");
                read_spectrum(r);
            });
    }
    const Window rt = middle(times, {0.0, 1.0}), mz = middle(xs, {0.0, 2000.0});
    std::vector<XicOption> options;
    for (size_t c = 0; c < a.conditions && c < kConditions; ++c) {
        stored_totals(a, c, times.empty() ? 0.0 : times[0]);
        const XicOption one{c, mz, std::nullopt};
        attempt([&] { multiple_xic(r, a, std::span(&one, 1)); });
        options.push_back(one);
        options.push_back({c, {0.0, 1e9}, rt});
    }
    if (!options.empty())
        attempt([&] { multiple_xic(r, a, std::span(options).first(std::min(options.size(), kXicOptions))); });
}

std::vector<Point> read_dad_points(Reader &r, const std::optional<std::vector<double>> &axis) {
    return axis ? read_dad_spectrum(r, *axis) : read_spectrum(r);
}

void max_plot(Reader &r, const Analysis &a, const std::optional<std::vector<double>> &axis, Window band,
              double tolerance) {
    XicRange widened;
    widened.min = Number::real(band.min - tolerance);
    widened.max = Number::real(band.max + tolerance);
    XicRange *ranges[] = {&widened};
    XicSink sink(ranges);
    for (const Spectrum &s : a.spectra) {
        if (!s.description.retention_time) continue;
        move_to_stored_position(r, s.position, "Spectrum");
        widened.is_break_to_read = false;
        widened.spectrum_point.clear();
        if (axis)
            read_dad_spectrum_for_multiple_xic(r, *axis, sink);
        else
            read_spectrum_for_multiple_xic(r, sink);
        const MaxPlotValue v = max_plot_value(
            widened.spectrum_point, [&](double x) { return band.min > x; }, [&](double x) { return band.max < x; },
            tolerance);
        keep(v.mean + v.base_x);
    }
}

void walk_dad(Reader &r, int64_t position, const QualDescription &q) {
    Analysis a;
    if (!attempt([&] { a.spectra = read_spectra(r, position); })) return;
    const std::optional<std::vector<double>> &axis = q.wavelength_arr;
    std::vector<double> xs;
    for (size_t k : chosen_spectra(a.spectra.size())) {
        const Spectrum &s = a.spectra[k];
        std::vector<Point> points;
        if (!attempt([&] {
                move_to_stored_position(r, s.position, "Spectrum");
                points = read_dad_points(r, axis);
            }))
            continue;
        note(points);
        for (const Point &p : points) xs.push_back(p.x);
        if (axis)
            check_range_read(r, s.position, points, middle(xs, {200.0, 300.0}),
                             [&](PointSink &sink) { read_dad_spectrum_for_multiple_xic(r, *axis, sink); });
    }
    const Window band = middle(xs, {200.0, 300.0});
    attempt([&] {
        for (const Spectrum &s : a.spectra) {
            if (!s.description.retention_time) continue;
            move_to_stored_position(r, s.position, "Spectrum");
            const BandValue v = dad_band_average(read_dad_points(r, axis), band.min, band.max);
            keep(v.intensity.to_double() + v.base_x);
        }
    });
    attempt([&] { max_plot(r, a, axis, band, 2.0); });
    attempt([&] { max_plot(r, a, axis, {band.min, band.min}, 0.0); });
}

void walk_trace(Reader &r, int64_t position) {
    attempt([&] {
        move_to_stored_position(r, position, "Function");
        read_chromatogram(r);
    });
}

void walk_measurement(Reader &r, const MeasurementIndex &m) {
    struct Function {
        int64_t position;
        FunctionDescription description;
    };
    std::vector<Function> kinds[kFunctionKindCount];
    if (!attempt([&] {
            read_function_index_block(r, m.position, [&](int64_t position) {
                Function f{position, {}};
                read_function_description(r, f.description);
                kinds[size_t(function_kind(f.description))].push_back(std::move(f));
            });
        }))
        return;
    for (int kind = 0; kind < kFunctionKindCount; ++kind) {
        const std::vector<Function> &list = kinds[kind];
        for (size_t j = 0; j < list.size() && j < size_t(kAnalyses); ++j) {
            const Function &f = list[j];
            switch (FunctionKind(kind)) {
                case FunctionKind::Qual:
                    walk_qual(r, f.position, *f.description.qual_description);
                    break;
                case FunctionKind::Dad:
                    walk_dad(r, f.position, *f.description.qual_description);
                    break;
                default:
                    walk_trace(r, f.position);
                    break;
            }
        }
    }
}

// Opens the bytes as a file and walks it; true when the header was read.
// The bytes from `tail_at` on come after `padding` bytes of 0xFF, which no
// value begins with, so that a read running into them stops there.
bool walk_file(std::span<const uint8_t> file, size_t tail_at, int64_t padding) {
    const int64_t length = int64_t(file.size()) + padding;
    std::vector<MemorySource::Piece> pieces{{0, file.first(tail_at)},
                                            {int64_t(tail_at) + padding, file.subspan(tail_at)}};
    Reader r(std::make_unique<MemorySource>(std::move(pieces), length, length, SIZE_MAX, 0xFF), length);
    JumpTable table;
    if (!attempt([&] { read_jump_table(r, table); })) return false;
    for (int64_t i = 0; i < table.num_measurements && i < kMeasurements; ++i)
        if (size_t(i) < table.measurement_index_list.size())
            walk_measurement(r, table.measurement_index_list[size_t(i)]);
    return true;
}

// Walks the file with its data segments held whole and again with every one
// read as streams: each step must succeed or fail alike, its kind and
// message, and the values kept must be the same.
bool walk_compared(std::span<const uint8_t> file, size_t tail_at, int64_t padding) {
    Trace whole, streamed;
    g_trace = &whole;
    const bool read = walk_file(file, tail_at, padding);
    const size_t before = streamed_content();
    set_streamed_content(0);
    g_trace = &streamed;
    walk_file(file, tail_at, padding);
    g_trace = nullptr;
    set_streamed_content(before);
    for (size_t k = 0; k < whole.steps.size() && k < streamed.steps.size(); ++k)
        if (whole.steps[k] != streamed.steps[k]) {
            std::fprintf(stderr, "step %zu: held whole \"%s\", streamed \"%s\"\n", k, whole.steps[k].c_str(),
                         streamed.steps[k].c_str());
            finding("a step failed otherwise with its data segments streamed than held whole");
        }
    if (whole.steps.size() != streamed.steps.size()) finding("the streamed walk took other steps");
    if (whole.digest != streamed.digest) finding("the streamed walk kept other values");
    return read;
}

// ---------------------------------------------------------------- scripts

// A script input: a flag byte, the number of operations, four bytes per
// operation, then the data. The flags:
//   bits 0 and 7 (both set)  the data lies across the end of the reader's
//                            first window in a larger file (windows of a
//                            large file are slow to load: a quarter of the
//                            scripts); else at offset 0 of a file of its size
//   bits 1-3                 the minor format version (3.0 to 3.7)
//   bit 4                    only three quarters of the file can be read
//                            after it was opened
//   bit 5                    the bytes come in pieces of at most 7 (64 KiB
//                            in a large file)
//   bit 6                    the file around the data holds zeros, not 0xFF
//
// An operation is an opcode, an argument and a 16-bit position relative to
// the data (minus 8, so that a little before it is reached too). The
// reader moves to the position first unless the opcode's top bit is set,
// so that decoders can also read one after another. fuzz/native_seeds.py
// writes scripts in this layout.
class Script {
public:
    Script(Reader &r, std::span<const uint8_t> data, int64_t base) : r_(r), data_(data), base_(base) {}

    void run(uint8_t opcode, uint8_t arg, int64_t offset) {
        const int64_t position = base_ + offset - 8;
        if (!(opcode & 0x80)) r_.set_buffer(position);
        const bool was_decompressed = r_.in_decompressed_window();
        const bool block = step(opcode & 0x7F, arg, position);
        // A block that failed (or ended) outside a compressed segment never
        // leaves the decompressed window of one of its own segments behind.
        if (block && !was_decompressed && r_.in_decompressed_window())
            finding("a block read left a decompressed window behind");
    }

private:
    // The data bytes from `position` on, as far as the data holds them.
    std::span<const uint8_t> bytes_at(int64_t position) const {
        const int64_t at = position - base_;
        if (at < 0 || at >= int64_t(data_.size())) return {};
        return data_.subspan(size_t(at));
    }

    // Ranges made from the argument: [arg, arg * 8], [arg / 2, arg / 2], ...
    static std::vector<XicRange> ranges_of(uint8_t arg) {
        std::vector<XicRange> out(size_t(1 + arg % 3));
        for (size_t k = 0; k < out.size(); ++k) {
            out[k].min = Number::real(double(arg >> k));
            out[k].max = k == 1 ? Number::integer(arg >> k) : Number::real(double(arg) * 8.0);
            if (k == 2) out[k].minimum_intensity = Number::real(1.0);
        }
        return out;
    }

    static std::vector<double> axis_of(uint8_t arg) {
        std::vector<double> axis(arg % 32);
        for (size_t i = 0; i < axis.size(); ++i) axis[i] = 200.0 + 2.5 * double(i);
        return axis;
    }

    // True for the reads that are blocks or records, which leave no
    // decompressed window of their own behind.
    bool step(int op, uint8_t arg, int64_t position) {
        std::vector<Point> points;
        switch (op) {
            case 0:
                r_.set_buffer(position, int64_t(arg) << (arg % 16), arg & 1);
                return false;
            case 1:
                r_.ensure_buffer(int64_t(arg) << (arg % 20));
                return false;
            case 2:
                attempt([&] { r_.read_zarn_symbol(); });
                return false;
            case 3:
                attempt([&] { r_.read_bool(); });
                return false;
            case 4:
                attempt([&] { r_.read_tiny_uint(); });
                return false;
            case 5:
                attempt([&] { r_.read_mini_uint(); });
                return false;
            case 6:
                attempt([&] { r_.read_int16(); });
                return false;
            case 7:
                attempt([&] { r_.read_uint16(); });
                return false;
            case 8:
                attempt([&] { r_.read_int32(); });
                return false;
            case 9:
                attempt([&] { r_.read_uint32(); });
                return false;
            case 10:
                attempt([&] { r_.read_int64(); });
                return false;
            case 11:
                attempt([&] { r_.read_uint64(); });
                return false;
            case 12:
                attempt([&] { r_.read_single(); });
                return false;
            case 13:
                attempt([&] { r_.read_double(); });
                return false;
            case 14:
                attempt([&] { r_.read_uint16_or_32(); });
                return false;
            case 15:
                attempt([&] { r_.read_int32_array(); });
                return false;
            case 16:
                attempt([&] { r_.read_int64_array(); });
                return false;
            case 17:
                attempt([&] { r_.read_single_array(); });
                return false;
            case 18:
                attempt([&] { r_.read_string(); });
                return false;
            case 19:
                attempt([&] { r_.read_datetime(); });
                return false;
            case 20:
                attempt([&] { r_.skip_object(); });
                return false;
            case 21:
                attempt([&] { r_.skip_collection(); });
                return false;
            case 22:
                attempt([&] { r_.read_float_array(int64_t(arg) * arg - 8); });
                return false;
            case 23:
                attempt([&] { r_.get_bytes(int64_t(arg) << (arg % 20)); });
                return false;
            case 24:
                r_.skip_bytes(int64_t(arg) << (arg % 24));
                return false;
            case 25:
                attempt([&] {
                    r_.set_decompressed_buffer(arg & 1 ? Reader::SegmentContent::Records
                                                       : Reader::SegmentContent::Data);
                });
                return false;
            case 26:
                attempt([&] { r_.reset_decompressed_buffer(); });
                return false;
            case 27:
                r_.abandon_decompressed_buffer();
                return false;
            case 28:
                attempt([&] { r_.confirm_zarn_symbol(Symbol(arg % 57)); });
                return false;
            case 29:
                attempt([&] { read_chromatogram(r_); });
                return true;
            case 30:
                attempt([&] { read_spectrum(r_); });
                return true;
            case 31:
                attempt([&] { read_dad_spectrum(r_, axis_of(arg)); });
                return true;
            case 32:
                attempt([&] { read_dad_segments(r_); });
                return true;
            case 33:
                attempt([&] { get_dad_intensities(r_); });
                return true;
            case 34:
            case 35: {
                std::vector<XicRange> ranges = ranges_of(arg);
                std::vector<XicRange *> order;
                for (XicRange &range : ranges) order.push_back(&range);
                XicSink sink(order);
                if (op == 34)
                    attempt([&] { read_spectrum_for_multiple_xic(r_, sink); });
                else
                    attempt([&] { read_dad_spectrum_for_multiple_xic(r_, axis_of(arg), sink); });
                return true;
            }
            // The codecs read inside the window their caller opened, or
            // wherever the reader stands.
            case 36:
                attempt([&] { read_zstd_efficient_spectrum(r_, points); });
                return false;
            case 37:
                attempt([&] { read_efficient_mz_compressed_spectrum(r_, points); });
                return false;
            case 38:
                attempt([&] { read_efficient_sciex_spectrum(r_, points); });
                return false;
            case 39:
                attempt([&] { read_efficient_agilent_spectrum(r_, points); });
                return false;
            case 40: {
                MeasurementDescription d;
                attempt([&] { read_measurement_description(r_, d); });
                return true;
            }
            case 41: {
                VendorSpecificAdditionalCondition d;
                attempt([&] { read_vendor_specific_additional_condition(r_, d); });
                return true;
            }
            case 42: {
                TripleQScanCondition d;
                attempt([&] { read_triple_q_scan_condition(r_, d); });
                return true;
            }
            case 43: {
                InternalAcquisitionCoreCondition d;
                attempt([&] { read_internal_acquisition_core_condition(r_, d); });
                return true;
            }
            case 44: {
                InternalAcquisitionCondition d;
                attempt([&] { read_internal_acquisition_condition(r_, d); });
                return true;
            }
            case 45: {
                QualDescription d;
                attempt([&] { read_qual_description(r_, d); });
                return true;
            }
            case 46: {
                QuanDescription d;
                attempt([&] { read_quan_description(r_, d); });
                return true;
            }
            case 47: {
                FunctionDescription d;
                attempt([&] { read_function_description(r_, d); });
                return true;
            }
            case 48: {
                InternalSpectrumDescription d;
                attempt([&] { read_internal_spectrum_description(r_, d); });
                return true;
            }
            case 49: {
                ZarnInternalConversionOptions d;
                attempt([&] { read_conversion_options(r_, d); });
                return true;
            }
            case 50: {
                MeasurementIndex d;
                attempt([&] { read_measurement_index_entry(r_, d); });
                return true;
            }
            case 51: {
                JumpTable t;
                attempt([&] { read_jump_table(r_, t); });
                return true;
            }
            case 52: {
                JumpTable t;
                t.measurement_index_position = position;
                attempt([&] { read_jump_table_measurement_index(r_, t); });
                return true;
            }
            case 53:
                attempt([&] {
                    read_function_index_block(r_, position, [&](int64_t) {
                        FunctionDescription d;
                        read_function_description(r_, d);
                    });
                });
                return true;
            case 54: {
                std::vector<Spectrum> spectra;
                attempt([&] { spectra = read_spectra(r_, position); });
                return true;
            }
            case 55: {
                Md5 md5;
                r_.read_file_range(position, int64_t(arg) << (arg % 20),
                                   [&](Bytes piece) { md5.update(piece.data(), piece.size()); });
                md5.finish();
                return false;
            }
            case 56:
                attempt([&] { move_to_stored_position(r_, position, "Fuzz", arg); });
                return false;
            case 57: {
                const std::span<const uint8_t> b = bytes_at(position);
                attempt([&] {
                    const BitConverter bits(int64_t(arg % 66) - 1);
                    bits.get(b, int64_t(arg) * 3);
                    if (!b.empty()) bits.get(b[0], int64_t(uint64_t(arg) << 55));
                });
                return false;
            }
            case 58: {
                const std::span<const uint8_t> b = bytes_at(position);
                attempt([&] {
                    decode_packed_int32(b, int64_t(arg) - 2);
                    decode_packed_int64(b, int64_t(arg) / 2);
                });
                return false;
            }
            case 59: {
                const std::span<const uint8_t> b = bytes_at(position);
                const size_t size = std::min(b.size(), size_t(arg) * 16 + 1);
                attempt([&] {
                    zstd_decompress(b.data(), size, arg & 1 ? record_segment_limit(size) : kMaxDecompressedSize);
                });
                return false;
            }
            case 60: {
                const std::span<const uint8_t> b = bytes_at(position);
                if (b.size() >= 8) {
                    attempt([&] { datetime_from_ticks(load_u64le(b.data())); });
                    const i128 code = i128(int32_t(load_u32le(b.data())));
                    keep(double(compression_ready_to_int(code) + int_to_compression_ready(code)));
                    is_valid_utf8(b.data(), std::min<size_t>(b.size(), arg));
                }
                return false;
            }
            default:
                return false;
        }
    }

    Reader &r_;
    std::span<const uint8_t> data_;
    int64_t base_;
};

void run_script(std::span<const uint8_t> input) {
    if (input.size() < 2) return;
    const uint8_t flags = input[0];
    const size_t ops = std::min<size_t>(input[1], (input.size() - 2) / 4);
    const std::span<const uint8_t> script = input.subspan(2, ops * 4);
    const std::span<const uint8_t> data = input.subspan(2 + ops * 4);
    constexpr int64_t window = Reader::kDefaultBufferSize;
    const bool large = (flags & 0x81) == 0x81;
    const int64_t half = int64_t(data.size()) / 2;
    const int64_t base = large ? window - std::min(half, window) : 0;
    const int64_t length = large ? base + int64_t(data.size()) + 4096 : int64_t(data.size());
    const int64_t delivered = flags & 0x10 ? (3 * length) / 4 : length;
    // Small pieces of a large file would only make every window slow to load.
    const size_t piece = flags & 0x20 ? (large ? 65521 : 7) : SIZE_MAX;
    Reader r(std::make_unique<MemorySource>(std::vector<MemorySource::Piece>{{base, data}}, length, delivered, piece,
                                            flags & 0x40 ? 0x00 : 0xFF),
             length);
    r.set_version(3, (flags >> 1) & 7, 0);
    Script s(r, data, base);
    for (size_t k = 0; k < ops; ++k) {
        const uint8_t *op = script.data() + 4 * k;
        s.run(op[0], op[1], int64_t(load_u16le(op + 2)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The members of the shared enumerations, as the bindings learn them
    // from the Python enumerations when they load.
    set_value_enum_members(ValueEnum::Polarity, 0xF);
    set_value_enum_members(ValueEnum::SpectrumType, 0xF);
    set_value_enum_members(ValueEnum::QuanAnalysisType, 0xFF);
    set_value_enum_members(ValueEnum::CompoundType, 0x1);
    set_value_enum_members(ValueEnum::InstrumentManufacturer, ~uint64_t(0));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    // A file begins with the start symbol; anything else fails at its
    // first two bytes as a file, and is read as a script.
    if (size < 2 || data[0] != 0x80 || data[1] != 0x01) {
        run_script(input);
        return 0;
    }
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; i += 1 + size / 64) h = (h ^ data[i]) * 16777619u;
    // One file in four is walked with its data segments streamed too.
    if (!(h % 4 == 1 ? walk_compared(input, size, 0) : walk_file(input, size, 0))) return 0;
    // One file in eight again, larger than the reader's window.
    if (h % 16 == 0) walk_file(input, size > 20 ? size - 20 : 0, Reader::kDefaultBufferSize + 4096);
    return 0;
}

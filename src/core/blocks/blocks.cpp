#include "blocks/blocks.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace zarn {

namespace {

constexpr const char *kChromatogramOptionError = "Chromatogram compression option is not correct. Value = ";
constexpr const char *kSpectrumOptionError = "Spectrum compression option is not correct. Value = ";
constexpr const char *kIntensityOptionError = "Spectrum Intensity option is not correct. Value = ";

[[noreturn]] void option_error(const char *message, int64_t option) {
    throw ZarnError(message + std::to_string(option));
}

// A point count: a negative one fails with the block's message.
int64_t read_count(Reader &r, const char *message) {
    const int64_t n = r.read_int32();
    if (n < 0) throw ZarnError(message);
    return n;
}

// ---------------------------------------------------------------- arrays

// How a short array fails: a raw binary32/64 array as its unpacking does, a
// packed array as its plane decoder does; a lenient array (raw index
// differences) never fails itself, the array after it does.
enum class Short { Struct, Index, Lenient };

struct Array {
    int64_t bytes;
    Short on_short;
};

[[noreturn]] void fail_short(const Array &a) {
    if (a.on_short == Short::Struct)
        throw ShortRawArray("unpack requires a buffer of " + std::to_string(a.bytes) + " bytes");
    throw OutOfRange("index out of range");
}

// Raises the error of the first array that `have` bytes do not hold.
void check_arrays(std::initializer_list<Array> arrays, int64_t have) {
    int64_t need = 0;
    for (const Array &a : arrays) {
        need += a.bytes;
        if (have < need && a.on_short != Short::Lenient) fail_short(a);
    }
    if (have < need) fail_short(*(arrays.end() - 1));
}

// The consecutive arrays at the position as one span, checked against the
// data before anything is taken or allocated. One span, so that no later
// read can move the window under it.
Bytes take_arrays(Reader &r, std::initializer_list<Array> arrays) {
    check_arrays(arrays, r.remaining());
    int64_t total = 0;
    for (const Array &a : arrays) total += a.bytes;
    Bytes b = r.get_bytes(total);
    check_arrays(arrays, int64_t(b.size()));
    return b;
}

// Raw little-endian int32 values, viewed like the packed arrays.
struct Raw32 {
    static constexpr bool kWide = false;
    const uint8_t *p;
    int64_t operator[](size_t i) const { return int32_t(load_u32le(p + 4 * i)); }
};

// x of each point in turn from the running sums of delta-coded integers,
// asked for in order. A count is below 2**31, so sums of 32-bit deltas stay
// inside 64 bits and sums of 64-bit deltas inside 128 bits: exact either way.
template <typename Deltas, typename ToX>
class DeltaSums {
public:
    DeltaSums(Deltas deltas, ToX to_x) : deltas_(deltas), to_x_(to_x) {}
    double operator()(size_t i) {
        sum_ += deltas_[i];
        return to_x_(sum_);
    }

private:
    using Sum = std::conditional_t<Deltas::kWide, i128, int64_t>;
    Deltas deltas_;
    ToX to_x_;
    Sum sum_ = 0;
};

struct Float32At {
    const uint8_t *p;
    double operator()(size_t i) const { return double(load_f32le(p + 4 * i)); }
};

struct Float64At {
    const uint8_t *p;
    double operator()(size_t i) const { return load_f64le(p + 8 * i); }
};

struct RealAt {
    const uint8_t *p;
    Number operator()(size_t i) const { return Number::real(double(load_f32le(p + 4 * i))); }
};

// How a stored integer intensity becomes the point's intensity.
enum class Value { AsInt, AsFloat, Scaled };

inline Number stored_value(int64_t v, Value mode, int64_t power) {
    switch (mode) {
        case Value::AsInt:
            return Number::integer(v);
        case Value::AsFloat:
            return Number::real(double(v));
        default:
            return Number::real(scale_down(v, power));
    }
}

// Intensities from a packed array, one mode for all of them.
template <typename Values, Value Mode>
struct StoredAt {
    Values values;
    int64_t power;
    Number operator()(size_t i) const { return stored_value(values[i], Mode, power); }
};

// Calls f(intensity_at) with the view of a packed intensity array of `width`
// bytes per value, read in `mode`.
template <typename F>
void with_packed_values(const uint8_t *p, size_t n, int width, Value mode, int64_t power, F &&f) {
    auto with_mode = [&](auto values) {
        using Values = decltype(values);
        switch (mode) {
            case Value::AsInt:
                return f(StoredAt<Values, Value::AsInt>{values, power});
            case Value::AsFloat:
                return f(StoredAt<Values, Value::AsFloat>{values, power});
            default:
                return f(StoredAt<Values, Value::Scaled>{values, power});
        }
    };
    if (width == 8) {
        with_mode(Planes64{p, n});
    } else {
        with_mode(Planes32{p, n});
    }
}

// An intensity view that must be asked for every point in order (a running
// sum) says so with kSequential.
template <typename YAt>
constexpr bool sequential() {
    if constexpr (requires { YAt::kSequential; })
        return YAt::kSequential;
    else
        return false;
}

// Hands the n points (x_at(i), y_at(i)) in order to `out`, after telling it
// their number; stops where `out` wants no more.
template <typename Out, typename XAt, typename YAt>
void emit_points(Out &out, size_t n, XAt x_at, YAt y_at) {
    out.begin(n);
    for (size_t i = 0; i < n; ++i) {
        const double x = x_at(i);
        if constexpr (sequential<YAt>()) {
            const Number y = y_at(i);
            if (out.wants(x) && !out.put(x, y)) return;
        } else {
            if (out.wants(x) && !out.put(x, y_at(i))) return;
        }
    }
}

// x = a*X*X + b*X + c, left to right.
struct Quadratic {
    double a, b, c;
    template <typename K>
    double operator()(K k) const {
        const double x = double(k);
        const double t1 = a * x;
        const double t2 = t1 * x;
        const double t3 = b * x;
        const double t4 = t2 + t3;
        return t4 + c;
    }
};

struct SciexMass {
    double a, b, c;
    template <typename K>
    double operator()(K k) const {
        return sciex_mass(double(k), a, b, c);
    }
};

struct ScaledSum {
    int64_t power;
    template <typename K>
    double operator()(K k) const {
        return scale_down(k, power);
    }
};

// ---------------------------------------------------------------- plain pairs

// Whether handing points to `Out` may run the caller's code, which may read
// elsewhere with the same reader meanwhile.
template <typename Out>
constexpr bool calls_out() {
    return std::is_base_of_v<AnyPointOut, Out>;
}

// num_points, then n x values and n intensities as raw binary32 (binary64
// when `Double`); both floats. `in_file`: the segment lies in the reader's
// window, which caller code may replace; the arrays are then copied before
// the first point is handed to such an `out`, and the reader stands after
// them again once the points are handed out.
template <bool Double, typename Out>
void read_float_pairs(Reader &r, Out &out, const char *message, bool in_file = false) {
    constexpr int width = Double ? 8 : 4;
    const int64_t n = read_count(r, message);
    Bytes b = take_arrays(r, {{width * n, Short::Struct}, {width * n, Short::Struct}});
    ByteBuffer kept;
    const bool apart = calls_out<Out>() && in_file;
    if (apart) {
        kept.assign(b.begin(), b.end());
        b = Bytes(kept.data(), kept.size());
    }
    const Reader::Mark after = r.mark();
    const uint8_t *xs = b.data(), *ys = b.data() + width * n;
    if constexpr (Double) {
        emit_points(out, size_t(n), Float64At{xs}, [ys](size_t i) { return Number::real(load_f64le(ys + 8 * i)); });
    } else {
        emit_points(out, size_t(n), Float32At{xs}, RealAt{ys});
    }
    if (apart) r.seat(after);
}

// ---------------------------------------------------------------- efficient series

// The arrays of the efficient chromatogram and spectrum layouts.
enum class XArray { Float32, Deltas32, Deltas64 };
enum class YArray { Int32, Int64, Codes32 };

struct Layout {
    XArray x;
    YArray y;
    Value value;
};

// Calls f(x_at) with the x view of an efficient layout's x array.
template <typename F>
void with_x_array(XArray kind, const uint8_t *p, size_t n, int64_t power, F &&f) {
    switch (kind) {
        case XArray::Float32:
            return f(Float32At{p});
        case XArray::Deltas32:
            return f(DeltaSums(Planes32{p, n}, ScaledSum{power}));
        case XArray::Deltas64:
            return f(DeltaSums(Planes64{p, n}, ScaledSum{power}));
    }
}

// Compression-ready codes, decoded, then summed, asked for in order.
class CodeSums {
public:
    static constexpr bool kSequential = true;
    CodeSums(const uint8_t *p, size_t n, int64_t power) : codes_{p, n}, power_(power) {}
    Number operator()(size_t i) {
        sum_ += int64_t(compression_ready_to_int(codes_[i]));
        return Number::real(scale_down(sum_, power_));
    }

private:
    Planes32 codes_;
    int64_t power_;
    int64_t sum_ = 0;
};

// num_points, the x array and the intensity array of an efficient layout.
template <typename Out>
void read_efficient_series(Reader &r, const Layout &layout, int64_t x_power, int64_t y_power, const char *message,
                           Out &out) {
    const int64_t n = read_count(r, message);
    const int64_t x_bytes = (layout.x == XArray::Deltas64 ? 8 : 4) * n;
    const int64_t y_width = layout.y == YArray::Int64 ? 8 : 4;
    const Short x_short = layout.x == XArray::Float32 ? Short::Struct : Short::Index;
    Bytes b = take_arrays(r, {{x_bytes, x_short}, {y_width * n, Short::Index}});
    const size_t count = size_t(n);
    const uint8_t *ys = b.data() + x_bytes;
    with_x_array(layout.x, b.data(), count, x_power, [&](auto x_at) {
        if (layout.y == YArray::Codes32) return emit_points(out, count, x_at, CodeSums(ys, count, y_power));
        with_packed_values(ys, count, int(y_width), layout.value, y_power,
                           [&](auto y_at) { emit_points(out, count, x_at, y_at); });
    });
}

template <typename Out>
void read_efficient_chromatogram(Reader &r, Out &out) {
    static const Layout layouts[10] = {
        {XArray::Deltas32, YArray::Int32, Value::AsInt},  {XArray::Deltas32, YArray::Int64, Value::AsFloat},
        {XArray::Float32, YArray::Int32, Value::AsInt},   {XArray::Float32, YArray::Int64, Value::AsFloat},
        {XArray::Deltas32, YArray::Int32, Value::Scaled}, {XArray::Deltas32, YArray::Int32, Value::Scaled},
        {XArray::Deltas32, YArray::Int64, Value::Scaled}, {XArray::Deltas64, YArray::Int32, Value::Scaled},
        {XArray::Deltas64, YArray::Int64, Value::Scaled}, {XArray::Deltas32, YArray::Codes32, Value::Scaled},
    };
    const int64_t option = r.read_tiny_uint();
    if (option > 9) option_error(kChromatogramOptionError, option);
    int64_t rt_power = 0, intensity_power = 0;
    if (option == 0 || option == 1) {
        rt_power = r.read_uint16();
    } else if (option == 4) {
        rt_power = r.read_uint16();
        intensity_power = r.read_uint16();
    } else if (option >= 5) {
        rt_power = r.read_tiny_uint();
        intensity_power = r.read_tiny_uint();
    }
    read_efficient_series(r, layouts[option], rt_power, intensity_power, kChromatogramError, out);
}

// ---------------------------------------------------------------- MS segments

// Kinds 42 and 43: three coefficients, num_points, raw index differences and
// binary32 intensities.
template <typename ToX, typename Out>
void read_coefficient_segment(Reader &r, Out &out) {
    const double a = r.read_double();
    const double b = r.read_double();
    const double c = r.read_double();
    const int64_t n = read_count(r, kSpectrumError);
    Bytes arrays = take_arrays(r, {{4 * n, Short::Lenient}, {4 * n, Short::Struct}});
    emit_points(out, size_t(n), DeltaSums(Raw32{arrays.data()}, ToX{a, b, c}), RealAt{arrays.data() + 4 * n});
}

}  // namespace

// ---------------------------------------------------------------- chromatogram

std::vector<Point> read_chromatogram(Reader &r) {
    r.confirm_zarn_symbol(Symbol::BEGIN_OF_CHROMATOGRAM);
    const int64_t loop = r.read_tiny_uint();
    std::vector<Point> points;
    PointAppender out(points);
    for (int64_t s = 0; s < loop; ++s) {
        const Symbol kind = r.read_zarn_symbol();
        if (kind == Symbol::CHROMATOGRAM_NO_COMPRESSION) {
            read_float_pairs<false>(r, out, kChromatogramError, true);
        } else if (kind == Symbol::CHROMATOGRAM_ZSTD_COMPRESSION) {
            OwnedSegment segment(r);
            read_float_pairs<false>(segment.content(), out, kChromatogramError);
            segment.close();
        } else if (kind == Symbol::CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION) {
            OwnedSegment segment(r);
            read_efficient_chromatogram(segment.content(), out);
            segment.close();
        } else {
            throw ZarnError(kChromatogramError);
        }
    }
    r.confirm_zarn_symbol(Symbol::END_OF_CHROMATOGRAM);
    return points;
}

// ---------------------------------------------------------------- MS spectrum

namespace {

template <typename Out>
void decode_zstd_efficient(Reader &r, Out &out) {
    static const Layout layouts[8] = {
        {XArray::Deltas32, YArray::Int32, Value::AsInt},  {XArray::Deltas32, YArray::Int64, Value::AsFloat},
        {XArray::Float32, YArray::Int32, Value::AsInt},   {XArray::Float32, YArray::Int64, Value::AsFloat},
        {XArray::Deltas32, YArray::Int32, Value::Scaled}, {XArray::Deltas32, YArray::Int64, Value::Scaled},
        {XArray::Deltas64, YArray::Int32, Value::Scaled}, {XArray::Deltas64, YArray::Int64, Value::Scaled},
    };
    const int64_t option = r.read_tiny_uint();
    if (option > 7) option_error(kSpectrumOptionError, option);
    int64_t mz_power = 0, intensity_power = 0;
    if (option <= 1) {
        mz_power = r.read_uint16();
    } else if (option >= 4) {
        mz_power = r.read_tiny_uint();
        intensity_power = r.read_tiny_uint();
    }
    read_efficient_series(r, layouts[option], mz_power, intensity_power, kSpectrumError, out);
}

// Intensity layout of options 0-3 of the m/z-coefficient codec and of the
// DAD intensity codec: 0 int32 as integers, 1 int64 as floats, 2 and 3 the
// same arrays scaled by a power of ten.
int intensity_width(int64_t option) { return (option & 1) ? 8 : 4; }
Value intensity_value(int64_t option) {
    return option == 0 ? Value::AsInt : option == 1 ? Value::AsFloat : Value::Scaled;
}

// A span taken from the file window that a later take may move (outside a
// decompressed window and a small file's whole-file window) is copied into
// `kept` first.
Bytes kept_across_takes(const Reader &r, Bytes b, std::vector<uint8_t> &kept) {
    if (r.in_decompressed_window() || r.is_small_file()) return b;
    kept.assign(b.begin(), b.end());
    return Bytes(kept.data(), kept.size());
}

template <typename Out>
void decode_mz_compressed(Reader &r, Out &out) {
    const int64_t option = r.read_tiny_uint();
    int64_t intensity_power = 0;
    if (option == 2 || option == 3) intensity_power = r.read_tiny_uint();
    const double a = r.read_double();
    const double b = r.read_double();
    const double c = r.read_double();
    const int64_t n = read_count(r, kSpectrumError);
    std::vector<uint8_t> kept;
    const Bytes index = kept_across_takes(r, take_arrays(r, {{4 * n, Short::Index}}), kept);
    if (option > 3) option_error(kSpectrumOptionError, option);
    const int width = intensity_width(option);
    check_arrays({{width * n, Short::Index}}, r.remaining());
    Bytes values = take_arrays(r, {{width * n, Short::Index}});
    const size_t count = size_t(n);
    with_packed_values(values.data(), count, width, intensity_value(option), intensity_power, [&](auto y_at) {
        emit_points(out, count, DeltaSums(Planes32{index.data(), count}, Quadratic{a, b, c}), y_at);
    });
}

template <typename Out>
void decode_sciex(Reader &r, Out &out) {
    const int64_t option = r.read_tiny_uint();
    int64_t power = 0;
    if (option > 3 && option < 8) power = r.read_tiny_uint();
    const double a = r.read_double();
    const double b = r.read_double();
    const double c = r.read_double();
    const SciexMass to_mz{a, b, c};
    const int64_t n = read_count(r, kSpectrumError);
    if (option > 7) option_error(kSpectrumOptionError, option);
    const int width = (option & 1) ? 8 : 4;
    const Value value = (option == 0 || option == 2)   ? Value::AsInt
                        : (option == 1 || option == 3) ? Value::AsFloat
                                                       : Value::Scaled;
    const size_t count = size_t(n);
    const bool zero_filled = option == 0 || option == 1 || option == 4 || option == 5;
    if (!zero_filled) {
        Bytes arrays = take_arrays(r, {{4 * n, Short::Index}, {width * n, Short::Index}});
        with_packed_values(arrays.data() + 4 * n, count, width, value, power, [&](auto y_at) {
            emit_points(out, count, DeltaSums(Planes32{arrays.data(), count}, to_mz), y_at);
        });
        return;
    }

    const int64_t original_num_points = read_count(r, kSpectrumError);
    const int64_t d = r.read_int32();
    Bytes arrays = take_arrays(r, {{4 * n, Short::Index}, {width * n, Short::Index}});
    const Planes32 filtered_index{arrays.data(), count};
    auto f = [filtered_index](size_t i) { return filtered_index[i]; };
    // The rebuilt arrays have no bytes behind their length: check it against
    // what the rebuild writes, below and above, before anything is made.
    if (count == 0) throw OutOfRange("list index out of range");
    const int64_t filled = zero_filled_count(d, count, f);
    if (original_num_points < filled) throw OutOfRange("list assignment index out of range");
    if (original_num_points > kRebuiltPointsPerFilledEntry * filled) throw ZarnError(kSpectrumError);
    const Planes32 g32{arrays.data() + 4 * n, count};
    const Planes64 g64{arrays.data() + 4 * n, count};
    out.begin(size_t(original_num_points));
    // The rebuild writes its entries in order, so each point is made as its
    // entry is written. The written deltas are below 2**33 in magnitude and
    // fewer than 3 * n + 2, n below 2**28 in a segment of at most 1 GiB: the
    // running bin index stays inside 64 bits.
    int64_t bin = 0;
    size_t written = 0;
    bool more = true;
    rebuild_zero_filled(d, count, f, [&](size_t entry, int64_t delta, int64_t source) {
        bin += delta;
        written = entry + 1;
        if (!more) return;
        const double x = to_mz(bin);
        if (!out.wants(x)) return;
        const int64_t stored = source < 0 ? 0 : width == 8 ? g64[size_t(source)] : g32[size_t(source)];
        more = out.put(x, stored_value(stored, value, power));
    });
    // Entries beyond the rebuilt ones keep a zero delta and a zero intensity.
    const double last = to_mz(bin);
    const Number zero = stored_value(0, value, power);
    for (size_t i = written; more && i < size_t(original_num_points); ++i)
        more = !out.wants(last) || out.put(last, zero);
}

// m/z of the Agilent layout from the running time index, asked for in order.
class AgilentMz {
public:
    AgilentMz(const double (&cf)[10], Planes32 index, int64_t t0, int64_t min_diff, int64_t power)
        : index_(index), min_diff_(min_diff), power_(power), total_(t0) {
        for (int k = 0; k < 10; ++k) cf_[k] = cf[k];
    }
    double operator()(size_t j) {
        // min_diff * entry stays below 2**62 and there are fewer than 2**31
        // entries: the total is exact in 128 bits.
        if (j > 0) total_ += i128(min_diff_) * index_[j];
        double time = scale_down(total_, power_);
        const double s = cf_[0] * (time - cf_[1]);
        const double val1 = s * s;
        if (time < cf_[8]) time = cf_[8];
        if (cf_[9] < time) time = cf_[9];
        double val = 0.0;
        for (int k = 7; k >= 2; --k) {
            const double t = val * time + cf_[k];
            val = t * time;
        }
        return val1 - val;
    }

private:
    double cf_[10];
    Planes32 index_;
    int64_t min_diff_, power_;
    i128 total_;
};

template <typename Out>
void decode_agilent(Reader &r, Out &out) {
    const int64_t option = r.read_tiny_uint();
    const int64_t index_power = r.read_tiny_uint();
    const int64_t intensity_power = r.read_tiny_uint();
    const int64_t t0 = r.read_int32();
    const int64_t min_diff = r.read_int32();
    const int64_t n = read_count(r, kSpectrumError);
    double cf[10];
    Bytes coefficients = take_arrays(r, {{80, Short::Struct}});
    for (int k = 0; k < 10; ++k) cf[k] = load_f64le(coefficients.data() + 8 * k);
    std::vector<uint8_t> kept;
    const Bytes index_bytes = kept_across_takes(r, take_arrays(r, {{4 * n, Short::Index}}), kept);
    const size_t count = size_t(n);
    // The m/z values depend on nothing read after the index, so the option
    // is checked before they are computed.
    if (option > 1) option_error(kSpectrumOptionError, option);
    const int width = option == 1 ? 8 : 4;
    Bytes values = take_arrays(r, {{width * n, Short::Index}});
    const AgilentMz mz(cf, Planes32{index_bytes.data(), count}, t0, min_diff, index_power);
    with_packed_values(values.data(), count, width, Value::Scaled, intensity_power,
                       [&](auto y_at) { emit_points(out, count, mz, y_at); });
}

// One MS segment of the given kind; false for a kind that is no MS kind.
template <typename Out>
bool read_spectrum_segment(Reader &file, Symbol kind, Out &out) {
    if (kind == Symbol::SPECTRUM_NO_COMPRESSION) {
        read_float_pairs<false>(file, out, kSpectrumError, true);
        return true;
    }
    switch (kind) {
        case Symbol::SPECTRUM_ZSTD_COMPRESSION:
        case Symbol::SPECTRUM_MZ_AND_ZSTD_COMPRESSION:
        case Symbol::SPECTRUM_BY_SCIEX_FORMAT:
        case Symbol::SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE:
        case Symbol::SPECTRUM_ZSTD_EFFICIENT_COMPRESSION:
        case Symbol::SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION:
        case Symbol::SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION:
        case Symbol::SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION:
            break;
        default:
            return false;
    }
    OwnedSegment segment(file);
    Reader &r = segment.content();
    switch (kind) {
        case Symbol::SPECTRUM_ZSTD_COMPRESSION:
            read_float_pairs<false>(r, out, kSpectrumError);
            break;
        case Symbol::SPECTRUM_MZ_AND_ZSTD_COMPRESSION:
            read_coefficient_segment<Quadratic>(r, out);
            break;
        case Symbol::SPECTRUM_BY_SCIEX_FORMAT:
            read_coefficient_segment<SciexMass>(r, out);
            break;
        case Symbol::SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE:
            read_float_pairs<true>(r, out, kSpectrumError);
            break;
        case Symbol::SPECTRUM_ZSTD_EFFICIENT_COMPRESSION:
            decode_zstd_efficient(r, out);
            break;
        case Symbol::SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION:
            decode_mz_compressed(r, out);
            break;
        case Symbol::SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION:
            decode_sciex(r, out);
            break;
        default:
            decode_agilent(r, out);
            break;
    }
    segment.close();
    return true;
}

}  // namespace

// ---------------------------------------------------------------- windows

void WindowSums::set_windows(std::vector<std::pair<Number, Number>> bounds) {
    windows_.clear();
    for (const auto &[min, max] : bounds) windows_.push_back(Window{min, max, {}, false});
    by_min_.resize(windows_.size());
    for (size_t k = 0; k < by_min_.size(); ++k) by_min_[k] = k;
    auto nan = [](const Number &n) { return !n.is_int && std::isnan(n.f); };
    std::stable_sort(by_min_.begin(), by_min_.end(), [&](size_t a, size_t b) {
        const Number &x = windows_[a].min, &y = windows_[b].min;
        if (nan(x) || nan(y)) return nan(x) && !nan(y);
        return less(x, y);
    });
    active_.reserve(windows_.size());
}

void WindowSums::restart() {
    for (Window &w : windows_) {
        w.scan = WindowScan();
        w.ended = false;
    }
    active_.clear();
    next_ = 0;
    open_ = windows_.size();
    set_gate();
}

void WindowSums::set_gate() {
    gate_ = -HUGE_VAL;
    if (next_ == by_min_.size()) return;
    const Number &min = windows_[by_min_[next_]].min;
    if (!min.is_int) {
        if (!std::isnan(min.f)) gate_ = min.f;
    } else if (exact_as_double(min.i)) {
        gate_ = double(min.i);
    }
}

void WindowSums::start(const Number &at) {
    const size_t first = next_;
    while (next_ < by_min_.size() && !greater(windows_[by_min_[next_]].min, at)) active_.push_back(by_min_[next_++]);
    if (next_ != first) set_gate();
}

bool WindowSums::put(double x, const Number &intensity) {
    if (open_ == 0) return false;
    const Number at = Number::real(x);
    start(at);
    for (size_t k = 0; k < active_.size();) {
        if (take(windows_[active_[k]], x, at, intensity)) {
            ++k;
        } else {
            active_[k] = active_.back();
            active_.pop_back();
        }
    }
    return open_ != 0;
}

template <typename Out>
void decode_spectrum(Reader &r, Out &out) {
    r.confirm_zarn_symbol(Symbol::BEGIN_OF_SPECTRUM);
    const int64_t loop = r.read_tiny_uint();
    for (int64_t s = 0; s < loop; ++s)
        if (!read_spectrum_segment(r, r.read_zarn_symbol(), out)) throw ZarnError(kSpectrumError);
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
}

template void decode_spectrum<PointAppender>(Reader &, PointAppender &);
template void decode_spectrum<WindowSums>(Reader &, WindowSums &);
template void decode_spectrum<AnyPointOut>(Reader &, AnyPointOut &);

std::vector<Point> read_spectrum(Reader &r) {
    std::vector<Point> points;
    PointAppender out(points);
    decode_spectrum(r, out);
    return points;
}

namespace {

// A codec's points appended to `points`.
template <void (*Decode)(Reader &, PointAppender &)>
void append_decoded(Reader &r, std::vector<Point> &points) {
    PointAppender out(points);
    Decode(r, out);
}

}  // namespace

void read_zstd_efficient_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_zstd_efficient<PointAppender>>(r, points);
}
void read_efficient_mz_compressed_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_mz_compressed<PointAppender>>(r, points);
}
void read_efficient_sciex_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_sciex<PointAppender>>(r, points);
}
void read_efficient_agilent_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_agilent<PointAppender>>(r, points);
}

// ---------------------------------------------------------------- DAD spectrum

namespace {

// One DAD intensity segment (kind symbol and body) at the position, its
// values appended to `out` while it holds fewer than `keep`; the values
// beyond are checked as a full read checks them, not decoded.
void read_dad_segment(Reader &file, std::vector<Number> &out, size_t keep) {
    const Symbol kind = file.read_zarn_symbol();
    if (kind != Symbol::DAD_INTENSITIES_INSTEAD_OF_SPECTRUM &&
        kind != Symbol::DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION)
        throw ZarnError(kSpectrumError);
    OwnedSegment owned(file);
    Reader &r = owned.content();
    // How many of the segment's n values are kept.
    auto kept = [&](int64_t n) { return out.size() < keep ? std::min(size_t(n), keep - out.size()) : size_t(0); };
    if (kind == Symbol::DAD_INTENSITIES_INSTEAD_OF_SPECTRUM) {
        const int64_t n = read_count(r, kSpectrumError);
        Bytes b = take_arrays(r, {{4 * n, Short::Struct}});
        const size_t first = out.size(), count = kept(n);
        out.resize(first + count);
        for (size_t i = 0; i < count; ++i) out[first + i] = Number::real(double(load_f32le(b.data() + 4 * i)));
    } else {
        const int64_t option = r.read_tiny_uint();
        int64_t power = 0;
        if (option > 1 && option < 4) power = r.read_tiny_uint();
        const int64_t n = read_count(r, kSpectrumError);
        if (option > 3) option_error(kIntensityOptionError, option);
        const int width = intensity_width(option);
        Bytes b = take_arrays(r, {{width * n, Short::Index}});
        const size_t first = out.size(), count = kept(n);
        out.resize(first + count);
        with_packed_values(b.data(), size_t(n), width, intensity_value(option), power, [&](auto value_at) {
            for (size_t i = 0; i < count; ++i) out[first + i] = value_at(i);
        });
    }
    owned.close();
}

}  // namespace

std::vector<Number> get_dad_intensities(Reader &file) {
    std::vector<Number> out;
    read_dad_segment(file, out, SIZE_MAX);
    return out;
}

std::vector<Number> read_dad_segments(Reader &r, size_t keep) {
    r.confirm_zarn_symbol(Symbol::BEGIN_OF_SPECTRUM);
    const int64_t loop = r.read_tiny_uint();
    std::vector<Number> intensities;
    for (int64_t s = 0; s < loop; ++s) read_dad_segment(r, intensities, keep);
    return intensities;
}

std::vector<Point> read_dad_spectrum(Reader &r, std::span<const double> wavelengths) {
    const std::vector<Number> intensities = read_dad_segments(r, wavelengths.size());
    std::vector<Point> out(wavelengths.size());
    for (size_t i = 0; i < wavelengths.size(); ++i) out[i] = Point{wavelengths[i], dad_intensity(intensities, i)};
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
    return out;
}

// ---------------------------------------------------------------- range-limited reads

void read_spectrum_for_multiple_xic(Reader &r, PointSink &sink) {
    r.confirm_zarn_symbol(Symbol::BEGIN_OF_SPECTRUM);
    const int64_t loop = r.read_tiny_uint();
    std::vector<Point> points;
    for (int64_t s = 0; s < loop; ++s) {
        const Symbol kind = r.read_zarn_symbol();
        points.clear();
        PointAppender out(points);
        // The Agilent layout is not read here.
        if (kind == Symbol::SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION || !read_spectrum_segment(r, kind, out))
            throw ZarnError(kSpectrumError);
        // The sink may run caller code that reads elsewhere.
        const Reader::Mark after = r.mark();
        bool stopped = false;
        for (const Point &p : points) {
            if (sink.offer(p.x, p.intensity.to_double())) {
                stopped = true;
                break;
            }
        }
        r.seat(after);
        if (stopped && s + 1 < loop) return;
        if (stopped) break;
    }
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
}

void read_dad_spectrum_for_multiple_xic(Reader &r, std::span<const double> wavelengths, PointSink &sink) {
    const std::vector<Number> intensities = read_dad_segments(r, wavelengths.size());
    const Reader::Mark end = r.mark();
    const bool stopped =
        offer_dad_points(intensities, wavelengths.size(), [&](size_t i) { return wavelengths[i]; }, sink);
    r.seat(end);
    if (stopped) return;
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
}

}  // namespace zarn

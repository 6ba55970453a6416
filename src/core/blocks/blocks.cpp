#include "blocks/blocks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "format/interrupt.hpp"

namespace zarn {

namespace {

// The points or values decoded between two interruption points.
constexpr size_t kInterruptionBatch = 4096;

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

struct Real64At {
    const uint8_t *p;
    Number operator()(size_t i) const { return Number::real(load_f64le(p + 8 * i)); }
};

// A segment's content as its decoder reads it: tagged values through `r`,
// arrays from r's data or, for a streamed segment, from its streams.
struct Content {
    Reader &r;
    const OwnedSegment *streamed = nullptr;
    // The content is the segment's own (OwnedSegment), which no read with
    // the file's reader can replace: an interruption point may run the
    // caller's code while it is decoded.
    bool owned = false;
    // One batch of kInterruptionBatch points or values decoded.
    void batch_done() const {
        if (owned) interruption_point();
    }
    int64_t remaining() const {
        return streamed ? int64_t(streamed->content_size()) - r.local_position() : r.remaining();
    }
};

// Arrays taken together, in memory: the views read them in place. The
// offsets and counts of the view makers are the caller's, checked by take().
struct MemSrc {
    const uint8_t *p;
    Planes32 planes32(size_t at, size_t n) const { return {p + at, n}; }
    Planes64 planes64(size_t at, size_t n) const { return {p + at, n}; }
    Raw32 raw32(size_t at, size_t) const { return {p + at}; }
    Float32At float32(size_t at, size_t) const { return {p + at}; }
    Float64At float64(size_t at, size_t) const { return {p + at}; }
    RealAt real32(size_t at, size_t) const { return {p + at}; }
    Real64At real64(size_t at, size_t) const { return {p + at}; }
};

// `length` bytes of a streamed segment's content from `begin`, read in
// order (each index no lower than the one before) in bounded pieces,
// through a stream of its own made at the first read.
class Column {
public:
    Column(const OwnedSegment &segment, size_t begin, size_t length)
        : segment_(segment), begin_(begin), length_(length) {}
    uint8_t at(size_t j) {
        if (j - first_ >= filled_) fill(j);
        return chunk_[j - first_];
    }
    // The `width` bytes from j, for a column read in words of that width
    // from its start: the pieces hold whole words, so a word never
    // straddles two.
    const uint8_t *word_at(size_t j, size_t width) {
        if (j - first_ >= filled_) fill(j);
        if (filled_ - (j - first_) < width) throw OutOfRange("index out of range");
        return chunk_.data() + (j - first_);
    }

private:
    static constexpr size_t kPiece = 65536;  // a multiple of every word width
    void fill(size_t j) {
        // The content was checked to hold every array.
        if (j >= length_) throw OutOfRange("index out of range");
        if (!stream_) {
            stream_.emplace(segment_.stream_from(begin_));
            chunk_.resize(std::min(length_, kPiece));
        }
        const size_t next = first_ + filled_;  // where the stream stands
        if (j > next) stream_->skip(j - next);
        first_ = j;
        filled_ = stream_->read(chunk_.data(), std::min(chunk_.size(), length_ - j));
        if (filled_ == 0) throw OutOfRange("index out of range");
    }
    const OwnedSegment &segment_;
    size_t begin_, length_;
    std::optional<FrameStream> stream_;
    ByteBuffer chunk_;
    size_t first_ = 0, filled_ = 0;
};

using ColumnRef = std::shared_ptr<Column>;

// The views of a streamed segment's arrays, asked in order like the in
// memory ones (copies share their columns).
template <int Width>
struct StreamPlanes {
    static constexpr bool kWide = Width == 8;
    std::array<ColumnRef, Width> planes;
    int64_t operator[](size_t i) const {
        uint64_t v = 0;
        for (const ColumnRef &plane : planes) v = (v << 8) | plane->at(i);
        return Width == 8 ? int64_t(v) : int64_t(int32_t(uint32_t(v)));
    }
};

// Raw little-endian words of `Width` bytes.
template <int Width>
struct StreamWords {
    ColumnRef column;
    uint64_t word(size_t i) const {
        const uint8_t *p = column->word_at(Width * i, Width);
        if constexpr (Width == 4) return load_u32le(p);
        return load_u64le(p);
    }
};

struct StreamRaw32 : StreamWords<4> {
    static constexpr bool kWide = false;
    int64_t operator[](size_t i) const { return int32_t(uint32_t(word(i))); }
};

inline double f32_of(uint64_t w) {
    const uint32_t bits = uint32_t(w);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}

inline double f64_of(uint64_t w) {
    double d;
    std::memcpy(&d, &w, sizeof d);
    return d;
}

struct StreamFloat32At : StreamWords<4> {
    double operator()(size_t i) const { return f32_of(word(i)); }
};
struct StreamFloat64At : StreamWords<8> {
    double operator()(size_t i) const { return f64_of(word(i)); }
};
struct StreamRealAt : StreamWords<4> {
    Number operator()(size_t i) const { return Number::real(f32_of(word(i))); }
};
struct StreamReal64At : StreamWords<8> {
    Number operator()(size_t i) const { return Number::real(f64_of(word(i))); }
};

// Arrays taken together from a streamed segment, from content offset `base`.
struct StreamSrc {
    const OwnedSegment *segment;
    size_t base;
    ColumnRef column(size_t at, size_t length) const { return std::make_shared<Column>(*segment, base + at, length); }
    template <int Width>
    StreamPlanes<Width> planes(size_t at, size_t n) const {
        StreamPlanes<Width> view;
        for (size_t k = 0; k < size_t(Width); ++k) view.planes[k] = column(at + k * n, n);
        return view;
    }
    StreamPlanes<4> planes32(size_t at, size_t n) const { return planes<4>(at, n); }
    StreamPlanes<8> planes64(size_t at, size_t n) const { return planes<8>(at, n); }
    StreamRaw32 raw32(size_t at, size_t n) const { return {{column(at, 4 * n)}}; }
    StreamFloat32At float32(size_t at, size_t n) const { return {{column(at, 4 * n)}}; }
    StreamFloat64At float64(size_t at, size_t n) const { return {{column(at, 8 * n)}}; }
    StreamRealAt real32(size_t at, size_t n) const { return {{column(at, 4 * n)}}; }
    StreamReal64At real64(size_t at, size_t n) const { return {{column(at, 8 * n)}}; }
};

// The consecutive arrays at the position, checked against the content
// before anything is taken or allocated, as a source of views. In memory
// one span, so that no later read can move the window under it; copied to
// `copy` when given, for a span that a later read may move.
template <typename Src>
Src take(Content &c, std::initializer_list<Array> arrays, std::vector<uint8_t> *copy = nullptr) {
    if constexpr (std::is_same_v<Src, StreamSrc>) {
        check_arrays(arrays, c.remaining());
        int64_t total = 0;
        for (const Array &a : arrays) total += a.bytes;
        const size_t at = size_t(c.r.local_position());
        c.r.skip_bytes(total);
        return StreamSrc{c.streamed, at};
    } else {
        Bytes b = take_arrays(c.r, arrays);
        if (!copy) return MemSrc{b.data()};
        copy->assign(b.begin(), b.end());
        return MemSrc{copy->data()};
    }
}

// Calls f(content, source) over the segment's content, `source` a value of
// the source type its arrays are read through.
template <typename F>
void with_content(OwnedSegment &segment, F &&f) {
    if (segment.streamed()) {
        Content c{segment.content(), &segment, true};
        f(c, StreamSrc{});
    } else {
        Content c{segment.content(), nullptr, true};
        f(c, MemSrc{});
    }
}

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

// How a stored integer intensity becomes the point's intensity.
enum class Value { AsInt, AsFloat, Scaled };

[[gnu::always_inline]] inline Number stored_value(int64_t v, Value mode, int64_t power) {
    switch (mode) {
        case Value::AsInt:
            return Number::integer(v);
        case Value::AsFloat:
            return Number::real(double(v));
        default:
            return Number::real(scale_down(v, power));
    }
}

// Intensities from a packed array, one mode for all of them. The small
// views are always inlined: the decoders' loops ask them once per value.
template <typename Values, Value Mode>
struct StoredAt {
    Values values;
    int64_t power;
    [[gnu::always_inline]] Number operator()(size_t i) const { return stored_value(values[i], Mode, power); }
};

// Calls f(intensity_at) with the view of a packed intensity array of `width`
// bytes per value at `at` in `src`, read in `mode`.
template <typename Src, typename F>
void with_packed_values(const Src &src, size_t at, size_t n, int width, Value mode, int64_t power, F &&f) {
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
        with_mode(src.planes64(at, n));
    } else {
        with_mode(src.planes32(at, n));
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
// An interruption point after each batch of points.
template <typename Out, typename XAt, typename YAt>
void emit_points(const Content &c, Out &out, size_t n, XAt x_at, YAt y_at) {
    out.begin(n);
    for (size_t batch = 0; batch < n; batch += kInterruptionBatch) {
        if (batch != 0) c.batch_done();
        const size_t end = std::min(n, batch + kInterruptionBatch);
        for (size_t i = batch; i < end; ++i) {
            const double x = x_at(i);
            if constexpr (sequential<YAt>()) {
                const Number y = y_at(i);
                if (out.wants(x) && !out.put(x, y)) return;
            } else {
                if (out.wants(x) && !out.put(x, y_at(i))) return;
            }
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

// A segment in the file of more points than this is decoded from a copy of
// its own, so that its decoding has interruption points.
constexpr int64_t kInterruptibleInFile = 65536;

// num_points, then n x values and n intensities as raw binary32 (binary64
// when `Double`); both floats. `in_file`: the segment lies in the reader's
// window, which caller code may replace; the arrays are then copied before
// the first point is handed to such an `out`, or before a long decoding,
// and the reader stands after them again once the points are handed out.
template <typename Src, bool Double, typename Out>
void read_float_pairs(Content &c, Out &out, const char *message, bool in_file = false) {
    constexpr int width = Double ? 8 : 4;
    const int64_t n = read_count(c.r, message);
    std::vector<uint8_t> kept;
    const bool apart = in_file && (calls_out<Out>() || n > kInterruptibleInFile);
    const Src src = take<Src>(c, {{width * n, Short::Struct}, {width * n, Short::Struct}}, apart ? &kept : nullptr);
    const Reader::Mark after = c.r.mark();
    const size_t count = size_t(n);
    const Content decoded{c.r, c.streamed, c.owned || apart};
    if constexpr (Double) {
        emit_points(decoded, out, count, src.float64(0, count), src.real64(8 * count, count));
    } else {
        emit_points(decoded, out, count, src.float32(0, count), src.real32(4 * count, count));
    }
    if (apart) c.r.seat(after);
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

// Calls f(x_at) with the x view of an efficient layout's x array, at the
// start of `src`.
template <typename Src, typename F>
void with_x_array(XArray kind, const Src &src, size_t n, int64_t power, F &&f) {
    switch (kind) {
        case XArray::Float32:
            return f(src.float32(0, n));
        case XArray::Deltas32:
            return f(DeltaSums(src.planes32(0, n), ScaledSum{power}));
        case XArray::Deltas64:
            return f(DeltaSums(src.planes64(0, n), ScaledSum{power}));
    }
}

// Compression-ready codes, decoded, then summed, asked for in order.
template <typename Codes>
class CodeSums {
public:
    static constexpr bool kSequential = true;
    CodeSums(Codes codes, int64_t power) : codes_(codes), power_(power) {}
    Number operator()(size_t i) {
        sum_ += int64_t(compression_ready_to_int(codes_[i]));
        return Number::real(scale_down(sum_, power_));
    }

private:
    Codes codes_;
    int64_t power_;
    int64_t sum_ = 0;
};

// num_points, the x array and the intensity array of an efficient layout.
template <typename Src, typename Out>
void read_efficient_series(Content &c, const Layout &layout, int64_t x_power, int64_t y_power, const char *message,
                           Out &out) {
    const int64_t n = read_count(c.r, message);
    const int64_t x_bytes = (layout.x == XArray::Deltas64 ? 8 : 4) * n;
    const int64_t y_width = layout.y == YArray::Int64 ? 8 : 4;
    const Short x_short = layout.x == XArray::Float32 ? Short::Struct : Short::Index;
    const Src src = take<Src>(c, {{x_bytes, x_short}, {y_width * n, Short::Index}});
    const size_t count = size_t(n), ys = size_t(x_bytes);
    with_x_array(layout.x, src, count, x_power, [&](auto x_at) {
        if (layout.y == YArray::Codes32)
            return emit_points(c, out, count, x_at, CodeSums(src.planes32(ys, count), y_power));
        with_packed_values(src, ys, count, int(y_width), layout.value, y_power,
                           [&](auto y_at) { emit_points(c, out, count, x_at, y_at); });
    });
}

template <typename Src, typename Out>
void read_efficient_chromatogram(Content &c, Out &out) {
    Reader &r = c.r;
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
    read_efficient_series<Src>(c, layouts[option], rt_power, intensity_power, kChromatogramError, out);
}

// ---------------------------------------------------------------- MS segments

// Kinds 42 and 43: three coefficients, num_points, raw index differences and
// binary32 intensities.
template <typename Src, typename ToX, typename Out>
void read_coefficient_segment(Content &content, Out &out) {
    Reader &r = content.r;
    const double a = r.read_double();
    const double b = r.read_double();
    const double c = r.read_double();
    const int64_t n = read_count(r, kSpectrumError);
    const Src arrays = take<Src>(content, {{4 * n, Short::Lenient}, {4 * n, Short::Struct}});
    const size_t count = size_t(n);
    emit_points(content, out, count, DeltaSums(arrays.raw32(0, count), ToX{a, b, c}), arrays.real32(4 * count, count));
}

}  // namespace

// ---------------------------------------------------------------- chromatogram

namespace {

template <typename Out>
void decode_chromatogram(Reader &r, Out &out) {
    r.confirm_zarn_symbol(Symbol::BEGIN_OF_CHROMATOGRAM);
    const int64_t loop = r.read_tiny_uint();
    for (int64_t s = 0; s < loop; ++s) {
        const Symbol kind = r.read_zarn_symbol();
        if (kind == Symbol::CHROMATOGRAM_NO_COMPRESSION) {
            Content c{r};
            read_float_pairs<MemSrc, false>(c, out, kChromatogramError, true);
        } else if (kind == Symbol::CHROMATOGRAM_ZSTD_COMPRESSION ||
                   kind == Symbol::CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION) {
            OwnedSegment segment(r);
            with_content(segment, [&](Content &c, auto src) {
                using Src = decltype(src);
                if (kind == Symbol::CHROMATOGRAM_ZSTD_COMPRESSION)
                    read_float_pairs<Src, false>(c, out, kChromatogramError);
                else
                    read_efficient_chromatogram<Src>(c, out);
            });
            segment.close();
        } else {
            throw ZarnError(kChromatogramError);
        }
    }
    r.confirm_zarn_symbol(Symbol::END_OF_CHROMATOGRAM);
}

}  // namespace

std::vector<Point> read_chromatogram(Reader &r) {
    std::vector<Point> points;
    PointAppender out(points);
    decode_chromatogram(r, out);
    return points;
}

void read_chromatogram(Reader &r, PointBatches &out) {
    decode_chromatogram(r, out);
    out.finish();
}

// ---------------------------------------------------------------- MS spectrum

namespace {

template <typename Src, typename Out>
void decode_zstd_efficient(Content &c, Out &out) {
    Reader &r = c.r;
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
    read_efficient_series<Src>(c, layouts[option], mz_power, intensity_power, kSpectrumError, out);
}

// Intensity layout of options 0-3 of the m/z-coefficient codec and of the
// DAD intensity codec: 0 int32 as integers, 1 int64 as floats, 2 and 3 the
// same arrays scaled by a power of ten.
int intensity_width(int64_t option) { return (option & 1) ? 8 : 4; }
Value intensity_value(int64_t option) {
    return option == 0 ? Value::AsInt : option == 1 ? Value::AsFloat : Value::Scaled;
}

// Where to copy a span taken from the file window that a later take may
// move (outside a decompressed window and a small file's whole-file
// window): `kept`, else nowhere.
std::vector<uint8_t> *kept_across_takes(const Reader &r, std::vector<uint8_t> &kept) {
    return r.in_decompressed_window() || r.is_small_file() ? nullptr : &kept;
}

template <typename Src, typename Out>
void decode_mz_compressed(Content &content, Out &out) {
    Reader &r = content.r;
    const int64_t option = r.read_tiny_uint();
    int64_t intensity_power = 0;
    if (option == 2 || option == 3) intensity_power = r.read_tiny_uint();
    const double a = r.read_double();
    const double b = r.read_double();
    const double c = r.read_double();
    const int64_t n = read_count(r, kSpectrumError);
    std::vector<uint8_t> kept;
    const Src index = take<Src>(content, {{4 * n, Short::Index}}, kept_across_takes(r, kept));
    if (option > 3) option_error(kSpectrumOptionError, option);
    const int width = intensity_width(option);
    check_arrays({{width * n, Short::Index}}, content.remaining());
    const Src values = take<Src>(content, {{width * n, Short::Index}});
    const size_t count = size_t(n);
    with_packed_values(values, 0, count, width, intensity_value(option), intensity_power, [&](auto y_at) {
        emit_points(content, out, count, DeltaSums(index.planes32(0, count), Quadratic{a, b, c}), y_at);
    });
}

// The points of a zero-filled SCIEX segment, rebuilt from the n kept deltas
// `f` and intensities `g`, made as their entries are written.
template <typename Out, typename F, typename G>
void emit_zero_filled(const Content &c, Out &out, int64_t d, size_t count, int64_t original_num_points, F f, G g,
                      const SciexMass &to_mz, Value value, int64_t power) {
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
        if (entry % kInterruptionBatch == kInterruptionBatch - 1) c.batch_done();
        if (!more) return;
        const double x = to_mz(bin);
        if (!out.wants(x)) return;
        const int64_t stored = source < 0 ? 0 : g[size_t(source)];
        more = out.put(x, stored_value(stored, value, power));
    });
    // Entries beyond the rebuilt ones keep a zero delta and a zero intensity.
    const double last = to_mz(bin);
    const Number zero = stored_value(0, value, power);
    for (size_t i = written; more && i < size_t(original_num_points); ++i) {
        if (i % kInterruptionBatch == 0) c.batch_done();
        more = !out.wants(last) || out.put(last, zero);
    }
}

template <typename Src, typename Out>
void decode_sciex(Content &content, Out &out) {
    Reader &r = content.r;
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
        const Src arrays = take<Src>(content, {{4 * n, Short::Index}, {width * n, Short::Index}});
        with_packed_values(arrays, 4 * count, count, width, value, power, [&](auto y_at) {
            emit_points(content, out, count, DeltaSums(arrays.planes32(0, count), to_mz), y_at);
        });
        return;
    }

    const int64_t original_num_points = read_count(r, kSpectrumError);
    const int64_t d = r.read_int32();
    const Src arrays = take<Src>(content, {{4 * n, Short::Index}, {width * n, Short::Index}});
    // The kept deltas in order, read anew at each call.
    auto deltas = [&] { return [index = arrays.planes32(0, count)](size_t i) { return index[i]; }; };
    // The rebuilt arrays have no bytes behind their length: check it against
    // what the rebuild writes, below and above, before anything is made.
    if (count == 0) throw OutOfRange("list index out of range");
    const int64_t filled = zero_filled_count(d, count, deltas());
    if (original_num_points < filled) throw OutOfRange("list assignment index out of range");
    if (original_num_points > kRebuiltPointsPerFilledEntry * filled) throw ZarnError(kSpectrumError);
    if (width == 8)
        emit_zero_filled(content, out, d, count, original_num_points, deltas(), arrays.planes64(4 * count, count),
                         to_mz, value, power);
    else
        emit_zero_filled(content, out, d, count, original_num_points, deltas(), arrays.planes32(4 * count, count),
                         to_mz, value, power);
}

// m/z of the Agilent layout from the running time index, asked for in order.
template <typename Index>
class AgilentMz {
public:
    AgilentMz(const double (&cf)[10], Index index, int64_t t0, int64_t min_diff, int64_t power)
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
    Index index_;
    int64_t min_diff_, power_;
    i128 total_;
};

template <typename Src, typename Out>
void decode_agilent(Content &content, Out &out) {
    Reader &r = content.r;
    const int64_t option = r.read_tiny_uint();
    const int64_t index_power = r.read_tiny_uint();
    const int64_t intensity_power = r.read_tiny_uint();
    const int64_t t0 = r.read_int32();
    const int64_t min_diff = r.read_int32();
    const int64_t n = read_count(r, kSpectrumError);
    double cf[10];
    const auto coefficients = take<Src>(content, {{80, Short::Struct}}).float64(0, 10);
    for (size_t k = 0; k < 10; ++k) cf[k] = coefficients(k);
    std::vector<uint8_t> kept;
    const Src index = take<Src>(content, {{4 * n, Short::Index}}, kept_across_takes(r, kept));
    const size_t count = size_t(n);
    // The m/z values depend on nothing read after the index, so the option
    // is checked before they are computed.
    if (option > 1) option_error(kSpectrumOptionError, option);
    const int width = option == 1 ? 8 : 4;
    const Src values = take<Src>(content, {{width * n, Short::Index}});
    const AgilentMz mz(cf, index.planes32(0, count), t0, min_diff, index_power);
    with_packed_values(values, 0, count, width, Value::Scaled, intensity_power,
                       [&](auto y_at) { emit_points(content, out, count, mz, y_at); });
}

// One MS segment of the given kind; false for a kind that is no MS kind.
template <typename Out>
bool read_spectrum_segment(Reader &file, Symbol kind, Out &out) {
    if (kind == Symbol::SPECTRUM_NO_COMPRESSION) {
        Content c{file};
        read_float_pairs<MemSrc, false>(c, out, kSpectrumError, true);
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
    with_content(segment, [&](Content &c, auto src) {
        using Src = decltype(src);
        switch (kind) {
            case Symbol::SPECTRUM_ZSTD_COMPRESSION:
                return read_float_pairs<Src, false>(c, out, kSpectrumError);
            case Symbol::SPECTRUM_MZ_AND_ZSTD_COMPRESSION:
                return read_coefficient_segment<Src, Quadratic>(c, out);
            case Symbol::SPECTRUM_BY_SCIEX_FORMAT:
                return read_coefficient_segment<Src, SciexMass>(c, out);
            case Symbol::SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE:
                return read_float_pairs<Src, true>(c, out, kSpectrumError);
            case Symbol::SPECTRUM_ZSTD_EFFICIENT_COMPRESSION:
                return decode_zstd_efficient<Src>(c, out);
            case Symbol::SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION:
                return decode_mz_compressed<Src>(c, out);
            case Symbol::SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION:
                return decode_sciex<Src>(c, out);
            default:
                return decode_agilent<Src>(c, out);
        }
    });
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
template void decode_spectrum<PointBatches>(Reader &, PointBatches &);

void read_spectrum(Reader &r, PointBatches &out) {
    decode_spectrum(r, out);
    out.finish();
}

std::vector<Point> read_spectrum(Reader &r) {
    std::vector<Point> points;
    PointAppender out(points);
    decode_spectrum(r, out);
    return points;
}

namespace {

// A codec's points appended to `points`, read at the reader's position.
template <void (*Decode)(Content &, PointAppender &)>
void append_decoded(Reader &r, std::vector<Point> &points) {
    PointAppender out(points);
    Content c{r};
    Decode(c, out);
}

}  // namespace

void read_zstd_efficient_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_zstd_efficient<MemSrc, PointAppender>>(r, points);
}
void read_efficient_mz_compressed_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_mz_compressed<MemSrc, PointAppender>>(r, points);
}
void read_efficient_sciex_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_sciex<MemSrc, PointAppender>>(r, points);
}
void read_efficient_agilent_spectrum(Reader &r, std::vector<Point> &points) {
    append_decoded<decode_agilent<MemSrc, PointAppender>>(r, points);
}

// ---------------------------------------------------------------- DAD spectrum

namespace {

// Appends a segment's values to a vector: made at once, then filled in turn.
class NumberAppender {
public:
    explicit NumberAppender(std::vector<Number> &values) : values_(values) {}
    size_t size() const { return next_; }
    void grow(size_t count) { values_.resize(next_ + count); }
    void put(const Number &value) { values_[next_++] = value; }

private:
    std::vector<Number> &values_;
    size_t next_ = 0;
};

// f(i) for each i below n, with an interruption point after each batch but
// the last.
template <typename F>
void in_batches(const Content &c, size_t n, F &&f) {
    for (size_t batch = 0; batch < n; batch += kInterruptionBatch) {
        if (batch != 0) c.batch_done();
        const size_t end = std::min(n, batch + kInterruptionBatch);
        for (size_t i = batch; i < end; ++i) f(i);
    }
}

// One DAD intensity segment (kind symbol and body) at the position, its
// values handed to `out` while it holds fewer than `keep`; the values
// beyond are checked as a full read checks them, not decoded.
template <typename Out>
void read_dad_segment(Reader &file, Out &out, size_t keep) {
    const Symbol kind = file.read_zarn_symbol();
    if (kind != Symbol::DAD_INTENSITIES_INSTEAD_OF_SPECTRUM &&
        kind != Symbol::DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION)
        throw ZarnError(kSpectrumError);
    OwnedSegment owned(file);
    // How many of the segment's n values are kept.
    auto kept = [&](int64_t n) { return out.size() < keep ? std::min(size_t(n), keep - out.size()) : size_t(0); };
    with_content(owned, [&](Content &c, auto src) {
        using Src = decltype(src);
        Reader &r = c.r;
        if (kind == Symbol::DAD_INTENSITIES_INSTEAD_OF_SPECTRUM) {
            const int64_t n = read_count(r, kSpectrumError);
            const auto value_at = take<Src>(c, {{4 * n, Short::Struct}}).real32(0, size_t(n));
            const size_t count = kept(n);
            out.grow(count);
            in_batches(c, count, [&](size_t i) { out.put(value_at(i)); });
            return;
        }
        const int64_t option = r.read_tiny_uint();
        int64_t power = 0;
        if (option > 1 && option < 4) power = r.read_tiny_uint();
        const int64_t n = read_count(r, kSpectrumError);
        if (option > 3) option_error(kIntensityOptionError, option);
        const int width = intensity_width(option);
        const Src values = take<Src>(c, {{width * n, Short::Index}});
        const size_t count = kept(n);
        out.grow(count);
        with_packed_values(values, 0, size_t(n), width, intensity_value(option), power,
                           [&](auto value_at) { in_batches(c, count, [&](size_t i) { out.put(value_at(i)); }); });
    });
    owned.close();
}

}  // namespace

void get_dad_intensities(Reader &file, NumberOut &out) { read_dad_segment(file, out, SIZE_MAX); }

std::vector<Number> get_dad_intensities(Reader &file) {
    std::vector<Number> values;
    NumberAppender out(values);
    read_dad_segment(file, out, SIZE_MAX);
    return values;
}

std::vector<Number> read_dad_segments(Reader &r, size_t keep) {
    r.confirm_zarn_symbol(Symbol::BEGIN_OF_SPECTRUM);
    const int64_t loop = r.read_tiny_uint();
    std::vector<Number> intensities;
    NumberAppender out(intensities);
    for (int64_t s = 0; s < loop; ++s) read_dad_segment(r, out, keep);
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
        // The sink may run caller code that reads elsewhere, as may an
        // interruption point.
        const Reader::Mark after = r.mark();
        bool stopped = false;
        for (size_t i = 0; i < points.size(); ++i) {
            if (i % kInterruptionBatch == kInterruptionBatch - 1) interruption_point();
            if (sink.offer(points[i].x, points[i].intensity.to_double())) {
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

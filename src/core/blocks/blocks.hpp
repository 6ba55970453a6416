// Data blocks: chromatograms, MS spectra (every segment kind and codec), DAD
// spectra, and the range-limited spectrum reads. Every decoder reads at the
// reader's position and hands out native points in one pass. A compressed
// segment is decompressed into memory of its own (OwnedSegment) and an
// uncompressed one handed to caller code is copied first, so that caller
// code run by a receiver may read elsewhere with the same reader: after
// such code the decoder stands where it was before it reads on. A failure
// inside a segment leaves the reader in its file window after the segment.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "format/numbers.hpp"
#include "io/reader.hpp"

namespace zarn {

// One decoded point: x (m/z, wavelength or retention time) and an intensity
// that keeps the int-or-float type its layout gives it.
struct Point {
    double x;
    Number intensity;
};

// How many times the entries that its kept points fill a SCIEX zero-filled
// segment may announce as its point count. The count has no bytes behind
// it: entries beyond the filled ones are trailing zero points, allowed up
// to this bound, so that a few bytes never ask for millions of points.
inline constexpr int64_t kRebuiltPointsPerFilledEntry = 2;

// Messages of the blocks; a count that no data can hold (negative) fails
// with its block's message too.
inline constexpr const char *kChromatogramError = "ChromatogramPointCollection could not be read";
inline constexpr const char *kSpectrumError = "Unable to read current spectrum";

// ---------------------------------------------------------------- decoded points

// Where a decoder hands its points, in decoding order: begin(n) before the
// n points of a segment, then for each point wants(x), and when that is
// true put(x, intensity), which returns false when no more points of the
// segment are wanted. A point not wanted needs no intensity. A decoder
// checks and reads all of a segment's bytes before its first point, so
// stopping early changes nothing else of the read.

// Appends the points to a vector: a segment's n points are made at once and
// then filled in turn.
class PointAppender {
public:
    explicit PointAppender(std::vector<Point> &points) : points_(points) {}
    void begin(size_t n) {
        const size_t first = points_.size();
        points_.resize(first + n);
        next_ = points_.data() + first;
        end_ = points_.data() + points_.size();
    }
    bool wants(double) const { return true; }
    bool put(double x, const Number &intensity) {
        if (next_ == end_) return false;
        *next_++ = Point{x, intensity};
        return true;
    }

private:
    std::vector<Point> &points_;
    Point *next_ = nullptr, *end_ = nullptr;
};

// The sum of the intensities inside a window and the x of its highest
// point; base_x 0.0 when the window holds no point.
struct WindowValue {
    Number sum = Number::real(0.0);
    double base_x = 0.0;
};

// The running values of one window: the sum starts as the float 0.0, so
// every intensity is added as a float; the peak keeps the intensity's own
// type for the exact comparisons, and a point becomes the base only when
// strictly higher than the peak so far (which starts at the negative of
// the largest double).
class WindowScan {
public:
    void add(double x, const Number &intensity) {
        sum_ += intensity.to_double();
        if (less(peak_, intensity)) {
            peak_ = intensity;
            base_x_ = x;
        }
    }
    WindowValue value() const { return {Number::real(sum_), base_x_}; }

private:
    double sum_ = 0.0;
    double base_x_ = 0.0;
    Number peak_ = Number::real(-DBL_MAX);
};

// The windows [min, max] of one spectrum, each scanned as the points are
// decoded: a point below a window's min is passed over, the first point
// above its max ends the window, every other point is added to it. Once
// every window has ended no more points are wanted.
//
// A window can take a point only when the point is not below its min, so a
// window starts only at the first point that is not below its min: the
// windows, ordered by min, start in that order, and until then are passed
// by. A NaN x is below no window, so it starts them all.
class WindowSums {
public:
    // The bounds of the windows, which stay the same for every spectrum.
    void set_windows(std::vector<std::pair<Number, Number>> bounds);
    // Starts a spectrum.
    void restart();
    void begin(size_t) {}
    // False only for a point below every window that has not ended.
    bool wants(double x) const { return !(x < gate_ && active_.empty()); }
    bool put(double x, const Number &intensity);
    WindowValue value(size_t k) const { return windows_[k].scan.value(); }

private:
    struct Window {
        Number min, max;
        WindowScan scan;
        bool ended = false;
    };
    // Offers the point to a started window; false once the window has ended.
    bool take(Window &w, double x, const Number &at, const Number &intensity) {
        if (greater(w.min, at)) return true;
        if (less(w.max, at)) {
            w.ended = true;
            --open_;
            return false;
        }
        w.scan.add(x, intensity);
        return true;
    }
    // Starts the windows whose min the point reaches.
    void start(const Number &at);
    void set_gate();

    std::vector<Window> windows_;
    std::vector<size_t> by_min_;  // the windows in order of min, NaN first
    std::vector<size_t> active_;  // started and not ended
    size_t next_ = 0;             // the first window in by_min_ not started
    size_t open_ = 0;             // windows not ended
    // A double below which a point is below the next window to start, or
    // -infinity where no double is known to be (every window started, or
    // the next min is an integer that no double holds exactly).
    double gate_ = -HUGE_VAL;
};

// A receiver of points behind a virtual call, for receivers that the
// decoders are not built for; every point is wanted. Its calls may run the
// caller's code: the decoders read nothing from the reader that such code
// could replace.
class AnyPointOut {
public:
    virtual ~AnyPointOut() = default;
    void begin(size_t) {}
    bool wants(double) const { return true; }
    virtual bool put(double x, const Number &intensity) = 0;
};

// Takes every point and hands them on in batches of at most kBatch to
// flush(), behind a virtual call, so that a receiver for which the decoders
// are not built keeps no more than one batch of native points beside what
// it makes of them. flush() must run none of the caller's code; finish()
// hands on the last batch.
class PointBatches {
public:
    static constexpr size_t kBatch = 1024;
    PointBatches() : batch_(new Point[kBatch]) {}
    virtual ~PointBatches() = default;
    void begin(size_t) {}
    bool wants(double) const { return true; }
    bool put(double x, const Number &intensity) {
        batch_[size_++] = Point{x, intensity};
        if (size_ == kBatch) finish();
        return true;
    }
    void finish() {
        if (size_ == 0) return;
        const size_t n = size_;
        size_ = 0;
        flush(batch_.get(), n);
    }

protected:
    virtual void flush(const Point *points, size_t n) = 0;

private:
    std::unique_ptr<Point[]> batch_;
    size_t size_ = 0;
};

// The MS spectrum block at the position, its points handed to `out`
// (PointAppender, WindowSums, PointBatches or an AnyPointOut). After an early stop every segment is still
// read and checked, so the read fails and ends where a full one does.
template <typename Out>
void decode_spectrum(Reader &reader, Out &out);

// ---------------------------------------------------------------- full reads

// The chromatogram block at the position; points are (retention time, intensity).
std::vector<Point> read_chromatogram(Reader &reader);
// The same, its points handed to `out` as they are decoded (and finished).
void read_chromatogram(Reader &reader, PointBatches &out);

// The MS spectrum block at the position, its points handed to `out` as
// they are decoded (and finished).
void read_spectrum(Reader &reader, PointBatches &out);

// The MS spectrum block at the position.
std::vector<Point> read_spectrum(Reader &reader);

// The codecs of the efficient spectrum kinds. Each reads one payload at the
// position, inside the decompressed window its caller opened, and appends
// its points to `out`.
void read_zstd_efficient_spectrum(Reader &reader, std::vector<Point> &out);
void read_efficient_mz_compressed_spectrum(Reader &reader, std::vector<Point> &out);
void read_efficient_sciex_spectrum(Reader &reader, std::vector<Point> &out);
void read_efficient_agilent_spectrum(Reader &reader, std::vector<Point> &out);

// m/z of a SCIEX bin: (ca * (bin * resolution - t0))**2, one rounding per
// operation, `bin` the bin index converted to a double.
inline double sciex_mass(double bin, double ca, double t0, double resolution) {
    const double scaled = bin * resolution;
    const double num = ca * (scaled - t0);
    return num * num;
}

// Point count of a zero-filled SCIEX segment: the kept points, a leading and
// a trailing zero point, and two zero points in each gap wider than `d`;
// the n kept deltas are f(0) ... f(n - 1).
template <typename F>
int64_t zero_filled_count(int64_t d, size_t n, F &&f) {
    int64_t count = int64_t(n) + 2;
    for (size_t i = 1; i < n; ++i)
        if (f(i) > d) count += 2;
    return count;
}

// Rebuilds the index deltas of a zero-filled SCIEX segment from the n kept
// points' deltas f(0) ... f(n - 1). For each entry c in order it calls
// write(c, delta, source): source is the kept point whose intensity entry c
// takes, or -1 for a zero point. OutOfRange when n is 0.
template <typename F, typename Write>
void rebuild_zero_filled(int64_t d, size_t n, F &&f, Write &&write) {
    if (n == 0) throw OutOfRange("list index out of range");
    write(size_t(0), f(0) - d, int64_t(-1));
    write(size_t(1), d, int64_t(0));
    size_t c = 2;
    for (size_t i = 1; i < n; ++i) {
        const int64_t fi = f(i);
        if (fi > d) {
            write(c, d, int64_t(-1));
            write(c + 1, fi - 2 * d, int64_t(-1));
            write(c + 2, d, int64_t(i));
            c += 3;
        } else {
            write(c, fi, int64_t(i));
            c += 1;
        }
    }
    write(c, d, int64_t(-1));
}

// The same over the kept deltas in `f`.
template <typename Write>
void add_zero(int64_t d, std::span<const int64_t> f, Write &&write) {
    rebuild_zero_filled(d, f.size(), [f](size_t i) { return f[i]; }, write);
}

// One DAD intensity segment (kind symbol and body) at the position.
std::vector<Number> get_dad_intensities(Reader &reader);

// Where the values of a DAD intensity segment go, in order: grow(count)
// before `count` values are put; size() is how many it holds.
class NumberOut {
public:
    virtual ~NumberOut() = default;
    virtual size_t size() const = 0;
    virtual void grow(size_t count) = 0;
    virtual void put(const Number &value) = 0;
};

// The same, each value handed to `out` as it is decoded (no copy of them all).
void get_dad_intensities(Reader &reader, NumberOut &out);

// The begin symbol, the segment count and every intensity segment of a DAD
// spectrum block, concatenated; the end symbol is left to the caller. Only
// the first `keep` values are kept (a wavelength axis uses no more): the
// others are checked as a full read checks them, not decoded.
std::vector<Number> read_dad_segments(Reader &reader, size_t keep = SIZE_MAX);

// The intensity of wavelength i: the i-th intensity, or the integer 0 beyond
// the last one.
inline Number dad_intensity(const std::vector<Number> &intensities, size_t i) {
    return i < intensities.size() ? intensities[i] : Number::integer(0);
}

// The DAD spectrum block at the position, one point per wavelength.
std::vector<Point> read_dad_spectrum(Reader &reader, std::span<const double> wavelengths);

// ---------------------------------------------------------------- range-limited reads

// Receives the points of a range-limited read in decoding order, both values
// as doubles; returns true to stop the read (every range is passed).
class PointSink {
public:
    virtual ~PointSink() = default;
    virtual bool offer(double x, double intensity) = 0;
};

// MS range-limited read of the spectrum block at the position. After an
// early stop with segments left, the reader stands at the next segment's
// kind symbol; otherwise after the end symbol.
void read_spectrum_for_multiple_xic(Reader &reader, PointSink &sink);

// Offers one point per wavelength, `wavelength_at(i)` giving the x of point
// i as a double; true when the sink stopped the offering.
template <typename Wavelength>
bool offer_dad_points(const std::vector<Number> &intensities, size_t count, Wavelength &&wavelength_at,
                      PointSink &sink) {
    for (size_t i = 0; i < count; ++i) {
        const double x = wavelength_at(i);
        if (sink.offer(x, dad_intensity(intensities, i).to_double())) return true;
    }
    return false;
}

// DAD range-limited read. After an early stop the reader stands right
// before the end symbol.
void read_dad_spectrum_for_multiple_xic(Reader &reader, std::span<const double> wavelengths, PointSink &sink);

// One x range of a range-limited read and the points of the current spectrum
// that fell inside it. Its user clears `is_break_to_read` and `spectrum_point`
// before each spectrum.
struct XicRange {
    Number min, max;
    Number minimum_intensity = Number::real(-DBL_MAX);
    bool is_break_to_read = false;
    std::vector<Point> spectrum_point;  // collected, both values floats

    bool below(double x) const { return greater(min, Number::real(x)); }
    bool above(double x) const { return less(max, Number::real(x)); }
    bool refuses(double intensity) const { return greater(minimum_intensity, Number::real(intensity)); }
    void set_break() { is_break_to_read = true; }
    void collect(double x, double intensity) { spectrum_point.push_back(Point{x, Number::real(intensity)}); }
};

// Offers one point to every range in order (a range may appear more than
// once): a passed range counts; a point below a range's minimum is skipped;
// beyond its maximum it passes the range; an intensity below the range's
// minimum intensity is skipped; otherwise the range collects the point.
// True when every range is passed. `Range` is XicRange or any type with the
// same members.
template <typename Range>
bool offer_to_ranges(std::span<Range *const> ranges, double x, double intensity) {
    size_t break_count = 0;
    for (Range *range : ranges) {
        if (range->is_break_to_read) {
            ++break_count;
        } else if (range->below(x)) {
            continue;
        } else if (range->above(x)) {
            range->set_break();
            ++break_count;
        } else if (range->refuses(intensity)) {
            continue;
        } else {
            range->collect(x, intensity);
        }
    }
    return break_count == ranges.size();
}

// The sink of the range-limited reads over native ranges.
class XicSink final : public PointSink {
public:
    explicit XicSink(std::span<XicRange *const> ranges) : ranges_(ranges) {}
    bool offer(double x, double intensity) override { return offer_to_ranges(ranges_, x, intensity); }

private:
    std::span<XicRange *const> ranges_;
};

}  // namespace zarn

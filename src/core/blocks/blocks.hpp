// Data blocks: chromatograms, MS spectra (every segment kind and codec), DAD
// spectra, and the range-limited spectrum reads. Every decoder reads at the
// reader's position and produces native points in one pass; compressed
// segments are opened with DecompressedSegment, so a failure inside one
// leaves the reader in its file window after the segment.
#pragma once

#include <cfloat>
#include <cstdint>
#include <span>
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

// ---------------------------------------------------------------- full reads

// The chromatogram block at the position; points are (retention time, intensity).
std::vector<Point> read_chromatogram(Reader &reader);

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
// a trailing zero point, and two zero points in each gap wider than `d`.
int64_t zero_filled_count(int64_t d, std::span<const int64_t> filtered_index_arr);

// Rebuilds the index deltas of a zero-filled SCIEX segment from the kept
// points' deltas `f`. For each entry c in order it calls
// write(c, delta, source): source is the kept point whose intensity entry c
// takes, or -1 for a zero point. OutOfRange when `f` is empty.
template <typename Write>
void add_zero(int64_t d, std::span<const int64_t> f, Write &&write) {
    if (f.empty()) throw OutOfRange("list index out of range");
    write(size_t(0), f[0] - d, int64_t(-1));
    write(size_t(1), d, int64_t(0));
    size_t c = 2;
    for (size_t i = 1; i < f.size(); ++i) {
        if (f[i] > d) {
            write(c, d, int64_t(-1));
            write(c + 1, f[i] - 2 * d, int64_t(-1));
            write(c + 2, d, int64_t(i));
            c += 3;
        } else {
            write(c, f[i], int64_t(i));
            c += 1;
        }
    }
    write(c, d, int64_t(-1));
}

// One DAD intensity segment (kind symbol and body) at the position.
std::vector<Number> get_dad_intensities(Reader &reader);

// The begin symbol, the segment count and every intensity segment of a DAD
// spectrum block, concatenated; the end symbol is left to the caller.
std::vector<Number> read_dad_segments(Reader &reader);

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

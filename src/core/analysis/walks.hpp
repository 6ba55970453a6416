// The walks of the qualitative analyses over their spectra: reading a
// spectrum index block, choosing the spectra that stand for the distinct
// conditions, and the chromatograms and searches over the spectra it lists.
//
// The walks know nothing of where the spectra are kept or of the caller's
// objects. A walk takes the spectra as a table (see SpectrumTable) and asks
// what only its caller can answer (whether a spectrum's condition is the
// caller's, whether a time lies in the caller's range) through the functions
// it is given, in the order stated at each walk; everything else it does on
// the native records and points.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "analysis/qual.hpp"
#include "blocks/blocks.hpp"
#include "format/errors.hpp"
#include "format/interrupt.hpp"
#include "format/numbers.hpp"
#include "io/reader.hpp"
#include "records/index.hpp"
#include "records/records.hpp"

namespace zarn {

// ---------------------------------------------------------------- the spectra of an analysis

// The spectra a walk goes over, in list order: size(); record(i), the
// native description of the i-th spectrum; position(i), where its data
// block is stored. A walk reads a record's fields at the moments it states:
// the caller's answers may have read into the record meanwhile.
template <typename T>
concept SpectrumTable = requires(const T &t, size_t i) {
    { t.size() } -> std::convertible_to<size_t>;
    { t.record(i) } -> std::convertible_to<const InternalSpectrumDescription &>;
    { t.position(i) } -> std::convertible_to<int64_t>;
};

// A spectrum of a chromatogram: its description's own index and its
// retention time, taken when the spectrum was chosen.
struct ChosenSpectrum {
    int64_t index;
    double retention_time;
};

// The retention time of spectrum i when it counts for a chromatogram of one
// condition: it has one, and then `matches(i)` (its condition is the
// caller's).
template <SpectrumTable Spectra, typename Matches>
std::optional<double> counted_time(const Spectra &spectra, size_t i, Matches &&matches) {
    const std::optional<double> rt = spectra.record(i).retention_time;
    if (!rt || !matches(i)) return std::nullopt;
    return rt;
}

// ---------------------------------------------------------------- spectrum index block

// Reads the spectrum index block at `position` (a position from the file;
// the reader's version must be known), calling on `visit`:
//   begin(capacity)       the number of spectra the block has positions for;
//   spectrum(i, position) for each spectrum in order, the reader standing at
//                         its description, which the visitor reads;
//   listed()              once every description is read;
//   profile(i, position)  for each spectrum when the block stores profile
//                         positions;
// then closes the descriptions' segment and confirms the end symbol.
template <typename Visitor>
void walk_spectrum_index_block(Reader &reader, int64_t position, Visitor &&visit) {
    const SpectrumIndexHead head = read_spectrum_index_head(reader, position);
    DecompressedSegment segment(reader, Reader::SegmentContent::Records);
    visit.begin(size_t(std::min<int64_t>(head.count, int64_t(head.offsets.size()))));
    for (int64_t i = 0; i < head.count; ++i) visit.spectrum(i, stored_offset(head.offsets, head.origin, i));
    visit.listed();
    if (head.has_profile)
        for (int64_t i = 0; i < head.count; ++i) visit.profile(i, stored_offset(head.profile_offsets, head.origin, i));
    segment.close();
    reader.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM_INDEX_BLOCK);
}

// ---------------------------------------------------------------- TIC and BPC

// The chromatogram of the totals that the descriptions store: for each
// spectrum that counts (counted_time) and whose time `in_range(rt)`, in list
// order, emit(spectrum, intensity, base_peak_mz) with the stored total ion
// current, or for a BPC the base peak intensity, each possibly absent. The
// index and the totals are read after the caller's answers.
template <SpectrumTable Spectra, typename Matches, typename InRange, typename Emit>
void stored_totals(const Spectra &spectra, bool base_peak, Matches &&matches, InRange &&in_range, Emit &&emit) {
    for (size_t i = 0; i < spectra.size(); ++i) {
        const std::optional<double> rt = counted_time(spectra, i, matches);
        if (!rt || !in_range(*rt)) continue;
        const InternalSpectrumDescription &r = spectra.record(i);
        emit(ChosenSpectrum{r.index, *rt}, base_peak ? r.base_peak_intensity : r.current_total_ion, r.base_peak_mz);
    }
}

// ---------------------------------------------------------------- nearest spectrum

inline constexpr const char *kNoRetentionTime = "No spectrum has retention time information.";

// The list position of the spectrum nearest to a target time: of the first
// `count` spectra, those for which `time(i)` gives a time are offered in
// list order to `nearer(rt)`, which tells whether rt is strictly nearer than
// the nearest so far (and then keeps it as the nearest); the last one it
// took. Misuse when it took none.
template <typename Time, typename Nearer>
size_t nearest_spectrum(size_t count, Time &&time, Nearer &&nearer) {
    std::optional<size_t> found;
    for (size_t i = 0; i < count; ++i) {
        const std::optional<double> rt = time(i);
        if (rt && nearer(*rt)) found = i;
    }
    if (!found) throw Misuse(kNoRetentionTime);
    return *found;
}

// nearer() for a target that is a plain number: |rt - target| below the
// least distance so far, which starts at the largest double.
class NearerTime {
public:
    explicit NearerTime(double target) : target_(target) {}
    bool operator()(double rt) {
        const double distance = std::fabs(rt - target_);
        if (!(distance < least_)) return false;
        least_ = distance;
        return true;
    }

private:
    double target_;
    double least_ = DBL_MAX;
};

// ---------------------------------------------------------------- extracted-ion chromatograms

inline constexpr const char *kNoFilterOption = "chromatogram_filter_option is null";
inline constexpr const char *kNoFilterOptions = "chromatogram_filter_options is null or empty";

// Reads the filter options of an extraction through `options`, which
// answers from the caller's objects one property at a time, in this order,
// each checked as it is read (Misuse):
//   empty()              there are no options, or none at all;
//   count()              how many options there are;
//   for each option k in order:
//     present(k), condition(k), mz_range(k): the option, its acquisition
//       condition, its m/z range, each false when none;
//     want(k): its condition joins the wanted ones;
//     retention_range(k): its retention-time range and the range's bounds,
//       false when there is no range; nan_bound(k): one of them is a NaN;
//     finish(k): the option is read.
// Then, when every option has a range and no bound is a NaN, spectra outside
// every range need not be read: combine(low, high) with the options whose
// bounds make the combined range, the first least low (low_below(k, j):
// option k's low is below option j's) and the first greatest high
// (high_above). A NaN bound would make the combined range take whichever
// bound comes first and shut out the other options' spectra: each option's
// own range then decides alone.
template <typename Options>
void read_filter_options(Options &options) {
    if (options.empty()) throw Misuse(kNoFilterOptions);
    const size_t count = options.count();
    bool every_range = true, nan_bound = false;
    for (size_t k = 0; k < count; ++k) {
        if (!options.present(k)) throw Misuse("element of chromatogram_filter_options should not be null");
        if (!options.condition(k)) throw Misuse("acquisition_condition should not be null");
        if (!options.mz_range(k)) throw Misuse("extract_mz_range should not be null");
        options.want(k);
        if (options.retention_range(k))
            nan_bound = nan_bound || options.nan_bound(k);
        else
            every_range = false;
        options.finish(k);
    }
    if (!every_range || nan_bound) return;
    size_t low = 0, high = 0;
    for (size_t k = 1; k < count; ++k)
        if (options.low_below(k, low)) low = k;
    for (size_t k = 1; k < count; ++k)
        if (options.high_above(k, high)) high = k;
    options.combine(low, high);
}

// One window whose bounds are each a native number or a caller's bound (a
// `Bound` answers native(), number(), greater(x): bound > x, and less(x):
// bound < x), scanned as the points are decoded: each point asks the min
// whether it lies below, and if not the max whether it lies above, up to
// the first point above, as a scan over the spectrum's points asks them.
template <typename Bound>
class BoundWindow final : public AnyPointOut {
public:
    BoundWindow(const Bound &min, const Bound &max) : min_(min), max_(max) {}
    bool put(double x, const Number &intensity) override {
        if (ended_) return false;
        if (min_.greater(x)) return true;
        if (max_.less(x)) {
            ended_ = true;
            return false;
        }
        scan_.add(x, intensity);
        return true;
    }
    WindowValue value() const { return scan_.value(); }

private:
    const Bound &min_, &max_;
    WindowScan scan_;
    bool ended_ = false;
};

// Takes no point: a read with it checks every segment and nothing more.
class NoPoints final : public AnyPointOut {
public:
    bool put(double, const Number &) override { return false; }
};

// Sets the options' windows on `sums` when every one is known without asking
// the caller (`x.known_window(k)`: the window once read, else null) and both
// bounds of each are native numbers; false otherwise.
template <typename Extraction>
bool known_native_windows(Extraction &x, WindowSums &sums) {
    if constexpr (requires { x.known_window(size_t(0)); }) {
        std::vector<std::pair<Number, Number>> bounds;
        bounds.reserve(x.options());
        for (size_t k = 0; k < x.options(); ++k) {
            const auto *window = x.known_window(k);
            if (!window || !window->min.native() || !window->max.native()) return false;
            bounds.emplace_back(window->min.number(), window->max.number());
        }
        sums.set_windows(std::move(bounds));
        return true;
    } else {
        return false;
    }
}

// Extracts the options' windows from the spectra, asking `x`:
//   wanted(i), in_combined(rt): the spectra to read are chosen first, in list
//     order: those with a retention time whose condition some option wants
//     and whose time lies in the combined range (true when there is none);
//   options(), matches(k, i), in_range(k, rt): each chosen spectrum is
//     read, then offered to each option k in order whose condition it has
//     and whose range holds its time;
//   window(k): the option's bounds (.min and .max, Bounds as for
//     BoundWindow), read by the option at the first spectrum it takes;
//   known_window(k): the window when it has been read, else null;
//   take(k, spectrum, value): the option's window value of the spectrum.
// No point is kept. Once every option's window is known and native, each
// spectrum is decoded once straight into every window's sums, up to the end
// of the last window, and then offered. Before that a spectrum is first
// read through and checked, so that it fails before the caller is asked
// anything, as a read of its points would; then decoded again for the
// options that take it: in the option's turn for one with a caller's bound,
// which is asked point by point, and in one decoding at the end for the
// native ones.
template <SpectrumTable Spectra, typename Extraction>
void extract_windows(Reader &reader, const Spectra &spectra, Extraction &x) {
    std::vector<std::pair<size_t, ChosenSpectrum>> chosen;
    for (size_t i = 0; i < spectra.size(); ++i) {
        const InternalSpectrumDescription &r = spectra.record(i);
        const std::optional<double> rt = r.retention_time;
        if (!rt || !x.wanted(i) || !x.in_combined(*rt)) continue;
        chosen.emplace_back(i, ChosenSpectrum{r.index, *rt});
    }
    WindowSums sums;
    bool summed = false;
    std::vector<size_t> native;
    std::vector<std::pair<Number, Number>> native_bounds;
    for (const auto &[i, spectrum] : chosen) {
        interruption_point();  // the spectrum is sought anew after it
        const int64_t position = spectra.position(i);
        move_to_stored_position(reader, position, "Spectrum");
        summed = summed || known_native_windows(x, sums);
        if (summed) {
            sums.restart();
            decode_spectrum(reader, sums);
            for (size_t k = 0; k < x.options(); ++k)
                if (x.matches(k, i) && x.in_range(k, spectrum.retention_time)) x.take(k, spectrum, sums.value(k));
            continue;
        }
        NoPoints check;
        decode_spectrum(reader, static_cast<AnyPointOut &>(check));
        native.clear();
        native_bounds.clear();
        for (size_t k = 0; k < x.options(); ++k) {
            if (!x.matches(k, i) || !x.in_range(k, spectrum.retention_time)) continue;
            const auto &window = x.window(k);
            if (window.min.native() && window.max.native()) {
                native.push_back(k);
                native_bounds.emplace_back(window.min.number(), window.max.number());
                continue;
            }
            BoundWindow scan(window.min, window.max);
            move_to_stored_position(reader, position, "Spectrum");
            decode_spectrum(reader, static_cast<AnyPointOut &>(scan));
            x.take(k, spectrum, scan.value());
        }
        if (native.empty()) continue;
        WindowSums some;
        some.set_windows(native_bounds);
        some.restart();
        move_to_stored_position(reader, position, "Spectrum");
        decode_spectrum(reader, some);
        for (size_t j = 0; j < native.size(); ++j) x.take(native[j], spectrum, some.value(j));
    }
}

// ---------------------------------------------------------------- DAD chromatograms

// Calls read(spectrum) for each spectrum with a retention time, in list
// order, the reader standing at its data block.
template <SpectrumTable Spectra, typename Read>
void for_each_timed_spectrum(Reader &reader, const Spectra &spectra, Read &&read) {
    for (size_t i = 0; i < spectra.size(); ++i) {
        const InternalSpectrumDescription &r = spectra.record(i);
        if (!r.retention_time) continue;
        const ChosenSpectrum spectrum{r.index, *r.retention_time};
        interruption_point();  // the spectrum is sought anew after it
        move_to_stored_position(reader, spectra.position(i), "Spectrum");
        read(spectrum);
    }
}

// The chromatogram of a wavelength band: emit(spectrum, band average) for
// each spectrum with a retention time (for_each_timed_spectrum). Each DAD
// spectrum block gives one point per wavelength of the function's axis, its
// intensities walked beside the axis; where the function has none, the
// block is read as an MS spectrum. `band()` gives the band's (min, max); it
// is asked once, after the first spectrum is decoded.
template <SpectrumTable Spectra, typename Band, typename Emit>
void dad_chromatogram(Reader &reader, const Spectra &spectra, const std::optional<std::vector<double>> &axis,
                      Band &&band, Emit &&emit) {
    std::optional<std::pair<double, double>> limits;
    std::vector<Point> points;
    for_each_timed_spectrum(reader, spectra, [&](const ChosenSpectrum &spectrum) {
        if (axis) {
            const std::vector<Number> intensities = read_dad_segments(reader, axis->size());
            reader.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
            if (!limits) limits = band();
            emit(spectrum, dad_band_average(*axis, intensities, limits->first, limits->second));
            return;
        }
        points.clear();
        PointAppender out(points);
        decode_spectrum(reader, out);
        if (!limits) limits = band();
        emit(spectrum, dad_band_average(points, limits->first, limits->second));
    });
}

// The max plot of a band: for each spectrum with a retention time
// (for_each_timed_spectrum), the points of the band widened by the
// tolerance on both sides (`widened_min`, `widened_max`) are collected by a
// range-limited read, and emit(spectrum, value) gives their max plot value
// over the band itself (`min`, `max`: Bounds as for BoundWindow).
template <SpectrumTable Spectra, typename Bound, typename Emit>
void max_plot(Reader &reader, const Spectra &spectra, const std::optional<std::vector<double>> &axis,
              const Number &widened_min, const Number &widened_max, const Bound &min, const Bound &max,
              double tolerance, Emit &&emit) {
    XicRange widened;
    widened.min = widened_min;
    widened.max = widened_max;
    XicRange *ranges[] = {&widened};
    XicSink sink(ranges);
    for_each_timed_spectrum(reader, spectra, [&](const ChosenSpectrum &spectrum) {
        widened.is_break_to_read = false;
        widened.spectrum_point.clear();
        if (axis)
            read_dad_spectrum_for_multiple_xic(reader, *axis, sink);
        else
            read_spectrum_for_multiple_xic(reader, sink);
        emit(spectrum, max_plot_value(
                           widened.spectrum_point, [&](double x) { return min.greater(x); },
                           [&](double x) { return max.less(x); }, tolerance));
    });
}

}  // namespace zarn

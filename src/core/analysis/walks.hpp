// The walks of the qualitative analyses over their spectra: reading a
// spectrum index block, and the chromatograms and searches over the spectra
// it lists.
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
// took. PlainError when it took none.
template <typename Time, typename Nearer>
size_t nearest_spectrum(size_t count, Time &&time, Nearer &&nearer) {
    std::optional<size_t> found;
    for (size_t i = 0; i < count; ++i) {
        const std::optional<double> rt = time(i);
        if (rt && nearer(*rt)) found = i;
    }
    if (!found) throw PlainError(kNoRetentionTime);
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

}  // namespace zarn

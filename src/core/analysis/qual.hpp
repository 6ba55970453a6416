// Qualitative analysis over native data: the head of a spectrum index
// block, the grouping of spectrum conditions, and the chromatogram
// arithmetic over decoded points (DAD band averages, DAD max plot values;
// the extracted-ion sums are taken while decoding, see WindowScan). Every
// value is computed operation by operation, in the order and with the
// int-or-float results the interpreter would give.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "blocks/blocks.hpp"
#include "format/numbers.hpp"
#include "io/reader.hpp"
#include "records/records.hpp"
#include "records/rules.hpp"

namespace zarn {

// ---------------------------------------------------------------- spectrum index block

// Everything of a spectrum index block before its compressed descriptions.
struct SpectrumIndexHead {
    int64_t origin = 0;  // absolute offset right after the begin symbol
    int64_t count = 0;
    bool has_profile = false;
    std::vector<int64_t> offsets, profile_offsets;
};

// Moves to the block at `position` (a position from the file: outside the
// file it is a ZarnError) and reads its head; the reader then stands on the
// compressed segment of the descriptions.
SpectrumIndexHead read_spectrum_index_head(Reader &reader, int64_t position);

// offsets[i] + origin; OutOfRange ("list index out of range") when the
// array has no entry i.
int64_t stored_offset(const std::vector<int64_t> &offsets, int64_t origin, int64_t i);

// ---------------------------------------------------------------- spectrum conditions

// The value of the public acquisition condition that a spectrum
// description gives, as plain data: two descriptions with equal keys give
// equal conditions. Doubles compare as the interpreter compares floats
// (NaN equals nothing, -0.0 equals 0.0).
struct SpectrumConditionKey {
    // Which maker's condition the description's supplemental keys select.
    enum Maker : int8_t { None = -1, Agilent, ThermoFisher, Waters };

    // The maker whose key the supplemental properties hold first of
    // FragmentorVoltage, In-SourceCID and ConeVoltage; `contains(key)` tells
    // whether they hold a key.
    template <typename Contains>
    static Maker maker_of(Contains &&contains) {
        if (contains("FragmentorVoltage")) return Agilent;
        if (contains("In-SourceCID")) return ThermoFisher;
        if (contains("ConeVoltage")) return Waters;
        return None;
    }

    int64_t ms_level = 1;
    int64_t polarity = 0;  // the PolarityTypes value
    std::optional<double> collision_energy, precursor_value;
    MeasuredSpectrumType measured = MeasuredSpectrumType::Unknown;
    std::optional<Range> precursor_range, mass_range;
    Maker maker = None;
    std::optional<double> voltage;  // absent: the description stored none

    SpectrumConditionKey(const InternalSpectrumDescription &d, Maker maker, int64_t default_polarity);
    bool operator==(const SpectrumConditionKey &other) const;
    size_t hash() const;
};

// The positions of the first key of each group of equal keys, in the order
// of first appearance, and for each key the number of its group.
struct ConditionGroups {
    std::vector<size_t> firsts;
    std::vector<size_t> group_of;
};
ConditionGroups group_conditions(const std::vector<SpectrumConditionKey> &keys);

// The same over `count` keys that `key_of(i)` makes when asked (a key is
// asked for more than once where its hash meets an earlier one's).
template <typename KeyOf>
ConditionGroups group_conditions(size_t count, KeyOf &&key_of);

namespace detail {

// A key with a NaN equals no key, itself included.
bool equals_none(const SpectrumConditionKey &k);
// The key's hash, its bits spread for an open-addressing table.
size_t spread_hash(const SpectrumConditionKey &k);

// A slot of the table of groups: its group (kNoGroup: empty) and the hash of
// the group's key.
inline constexpr size_t kNoGroup = SIZE_MAX;
struct GroupSlot {
    size_t group = kNoGroup, hash = 0;
};

}  // namespace detail

template <typename KeyOf>
ConditionGroups group_conditions(size_t count, KeyOf &&key_of) {
    ConditionGroups out;
    out.group_of.reserve(count);
    // An open-addressing table of groups by key hash, at most half full: one
    // probe sequence per key and no allocation per group; a slot holds its
    // group's hash, so that only keys of equal hash are compared.
    size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    constexpr size_t kEmpty = detail::kNoGroup;
    std::vector<detail::GroupSlot> slots(capacity);
    for (size_t i = 0; i < count; ++i) {
        const SpectrumConditionKey key = key_of(i);
        size_t group = kEmpty;
        if (!detail::equals_none(key)) {
            const size_t h = detail::spread_hash(key);
            size_t slot = h & (capacity - 1);
            while (slots[slot].group != kEmpty) {
                if (slots[slot].hash == h && key_of(out.firsts[slots[slot].group]) == key) {
                    group = slots[slot].group;
                    break;
                }
                slot = (slot + 1) & (capacity - 1);
            }
            if (group == kEmpty) slots[slot] = detail::GroupSlot{out.firsts.size(), h};
        }
        if (group == kEmpty) {
            group = out.firsts.size();
            out.firsts.push_back(i);
        }
        out.group_of.push_back(group);
    }
    return out;
}

// Orders groups (given by their first key) by MS level, polarity value,
// then without collision energy before with it, by rising energy; stable.
void sort_condition_groups(std::vector<size_t> &firsts, const std::vector<SpectrumConditionKey> &keys);

// The position in a function's list of `count` conditions that a spectrum's
// stored condition index names: from the end when negative, as a list index
// counts; OutOfRange ("list index out of range") outside the list.
size_t stored_condition_position(int64_t index, size_t count);

// ---------------------------------------------------------------- DAD band average

// The DAD chromatogram value of one spectrum: the mean of the
// piecewise-linear intensity over the part of [min, max] that the points
// cover, and the x of the highest in-band value (the interpolated band
// edges included); (0.0, -1.0) when the band misses the points. A band
// that covers a single wavelength (it touches the first or the last point,
// or the points do not ascend) gives the intensity of the point where the
// walk ends there, and a segment whose x does not ascend adds nothing.
struct BandValue {
    Number intensity;
    double base_x;
};
BandValue dad_band_average(std::span<const Point> points, double min, double max);
// The same over the points of a DAD spectrum: wavelength i with the i-th
// intensity, or the integer 0 beyond the last one (dad_intensity).
BandValue dad_band_average(std::span<const double> wavelengths, const std::vector<Number> &intensities, double min,
                           double max);

// ---------------------------------------------------------------- DAD max plot

// The max plot value of one spectrum from the points collected over the
// widened band: no point in the band; the highest point's x with no point
// in its window (a negative tolerance); or the mean of the points within
// the tolerance of the highest point.
struct MaxPlotValue {
    enum Kind { NoPoint, EmptyWindow, Mean };
    Kind kind = NoPoint;
    double mean = 0.0;
    double base_x = 0.0;
};

template <typename Below, typename Above>
MaxPlotValue max_plot_value(std::span<const Point> collected, Below &&below, Above &&above, double tolerance) {
    double base_peak = -DBL_MAX, base_x = -DBL_MAX;
    for (const Point &p : collected) {
        if (below(p.x)) continue;
        if (above(p.x)) break;
        const double intensity = p.intensity.to_double();
        if (base_peak < intensity) {
            base_peak = intensity;
            base_x = p.x;
        }
    }
    MaxPlotValue out;
    if (base_x == -DBL_MAX) return out;
    out.base_x = base_x;
    const double low = base_x - tolerance, high = base_x + tolerance;
    double sum = 0.0;
    int64_t count = 0;
    for (const Point &p : collected) {
        if (p.x < low) continue;
        if (p.x > high) break;
        sum += p.intensity.to_double();
        ++count;
    }
    if (count == 0) {
        out.kind = MaxPlotValue::EmptyWindow;
        return out;
    }
    out.kind = MaxPlotValue::Mean;
    out.mean = sum / double(count);
    return out;
}

}  // namespace zarn

#include "analysis/qual.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>

#include "records/index.hpp"

namespace zarn {

// ---------------------------------------------------------------- spectrum index block

SpectrumIndexHead read_spectrum_index_head(Reader &reader, int64_t position) {
    move_to_stored_position(reader, position, "Function");
    reader.confirm_zarn_symbol(Symbol::BEGIN_OF_SPECTRUM_INDEX_BLOCK);
    SpectrumIndexHead head;
    head.origin = reader.absolute_position();
    head.count = reader.read_uint32();
    head.has_profile = reader.read_bool();
    head.offsets = reader.read_int64_array();
    if (head.has_profile) head.profile_offsets = reader.read_int64_array();
    return head;
}

int64_t stored_offset(const std::vector<int64_t> &offsets, int64_t origin, int64_t i) {
    if (i < 0 || uint64_t(i) >= offsets.size()) throw OutOfRange("list index out of range");
    return add_sat(offsets[size_t(i)], origin);
}

// ---------------------------------------------------------------- spectrum conditions

namespace {

bool same(const std::optional<double> &a, const std::optional<double> &b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || *a == *b;
}

bool same(const std::optional<Range> &a, const std::optional<Range> &b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (a->min == b->min && a->max == b->max);
}

// Equal doubles hash alike (0.0 and -0.0 included).
size_t hash_double(double v) { return v == 0.0 ? 0 : std::hash<double>()(v); }

void mix(size_t &h, size_t v) { h = h * 1000003u ^ v; }

void mix(size_t &h, const std::optional<double> &v) { mix(h, v ? hash_double(*v) + 1 : 0); }

void mix(size_t &h, const std::optional<Range> &v) {
    if (!v) return mix(h, size_t(0));
    mix(h, hash_double(v->min));
    mix(h, hash_double(v->max));
}

}  // namespace

SpectrumConditionKey::SpectrumConditionKey(const InternalSpectrumDescription &d, Maker maker_, int64_t default_polarity)
    : ms_level(ms_level_or_default(d.ms_level)),
      polarity(d.polarity ? int64_t(*d.polarity) : default_polarity),
      collision_energy(d.collision_energy),
      precursor_value(d.precursor_value),
      measured(measured_spectrum_type(d)),
      precursor_range(d.precursor_range),
      mass_range(d.mass_range),
      maker(maker_),
      voltage(maker_ == None ? std::nullopt : d.cone_voltage) {}

bool SpectrumConditionKey::operator==(const SpectrumConditionKey &o) const {
    return ms_level == o.ms_level && polarity == o.polarity && same(collision_energy, o.collision_energy) &&
           same(precursor_value, o.precursor_value) && measured == o.measured &&
           same(precursor_range, o.precursor_range) && same(mass_range, o.mass_range) && maker == o.maker &&
           same(voltage, o.voltage);
}

size_t SpectrumConditionKey::hash() const {
    size_t h = size_t(ms_level);
    mix(h, size_t(polarity));
    mix(h, collision_energy);
    mix(h, precursor_value);
    mix(h, size_t(measured));
    mix(h, precursor_range);
    mix(h, mass_range);
    mix(h, size_t(maker + 1));
    mix(h, voltage);
    return h;
}

namespace detail {

namespace {

bool nan(const std::optional<double> &v) { return v && std::isnan(*v); }
bool nan(const std::optional<Range> &v) { return v && (std::isnan(v->min) || std::isnan(v->max)); }

}  // namespace

bool equals_none(const SpectrumConditionKey &k) {
    return nan(k.collision_energy) || nan(k.precursor_value) || nan(k.precursor_range) || nan(k.mass_range) ||
           nan(k.voltage);
}

size_t spread_hash(const SpectrumConditionKey &k) {
    size_t h = k.hash();
    h ^= h >> 29;
    h *= 0xbf58476d1ce4e5b9u;
    h ^= h >> 32;
    return h;
}

}  // namespace detail

ConditionGroups group_conditions(const std::vector<SpectrumConditionKey> &keys) {
    return group_conditions(keys.size(), [&](size_t i) -> const SpectrumConditionKey & { return keys[i]; });
}

void sort_condition_groups(std::vector<size_t> &firsts, const std::vector<SpectrumConditionKey> &keys) {
    // NaN energies, which order against nothing, go after every number so
    // that the order stays a strict weak one.
    auto energy_less = [](double a, double b) {
        if (std::isnan(a)) return false;
        return std::isnan(b) || a < b;
    };
    std::stable_sort(firsts.begin(), firsts.end(), [&](size_t a, size_t b) {
        const SpectrumConditionKey &x = keys[a], &y = keys[b];
        if (x.ms_level != y.ms_level) return x.ms_level < y.ms_level;
        if (x.polarity != y.polarity) return x.polarity < y.polarity;
        if (x.collision_energy.has_value() != y.collision_energy.has_value()) return !x.collision_energy;
        return x.collision_energy && energy_less(*x.collision_energy, *y.collision_energy);
    });
}

size_t stored_condition_position(int64_t index, size_t count) {
    const int64_t n = int64_t(count);
    if (index < 0) index += n;
    if (index < 0 || index >= n) throw OutOfRange("list index out of range");
    return size_t(index);
}

// ---------------------------------------------------------------- DAD band average

namespace {

// (a + b) / 2 as the interpreter computes it: two ints add exactly and
// divide with one rounding (halving a double is exact, so rounding the
// integer sum first gives the same double); anything with a float is float
// arithmetic.
double half_sum(const Number &a, const Number &b) {
    if (a.is_int && b.is_int) return static_cast<double>(i128(a.i) + b.i) / 2.0;
    return (a.to_double() + b.to_double()) / 2.0;
}

// a - b: exact for two ints, else float arithmetic.
double difference(const Number &a, const Number &b) {
    if (a.is_int && b.is_int) return static_cast<double>(i128(a.i) - b.i);
    return a.to_double() - b.to_double();
}

// A width that the walk may divide by: positive, or NaN, which divides as
// the interpreter divides it.
bool usable_width(double width) { return !(width <= 0.0); }

// The points of a band walk: a decoded spectrum's points.
struct PointList {
    std::span<const Point> points;
    size_t size() const { return points.size(); }
    double x(size_t j) const { return points[j].x; }
    Number intensity(size_t j) const { return points[j].intensity; }
};

// The points of a DAD spectrum, one per wavelength of the axis.
struct AxisPoints {
    std::span<const double> wavelengths;
    const std::vector<Number> &intensities;
    size_t size() const { return wavelengths.size(); }
    double x(size_t j) const { return wavelengths[j]; }
    Number intensity(size_t j) const { return dad_intensity(intensities, j); }
};

template <typename Points>
class BandWalk {
public:
    BandWalk(Points points, double min, double max) : p_(points), min_(min), max_(max) {}

    BandValue run() {
        const size_t n = p_.size();
        if (n == 0 || max_ < x(0) || min_ > x(n - 1)) return {Number::real(0.0), -1.0};
        for (size_t j = 0; j < n; ++j) {
            if (j == n - 1) {
                last_point(j);
                break;
            }
            if (x(j + 1) < min_) continue;
            if (x(j) < min_ && min_ <= x(j + 1)) {
                if (band_starts_in_segment(j)) break;
                continue;
            }
            if (point_in_band(j)) break;
        }
        return {ave_, base_x_};
    }

private:
    double x(size_t j) const { return p_.x(j); }
    Number i(size_t j) const { return p_.intensity(j); }

    // I(w): the straight line through points j and j + 1 at w.
    double at(size_t j, double w) const {
        const double slope = difference(i(j + 1), i(j)) / (x(j + 1) - x(j));
        return i(j).to_double() + slope * (w - x(j));
    }

    void raise_base(const Number &intensity, double wavelength) {
        if (greater(intensity, base_intensity_)) {
            base_intensity_ = intensity;
            base_x_ = wavelength;
        }
    }

    void add_area(double half, double width) {
        if (usable_width(width)) ave_ = Number::real(ave_.to_double() + half * width);
    }

    // Divides the area by the covered width; a width of zero or less means
    // the band covered one wavelength only, whose intensity is `single`.
    void divide(double width, const Number &single) {
        ave_ = usable_width(width) ? Number::real(ave_.to_double() / width) : single;
    }

    // The band reaches past the last point.
    void last_point(size_t j) {
        if (start_inside_)
            divide(x(j) - min_, i(j));
        else if (j == 0)
            ave_ = i(0);
        else
            divide(x(j) - x(0), i(j));
        raise_base(i(j), x(j));
    }

    // x(j) < min <= x(j + 1); true when the band ends in this segment too.
    bool band_starts_in_segment(size_t j) {
        if (max_ <= x(j + 1)) {
            if (min_ == max_) {
                ave_ = Number::real(at(j, max_));
                base_x_ = min_;
            } else {
                const double intensity1 = at(j, min_), intensity2 = at(j, max_);
                ave_ = Number::real((intensity1 + intensity2) / 2.0);
                base_x_ = intensity1 == intensity2 ? (min_ + max_) / 2.0 : intensity1 < intensity2 ? max_ : min_;
            }
            return true;
        }
        const double intensity1 = at(j, min_);
        add_area(half_sum(Number::real(intensity1), i(j + 1)), x(j + 1) - min_);
        start_inside_ = true;
        base_intensity_ = Number::real(intensity1);
        base_x_ = min_;
        return false;
    }

    // min <= x(j); true when the band ends here.
    bool point_in_band(size_t j) {
        raise_base(i(j), x(j));
        if (max_ <= x(j)) {
            // The band ends at or before this point: it touches the first
            // point only, or the points do not ascend.
            divide(start_inside_ ? max_ - min_ : max_ - x(0), i(j));
            return true;
        }
        if (max_ <= x(j + 1)) {
            const double intensity = at(j, max_);
            add_area(half_sum(Number::real(intensity), i(j)), max_ - x(j));
            divide(start_inside_ ? max_ - min_ : max_ - x(0), Number::real(intensity));
            if (greater(Number::real(intensity), base_intensity_)) base_x_ = max_;
            return true;
        }
        add_area(half_sum(i(j), i(j + 1)), x(j + 1) - x(j));
        return false;
    }

    Points p_;
    double min_, max_;
    Number ave_ = Number::real(0.0);
    double base_x_ = -1.0;
    Number base_intensity_ = Number::real(-DBL_MAX);
    bool start_inside_ = false;
};

}  // namespace

BandValue dad_band_average(std::span<const Point> points, double min, double max) {
    return BandWalk(PointList{points}, min, max).run();
}

BandValue dad_band_average(std::span<const double> wavelengths, const std::vector<Number> &intensities, double min,
                           double max) {
    return BandWalk(AxisPoints{wavelengths, intensities}, min, max).run();
}

}  // namespace zarn

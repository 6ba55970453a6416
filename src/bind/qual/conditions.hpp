// The condition classes of zarn_data_access.qual, which select spectra: the
// maker-specific and triple-quadrupole scan conditions, AcquisitionCondition
// and ChromatogramFilterOption; and what the analyses ask of them.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <optional>

#include "analysis/qual.hpp"
#include "analysis_objects.hpp"
#include "description_objects.hpp"
#include "index_objects.hpp"
#include "support.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The nine classes of additional conditions: five makers' conditions, four
// scan conditions. Each holds up to three fields, the objects it was given.
enum class Extra : uint8_t {
    Agilent,
    Sciex,
    Shimadzu,
    ThermoFisher,
    Waters,
    PrecursorScan,
    ProductScan,
    NeutralLossScan,
    NeutralGainScan
};

template <Extra K>
struct ExtraCondition {
    std::array<nb::object, 3> fields;

    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &o : fields) Py_VISIT(o.ptr());
        return 0;
    }
    void clear() {
        for (nb::object &o : fields) o.reset();
    }
};

// The public acquisition condition. An object built from anything but a
// condition record or a spectrum description has no fields but its list.
struct AcquisitionConditionObject {
    enum Field {
        MsLevel,
        Polarity,
        CollisionEnergy,
        PrecursorValue,
        OriginalMeasuredSpectrumType,
        PrecursorRange,
        MassRange,
        Count
    };
    bool has_fields = false;
    std::array<nb::object, Count> fields;
    nb::object additional_conditions;

    // The field, or AttributeError as for an attribute never set.
    nb::handle field(Field f) const;
    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &o : fields) Py_VISIT(o.ptr());
        return visit_objects(visit, arg, additional_conditions);
    }
    void clear() {
        for (nb::object &o : fields) o.reset();
        additional_conditions.reset();
    }
};

struct ChromatogramFilterOptionObject {
    nb::object extract_mz_range, acquisition_condition, retention_time_range;

    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, extract_mz_range, acquisition_condition, retention_time_range);
    }
    void clear() { reset_objects(extract_mz_range, acquisition_condition, retention_time_range); }
};

// Registers the classes of this header with the module.
void register_conditions(nb::module_ &m);

// Which maker's condition a spectrum description's supplemental keys ask for
// (its kept dictionary once it has been handed out).
SpectrumConditionKey::Maker maker_of(InternalSpectrumDescriptionObject &description);

// AcquisitionCondition(description), the maker already chosen.
nb::object condition_from_description(InternalSpectrumDescriptionObject &description,
                                      SpectrumConditionKey::Maker maker);

// AcquisitionCondition(argument), as the constructor builds it.
nb::object make_acquisition_condition(nb::handle argument);

// The C++ object when `h` is exactly an AcquisitionCondition (no subclass),
// else null.
AcquisitionConditionObject *exact_acquisition_condition(nb::handle h);

// a != b for a spectrum's condition and a caller's, as the interpreter
// answers it; in C++ when neither side can bring comparisons of its own.
bool conditions_differ(nb::handle a, nb::handle b);

// A caller's condition as plain data, for comparing it with the conditions
// that spectrum descriptions give without making them: only where the
// comparison can run none of the caller's code and cannot depend on which
// objects the two conditions hold (no NaN, no caller's types).
struct PlainCondition {
    bool never = false;  // differs from every spectrum's condition
    int64_t ms_level = 0, polarity = 0;
    std::optional<double> collision_energy, precursor_value;
    std::optional<MeasuredSpectrumType> measured;  // none: a member no description gives
    std::optional<Range> precursor_range, mass_range;
    // The additional conditions as a description gives them: none, or one
    // maker's condition with its voltage; false when a description cannot.
    bool describable = true;
    SpectrumConditionKey::Maker maker = SpectrumConditionKey::None;
    std::optional<double> voltage;

    // Whether a condition with the key equals this one.
    bool equals(const SpectrumConditionKey &key) const;
    // False when the description's MS level, energy or precursor value
    // alone makes its condition differ (before its key is made).
    bool may_equal(const InternalSpectrumDescription &d) const;
};

// The plain form of a caller's condition, or none where the interpreter
// must compare it. `caller_first`: the caller's condition is the left
// operand (only a plain AcquisitionCondition then qualifies; otherwise
// anything that is no AcquisitionCondition at all differs from every
// spectrum's condition).
std::optional<PlainCondition> plain_condition(nb::handle condition, bool caller_first);

// The PolarityTypes value of the member that records hold by default.
int64_t default_polarity_value();

}  // namespace zarn::py

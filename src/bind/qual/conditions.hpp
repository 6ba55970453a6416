// The condition classes of zarn_data_access.qual, which select spectra: the
// maker-specific and triple-quadrupole scan conditions, AcquisitionCondition
// and ChromatogramFilterOption; and what the analyses ask of them.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>

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

// The PolarityTypes value of the member that records hold by default.
int64_t default_polarity_value();

}  // namespace zarn::py

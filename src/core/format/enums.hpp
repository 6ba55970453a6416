// The numeric vocabulary of the Zarn container: block symbols and segment
// encoding kinds, detector kinds, triple-quadrupole scan kinds and
// maker-specific condition kinds.
#pragma once

#include <cstdint>

#include "format/errors.hpp"

namespace zarn {

enum class Symbol : uint16_t {
    NONE = 0,
    START_OF_ZARN = 1,
    LIMIT_OF_ZARN = 2,
    BEGIN_OF_ZARN_DESCRIPTION = 3,
    END_OF_ZARN_DESCRIPTION = 4,
    BEGIN_OF_CONVERSION_OPTION = 6,
    END_OF_CONVERSION_OPTION = 7,
    GLOBAL_JUMP_TABLE = 10,
    BEGIN_OF_SPECTRUM = 13,
    END_OF_SPECTRUM = 14,
    BEGIN_OF_CHROMATOGRAM = 15,
    END_OF_CHROMATOGRAM = 16,
    BEGIN_OF_MEASUREMENT_INDEX_BLOCK = 20,
    END_OF_MEASUREMENT_INDEX_BLOCK = 21,
    BEGIN_OF_MEASUREMENT_DESCRIPTION = 22,
    END_OF_MEASUREMENT_DESCRIPTION = 23,
    BEGIN_OF_FUNCTION_INDEX_BLOCK = 26,
    END_OF_FUNCTION_INDEX_BLOCK = 27,
    BEGIN_OF_FUNCTION_DESCRIPTION = 28,
    END_OF_FUNCTION_DESCRIPTION = 29,
    BEGIN_OF_SPECTRUM_DESCRIPTION = 30,
    END_OF_SPECTRUM_DESCRIPTION = 31,
    BEGIN_OF_SPECTRUM_INDEX_BLOCK = 32,
    END_OF_SPECTRUM_INDEX_BLOCK = 33,
    BEGIN_OF_ACQUISITION_CONDITION = 34,
    END_OF_ACQUISITION_CONDITION = 35,
    BEGIN_OF_ADDITIONAL_CONDITION = 36,
    END_OF_ADDITIONAL_CONDITION = 37,
    SPECTRUM_NO_COMPRESSION = 40,
    SPECTRUM_ZSTD_COMPRESSION = 41,
    SPECTRUM_MZ_AND_ZSTD_COMPRESSION = 42,
    SPECTRUM_BY_SCIEX_FORMAT = 43,
    CHROMATOGRAM_NO_COMPRESSION = 45,
    CHROMATOGRAM_ZSTD_COMPRESSION = 46,
    CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION = 47,
    SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE = 50,
    DAD_INTENSITIES_INSTEAD_OF_SPECTRUM = 51,
    SPECTRUM_ZSTD_EFFICIENT_COMPRESSION = 52,
    SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION = 53,
    SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION = 54,
    DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION = 55,
    SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION = 56,
};

// True when `value` names a member of Symbol.
constexpr bool is_symbol_value(int64_t value) {
    switch (value) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4:
        case 6:
        case 7:
        case 10:
        case 13:
        case 14:
        case 15:
        case 16:
        case 20:
        case 21:
        case 22:
        case 23:
        case 26:
        case 27:
        case 28:
        case 29:
        case 30:
        case 31:
        case 32:
        case 33:
        case 34:
        case 35:
        case 36:
        case 37:
        case 40:
        case 41:
        case 42:
        case 43:
        case 45:
        case 46:
        case 47:
        case 50:
        case 51:
        case 52:
        case 53:
        case 54:
        case 55:
        case 56:
            return true;
        default:
            return false;
    }
}

inline Symbol symbol_from_value(int64_t value) {
    if (!is_symbol_value(value)) throw EnumLookupError("ZarnSymbols", value);
    return static_cast<Symbol>(value);
}

enum class DetectorType : uint8_t { NA = 0, MS = 1, DAD = 2, ANALOG = 3 };

enum class TripleQScanType : uint8_t {
    PRECURSOR = 0,
    PRODUCT = 1,
    NEUTRAL_LOSS = 2,
    NEUTRAL_GAIN = 3,
};

enum class VendorConditionType : uint8_t {
    AGILENT_MASS_HUNTER = 0,
    SCIEX_ANALYST = 1,
    SHIMADZU_IO_MODULE = 2,
    THERMO_FISHER_RAW_FILE_READER = 3,
    WATERS_MASS_LYNX = 4,
};

inline DetectorType detector_type_from_value(int64_t value) {
    if (value < 0 || value > 3) throw EnumLookupError("DetectorTypes", value);
    return static_cast<DetectorType>(value);
}

inline TripleQScanType scan_type_from_value(int64_t value) {
    if (value < 0 || value > 3) throw EnumLookupError("TripleQScanTypes", value);
    return static_cast<TripleQScanType>(value);
}

inline VendorConditionType vendor_condition_type_from_value(int64_t value) {
    if (value < 0 || value > 4) throw EnumLookupError("VendorSpecificAdditionalConditionTypes", value);
    return static_cast<VendorConditionType>(value);
}

}  // namespace zarn

// zarn_data_access._internal._enum: the format enumerations.
#include <nanobind/nanobind.h>

#include "format/enums.hpp"
#include "support.hpp"

namespace nb = nanobind;

NB_MODULE(_enum, m) {
    zarn::py::init_module_support();
    using zarn::Symbol;
    nb::enum_<Symbol>(m, "ZarnSymbols")
        .value("NONE", Symbol::NONE)
        .value("START_OF_ZARN", Symbol::START_OF_ZARN)
        .value("LIMIT_OF_ZARN", Symbol::LIMIT_OF_ZARN)
        .value("BEGIN_OF_ZARN_DESCRIPTION", Symbol::BEGIN_OF_ZARN_DESCRIPTION)
        .value("END_OF_ZARN_DESCRIPTION", Symbol::END_OF_ZARN_DESCRIPTION)
        .value("BEGIN_OF_CONVERSION_OPTION", Symbol::BEGIN_OF_CONVERSION_OPTION)
        .value("END_OF_CONVERSION_OPTION", Symbol::END_OF_CONVERSION_OPTION)
        .value("GLOBAL_JUMP_TABLE", Symbol::GLOBAL_JUMP_TABLE)
        .value("BEGIN_OF_SPECTRUM", Symbol::BEGIN_OF_SPECTRUM)
        .value("END_OF_SPECTRUM", Symbol::END_OF_SPECTRUM)
        .value("BEGIN_OF_CHROMATOGRAM", Symbol::BEGIN_OF_CHROMATOGRAM)
        .value("END_OF_CHROMATOGRAM", Symbol::END_OF_CHROMATOGRAM)
        .value("BEGIN_OF_MEASUREMENT_INDEX_BLOCK", Symbol::BEGIN_OF_MEASUREMENT_INDEX_BLOCK)
        .value("END_OF_MEASUREMENT_INDEX_BLOCK", Symbol::END_OF_MEASUREMENT_INDEX_BLOCK)
        .value("BEGIN_OF_MEASUREMENT_DESCRIPTION", Symbol::BEGIN_OF_MEASUREMENT_DESCRIPTION)
        .value("END_OF_MEASUREMENT_DESCRIPTION", Symbol::END_OF_MEASUREMENT_DESCRIPTION)
        .value("BEGIN_OF_FUNCTION_INDEX_BLOCK", Symbol::BEGIN_OF_FUNCTION_INDEX_BLOCK)
        .value("END_OF_FUNCTION_INDEX_BLOCK", Symbol::END_OF_FUNCTION_INDEX_BLOCK)
        .value("BEGIN_OF_FUNCTION_DESCRIPTION", Symbol::BEGIN_OF_FUNCTION_DESCRIPTION)
        .value("END_OF_FUNCTION_DESCRIPTION", Symbol::END_OF_FUNCTION_DESCRIPTION)
        .value("BEGIN_OF_SPECTRUM_DESCRIPTION", Symbol::BEGIN_OF_SPECTRUM_DESCRIPTION)
        .value("END_OF_SPECTRUM_DESCRIPTION", Symbol::END_OF_SPECTRUM_DESCRIPTION)
        .value("BEGIN_OF_SPECTRUM_INDEX_BLOCK", Symbol::BEGIN_OF_SPECTRUM_INDEX_BLOCK)
        .value("END_OF_SPECTRUM_INDEX_BLOCK", Symbol::END_OF_SPECTRUM_INDEX_BLOCK)
        .value("BEGIN_OF_ACQUISITION_CONDITION", Symbol::BEGIN_OF_ACQUISITION_CONDITION)
        .value("END_OF_ACQUISITION_CONDITION", Symbol::END_OF_ACQUISITION_CONDITION)
        .value("BEGIN_OF_ADDITIONAL_CONDITION", Symbol::BEGIN_OF_ADDITIONAL_CONDITION)
        .value("END_OF_ADDITIONAL_CONDITION", Symbol::END_OF_ADDITIONAL_CONDITION)
        .value("SPECTRUM_NO_COMPRESSION", Symbol::SPECTRUM_NO_COMPRESSION)
        .value("SPECTRUM_ZSTD_COMPRESSION", Symbol::SPECTRUM_ZSTD_COMPRESSION)
        .value("SPECTRUM_MZ_AND_ZSTD_COMPRESSION", Symbol::SPECTRUM_MZ_AND_ZSTD_COMPRESSION)
        .value("SPECTRUM_BY_SCIEX_FORMAT", Symbol::SPECTRUM_BY_SCIEX_FORMAT)
        .value("CHROMATOGRAM_NO_COMPRESSION", Symbol::CHROMATOGRAM_NO_COMPRESSION)
        .value("CHROMATOGRAM_ZSTD_COMPRESSION", Symbol::CHROMATOGRAM_ZSTD_COMPRESSION)
        .value("CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION", Symbol::CHROMATOGRAM_ZSTD_EFFICIENT_COMPRESSION)
        .value("SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE", Symbol::SPECTRUM_ZSTD_COMPRESSION_WITH_DOUBLE)
        .value("DAD_INTENSITIES_INSTEAD_OF_SPECTRUM", Symbol::DAD_INTENSITIES_INSTEAD_OF_SPECTRUM)
        .value("SPECTRUM_ZSTD_EFFICIENT_COMPRESSION", Symbol::SPECTRUM_ZSTD_EFFICIENT_COMPRESSION)
        .value("SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION", Symbol::SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION)
        .value("SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION", Symbol::SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION)
        .value("DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION", Symbol::DAD_INTENSITIES_ZSTD_EFFICIENT_COMPRESSION)
        .value("SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION",
               Symbol::SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION);

    using zarn::DetectorType;
    nb::enum_<DetectorType>(m, "DetectorTypes")
        .value("NA", DetectorType::NA)
        .value("MS", DetectorType::MS)
        .value("DAD", DetectorType::DAD)
        .value("ANALOG", DetectorType::ANALOG);

    using zarn::VendorConditionType;
    nb::enum_<VendorConditionType>(m, "VendorSpecificAdditionalConditionTypes")
        .value("AGILENT_MASS_HUNTER", VendorConditionType::AGILENT_MASS_HUNTER)
        .value("SCIEX_ANALYST", VendorConditionType::SCIEX_ANALYST)
        .value("SHIMADZU_IO_MODULE", VendorConditionType::SHIMADZU_IO_MODULE)
        .value("THERMO_FISHER_RAW_FILE_READER", VendorConditionType::THERMO_FISHER_RAW_FILE_READER)
        .value("WATERS_MASS_LYNX", VendorConditionType::WATERS_MASS_LYNX);

    using zarn::TripleQScanType;
    nb::enum_<TripleQScanType>(m, "TripleQScanTypes")
        .value("PRECURSOR", TripleQScanType::PRECURSOR)
        .value("PRODUCT", TripleQScanType::PRODUCT)
        .value("NEUTRAL_LOSS", TripleQScanType::NEUTRAL_LOSS)
        .value("NEUTRAL_GAIN", TripleQScanType::NEUTRAL_GAIN);
}

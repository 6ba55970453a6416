from zarn_data_access.common import (
    AnalysisTypes as AnalysisTypes,
    QuanAnalysisTypes as QuanAnalysisTypes
)
from zarn_data_access.exception import (
    WbnConverterException as WbnConverterException
)


class QualOptions:
    """The conversion options of qualitative data: which spectra to keep."""

    @property
    @staticmethod
    def keep_profile_spectra(self: object) -> object: ...

    @keep_profile_spectra.setter
    @staticmethod
    def keep_profile_spectra(self: object, keep_profile_spectra: object | None) -> None: ...

    @property
    @staticmethod
    def keep_only_ms1_spectra(self: object) -> object: ...

    @keep_only_ms1_spectra.setter
    @staticmethod
    def keep_only_ms1_spectra(self: object, keep_only_ms1_spectra: object | None) -> None: ...

class QuanOptions:
    """
    The conversion options of quantitative data: which analyses to convert.
    """

    @property
    @staticmethod
    def desired_quan_analysis_type(self: object) -> object: ...

    @desired_quan_analysis_type.setter
    @staticmethod
    def desired_quan_analysis_type(self: object, desired_quan_analysis_type: object | None) -> None: ...

class ShimadzuOptions:
    """A maker-specific conversion option: the maker's post-processing."""

    @property
    @staticmethod
    def use_shimadzu_post_processing(self: object) -> object: ...

    @use_shimadzu_post_processing.setter
    @staticmethod
    def use_shimadzu_post_processing(self: object, use_shimadzu_post_processing: object | None) -> None: ...

class WatersOptions:
    """A maker-specific conversion option: the last MS function of MSE data."""

    @property
    @staticmethod
    def keep_last_ms_function_in_mse(self: object) -> object: ...

    @keep_last_ms_function_in_mse.setter
    @staticmethod
    def keep_last_ms_function_in_mse(self: object, keep_last_ms_function_in_mse: object | None) -> None: ...

class ManufacturerOptions:
    """The maker-specific conversion options."""

    @property
    @staticmethod
    def shimadzu_options(self: object) -> object: ...

    @shimadzu_options.setter
    @staticmethod
    def shimadzu_options(self: object, shimadzu_options: object | None) -> None: ...

    @property
    @staticmethod
    def waters_options(self: object) -> object: ...

    @waters_options.setter
    @staticmethod
    def waters_options(self: object, waters_options: object | None) -> None: ...

class AdditionalOptions:
    """Further conversion options."""

    @property
    @staticmethod
    def force_split_by_measurement(self: object) -> object: ...

    @force_split_by_measurement.setter
    @staticmethod
    def force_split_by_measurement(self: object, force_split_by_measurement: object | None) -> None: ...

class ConvertOptions:
    """The root of the conversion options."""

    @property
    @staticmethod
    def qual_options(self: object) -> object: ...

    @qual_options.setter
    @staticmethod
    def qual_options(self: object, qual_options: object | None) -> None: ...

    @property
    @staticmethod
    def quan_options(self: object) -> object: ...

    @quan_options.setter
    @staticmethod
    def quan_options(self: object, quan_options: object | None) -> None: ...

    @property
    @staticmethod
    def manufacturer_options(self: object) -> object: ...

    @manufacturer_options.setter
    @staticmethod
    def manufacturer_options(self: object, manufacturer_options: object | None) -> None: ...

    @property
    @staticmethod
    def desired_analysis_type(self: object) -> object: ...

    @desired_analysis_type.setter
    @staticmethod
    def desired_analysis_type(self: object, desired_analysis_type: object | None) -> None: ...

    @property
    @staticmethod
    def additional_options(self: object) -> object: ...

    @additional_options.setter
    @staticmethod
    def additional_options(self: object, additional_options: object | None) -> None: ...

class WbnConverter:
    """
    Converts raw files into a Zarn file with the converter program on a worker thread; works only on Windows.
    """

    def __init__(self) -> None: ...

    def convert(self, source_file_paths: object | None, destination_file_path: object | None, overwrite: object | None) -> object:
        """
        Starts converting the source file or files into the destination; returns a future of the result text.
        """

    def cancel(self) -> None:
        """Cancels the conversion in progress, if any; returns None."""

    @property
    def convert_options(self) -> object:
        """
        The ConvertOptions of the conversions (by default one object shared by every converter).
        """

    @convert_options.setter
    def convert_options(self, convert_options: object | None) -> None: ...

    @property
    def progress_report_callback(self) -> object:
        """The callable given each progress value as a float, or None."""

    @progress_report_callback.setter
    def progress_report_callback(self, progress_report_callback: object | None) -> None: ...

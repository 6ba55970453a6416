from collections.abc import Callable, Iterable
import concurrent.futures

import zarn_data_access.common
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
    def keep_profile_spectra(self) -> bool:
        """Whether profile spectra are kept (default False)."""

    @keep_profile_spectra.setter
    def keep_profile_spectra(self, keep_profile_spectra: bool, /) -> None: ...

    @property
    def keep_only_ms1_spectra(self) -> bool:
        """Whether only MS1 spectra are kept (default False)."""

    @keep_only_ms1_spectra.setter
    def keep_only_ms1_spectra(self, keep_only_ms1_spectra: bool, /) -> None: ...

class QuanOptions:
    """
    The conversion options of quantitative data: which analyses to convert.
    """

    @property
    def desired_quan_analysis_type(self) -> zarn_data_access.common.QuanAnalysisTypes:
        """
        The quantitative analyses (SIM, SRM) to convert, QuanAnalysisTypes flags (default ALL).
        """

    @desired_quan_analysis_type.setter
    def desired_quan_analysis_type(self, desired_quan_analysis_type: zarn_data_access.common.QuanAnalysisTypes, /) -> None: ...

class ShimadzuOptions:
    """A maker-specific conversion option: the maker's post-processing."""

    @property
    def use_shimadzu_post_processing(self) -> bool:
        """Whether the maker's post-processing is applied (default False)."""

    @use_shimadzu_post_processing.setter
    def use_shimadzu_post_processing(self, use_shimadzu_post_processing: bool, /) -> None: ...

class WatersOptions:
    """A maker-specific conversion option: the last MS function of MSE data."""

    @property
    def keep_last_ms_function_in_mse(self) -> bool:
        """Whether the last MS function in MSE data is kept (default False)."""

    @keep_last_ms_function_in_mse.setter
    def keep_last_ms_function_in_mse(self, keep_last_ms_function_in_mse: bool, /) -> None: ...

class ManufacturerOptions:
    """The maker-specific conversion options."""

    @property
    def shimadzu_options(self) -> ShimadzuOptions:
        """The ShimadzuOptions (by default one object shared by every holder)."""

    @shimadzu_options.setter
    def shimadzu_options(self, shimadzu_options: ShimadzuOptions, /) -> None: ...

    @property
    def waters_options(self) -> WatersOptions:
        """The WatersOptions (by default one object shared by every holder)."""

    @waters_options.setter
    def waters_options(self, waters_options: WatersOptions, /) -> None: ...

class AdditionalOptions:
    """Further conversion options."""

    @property
    def force_split_by_measurement(self) -> bool:
        """
        Whether the conversion is forced to split by measurement (default False).
        """

    @force_split_by_measurement.setter
    def force_split_by_measurement(self, force_split_by_measurement: bool, /) -> None: ...

class ConvertOptions:
    """The root of the conversion options."""

    @property
    def qual_options(self) -> QualOptions:
        """The QualOptions (by default one object shared by every holder)."""

    @qual_options.setter
    def qual_options(self, qual_options: QualOptions, /) -> None: ...

    @property
    def quan_options(self) -> QuanOptions:
        """The QuanOptions (by default one object shared by every holder)."""

    @quan_options.setter
    def quan_options(self, quan_options: QuanOptions, /) -> None: ...

    @property
    def manufacturer_options(self) -> ManufacturerOptions:
        """
        The ManufacturerOptions (by default one object shared by every holder).
        """

    @manufacturer_options.setter
    def manufacturer_options(self, manufacturer_options: ManufacturerOptions, /) -> None: ...

    @property
    def desired_analysis_type(self) -> zarn_data_access.common.AnalysisTypes:
        """
        The kinds of analysis (QUAL, QUAN, DAD, ANALOG) to convert, AnalysisTypes flags (default ALL).
        """

    @desired_analysis_type.setter
    def desired_analysis_type(self, desired_analysis_type: zarn_data_access.common.AnalysisTypes, /) -> None: ...

    @property
    def additional_options(self) -> AdditionalOptions:
        """The AdditionalOptions (by default one object shared by every holder)."""

    @additional_options.setter
    def additional_options(self, additional_options: AdditionalOptions, /) -> None: ...

class WbnConverter:
    """
    Converts raw files into a Zarn file with the converter program on a worker thread; works only on Windows.
    """

    def __init__(self) -> None: ...

    def convert(self, source_file_paths: str | Iterable[str], destination_file_path: str, overwrite: bool) -> concurrent.futures.Future[str]:
        """
        Starts converting the source file or files into the destination; returns a future of the result text.
        """

    def cancel(self) -> None:
        """Cancels the conversion in progress, if any; returns None."""

    @property
    def convert_options(self) -> ConvertOptions:
        """
        The ConvertOptions of the conversions (by default one object shared by every converter).
        """

    @convert_options.setter
    def convert_options(self, convert_options: ConvertOptions, /) -> None: ...

    @property
    def progress_report_callback(self) -> Callable[[float], object] | None:
        """The callable given each progress value as a float, or None."""

    @progress_report_callback.setter
    def progress_report_callback(self, progress_report_callback: Callable[[float], object] | None, /) -> None: ...

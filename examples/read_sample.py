"""Writes a small Zarn file with the project's test writer and reads it back
through the public API: its measurements, a spectrum, a total-ion
chromatogram, an extracted-ion chromatogram and a quantitative trace.

Run from the repository's root: ./dev example (which builds and installs the
package first).
"""

import os
import sys
import tempfile

# The test writer of Zarn files lives beside the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import zarnwriter as w  # noqa: E402
from zarn_data_access.access import ZarnFile  # noqa: E402
from zarn_data_access.common import ValueRange  # noqa: E402
from zarn_data_access.qual import ChromatogramFilterOption  # noqa: E402


def sample_bytes() -> bytes:
    """Two measurements: an MS analysis of three centroid spectra and an SRM
    trace, then a blank with an analog trace."""
    spectra = [
        (w.spectrum_description(retention_time=0.5 * k, ms_level=1, polarity=1,
                                totals=(60.0 + k, 195.0, 40.0 + k)),
         w.spectrum_block(w.spectrum_plain([138.0, 195.0, 196.0], [20.0, 40.0 + k, 5.0 * k])))
        for k in range(1, 4)]
    ms = (w.function_description(True, w.qual_description(detector_type=1)), spectra)
    srm = (w.function_description(False, w.quan_description(
               compound_name="Caffeine", q1=195.1, q3=138.0, quan_analysis_type=4, detector_type=1)),
           w.chromatogram_block(w.chromatogram_plain([0.5, 1.0, 1.5], [12.0, 480.0, 30.0])))
    pump = (w.function_description(False, w.quan_description(compound_name="Pump pressure", detector_type=3)),
            w.chromatogram_block(w.chromatogram_zstd([0.5, 1.0], [101.5, 102.0])))
    data: bytes = w.measurement_file((3, 6, 0), [
        (w.measurement_description("0001", sample_name="Plasma 1", sample_id="P-1"), [ms, srm]),
        (w.measurement_description("0002", sample_name="Blank"), [pump]),
    ])
    return data


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sample.zarn")
        with open(path, "wb") as out:
            out.write(sample_bytes())

        with ZarnFile(path) as zarn:
            print(f"Zarn format {zarn.get_file_format_version()}, {zarn.get_measurement_count()} measurements")
            for i in range(zarn.get_measurement_count()):
                print(" ", zarn.get_measurement(i))

            measurement = zarn.get_measurement(0)
            ms = measurement.get_qual_analysis(0)
            print(ms)
            spectrum = ms.get_spectrum(1)
            print(f"spectrum {spectrum}:", [(p.x, p.intensity) for p in spectrum.get_spectrum_points()])

            condition = ms.unique_acquisition_conditions[0]
            tic = ms.get_tic(condition)
            print("TIC:", [(p.retention_time, p.intensity) for p in tic])
            xic = ms.get_xic(ChromatogramFilterOption(condition, ValueRange(194.5, 195.5)))
            print("XIC 194.5-195.5:", [(p.retention_time, p.intensity) for p in xic])

            srm = measurement.get_quan_analysis(0)
            print(srm, [(p.retention_time, p.intensity) for p in srm.chromatogram_points])
            pump = zarn.get_measurement(1).get_analog_analysis(0)
            print(pump, [(p.retention_time, p.intensity) for p in pump.chromatogram_points])


if __name__ == "__main__":
    main()

"""Speed of the qualitative analyses on a writer-made file.

The file holds one measurement with three functions, reached the way the
access module reaches them (header, measurement index, function index
block, class factories):

  ms-stored   N MS spectra (one MS1 survey scan, then four MS2 scans at
              rising collision energies, repeated) whose function stores
              its five acquisition conditions, each with a Waters cone
              voltage;
  ms-spectra  N MS spectra of the same kinds whose function stores none,
              each MS2 spectrum with its own precursor m/z, so that nearly
              every spectrum has a condition of its own;
  dad         N/5 DAD spectra over a 300-wavelength axis.

MS1 spectra have about 1000 points and MS2 spectra about 200, in the
efficient layout (binary32 m/z, packed intensities); DAD spectra 300
packed intensities. The data blocks are drawn from a pool of distinct
blocks that the spectra share, which keeps the file small; every read
still decodes its block in full.

Printed per call: the best of --repeat runs, in milliseconds, and what the
call returned. The "points of" rows decode spectra into point objects one
by one through Spectrum objects, for comparison with the chromatograms,
which decode without making point objects.

Run from the repository root after installing the package:

  python bench/bench_qual.py [--spectra N] [--pool N] [--repeat N]
"""

import argparse
import os
import random
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import zarnwriter as w  # noqa: E402
from zarn_data_access import qual as Q  # noqa: E402
from zarn_data_access._internal import _index as I  # noqa: E402
from zarn_data_access._internal._enum import ZarnSymbols  # noqa: E402
from zarn_data_access._internal._reader import KxmFileReader  # noqa: E402
from zarn_data_access.common import PolarityTypes, ValueRange  # noqa: E402

ENERGIES = [10.0, 20.0, 30.0, 40.0]
WAVELENGTHS = [190.0 + 2.0 * i for i in range(300)]


def ms_block(rng, n):
    mz = sorted(rng.uniform(100.0, 1500.0) for _ in range(n))
    intensities = [int(10 ** rng.uniform(1.0, 6.0)) for _ in range(n)]
    return w.spectrum_block(w.spectrum_efficient(2, mz, intensities))


def dad_block(rng, peak):
    values = [int(1000 * (1 + (i - peak) ** 2 / 400.0) ** -1 + rng.randrange(20)) for i in range(len(WAVELENGTHS))]
    return w.spectrum_block(w.dad_efficient(0, values))


def ms_function(rng, n, pool, stored):
    """(function description, spectra) of an MS function."""
    ms1 = [ms_block(rng, rng.randrange(900, 1100)) for _ in range(pool)]
    ms2 = [ms_block(rng, rng.randrange(150, 250)) for _ in range(pool)]
    spectra = []
    for i in range(n):
        kind = i % 5
        fields = dict(retention_time=i * 0.002, ms_level=1 if kind == 0 else 2, polarity=PolarityTypes.POSITIVE,
                      mass_range=(100.0, 1500.0), is_profile_spectrum_measured=False, cone_voltage=30.0,
                      supplemental_properties={"ConeVoltage": "30"})
        if kind:
            fields.update(collision_energy=ENERGIES[kind - 1], precursor_index=i - kind)
            if not stored:
                fields["precursor_value"] = round(rng.uniform(300.0, 1200.0), 4)
        if stored:
            fields["acquisition_condition_index"] = kind
        totals = (float(rng.randrange(10**5, 10**7)), round(rng.uniform(100, 1500), 4), float(rng.randrange(10**5)))
        spectra.append((w.spectrum_description(totals=totals, **fields), (ms2 if kind else ms1)[i % pool]))
    qual = dict(detector_type=1)
    if stored:
        vendor = w.vendor_condition(type=4, original_id=1, cone_voltage=30.0)
        qual["unique_acquisition_core_condition_list"] = [
            w.core_condition(ms_level=1, polarity=PolarityTypes.POSITIVE, mass_range=(100.0, 1500.0),
                             vendor_specific_additional_condition=vendor)] + [
            w.core_condition(ms_level=2, polarity=PolarityTypes.POSITIVE, collision_energy=e,
                             mass_range=(100.0, 1500.0), vendor_specific_additional_condition=vendor)
            for e in ENERGIES]
        qual["unique_acquisition_condition_list"] = [
            w.acquisition_condition(internal_acquisition_core_condition_index=k) for k in range(5)]
    return w.function_description(True, w.qual_description(**qual)), spectra


def dad_function(rng, n, pool):
    blocks = [dad_block(rng, rng.randrange(50, 250)) for _ in range(pool)]
    spectra = [(w.spectrum_description(retention_time=i * 0.01), blocks[i % pool]) for i in range(n)]
    return w.function_description(True, w.qual_description(detector_type=2, wavelength_arr=WAVELENGTHS)), spectra


def layout(functions):
    """The body of the file (data blocks and spectrum index blocks of every
    function, then the function index block) and the function index
    block's position, from the body's start."""
    body = bytearray()
    positions, descriptions = [], []
    for description, spectra in functions:
        # Each distinct data block once; the spectra point at it.
        at = {}
        for _, block in spectra:
            if id(block) not in at:
                at[id(block)] = len(body)
                body += block
        index_position = len(body)
        origin = index_position + 2
        entries = [(at[id(block)] - origin, d) for d, block in spectra]
        body += w.spectrum_index_block(entries)
        positions.append(index_position)
        descriptions.append(description)
    block_position = len(body)
    origin = block_position + 2
    body += w.function_index_block([(p - origin, d) for p, d in zip(positions, descriptions)])
    return bytes(body), block_position


def write_file(path, n, pool, seed=5):
    rng = random.Random(seed)
    functions = [ms_function(rng, n, pool, True), ms_function(rng, n, pool, False), dad_function(rng, n // 5, pool)]
    head_size = len(w.header())
    body, block_position = layout(functions)
    data = w.zarn_file(body=body, measurements=[(head_size + block_position, w.measurement_description("m"))])
    with open(path, "wb") as f:
        f.write(data)
    return len(data)


def function_indices(reader):
    """The function index records of the file's one measurement, read as
    the access module reads them."""
    table = I.JumpTable._JumpTable__create_instance(reader)
    entry = table._JumpTable__measurement_index_list[0]
    reader._KxmFileReader__set_buffer(entry._MeasurementIndex__position)
    reader._KxmFileReader__confirm_zarn_symbol(ZarnSymbols.BEGIN_OF_FUNCTION_INDEX_BLOCK)
    origin = reader._KxmFileReader__get_absolute_position()
    count = reader._KxmFileReader__read_uint16_or_32()
    offsets = reader._KxmFileReader__read_int64_array()
    reader._KxmFileReader__set_decompressed_buffer()
    entries = [I.FunctionIndex._FunctionIndex__create_instance(reader, offsets[i] + origin) for i in range(count)]
    reader._KxmFileReader__reset_decompressed_buffer()
    return entries


def best(repeat, call):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times) * 1000.0, result


def decode(analysis, positions):
    """Decodes the spectra at `positions` into point objects, one spectrum
    at a time, as a caller walking the spectra does; the point count."""
    return sum(len(analysis.get_spectrum(i).get_spectrum_points()) for i in positions)


def describe(result):
    if isinstance(result, list):
        if result and isinstance(result[0], list):
            return f"{len(result)} lists of {len(result[0])} points"
        return f"{len(result)} points"
    if isinstance(result, int):
        return f"{result} points"
    return str(result)[:60]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=100000)
    parser.add_argument("--pool", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.zarn")
        start = time.perf_counter()
        size = write_file(path, args.spectra, args.pool)
        print(f"file: {size / 1e6:.1f} MB, {args.spectra} MS spectra per MS function, written in "
              f"{time.perf_counter() - start:.1f} s")
        reader = KxmFileReader._KxmFileReader__create_instance(path)
        try:
            run(reader, args.repeat)
        finally:
            reader._KxmFileReader__stream.close()


def run(reader, repeat):
    stored, spectra, dad = function_indices(reader)
    rows = []

    def measure(name, call):
        ms, result = best(repeat, call)
        rows.append((name, ms, describe(result)))

    for label, function_index in (("ms-stored", stored), ("ms-spectra", spectra)):
        measure(f"{label}: create", lambda: Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0))
        analysis = Q.QualAnalysis._QualAnalysis__create_instance(function_index, 0)
        ms1 = analysis.unique_acquisition_conditions[0]
        ms2 = analysis.get_spectrum(1).acquisition_condition
        measure(f"{label}: get_tic MS1", lambda: analysis.get_tic(ms1))
        measure(f"{label}: get_bpc MS2", lambda: analysis.get_bpc(ms2))
        measure(f"{label}: get_tic MS1 10-60 min", lambda: analysis.get_tic(ms1, ValueRange(10.0, 60.0)))
        measure(f"{label}: find_nearest_spectrum", lambda: analysis.find_nearest_spectrum(ms1, 100.0))
        option = Q.ChromatogramFilterOption(ms1, ValueRange(500.0, 500.5))
        measure(f"{label}: get_xic MS1", lambda: analysis.get_xic(option))
        options = [Q.ChromatogramFilterOption(ms1, ValueRange(200.0 + 100 * k, 200.5 + 100 * k)) for k in range(10)]
        measure(f"{label}: get_multiple_xic MS1 x10", lambda: analysis.get_multiple_xic(options))
        ms1_positions = range(0, min(10000, analysis.get_spectra_count()), 5)
        measure(f"{label}: points of {len(ms1_positions)} MS1 spectra", lambda: decode(analysis, ms1_positions))

    measure("dad: create", lambda: Q.DADAnalysis._DADAnalysis__create_instance(dad, 0))
    analysis = Q.DADAnalysis._DADAnalysis__create_instance(dad, 0)
    measure("dad: get_chromatogram 250-260", lambda: analysis.get_chromatogram(ValueRange(250.0, 260.0)))
    measure("dad: get_max_plot 250-350 +-4", lambda: analysis.get_max_plot(ValueRange(250.0, 350.0), 4.0))
    dad_positions = range(min(2000, analysis.get_spectra_count()))
    measure(f"dad: points of {len(dad_positions)} spectra", lambda: decode(analysis, dad_positions))

    width = max(len(name) for name, _, _ in rows)
    for name, ms, result in rows:
        print(f"{name:<{width}}  {ms:9.1f} ms  {result}")


if __name__ == "__main__":
    main()

"""A synthetic LC-MS run, written as a Zarn file and as mzML.

The run is one data-dependent acquisition of a peptide digest over 60
minutes, in two functions:

  function 1  survey scans (MS1, centroid, a fixed number of points each)
              alternating with MS2 scans of the most intense precursors not
              picked in the last 0.3 minutes (top N per cycle);
  function 2  a reference (lock mass) scan every 12 seconds, recorded with
              its centroid peaks and its profile data.

MS1 spectra hold the isotope envelopes of peptide features that elute as
Gaussian peaks (charges 2-4, abundances spread over four decades, a few ppm
of mass error) over chemical noise; m/z values have four decimals,
intensities one. MS2 spectra hold 50-400 fragment peaks below the precursor
mass. Profile spectra sample 100-1600 m/z with a spacing that grows with
the square root of m/z, as a time-of-flight analyser does, and carry the
lock mass and its isotopes on a noisy baseline.

The Zarn file is written with the project's test writer (tests/zarnwriter/),
every data block in the efficient spectrum codec (option 4: delta-coded m/z
scaled by 10**4, intensities scaled by 10, as packed int32 byte planes in a
Zstandard frame); the spectrum descriptions carry the total ion current and
the base peak of the centroid data. The mzML file is indexed mzML written
with psims: zlib-compressed binary arrays, 64-bit m/z and 32-bit
intensities, as converters write them by default, with the same totals as
cvParams; function 2 appears there as its profile spectra. Both files hold
the same numbers: an m/z is the same double in both, an intensity the
float32 nearest to the Zarn value.

`ensure(directory, scale)` builds both files once per scale and seed and
returns the manifest (what the files hold, the windows of the extracted-ion
chromatograms, the positions of the data and index segments).
"""

import json
import os
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import zarnwriter as w  # noqa: E402

# Bumped whenever the data or the layout changes, so that a cached build of
# another generation is rebuilt.
GENERATION = 1

RUN_MINUTES = 60.0
MZ_POWER = 4
INTENSITY_POWER = 1
PROTON = 1.007276
NEUTRON = 1.003355
LOCK_MASS = 556.2771
MS1_RANGE = (350.0, 1600.0)
MS2_RANGE = (100.0, 2000.0)
PROFILE_RANGE = (100.0, 1600.0)
COLLISION_ENERGY = 28.0
POSITIVE = 1  # PolarityTypes.POSITIVE
CENTROID = 3  # SpectrumTypes.CENTROID
MS_DETECTOR = 1  # DetectorTypes: mass spectrometer


def parameters(scale):
    """The size of the run; scale 1.0 is the full benchmark."""
    return {
        "ms1_spectra": max(20, int(20000 * scale)),
        "ms1_points": 2000,
        "ms2_per_cycle": 3,
        "reference_spectra": max(3, int(300 * scale)),
        "profile_points": 10000,
        "features": max(200, int(30000 * scale)),
        "xic_count": 100,
        "seed": 20240508,
        "generation": GENERATION,
    }


# ---------------------------------------------------------------- the run


class Spectrum:
    """One spectrum of the run: scaled integer m/z and intensities (the
    stored values), and what describes it."""

    __slots__ = ("function", "scan", "rt", "ms_level", "mz", "intensity", "precursor", "profile")

    def __init__(self, function, scan, rt, ms_level, mz, intensity, precursor=None, profile=None):
        self.function, self.scan, self.rt, self.ms_level = function, scan, rt, ms_level
        self.mz, self.intensity = mz, intensity  # int64 arrays, ascending m/z
        self.precursor = precursor  # (MS1 list index, m/z, charge) for MS2
        self.profile = profile  # (mz, intensity) int64 arrays for reference scans

    @property
    def native_id(self):
        return f"function={self.function} process=0 scan={self.scan + 1}"


def mz_values(scaled):
    """The doubles that a reader decodes from scaled m/z (one correctly
    rounded division, as the reader does it)."""
    return scaled.astype(np.float64) / 10.0 ** MZ_POWER


def intensity_values(scaled):
    return scaled.astype(np.float64) / 10.0 ** INTENSITY_POWER


def scaled_mz(mz):
    return np.rint(np.asarray(mz) * 10 ** MZ_POWER).astype(np.int64)


def scaled_intensity(intensity):
    return np.clip(np.rint(np.asarray(intensity) * 10 ** INTENSITY_POWER), 1, 2**31 - 1).astype(np.int64)


def totals(scaled_mz_values, scaled_intensities):
    """(total ion current, base peak m/z, base peak intensity) of the data."""
    if len(scaled_intensities) == 0:
        return 0.0, 0.0, 0.0
    values = intensity_values(scaled_intensities)
    top = int(np.argmax(values))
    return float(values.sum()), float(mz_values(scaled_mz_values[top:top + 1])[0]), float(values[top])


class Features:
    """Peptide features: isotope envelopes eluting as Gaussian peaks."""

    def __init__(self, rng, n):
        mass = rng.gamma(6.0, 300.0, n) + 600.0
        charge = rng.choice([2, 3, 4], n, p=[0.6, 0.3, 0.1])
        mz = (mass + charge * PROTON) / charge
        keep = (mz > MS1_RANGE[0] + 5) & (mz < MS1_RANGE[1] - 5)
        self.mass, self.charge, self.mz = mass[keep], charge[keep], mz[keep]
        n = len(self.mz)
        self.apex = rng.uniform(2.0, RUN_MINUTES - 2.0, n)
        self.sigma = rng.uniform(0.03, 0.1, n)
        self.abundance = 10 ** rng.normal(5.6, 0.7, n)
        # Isotope ratios of an averagine-like peptide: Poisson in the mass.
        lam = self.mass / 1800.0
        k = np.arange(5)
        ratios = np.exp(-lam[:, None]) * lam[:, None] ** k / np.array([1, 1, 2, 6, 24])
        self.ratios = ratios / ratios.max(axis=1, keepdims=True)
        order = np.argsort(self.apex)
        for name in ("mass", "charge", "mz", "apex", "sigma", "abundance", "ratios"):
            setattr(self, name, getattr(self, name)[order])

    def peaks(self, rng, t):
        """Isotope peaks of the features eluting at t: (m/z, intensity,
        feature, isotope)."""
        lo, hi = np.searchsorted(self.apex, [t - 0.45, t + 0.45])
        idx = np.arange(lo, hi)
        g = np.exp(-0.5 * ((t - self.apex[idx]) / self.sigma[idx]) ** 2)
        live = g > 1e-3
        idx, g = idx[live], g[live]
        k = np.arange(5)
        mz = self.mz[idx, None] + k[None, :] * NEUTRON / self.charge[idx, None]
        mz = mz * (1 + rng.normal(0, 2e-6, mz.shape))
        intensity = self.abundance[idx, None] * g[:, None] * self.ratios[idx] * rng.normal(1.0, 0.05, mz.shape)
        feature = np.repeat(idx, 5)
        isotope = np.tile(k, len(idx))
        mz, intensity = mz.ravel(), intensity.ravel()
        keep = intensity > 300.0
        return mz[keep], intensity[keep], feature[keep], isotope[keep]


def unique_sorted(mz, intensity, count, protected, rng):
    """Exactly `count` points with distinct scaled m/z in ascending order;
    the first `protected` points (the feature peaks) are kept before the
    noise."""
    smz, sint = scaled_mz(mz), scaled_intensity(intensity)
    _, first = np.unique(smz, return_index=True)
    feature_keep = first[first < protected]
    noise_keep = first[first >= protected]
    room = count - len(feature_keep)
    if room < 0:
        feature_keep = feature_keep[np.argsort(-sint[feature_keep])[:count]]
        room = 0
    noise_keep = rng.choice(noise_keep, room, replace=False) if room < len(noise_keep) else noise_keep
    keep = np.concatenate([feature_keep, noise_keep])
    keep = keep[np.argsort(smz[keep])]
    return smz[keep], sint[keep]


def ms1_spectrum(rng, features, t, n):
    fmz, fint, feature, isotope = features.peaks(rng, t)
    if len(fmz) > n - 200:
        top = np.argsort(-fint)[: n - 200]
        fmz, fint, feature, isotope = fmz[top], fint[top], feature[top], isotope[top]
    noise_mz = rng.uniform(*MS1_RANGE, n + 400)
    noise_int = 10 ** rng.normal(3.0, 0.45, n + 400)
    mz, intensity = unique_sorted(np.concatenate([fmz, noise_mz]), np.concatenate([fint, noise_int]), n,
                                  len(fmz), rng)
    monoisotopic = {int(f): (m, i) for f, m, i, k in zip(feature, fmz, fint, isotope) if k == 0}
    return mz, intensity, monoisotopic


def ms2_spectrum(rng, precursor_mz, charge):
    n = int(10 ** rng.uniform(np.log10(50), np.log10(400)))
    top = min(MS2_RANGE[1], precursor_mz * charge - 20.0)
    mz = rng.uniform(MS2_RANGE[0], max(top, MS2_RANGE[0] + 50.0), n + 20)
    intensity = 10 ** rng.normal(3.4, 0.6, n + 20)
    return unique_sorted(mz, intensity, n, 0, rng)


def profile_spectrum(rng, grid):
    """A profile scan on the m/z grid: the lock mass, its isotopes and a few
    background ions as Gaussian peaks over baseline noise."""
    centres = np.concatenate([LOCK_MASS + NEUTRON * np.arange(3), rng.uniform(*PROFILE_RANGE, 40)])
    heights = np.concatenate([3e5 * np.array([1.0, 0.32, 0.07]), 10 ** rng.normal(3.5, 0.5, 40)])
    intensity = 10 ** rng.normal(1.3, 0.25, len(grid))
    for c, h in zip(centres, heights):
        lo, hi = np.searchsorted(grid, [c - 0.3, c + 0.3])
        intensity[lo:hi] += h * np.exp(-0.5 * ((grid[lo:hi] - c) / 0.05) ** 2)
    return scaled_mz(grid), scaled_intensity(intensity), centres, heights


def profile_grid(n):
    """n m/z values over the profile range, spaced in proportion to sqrt(m/z)."""
    root = np.linspace(np.sqrt(PROFILE_RANGE[0]), np.sqrt(PROFILE_RANGE[1]), n)
    return np.unique(np.rint(root**2 * 10**MZ_POWER)) / 10**MZ_POWER


def generate(p):
    """The spectra of both functions, in acquisition order per function."""
    rng = np.random.default_rng(p["seed"])
    features = Features(rng, p["features"])
    n1, per_cycle = p["ms1_spectra"], p["ms2_per_cycle"]
    cycle = RUN_MINUTES / n1
    function1, last_picked = [], {}
    for c in range(n1):
        t = c * cycle + rng.normal(0, cycle * 0.01)
        t = max(t, 0.0)
        mz, intensity, mono = ms1_spectrum(rng, features, t, p["ms1_points"])
        ms1_index = len(function1)
        function1.append(Spectrum(1, ms1_index, round(t, 6), 1, mz, intensity))
        # Top N precursors, with a dynamic exclusion of 0.3 minutes.
        ranked = sorted(mono.items(), key=lambda kv: -kv[1][1])
        picked = [f for f, _ in ranked if t - last_picked.get(f, -1e9) > 0.3][:per_cycle]
        for k in range(per_cycle):
            if k < len(picked):
                f = picked[k]
                last_picked[f] = t
                precursor_mz, charge = float(mono[f][0]), int(features.charge[f])
            else:
                precursor_mz, charge = float(rng.uniform(400, 1000)), 2
            precursor_mz = round(precursor_mz, 4)
            mz2, int2 = ms2_spectrum(rng, precursor_mz, charge)
            t2 = round(t + (k + 1) * cycle / (per_cycle + 1), 6)
            function1.append(Spectrum(1, len(function1), t2, 2, mz2, int2, (ms1_index, precursor_mz, charge)))
    grid = profile_grid(p["profile_points"])
    function2 = []
    for k in range(p["reference_spectra"]):
        t = round(k * RUN_MINUTES / p["reference_spectra"] + 0.05, 6)
        pmz, pint, centres, heights = profile_spectrum(rng, grid)
        cmz, cint = unique_sorted(centres, heights, len(centres), 0, rng)
        function2.append(Spectrum(2, k, t, 1, cmz, cint, profile=(pmz, pint)))
    return function1, function2, xic_windows(rng, features, p["xic_count"])


def xic_windows(rng, features, count):
    """m/z windows around the monoisotopic m/z of abundant features, with
    bounds half-way between stored m/z values so that no point lies on a
    bound: the first is the single XIC, all of them the multiple one."""
    strong = np.argsort(-features.abundance)[: count * 5]
    chosen = rng.choice(strong, count, replace=False)
    centres = np.rint(features.mz[chosen] * 10**MZ_POWER) / 10**MZ_POWER
    half = 0.01 + 0.5 / 10**MZ_POWER
    return [(float(c - half), float(c + half)) for c in centres]


# ---------------------------------------------------------------- Zarn


def zarn_block(mz, intensity):
    return w.spectrum_block(w.spectrum_efficient(4, w.deltas(mz.tolist()), intensity.tolist(),
                                                 mz_power=MZ_POWER, intensity_power=INTENSITY_POWER))


def zarn_description(s):
    fields = dict(retention_time=s.rt, ms_level=s.ms_level, polarity=POSITIVE, spectrum_type=CENTROID,
                  is_profile_spectrum_measured=s.profile is not None)
    if s.ms_level == 1:
        fields["mass_range"] = MS1_RANGE if s.function == 1 else PROFILE_RANGE
    else:
        fields.update(mass_range=MS2_RANGE, collision_energy=COLLISION_ENERGY, precursor_index=s.precursor[0],
                      precursor_value=s.precursor[1])
    return w.spectrum_description(totals=totals(s.mz, s.intensity), **fields)


def write_zarn(path, function1, function2):
    """Writes the file; returns the absolute positions of the data blocks
    (per function, and of the profile blocks) and of the spectrum index
    blocks."""
    version = (3, 6, 0)
    start = w.body_start(version)
    body = w.Body()
    placed, blocks_at, index_at = [], [], []
    for spectra in (function1, function2):
        blocks = [zarn_block(s.mz, s.intensity) for s in spectra]
        profiles = [zarn_block(*s.profile) for s in spectra] if spectra[0].profile is not None else None
        sizes = [len(b) for b in blocks + (profiles or [])]
        positions = (start + len(body.data) + np.concatenate([[0], np.cumsum(sizes)[:-1]])).tolist()
        entries = [(zarn_description(s), b) for s, b in zip(spectra, blocks)]
        at = body.spectra(entries, profiles=profiles)
        description = w.function_description(True, w.qual_description(detector_type=MS_DETECTOR))
        placed.append((description, at))
        blocks_at.append(positions)
        index_at.append(start + at)
    function_index = body.function_index(placed)
    measurement = w.measurement_description("0001", sample_name="Digest 1", sample_id="D-1",
                                            instrument_product_name="Synthetic Q-TOF")
    data = w.zarn_file(version, [(start + function_index, measurement)], body=bytes(body.data))
    with open(path, "wb") as f:
        f.write(data)
    n1 = len(function1)
    return {"function1_blocks": blocks_at[0], "function2_blocks": blocks_at[1][:len(function2)],
            "profile_blocks": blocks_at[1][len(function2):], "spectrum_index_blocks": index_at,
            "function_index_block": start + function_index, "function1_count": n1}


# ---------------------------------------------------------------- mzML


def write_mzml(path, function1, function2):
    from psims.mzml.writer import MzMLWriter

    spectra = sorted(function1 + function2, key=lambda s: (s.rt, s.function))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with MzMLWriter(open(path, "wb"), close=True) as out:
            out.controlled_vocabularies()
            out.file_description(["MS1 spectrum", "MSn spectrum", "centroid spectrum", "profile spectrum"])
            out.software_list([{"id": "zarn-bench", "version": "1.0",
                                "params": ["custom unreleased software tool"]}])
            out.instrument_configuration_list([out.InstrumentConfiguration(id="IC1", component_list=[])])
            out.data_processing_list([out.DataProcessing(
                [out.ProcessingMethod(order=1, software_reference="zarn-bench", params=["Conversion to mzML"])],
                id="DP1")])
            with out.run(id="run1", instrument_configuration="IC1"):
                with out.spectrum_list(count=len(spectra)):
                    for s in spectra:
                        write_mzml_spectrum(out, s)


def write_mzml_spectrum(out, s):
    mz, intensity = (s.profile if s.profile is not None else (s.mz, s.intensity))
    tic, base_mz, base_intensity = totals(mz, intensity)
    params = [{"ms level": s.ms_level}, {"total ion current": tic}, {"base peak m/z": base_mz},
              {"name": "base peak intensity", "value": base_intensity, "unit_name": "number of detector counts"}]
    precursor = None
    if s.precursor is not None:
        precursor = {"mz": s.precursor[1], "charge": s.precursor[2],
                     "spectrum_reference": f"function=1 process=0 scan={s.precursor[0] + 1}",
                     "activation": ["collision-induced dissociation", {"collision energy": COLLISION_ENERGY}]}
    out.write_spectrum(mz_values(mz), intensity_values(intensity).astype(np.float32), id=s.native_id,
                       centroided=s.profile is None, scan_start_time=s.rt, params=params,
                       precursor_information=precursor)


# ---------------------------------------------------------------- cache


def ensure(directory, scale, log=print):
    """Builds the dataset of `scale` in `directory` unless it is there; the
    manifest."""
    p = parameters(scale)
    os.makedirs(directory, exist_ok=True)
    manifest_path = os.path.join(directory, "manifest.json")
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            manifest = json.load(f)
        if manifest.get("parameters") == p and all(
                os.path.exists(manifest[k]) for k in ("zarn", "mzml")):
            return manifest
    start = time.perf_counter()
    log("generating the run ...")
    function1, function2, windows = generate(p)
    zarn_path = os.path.join(directory, "run.zarn")
    mzml_path = os.path.join(directory, "run.mzML")
    log(f"  {time.perf_counter() - start:.0f} s; writing {zarn_path} ...")
    layout = write_zarn(zarn_path, function1, function2)
    log(f"  {time.perf_counter() - start:.0f} s; writing {mzml_path} ...")
    write_mzml(mzml_path, function1, function2)
    log(f"  {time.perf_counter() - start:.0f} s; done")
    ms1 = [s for s in function1 if s.ms_level == 1]
    manifest = {
        "parameters": p,
        "zarn": zarn_path,
        "mzml": mzml_path,
        "zarn_bytes": os.path.getsize(zarn_path),
        "mzml_bytes": os.path.getsize(mzml_path),
        "ms1_spectra": len(ms1),
        "ms2_spectra": len(function1) - len(ms1),
        "reference_spectra": len(function2),
        "centroid_points": int(sum(len(s.mz) for s in function1)),
        "ms1_points": int(sum(len(s.mz) for s in ms1)),
        "profile_points": int(sum(len(s.profile[0]) for s in function2)),
        "xic_windows": windows,
        "layout": layout,
    }
    with open(manifest_path, "w") as f:
        json.dump(manifest, f)
    return manifest

"""Writes the fuzzer's seed files with the project's test writer.

    python fuzz/make_seeds.py OUT_DIR

The seeds are small whole files: every analysis kind in every format
version 3.0 to 3.6, with and without the integrity digest; every segment
kind (and every option of the efficient codecs) of MS spectra, DAD spectra
and chromatograms; stored and derived acquisition conditions with every
maker's and scan condition; profile spectra; long supplemental lists; a
measurement description with every field; every record with unknown
properties of every value kind; records without their optional parts;
condition lists without core conditions and core conditions without
conditions; index and offset arrays split into segments, padded and with
surplus entries.

Every seed without a digest is also written with its compressed segments
stored as Zstandard frames of raw blocks ("-raw"): the descriptions and
segment contents then lie in the file as they are, where the fuzzer's
mutations reach them without breaking the frame. A seed with a digest is
written as it is only: any change to it fails the digest check.
"""

import contextlib
import datetime
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import zarnwriter as w  # noqa: E402
import zarnwriter.values as writer_values  # noqa: E402

VERSIONS = [(3, 0, 0), (3, 1, 0), (3, 2, 1), (3, 3, 0), (3, 4, 2), (3, 5, 0), (3, 6, 0)]
NEWEST = (3, 6, 0)

MS, DAD, ANALOG = 1, 2, 3
AGILENT, SCIEX, SHIMADZU, THERMO, WATERS = range(5)  # maker conditions
PRECURSOR, PRODUCT, NEUTRAL_LOSS, NEUTRAL_GAIN = range(4)  # scan conditions
SRM, SIM = 4, 2
WHEN = datetime.datetime(2024, 3, 1, 9, 15, 30)


# ---------------------------------------------------------------- raw frames

def raw_zstd_frame(data, content_size=True, level=None):
    """A Zstandard frame of raw blocks: magic, a single-segment header with
    a 4-byte content size, then blocks of at most 128 KiB stored as they
    are (the last one flagged)."""
    del content_size, level  # the frame always declares its size
    out = bytearray(struct.pack("<IBI", 0xFD2FB528, 0xA0, len(data)))
    chunks = [data[i:i + 131072] for i in range(0, len(data), 131072)] or [b""]
    for k, chunk in enumerate(chunks):
        last = 1 if k == len(chunks) - 1 else 0
        out += struct.pack("<I", (len(chunk) << 3) | last)[:3] + chunk
    return bytes(out)


@contextlib.contextmanager
def raw_frames():
    """The writer writes raw-block frames while this lasts."""
    saved = writer_values.zstd_frame
    writer_values.zstd_frame = raw_zstd_frame
    try:
        yield
    finally:
        writer_values.zstd_frame = saved


# ---------------------------------------------------------------- functions

def qual(detector=MS, **fields):
    return w.function_description(True, w.qual_description(detector_type=detector, **fields))


def quan(version=NEWEST, **fields):
    return w.function_description(False, w.quan_description(version=version, **fields))


def ms_spectra(blocks, version=NEWEST, ms_level=1, **fields):
    """(description, block) per block, at retention times 0.5, 1.0, ..."""
    return [(w.spectrum_description(retention_time=0.5 * (k + 1), ms_level=ms_level, polarity=1,
                                    totals=(100.0 + k, 200.5, 40.0 + k), version=version, **fields), block)
            for k, block in enumerate(blocks)]


def plain_spectrum(k=0):
    return w.spectrum_block(w.spectrum_plain([100.5 + k, 200.5, 300.25], [10.0 + k, 40.0, 5.0]))


def every_kind(version):
    """One function of each analysis kind, small."""
    dad_spectra = [(w.spectrum_description(retention_time=0.5 * (k + 1), version=version),
                    w.spectrum_block(w.dad_plain([1.0 + k, 2.0, 3.0]))) for k in range(2)]
    return [
        (qual(supplemental_properties={"Scan": "full"}), ms_spectra([plain_spectrum(k) for k in range(3)], version)),
        (qual(DAD, wavelength_arr=[200.0, 210.0, 220.0]), dad_spectra),
        (quan(version, compound_name="Caffeine", q1=195.1, q3=138.0, quan_analysis_type=SRM, detector_type=MS,
              polarity_type=1, collision_energy=20.0, supplemental_properties={"Unit": "ng/mL"}),
         w.chromatogram_block(w.chromatogram_plain([0.5, 1.0, 1.5], [10.0, 250.0, 40.0]))),
        (quan(version, compound_name="Theophylline", extract_value=181.1, extract_tolerance=0.5,
              quan_analysis_type=SIM, detector_type=MS),
         w.chromatogram_block(w.chromatogram_efficient(0, [50, 50, 50], [1, 2, 3], rt_power=2))),
        (quan(version, compound_name="Pump A", detector_type=ANALOG),
         w.chromatogram_block(w.chromatogram_zstd([0.25, 0.75], [100.0, 101.5]))),
    ]


def one_measurement(functions, version=NEWEST, **file_options):
    return w.measurement_file(version, [(w.measurement_description("m0", sample_name="S"), functions)],
                              **file_options)


# ---------------------------------------------------------------- the seeds

def version_seeds():
    """Every analysis kind in every version, with and without the digest."""
    for version in VERSIONS:
        name = "v%d.%d.%d" % version
        options = {}
        if version[1] >= 1:
            options["user_info"] = b"user"
        if version[1] >= 3:
            options["options"] = w.conversion_options(desired_analysis_type_id=15, keep_profile_spectra=True,
                                                      mz_accuracy_power=4, keep_last_ms_function_in_mse=False)
            options["lib_version"] = (2, 1, 7)
        measurements = [(w.measurement_description("m0", sample_name="Plasma", sample_id="P-1"), every_kind(version)),
                        (w.measurement_description("m1"), [])]
        yield name, w.measurement_file(version, measurements, **options), True
        yield name + "-digest", w.measurement_file(version, measurements, option=1, **options), False


def ms_codec_seeds():
    """One MS analysis per segment kind, a spectrum per option."""
    sciex_deltas, sciex_values = [100, 3, 2, 10], [5, 6, 7, 8]
    agilent_cf = [0.35, 12.5, 1e-3, 2e-7, -3e-11, 4e-15, 1e-19, -2e-23, 20.0, 9000.0]
    kinds = {
        "ms40-plain": [w.spectrum_plain([100.5, 200.5], [1.0, 2.0])],
        "ms41-zstd": [w.spectrum_zstd([100.5, 200.5], [1.0, 2.0])],
        "ms42-coefficients": [w.spectrum_mz_coefficients(0.0, 0.5, 100.0, [0, 4, -2], [1.0, 2.0, 3.0])],
        "ms43-sciex": [w.spectrum_sciex(0.5, 2.0, 1.0, [10, 2], [1.0, 2.0])],
        "ms50-double": [w.spectrum_double([100.125, 200.25], [0.5, 7.0])],
        "ms52-efficient": [
            w.spectrum_efficient(option, [100.0, 100.5] if option in (2, 3) else [10000, 25, -5],
                                 [7, 0] if option in (2, 3) else [7, 0, 3], mz_power=2, intensity_power=1)
            for option in range(8)],
        "ms53-mz-efficient": [w.spectrum_mz_efficient(option, 0.0, 0.5, 100.0, [0, 4, -2], [1, 2, 3],
                                                      intensity_power=1) for option in range(4)],
        "ms54-sciex-efficient": [
            w.spectrum_sciex_efficient(option, 0.5, 2.0, 1.0, sciex_deltas, sciex_values, intensity_power=1,
                                       min_index_diff=2) for option in range(8)],
        "ms56-agilent": [w.spectrum_agilent(option, agilent_cf, [0, 100, 100], [1, 2, 3], index_power=1, t0=25,
                                            min_diff=1) for option in range(2)],
    }
    for name, segments in kinds.items():
        blocks = [w.spectrum_block(segment) for segment in segments]
        yield name, one_measurement([(qual(), ms_spectra(blocks))]), True
    # Several segments in one block.
    multi = w.spectrum_block(*kinds["ms40-plain"], *kinds["ms50-double"], kinds["ms52-efficient"][0])
    yield "ms-segments", one_measurement([(qual(), ms_spectra([multi, w.spectrum_block()]))]), True
    # Segments of several frames, and frames with a checksum.
    content = w.float_pairs_content([100.5, 200.5, 300.5], [1.0, 2.0, 3.0])
    frames = [w.zstd_frame(content) + w.zstd_frame(b"") + w.skippable_frame(b"seed"),
              w.zstd_frame(content[:7], content_size=False) + w.zstd_frame(content[7:]),
              w.zstd_frame(content, checksum=True)]
    blocks = [w.spectrum_block(w.symbol(w.SPECTRUM_ZSTD_COMPRESSION) + w.compressed_segment(frame=f)) for f in frames]
    yield "ms-frames", one_measurement([(qual(), ms_spectra(blocks))]), False


def dad_seeds():
    axis = dict(wavelength_arr=[200.0, 205.0, 210.0, 215.0])
    plain = [w.spectrum_block(w.dad_plain([1.0, 2.0, 4.0, 3.0])), w.spectrum_block(w.dad_plain([2.0]),
                                                                                    w.dad_plain([5.0, 1.0, 0.5]))]
    efficient = [w.spectrum_block(w.dad_efficient(option, [15, -3, 4, 8], intensity_power=1)) for option in range(4)]
    for name, blocks, fields in (("dad51-plain", plain, axis), ("dad55-efficient", efficient, axis),
                                 ("dad-without-axis", [plain_spectrum(0), plain_spectrum(1)], {})):
        spectra = [(w.spectrum_description(retention_time=0.25 * (k + 1)), block) for k, block in enumerate(blocks)]
        yield name, one_measurement([(qual(DAD, **fields), spectra)]), True


def chromatogram_seeds():
    traces = {
        "chrom45-plain": [w.chromatogram_plain([0.5, 1.0], [1.0, 2.0])],
        "chrom46-zstd": [w.chromatogram_zstd([0.5, 1.0], [1.0, 2.0])],
    }
    for option in range(10):
        times = [1.5, 2.5] if option in (2, 3) else [100, 5]
        traces[f"chrom47-option{option}"] = [w.chromatogram_efficient(option, times, [7, 3], rt_power=2,
                                                                      intensity_power=1)]
    for name, segments in traces.items():
        block = w.chromatogram_block(*segments)
        functions = [(quan(compound_name="C", quan_analysis_type=SRM, detector_type=MS, q1=1.5, q3=2.5), block),
                     (quan(compound_name="Trace", detector_type=ANALOG), block)]
        yield name, one_measurement(functions), True


def condition_seeds():
    """Stored condition lists with every maker's and scan condition, and
    conditions derived from the spectra with the makers' keys."""
    cores = [
        w.core_condition(ms_level=1, polarity=1, mass_range=(100.0, 1000.0), original_measured_spectrum_type=2,
                         vendor_specific_additional_condition=w.vendor_condition(type=AGILENT, cone_voltage=135.0)),
        w.core_condition(ms_level=2, collision_energy=35.0, polarity=2,
                         vendor_specific_additional_condition=w.vendor_condition(
                             type=SCIEX, original_id=3, cone_voltage=80.0),
                         triple_q_scan_condition=w.triple_q_scan_condition(type=PRECURSOR, target_mz=184.1,
                                                                           q1_range=(400.0, 900.0))),
        w.core_condition(ms_level=2, vendor_specific_additional_condition=w.vendor_condition(
            type=SHIMADZU, original_id=7), triple_q_scan_condition=w.triple_q_scan_condition(
            type=PRODUCT, target_mz=500.2, q3_range=(50.0, 500.0))),
        w.core_condition(vendor_specific_additional_condition=w.vendor_condition(
            type=THERMO, cone_voltage=10.0, scan_info_string="FTMS + p ESI Full ms"),
            triple_q_scan_condition=w.triple_q_scan_condition(type=NEUTRAL_LOSS, target_mz=98.0,
                                                              q1_range=(100.0, 200.0), q3_range=(2.0, 102.0))),
        w.core_condition(polarity=3, vendor_specific_additional_condition=w.vendor_condition(
            type=WATERS, original_id=2, cone_voltage=30.0),
            triple_q_scan_condition=w.triple_q_scan_condition(type=NEUTRAL_GAIN, target_mz=18.0)),
    ]
    conditions = [w.acquisition_condition(internal_acquisition_core_condition_index=k, precursor_value=500.25,
                                          precursor_range=(499.0, 502.0), product_indices=[1, 2])
                  for k in range(len(cores))]
    stored = qual(unique_acquisition_core_condition_list=cores, unique_acquisition_condition_list=conditions)
    spectra = [(w.spectrum_description(retention_time=0.5 * (k + 1), acquisition_condition_index=k % len(cores),
                                       totals=(10.0, 150.0, 5.0)), plain_spectrum(k)) for k in range(len(cores))]
    yield "conditions-stored", one_measurement([(stored, spectra)]), True

    makers = [{"FragmentorVoltage": "135"}, {"In-SourceCID": "10"}, {"ConeVoltage": "30"}, {}]
    derived = [(w.spectrum_description(
        retention_time=0.5 * (k + 1), ms_level=1 + k % 2, polarity=1 + k % 2,
        **({"collision_energy": 25.0} if k % 2 else {}), cone_voltage=30.0, precursor_value=400.5, precursor_index=0,
        product_indices=[1], spectrum_type=3,
        precursor_range=(400.0, 401.0), mass_range=(50.0, 1000.0), is_profile_spectrum_measured=k % 2 == 0,
        supplemental_properties=makers[k], totals=(10.0, 150.0, 5.0)), plain_spectrum(k)) for k in range(4)]
    yield "conditions-derived", one_measurement([(qual(), derived)]), True


def spectrum_description(k, *items, **fields):
    fields.setdefault("retention_time", 0.5 * (k + 1))
    return w.spectrum_description(*items, ms_level=1, polarity=1, totals=(10.0, 150.0, 5.0), **fields)


def other_seeds():
    profiles = [w.spectrum_block(w.spectrum_plain([100.0, 100.1, 100.2], [1.0, 5.0, 1.0])) for _ in range(2)]
    spectra = [(spectrum_description(k), plain_spectrum(k)) for k in range(2)]
    yield "profiles", one_measurement([(qual(), w.WithProfiles(spectra, profiles))]), True

    no_times = [(w.spectrum_description(ms_level=1), plain_spectrum(k)) for k in range(2)]
    yield "no-retention-times", one_measurement([(qual(), no_times), (qual(DAD), no_times)]), True

    # Supplemental lists long enough to be looked up by key, with a key
    # given twice; a quantitative function that stores its transition flag.
    many = [("Key%d" % k, str(k)) for k in range(20)] + [("Key3", "again")]
    long_spectra = [(spectrum_description(k, supplemental_properties=many), plain_spectrum(k)) for k in range(2)]
    transition = quan(compound_name="T", q1=1.5, q3=2.5, quan_analysis_type=SRM, detector_type=MS,
                      is_quan_transition=True, supplemental_properties=many)
    yield "long-supplemental", one_measurement(
        [(qual(supplemental_properties=many), long_spectra),
         (transition, w.chromatogram_block(w.chromatogram_plain([0.5], [1.0])))]), True

    description = w.measurement_description(
        "hash-1", sample_name="Plasma 2", sample_id="P-2", acquisition_method_file_name="m.meth",
        dilution_factor=2.0, injection_volume=5.0, original_file_path="C:\\data\\run.raw",
        instrument_product_name="Q-TOF", measurement_user_name="analyst", plate_code="P1", well_code="A1",
        measurement_date_time=WHEN, instrument_manufacturer=5, source_file_definition="raw",
        supplemental_properties={"Batch": "7", "Operator": "\u00e9"})
    utc = w.measurement_description("hash-2", (11, w.datetime_value(WHEN, utc=True)), instrument_manufacturer=0)
    yield "measurement-fields", w.measurement_file(NEWEST, [(description, []), (utc, [])]), True


# ---------------------------------------------------------------- richer records

def skipped_values():
    """One value of every kind that a record passes over under a property
    id it does not know: small numbers and boolean bytes, strings of every
    header (ASCII and UTF-8), a block symbol, every fixed-width number,
    naive and UTC date-times, and collections of every tag with an empty
    segment and one of a length that is no multiple of any element width."""
    return [
        w.tiny_uint(5), w.tiny_uint(0x38), w.boolean(True), w.boolean(False), w.mini_uint(4095),
        w.short_string(""), w.short_string("unknown"), w.string11("skip"), w.string11("\u00e9t\u00e9", utf8=True),
        w.string16("skip"), w.string16("\u00e9", utf8=True), w.string32("skip"), w.string32("\u00e9", utf8=True),
        w.symbol(w.BEGIN_OF_SPECTRUM), w.int16(-2), w.uint16(65535), w.int32(-3), w.uint32(3), w.int64(-4),
        w.uint64(2**64 - 1), w.single(0.5), w.double(-0.25), w.datetime_value(WHEN),
        w.datetime_value(WHEN, utc=True),
    ] + [w.collection(tag, b"", bytes(range(1, 6))) for tag in range(0xE0, 0xE8)]


def with_unknown(table, fields):
    """The (key, value) items of `fields` with the skipped values under ids
    that `table` does not know, half of them before the fields and half
    after."""
    known = {prop_id for prop_id, _ in table.values()}
    unknown = [i for i in range(56) if i not in known]
    pairs = [(unknown[(7 * k) % len(unknown)], value) for k, value in enumerate(skipped_values())]
    half = len(pairs) // 2
    return pairs[:half] + list(fields.items()) + pairs[half:]


def unknown_property_seeds():
    """Every record (measurement, qualitative, quantitative and spectrum
    descriptions, both condition lists with their vendor and scan records,
    the conversion options) with properties it does not know of every
    value kind, among those it knows."""
    def vendor(**fields):
        return w.vendor_condition(*with_unknown(w.VENDOR_CONDITION, fields))

    def scan(**fields):
        return w.triple_q_scan_condition(*with_unknown(w.TRIPLE_Q_SCAN_CONDITION, fields))

    cores = [w.core_condition(*with_unknown(w.CORE_CONDITION, dict(
                 ms_level=2, collision_energy=30.0, polarity=1, mass_range=(50.0, 900.0),
                 original_measured_spectrum_type=3,
                 vendor_specific_additional_condition=vendor(type=SCIEX, original_id=4, cone_voltage=60.0),
                 triple_q_scan_condition=scan(type=NEUTRAL_LOSS, target_mz=98.0, q1_range=(200.0, 600.0),
                                              q3_range=(102.0, 502.0))))),
             w.core_condition(*with_unknown(w.CORE_CONDITION, dict(
                 ms_level=1, vendor_specific_additional_condition=vendor(type=THERMO, scan_info_string="ms"))))]
    conditions = [w.acquisition_condition(*with_unknown(w.ACQUISITION_CONDITION, dict(
                      internal_acquisition_core_condition_index=k, precursor_value=400.5,
                      precursor_range=(400.0, 401.0), product_indices=[k]))) for k in (0, 1)]
    ms = w.function_description(True, w.qual_description(*with_unknown(w.QUAL_DESCRIPTION, dict(
        detector_type=MS, unique_acquisition_core_condition_list=cores, unique_acquisition_condition_list=conditions,
        supplemental_properties={"Scan": "all"}))))
    spectra = [(w.spectrum_description(*with_unknown(w.SPECTRUM_DESCRIPTION, dict(
                    retention_time=0.5 * (k + 1), ms_level=1 + k % 2, polarity=1, acquisition_condition_index=k % 2,
                    precursor_index=0, product_indices=[1], supplemental_properties={"Scan": str(k)})),
                    totals=(10.0 + k, 150.0, 5.0)), plain_spectrum(k)) for k in range(3)]
    dad = w.function_description(True, w.qual_description(*with_unknown(w.QUAL_DESCRIPTION, dict(
        detector_type=DAD, wavelength_arr=[200.0, 210.0, 220.0]))))
    dad_spectra = [(w.spectrum_description(*with_unknown(w.SPECTRUM_DESCRIPTION, dict(retention_time=0.5 * (k + 1)))),
                    w.spectrum_block(w.dad_plain([1.0 + k, 4.0, 2.0]))) for k in range(2)]
    functions = [(ms, spectra), (dad, dad_spectra)]
    for quan_fields in (dict(compound_name="Caffeine", q1=195.1, q3=138.0, quan_analysis_type=SRM, detector_type=MS,
                             is_quan_transition=True, supplemental_properties={"Unit": "ng/mL"}),
                        dict(compound_name="Pump A", detector_type=ANALOG)):
        quan_description = w.quan_description(*with_unknown(w.QUAN_DESCRIPTION, quan_fields))
        functions.append((w.function_description(False, quan_description),
                          w.chromatogram_block(w.chromatogram_plain([0.5, 1.0], [10.0, 20.0]))))
    description = w.measurement_description("hash-u", *with_unknown(w.MEASUREMENT_DESCRIPTION, dict(
        sample_name="S", measurement_date_time=WHEN, instrument_manufacturer=2, supplemental_properties={"A": "1"})))
    options = w.conversion_options(*with_unknown(w.CONVERSION_OPTIONS, dict(
        keep_profile_spectra=True, desired_quan_analysis_type_id=4095, keep_last_ms_function_in_mse=True,
        mz_accuracy_power=4)))
    yield "unknown-properties", w.measurement_file(NEWEST, [(description, functions)], options=options,
                                                   user_info=b"u"), True


def absent_record_seeds():
    """Records without their optional parts: a measurement description of
    its hash alone, function descriptions without properties (a
    qualitative one is a DAD analysis without an axis, a quantitative one
    an analog trace), spectrum descriptions without properties or totals,
    empty core conditions and empty vendor and scan records, empty
    condition lists, an empty wavelength axis, data blocks without
    segments."""
    bare = [(w.spectrum_description(), plain_spectrum(0)), (w.spectrum_description(), w.spectrum_block())]
    timed = [(w.spectrum_description(retention_time=0.5 * (k + 1)), plain_spectrum(k)) for k in range(2)]
    empty_cores = [w.core_condition(), w.core_condition(vendor_specific_additional_condition=w.vendor_condition(),
                                                        triple_q_scan_condition=w.triple_q_scan_condition())]
    empty_conditions = [w.acquisition_condition(), w.acquisition_condition(internal_acquisition_core_condition_index=1)]
    functions = [
        (w.function_description(True), bare + timed),
        (qual(unique_acquisition_core_condition_list=empty_cores, unique_acquisition_condition_list=empty_conditions),
         [(w.spectrum_description(retention_time=0.5, acquisition_condition_index=1), plain_spectrum(0))] + bare),
        (qual(unique_acquisition_core_condition_list=[], unique_acquisition_condition_list=[]), []),
        (qual(), bare + timed),
        (qual(DAD, wavelength_arr=[]), [(d, w.spectrum_block(w.dad_plain([1.0, 2.0]))) for d, _ in timed]),
        (w.function_description(False), w.chromatogram_block()),
        (quan(detector_type=MS), w.chromatogram_block(w.chromatogram_plain([], []))),
    ]
    measurements = [(w.measurement_description(""), functions), (w.measurement_description(""), [])]
    yield "absent-records", w.measurement_file(NEWEST, measurements), True


def unlinked_condition_seeds():
    """Qualitative descriptions with one condition list but not the other:
    stored conditions without a core-condition list (an MS analysis then
    fails to build its conditions, a DAD analysis does not build them),
    a core-condition list without conditions (the conditions then come
    from the spectra), and both lists with the conditions stored first."""
    conditions = [w.acquisition_condition(internal_acquisition_core_condition_index=k, precursor_value=300.5)
                  for k in (0, 1)]
    cores = [w.core_condition(ms_level=1, polarity=1), w.core_condition(ms_level=2, collision_energy=20.0)]
    spectra = [(w.spectrum_description(retention_time=0.5 * (k + 1), ms_level=1 + k % 2, polarity=1,
                                       acquisition_condition_index=k % 2, totals=(10.0, 150.0, 5.0)),
                plain_spectrum(k)) for k in range(3)]
    dad_spectra = [(w.spectrum_description(retention_time=0.5), w.spectrum_block(w.dad_plain([1.0, 2.0])))]
    reversed_lists = w.function_description(True, w.qual_description(
        ("unique_acquisition_condition_list", conditions), ("unique_acquisition_core_condition_list", cores),
        detector_type=MS))
    functions = [
        (qual(unique_acquisition_condition_list=conditions), spectra),
        (qual(unique_acquisition_core_condition_list=cores), spectra),
        (reversed_lists, spectra),
        (qual(DAD, wavelength_arr=[200.0, 210.0], unique_acquisition_condition_list=conditions), dad_spectra),
    ]
    yield "conditions-without-cores", one_measurement(functions), True


def split(tag, pack, values, width, surplus=()):
    """An array of `values` (then `surplus`) in segments: an empty one, the
    first value alone under a length that declares width - 1 bytes more
    than it holds (only whole elements count), then the rest."""
    values = list(values) + list(surplus)
    first = pack(values[:1])
    return w.collection(tag, b"", first, pack(values[1:]), lengths=[None, len(first) + width - 1])


def split_offsets(offsets):
    """Index block offsets split, with two surplus entries after those the
    count asks for."""
    return split(w.INT64_ARRAY, w.int64_elements, offsets, 8, surplus=(0, 1 << 40))


def split_array_seeds():
    """The offset arrays of the function and spectrum index blocks (with
    profile offsets) split into segments, padded and followed by surplus
    entries; product indices and the wavelength axis split likewise; the
    measurement and function counts as UInt32."""
    def indices(values):
        return split(w.INT32_ARRAY, w.int32_elements, values, 4)

    conditions = [w.acquisition_condition((4, indices([1, 2, 3])), precursor_value=500.25),
                  w.acquisition_condition((4, indices([])), internal_acquisition_core_condition_index=1)]
    cores = [w.core_condition(ms_level=1), w.core_condition(ms_level=2, collision_energy=25.0)]
    spectra = [(spectrum_description(k, *[(7, indices(list(range(k))))], acquisition_condition_index=k % 2),
                plain_spectrum(k)) for k in range(3)]
    profiles = [w.spectrum_block(w.spectrum_plain([100.0 + k, 100.1 + k], [1.0, 5.0])) for k in range(3)]
    dad = w.function_description(True, w.qual_description(
        (1, split(w.SINGLE_ARRAY, w.single_elements, [200.0, 205.0, 210.0, 215.0], 4)), detector_type=DAD))
    dad_spectra = [(w.spectrum_description(retention_time=0.25 * (k + 1)),
                    w.spectrum_block(w.dad_plain([1.0, 2.0 + k, 4.0]))) for k in range(2)]
    functions = [
        (qual(unique_acquisition_core_condition_list=cores, unique_acquisition_condition_list=conditions),
         w.WithProfiles(spectra, profiles)),
        (dad, dad_spectra),
        (quan(compound_name="C", quan_analysis_type=SRM, detector_type=MS, q1=1.5, q3=2.5),
         w.chromatogram_block(w.chromatogram_plain([0.5, 1.0], [1.0, 2.0]))),
    ]
    measurements = [(w.measurement_description("m0"), functions), (w.measurement_description("m1"), functions[1:])]
    yield "split-arrays", w.measurement_file(NEWEST, measurements, array=split_offsets, wide=True), True


def seeds():
    yield from version_seeds()
    yield from ms_codec_seeds()
    yield from dad_seeds()
    yield from chromatogram_seeds()
    yield from condition_seeds()
    yield from other_seeds()
    yield from unknown_property_seeds()
    yield from absent_record_seeds()
    yield from unlinked_condition_seeds()
    yield from split_array_seeds()


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    written = 0
    for name, data, _also_raw in seeds():
        with open(os.path.join(out, name + ".zarn"), "wb") as f:
            f.write(data)
        written += 1
    # The raw-frame variants, made by the same generators.
    with raw_frames():
        for name, data, also_raw in seeds():
            if also_raw:
                with open(os.path.join(out, name + "-raw.zarn"), "wb") as f:
                    f.write(data)
                written += 1
    print(f"{written} seeds in {out}")


if __name__ == "__main__":
    main(sys.argv)

"""The codecs of the efficient MS segment kinds: the efficient codec (52),
the m/z-coefficient codec (53), the SCIEX codec with its zero-point rebuild
(54) and the Agilent codec (56)."""

import random
import struct

import pytest

import zarnwriter as w
from kit.blocks import efficient_case, expect, in_segment, points, quadratic, read_block, scaled, sciex
from kit.reader import call, field
from zarn_data_access.exception import ZarnException

OPTION_ERROR = "Spectrum compression option is not correct. Value = "


def read(make_reader, *segments):
    return points(read_block(make_reader, w.spectrum_block(*segments), "read_spectrum"))


def bits(values):
    return [struct.pack("<d", v) for v in values]


# --- efficient codec (kind 52) --------------------------------------------

def test_efficient_option_0_example(make_reader):
    result = read(make_reader, w.spectrum_efficient(0, [10000, 25, -5], [7, 0, 3], mz_power=2))
    assert result == expect([(100.0, 7), (100.25, 0), (100.2, 3)])


def test_efficient_power_0_gives_float_sums(make_reader):
    result = read(make_reader, w.spectrum_efficient(0, [5, -7], [1, 2]))
    assert result == expect([(5.0, 1), (-2.0, 2)])


VALUES = {0: "int", 1: "float", 2: "int", 3: "float"}


@pytest.mark.parametrize("option", range(8))
def test_every_efficient_option(make_reader, option):
    _, mz_array, intensity_array = w.SPECTRUM_OPTIONS[option]
    mz, intensities, mz_power, intensity_power, expected = efficient_case(
        option, mz_array, intensity_array, VALUES.get(option, "scaled"))
    segment = w.spectrum_efficient(option, mz, intensities, mz_power=mz_power, intensity_power=intensity_power)
    assert read(make_reader, segment) == expected


@pytest.mark.parametrize("option, kwargs, expected_mz, expected_intensity", [
    (4, {"mz_power": 4, "intensity_power": 1}, 1.2345, 0.7),
    (5, {"mz_power": 4, "intensity_power": 1}, 1.2345, 0.7),
    (0, {"mz_power": 65535}, 0.0, 7),
    (1, {"mz_power": 320}, 1.2345e-316, 7.0),
])
def test_efficient_powers(make_reader, option, kwargs, expected_mz, expected_intensity):
    result = read(make_reader, w.spectrum_efficient(option, [12345], [7], **kwargs))
    assert result == expect([(expected_mz, expected_intensity)])
    assert bits([result[0][1]]) == bits([expected_mz])


# --- m/z-coefficient codec (kind 53) --------------------------------------

@pytest.mark.parametrize("option", range(4))
def test_every_mz_efficient_option(make_reader, option):
    rng = random.Random(option)
    a, b, c = rng.uniform(0, 1e-8), rng.uniform(0, 0.01), rng.uniform(50, 100)
    deltas = [rng.randrange(-(2**31), 2**31) for _ in range(40)]
    wide = option in (1, 3)
    intensities = [rng.randrange(-(2**63), 2**63) if wide else rng.randrange(-(2**31), 2**31) for _ in range(40)]
    power = rng.randrange(0, 64)
    expected_intensities = {0: intensities, 1: [float(v) for v in intensities]}.get(
        option, scaled(intensities, power))
    mz = [quadratic(a, b, c, k) for k in w.running_sums(deltas)]
    result = read(make_reader, w.spectrum_mz_efficient(option, a, b, c, deltas, intensities, intensity_power=power))
    assert result == expect(zip(mz, expected_intensities))


def test_mz_efficient_identity_coefficients(make_reader):
    result = read(make_reader, w.spectrum_mz_efficient(0, 0.0, 1.0, 0.0, [3, 4, -10], [1, 2, 3]))
    assert result == expect([(3.0, 1), (7.0, 2), (-3.0, 3)])


@pytest.mark.parametrize("kind, content", [
    (w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION, w.efficient_spectrum_content(4, [], [], mz_power=1)),
    (w.SPECTRUM_MZ_AND_ZSTD_EFFICIENT_COMPRESSION, w.mz_efficient_content(3, 1.0, 1.0, 1.0, [], [])),
    (w.SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION, w.sciex_efficient_content(7, 1.0, 1.0, 1.0, [], [])),
    (w.SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION, w.agilent_content(1, [0.0] * 10, [], [])),
])
def test_codecs_with_no_points(make_reader, kind, content):
    assert read(make_reader, w.compressed(kind, content)) == []
    r, result = in_segment(make_reader, content, {
        52: "read_zstd_efficient_spectrum", 53: "read_efficient_mz_compressed_spectrum",
        54: "read_efficient_sciex_spectrum", 56: "read_efficient_agilent_spectrum"}[kind])
    assert result == [] and field(r, "local_position") == len(content)


# --- SCIEX codec (kind 54) ------------------------------------------------

def test_sciex_mass_example(make_reader):
    r = make_reader(b"")
    assert call(r, "get_sciex_mass", 10, 0.5, 2.0, 1.0) == 16.0
    assert r._KxmFileReader__get_sciex_mass(bin_index=10, ca=0.5, t0=2.0, resolution=1.0) == 16.0
    # Other numbers take the interpreter's arithmetic.
    assert call(r, "get_sciex_mass", 10, 1, 2, 1) == 64 and type(call(r, "get_sciex_mass", 10, 1, 2, 1)) is int


def test_add_zero_worked_example(make_reader):
    r = make_reader(b"")
    index_arr, intensity_arr = [0] * 10, [0] * 10
    assert call(r, "add_zero", 2, [100, 3, 2, 10], [5, 6, 7, 8], index_arr, intensity_arr) is None
    assert index_arr == [98, 2, 2, -1, 2, 2, 2, 6, 2, 2]
    assert intensity_arr == [0, 5, 0, 0, 6, 7, 0, 0, 8, 0]
    assert w.running_sums(index_arr) == [98, 100, 102, 101, 103, 105, 107, 113, 115, 117]


def test_add_zero_writes_in_place_until_a_list_ends(make_reader):
    r = make_reader(b"")
    index_arr, intensity_arr = [9] * 3, [9] * 3
    with pytest.raises(IndexError):
        call(r, "add_zero", 2, [100, 3], [5, 6], index_arr, intensity_arr)
    assert index_arr == [98, 2, 2] and intensity_arr == [0, 5, 0]
    with pytest.raises(IndexError):
        call(r, "add_zero", 2, [], [], [0] * 4, [0] * 4)


def test_sciex_zero_fill_worked_example(make_reader):
    result = read(make_reader, w.spectrum_sciex_efficient(0, 0.5, 2.0, 1.0, [100, 3, 2, 10], [5, 6, 7, 8],
                                                          min_index_diff=2, original_num_points=10))
    bins = [98, 100, 102, 101, 103, 105, 107, 113, 115, 117]
    assert result == expect(zip([sciex(0.5, 2.0, 1.0, b) for b in bins], [0, 5, 0, 0, 6, 7, 0, 0, 8, 0]))


@pytest.mark.parametrize("f, g, d, original, bins, intensities", [
    # One kept point: a zero point d bins before and one d bins after.
    ([50], [9], 3, 3, [47, 50, 53], [0, 9, 0]),
    # A difference of d inserts nothing; d + 1 inserts two, middle delta 1 - d.
    ([50, 3, 4], [1, 2, 3], 3, 7, [47, 50, 53, 56, 54, 57, 60], [0, 1, 2, 0, 0, 3, 0]),
    # More entries than needed: trailing zero points on the last bin, up to
    # twice the entries that the kept points fill.
    ([50], [9], 3, 5, [47, 50, 53, 53, 53], [0, 9, 0, 0, 0]),
    ([50], [9], 3, 6, [47, 50, 53, 53, 53, 53], [0, 9, 0, 0, 0, 0]),
    ([50, 3, 4], [1, 2, 3], 3, 14, [47, 50, 53, 56, 54, 57, 60] + [60] * 7, [0, 1, 2, 0, 0, 3, 0] + [0] * 7),
])
def test_sciex_zero_fill_cases(make_reader, f, g, d, original, bins, intensities):
    result = read(make_reader, w.spectrum_sciex_efficient(0, 1.0, 0.0, 1.0, f, g, min_index_diff=d,
                                                          original_num_points=original))
    assert result == expect(zip([float(b * b) for b in bins], intensities))


@pytest.mark.parametrize("option", range(8))
def test_every_sciex_option(make_reader, option):
    rng = random.Random(option + 100)
    a, b, c = rng.uniform(1e-4, 1e-3), rng.uniform(0, 5), rng.uniform(0.5, 2)
    d = rng.randrange(1, 5)
    f = [rng.randrange(10000, 20000)] + [rng.choice([1, d, d + 1, 2 * d, 50]) for _ in range(30)]
    wide = option % 2 == 1
    width = 64 if wide else 32
    g = [rng.randrange(-(2**(width - 1)), 2**(width - 1)) for _ in f]
    p = rng.randrange(0, 64)
    zero_filled = option in (0, 1, 4, 5)
    if zero_filled:
        original = w.zero_filled_count(f, d)
        index_arr, stored = [0] * original, [0] * original
        call(make_reader(b""), "add_zero", d, f, g, index_arr, stored)
    else:
        index_arr, stored = f, g
    convert = {0: int, 2: int, 1: float, 3: float}.get(option, lambda v: v / 10**p)
    expected = [(sciex(a, b, c, k), convert(v)) for k, v in zip(w.running_sums(index_arr), stored)]
    result = read(make_reader, w.spectrum_sciex_efficient(option, a, b, c, f, g, intensity_power=p, min_index_diff=d))
    assert result == expect(expected)


def test_sciex_options_below_4_carry_no_power(make_reader):
    content = w.sciex_efficient_content(2, 1.0, 0.0, 1.0, [3], [4])
    assert content[1] == w.DOUBLE
    assert read(make_reader, w.compressed(w.SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION, content)) == \
        expect([(9.0, 4)])
    assert read(make_reader, w.spectrum_sciex_efficient(6, 1.0, 0.0, 1.0, [3], [4])) == expect([(9.0, 4.0)])


@pytest.mark.parametrize("content, error, message", [
    (w.sciex_efficient_content(0, 1.0, 0.0, 1.0, [], []), IndexError, None),
    (w.sciex_efficient_content(4, 1.0, 0.0, 1.0, [5, 9], [1, 1], min_index_diff=2, original_num_points=5),
     IndexError, None),
    # The rebuilt length has no bytes behind it: negative and far too large
    # lengths fail before anything is allocated.
    (w.sciex_efficient_content(0, 1.0, 0.0, 1.0, [5], [1], original_num_points=-1), ZarnException,
     "Unable to read current spectrum"),
    (w.sciex_efficient_content(1, 1.0, 0.0, 1.0, [5], [1], original_num_points=2**24 + 1), ZarnException,
     "Unable to read current spectrum"),
    # Beyond twice the entries that the kept points fill (3 here, 7 below).
    (w.sciex_efficient_content(4, 1.0, 0.0, 1.0, [5], [1], original_num_points=7), ZarnException,
     "Unable to read current spectrum"),
    (w.sciex_efficient_content(0, 1.0, 0.0, 1.0, [50, 3, 4], [1, 2, 3], min_index_diff=3, original_num_points=15),
     ZarnException, "Unable to read current spectrum"),
    (w.sciex_efficient_content(5, 1.0, 0.0, 1.0, [5], [1], original_num_points=2**31 - 1), ZarnException,
     "Unable to read current spectrum"),
    (w.sciex_efficient_content(2, 1.0, 0.0, 1.0, [5], [1], num_points=-1), ZarnException,
     "Unable to read current spectrum"),
    (w.sciex_efficient_content(2, 1.0, 0.0, 1.0, [5], [], num_points=1), IndexError, None),
    (w.sciex_efficient_content(0, 1.0, 0.0, 1.0, [5], [], original_num_points=3, num_points=1), IndexError, None),
])
def test_sciex_failures(make_reader, content, error, message):
    r = make_reader(w.spectrum_block(w.compressed(w.SPECTRUM_BY_SCIEX_FORMAT_EFFICIENT_COMPRESSION, content)))
    with pytest.raises(error) as info:
        call(r, "read_spectrum")
    if message is not None:
        assert info.value.args == (message,)


# --- Agilent codec (kind 56) ----------------------------------------------

def agilent_mz(total, index_power, cf):
    time = total / 10**index_power
    s = cf[0] * (time - cf[1])
    val1 = s * s
    if time < cf[8]:
        time = cf[8]
    if cf[9] < time:
        time = cf[9]
    val = 0
    for k in (7, 6, 5, 4, 3, 2):
        val = (val * time + cf[k]) * time
    return val1 - val


@pytest.mark.parametrize("option", [0, 1])
def test_agilent(make_reader, option):
    rng = random.Random(option)
    cf = [0.35, 12.5, 1e-3, 2e-7, -3e-11, 4e-15, 1e-19, -2e-23, 20.0, 9000.0]
    t0, min_diff, index_power, intensity_power = 4_000_000, 37, 3, rng.randrange(0, 5)
    index = [rng.randrange(-(2**31), 2**31)] + [rng.randrange(1, 5000) for _ in range(60)]
    width = 64 if option else 32
    intensities = [rng.randrange(-(2**(width - 1)), 2**(width - 1)) for _ in index]
    totals = [t0 + min_diff * sum(index[1:j + 1]) for j in range(len(index))]
    expected = [(agilent_mz(t, index_power, cf), v / 10**intensity_power) for t, v in zip(totals, intensities)]
    result = read(make_reader, w.spectrum_agilent(option, cf, index, intensities, index_power=index_power,
                                                  intensity_power=intensity_power, t0=t0, min_diff=min_diff))
    assert result == expect(expected)


def test_agilent_clamps_the_polynomial_time_only(make_reader):
    # Point 0 has the time t0 / 10**power; below c8 the square term keeps it.
    cf = [2.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 10.0, 20.0]
    result = read(make_reader, w.spectrum_agilent(0, cf, [0, 100, 100], [1, 2, 3], index_power=1, t0=25, min_diff=1))
    assert [p[1] for p in result] == [(2 * 1.5) ** 2 - 10.0, (2 * 11.5) ** 2 - 12.5, (2 * 21.5) ** 2 - 20.0]
    assert [p[3] for p in result] == [1.0, 2.0, 3.0]
    # c9 below c8: the second test wins.
    cf = [1.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 10.0, 5.0]
    assert read(make_reader, w.spectrum_agilent(0, cf, [0], [1], t0=7))[0][1] == 49.0 - 5.0


def test_agilent_total_beyond_64_bits(make_reader):
    cf = [1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -1e300, 1e300]
    index = [0] + [2**31 - 1] * 6
    min_diff = 2**31 - 1
    totals = [min_diff * (2**31 - 1) * j for j in range(7)]
    assert totals[-1] > 2**64
    result = read(make_reader, w.spectrum_agilent(0, cf, index, [0] * 7, index_power=7, min_diff=min_diff))
    assert [p[1] for p in result] == [(t / 10**7) ** 2 for t in totals]


@pytest.mark.parametrize("content, error", [
    (w.agilent_content(0, [0.0] * 10, [], [])[:-80] + bytes(79), struct.error),
    (w.agilent_content(0, [0.0] * 10, [1], [], num_points=2), IndexError),
    (w.agilent_content(1, [0.0] * 10, [1, 2], [1, 2])[:-1], IndexError),
    (w.agilent_content(0, [0.0] * 10, [], [], num_points=-1), ZarnException),
])
def test_agilent_short_data(make_reader, content, error):
    r = make_reader(w.spectrum_block(w.compressed(w.SPECTRUM_BY_AGILENT_FORMAT_EFFICIENT_COMPRESSION, content)))
    with pytest.raises(error):
        call(r, "read_spectrum")


# --- shared by the codecs -------------------------------------------------

@pytest.mark.parametrize("method, content, option, consumed", [
    # The efficient codec fails right after the option byte, the SCIEX codec
    # after the coefficients and the count, the m/z-coefficient codec after
    # the index array too, the Agilent codec after the index array and the
    # m/z values.
    ("read_zstd_efficient_spectrum", w.efficient_spectrum_content(8, [1], [1], layout=w.SPECTRUM_OPTIONS[0]), 8, 1),
    ("read_efficient_sciex_spectrum", w.tiny_uint(8) + w.double(1.0) + w.double(2.0) + w.double(3.0) + w.int32(1)
     + w.TRUE, 8, 33),
    ("read_efficient_mz_compressed_spectrum", w.mz_efficient_content(4, 1.0, 2.0, 3.0, [1, 2], [5, 6]), 4,
     1 + 27 + 5 + 8),
    ("read_efficient_agilent_spectrum", w.agilent_content(2, [0.0] * 10, [1, 2], [5, 6]), 2, 3 + 15 + 80 + 8),
])
def test_undefined_options(make_reader, method, content, option, consumed):
    r = make_reader(w.compressed_segment(content))
    call(r, "set_decompressed_buffer")
    with pytest.raises(ZarnException) as info:
        call(r, method)
    assert info.value.args == (OPTION_ERROR + str(option),)
    assert field(r, "local_position") == consumed


@pytest.mark.parametrize("segment", [
    w.spectrum_efficient(4, [1, 2], [1], mz_power=1),
    w.spectrum_efficient(2, [1.0], [], num_points=1),
    w.spectrum_mz_efficient(1, 1.0, 1.0, 1.0, [1], [], num_points=1),
    w.spectrum_mz_efficient(0, 1.0, 1.0, 1.0, [], [], num_points=2**31 - 1),
])
def test_short_packed_arrays_raise_index_error(make_reader, segment):
    r = make_reader(w.spectrum_block(segment))
    with pytest.raises(IndexError):
        call(r, "read_spectrum")


def test_short_float_array_of_the_efficient_codec(make_reader):
    r = make_reader(w.spectrum_block(w.compressed(w.SPECTRUM_ZSTD_EFFICIENT_COMPRESSION,
                                                  w.tiny_uint(3) + w.int32(2) + w.float_array([1.0]))))
    with pytest.raises(struct.error):
        call(r, "read_spectrum")


@pytest.mark.parametrize("segment", [
    w.spectrum_efficient(0, [1], [1], num_points=-1),
    w.spectrum_mz_efficient(2, 1.0, 1.0, 1.0, [], [], num_points=-3),
])
def test_negative_counts(make_reader, segment):
    r = make_reader(w.spectrum_block(segment))
    with pytest.raises(ZarnException) as info:
        call(r, "read_spectrum")
    assert info.value.args == ("Unable to read current spectrum",)

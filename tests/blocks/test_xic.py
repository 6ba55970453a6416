"""XicInfo and the range-limited spectrum reads."""

import math
import sys
from fractions import Fraction

import pytest

import zarnwriter as w
from kit.blocks import f32
from kit.reader import call, pos
from zarn_data_access._internal import _testing
from zarn_data_access._internal._reader import XicInfo
from zarn_data_access.common import ValueRange
from zarn_data_access.exception import ZarnException

MS = "read_spectrum_for_multiple_xic"
DAD = "read_dad_spectrum_for_multiple_xic"


def xic(low, high):
    return XicInfo._XicInfo__create_instance(ValueRange(low, high))


def collected(info):
    return [(type(p.x), p.x, type(p.intensity), p.intensity) for p in info._XicInfo__spectrum_point]


def floats(pairs):
    return [(float, x, float, y) for x, y in pairs]


@pytest.fixture
def reader(make_reader):
    return make_reader(b"")


# --- XicInfo --------------------------------------------------------------

def test_construction_is_refused():
    with pytest.raises(Exception) as info:
        XicInfo()
    assert type(info.value) is Exception and info.value.args == ("Inaccessible due to protection level",)
    with pytest.raises(TypeError):
        XicInfo(ValueRange(1, 2))


def test_factory_fields():
    band = ValueRange(1.5, 2.5)
    info = XicInfo._XicInfo__create_instance(band)
    assert list(vars(info)) == ["_XicInfo__minimum_intensity", "_XicInfo__spectrum_point", "_XicInfo__xic",
                                "_XicInfo__mz_range"]
    assert info._XicInfo__mz_range is band
    assert info._XicInfo__minimum_intensity == -sys.float_info.max
    assert type(info._XicInfo__minimum_intensity) is float
    assert info._XicInfo__spectrum_point == [] and info._XicInfo__spectrum_point is info._XicInfo__spectrum_point
    assert info._XicInfo__xic == [] and info._XicInfo__xic is info._XicInfo__xic
    assert info._XicInfo__spectrum_point is not info._XicInfo__xic
    # The flag is the class's until the instance sets its own.
    assert info._XicInfo__is_break_to_read is False and "_XicInfo__is_break_to_read" not in vars(info)
    assert XicInfo._XicInfo__is_break_to_read is False and XicInfo._XicInfo__mz_range is None
    info._XicInfo__is_break_to_read = True
    assert info._XicInfo__is_break_to_read is True and XicInfo._XicInfo__is_break_to_read is False


def test_list_helpers():
    ranges = [ValueRange(1, 2), ValueRange(3, 4)]
    infos = XicInfo._XicInfo__get_xic_list(ranges)
    assert [i._XicInfo__mz_range for i in infos] == ranges and all(type(i) is XicInfo for i in infos)
    lists = XicInfo._XicInfo__get_spectrum_list(infos)
    assert [id(x) for x in lists] == [id(i._XicInfo__xic) for i in infos]


# --- __set_xic_info -------------------------------------------------------

def offer(reader, infos, *points):
    return [call(reader, "set_xic_info", infos, x, y) for x, y in points]


def test_bounds_are_collected_and_beyond_max_passes(reader):
    info = xic(2.0, 4.0)
    assert offer(reader, [info], (1.999, 1.0), (2.0, 1.0), (4.0, 2.0), (4.0000001, 3.0), (3.0, 4.0)) == \
        [False, False, False, True, True]
    assert collected(info) == floats([(2.0, 1.0), (4.0, 2.0)])
    assert info._XicInfo__is_break_to_read is True


def test_points_after_passing_are_ignored(reader):
    info = xic(2, 4)
    offer(reader, [info], (1, 1), (2, 1), (5, 1), (3, 1))
    assert collected(info) == floats([(2.0, 1.0)])


def test_several_ranges(reader):
    a, b = xic(1.0, 3.0), xic(2.0, 5.0)
    assert offer(reader, [a, b], (2.5, 7), (4.0, 8), (6.0, 9)) == [False, False, True]
    assert collected(a) == floats([(2.5, 7.0)])
    assert collected(b) == floats([(2.5, 7.0), (4.0, 8.0)])
    # A range already passed goes on counting as passed.
    assert offer(reader, [a, b], (0.5, 1)) == [True]


def test_empty_list_stops_at_once(reader):
    assert call(reader, "set_xic_info", [], 1.0, 1.0) is True


def test_minimum_intensity(reader):
    info = xic(0, 10)
    offer(reader, [info], (1, -math.inf), (2, -sys.float_info.max), (3, 5))
    assert collected(info) == floats([(2.0, -sys.float_info.max), (3.0, 5.0)])
    info._XicInfo__minimum_intensity = 5
    offer(reader, [info], (4, 4.999), (5, 5.0))
    assert collected(info)[-1] == (float, 5.0, float, 5.0) and len(collected(info)) == 3


def test_bounds_compare_exactly_with_their_own_type(reader):
    big = 2**53 + 1  # no double equals it
    info = xic(big, big + 10)
    offer(reader, [info], (float(2**53), 1.0), (float(2**53 + 2), 1.0))
    assert collected(info) == floats([(float(2**53 + 2), 1.0)])
    info = XicInfo._XicInfo__create_instance(ValueRange(Fraction(1, 3), 2**200))
    offer(reader, [info], (0.3333333333333333, 1.0), (0.33333333333333337, 1.0), (1e60, 2.0))
    assert collected(info) == floats([(0.33333333333333337, 1.0), (1e60, 2.0)])


def test_the_same_xic_info_twice_collects_twice(reader):
    info = xic(0, 10)
    assert offer(reader, [info, info], (1, 1), (2, 2), (11, 0)) == [False, False, True]
    assert collected(info) == floats([(1, 1), (1, 1), (2, 2), (2, 2)])


def test_values_must_be_numbers(reader):
    info = xic(0, 10)
    with pytest.raises(TypeError):
        call(reader, "set_xic_info", [info], "1", 1.0)
    with pytest.raises(TypeError):
        call(reader, "set_xic_info", [info], 1.0, None)
    assert call(reader, "set_xic_info", [info], 3, 4) is False
    assert collected(info) == floats([(3, 4)])


# --- MS range-limited read ------------------------------------------------

SEGMENTS = {
    40: lambda: w.spectrum_plain([1.0, 2.5, 4.0], [10.0, 20.0, 30.0]),
    41: lambda: w.spectrum_zstd([1.0, 2.5, 4.0], [10.0, 20.0, 30.0]),
    42: lambda: w.spectrum_mz_coefficients(0.0, 0.5, 1.0, [0, 3, 3], [1.0, 2.0, 3.0]),
    43: lambda: w.spectrum_sciex(1.0, 0.0, 1.0, [1, 1, 1], [1.0, 2.0, 3.0]),
    50: lambda: w.spectrum_double([1.0, 2.5, 4.0], [0.1, 0.2, 0.3]),
    52: lambda: w.spectrum_efficient(0, [100, 150, 150], [5, 6, 7], mz_power=2),
    53: lambda: w.spectrum_mz_efficient(3, 0.0, 1.0, 0.0, [1, 1, 2], [10, 20, 30], intensity_power=1),
    54: lambda: w.spectrum_sciex_efficient(0, 1.0, 0.0, 1.0, [2], [9], min_index_diff=1),
}


@pytest.mark.parametrize("kind", sorted(SEGMENTS))
def test_every_accepted_kind_offers_the_full_read_points(make_reader, kind):
    data = w.spectrum_block(SEGMENTS[kind](), SEGMENTS[kind]())
    full = call(make_reader(data), "read_spectrum")
    info = xic(-1e9, 1e9)
    r = make_reader(data)
    assert call(r, MS, [info]) is None
    assert pos(r) == len(data)
    assert collected(info) == floats((p.x, float(p.intensity)) for p in full)


def test_agilent_is_refused(make_reader):
    segment = w.spectrum_agilent(0, [0.0] * 10, [1], [1])
    r = make_reader(w.spectrum_block(segment))
    with pytest.raises(ZarnException) as info:
        call(r, MS, [xic(0, 1)])
    assert info.value.args == ("Unable to read current spectrum",)
    assert pos(r) == 5


def test_early_stop_with_segments_left(make_reader):
    first, second = w.spectrum_zstd([1.0, 3.0, 9.0], [1.0, 2.0, 3.0]), w.spectrum_plain([2.0], [1.0])
    r = make_reader(w.spectrum_block(first, second))
    info = xic(2.0, 5.0)
    call(r, MS, [info])
    assert collected(info) == floats([(3.0, 2.0)])
    assert pos(r) == 3 + len(first)  # at the next kind symbol
    assert call(r, "read_zarn_symbol").value == w.SPECTRUM_NO_COMPRESSION


def test_early_stop_in_the_last_segment_confirms_the_end(make_reader):
    data = w.spectrum_block(w.spectrum_plain([1.0, 9.0], [1.0, 2.0]))
    info = xic(0.0, 5.0)
    r = make_reader(data)
    call(r, MS, [info])
    assert pos(r) == len(data)
    r = make_reader(data[:-1] + b"\x10")
    info = xic(0.0, 5.0)
    with pytest.raises(ZarnException) as error:
        call(r, MS, [info])
    assert error.value.args == ("Zarn symbol error",)
    assert collected(info) == floats([(1.0, 1.0)])


def test_empty_ranges_stop_after_one_point(make_reader):
    data = w.spectrum_block(w.spectrum_plain([1.0, 2.0], [1.0, 2.0]), w.spectrum_plain([3.0], [1.0]))
    r = make_reader(data)
    call(r, MS, [])
    assert pos(r) == len(data) - 2 - len(w.spectrum_plain([3.0], [1.0]))


def test_no_segments(make_reader):
    r = make_reader(w.spectrum_block())
    info = xic(0, 1)
    call(r, MS, [info])
    assert collected(info) == [] and pos(r) == 5


def test_failure_keeps_the_points_of_earlier_segments(make_reader):
    data = w.spectrum_block(w.spectrum_plain([1.0], [2.0]), w.dad_plain([1.0]))
    info = xic(0, 5)
    with pytest.raises(ZarnException):
        call(make_reader(data), MS, [info])
    assert collected(info) == floats([(1.0, 2.0)])


def test_a_passed_range_collects_nothing(make_reader):
    info = xic(0, 5)
    info._XicInfo__is_break_to_read = True
    data = w.spectrum_block(w.spectrum_plain([1.0, 2.0], [1.0, 1.0]), w.spectrum_plain([3.0], [1.0]))
    r = make_reader(data)
    call(r, MS, [info])
    assert collected(info) == []
    assert pos(r) == 3 + len(w.spectrum_plain([1.0, 2.0], [1.0, 1.0]))


def test_native_ranges_select_as_the_xic_infos_do(make_reader):
    data = w.spectrum_block(SEGMENTS[52](), SEGMENTS[40]())
    infos = [xic(1.0, 2.0), xic(1.2, 3.0)]
    call(make_reader(data), MS, infos)
    native = _testing.read_spectrum_for_native_ranges(make_reader(data), [(1.0, 2.0), (1.2, 3.0)])
    assert [[(float, x, float, y) for x, y in pts] for pts, _ in native] == [collected(i) for i in infos]
    assert [flag for _, flag in native] == [i._XicInfo__is_break_to_read for i in infos]


# --- DAD range-limited read -----------------------------------------------

@pytest.mark.parametrize("segments, expected", [
    ([], [(210.0, 0.0), (220.0, 0.0)]),
    ([w.dad_plain([1.0])], [(210.0, 0.0), (220.0, 0.0)]),
    ([w.dad_efficient(0, [1, 2, 3]), w.dad_plain([4.0, 5.0])], [(210.0, 2.0), (220.0, 3.0)]),
])
def test_dad_offers_every_wavelength(make_reader, segments, expected):
    data = w.spectrum_block(*segments)
    info = xic(205.0, 225.0)
    r = make_reader(data)
    call(r, DAD, [info], [200.0, 210.0, 220.0])
    assert collected(info) == floats(expected)
    assert pos(r) == len(data)


def test_dad_early_stop_stands_before_the_end_symbol(make_reader):
    data = w.spectrum_block(w.dad_plain([1.0, 2.0, 3.0, 4.0]))
    info = xic(205, 215)
    r = make_reader(data)
    call(r, DAD, [info], [200, 210, 220, 230])
    assert collected(info) == floats([(210.0, 2.0)])
    assert pos(r) == len(data) - 2


def test_dad_reads_every_segment_before_offering(make_reader):
    data = w.spectrum_block(w.dad_plain([1.0]), w.spectrum_plain([1.0], [1.0]))
    info = xic(0, 1000)
    with pytest.raises(ZarnException):
        call(make_reader(data), DAD, [info], [200.0])
    assert collected(info) == []


def test_dad_wavelengths_are_converted_when_offered(make_reader):
    data = w.spectrum_block(w.dad_plain([f32(0.1)]))
    info = xic(0, 250)
    call(make_reader(data), DAD, [info], [200, 300, "not a number"])
    assert collected(info) == floats([(200.0, f32(0.1))])
    with pytest.raises(TypeError):
        call(make_reader(data), DAD, [xic(0, 1000)], [200, "x"])

"""The test writer's data blocks against the encoding tables."""

import pytest

import zarnwriter as w


def h(text):
    return bytes.fromhex(text)


D1 = "C7 00 00 00 00 00 00 F0 3F"  # Double 1.0
D2 = "C7 00 00 00 00 00 00 00 40"  # Double 2.0


@pytest.mark.parametrize("data, expected", [
    (w.spectrum_block(), "80 0D 00 80 0E"),
    (w.chromatogram_block(count=3), "80 0F 03 80 10"),
    (w.spectrum_plain([0.5], [1.0]), "80 28 C2 01 00 00 00 00 00 00 3F 00 00 80 3F"),
    (w.float_pairs_content([1.0], [0.5], double_precision=True),
     "C2 01 00 00 00 00 00 00 00 00 00 F0 3F 00 00 00 00 00 00 E0 3F"),
    (w.coefficient_content(1.0, 2.0, 1.0, [-1], [1.0], num_points=7),
     f"{D1} {D2} {D1} C2 07 00 00 00 FF FF FF FF 00 00 80 3F"),
    (w.chromatogram_efficient_content(4, [1], [2], rt_power=3, intensity_power=258),
     "04 C1 03 00 C1 02 01 C2 01 00 00 00 00 00 00 01 00 00 00 02"),
    (w.chromatogram_efficient_content(7, [1], [2], rt_power=3, intensity_power=5),
     "07 03 05 C2 01 00 00 00 00 00 00 00 00 00 00 01 00 00 00 02"),
    (w.chromatogram_efficient_content(3, [1.0], [2]),
     "03 C2 01 00 00 00 00 00 80 3F 00 00 00 00 00 00 00 02"),
    (w.efficient_spectrum_content(1, [1], [2], mz_power=2),
     "01 C1 02 00 C2 01 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02"),
    (w.efficient_spectrum_content(6, [1], [2], mz_power=2, intensity_power=9),
     "06 02 09 C2 01 00 00 00 00 00 00 00 00 00 00 01 00 00 00 02"),
    (w.mz_efficient_content(2, 1.0, 2.0, 1.0, [1], [2], intensity_power=4),
     f"02 04 {D1} {D2} {D1} C2 01 00 00 00 00 00 00 01 00 00 00 02"),
    (w.mz_efficient_content(1, 1.0, 2.0, 1.0, [], []), f"01 {D1} {D2} {D1} C2 00 00 00 00"),
    (w.sciex_efficient_content(4, 1.0, 2.0, 1.0, [1], [2], intensity_power=3, min_index_diff=5),
     f"04 03 {D1} {D2} {D1} C2 01 00 00 00 C2 03 00 00 00 C2 05 00 00 00 00 00 00 01 00 00 00 02"),
    (w.sciex_efficient_content(3, 1.0, 2.0, 1.0, [1], [2]),
     f"03 {D1} {D2} {D1} C2 01 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02"),
    (w.agilent_content(1, [1.0] + [0.0] * 9, [], [], index_power=2, intensity_power=3, t0=-1, min_diff=4),
     "01 02 03 C2 FF FF FF FF C2 04 00 00 00 C2 00 00 00 00 00 00 00 00 00 00 F0 3F" + " 00" * 72),
    (w.dad_plain_content([1.0]), "C2 01 00 00 00 00 00 80 3F"),
    (w.dad_efficient_content(1, [-1]), "01 C2 01 00 00 00 FF FF FF FF FF FF FF FF"),
    (w.dad_efficient_content(3, [1], intensity_power=2), "03 02 C2 01 00 00 00 00 00 00 00 00 00 00 01"),
])
def test_layouts(data, expected):
    assert data == h(expected)


def test_compressed_segment_of_a_kind():
    seg = w.compressed(w.SPECTRUM_ZSTD_COMPRESSION, b"abc")
    assert seg[:3] == h("80 29 C2")
    assert seg[7:] == w.zstd_frame(b"abc")


def test_deltas_and_sums():
    assert w.deltas([100, 105, 110, 90]) == [100, 5, 5, -20]
    assert w.running_sums([100, 5, 5, -20]) == [100, 105, 110, 90]


def test_zero_filled_count_of_the_worked_example():
    assert w.zero_filled_count([100, 3, 2, 10], 2) == 10
    assert w.zero_filled_count([7], 2) == 3

"""The writer's layout of a qualitative function: data blocks and the
spectrum index block whose offsets locate them from its origin."""

import struct

import pytest
import zstandard

import zarnwriter as w


def parse_block(data, at):
    """The spectrum index block at `at`, read by hand from its encoding."""
    assert data[at:at + 2] == b"\x80\x20"
    assert data[at + 2] == 0xC3
    count = struct.unpack_from("<I", data, at + 3)[0]
    flag = {0x3F: True, 0x3E: False}[data[at + 7]]
    pos = at + 8

    def int64_array(pos):
        assert data[pos] == 0xE4 and data[pos + 1] == 1 and data[pos + 2] == 0xC2
        size = struct.unpack_from("<i", data, pos + 3)[0]
        return list(struct.unpack_from(f"<{size // 8}q", data, pos + 7)), pos + 7 + size

    offsets, pos = int64_array(pos)
    profile = None
    if flag:
        profile, pos = int64_array(pos)
    assert data[pos] == 0xC2
    size = struct.unpack_from("<i", data, pos + 1)[0]
    content = zstandard.ZstdDecompressor().decompress(data[pos + 5:pos + 5 + size])
    assert data[pos + 5 + size:pos + 7 + size] == b"\x80\x21"
    return count, offsets, profile, content


@pytest.mark.parametrize("after", [False, True])
def test_offsets_locate_the_data_blocks(after):
    spectra = [(b"D1", b"AAAA"), (b"D2", b"BB")]
    f = w.qual_function(spectra, lead=b"LEAD", profiles=[b"P1", b"P22"], after=after)
    count, offsets, profile, content = parse_block(f.data, f.block_position)
    assert (count, content) == (2, b"D1D2")
    assert [f.data[f.origin + o:f.origin + o + n] for o, n in zip(offsets, (4, 2))] == [b"AAAA", b"BB"]
    assert [f.data[f.origin + o:f.origin + o + n] for o, n in zip(profile, (2, 3))] == [b"P1", b"P22"]
    assert [f.origin + o for o in offsets] == f.positions
    assert all((o > 0) == after for o in offsets)
    assert f.data.startswith(b"LEAD")


def test_stored_values_replaced():
    f = w.qual_function([(b"D1", b""), (b"D2", b""), (b"D3", b"")], offsets=[7], count=9)
    count, offsets, profile, content = parse_block(f.data, f.block_position)
    assert (count, offsets, profile, content) == (9, [7], None, b"D1D2D3")

"""Encoders of a qualitative function as it lies in a file: its spectrum
data blocks and the spectrum index block that locates them.

The spectrum index block stores each spectrum's position as an offset from
the byte right after its begin symbol (the origin); offsets are signed, so
data blocks may stand before or after the block.
"""

from .container import spectrum_index_block
from .values import int64_array

__all__ = ["QualFunction", "qual_function"]

# The begin symbol of the spectrum index block: the origin follows it.
_SYMBOL_SIZE = 2


class QualFunction:
    """A laid-out function: `data` is the bytes from offset 0, `block_position`
    the absolute position of its spectrum index block, `positions` and
    `profile_positions` the absolute positions of the data blocks."""

    def __init__(self, data, block_position, positions, profile_positions):
        self.data = data
        self.block_position = block_position
        self.positions = positions
        self.profile_positions = profile_positions

    @property
    def origin(self):
        return self.block_position + _SYMBOL_SIZE


def qual_function(spectra, *, lead=b"", profiles=None, after=False, count=None,
                  offsets=None, profile_offsets=None, array=int64_array):
    """Lays out `lead` (for instance the function description record), the
    spectrum data blocks and the spectrum index block.

    `spectra` are (description record bytes, data block bytes); `profiles`
    the profile data blocks, one per spectrum, written after the data
    blocks, which makes the block carry profile offsets.  The data blocks
    stand before the block (negative offsets) or, with `after`, behind it.
    `count`, `offsets` and `profile_offsets` replace what the block stores;
    `array` encodes the offset lists (see `spectrum_index_block`).
    """
    spectra = list(spectra)
    blocks = [b for _, b in spectra] + (list(profiles) if profiles is not None else [])

    def block(origin, positions):
        stored = offsets if offsets is not None else [p - origin for p in positions[:len(spectra)]]
        profile = None
        if profiles is not None:
            profile = (profile_offsets if profile_offsets is not None
                       else [p - origin for p in positions[len(spectra):]])
        descriptions = [d for d, _ in spectra]
        if len(stored) < len(descriptions):
            if not stored:
                raise ValueError("the descriptions need at least one offset to stand beside")
            # The descriptions follow one another in one segment: the surplus
            # ones go behind the last offset's.
            descriptions[len(stored) - 1:] = [b"".join(descriptions[len(stored) - 1:])]
        descriptions += [b""] * (len(stored) - len(descriptions))
        n = len(spectra) if count is None else count
        return spectrum_index_block(list(zip(stored, descriptions)), profile_offsets=profile, count=n,
                                    array=array)

    # The block's length does not depend on the offsets' values.
    size = len(block(0, [0] * len(blocks)))
    if after:
        block_position = len(lead)
        start = block_position + size
    else:
        start = len(lead)
        block_position = start + sum(len(b) for b in blocks)
    positions = []
    for b in blocks:
        positions.append(start)
        start += len(b)
    index = block(block_position + _SYMBOL_SIZE, positions)
    body = b"".join(blocks)
    data = lead + (index + body if after else body + index)
    return QualFunction(data, block_position, positions[:len(spectra)], positions[len(spectra):])

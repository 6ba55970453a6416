"""Whole files with measurements and their functions laid out in the body.

A file's body holds, per measurement, the data of each function (a
chromatogram block for a quantitative or analog function; the spectrum
blocks and then the spectrum index block for a qualitative one) followed by
the measurement's function index block.  Offsets inside the index blocks
count from the byte after their begin symbol; the measurement index holds
the absolute position of each function index block.
"""

from .container import DIGEST_BLOCK_SIZE, JUMP_TABLE_SIZE, MAGIC, _at_least, function_index_block, header, zarn_file
from .functions import qual_function
from .values import int64_array

__all__ = ["Body", "WithProfiles", "body_start", "measurement_file"]


class WithProfiles:
    """A qualitative function's spectra with a profile block for each, as
    `measurement_file` takes them in place of the list of spectra."""

    def __init__(self, spectra, profiles):
        self.spectra = list(spectra)
        self.profiles = list(profiles)


class Body:
    """Blocks placed one after another; positions count from the body's
    first byte.  The index blocks encode their offset lists with `array`
    and, with `wide`, store the function count as UInt32."""

    def __init__(self, array=int64_array, wide=False):
        self.data = bytearray()
        self.array = array
        self.wide = wide

    def place(self, block):
        at = len(self.data)
        self.data += block
        return at

    def spectra(self, spectra, profiles=None):
        """Places a qualitative function's spectrum blocks (and profile
        blocks) and then the spectrum index block that locates them, as
        `qual_function` lays them out; returns the index block's position.
        `spectra` are (description record, spectrum block)."""
        function = qual_function(spectra, lead=bytes(self.data), profiles=profiles, array=self.array)
        self.data = bytearray(function.data)
        return function.block_position

    def function_index(self, functions):
        """Places a function index block for (description record, data
        position) pairs and returns its position."""
        at = len(self.data)
        origin = at + 2
        return self.place(function_index_block(
            [(position - origin, description) for description, position in functions],
            wide=self.wide, array=self.array))


def body_start(version=(3, 6, 0), option=0, lib_version=(1, 2, 3), user_info=b"",
               options=None, magic=MAGIC):
    """The absolute offset at which `zarn_file` puts the body: after the
    header, and before 3.3 after the jump table too."""
    digest = bytes(DIGEST_BLOCK_SIZE) if option & 1 else b""
    size = len(header(version, option, lib_version, user_info, options, digest, magic))
    return size if _at_least(version, 3) else size + JUMP_TABLE_SIZE


def measurement_file(version=(3, 6, 0), measurements=(), lead=b"", array=int64_array, **file_options):
    """A whole file.  `measurements` are (description record, functions);
    a function is (function description record, data), the data being a
    chromatogram block (bytes), a list of spectra as `Body.spectra`
    takes them, or spectra `WithProfiles`.  `lead` starts the body
    (filler that pushes the data further into the file); `array` encodes
    the offset lists of the index blocks; `file_options` pass to
    `zarn_file` (with `wide`, the function counts are UInt32 as well)."""
    body = Body(array, file_options.get("wide", False))
    body.place(lead)
    entries = []
    for description, functions in measurements:
        placed = []
        for function_description, data in functions:
            if isinstance(data, (bytes, bytearray)):
                placed.append((function_description, body.place(data)))
            elif isinstance(data, WithProfiles):
                placed.append((function_description, body.spectra(data.spectra, data.profiles)))
            else:
                placed.append((function_description, body.spectra(data)))
        entries.append((body.function_index(placed), description))
    keys = ("option", "lib_version", "user_info", "options", "magic")
    start = body_start(version, **{k: v for k, v in file_options.items() if k in keys})
    return zarn_file(version, [(start + p, d) for p, d in entries], body=bytes(body.data),
                     **file_options)

"""Writes script seeds of the native fuzz target (core_fuzzer.cpp) from the
seed files of make_seeds.py.

    python fuzz/native_seeds.py SEED_DIR OUT_DIR

For each seed file, a script that holds the file as its data and reads,
at every place where a block or record begins, that block or record with
the core's reader for it; after a segment kind symbol it opens the
compressed segment, decodes it with its codec and leaves it again. Each
script is written twice: the file at offset 0 of a file of its size, and
the file across the end of the reader's first window.
"""

import os
import re
import struct
import sys

# Opcodes of core_fuzzer.cpp's Script::step; NO_MOVE reads where the reader stands.
NO_MOVE = 0x80
OPEN_SEGMENT, LEAVE_SEGMENT = 25, 26

# The reads of what begins with each symbol, as (opcode, argument).
AT_SYMBOL = {
    1: [(51, 0)],  # start of the file: the header and jump table
    6: [(49, 0)],  # conversion options
    13: [(30, 0), (31, 4), (34, 200), (35, 4)],  # a spectrum: MS, DAD, range-limited reads
    15: [(29, 0)],  # chromatogram
    20: [(52, 0)],  # measurement index block
    22: [(40, 0)],  # measurement description
    26: [(53, 0)],  # function index block
    28: [(47, 0)],  # function description
    30: [(48, 0)],  # spectrum description
    32: [(54, 0)],  # spectrum index block
    34: [(43, 0), (44, 0)],  # core condition, condition
    36: [(41, 0), (42, 0)],  # maker's condition, scan condition
}

# The codec of each compressed segment kind, read inside the opened segment.
CODEC = {52: 36, 53: 37, 54: 38, 56: 39}
SEGMENT_KINDS = {41, 42, 43, 46, 47, 50, 51, 52, 53, 54, 55, 56}

MAX_OPS = 255
OFFSET_BIAS = 8  # a script's positions are offsets into the data plus this


def op(code, arg, offset):
    return struct.pack("<BBH", code, arg, offset + OFFSET_BIAS)


def script_ops(data):
    ops = []
    for match in re.finditer(rb"\x80(?=[\x00-\x38])", data):
        at, symbol = match.start(), data[match.start() + 1]
        for code, arg in AT_SYMBOL.get(symbol, []):
            ops.append(op(code, arg, at))
        if symbol in SEGMENT_KINDS:
            ops.append(op(OPEN_SEGMENT, 0, at + 2))
            if symbol in CODEC:
                ops.append(op(CODEC[symbol] | NO_MOVE, 0, 0))
            ops.append(op(LEAVE_SEGMENT | NO_MOVE, 0, 0))
    return ops[:MAX_OPS]


def minor_version(name):
    found = re.match(r"v3\.(\d)", name)
    return int(found.group(1)) if found else 6


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    source, out = argv[1], argv[2]
    os.makedirs(out, exist_ok=True)
    written = 0
    for name in sorted(os.listdir(source)):
        with open(os.path.join(source, name), "rb") as f:
            data = f.read()
        if len(data) + OFFSET_BIAS > 0xFFFF:
            continue
        ops = script_ops(data)
        stem = os.path.splitext(name)[0]
        for variant, flags in (("", 0), ("-large", 0x81)):
            script = bytes([flags | minor_version(name) << 1, len(ops)]) + b"".join(ops) + data
            with open(os.path.join(out, f"script-{stem}{variant}.bin"), "wb") as f:
                f.write(script)
            written += 1
    print(f"{written} script seeds in {out}")


if __name__ == "__main__":
    main(sys.argv)

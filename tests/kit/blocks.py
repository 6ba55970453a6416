"""Helpers of the data-block tests: expected values computed from the
format's formulas in plain Python, and point comparisons that see types."""

import random
import struct

import zarnwriter as w
from kit.reader import call, pos

TAIL = w.TRUE  # a value after a block, read to prove the position


def h(text):
    return bytes.fromhex(text)


def f32(value):
    """The binary32 value nearest `value`, as a float."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


def typed(values):
    """(type, value) of each value: 7 and 7.0 differ."""
    return [(type(v), v) for v in values]


def points(result):
    """A list of points as typed (x, intensity) pairs."""
    return [(type(p.x), p.x, type(p.intensity), p.intensity) for p in result]


def chromatogram_points(result):
    return [(type(p.retention_time), p.retention_time, type(p.intensity), p.intensity) for p in result]


def expect(pairs):
    """Typed pairs for comparison with `points`."""
    return [(type(x), x, type(y), y) for x, y in pairs]


def scaled(values, power):
    """Each integer divided by 10**power, correctly rounded."""
    return [v / 10**power for v in values]


def decode_code(code):
    """Value of a compression-ready code."""
    if code >= 0:
        return -(code // 2) if code % 2 == 0 else (code + 1) // 2
    return code // 2 + 2147483648 if code % 2 == 0 else -((code + 1) // 2) - 2147483648


def quadratic(a, b, c, k):
    x = float(k)
    return a * x * x + b * x + c


def sciex(a, b, c, k):
    num = a * (k * c - b)
    return num * num


def read_block(make_reader, data, method, *args):
    """Reads the block `data` (followed by TAIL) with the reader method;
    checks that the reader stands right after the block."""
    r = make_reader(data + TAIL)
    result = call(r, method, *args)
    assert pos(r) == len(data)
    assert call(r, "read_bool") is True
    return result


def in_segment(make_reader, content, method, *args):
    """Runs a codec method inside the decompressed window of `content`;
    returns the reader and the result."""
    r = make_reader(w.compressed_segment(content))
    call(r, "set_decompressed_buffer")
    return r, call(r, method, *args)


def efficient_case(seed, x_array, y_array, value, n=40):
    """Stored arrays of an efficient layout (the writer's array names) with
    random powers, and the typed points they give.  `value` says how an
    intensity is made: "int" as stored, "float" converted, "scaled" divided
    by 10**power, "codes" compression-ready codes summed then scaled."""
    rng = random.Random(seed)
    x_power, y_power = rng.randrange(0, 10), rng.randrange(0, 10)
    if x_array == "float32":
        xs = [rng.uniform(0, 3000) for _ in range(n)]
        expected_x = [f32(v) for v in xs]
    else:
        # 64-bit differences carry the sums beyond 64 bits.
        bits = 63 if x_array == "packed64" else 31
        xs = [rng.randrange(2**(bits - 2), 2**(bits - 1)) for _ in range(n)]
        expected_x = scaled(w.running_sums(xs), x_power)
    bits = 64 if y_array == "packed64" else 32
    ys = [rng.randrange(-(2**(bits - 1)), 2**(bits - 1)) for _ in range(n - 2)]
    ys += [0, 2**53 + 1] if bits == 64 else [0, -(2**31)]
    if value == "codes":
        ys = [w.compression_ready_code(rng.randrange(-(2**30), 2**30)) for _ in range(n)]
        expected_y = scaled(w.running_sums([decode_code(c) for c in ys]), y_power)
    elif value == "int":
        expected_y = ys
    elif value == "float":
        expected_y = [float(v) for v in ys]
    else:
        expected_y = scaled(ys, y_power)
    return xs, ys, x_power, y_power, expect(zip(expected_x, expected_y))

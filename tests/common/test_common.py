import copy
import pickle
import struct
import subprocess
import sys
import tracemalloc
import weakref

import pytest
import zstandard

import zarnwriter as w
from kit.compare import Dropped, replacing
from zarn_data_access import zstd
from zarn_data_access.common import (
    AnalysisTypes,
    ChromatogramPoint,
    CompoundTypes,
    InstrumentManufacturers,
    PolarityTypes,
    QuanAnalysisTypes,
    SpectrumBasedChromatogramPoint,
    SpectrumPoint,
    SpectrumTypes,
    ValueRange,
)
from zarn_data_access.exception import (
    WbnConverterException,
    ZarnException,
    ZarnVersionException,
)

# --- exceptions ----------------------------------------------------------

@pytest.mark.parametrize("cls", [ZarnException, ZarnVersionException,
                                 WbnConverterException, zstd.ZstdError])
def test_exception_carries_its_one_message(cls):
    err = cls("Int32 could not be read")
    assert isinstance(err, Exception)
    assert err.args == ("Int32 could not be read",)
    assert str(err) == "Int32 could not be read"
    with pytest.raises(cls):
        raise err


def test_exception_hierarchy():
    assert issubclass(ZarnVersionException, ZarnException)
    assert issubclass(zstd.ZstdError, ZarnException)
    with pytest.raises(ZarnException):
        raise ZarnVersionException("Unsupported Version: 3.7.0. Please update Zarn API.")


# --- points and ranges ---------------------------------------------------

@pytest.mark.parametrize("intensity", [7, -3, 2**70, -(2**80) + 1, 0.5, 1e300])
def test_spectrum_point_keeps_intensity_type_and_value(intensity):
    p = SpectrumPoint(123.25, intensity)
    assert p.x == 123.25
    assert p.intensity == intensity
    assert type(p.intensity) is type(intensity)


def test_spectrum_point_equality_by_value():
    assert SpectrumPoint(1.5, 7) == SpectrumPoint(1.5, 7)
    assert SpectrumPoint(1.5, 2**70) == SpectrumPoint(1.5, 2**70)
    assert SpectrumPoint(1.5, 7) != SpectrumPoint(1.5, 8)
    assert SpectrumPoint(1.5, 7) != SpectrumPoint(1.25, 7)


def test_chromatogram_points_hold_their_values():
    p = ChromatogramPoint(0.5, 100.0)
    assert (p.retention_time, p.intensity) == (0.5, 100.0)
    assert ChromatogramPoint(1.0, 7).intensity == 7
    SpectrumBasedChromatogramPoint(3, 1.5, 200.0, 445.12)


@pytest.mark.parametrize("make", [
    lambda v: SpectrumPoint(v, v),
    lambda v: ChromatogramPoint(v, v),
    lambda v: SpectrumBasedChromatogramPoint(v, v, v, v),
])
def test_dropped_points_let_go_of_their_values_and_new_ones_hold_theirs(make):
    # Dropped points are kept for reuse: what they held is released, and a
    # point made again holds only its own values.
    held = [2**100 + i for i in range(3000)]
    counts = [sys.getrefcount(v) for v in held]
    points = [make(v) for v in held]
    del points
    assert [sys.getrefcount(v) for v in held] == counts
    again = [make(float(i)) for i in range(3000)]
    assert all(make(float(i)) == p for i, p in enumerate(again))
    assert {type(v) for p in again for v in vars_of(p)} == {float}


def names_of(cls):
    return {SpectrumPoint: ("x", "intensity"), ChromatogramPoint: ("retention_time", "intensity"),
            SpectrumBasedChromatogramPoint: ("index", "retention_time", "intensity", "x")}[cls]


def vars_of(point):
    classes = (SpectrumPoint, ChromatogramPoint, SpectrumBasedChromatogramPoint)
    cls = next(c for c in type(point).__mro__ if c in classes)
    return [getattr(point, name) for name in names_of(cls)]


POINT_CLASSES = [(SpectrumPoint, 2), (ChromatogramPoint, 2), (SpectrumBasedChromatogramPoint, 4)]


class PickledSpectrumPoint(SpectrumPoint):
    """A subclass at module level, so that pickle finds it by name."""


@pytest.mark.parametrize("cls, n", POINT_CLASSES, ids=lambda v: getattr(v, "__name__", ""))
def test_point_subclasses_hold_values_like_their_class_and_let_them_go(cls, n):
    class Point(cls):
        def __init__(self, *args):
            super().__init__(*args)
            self.extra = "mine"

    held = [2**90 + i for i in range(n)]
    counts = [sys.getrefcount(v) for v in held]
    p = Point(*held)
    assert type(p) is Point and p == cls(*held) and cls(*held) == p
    assert hash(p) == hash(cls(*held)) and vars_of(p) == held
    assert p.__dict__ == {"extra": "mine"} and weakref.ref(p)() is p
    assert repr(p) == repr(cls(*held))
    with pytest.raises(AttributeError):
        setattr(p, names_of(cls)[0], 1)
    again = copy.deepcopy(p)
    assert type(again) is Point and again == p
    del p, again
    assert [sys.getrefcount(v) for v in held] == counts
    with pytest.raises(TypeError):
        weakref.ref(cls(*held))
    pickled = pickle.loads(pickle.dumps(PickledSpectrumPoint(1.5, 2**70)))
    assert type(pickled) is PickledSpectrumPoint and pickled == SpectrumPoint(1.5, 2**70)


@pytest.mark.parametrize("cls, n", POINT_CLASSES, ids=lambda v: getattr(v, "__name__", ""))
def test_a_point_is_filled_once(cls, n):
    # A point is a hashable value: __init__ on a made point is refused and
    # leaves it as it was; a point that only __new__ made holds nothing.
    p = cls(*range(n))
    with pytest.warns(RuntimeWarning), pytest.raises(TypeError):
        p.__init__(*range(1, n + 1))
    assert vars_of(p) == list(range(n))
    empty = cls.__new__(cls)
    for read in (repr, hash, vars_of, lambda q: q == p, pickle.dumps):
        with pytest.warns(RuntimeWarning), pytest.raises((TypeError, RuntimeError)):
            read(empty)
    empty.__init__(*range(n))
    assert empty == p and hash(empty) == hash(p)


def test_many_points_alive_at_once_are_freed_with_their_class_kept():
    # More points alive than the classes keep for reuse: every one its own
    # object holding its own values, and all the memory and references to
    # the class given back when they go.
    from zarn_data_access._internal import _testing
    n = 200_000
    classes = [SpectrumPoint, ChromatogramPoint, SpectrumBasedChromatogramPoint]
    class_counts = [sys.getrefcount(c) for c in classes]

    def make():
        points = _testing.make_spectrum_points(n)
        points += [ChromatogramPoint(float(i), i) for i in range(n // 4)]
        points += [SpectrumBasedChromatogramPoint(i, 1.0, 2**70, -1) for i in range(n // 4)]
        return points

    make()  # the pools of dropped points full from here on
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2):
            points = make()
            assert len({id(p) for p in points}) == len(points)
            assert all(p.x == float(i) and p.intensity == 1.0 for i, p in enumerate(points[:n]))
            assert points[-1] == SpectrumBasedChromatogramPoint(n // 4 - 1, 1.0, 2**70, -1)
            del points
        left = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # What is left is at most what the pools keep: 16384 points of each class.
    assert left <= 16384 * sum(c.__basicsize__ for c in classes) + (64 << 10)
    assert [sys.getrefcount(c) for c in classes] == class_counts


def test_a_long_chain_of_points_is_dropped_without_deep_recursion():
    code = ("from zarn_data_access.common import SpectrumPoint, SpectrumBasedChromatogramPoint\n"
            "p = SpectrumPoint(0.0, 0)\n"
            "for i in range(1_000_000):\n"
            "    p = SpectrumPoint(p, i) if i % 2 else SpectrumBasedChromatogramPoint(i, 0.5, p, 1.0)\n"
            "del p\n"
            "print('dropped')\n")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    assert out == "dropped\n"


CHAIN_PRELUDE = (
    "import gc\n"
    "from zarn_data_access.common import ValueRange\n"
    "from zarn_data_access.qual import AcquisitionCondition, ChromatogramFilterOption\n"
    "class Collects:\n"
    "    # Collects while the chain is being freed, so the collector meets what waits.\n"
    "    def __init__(self, inner):\n"
    "        self.inner = inner\n"
    "    def __del__(self):\n"
    "        gc.collect()\n")


@pytest.mark.parametrize("link", [
    "ValueRange(v, 1.0)",
    "ChromatogramFilterOption(AcquisitionCondition([]), v, None)",
    "ValueRange(0.0, ChromatogramFilterOption(None, None, v))",
    "ChromatogramFilterOption(Collects(v) if i % 100_000 == 500 else None, v, None)",
])
def test_a_long_chain_of_held_objects_is_freed_without_deep_recursion(link):
    code = CHAIN_PRELUDE + (f"v = 0.0\nfor i in range(500_000):\n    v = {link}\n"
                            "del v\ngc.collect()\nprint('freed')\n")
    run = subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "freed\n", "")


def test_value_range_bounds_are_inclusive_and_settable():
    r = ValueRange(1.0, 2.0)
    assert (r.min, r.max) == (1.0, 2.0)
    assert r.contains_value(1.0) and r.contains_value(2.0) and r.contains_value(1.5)
    assert not r.contains_value(0.999999) and not r.contains_value(2.000001)
    r.min = 1.5
    r.max = 3.0
    assert (r.min, r.max) == (1.5, 3.0)
    assert not r.contains_value(1.4) and r.contains_value(3.0)


def test_value_range_equality_hash_and_text():
    assert ValueRange(1.0, 2.0) == ValueRange(1.0, 2.0)
    assert hash(ValueRange(1.0, 2.0)) == hash(ValueRange(1.0, 2.0))
    assert ValueRange(1.0, 2.0) != ValueRange(1.0, 2.5)
    assert ValueRange(1.0, 2.0) != ValueRange(0.5, 2.0)
    assert ValueRange(1, 2) != None  # noqa: E711 - the comparison itself is tested
    assert not (ValueRange(1, 2) == None)  # noqa: E711
    assert len({ValueRange(1.0, 2.0), ValueRange(1.0, 2.0), ValueRange(1.0, 3.0)}) == 2
    assert str(ValueRange(1.0, 2.0)) == "1.0 - 2.0"


class Text:
    """A bound whose str() and repr() are the given text."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text

    __str__ = __repr__


@pytest.mark.parametrize("text", ["a\0b", "\udc80", "\u00e9\U0001f600"])
def test_range_text_is_what_its_bounds_give(text):
    r = ValueRange(Text(text), 1)
    assert (str(r), repr(r)) == (f"{text} - 1", f"ValueRange({text}, 1)")


def test_range_text_holds_a_bound_that_its_own_text_replaces():
    class Replaces:
        def __repr__(self):
            r.min = 0
            return "x"

    r = ValueRange([Replaces(), Replaces()], 1)
    assert repr(r) == "ValueRange([x, x], 1)" and r.min == 0


# --- enumerations --------------------------------------------------------

def test_a_comparison_that_replaces_a_bound_leaves_it_alive():
    for _ in range(2000):
        a = ValueRange(replacing(lambda: b, "min"), 1)
        b = ValueRange(Dropped(), 1)
        assert (a == b) is False and (a != b) is True
        r = ValueRange(-1, Dropped())
        with pytest.raises(TypeError):
            r.contains_value(replacing(lambda: r, "max"))
        # The point held as a bound is dropped while its own == runs.
        holder = ValueRange(SpectrumPoint(replacing(lambda: holder, "min", answer=True), 2**70), 0)
        assert holder == ValueRange(SpectrumPoint(1.0, 2**70), 0)


@pytest.mark.parametrize("value", [
    SpectrumPoint(1.0, 2**70), SpectrumPoint(2.5, 7), ChromatogramPoint(1.5, 3.0),
    SpectrumBasedChromatogramPoint(4, 2.0, 3, 101.5), ValueRange(1, [2.0]),
], ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v))],
                         ids=["copy", "deepcopy", "pickle"])
def test_values_copy_and_pickle(value, duplicate):
    again = duplicate(value)
    assert type(again) is type(value) and again is not value
    assert again == value and repr(again) == repr(value)
    if duplicate is not copy.copy and isinstance(value, ValueRange):
        assert again.max is not value.max


@pytest.mark.parametrize("cls, values", [
    (PolarityTypes, {"NA": 0, "POSITIVE": 1, "NEGATIVE": 2, "BOTH": 3}),
    (SpectrumTypes, {"NA": 0, "UNKNOWN": 1, "PROFILE": 2, "CENTROID": 3}),
    (CompoundTypes, {"UNKNOWN": 0}),
    (QuanAnalysisTypes, {"NA": 1, "SIM": 2, "SRM": 4, "ALL": 7}),
    (AnalysisTypes, {"QUAL": 1, "QUAN": 2, "DAD": 4, "ANALOG": 8, "ALL": 15}),
], ids=lambda v: getattr(v, "__name__", ""))
def test_enumeration_values(cls, values):
    for name, value in values.items():
        member = getattr(cls, name)
        assert member.value == value
        assert cls(value) == member
        assert hash(cls(value)) == hash(member)


def test_flag_enumerations_combine():
    assert QuanAnalysisTypes.ALL & QuanAnalysisTypes.SIM
    assert QuanAnalysisTypes.ALL & QuanAnalysisTypes.SRM
    assert not (QuanAnalysisTypes.SIM & QuanAnalysisTypes.SRM)
    assert not (QuanAnalysisTypes.NA & QuanAnalysisTypes.SIM)
    assert QuanAnalysisTypes.SIM != QuanAnalysisTypes.ALL
    for member in (AnalysisTypes.QUAL, AnalysisTypes.QUAN, AnalysisTypes.DAD,
                   AnalysisTypes.ANALOG):
        assert AnalysisTypes.ALL & member
        assert member != AnalysisTypes.ALL
    assert not (AnalysisTypes.QUAL & AnalysisTypes.QUAN)


@pytest.mark.parametrize("n", [0, 1, 7, 1000, 2**31 - 1])
def test_instrument_manufacturers_accept_any_non_negative_value(n):
    member = InstrumentManufacturers(n)
    assert member is InstrumentManufacturers(n)
    assert member.value == n
    assert member == InstrumentManufacturers(n)
    assert member != InstrumentManufacturers(n + 1)


# --- Zstandard module ----------------------------------------------------

PAYLOAD = bytes(range(256)) * 4


@pytest.mark.parametrize("content_size", [True, False])
def test_zstd_decompresses_a_frame_with_and_without_declared_size(content_size):
    frame = w.zstd_frame(PAYLOAD, content_size=content_size)
    assert (zstandard.frame_content_size(frame) == len(PAYLOAD)) is content_size
    assert zstd.decompress(frame) == PAYLOAD
    assert zstd.decompress(frame, max_size=len(PAYLOAD)) == PAYLOAD


@pytest.mark.parametrize("content_size", [True, False])
def test_zstd_refuses_content_above_the_ceiling(content_size):
    frame = w.zstd_frame(PAYLOAD, content_size=content_size)
    with pytest.raises(zstd.ZstdError):
        zstd.decompress(frame, max_size=len(PAYLOAD) - 1)


def test_zstd_empty_content():
    assert zstd.decompress(w.zstd_frame(b"")) == b""
    assert zstd.decompress(w.zstd_frame(b"", content_size=False)) == b""


def zeros_frame(size, content_size=True):
    """A real frame of `size` zero bytes, compressed piece by piece."""
    compressor = zstandard.ZstdCompressor(level=1, write_content_size=content_size)
    obj = compressor.compressobj(size=size if content_size else -1)
    chunk = bytes(1 << 20)
    parts, left = [], size
    while left:
        n = min(left, len(chunk))
        parts.append(obj.compress(chunk[:n]))
        left -= n
    parts.append(obj.flush())
    return b"".join(parts)


def test_zstd_default_ceiling_is_one_gib():
    # A real frame that declares 1 GiB + 1 bytes of zeros; the default
    # ceiling refuses it from the header.
    size = (1 << 30) + 1
    frame = zeros_frame(size)
    assert zstandard.frame_content_size(frame) == size
    with pytest.raises(zstd.ZstdError):
        zstd.decompress(frame)


def lying_frame(declared):
    """A frame header declaring `declared` bytes, followed by one raw block
    of three bytes."""
    header = b"\x28\xb5\x2f\xfd" + bytes([0xA0]) + struct.pack("<I", declared)
    return header + bytes([0x19, 0x00, 0x00]) + b"abc"


def test_zstd_declared_size_is_checked_before_decompressing():
    assert zstd.decompress(lying_frame(3)) == b"abc"
    with pytest.raises(zstd.ZstdError):
        zstd.decompress(lying_frame(0xFFFFFFFF))
    with pytest.raises(zstd.ZstdError):
        zstd.decompress(lying_frame(4), max_size=3)


def test_zstd_large_declared_sizes_decompress_as_they_yield():
    payload = PAYLOAD * 3000  # about 3 MiB, above what is allocated at once
    assert zstd.decompress(w.zstd_frame(payload)) == payload
    # A frame of one segment has a window as large as its content: above
    # the library's default largest window (128 MiB) too.
    assert zstd.decompress(rle_frame(136 << 20, 0x5A)) == b"\x5a" * (136 << 20)
    for declared in (len(payload) - 1, len(payload) + 1):
        frame = bytearray(w.zstd_frame(payload))
        frame[5:9] = struct.pack("<I", declared)  # the 4-byte content size field
        with pytest.raises(zstd.ZstdError):
            zstd.decompress(bytes(frame))


def zstd_failure(data):
    try:
        zstd.decompress(data)
    except zstd.ZstdError as e:
        return str(e)
    return None


def flip_last(frame):
    return frame[:-1] + bytes([frame[-1] ^ 1])


@pytest.mark.parametrize("damage", [
    lambda f, n: f[:-5],
    lambda f, n: f[: len(f) // 2],
    lambda f, n: f + b"garbage!!",
    lambda f, n: f + b"\0",
    lambda f, n: f + f,
    lambda f, n: f + w.skippable_frame(b"x") + f,
    lambda f, n: w.with_content_size(f, n + 5),
    lambda f, n: w.with_content_size(f, n - 5),
    lambda f, n: flip_last(w.zstd_frame(bytes(n), checksum=True)),
], ids=["cut", "cut-in-half", "trailing-garbage", "trailing-byte", "two-frames", "skippable-between",
        "declares-more", "declares-less", "checksum"])
def test_zstd_damage_fails_alike_for_small_and_large_declared_sizes(damage):
    # Frames above 1 MiB are decompressed into memory that grows with the
    # content, those below into their declared size: both fail alike.
    small, large = (bytes(range(7)) * (size // 7) for size in (100_000, 3 << 20))
    failures = {zstd_failure(damage(w.zstd_frame(p), len(p))) for p in (small, large)}
    assert len(failures) == 1 and None not in failures, failures


def test_zstd_large_declared_frame_maps_memory_as_it_yields():
    # A frame of three bytes that declares 768 MiB fails with 64 MiB of
    # address space beyond the interpreter's.
    code = ("import resource, sys\n"
            "from zarn_data_access import zstd\n"
            "size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024\n"
            "resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))\n"
            "try:\n"
            "    zstd.decompress(bytes.fromhex(sys.argv[1]))\n"
            "except zstd.ZstdError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code, lying_frame(768 << 20).hex()], capture_output=True,
                         text=True, timeout=60)
    assert out.stdout.strip() == "Zstandard decompression failed: Data corruption detected", out


def rle_frame(size, byte):
    """A frame of one segment declaring `size` bytes, made of RLE blocks of
    at most 128 KiB that repeat `byte`."""
    out = bytearray(b"\x28\xb5\x2f\xfd" + bytes([0xA0]) + struct.pack("<I", size))
    left = size
    while left:
        n = min(left, 1 << 17)
        left -= n
        out += struct.pack("<I", (n << 3) | (1 << 1) | (left == 0))[:3] + bytes([byte])
    return bytes(out)


def test_zstd_claimed_size_is_never_allocated_before_the_content_is_there():
    # 768 MiB claimed by a frame of three bytes: refused, and the peak memory
    # of a fresh process (its high-water mark, in KiB) stays far below the
    # claim.
    code = ("import sys\n"
            "from zarn_data_access import zstd\n"
            "try:\n"
            "    zstd.decompress(bytes.fromhex(sys.argv[1]))\n"
            "except zstd.ZstdError:\n"
            "    status = open('/proc/self/status').read().split('VmHWM:')[1]\n"
            "    print(status.split()[0])\n")
    out = subprocess.run([sys.executable, "-c", code, lying_frame(768 << 20).hex()], check=True,
                         capture_output=True, text=True).stdout
    assert 0 < int(out) < 400 * 1024  # KiB


def test_zstd_undeclared_content_over_the_limit_is_refused_holding_none_of_it(tmp_path):
    # 1.25 GiB of undeclared zeros: refused at the 1 GiB limit, and the peak
    # memory of a fresh process (KiB) stays far below the limit.
    path = tmp_path / "frame.zst"
    frame = zeros_frame((1 << 30) + (1 << 28), content_size=False)
    assert zstandard.frame_content_size(frame) == -1
    path.write_bytes(frame)
    code = ("import sys\n"
            "from zarn_data_access import zstd\n"
            "data = open(sys.argv[1], 'rb').read()\n"
            "try:\n"
            "    zstd.decompress(data)\n"
            "except zstd.ZstdError as e:\n"
            "    assert 'exceeds the size limit' in str(e), e\n"
            "    status = open('/proc/self/status').read().split('VmHWM:')[1]\n"
            "    print(status.split()[0])\n")
    out = subprocess.run([sys.executable, "-c", code, str(path)], check=True, capture_output=True, text=True).stdout
    assert 0 < int(out) < 300 * 1024  # KiB


@pytest.mark.parametrize("size", [(1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 << 20])
def test_zstd_undeclared_content_around_the_first_piece(size):
    payload = (PAYLOAD * (size // len(PAYLOAD) + 1))[:size]
    frame = w.zstd_frame(payload, content_size=False)
    assert zstd.decompress(frame) == payload
    assert zstd.decompress(frame + frame) == payload + payload
    assert zstd.decompress(frame, max_size=size) == payload
    with pytest.raises(zstd.ZstdError, match="exceeds the size limit"):
        zstd.decompress(frame, max_size=size - 1)


@pytest.mark.parametrize("data", [
    b"",
    b"not a frame at all",
    w.zstd_frame(PAYLOAD)[:-3],             # cut short
    b"\x28\xb5\x2f\xfd",                     # magic only
    lying_frame(5),                          # declared size does not match
], ids=["empty", "garbage", "truncated", "magic-only", "size-mismatch"])
def test_zstd_garbage_raises_zstd_error(data):
    with pytest.raises(zstd.ZstdError):
        zstd.decompress(data)

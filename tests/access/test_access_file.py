"""The file handle: opening, versions, measurements by position, closing."""

import builtins
import gc
import os
import pathlib
import subprocess
import sys

import pytest

import zarnwriter as w
from kit.reader import Stream, descriptors
from zarn_data_access import access
from zarn_data_access.access import Measurement, ZarnFile
from zarn_data_access.exception import ZarnException, ZarnVersionException

QUAN = w.function_description(False, w.quan_description(compound_name="C", detector_type=1))
CHROMATOGRAM = w.chromatogram_block(w.chromatogram_plain([1.0, 2.0], [5.0, 6.0]))


def sample(version=(3, 6, 0), count=2, **options):
    """A file of `count` measurements, each with one quantitative function."""
    measurements = [(w.measurement_description(f"h{i}", sample_name=f"S{i}"), [(QUAN, CHROMATOGRAM)])
                    for i in range(count)]
    return w.measurement_file(version, measurements, **options)


def flip(data, at):
    """`data` with the bits of the byte at `at` inverted."""
    out = bytearray(data)
    out[at] ^= 0xFF
    return bytes(out)


@pytest.fixture
def unraisable(monkeypatch):
    """The exceptions reported as unraisable (from finalisation) during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda info: seen.append(info))
    return seen


def stream_of(handle):
    return handle._ZarnFile__reader._KxmFileReader__stream


def test_module_takes_its_names_from_the_other_modules():
    from zarn_data_access import exception, qual, quan
    from zarn_data_access._internal import _description, _enum, _index, _reader
    assert access.ZarnSymbols is _enum.ZarnSymbols
    assert (access.FunctionIndex, access.JumpTable) == (_index.FunctionIndex, _index.JumpTable)
    assert access.DetectorTypes is _description.DetectorTypes is _enum.DetectorTypes
    assert access.KxmFileReader is _reader.KxmFileReader
    assert access.ZarnException is exception.ZarnException
    assert (access.QualAnalysis, access.DADAnalysis) == (qual.QualAnalysis, qual.DADAnalysis)
    assert (access.QuanAnalysis, access.AnalogAnalysis) == (quan.QuanAnalysis, quan.AnalogAnalysis)


@pytest.mark.parametrize("version, converter", [
    ((3, 0, 0), "0.0.0"), ((3, 2, 9), "0.0.0"), ((3, 3, 0), "4.5.6"), ((3, 6, 2), "4.5.6"), ((3, 6, 65535), "4.5.6"),
])
def test_versions_and_count(write, version, converter):
    with ZarnFile(write(sample(version, lib_version=(4, 5, 6)))) as handle:
        assert handle.get_file_format_version() == "%d.%d.%d" % version
        assert handle.get_converter_version() == converter
        assert handle.get_measurement_count() == 2


def test_measurements_by_position(write):
    handle = ZarnFile(write(sample(count=3)))
    last = handle.get_measurement(2)
    assert type(last) is Measurement and last.index == 2 and last.sample_name == "S2"
    first, again = handle.get_measurement(0), handle.get_measurement(0)
    assert first is not again
    assert (str(first), first.hash) == (str(again), again.hash) == ("[Sample Name] S0, [#Qual] 0, [#Quan] 1, "
                                                                    "[#DAD] 0, [#Analog] 0", "h0")
    # Both share the jump table's entry and so its description.
    entry = handle._ZarnFile__jump_table._JumpTable__measurement_index_list[0]
    assert first._Measurement__measurement_index is entry is again._Measurement__measurement_index
    for index in (-1, 3, 10**30):
        with pytest.raises(ZarnException) as caught:
            handle.get_measurement(index)
        assert str(caught.value) == "Index out of range"
    with pytest.raises(TypeError):
        handle.get_measurement(0.5)
    with pytest.raises(TypeError):
        handle.get_measurement("0")
    assert handle.get_measurement(index=1).index == 1


def test_file_without_measurements(write):
    handle = ZarnFile(write(sample(count=0)))
    assert handle.get_measurement_count() == 0
    with pytest.raises(ZarnException, match="^Index out of range$"):
        handle.get_measurement(0)


def test_path_is_kept_as_passed(write, tmp_path, monkeypatch):
    write(sample(), "rel.zarn")
    monkeypatch.chdir(tmp_path)
    for path in ("rel.zarn", "./rel.zarn", ".//rel.zarn"):
        handle = ZarnFile(file_path=path)
        assert (str(handle), repr(handle), handle.file_path) == (path, path, path)
        handle.close()
    with pytest.raises(AttributeError):
        handle.file_path = "other"


@pytest.mark.parametrize("change, error, message", [
    (lambda d: d.replace(w.string(w.MAGIC), w.string("#!Zarn@KXN;"), 1), ZarnException,
     "Zarn header is not correct"),
    (lambda d: w.symbol(w.BEGIN_OF_ZARN_DESCRIPTION) + d[2:], ZarnException, "Zarn symbol error"),
    (lambda d: w.tiny_uint(1) + d[1:], ZarnException, "Zarn symbol could not be read"),
    (lambda d: w.symbol(4095) + d[2:], ValueError, "4095 is not a valid ZarnSymbols"),
    (lambda d: sample((3, 7, 0)), ZarnVersionException, "Unsupported Version: 3.7.0. Please update Zarn API."),
    (lambda d: sample((4, 0, 0)), ZarnVersionException, "Unsupported Version: 4.0.0. Please update Zarn API."),
    (lambda d: flip(sample(option=1, user_info=b"u"), -60), ZarnException, "File is corrupted"),
    (lambda d: d[:-18] + w.uint32(0) + d[-13:], ZarnException, "Int64 could not be read"),
])
def test_failed_open_closes_the_file(write, opened_streams, unraisable, change, error, message):
    path = write(change(sample()))
    with pytest.raises(error) as caught:
        ZarnFile(path)
    assert type(caught.value) is error and str(caught.value) == message
    assert len(opened_streams) == 1 and opened_streams[0].closed
    assert descriptors(path) == 0
    os.remove(path)  # nothing holds it
    gc.collect()
    assert unraisable == []  # the half-made handle finalises silently


def test_a_failed_first_read_closes_the_file(write, opened_streams, monkeypatch, unraisable):
    # The failure's traceback holds the stream's frame, and with it the
    # stream: it is closed before the failure reaches the caller all the same.
    def fail(buffer):
        raise OSError("the disk went away")

    path = write(sample())
    recording_open = builtins.open
    monkeypatch.setattr(builtins, "open", lambda *a, **k: Stream(recording_open(*a, **k), fail))
    with pytest.raises(OSError, match="^the disk went away$"):
        ZarnFile(path)
    assert len(opened_streams) == 1 and opened_streams[0].closed
    assert descriptors(path) == 0 and unraisable == []


def test_a_handle_never_opened_finalises_silently(write, unraisable):
    class Unopened(ZarnFile):
        def __init__(self, file_path):
            pass  # never opens

    handles = [ZarnFile.__new__(ZarnFile), Unopened(write(sample()))]
    for handle in handles:
        handle.__del__()
    del handles, handle
    gc.collect()
    assert unraisable == []


def test_paths_that_cannot_be_opened(tmp_path, opened_streams):
    missing = str(tmp_path / "missing.zarn")
    with pytest.raises(ZarnException) as caught:
        ZarnFile(missing)
    assert str(caught.value) == "File not found: " + missing
    with pytest.raises(IsADirectoryError):
        ZarnFile(str(tmp_path))
    assert opened_streams == []


@pytest.mark.parametrize("as_path", [pathlib.Path, os.fsencode], ids=["pathlib", "bytes"])
def test_paths_that_are_not_str_read_as_text(tmp_path, write, as_path):
    """A missing path gives the reader's own message, and a handle its text,
    whatever form of path the caller used; file_path keeps the object."""
    missing = tmp_path / "missing.zarn"
    with pytest.raises(ZarnException) as caught:
        ZarnFile(as_path(str(missing)))
    assert caught.value.args == ("File not found: " + str(missing),)

    path = write(sample())
    given = as_path(path)
    with ZarnFile(given) as handle:
        assert (str(handle), repr(handle)) == (path, path)
        assert handle.file_path is given
        assert handle.get_measurement_count() == 2


@pytest.mark.parametrize("name", ["\udcffmissing.zarn", b"\xffmissing.zarn"], ids=["surrogate", "bytes"])
def test_a_missing_path_that_is_not_unicode_is_named_in_the_message(tmp_path, name):
    missing = os.path.join(os.fsencode(tmp_path) if isinstance(name, bytes) else str(tmp_path), name)
    with pytest.raises(ZarnException) as caught:
        ZarnFile(missing)
    assert caught.value.args == ("File not found: " + os.fsdecode(missing),)


def test_close_once_by_every_way(write, unraisable):
    path = write(sample())
    handle = ZarnFile(path)
    stream = stream_of(handle)
    handle.close()
    assert stream.closed
    assert handle.close() is None  # again: nothing
    assert handle.__exit__(None, None, None) is None

    with ZarnFile(path) as bound:
        assert type(bound) is ZarnFile
        bound.close()  # inside the block, then the block's end
    assert stream_of(bound).closed

    class Failure(Exception):
        pass

    with pytest.raises(Failure) as caught:
        with ZarnFile(path) as raised_in:
            raise Failure("mine")
    assert str(caught.value) == "mine" and stream_of(raised_in).closed

    finalised = ZarnFile(path)
    stream = stream_of(finalised)
    del finalised
    assert stream.closed
    assert unraisable == []


def test_a_closed_handle_answers_what_it_read_at_open(write):
    path = write(sample(count=2))
    handle = ZarnFile(path)
    measurement = handle.get_measurement(1)
    handle.close()
    assert (handle.get_measurement_count(), handle.get_file_format_version(), handle.file_path) == (2, "3.6.0", path)
    with pytest.raises(ValueError, match="closed file"):
        handle.get_measurement(0)
    with pytest.raises(ZarnException, match="^Index out of range$"):
        handle.get_measurement(2)
    # A measurement made before answers from memory and fails where it
    # needs the file.
    assert measurement.sample_name == "S1" and measurement.get_quan_analysis_count() == 1
    with pytest.raises(ValueError, match="closed file"):
        measurement.get_quan_analysis(0)


def test_handed_out_objects_do_not_keep_the_handle_alive(write):
    handle = ZarnFile(write(sample()))
    measurement = handle.get_measurement(0)
    analysis = measurement.get_quan_analysis(0)
    stream = stream_of(handle)
    del handle
    assert stream.closed
    assert len(analysis.chromatogram_points) == 2
    with pytest.raises(ValueError, match="closed file"):
        measurement.get_quan_analysis(0)


def test_a_handle_in_a_reference_cycle_is_closed_by_the_collector(write):
    handle = ZarnFile(write(sample()))
    stream = stream_of(handle)
    handle._ZarnFile__jump_table._JumpTable__measurement_index_list.append(handle)
    del handle
    gc.collect()
    assert stream.closed



def closed_by(way, path):
    """Opens the file, keeps its first measurement and that measurement's
    analysis, and closes the file `way`; the objects kept."""
    if way == "with":
        with ZarnFile(path) as handle:
            measurement = handle.get_measurement(0)
            return measurement, measurement.get_quan_analysis(0)
    handle = ZarnFile(path)
    measurement = handle.get_measurement(0)
    kept = measurement, measurement.get_quan_analysis(0)
    if way == "close":
        handle.close()
    elif way == "collector":
        handle._ZarnFile__jump_table._JumpTable__measurement_index_list.append(handle)
        del handle
        gc.collect()
    else:
        assert way == "finalisation"
        del handle
    return kept


@pytest.mark.parametrize("way", ["close", "with", "finalisation", "collector"])
def test_closing_releases_the_file_while_its_objects_are_kept(write, way):
    # The reader's own descriptor (its positioned reads) goes with the
    # stream's, so that a deleted file's space is freed at once; the kept
    # objects answer what they read and fail with the closed stream's error
    # where they need the file.
    path = write(sample())
    kept = [closed_by(way, path) for _ in range(20)]
    identity = os.stat(path)
    assert descriptors(identity) == 0
    os.remove(path)
    for measurement, analysis in kept:
        assert measurement.sample_name == "S0" and len(analysis.chromatogram_points) == 2
        with pytest.raises(ValueError, match="^seek of closed file$"):
            measurement.get_quan_analysis(0)
    assert descriptors(identity) == 0


def test_a_stream_closed_by_the_caller_is_let_go_at_the_next_use(write):
    path = write(sample())
    handle = ZarnFile(path)
    measurement = handle.get_measurement(0)
    stream_of(handle).close()
    with pytest.raises(ValueError, match="^seek of closed file$"):
        measurement.get_quan_analysis(0)
    assert descriptors(path) == 0
    handle.close()
    with pytest.raises(ValueError, match="^seek of closed file$"):
        measurement.get_quan_analysis(0)


@pytest.mark.skipif(sys.platform == "win32", reason="no descriptor limit to lower")
def test_a_batch_beyond_the_descriptor_limit_keeping_an_analysis_per_file(write):
    # A child interpreter allowed 64 descriptors opens the file 200 times,
    # each time keeping a measurement and its analysis after the file is
    # closed; then the program still has its descriptors for other files.
    code = "\n".join([
        "import resource, sys",
        "from zarn_data_access.access import ZarnFile",
        "soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)",
        "resource.setrlimit(resource.RLIMIT_NOFILE, (min(64, hard), hard))",
        "kept = []",
        "for _ in range(200):",
        "    with ZarnFile(sys.argv[1]) as handle:",
        "        measurement = handle.get_measurement(0)",
        "        kept.append((measurement, measurement.get_quan_analysis(0)))",
        "others = [open(sys.argv[2], 'rb') for _ in range(48)]",
        "print(len(kept), len(others))",
    ])
    run = subprocess.run([sys.executable, "-c", code, write(sample()), write(b"other", "other.bin")],
                         capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "200 48"), run.stderr

"""The reader and the objects that read through it, used as the package never
does: streams that keep what they are given or call back into the library,
readers that go away during a read, a file cut short after it was opened.
Each must end in a Python exception or a correct result, never in a read or
write of memory the library has let go."""

import builtins
import gc
import os
import struct

import pytest

import zarnwriter as w
from kit.reader import WINDOW, Stream, call
from zarn_data_access import qual as Q
from zarn_data_access._internal import _description as D
from zarn_data_access._internal._reader import KxmFileReader
from zarn_data_access.exception import ZarnException


@pytest.fixture
def open_with(monkeypatch):
    """open_with(path, make_stream) opens a reader whose stream is
    make_stream(the interpreter's file object)."""
    real_open = builtins.open

    def open_reader(path, make_stream):
        with monkeypatch.context() as m:
            m.setattr(builtins, "open", lambda *a, **k: make_stream(real_open(*a, **k)))
            return KxmFileReader._KxmFileReader__create_instance(path)
    return open_reader


def test_a_stream_that_keeps_its_buffers_cannot_reach_the_window(write, open_with):
    data = bytes(range(256)) * (3 * WINDOW // 256)
    kept = []
    r = open_with(write(data), lambda f: Stream(f, lambda buffer: kept.append(memoryview(buffer))))
    call(r, "set_buffer", 2 * WINDOW, 0, True)
    call(r, "set_buffer", WINDOW, 0, True)
    for view in kept:
        view[:] = b"\xee" * len(view)
    assert bytes(call(r, "get_bytes", 256)) == bytes(range(256))


def test_reading_into_a_record_being_read_is_refused(write, make_reader, open_with):
    record = w.core_condition(ms_level=1, vendor_specific_additional_condition=w.vendor_condition(
        scan_info_string="x" * 2000, cone_voltage=5.0, original_id=7))
    # The record straddles the first window's end, so reading it loads the next one.
    start = WINDOW - 1000
    armed = []
    core_reader = make_reader(record)
    Core = D.InternalAcquisitionCoreCondition
    core = Core._InternalAcquisitionCoreCondition__create_instance(core_reader)

    def read_again(buffer):
        if armed:
            armed.clear()
            call(core_reader, "set_buffer", 0)
            core._InternalAcquisitionCoreCondition__read(core_reader)

    r = open_with(write(bytes(start) + record + bytes(WINDOW)), lambda f: Stream(f, read_again))
    call(r, "set_buffer", start)
    armed.append(True)
    with pytest.raises(ZarnException, match="^The record is already being read$"):
        core._InternalAcquisitionCoreCondition__read(r)
    call(r, "set_buffer", start)
    core._InternalAcquisitionCoreCondition__read(r)  # and read again once it is over
    vendor = core._InternalAcquisitionCoreCondition__vendor_specific_additional_condition
    assert vendor._VendorSpecificAdditionalCondition__original_id == 7


def test_a_reader_handed_out_afresh_lives_through_the_read(write):
    path = write(w.spectrum_block(w.spectrum_double([100.0, 200.0], [1.0, 2.0])))

    class FreshReader:
        _SpectrumIndex__position = 0

        @property
        def _SpectrumIndex__reader(self):
            return KxmFileReader._KxmFileReader__create_instance(path)  # its only reference

    for spectrum in (Q.Spectrum._Spectrum__create_instance(FreshReader(), 0),
                     Q.DADSpectrum._DADSpectrum__create_instance(FreshReader(), 0, None)):
        assert [(p.x, p.intensity) for p in spectrum.get_spectrum_points()] == [(100.0, 1.0), (200.0, 2.0)]


def test_wavelengths_that_look_at_every_object_see_no_half_made_list(make_reader):
    count = 5
    r = make_reader(w.spectrum_block(w.dad_plain([1.0] * count)))

    class Looking:
        def __len__(self):
            return count

        def __getitem__(self, i):
            for o in gc.get_objects():
                if type(o) is list and len(o) == count:
                    repr(o)
            return 200.0 + i

    assert [p.x for p in call(r, "read_dad_spectrum", Looking())] == [200.0 + i for i in range(count)]


@pytest.mark.parametrize("method", ["skip_collection", "read_tiny_uint", "is_tiny_uint", "read_zarn_symbol"])
def test_reads_at_the_largest_position(make_reader, method):
    r = make_reader(bytes(16))
    call(r, "get_bytes", 2**63 - 1)
    with pytest.raises(IndexError):
        call(r, method)


@pytest.mark.parametrize("data, method, args, error", [
    (w.int32_array(list(range(100_000))), "read_int32_array", (), ZarnException),
    (w.single_array([1.5] * 100_000), "read_single_array", (), struct.error),
    (bytes(400_000), "read_float_array", (100_000,), struct.error),
])
def test_a_file_cut_short_after_opening(write, data, method, args, error):
    path = write(bytes(WINDOW) + data + bytes(1000))
    r = KxmFileReader._KxmFileReader__create_instance(path)
    os.truncate(path, WINDOW + 1000)
    call(r, "set_buffer", WINDOW)
    with pytest.raises(error):
        call(r, method, *args)


def test_a_record_read_through_two_objects_at_once(write, make_reader, open_with):
    """Two objects of one stored core condition: the one read while the other
    is being read replaces its nested record, which must outlive the read."""
    Qual = D.QualDescription
    q = Qual._QualDescription__create_instance()
    q._QualDescription__read(make_reader(w.qual_description(
        unique_acquisition_core_condition_list=[w.core_condition(ms_level=1)]) + b"\xff\xff"))
    first = q._QualDescription__unique_acquisition_core_condition_list[0]
    q._QualDescription__read(make_reader(b"\xff\xff"))  # drops the kept list, keeps the records
    second = q._QualDescription__unique_acquisition_core_condition_list[0]
    assert first is not second

    record = w.core_condition(ms_level=1, vendor_specific_additional_condition=w.vendor_condition(
        cone_voltage=5.0, original_id=7, scan_info_string="x" * 2000))
    inner = make_reader(record)
    armed = [True]

    def read_second(buffer):
        if armed and armed.pop():
            call(inner, "set_buffer", 0)
            second._InternalAcquisitionCoreCondition__read(inner)

    start = WINDOW - 1000
    r = open_with(write(bytes(start) + record + bytes(WINDOW)), lambda f: Stream(f, lambda b: read_second(b)))
    call(r, "set_buffer", start)
    first._InternalAcquisitionCoreCondition__read(r)
    assert not armed
    vendor = first._InternalAcquisitionCoreCondition__vendor_specific_additional_condition
    assert vendor._VendorSpecificAdditionalCondition__scan_info_string == "x" * 2000


def test_condition_lists_made_while_finalisers_read_the_description_again(make_reader):
    reader = make_reader(w.qual_description(
        unique_acquisition_core_condition_list=[w.core_condition(ms_level=1)] * 40) + b"\xff\xff")
    q = D.QualDescription._QualDescription__create_instance()
    q._QualDescription__read(reader)
    reads = []

    class ReadsAgain:
        def __init__(self):
            self.me = self  # a cycle: only the collector frees it

        def __del__(self):
            if len(reads) < 5:
                ReadsAgain()  # the next collection finds another
                reads.append(True)
                call(reader, "set_buffer", 0)
                q._QualDescription__read(reader)

    threshold = gc.get_threshold()
    ReadsAgain()
    gc.set_threshold(1)
    try:
        cores = q._QualDescription__unique_acquisition_core_condition_list
    finally:
        gc.set_threshold(*threshold)
        reads.extend([True] * 5)  # the finalisers still waiting read no more
        gc.collect()
    assert len(cores) == 40



MANY = 5000


@pytest.mark.parametrize("cls, args, name, before, after", [
    (D.InternalAcquisitionCondition, (), "product_indices",
     w.acquisition_condition(product_indices=[1, 2, 3, 4]), w.acquisition_condition(product_indices=list(range(MANY)))),
    (D.InternalAcquisitionCondition, (), "product_indices",
     w.acquisition_condition(product_indices=list(range(MANY))), w.acquisition_condition(product_indices=[7])),
    (D.QualDescription, (), "wavelength_arr",
     w.qual_description(detector_type=2, wavelength_arr=[1.0, 2.0]) + b"\xff\xff",
     w.qual_description(detector_type=2, wavelength_arr=[float(i) for i in range(MANY)]) + b"\xff\xff"),
    (D.InternalSpectrumDescription, (0,), "product_indices",
     w.spectrum_description(product_indices=[1, 2]), w.spectrum_description(product_indices=list(range(MANY)))),
], ids=["longer", "shorter", "wavelengths", "spectrum"])
def test_a_list_field_made_while_a_finaliser_reads_the_record_again(read_record, make_reader, cls, args, name,
                                                                      before, after):
    record = read_record(cls, before, *args)
    again = make_reader(after)
    again._KxmFileReader__set_version(3, 6, 0)
    reads = []

    class ReadsAgain:
        def __init__(self):
            self.me = self  # a cycle: only the collector frees it

        def __del__(self):
            getattr(record, f"_{cls.__name__}__read")(again)
            reads.append(True)

    attribute = f"_{cls.__name__}__{name}"
    spare = [[] for _ in range(200)]  # no list comes from the free list: making one allocates
    threshold = gc.get_threshold()
    gc.collect()
    ReadsAgain()
    gc.set_threshold(1)
    try:
        value = getattr(record, attribute)  # making the list collects; the finaliser reads again
    finally:
        gc.set_threshold(*threshold)
    del spare
    assert reads == [True]
    assert value == list(range(MANY)) or len(value) in (1, 2, 4)

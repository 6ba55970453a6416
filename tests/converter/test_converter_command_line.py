"""WbnConverter as an object: the platform gate, its properties, and the
command line it gives the converter program (as the stand-in program
receives it), with the quoting of that command line on Windows."""

import os
import pathlib
import subprocess
import sys

import pytest

from kit.conversion import TIMEOUT
from zarn_data_access import converter
from zarn_data_access.common import AnalysisTypes, QuanAnalysisTypes
from zarn_data_access.converter import (
    AdditionalOptions,
    ConvertOptions,
    ManufacturerOptions,
    QualOptions,
    QuanOptions,
    ShimadzuOptions,
    WatersOptions,
    WbnConverter,
)
from zarn_data_access.exception import WbnConverterException

FIELDS = {
    "_WbnConverter__executor": None,
    "_WbnConverter__process": None,
    "_WbnConverter__conversion_result": "",
    "_WbnConverter__progress_report_callback": None,
    "_WbnConverter__is_converting": False,
    "_WbnConverter__is_cancelled": False,
}


@pytest.mark.parametrize("platform", [None, "linux", "darwin", "cygwin", "win64", "Win32"])
def test_converter_refuses_every_platform_but_win32(monkeypatch, platform):
    if platform is not None:
        monkeypatch.setattr(sys, "platform", platform)
    with pytest.raises(WbnConverterException) as e:
        WbnConverter()
    assert e.value.args == ("WbnConverter works only on Windows.",)


def test_new_converter_answers_the_class_defaults(conversions):
    c = conversions.converter()
    assert vars(c) == {}
    for name, value in FIELDS.items():
        assert getattr(c, name) == value
        assert getattr(WbnConverter, name) == value
    assert type(c.convert_options) is ConvertOptions
    assert c.convert_options is conversions.converter().convert_options
    assert c.progress_report_callback is None
    with pytest.raises(TypeError):
        WbnConverter(1)


@pytest.mark.parametrize("prop", ["convert_options", "progress_report_callback"])
def test_converter_property_stores_any_value_on_the_object_only(conversions, prop):
    c, other = conversions.converter(), conversions.converter()
    default = getattr(other, prop)
    for value in (None, "text", 0, ConvertOptions()):
        setattr(c, prop, value)
        assert getattr(c, prop) is value
        assert vars(c)[f"_WbnConverter__{prop}"] is value
        assert getattr(other, prop) is default
    with pytest.raises(AttributeError):
        delattr(c, prop)


def own_tree():
    """A tree of option objects of its own, all at their defaults."""
    tree = ConvertOptions()
    tree.qual_options = QualOptions()
    tree.quan_options = QuanOptions()
    tree.manufacturer_options = ManufacturerOptions()
    tree.manufacturer_options.shimadzu_options = ShimadzuOptions()
    tree.manufacturer_options.waters_options = WatersOptions()
    tree.additional_options = AdditionalOptions()
    return tree


def all_set(tree):
    tree.qual_options.keep_only_ms1_spectra = True
    tree.qual_options.keep_profile_spectra = "yes"
    tree.quan_options.desired_quan_analysis_type = QuanAnalysisTypes.SIM | QuanAnalysisTypes.SRM
    tree.desired_analysis_type = AnalysisTypes.DAD | AnalysisTypes.QUAN | AnalysisTypes.QUAL
    tree.additional_options.force_split_by_measurement = 1
    tree.manufacturer_options.waters_options.keep_last_ms_function_in_mse = True
    tree.manufacturer_options.shimadzu_options.use_shimadzu_post_processing = True


def set_option(path, value):
    def change(tree):
        *parents, name = path.split(".")
        node = tree
        for parent in parents:
            node = getattr(node, parent)
        setattr(node, name, value)

    return change


LEADING = ["--background", "--zarn-protocol-version", "1", "-dest"]

COMMAND_LINES = [
    # (sources, overwrite, change to the tree, flags after the destination)
    ("in put.raw", False, None, []),
    (["a.raw", "b c.raw"], False, None, []),
    (("a.raw", "b.raw"), 0, None, []),
    ([], "", None, []),
    ("a.raw", True, None, ["-f"]),
    ("a.raw", 1, None, ["-f"]),
    ("a.raw", "no", None, ["-f"]),
    ("a.raw", False, set_option("qual_options.keep_only_ms1_spectra", True), ["-ms1"]),
    ("a.raw", False, set_option("desired_analysis_type", AnalysisTypes.ALL), []),
    ("a.raw", False, set_option("desired_analysis_type", AnalysisTypes.QUAL | AnalysisTypes.DAD), ["-qual", "-dad"]),
    ("a.raw", False, set_option("desired_analysis_type", AnalysisTypes.ANALOG | AnalysisTypes.QUAN),
     ["-quan", "-analog"]),
    ("a.raw", False, set_option("quan_options.desired_quan_analysis_type", QuanAnalysisTypes.SIM), ["-sim"]),
    ("a.raw", False, set_option("quan_options.desired_quan_analysis_type", QuanAnalysisTypes.NA), []),
    ("a.raw", False, set_option("quan_options.desired_quan_analysis_type", QuanAnalysisTypes.ALL), []),
    ("a.raw", True, all_set,
     ["-f", "-ms1", "-kp", "-srm", "-sim", "-qual", "-quan", "-dad", "--force-split-by-measurement",
      "--keep-last-msfunc", "--use-shimadzu-post-processing"]),
]


@pytest.mark.parametrize("sources, overwrite, change, flags", COMMAND_LINES)
def test_program_receives_the_command_line(conversions, sources, overwrite, change, flags):
    c = conversions.converter()
    c.convert_options = own_tree()
    if change:
        change(c.convert_options)
    dest = conversions.path("the dest.zarn")
    assert c.convert(sources, dest, overwrite).result(TIMEOUT) == ""
    record = conversions.record(dest)
    expected_sources = [sources] if isinstance(sources, str) else list(sources)
    assert record["name"] == "wbnc.exe"
    assert record["args"] == expected_sources + LEADING + [dest] + flags


def test_options_handed_out_afresh_on_each_access(conversions):
    """Option objects made anew by each property access live as long as
    the flags are read from them."""
    class FreshQuan(ConvertOptions):
        @property
        def quan_options(self):
            quan = QuanOptions()
            quan.desired_quan_analysis_type = QuanAnalysisTypes.SRM
            return quan

    class FreshTree(converter.WbnConverter):
        @property
        def _WbnConverter__convert_options(self):
            tree = FreshQuan()
            tree.desired_analysis_type = AnalysisTypes.QUAL
            return tree

    with conversions.monkeypatch.context() as m:
        m.setattr(sys, "platform", "win32")
        c = FreshTree()
    for _ in range(50):
        flags = []
        c._WbnConverter__add_option_string(flags, False)
        assert flags == ["-srm", "-qual"]


def no_tree(c):
    c.convert_options = None


def tree_without(*paths):
    def change(c):
        c.convert_options = own_tree()
        for path in paths:
            set_option(path, None)(c.convert_options)

    return change


REFUSED = [
    # (change to the converter, sources, exception type, message)
    (no_tree, "a.raw", Exception, "convert_options is null."),
    (tree_without("qual_options"), "a.raw", Exception, "qual_options is null."),
    (tree_without("quan_options", "qual_options"), "a.raw", Exception, "qual_options is null."),
    (tree_without("quan_options"), "a.raw", Exception, "quan_options is null."),
    (tree_without("additional_options"), "a.raw", AttributeError, None),
    (tree_without("manufacturer_options.shimadzu_options"), "a.raw", AttributeError, None),
    (set_option("convert_options.desired_analysis_type", object()), "a.raw", TypeError, None),
    (None, pathlib.Path("a.raw"), TypeError, None),
]


@pytest.mark.parametrize("overwrite", [False, True])
@pytest.mark.parametrize("change, sources, error, message", REFUSED)
def test_refused_conversion_starts_nothing_and_leaves_the_converter_free(
    conversions, change, sources, error, message, overwrite
):
    c = conversions.converter()
    c.convert_options = own_tree()
    if change:
        change(c)
    dest = conversions.path("refused.zarn")
    with pytest.raises(error) as e:
        c.convert(sources, dest, overwrite)
    assert type(e.value) is error
    if message:
        assert e.value.args == (message,)
    assert not os.path.exists(dest + ".run.json")

    c.convert_options = own_tree()
    assert c.convert("a.raw", dest, overwrite).result(TIMEOUT) == ""


def crt_split(line):
    """Splits a command line into arguments as the Microsoft C runtime does."""
    args, i, n = [], 0, len(line)
    while True:
        while i < n and line[i] in " \t":
            i += 1
        if i == n:
            return args
        arg, quoted = [], False
        while i < n and (quoted or line[i] not in " \t"):
            if line[i] == "\\":
                j = i
                while j < n and line[j] == "\\":
                    j += 1
                if j < n and line[j] == '"':
                    arg.append("\\" * ((j - i) // 2))
                    if (j - i) % 2:
                        arg.append('"')
                        j += 1
                else:
                    arg.append("\\" * (j - i))
                i = j
            elif line[i] == '"':
                quoted = not quoted
                i += 1
            else:
                arg.append(line[i])
                i += 1
        args.append("".join(arg))


@pytest.mark.parametrize(
    "args",
    [
        ["wbnc.exe", r"C:\data\a.raw", "--background", "-dest", r"D:\out.zarn"],
        [r"C:\My Data\run 1.raw", "tab\there"],
        ["", "a", ""],
        ['say "hi"', '"', 'a\\"b', 'a\\\\"b'],
        ["C:\\dir with space\\", "C:\\dir\\", "C:\\dir with space\\\\", "\\\\server\\share x"],
        ["a\\b\\\\c", "ü ñ 日本", "\udcff x"],
        [pathlib.PurePath("dir name/file.raw"), b"bytes arg"],
    ],
)
def test_windows_command_line_splits_back_into_the_same_arguments(args):
    line = converter._windows_command_line(args)
    assert crt_split(line) == [os.fsdecode(a) for a in args]
    assert line == subprocess.list2cmdline(args)

"""The README's two commands: the first sets up and runs the example
program, the second sets up and runs the tests, and is what CI runs."""

import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def commands(script):
    """The commands of a shell text: continuation lines joined, comments and
    blank lines dropped."""
    joined = re.sub(r"\\\n\s*", "", script)
    return [line.strip() for line in joined.splitlines() if line.strip() and not line.lstrip().startswith("#")]


def quick_start():
    """The README's first section: its heading and the commands of each of
    its code blocks."""
    section = re.search(r"^## (.*?)\n(.*?)(?=^## |\Z)", read("README.md"), re.M | re.S)
    return section[1], [commands(block) for block in re.findall(r"```\w*\n(.*?)```", section[2], re.S)]


def test_the_readme_opens_with_the_two_commands():
    assert quick_start() == ("Quick start", [["./dev example", "./dev test"]])


def test_ci_runs_the_second_command():
    ci = [c for c in commands(read(".ci/run")) if not c.startswith(("set ", "cd "))]
    assert ci == quick_start()[1][0][1:]


def test_the_dev_script_runs_from_a_checkout():
    # A fresh clone runs it as ./dev: it must keep its executable bit.
    assert os.access(os.path.join(ROOT, "dev"), os.X_OK)


def test_the_example_program_runs():
    out = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "read_sample.py")],
                         check=True, capture_output=True, text=True, cwd=ROOT).stdout
    lines = out.splitlines()
    assert lines[:3] == [
        "Zarn format 3.6.0, 2 measurements",
        "  [Sample Name] Plasma 1, [Sample ID] P-1, [#Qual] 1, [#Quan] 1, [#DAD] 0, [#Analog] 0",
        "  [Sample Name] Blank, [#Qual] 0, [#Quan] 0, [#DAD] 0, [#Analog] 1"]
    assert lines[3:] == [
        "[0] 3 spectra, 1 spectrum conditions",
        "spectrum [1] 3 points: [(138.0, 20.0), (195.0, 42.0), (196.0, 10.0)]",
        "TIC: [(0.5, 61.0), (1.0, 62.0), (1.5, 63.0)]",
        "XIC 194.5-195.5: [(0.5, 41.0), (1.0, 42.0), (1.5, 43.0)]",
        "[0] SRM, Caffeine, 195.1 > 138.0 [(0.5, 12.0), (1.0, 480.0), (1.5, 30.0)]",
        "[0] Pump pressure [(0.5, 101.5), (1.0, 102.0)]"]

"""Fixtures of the conversion tests."""

import os

import pytest

from kit.conversion import STAND_IN_DIR, Conversions


@pytest.fixture
def conversions(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(STAND_IN_DIR) + os.pathsep + os.environ.get("PATH", ""))
    conversions = Conversions(monkeypatch, tmp_path)
    yield conversions
    conversions.close()

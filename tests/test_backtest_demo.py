"""The back-test demo runs end to end, with and without matplotlib."""

import importlib.util
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def demo():
    spec = importlib.util.spec_from_file_location(
        "backtest_demo", os.path.join(ROOT, "examples", "backtest_demo.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_demo_draws_the_equity_picture(demo, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "equity.png"
    demo.main([str(picture)])
    out = capsys.readouterr().out
    assert "decoded from the stored bytes: identical to the original" in out
    assert f"equity curve with drawdown: {picture}" in out
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_without_matplotlib_says_it_skipped_the_picture(demo, tmp_path, capsys,
                                                              monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    picture = tmp_path / "equity.png"
    demo.main([str(picture)])
    out = capsys.readouterr().out
    assert "skipped the equity picture: matplotlib is not installed" in out
    assert not picture.exists()

"""The back-test demo runs end to end, with and without matplotlib."""

import os
import runpy
import sys
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def demo():
    names = runpy.run_path(os.path.join(ROOT, "examples", "backtest_demo.py"))
    return types.SimpleNamespace(**names)


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

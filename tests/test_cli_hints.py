"""What the command line tells a user who is one step off: the option they
probably meant, --recursive when the photos lie deeper, and where an
--output run's results went."""

import sys

import pytest

from velmora_huebit.cli.entry import main


def run(capsys, *args):
    status = main([str(a) for a in args])
    return status, capsys.readouterr().err


def test_colour_spellings_work_and_typos_get_a_suggestion(capsys, coffee_path):
    from velmora_huebit.cli.arguments import build_parser

    for spelling in ("--colors", "--colours"):
        assert build_parser().parse_args(["extract", "x.png", spelling, "3"]).colors == 3
    # --colour is --color, the tables' colours: a number there is a slip
    status, err = run(capsys, "extract", coffee_path, "--colour", "3")
    assert status == 2 and "the number of colours is --colors 3" in err
    status, err = run(capsys, "extract", coffee_path, "--colrs", "3")
    assert status == 2
    assert "velmora-huebit extract: error: unrecognized arguments: --colrs 3 (did you mean --colors?)" in err
    assert "Try 'velmora-huebit extract --help'" in err


def test_photos_one_level_down_point_at_recursive(capsys, tmp_path):
    (tmp_path / "day1").mkdir()
    status, err = run(capsys, "extract", tmp_path)
    assert status == 1 and "no images in this folder (it has subfolders: --recursive descends" in err
    status, err = run(capsys, "extract", tmp_path / "**" / "*.png")
    assert status == 1 and "(** matches folders at any depth only with --recursive)" in err
    status, err = run(capsys, "extract", tmp_path / "**" / "*.png", "--recursive")
    assert status == 1 and "no files match this pattern\n" in err


def test_output_run_in_a_terminal_says_where_the_results_went(capsys, monkeypatch, tmp_path, coffee_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "colours.parquet"
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    status, err = run(capsys, "extract", coffee_path, "-o", out)
    assert status == 0 and f"velmora-huebit: 0 of 1 photo failed, 0 with warnings; table {out}\n" in err

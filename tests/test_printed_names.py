"""File names with control characters: escaped wherever the command line
prints them for a person, kept exact in the data it writes."""

import json
import shutil

import pytest

from test_cli import run_cli
from velmora_huebit.photos.sources import display_name

HOSTILE = "\x1b]0;owned\x07\x1b[2J\u202egnp.png"  # sets the title, clears the screen, reverses text


def test_names_are_escaped_for_people_and_exact_in_data(data_dir, tmp_path):
    shutil.copy(data_dir / "coffee.png", tmp_path / HOSTILE)
    (tmp_path / f"broken{HOSTILE}").write_bytes(b"not an image")
    (tmp_path / "café 日本.png").write_bytes((data_dir / "coffee.png").read_bytes())
    shown = display_name(str(tmp_path / HOSTILE))
    assert shown.endswith("\\x1b]0;owned\\x07\\x1b[2J\\u202egnp.png")

    table = run_cli("extract", tmp_path, "--table", "-j", 1, "--max-side", 16)
    assert table.returncode == 1
    for text in (table.stdout, table.stderr):
        assert not any(c in text for c in "\x1b\x07\u202e")
    assert shown in table.stdout.splitlines() and str(tmp_path / "café 日本.png") in table.stdout
    assert f"error: {display_name(str(tmp_path / f'broken{HOSTILE}'))}: cannot read" in table.stderr

    lines = run_cli("extract", tmp_path, "--json", "-j", 1, "--max-side", 16).stdout.splitlines()
    assert [json.loads(line)["file"] for line in lines] == [str(tmp_path / HOSTILE), str(tmp_path / "café 日本.png")]

    # a target's name is escaped as a palette file's names are
    table = run_cli("match", tmp_path / HOSTILE, "--target", f"{HOSTILE}=#e4002b", "--table", "--max-side", 16)
    assert table.returncode == 0 and not any(c in table.stdout for c in "\x1b\x07\u202e")
    assert "\\x1b]0;owned\\x07" in table.stdout


@pytest.mark.parametrize("name, shown", [("tab\there\n.png", "tab\\there\\n.png"), ("c1\x9b2J", "c1\\x9b2J"),
                                         ("naïve 👨\u200d👩\u200d👧.png", "naïve 👨\u200d👩\u200d👧.png")])
def test_display_name(name, shown):
    assert display_name(name) == shown

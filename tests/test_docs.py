"""Every example of README.md and docs/ runs, in a folder laid out like the
checkout (the sample photos, plus the few files the examples name).

```python blocks run with doctest's checks where they show `>>>`;
```console blocks run each `$ ` line in bash and compare what it prints
(stdout and stderr, `...` matching anything) where an output is shown, and
otherwise want exit status 0 (`$ echo $?` shows another); ```sh blocks run
each line and want 0. `<!-- skip: next "why" -->` marks a block that cannot
run here (a cluster, a bucket, the set-up itself)."""

import doctest
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

import pytest
from sybil import Sybil
from sybil.parsers.markdown import CodeBlockParser, PythonCodeBlockParser, SkipParser

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
ESCAPES = re.compile(r"\x1b\[[0-9;]*m")


def run_commands(example):
    """One `$ command` at a time, so `echo $?` sees the one before it."""
    commands, status = [], 0
    for line in example.parsed.splitlines():
        if line.startswith("$ ") or example.region.lexemes["arguments"] == "sh" and line.strip():
            commands.append([line.removeprefix("$ "), []])
        elif commands:
            commands[-1][1].append(line)
    for command, shown in commands:
        done = subprocess.run(["bash", "-c", f"(exit {status}); {command}"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=300)
        got = ESCAPES.sub("", done.stdout)
        want = "\n".join(shown).strip("\n") + "\n"
        if shown and not doctest.OutputChecker().check_output(want, got, FLAGS):
            return f"{command}\nwanted:\n{want}got:\n{got}"
        if not shown and done.returncode and not command.startswith("echo"):
            return f"{command}\nexit status {done.returncode}:\n{got}"
        status = done.returncode


DOCS = Sybil([PythonCodeBlockParser(doctest_optionflags=FLAGS), SkipParser(),
              CodeBlockParser("console", run_commands), CodeBlockParser("sh", run_commands)])


def tiny_png(path, width, height):
    """A PNG whose header claims width x height (nothing to decode after it)."""
    chunk = b"IHDR" + struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + chunk
                     + struct.pack(">I", zlib.crc32(chunk)))


@pytest.fixture()
def checkout(tmp_path, monkeypatch):
    for folder in ("tests/data", "bench/photos"):
        shutil.copytree(ROOT / folder, tmp_path / folder)
    shots = tmp_path / "shots"
    shots.mkdir()
    shutil.copy(ROOT / "tests/data/chelsea.png", shots / "cat.png")
    (shots / "scan.jpg").write_bytes(b"not a photo")
    tiny_png(tmp_path / "huge.png", 30000, 30000)
    (tmp_path / "catalogue.txt").write_text("".join(
        f"{photo}\n" for photo in sorted(map(str, tmp_path.glob("*/*/*.[pj][np]g")))))
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}")


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_examples(page, checkout):
    for example in DOCS.parse(page):
        try:
            example.evaluate()
        except unittest.SkipTest:
            pass

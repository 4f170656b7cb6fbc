"""The stub file agrees with the built module, and typed code that uses the
API passes mypy --strict."""

import pathlib
import subprocess
import sys

import velmora_huebit

EXAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "palette.py"


def run_module(tmp_path, *args):
    # outside the checkout, so only the installed package (or PYTHONPATH) is seen
    out = subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stubs_match_the_native_modules(tmp_path):
    # one stubtest for all: each run type-checks the package from nothing
    run_module(tmp_path, "mypy.stubtest", "velmora_huebit.color_extractor_cy", "velmora_huebit._engine",
               "velmora_huebit.photos._jpeg", "velmora_huebit.photos._area",
               "--mypy-config-file", "/dev/null")


def test_example_passes_strict_mypy(tmp_path):
    run_module(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(EXAMPLE))


def test_version_comes_from_the_metadata():
    from importlib.metadata import version

    assert velmora_huebit.__version__ == version("velmora_huebit")

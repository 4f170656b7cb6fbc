"""The package's layers, and whole runs from Python: analyse() gives what the
command line gives, and writes the same table."""

import pathlib
import subprocess
import sys

import pyarrow.parquet as pq
import pytest

import velmora_huebit
from test_cli import json_lines, photos, run_cli  # noqa: F401 - photos is a fixture
from velmora_huebit.errors import SettingError


def test_imports_only_go_downwards():
    command = pathlib.Path(sys.executable).with_name("lint-imports")
    proc = subprocess.run([command, "--no-cache"], cwd=pathlib.Path(__file__).parents[1], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_every_import_of_the_package_names_a_module_that_is_there():
    # the layer contract cannot see an import of a module that moved away
    # (nor can an editable install's finder, which remembers where files were)
    import ast
    import importlib.util

    source = pathlib.Path(velmora_huebit.__file__).parent

    def there(name):
        place = source.joinpath(*name.split(".")[1:])
        if place.with_suffix(".py").exists() or (place / "__init__.py").exists():
            return True
        return "." not in name[len("velmora_huebit."):] and importlib.util.find_spec(name) is not None  # native
    for path in source.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            names = ([node.module] if isinstance(node, ast.ImportFrom) and node.module and not node.level
                     else [a.name for a in node.names] if isinstance(node, ast.Import) else [])
            for name in names:
                if name.startswith("velmora_huebit."):
                    assert there(name), f"{path.name} imports {name}"


def test_palette_loads_no_part_of_the_command_line(coffee_path):
    code = ("import sys, velmora_huebit; velmora_huebit.palette(sys.argv[1]); "
            "print([m for m in sys.modules if m.startswith('velmora_huebit.cli') or "
            "m in ('argparse', 'multiprocessing', 'velmora_huebit.runs')])")
    proc = subprocess.run([sys.executable, "-c", code, coffee_path], capture_output=True, text=True, check=True)
    assert proc.stdout.strip() == "[]"


@pytest.mark.parametrize("jobs", [1, 2])
def test_analyse_gives_the_records_and_table_of_the_command_line(photos, tmp_path, jobs):
    proc = run_cli("extract", photos, "--output", tmp_path / "cli.parquet")
    listed = [(r.photo, r.records) for r in velmora_huebit.analyse(photos, jobs=jobs,
                                                                   table=str(tmp_path / "api.parquet"))]
    cli = json_lines(run_cli("extract", photos, "--json"))
    assert proc.returncode == 0 and [p for p, _ in listed] == [r["file"] for r in cli]
    assert [[c["hex"] for c in r["colors"]] for r in cli] == [
        ["#%02x%02x%02x" % c["color"] for c in records] for _, records in listed]
    assert pq.read_table(tmp_path / "api.parquet").equals(pq.read_table(tmp_path / "cli.parquet"))


def test_analyse_on_a_local_dask_cluster_gives_the_same_records(photos):
    pytest.importorskip("distributed")
    alone = [(r.photo, r.records) for r in velmora_huebit.analyse(photos, jobs=1)]
    assert [(r.photo, r.records) for r in velmora_huebit.analyse(photos, dask="local", jobs=1)] == alone


def test_match_failures_and_writers(photos, tmp_path):
    targets = {"cream": "#f0dcc8", "ink": (0, 0, 128)}
    results = list(velmora_huebit.analyse([photos / "a_coffee.png", tmp_path / "missing.png"], targets=targets))
    cli = json_lines(run_cli("match", photos / "a_coffee.png", "-t", "cream=#f0dcc8", "-t", "ink=0,0,128"))
    missing, found = results  # problems of the listing come first, as the command line says them
    assert found.records["cream"]["delta_e"] == cli[0]["targets"]["cream"]["delta_e"]
    assert missing.records is None and missing.error == "no such file or folder"
    assert velmora_huebit.write_table(results, str(tmp_path / "m.csv")) == 2
    assert velmora_huebit.write_report(results, str(tmp_path / "m.html")) == 2
    assert "missing.png" in (tmp_path / "m.html").read_text()


def test_analyse_refuses_bad_settings_before_running(tmp_path):
    with pytest.raises(ValueError, match="target 'x'"):
        velmora_huebit.analyse(tmp_path, targets={"x": "not a colour"})
    with pytest.raises(ValueError, match="threshold"):
        velmora_huebit.analyse(tmp_path, targets={"x": (1, 2, 3)}, pixels=True, threshold=3)
    with pytest.raises(SettingError, match="Parquet"):
        velmora_huebit.analyse(tmp_path, table=str(tmp_path / "t.txt"))


def test_a_librarys_deprecation_notes_are_not_the_photos_warnings(coffee_path):
    import warnings

    from velmora_huebit.analysis.job import Job
    from velmora_huebit.runs.work import run_one

    class Noisy:
        def extract_colors(self, image, mask=None):
            warnings.warn("'parseString' deprecated", DeprecationWarning, stacklevel=1)
            warnings.warn("only 1 distinct colours", UserWarning, stacklevel=1)
            return [{"color": (1, 2, 3), "percentage": 100.0}]

    outcome = run_one(Noisy(), Job("extract", max_side=16), coffee_path, None)
    assert outcome.warnings == ("only 1 distinct colours",)

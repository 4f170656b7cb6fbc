"""--output tables: tidy rows in Parquet and CSV as pandas and DuckDB read
them, and the store that keeps them: a place it cannot write, a fold that
fails, parts left by a killed run, damaged journals."""

import os
import pathlib
import shutil
import sys

import cv2
import pytest

from test_cli import json_lines, run_cli
from velmora_huebit.outputs.csvfile import CsvFormat
from velmora_huebit.outputs.parquet import ParquetFormat
from velmora_huebit.outputs.store import Store
from velmora_huebit.outputs.tidy import columns
from velmora_huebit.analysis.job import Job

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fuzz"))
import store_damage  # noqa: E402

pd = pytest.importorskip("pandas")
duckdb = pytest.importorskip("duckdb")


@pytest.fixture()
def shots(tmp_path, data_dir):
    folder = tmp_path / "shots"
    folder.mkdir()
    for name in ("coffee", "chelsea"):
        cv2.imwrite(str(folder / f"{name}.png"), cv2.imread(str(data_dir / f"{name}.png"))[:90, :120])
    (folder / "broken.png").write_bytes(b"not an image")
    return folder


def test_tidy_rows_as_pandas_and_duckdb_read_them(shots, tmp_path):
    records = {r["file"]: r for r in json_lines(run_cli("extract", shots, "-n", 3, "-j", 1))}
    for suffix in ("parquet", "csv"):
        out = tmp_path / f"colours.{suffix}"
        proc = run_cli("extract", shots, "-n", 3, "-j", 1, "-o", out)
        assert proc.returncode == 1 and "broken.png: cannot read the image" in proc.stderr
        frame = pd.read_parquet(out) if suffix == "parquet" else pd.read_csv(out)
        assert frame.equals(duckdb.sql(f"select * from '{out}'").df().astype(frame.dtypes))
        assert list(frame.columns) == [name for name, _ in columns(Job("extract"))]
        failed = frame[frame.status == "failed"]
        assert list(failed.file) == [str(shots / "broken.png")] and failed.error.iloc[0].startswith("cannot read")
        ok = frame[frame.status == "ok"]
        for file, rows in ok.groupby("file"):
            record = records[file]
            assert list(rows["rank"]) == [1, 2, 3]
            assert (rows.width.iloc[0], rows.height.iloc[0]) == (120, 90)
            assert list(rows.analysed_width) == [120] * 3
            assert [[r, g, b] for r, g, b in zip(rows.r, rows.g, rows.b)] == [c["rgb"] for c in record["colors"]]
            assert list(rows.share) == [c["percentage"] for c in record["colors"]]
            assert list(rows.hex) == [c["hex"] for c in record["colors"]]

    # a resumed run tries the failed photo again and replaces its row; the others stay
    shutil.copy(shots / "coffee.png", shots / "broken.png")
    proc = run_cli("extract", shots, "-n", 3, "-j", 1, "-o", out, "--resume")
    assert proc.returncode == 0 and "2 photos already in" in proc.stderr, proc.stderr
    frame = pd.read_csv(out)
    assert list(frame.status) == ["ok"] * 9 and frame.groupby("file").size().tolist() == [3, 3, 3]

    out = tmp_path / "brand.parquet"
    proc = run_cli("match", shots / "coffee.png", "-o", out, "-t", "cream=#eed5bd", "-t", "ink=navy", "--pixels")
    frame = duckdb.sql(f"select target, target_hex, closest_pixel, total_percentage from '{out}'").df()
    assert list(frame.target) == ["cream", "ink"] and list(frame.target_hex) == ["#eed5bd", "#000080"]
    assert frame.closest_pixel.str.match("#[0-9a-f]{6}$").all()


def test_a_place_that_cannot_be_written_is_refused_before_any_photo(shots, tmp_path):
    (tmp_path / "x.csv").mkdir()
    for out, message in [("/proc/colours.parquet", "cannot write in /proc"), (tmp_path / "x.csv", "not a regular file")]:
        proc = run_cli("extract", shots, "-o", out)
        assert proc.returncode == 2 and message in proc.stderr and "Traceback" not in proc.stderr
        assert "broken.png" not in proc.stderr and proc.stdout == ""  # nothing analysed


@pytest.mark.parametrize("fmt", [ParquetFormat, CsvFormat])
def test_store_folds_parts_once_and_keeps_them_when_the_fold_fails(fmt, tmp_path):
    fmt = fmt(store_damage.KINDS)
    path = str(tmp_path / f"rows{fmt.suffix}")
    said = []
    rows = [store_damage.rows(photo, 1) for photo in range(7)]

    def say(level, text):
        said.append(level)

    store = Store(path, fmt, {}, False, say, photos_per_part=2)
    for photo_rows in rows[:5]:  # parts 1 and 2, one photo in the journal of part 3
        store.add(photo_rows)
    os.mkdir(path)  # the fold cannot replace a folder
    store.close()
    kept = sorted([name.split(".")[0], name.rsplit(".")[-1]] for name in os.listdir(path + ".parts"))
    assert store.failed and said == ["error"] and kept[:3] == [["00001", fmt.suffix[1:]], ["00002", fmt.suffix[1:]],
                                                               ["00003", "jsonl"]]
    os.rmdir(path)

    store = Store(path, fmt, {}, True, say)
    assert len(store.done) == 5
    store.add(rows[5])
    store.close()
    # killed after the folded file replaced the old one, before the parts went
    store = Store(path, fmt, {}, True, say, photos_per_part=2)
    store.add(rows[6])
    store.journal.close()
    shutil.copytree(store.folder, tmp_path / "stale")
    store.close()
    shutil.copytree(tmp_path / "stale", store.folder)
    store = Store(path, fmt, {}, True, say)
    assert len(store.done) == 7
    store.close()
    got = [row for batch in fmt.batches(path) for row in (batch if fmt.suffix == ".csv" else batch.to_pylist())]
    expected = [row for photo_rows in rows for row in photo_rows]
    assert got == (fmt.from_rows(expected) if fmt.suffix == ".csv" else expected)


def test_damaged_journals_parts_and_run_files_lose_and_repeat_nothing():
    count, failures = store_damage.run(seed_value=0, examples=40)
    assert count >= 40 and not failures, failures[0]


def test_csv_text_cells_are_never_run_as_formulas_and_parquet_keeps_them(tmp_path):
    names = ["=HYPERLINK(\"http://x\")", "+cmd|' /C calc'!A0", "-2+3", "@SUM(A1)", "\tx", "\rx", "red", "a=b"]
    rows = []
    for rank, name in enumerate(names, 1):
        row = dict(store_damage.rows(1, 1)[0], rank=rank, name=name, share=-1.5, file=f"/p/{name}.png")
        rows.append(row)
    cells = CsvFormat(store_damage.KINDS).from_rows(rows)
    at = store_damage.NAMES.index
    assert [cell[at("name")] for cell in cells] == ["'" + name for name in names[:6]] + names[6:]
    assert {cell[at("share")] for cell in cells} == {"-1.5"} and cells[0][at("file")] == rows[0]["file"]
    parquet = ParquetFormat(store_damage.KINDS)
    parquet.write(str(tmp_path / "t.parquet"), [parquet.from_rows(rows)])
    assert next(parquet.batches(str(tmp_path / "t.parquet"))).to_pylist() == rows


@pytest.mark.parametrize("fmt", [ParquetFormat, CsvFormat])
def test_journal_lines_of_other_runs_and_photos_and_odd_run_folders_are_skipped(fmt, tmp_path):
    fmt = fmt(store_damage.KINDS)
    path = str(tmp_path / f"rows{fmt.suffix}")
    said = []

    def store(settings, listed=lambda file: file.startswith("/photos/")):
        return Store(path, fmt, settings, True, lambda level, text: said.append(text), listed=listed)

    first = store({"n_colors": 3})
    for photo in range(3):
        first.add(store_damage.rows(photo, 1))
    first.close()
    killed = store({"n_colors": 3})
    killed.add(store_damage.rows(4, 1))
    killed.add([dict(row, file="/etc/t1024.png") for row in store_damage.rows(6, 1)])
    # lines of another run, copied into this one's journal
    other = Store(str(tmp_path / f"other{fmt.suffix}"), fmt, {"n_colors": 5}, False, print)
    other.add(store_damage.rows(1, 1)[:1])
    other.add(store_damage.rows(5, 1))
    other.journal.close()
    with open(killed.journal.name, "ab") as journal, open(other.journal.name, "rb") as lines:
        journal.write(lines.read())
    killed.journal.close()
    os.close(killed.lock)

    resumed = store({"n_colors": 3})
    assert len(resumed.done) == 4 and "/etc/t1024.png" not in resumed.done
    assert any("2 lines of a run with other settings skipped" in text for text in said)
    assert any("1 line for photos that this run does not name left out" in text for text in said)
    resumed.close()
    files = [file for batch in fmt.batches(path) for file in fmt.column(batch, "file")]
    expected = [row["file"] for photo in (0, 1, 2, 4) for row in store_damage.rows(photo, 1)]
    assert sorted(files) == sorted(expected)

    os.makedirs(path + ".parts/run.json")  # damaged: skipped with a warning, not a stop
    store({"n_colors": 3}).close()
    with open(path + ".parts", "w") as parts:
        parts.write("not a folder")
    store({"n_colors": 3}).close()
    assert not os.path.exists(path + ".parts") and "is damaged" in said[-2] and "not a folder" in said[-1]

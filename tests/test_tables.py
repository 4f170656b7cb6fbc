"""Tables that answer right: colour columns that subtract, L*a*b* beside
them, older tables still read and resumed, search() against a brute-force
ranking; damaged photos flagged in every output, and where the files of a
run go (folders made, one palette library, the summary line)."""

import json
import os
import struct

import cv2
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from test_cli import json_lines, run_cli
from velmora_huebit import search
from velmora_huebit.analysis.job import Job, Outcome
from velmora_huebit.colour.parse import read_palette
from velmora_huebit.colour.space import ciede2000, srgb_to_lab
from velmora_huebit.outputs.csvfile import CsvFormat
from velmora_huebit.outputs.parquet import METADATA_KEY, ParquetFormat
from velmora_huebit.outputs.report import _Colours
from velmora_huebit.outputs.store import Store, fingerprint
from velmora_huebit.outputs.tidy import ADDED, columns, photo_rows

duckdb = pytest.importorskip("duckdb")
pd = pytest.importorskip("pandas")

JOB = Job("extract")
KINDS = columns(JOB)
NAMES = [name for name, _ in KINDS]
OLD = [name for name in NAMES if name not in ADDED]  # before the L*a*b* and warnings columns


def table_rows(count: int, seed: int = 0) -> list[list[dict]]:
    """Photos of one to five random colours each, as a run's rows."""
    rng = np.random.default_rng(seed)
    photos = []
    for photo in range(count):
        colours = [{"color": tuple(int(c) for c in rng.integers(0, 256, 3)), "percentage": float(rng.integers(1, 60))}
                   for _ in range(int(rng.integers(1, 6)))]
        if photo % 40 == 1:  # greys (no hue) at ΔE2000 0 from grey: ties, ranked by share
            colours.append({"color": (128, 128, 128), "percentage": float(photo % 7)})
        photos.append(photo_rows(f"/photos/p{photo:03d}.jpg", JOB, Outcome(result=colours, size=(4, 3), full_size=(8, 6)),
                                 NAMES))
    return photos


def write_old(path: str, photos: list[list[dict]]) -> None:
    """A table as versions before the L*a*b* columns wrote it (r, g, b uint8)."""
    rows = [{name: row[name] for name in OLD} for photo in photos for row in photo]
    if path.endswith(".csv"):
        old = CsvFormat([(name, kind) for name, kind in KINDS if name in OLD])
        old.write(path, [old.from_rows(rows)])
        old.wrote(path, {"settings": {}})
        return
    schema = pa.schema([(name, pa.uint8() if name in "rgb" else ParquetFormat(KINDS).schema.field(name).type)
                        for name in OLD])
    schema = schema.with_metadata({METADATA_KEY: json.dumps({"settings": {}, "generation": "old"})})
    pq.write_table(pa.Table.from_pylist(rows, schema=schema), path)


@pytest.mark.parametrize("fmt", [ParquetFormat, CsvFormat])
def test_an_older_table_and_its_journal_are_resumed_into_todays_columns(fmt, tmp_path):
    fmt = fmt(KINDS)
    path = str(tmp_path / f"old{fmt.suffix}")
    photos = table_rows(6)
    write_old(path, photos[:3])
    # a killed older run's journal: rows of the old columns
    os.mkdir(path + ".parts")
    with open(os.path.join(path + ".parts", "run.json"), "w") as file:
        json.dump({"base": "" if fmt.suffix == ".csv" else "old", "settings": {}}, file)
    with open(os.path.join(path + ".parts", "00001.jsonl"), "w") as file:
        rows = [{name: row[name] for name in OLD} for row in photos[3]]
        file.write(json.dumps({"settings": fingerprint({}), "rows": rows}) + "\n")
    said = []
    store = Store(path, fmt, {}, True, lambda level, text: said.append(text))
    assert len(store.done) == 4 and not said
    for rows in photos[4:]:
        store.add(rows)
    store.close()
    got = pd.read_parquet(path) if fmt.suffix == ".parquet" else pd.read_csv(path)
    assert list(got.columns) == NAMES and len(got) == sum(map(len, photos))
    expected = pd.DataFrame([row for rows in photos for row in rows])
    assert np.allclose(got[["lab_l", "lab_a", "lab_b"]], expected[["lab_l", "lab_a", "lab_b"]], atol=1e-9)
    assert got[["r", "g", "b"]].values.tolist() == expected[["r", "g", "b"]].values.tolist()
    if fmt.suffix == ".parquet":
        assert str(got.r.dtype) == "int32"


def brute_force(photos, near, within, min_share):
    """(file, ΔE2000, hex, share) of each photo's nearest colour, ranked as search() ranks."""
    target = srgb_to_lab(near)
    found = []
    for rows in photos:
        best = min(((float(ciede2000([r["lab_l"], r["lab_a"], r["lab_b"]], target)), -r["share"], r["rank"], r)
                    for r in rows if r["share"] >= min_share), default=None, key=lambda t: t[:3])
        if best is not None and best[0] <= within:
            found.append((best[3]["file"], best[0], best[3]["hex"], best[3]["share"]))
    return sorted(found, key=lambda f: (f[1], -f[3], f[0]))


def test_search_ranks_as_a_brute_force_ranking_in_parquet_csv_and_older_tables(tmp_path):
    photos = table_rows(300, seed=1)
    new, old = str(tmp_path / "new.parquet"), str(tmp_path / "old.csv")
    with Store(new, ParquetFormat(KINDS), {}, False, lambda *said: None) as store:
        for rows in photos:
            store.add(rows)
    write_old(old, photos)
    for near, within, min_share in [((0, 0, 128), 12.0, 0.0), ("#e4002b", 8.0, 20.0), ((128, 128, 128), 3.0, 0.0)]:
        expected = brute_force(photos, parse(near), within, min_share)
        assert len(expected) >= 3, (near, expected)
        for table, tolerance in ((new, 1e-9), (old, 2e-3)):  # old: L*a*b* in SQL, not rounded to 3 decimals
            got = search(table, near, within, min_share)
            assert [f.file for f in got] == [e[0] for e in expected]
            assert np.allclose([f.delta_e for f in got], [e[1] for e in expected], atol=tolerance)
            assert [(f.hex, f.share) for f in got] == [e[2:] for e in expected]
    proc = run_cli("search", new, "--near", "navy", "--within", 12, "--json")
    assert proc.returncode == 0 and [r["file"] for r in json_lines(proc)] == [f.file for f in search(new, "navy", 12)]
    (tmp_path / "other.csv").write_text("a,b\n1,2\n")
    for table, message in [(tmp_path / "no.parquet", "no such file"), (old + ".txt", "FILE.parquet or FILE.csv"),
                           (tmp_path / "other.csv", "not a table of extract's colours (no file, status, rank")]:
        proc = run_cli("search", table, "--near", "navy")
        assert proc.returncode == 2 and message in proc.stderr and "Traceback" not in proc.stderr


def parse(near):
    from velmora_huebit.colour.parse import parse_color

    return parse_color(near) if isinstance(near, str) else near


def test_damaged_photos_are_flagged_in_table_report_and_summary_and_files_go_where_asked(tmp_path, data_dir):
    shots = tmp_path / "shots"
    shots.mkdir()
    coffee = cv2.imread(str(data_dir / "coffee.png"))
    data = cv2.imencode(".jpg", coffee)[1].tobytes()
    (shots / "cut.jpg").write_bytes(data[: len(data) // 2])
    ghost = np.zeros((100, 100, 4), np.uint8)
    ghost[:4, :5] = (200, 40, 10, 255)  # 0.2% of it opaque
    cv2.imwrite(str(shots / "ghost.png"), ghost)
    cv2.imwrite(str(shots / "fine.png"), coffee[:60, :80])
    out = tmp_path / "new" / "t.csv"
    proc = run_cli("extract", shots, "-j", 1, "-n", 3, "-o", out, "--report", tmp_path / "r" / "r.html",
                   "--export", tmp_path / "pal" / "all.ase", "--export", tmp_path / "pal" / "all.json",
                   "--export", tmp_path / "each" / "{stem}.gpl")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr.splitlines()[-1] == (
        f"velmora-huebit: 0 of 3 photos failed, 2 with warnings; table {out}, report {tmp_path}/r/r.html, "
        f"palettes {tmp_path}/pal/all.ase, {tmp_path}/pal/all.json, {tmp_path}/each/ (a file per photo)")
    frame = pd.read_csv(out).groupby("file").first()
    assert frame.status.to_dict() == {str(shots / n): s for n, s in [("cut.jpg", "warning"), ("fine.png", "ok"),
                                                                     ("ghost.png", "warning")]}
    assert "truncated" in frame.warnings[str(shots / "cut.jpg")]
    assert "almost all of the picture is transparent (99.80%)" in frame.warnings[str(shots / "ghost.png")]
    assert "#808080" not in set(pd.read_csv(out).hex)
    page = (tmp_path / "r" / "r.html").read_text()
    assert page.count('<b class="status">warning</b>') == 2 and "<b>2</b> with warnings" in page
    # one library for the run: a group per photo
    ase = (tmp_path / "pal" / "all.ase").read_bytes()
    assert struct.unpack(">I", ase[8:12])[0] == 3 * 2 + 3 + 3 + 1  # a start and end per group, 3+3+1 colours
    assert ase.count(struct.pack(">H", 0xC001)) >= 3 and len(read_palette(str(tmp_path / "pal" / "all.ase"))) == 7
    library = json.loads((tmp_path / "pal" / "all.json").read_text())
    assert [os.path.basename(p["file"]) for p in library["photos"]] == ["cut.jpg", "fine.png", "ghost.png"]
    assert sorted(os.listdir(tmp_path / "each")) == ["cut.gpl", "fine.gpl", "ghost.gpl"]
    proc = run_cli("extract", shots, "-j", 1, "--strict")
    assert proc.returncode == 1 and [r.get("status") for r in json_lines(proc)] == ["warning", None, "warning"]


def test_the_reports_common_colours_are_ordered_by_the_photos_shown():
    colours = _Colours()
    colours.add([{"color": (0, 0, 0), "percentage": 90.0, "name": "black"}])
    for _ in range(2):
        colours.add([{"color": (255, 255, 255), "percentage": 10.0, "name": "white"}])
    assert [(name, photos) for _, name, photos, _ in colours.top(2)] == [("white", 2), ("black", 1)]

"""What a run writes: never over a photo of the run, and over an existing
file only with --overwrite, the same for every output option."""

import os
import shutil

import pytest

from velmora_huebit.cli.entry import main
from velmora_huebit.outputs.guard import Guard


@pytest.fixture()
def shots(tmp_path, data_dir):
    folder = tmp_path / "shots"
    folder.mkdir()
    for name in ("coffee", "chelsea"):
        shutil.copy(data_dir / f"{name}.png", folder / f"{name}.png")
    return folder


def run(capsys, *args):
    status = main(["extract", *map(str, args), "-j", "1", "--max-side", "16", "-n", "2"])
    return status, capsys.readouterr().err


def photos(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir())}


@pytest.mark.parametrize("case", ["export into the folder", "chart of one photo", "pattern and ..",
                                  "folder through a link", "output named as a photo"])
def test_a_photo_of_the_run_is_never_written_over(shots, tmp_path, capsys, case):
    before = photos(shots)
    (tmp_path / "link").symlink_to(shots)
    shutil.copy(shots / "coffee.png", shots / "coffee.csv")
    args = {
        "export into the folder": [shots, "--export", f"{shots}/{{stem}}.png"],
        "chart of one photo": [shots / "coffee.png", "--chart", shots / "coffee.png"],
        "pattern and ..": [f"{shots}/*.png", "--export", f"{shots}/../shots/{{stem}}.png"],
        "folder through a link": [tmp_path / "link", "--chart", f"{shots}/{{stem}}.png"],
        "output named as a photo": [shots / "coffee.csv", "--output", shots / "coffee.csv"],
    }[case]
    status, err = run(capsys, *args, "--overwrite")
    assert status == 2 and "is a photo of this run; it is never written over" in err
    assert len(err.strip().splitlines()) <= 2  # the error, and the hint to --help
    assert photos(shots) == {**before, "coffee.csv": before["coffee.png"]}


def test_photos_in_buckets_are_told_from_outputs():
    guard = Guard(["s3://b/shots/", "s3://b/k/*.jpg"], recursive=False, overwrite=True)
    assert guard.is_photo("s3://b/shots/a.png") and guard.is_photo("s3://b/k/x.jpg")
    assert not guard.is_photo("s3://b/shots/a.csv") and not guard.is_photo("s3://b/shots/sub/a.png")
    assert not guard.is_photo("s3://b/results.parquet")


def test_existing_files_are_replaced_only_with_overwrite(shots, tmp_path, capsys):
    outputs = {"--chart": tmp_path / "c-{stem}.png", "--export": tmp_path / "p-{stem}.gpl",
               "--report": tmp_path / "r.html", "--output": tmp_path / "t.csv"}
    for option, path in outputs.items():
        assert run(capsys, shots, option, path)[0] == 0
        written = sorted(tmp_path.glob(path.name.replace("{stem}", "*")))
        stamps = [os.stat(file).st_mtime_ns for file in written]
        status, err = run(capsys, shots, option, path)
        assert status == 2 and f"{option} " in err and "exists; give" in err and "--overwrite" in err
        assert [os.stat(file).st_mtime_ns for file in written] == stamps
        assert run(capsys, shots, option, path, "--overwrite")[0] == 0
        assert [os.stat(file).st_mtime_ns for file in written] != stamps
    assert len((tmp_path / "t.csv").read_text().splitlines()) == 1 + 2 * 2  # replaced, not added to
    status, err = run(capsys, shots, "--output", outputs["--output"], "--overwrite", "--resume")
    assert status == 2 and "give one of them" in err

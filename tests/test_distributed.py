"""Many photos: a Dask cluster of two worker processes, the Parquet output
and its resume after a killed run."""

import os
import shutil
import signal
import subprocess
import sys
import time

import cv2
import pyarrow.parquet as pq
import pytest
from distributed import Client
from threadpoolctl import threadpool_limits

from test_cli import PACKAGE_PARENT, json_lines, run_cli
from velmora_huebit import ColorExtractor
from velmora_huebit.cli.dask_runner import local_cluster
from velmora_huebit.cli.parquet import ParquetStore, row
from velmora_huebit.cli.photos import photo_key
from velmora_huebit.cli.work import Job
from velmora_huebit.distributed import analyse_photos

TARGETS = {"cream": (240, 220, 200), "brown": (120, 60, 30)}


@pytest.fixture(scope="module")
def client():
    with local_cluster(2) as cluster, Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def folder(tmp_path_factory, data_dir):
    """16 photos cut from the samples, and one broken file."""
    folder = tmp_path_factory.mktemp("many")
    for name in ("coffee", "chelsea"):
        sample = cv2.imread(str(data_dir / f"{name}.png"))
        for i in range(8):
            cv2.imwrite(str(folder / f"{name}_{i}.png"), cv2.flip(sample[i * 9:i * 9 + 120, i * 13:i * 13 + 160], i % 3 - 1))
    (folder / "broken.png").write_bytes(b"not an image")
    return folder


def serial(paths):
    with threadpool_limits(1, user_api="openmp"):
        return {path: ColorExtractor().extract_colors(path) for path in paths}


def test_a_killed_worker_loses_and_repeats_no_photo(client, folder):
    paths = sorted(str(path) for path in folder.glob("c*.png"))
    pids = list(client.run(os.getpid).values())
    got = []
    for path, records in analyse_photos(paths, ColorExtractor(), client, tasks_per_thread=2):
        got.append((path, records))
        if len(got) == 2:
            os.kill(pids[0], signal.SIGKILL)
    assert sorted(path for path, _ in got) == paths
    assert dict(got) == serial(paths)
    client.wait_for_workers(2, timeout=60)


def test_failures_and_other_methods(client, folder):
    photo, broken = str(folder / "coffee_0.png"), str(folder / "broken.png")
    arguments = {"target_colors": TARGETS}
    got = dict(analyse_photos([broken, photo], ColorExtractor(), client, method="analyze_color_similarity",
                              arguments=arguments, return_exceptions=True))
    assert isinstance(got[broken], ValueError)
    with threadpool_limits(1, user_api="openmp"):
        assert got[photo] == ColorExtractor().analyze_color_similarity(photo, TARGETS)
    with pytest.raises(ValueError, match="Could not load image"):
        list(analyse_photos([broken], ColorExtractor(), client))


def test_command_line_on_a_cluster_prints_what_one_process_prints(client, folder):
    one = run_cli("extract", folder, "-n", 3, "--jobs", 1)
    cluster = run_cli("extract", folder, "-n", 3, "--dask", client.scheduler.address)
    assert one.returncode == cluster.returncode == 1
    assert len(json_lines(one)) == 16
    assert (cluster.stdout, cluster.stderr) == (one.stdout, one.stderr)


def test_killed_and_interrupted_runs_resume_to_the_same_rows(folder, tmp_path):
    out = tmp_path / "colours.parquet"
    parts = tmp_path / "colours.parquet.parts"
    command = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "-o", str(out)]
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))

    def journaled():
        return sum(path.read_bytes().count(b"\n") for path in parts.glob("*.jsonl"))

    def stop_after(options, more, how):
        before = journaled() if parts.exists() else 0
        proc = subprocess.Popen(command + options, cwd=PACKAGE_PARENT, env=env, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 120
        while not (parts.exists() and journaled() >= before + more):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        proc.send_signal(how)
        return proc.wait(timeout=60), proc.stderr.read().decode()

    # killed: its rows only in the journal; interrupted: they are folded into a readable file
    assert stop_after(["--dask", "--jobs", "2"], 3, signal.SIGKILL)[0] == -signal.SIGKILL
    assert not out.exists()
    status, stderr = stop_after(["--resume", "--dask"], 2, signal.SIGINT)
    assert status == 130, stderr
    assert "the same command with --resume analyses the rest" in stderr
    assert 5 <= pq.read_table(out).num_rows < 16
    last = subprocess.run(command + ["--resume", "--jobs", "1"], cwd=PACKAGE_PARENT, env=env, stderr=subprocess.PIPE, text=True)
    assert last.returncode == 1 and "broken.png: cannot read the image" in last.stderr
    assert not parts.exists()

    # every photo once, in the order of the listing, as one process finds them
    expected = [row(record, pq.read_schema(out).names) for record in json_lines(run_cli("extract", folder, "-j", 1))]
    assert pq.read_table(out).to_pylist() == expected

    again = run_cli("extract", folder, "-o", out)
    assert again.returncode == 2 and "exists; give --resume" in again.stderr
    other = run_cli("extract", folder, "-o", out, "--resume", "--rgb")
    assert other.returncode == 2 and "other settings (lab_space True there, False here)" in other.stderr


def test_store_takes_parts_and_journal_of_a_killed_run_once(tmp_path):
    path = str(tmp_path / "rows.parquet")
    rows = [{"file": f"p{i}.png", "analysed_size": [4, 3], "hex": ["#0a0b0c"], "rgb": [[10, 11, 12]],
             "percentage": [100.0]} for i in range(9)]
    store = ParquetStore(path, Job("extract"), {}, resume=False, rows_per_part=2)
    for r in rows[:5]:  # parts 1 and 2, one row in the journal of part 3
        store.append(r)
    store.journal.write(b'{"file": "p5.png", "analy')  # cut short by the kill
    os.close(store.lock)

    store = ParquetStore(path, Job("extract"), {}, resume=True, rows_per_part=2)
    assert store.done == {photo_key(r["file"]) for r in rows[:5]}
    store.append(rows[5])
    store.close()
    assert pq.read_table(path).to_pylist() == rows[:6]

    # killed after the folded file replaced the old one, before the parts went
    store = ParquetStore(path, Job("extract"), {}, resume=True, rows_per_part=2)
    for r in rows[6:]:
        store.append(r)
    store.journal.close()
    shutil.copytree(store.folder, tmp_path / "stale")
    store.close()
    shutil.copytree(tmp_path / "stale", store.folder)
    store = ParquetStore(path, Job("extract"), {}, resume=True)
    assert len(store.done) == 9
    store.close()
    assert pq.read_table(path).to_pylist() == rows


@pytest.mark.parametrize("option, extra", [(["--dask"], "dask"), (["-o", "x.parquet"], "parquet")])
def test_missing_extra_gives_one_line(option, extra, coffee_path):
    code = ("import sys; sys.modules.update(distributed=None, pyarrow=None); "
            "from velmora_huebit.cli import main; sys.exit(main(sys.argv[1:]))")
    proc = subprocess.run([sys.executable, "-c", code, "extract", coffee_path, *option], capture_output=True,
                          text=True, cwd=PACKAGE_PARENT, env=dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT)))
    assert proc.returncode == 2
    assert proc.stderr.splitlines() == [proc.stderr.strip()]
    assert f"pip install 'velmora_huebit[{extra}]'" in proc.stderr

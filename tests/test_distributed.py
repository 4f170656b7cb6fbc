"""Many photos: a Dask cluster of two worker processes, the Parquet output
and its resume after a killed run."""

import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import cv2
import pyarrow.parquet as pq
import pytest
from distributed import Client
from threadpoolctl import threadpool_limits

from test_cli import PACKAGE_PARENT, json_lines, run_cli
from velmora_huebit import ColorExtractor, palette
from velmora_huebit.runs.dask_runner import local_cluster
from velmora_huebit.distributed import analyse_photos
from velmora_huebit.runs.distributed import TaskFailed

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "fuzz"))

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
    for tasks_per_thread in (0, -1):  # refused at the call, not an empty loop
        with pytest.raises(ValueError, match="tasks_per_thread"):
            analyse_photos([photo], ColorExtractor(), client, tasks_per_thread=tasks_per_thread)


def test_hostile_extractors_cost_only_their_photo_and_the_call_ends(client):
    import cloudpickle
    import dask_extractors  # fuzz/

    cloudpickle.register_pickle_by_value(dask_extractors)  # the workers cannot import it
    kinds = ["lock result", "lock exception", "unbuildable exception", "recursion", "deep result",
             "KeyboardInterrupt", "SystemExit"]
    paths = ["good0", *(f"hostile:{kind}" for kind in kinds), "good1"]
    got = dict(analyse_photos(paths, dask_extractors.Extractor(), client, return_exceptions=True))
    assert sorted(got) == sorted(paths) and got["good0"] == ["good0"] and got["good1"] == ["good1"]
    words = {path.split(":")[1]: f"{type(error).__name__}: {error}" for path, error in got.items() if ":" in path}
    assert words["lock result"] == "TaskFailed: its result cannot be sent back: TypeError: cannot pickle '_thread.lock' object"
    assert words["lock exception"].startswith("TaskFailed: LockedError: holds a lock (an exception that cannot be sent")
    assert "RecursionError" in words["recursion"] and "cannot be sent back" in words["deep result"]
    assert words["KeyboardInterrupt"] == "TaskFailed: the task raised KeyboardInterrupt"
    assert words["SystemExit"] == "TaskFailed: the task raised SystemExit: 3"
    assert words["unbuildable exception"]
    with pytest.raises(TaskFailed, match="cannot pickle"):
        list(analyse_photos(["hostile:lock result"], dask_extractors.Extractor(), client))
    # (extractors that kill their worker: fuzz/dask_extractors.py; a nanny
    # whose worker dies as it restarts gives up, which would starve the tests below)


def test_a_scheduler_gone_mid_run_ends_it_in_one_line_and_resume_completes_it(folder, tmp_path):
    """The only worker is stopped once two photos are journaled, then the
    scheduler is killed: nothing is left to finish the photos in flight."""
    out, parts = tmp_path / "colours.parquet", tmp_path / "colours.parquet.parts"
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        address = f"tcp://127.0.0.1:{probe.getsockname()[1]}"
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True, env=env)
    scheduler = subprocess.Popen(dask + ["--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
                                         "--dashboard-address", ":0"], **quiet)
    worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                               "--no-nanny", "--dashboard-address", ":0"], **quiet)
    command = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "-o", str(out), "--engine", "library"]
    try:
        run = subprocess.Popen(command + ["--dask", address], env=env, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while sum(path.read_bytes().count(b"\n") for path in parts.glob("*.jsonl")) < 2:
            assert run.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        os.kill(worker.pid, signal.SIGSTOP)
        os.kill(scheduler.pid, signal.SIGKILL)
        gone = time.monotonic()
        assert run.wait(timeout=60) == 2 and time.monotonic() - gone < 60
        lines = run.stderr.read().splitlines()
        [line] = lines[-1:] if len(lines) == 1 else [repr(lines)]
        assert f"--dask: the cluster at {address} was lost mid-run" in line and "--resume" in line
    finally:
        for process in (scheduler, worker):
            process.kill()
            process.wait()
    assert len(set(pq.read_table(out).column("file").to_pylist())) >= 2
    last = subprocess.run(command + ["--resume", "--jobs", "1"], env=env, stderr=subprocess.PIPE, text=True)
    assert last.returncode == 1 and "photos already in" in last.stderr
    rows = pq.read_table(out).to_pylist()
    assert sorted({row["file"] for row in rows}) == sorted(str(path) for path in folder.iterdir())
    assert len(rows) == 16 * 5 + 1  # none doubled


def test_palette_on_the_workers_gives_its_records(client, folder):
    paths = sorted(str(path) for path in folder.glob("coffee_*.png"))
    assert dict(analyse_photos(paths, palette, client)) == {path: palette(path) for path in paths}


def test_command_line_on_a_cluster_prints_what_one_process_prints(client, folder):
    one = run_cli("extract", folder, "-n", 3, "--jobs", 1)
    cluster = run_cli("extract", folder, "-n", 3, "--dask", client.scheduler.address)
    assert one.returncode == cluster.returncode == 1
    assert len(json_lines(one)) == 16
    assert (cluster.stdout, cluster.stderr) == (one.stdout, one.stderr)


def test_killed_and_interrupted_runs_resume_to_the_same_rows(client, folder, tmp_path):
    out = tmp_path / "colours.parquet"
    parts = tmp_path / "colours.parquet.parts"
    # the module's k-means, slow enough that the runs are stopped half-way
    command = [sys.executable, "-m", "velmora_huebit", "extract", str(folder), "-o", str(out), "--engine", "library"]
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))

    def journaled():
        return sum(path.read_bytes().count(b"\n") for path in parts.glob("*.jsonl"))

    def stop_after(options, more, how):
        before = journaled() if parts.exists() else 0
        # Ctrl-C as a terminal sends it, even where this suite runs with SIGINT ignored (in the background)
        proc = subprocess.Popen(command + options, cwd=PACKAGE_PARENT, env=env, stderr=subprocess.PIPE,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        deadline = time.monotonic() + 120
        while not (parts.exists() and journaled() >= before + more):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        proc.send_signal(how)
        return proc.wait(timeout=60), proc.stderr.read().decode()

    # killed: its rows only in the journal, here damaged too (a line twice, junk, a torn line);
    # interrupted: they are folded into a readable file. Both on the module's cluster, which
    # outlives them as a cluster outlives its clients (a local one dies with its run).
    address = client.scheduler.address
    assert stop_after(["--dask", address], 3, signal.SIGKILL)[0] == -signal.SIGKILL
    assert not out.exists()
    [journal] = parts.glob("*.jsonl")
    lines = journal.read_bytes().splitlines(keepends=True)
    journal.write_bytes(b"".join(lines[:2] + lines[1:]) + b"\xff junk\n" + lines[0][:40])
    status, stderr = stop_after(["--resume", "--dask", address], 2, signal.SIGINT)
    assert status == 130 and "2 damaged lines skipped" in stderr and "Traceback" not in stderr, stderr
    assert "the same command with --resume analyses the rest" in stderr
    last = subprocess.run(command + ["--resume", "--jobs", "1"], cwd=PACKAGE_PARENT, env=env, stderr=subprocess.PIPE, text=True)
    assert last.returncode == 1 and "broken.png: cannot read the image" in last.stderr
    assert not parts.exists()

    # every photo once, as one process finds them; the broken one tried by each run, one row
    one = tmp_path / "one.parquet"
    run_cli("extract", folder, "-j", 1, "-o", one, "--engine", "library")
    in_order = sorted(pq.read_table(one).to_pylist(), key=repr)
    assert sorted(pq.read_table(out).to_pylist(), key=repr) == in_order
    assert sum(row["status"] == "failed" for row in in_order) == 1

    again = run_cli("extract", folder, "-o", out, "--engine", "library")
    assert again.returncode == 2 and "exists; give --resume" in again.stderr
    other = run_cli("extract", folder, "-o", out, "--resume")
    assert other.returncode == 2 and "other settings (engine 'library' there, 'palette' here)" in other.stderr


LOSE_A_WORKER = """
import os, pathlib, signal, threading, time
from processes import children
from velmora_huebit.runs.dask_runner import DaskRunner


def kill_the_first_worker():
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        for pid in children(os.getpid()):
            if b"resource_tracker" not in pathlib.Path(f"/proc/{pid}/cmdline").read_bytes():
                os.kill(pid, signal.SIGKILL)
                return
        time.sleep(0.01)


if __name__ == "__main__":
    threading.Thread(target=kill_the_first_worker, daemon=True).start()
    with DaskRunner("", 2)._client() as client:
        print(len(client.nthreads()))
"""


def test_a_worker_lost_while_the_local_cluster_starts_leaves_the_others(tmp_path):
    # in a process of its own: a cluster that lost a worker may leave threads behind as it closes
    script = tmp_path / "lose_a_worker.py"
    script.write_text(LOSE_A_WORKER)
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(PACKAGE_PARENT), os.path.dirname(__file__)])))
    assert run.returncode == 0 and run.stdout.strip() in ("1", "2"), run.stderr[-3000:]


_UNPICKLED = []


def _unpickled(what):
    _UNPICKLED.append(what)


class _Payload:
    def __reduce__(self):
        return _unpickled, ("payload",)


def test_workers_load_their_libraries_before_the_payload_and_scikit_learn_without_pandas():
    # pandas is some 60 MB a worker: a 49-megapixel photo under --engine library stays under 400 MB
    from velmora_huebit.runs.distributed import _Setup

    _UNPICKLED.clear()
    _Setup("run", _Payload(), lambda: _UNPICKLED.append("prepare")).setup(None)
    assert _UNPICKLED == ["prepare", "payload"]
    code = ("import sys; from velmora_huebit.analysis.engines import load; load(['sklearn.cluster']); "
            "assert 'pandas' not in sys.modules, 'pandas loaded'; import pandas; import sklearn.utils._dataframe")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


@pytest.mark.parametrize("address", ["localhost:8786x", "foo://bar", ":::::"])
def test_a_malformed_scheduler_address_is_one_usage_line(address, coffee_path):
    proc = run_cli("extract", coffee_path, f"--dask={address}")
    assert proc.returncode == 2 and "not a scheduler address" in proc.stderr
    assert "Traceback" not in proc.stderr and len(proc.stderr.splitlines()) == 2


@pytest.mark.parametrize("option, extra", [(["--dask"], "dask"), (["-o", "x.parquet"], "parquet")])
def test_missing_extra_gives_one_line(option, extra, coffee_path):
    code = ("import sys; sys.modules.update(distributed=None, pyarrow=None); "
            "from velmora_huebit.cli import main; sys.exit(main(sys.argv[1:]))")
    proc = subprocess.run([sys.executable, "-c", code, "extract", coffee_path, *option], capture_output=True,
                          text=True, cwd=PACKAGE_PARENT, env=dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT)))
    assert proc.returncode == 2
    assert proc.stderr.splitlines() == [proc.stderr.strip()]
    assert f"pip install 'velmora_huebit[{extra}]'" in proc.stderr

"""An external Dask scheduler killed mid-run: how long the run takes to
end, what it says, and whether --resume then leaves any photo lost or
doubled.

    python fuzz/dask_scheduler_kill.py FOLDER [TRIALS]

FOLDER holds the photos (62 of a few hundred pixels make a run of some
seconds at --max-side 0). Each trial starts a scheduler and two workers,
runs extract --dask --output, kills the scheduler after a random number of
journaled photos, then resumes without Dask. One JSON line per trial."""
import json
import os
import pathlib
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pyarrow.parquet as pq
V = os.path.dirname(sys.executable)
PHOTOS = sys.argv[1]

def free_port():
    s = socket.socket(); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close(); return p

def journaled(parts):
    return sum(p.read_bytes().count(b"\n") for p in parts.glob("*.jsonl")) if parts.exists() else 0

def trial(n, seed):
    rng = random.Random(seed)
    work = pathlib.Path(tempfile.gettempdir()) / f"scheduler-kill-{os.getpid()}-{n}"; shutil.rmtree(work, ignore_errors=True); work.mkdir()
    port = free_port(); addr = f"tcp://127.0.0.1:{port}"
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    sched = subprocess.Popen([f"{V}/dask", "scheduler", "--host", "127.0.0.1", "--port", str(port), "--dashboard-address", ":0"], **quiet)
    time.sleep(2)
    workers = subprocess.Popen([f"{V}/dask", "worker", addr, "--nworkers", "2", "--nthreads", "1", "--dashboard-address", ":0"], **quiet)
    out = work / "o.parquet"; parts = work / "o.parquet.parts"
    cmd = [f"{V}/velmora-huebit", "extract", PHOTOS, "--max-side", "0", "--output", str(out)]
    run = subprocess.Popen(cmd + ["--dask", addr], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    at = rng.randrange(3, 40)
    while journaled(parts) < at and run.poll() is None:
        time.sleep(0.02)
    os.killpg(sched.pid, signal.SIGKILL); killed = time.monotonic()
    try:
        stdout, stderr = run.communicate(timeout=240)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, signal.SIGKILL); stdout, stderr = run.communicate()
        stderr += "\n<<HUNG, killed>>"
    took = time.monotonic() - killed
    os.killpg(workers.pid, signal.SIGKILL); sched.wait(); workers.wait()
    lines = [l for l in stderr.splitlines() if l.strip()]
    finished_before = journaled(parts) if parts.exists() else None
    rows_before = pq.read_table(out).column("file").to_pylist() if out.exists() else []
    res = subprocess.run(cmd + ["--resume", "-j", "2"], capture_output=True, text=True)
    files = pq.read_table(out).to_pydict()
    per = {}
    for f, st, rank in zip(files["file"], files["status"], files["rank"]):
        per.setdefault(f, []).append((st, rank))
    doubled = sum(1 for v in per.values() if len([r for s, r in v if r in (1, None)]) > 1)
    lost = len(os.listdir(PHOTOS)) - len(per)
    failed = sum(1 for v in per.values() if v[0][0] == "failed")
    return dict(trial=n, kill_after=at, end_s=round(took, 1), rc=run.returncode, stderr_lines=len(lines),
                first=lines[:3], in_file_before_resume=len(set(rows_before)), resume_rc=res.returncode,
                resume_err=res.stderr.strip().splitlines()[-2:], lost=lost, doubled=doubled, failed=failed)

if __name__ == "__main__":
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    for i in range(n):
        print(json.dumps(trial(i, 100 + i)), flush=True)

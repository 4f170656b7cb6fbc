"""Photos in a bucket, against a real S3 server (moto's, see s3server.py)
that checks every request against its users' policies, with s3fs as the
client: listings and reads as for a folder, each kind of failure in one
line, --output to a bucket killed (and a worker killed under --dask) then
resumed, and analyse_photos reading URLs on the workers."""

import json
import os
import signal
import subprocess
import sys
import time
import uuid

import cv2
import pytest
from threadpoolctl import threadpool_limits

import velmora_huebit
from test_cli import PACKAGE_PARENT, run_cli
from processes import children

pd = pytest.importorskip("pandas")


def run(server, *args, keys=None, env=None, cache=None, endpoint=True):
    environment = {**server.environment(keys), "PYTHONPATH": str(PACKAGE_PARENT), **(env or {})}
    if cache is not None:
        environment["XDG_CACHE_HOME"] = str(cache)
    command = [sys.executable, "-m", "velmora_huebit", *map(str, args)]
    if endpoint:
        command += ["--endpoint-url", server.endpoint]
    return subprocess.run(command, capture_output=True, text=True, env=environment, cwd=PACKAGE_PARENT, timeout=300)


@pytest.fixture(scope="module")
def shots(s3_server, tmp_path_factory, data_dir):
    """A folder of photos on disk, and the same under s3://BUCKET/shots/."""
    local = tmp_path_factory.mktemp("shots")
    (local / "deep").mkdir()
    for name in ("coffee", "chelsea"):
        sample = cv2.imread(str(data_dir / f"{name}.png"))
        for i in range(2):
            cv2.imwrite(str(local / f"{name}_{i}.png"), sample[i * 20:i * 20 + 90, i * 30:i * 30 + 120])
            cv2.imwrite(str(local / "deep" / f"{name}_{i}.jpg"), sample[:80, i * 40:i * 40 + 100])
    (local / "broken.png").write_bytes(b"not an image")
    (local / ".hidden.png").write_bytes((local / "coffee_0.png").read_bytes())
    (local / "notes.txt").write_text("not a photo")
    bucket = f"photos-{uuid.uuid4().hex[:8]}"
    fs = s3_server.filesystem()
    fs.mkdir(bucket)
    for path in local.rglob("*"):
        if path.is_file():
            fs.put_file(str(path), f"{bucket}/shots/{path.relative_to(local)}")
    return local, f"s3://{bucket}/shots/"


def test_a_bucket_is_listed_and_read_as_a_folder_is(s3_server, shots):
    local, url = shots
    # workers forked before the bucket is listed (-j 2), or the photos read in this process
    for local_args, url_args, jobs in [([local, "-r"], [url, "-r"], 2),
                                       ([f"{local}/c*.png", f"{local}/**/ch*", "-r"],
                                        [url + "c*.png", url + "**/ch*", "-r"], 1)]:
        here = run_cli("extract", *local_args, "-n", 3, "-j", jobs)
        there = run(s3_server, "extract", *url_args, "-n", 3, "-j", jobs)
        assert there.returncode == here.returncode
        assert there.stdout == here.stdout.replace(f"{local}/", url) and there.stdout.count("\n") >= 6
        assert there.stderr == here.stderr.replace(f"{local}/", url)


def test_each_failure_is_one_line_without_credentials(s3_server, shots, tmp_path):
    _, url = shots
    bucket = url.split("/")[2]
    private = f"private-{uuid.uuid4().hex[:8]}"
    s3_server.filesystem().mkdir(private)
    s3_server.filesystem().pipe_file(f"{private}/a.png", cv2.imencode(".png", cv2.imread(str(shots[0] / "coffee_0.png")))[1].tobytes())
    reader = s3_server.user(f"reader-{private}", [bucket])  # may use the photos' bucket only
    unknown = ("AKIA" + "X" * 16, "not-a-secret-" + uuid.uuid4().hex)
    with socket_closed() as closed:
        cases = [
            ({}, [url + "missing.png", "s3://no-such-bucket-x/shots/", url + "nothing/", url + "*.gif"],
             ["missing.png: no such object", "no-such-bucket-x/shots/: no such bucket no-such-bucket-x",
              "nothing/: no images in this folder", "*.gif: no objects match this pattern"]),
            ({"keys": reader}, [f"s3://{private}/a.png", f"s3://{private}/"], ["a.png: access denied"] * 2),
            ({"keys": unknown}, [url], ["shots/: the credentials were refused"]),
            ({"env": {"AWS_ACCESS_KEY_ID": "", "AWS_SECRET_ACCESS_KEY": ""}}, [url], ["shots/: no credentials for S3"]),
            ({}, ["--anonymous", f"s3://{bucket}/shots/coffee_0.png"], ["coffee_0.png: access denied"]),
            ({"endpoint": False, "env": {"AWS_ENDPOINT_URL": closed}}, [url + "coffee_0.png"],
             [f"coffee_0.png: network error: cannot reach {closed} (after 3 tries)"]),
        ]
        for options, args, messages in cases:
            proc = run(s3_server, "extract", *args, **options)
            errors = proc.stderr.splitlines()[:-1]
            assert proc.returncode == 1 and len(errors) == len(messages), proc.stderr
            assert all(any(message in line for line in errors) for message in messages), proc.stderr
            assert unknown[1] not in proc.stderr and s3_server.keys[1] not in proc.stderr

    for keys, out, message in [(None, "s3://no-such-bucket-x/colours.parquet", "no such bucket no-such-bucket-x"),
                               (reader, f"s3://{private}/colours.csv", "access denied")]:
        proc = run(s3_server, "extract", url, "-o", out, keys=keys, cache=tmp_path)
        assert proc.returncode == 2 and f"--output {out}: {message}" in proc.stderr and proc.stdout == ""
        assert "Traceback" not in proc.stderr

    code = ("import sys; sys.modules['s3fs'] = None; from velmora_huebit.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    proc = subprocess.run([sys.executable, "-c", code, "extract", url], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": str(PACKAGE_PARENT)})
    assert proc.returncode == 2 and proc.stderr.strip().splitlines() == [
        "velmora-huebit: error: s3:// URLs need s3fs: pip install 'velmora_huebit[s3]'"]


class socket_closed:
    """The address of a port on which nothing listens."""

    def __enter__(self):
        import socket

        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))  # bound, never listening: connections are refused
        return f"http://127.0.0.1:{self.socket.getsockname()[1]}"

    def __exit__(self, *exc_info):
        self.socket.close()


def test_output_to_a_bucket_killed_with_a_worker_then_resumed(s3_server, shots, tmp_path):
    local, url = shots
    out = url.replace("/shots/", "/tables/colours.parquet")
    cache = tmp_path / "cache"
    command = [sys.executable, "-m", "velmora_huebit", "extract", url, "-r", "-n", 3, "-o", out,
               "--endpoint-url", s3_server.endpoint]
    env = {**s3_server.environment(), "PYTHONPATH": str(PACKAGE_PARENT), "XDG_CACHE_HOME": str(cache)}

    def journaled():
        return sum(path.read_bytes().count(b"\n") for path in cache.glob("velmora-huebit/outputs/*/*.parts/*.jsonl"))

    proc = subprocess.Popen(list(map(str, command + ["--dask", "--jobs", 2])), env=env, cwd=PACKAGE_PARENT,
                            stderr=subprocess.PIPE)
    deadline = time.monotonic() + 180
    killed = []
    while journaled() < 5:
        assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read()
        workers = [pid for pid in children(proc.pid) if b"resource_tracker" not in read_cmdline(pid)]
        if not killed and journaled() >= 1 and workers:  # a worker dies half-way: Dask runs its photos again
            os.kill(workers[0], signal.SIGKILL)
            killed.append(workers[0])
        time.sleep(0.02)
    family = list(children(proc.pid))
    proc.kill()
    for pid in family:  # the workers of the local cluster go with the command
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    proc.wait()
    fs = s3_server.filesystem()
    assert killed and not fs.exists(out)

    again = run(s3_server, "extract", url, "-r", "-n", 3, "-o", out, cache=cache)
    assert again.returncode == 2 and "was cut short" in again.stderr and str(cache) in again.stderr
    resumed = run(s3_server, "extract", url, "-r", "-n", 3, "-o", out, "--resume", "-j", 1, cache=cache)
    assert resumed.returncode == 1 and "already in " + out in resumed.stderr, resumed.stderr
    assert list(cache.glob("velmora-huebit/outputs/*")) == []

    # every photo once, as a local run finds it, named by its URL
    run_cli("extract", local, "-r", "-n", 3, "-j", 1, "-o", tmp_path / "here.parquet")
    here = pd.read_parquet(tmp_path / "here.parquet").assign(file=lambda f: f.file.str.replace(f"{local}/", url))
    with fs.open(out.removeprefix("s3://")) as file:
        there = pd.read_parquet(file)
    key = ["file", "rank"]
    pd.testing.assert_frame_equal(there.sort_values(key, ignore_index=True), here.sort_values(key, ignore_index=True))

    csv = out.replace(".parquet", ".csv")
    for resume in ([], ["--resume"]):
        proc = run(s3_server, "extract", url, "-r", "-n", 3, "-o", csv, *resume, cache=cache)
        assert proc.returncode == 1
    assert "8 photos already in" in proc.stderr and fs.exists(csv.removeprefix("s3://") + ".settings.json")
    with fs.open(csv.removeprefix("s3://")) as file:
        # (a column of nulls only, such as warnings here, is text in Parquet, numbers to read_csv)
        got = pd.read_csv(file, dtype=dict.fromkeys(["warnings", "aa_with", "aaa_with", "role"], str))
        assert got.sort_values(key, ignore_index=True).equals(there.sort_values(key, ignore_index=True))

    # search reads a table in a bucket as one on disk
    found = run(s3_server, "search", csv, "--near", "sienna", "--within", 30, "--json")
    near = [f.file.replace(f"{local}/", url) for f in velmora_huebit.search(tmp_path / "here.parquet", "sienna", 30)]
    assert found.returncode == 0 and near and [json.loads(line)["file"] for line in found.stdout.splitlines()] == near


def read_cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as file:
            return file.read()
    except OSError:
        return b""


def crafted_png(path, width, height, padding):
    """A small PNG whose header claims width x height, followed by padding."""
    import struct
    import zlib

    data = bytearray(cv2.imencode(".png", cv2.imread(str(path)))[1].tobytes())
    data[16:24] = struct.pack(">II", width, height)
    data[29:33] = struct.pack(">I", zlib.crc32(bytes(data[12:29])))
    return bytes(data) + bytes(padding)


def test_analyse_photos_reads_urls_on_the_workers(s3_server, shots, tmp_path):
    from distributed import Client

    from velmora_huebit import ColorExtractor, palette
    from velmora_huebit.runs.dask_runner import local_cluster
    from velmora_huebit.distributed import analyse_photos

    local, url = shots
    root, fs = url.removeprefix("s3://").replace("shots/", "sized/"), s3_server.filesystem()  # not listed below
    # sized before they are read, each failing on its own: a small image followed by
    # megabytes, and a header claiming 30000 x 30000 (the same on disk)
    fs.pipe_file(f"{root}padded.png", (local / "coffee_0.png").read_bytes() + bytes(8 << 20))
    fs.pipe_file(f"{root}claims.png", crafted_png(local / "coffee_0.png", 30000, 30000, 1 << 17))
    (tmp_path / "claims.png").write_bytes(crafted_png(local / "coffee_0.png", 30000, 30000, 0))
    names = ["coffee_0.png", "deep/chelsea_1.jpg", "missing.png", "broken.png"]
    sized = [f"s3://{root}padded.png", f"s3://{root}claims.png", str(tmp_path / "claims.png")]
    options = {"key": s3_server.keys[0], "secret": s3_server.keys[1], "endpoint_url": s3_server.endpoint}
    with local_cluster(1) as cluster, Client(cluster) as client:
        got = dict(analyse_photos([url + name for name in names] + sized, ColorExtractor(), client,
                                  return_exceptions=True, storage_options=options, max_pixels=2_000_000))
        by_palette = dict(analyse_photos([url + names[0], *sized], palette, client, return_exceptions=True,
                                         storage_options=options, max_pixels=2_000_000))
    with threadpool_limits(1, user_api="openmp"):
        for name in names[:2]:
            assert got[url + name] == ColorExtractor().extract_colors(str(local / name))
    assert isinstance(got[url + "missing.png"], FileNotFoundError) and "no such object" in str(got[url + "missing.png"])
    assert isinstance(got[url + "broken.png"], ValueError)
    assert by_palette[url + names[0]] == palette(local / names[0])
    for results in (got, by_palette):
        refused = [str(results[name]) for name in sized if isinstance(results[name], ValueError)]
        assert len(refused) == 3 and "an object of 8 MB, read whole to be decoded: over the 3 MB" in refused[0]
        assert all("30000x30000 pixels (900 megapixels): over the limit of 2 megapixels" in text for text in refused[1:])


def test_a_listing_holds_one_page_and_obstore_lists_as_s3fs(s3_server, shots, monkeypatch):
    """s3fs lists a page at a time; a folder or pattern that obstore lists
    gives what s3fs does, down to the keys obstore reads otherwise or
    refuses (handed to s3fs from there), and a clean one needs no s3fs."""
    import s3fs

    from velmora_huebit.photos import objects, storage
    from velmora_huebit.photos.sources import IMAGE_SUFFIXES

    requests = []
    original = s3fs.S3FileSystem.call_s3
    monkeypatch.setattr(s3fs.S3FileSystem, "call_s3", lambda fs, *a, **k: requests.append(a) or original(fs, *a, **k))
    options = {"key": s3_server.keys[0], "secret": s3_server.keys[1], "endpoint_url": s3_server.endpoint}

    def listing(url, recursive, direct=True):
        with monkeypatch.context() as patch:
            if not direct:
                patch.setattr(objects, "direct_pages", lambda *args: None)
            return list(objects.iter_objects(url, recursive, pytest.fail, options, IMAGE_SUFFIXES))

    assert len(listing(shots[1], True)) == 9 and requests == []
    with monkeypatch.context() as patch:
        patch.setattr(objects, "PAGE_KEYS", 2)
        patch.setattr(objects, "direct_pages", lambda *args: None)
        listed = objects.iter_objects(shots[1], True, pytest.fail, options, IMAGE_SUFFIXES)
        assert next(listed).endswith("/shots/broken.png") and len(requests) == 1  # after .hidden.png
        assert len(list(listed)) == 8 and len(requests) == 6  # 11 keys, two a page

    odd, fs = shots[1] + "odd-keys/", s3_server.filesystem()
    for key, data in [("", b""), ("a.png", b"x"), ("empty.png", b""), ("marker.png/", b""), ("sub/", b""),
                      ("sub/c.png", b"x"), ("sub/d//e.png", b"x"), ("z.png", b"x")]:
        fs.pipe_file(odd[len("s3://"):] + key, data)
    for url in (odd, odd + "*.png", odd + "**/*.png", odd + "s*"):
        for recursive in (False, True):
            assert listing(url, recursive) == listing(url, recursive, direct=False), (url, recursive)
    assert listing(odd, False) == [odd + "a.png", odd + "empty.png", odd + "z.png"]
    assert listing(odd, True)[-3:] == [odd + "sub/c.png", odd + "sub/d//e.png", odd + "z.png"]
    assert any(store is not None for store in storage._direct_stores.values())  # none of it a store's failure


def test_objects_sized_first_names_as_on_disk_and_a_gone_server_stops_the_run(s3_server, shots, tmp_path):
    local, url = shots
    root, fs = url.removeprefix("s3://"), s3_server.filesystem()
    # a small image followed by megabytes: refused from its head and size, not read whole
    padded = (local / "coffee_0.png").read_bytes() + bytes(8 << 20)
    fs.pipe_file(f"{root}odd/padded.png", padded)
    proc = run(s3_server, "extract", f"{url}odd/padded.png", "--max-pixels", 2_000_000)
    assert proc.returncode == 1 and proc.stderr.splitlines()[0].endswith(
        "padded.png: an object of 8 MB, read whole to be decoded: over the 3 MB that the limit of 2 megapixels "
        "allows (--max-pixels N raises the limit, 0 lifts it)")

    # wildcard characters in names: a name that exists as written is that file, as on disk
    (tmp_path / "odd").mkdir()
    for name in ("[1].png", "1.png", "x?y.png", "x#y.png"):
        (tmp_path / "odd" / name).write_bytes((local / "coffee_0.png").read_bytes())
        fs.put_file(str(tmp_path / "odd" / name), f"{root}odd/{name}")
    names = ["[1].png", "x?y.png", "x[#]y.png"]
    here = run_cli("extract", *(tmp_path / "odd" / name for name in names), "-n", 2)
    there = run(s3_server, "extract", *(f"{url}odd/{name}" for name in names), "-n", 2)
    assert there.stdout == here.stdout.replace(f"{tmp_path}/", url) and here.stdout.count("odd/") == 3

    # the server gone: a few photos fail, then the run stops in one line
    with socket_closed() as closed:
        started = time.monotonic()
        proc = run(s3_server, "extract", *(f"{url}photo_{i}.png" for i in range(12)), "--json",
                   endpoint=False, env={"AWS_ENDPOINT_URL": closed})
    assert time.monotonic() - started < 60 and proc.returncode == 2 and proc.stdout == ""
    *failures, last = proc.stderr.splitlines()
    assert len(failures) == 3 and all(f"network error: cannot reach {closed}" in line for line in failures)
    assert last.endswith(": 3 photos in a row could not be read, the run stops here")


def test_reads_by_obstore_fall_back_to_s3fs_and_never_cross_a_fork(s3_server, shots):
    """An object read through obstore is the bytes s3fs reads; a key obstore
    refuses (a tab in it) is read by s3fs; a process forked from one whose
    obstore runtime runs reads by s3fs (that runtime would hang there)."""
    import multiprocessing

    from velmora_huebit.photos import storage

    pytest.importorskip("obstore")
    _, url = shots
    fs, options = s3_server.filesystem(), {"key": s3_server.keys[0], "secret": s3_server.keys[1],
                                           "endpoint_url": s3_server.endpoint}
    odd = url + "tab\tname.png"
    fs.pipe_file(odd[len("s3://"):], b"\x89PNG odd")
    whole = fs.cat_file(url[len("s3://"):] + "coffee_0.png")
    assert storage.read_object(url + "coffee_0.png", options) == whole
    assert any(store is not None for store in storage._direct_stores.values())
    assert storage.read_object(odd, options) == b"\x89PNG odd"

    reader, writer = multiprocessing.Pipe(duplex=False)
    child = multiprocessing.get_context("fork").Process(
        target=lambda: writer.send(storage.read_object(url + "coffee_0.png", options) == whole))
    child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
    assert child.exitcode == 0 and reader.recv()

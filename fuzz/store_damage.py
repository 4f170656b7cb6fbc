"""Damaged --output stores, resumed: no photo lost or repeated.

    python fuzz/store_damage.py [--seeds 0,1,2] [--examples 200]

Each example writes the rows of a few photos through the store, as a first
run that finished (sometimes) and a second that was killed (its journal and
parts of two photos left behind); then damages what is on disk: bytes
appended, lines cut short, doubled, swapped for junk or for JSON of the
wrong shape, run.json or a part replaced by junk or truncated. Then it
resumes the way the command line does: opens the store, analyses again the
photos it does not take as done (a photo that failed the first time works
now), and folds. The file must hold every photo once, with its rows
exactly; anything else, or any exception, is a failure. Parquet and CSV.

Exits 0 when nothing failed.
"""

import argparse
import os
import random
import sys
import tempfile
import time
import traceback

from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

from velmora_huebit.outputs.csvfile import CsvFormat
from velmora_huebit.outputs.parquet import ParquetFormat
from velmora_huebit.outputs.store import Store
from velmora_huebit.outputs.tidy import columns, photo_rows
from velmora_huebit.analysis.job import Job, Outcome

JOB = Job("extract")
KINDS = columns(JOB)
NAMES = [name for name, _ in KINDS]
FORMATS = {"parquet": ParquetFormat, "csv": CsvFormat}


def rows(photo: int, attempt: int) -> list[dict]:
    """What analysing a photo gives: photos 3, 7, 11... fail the first time."""
    path = f"/photos/p{photo:03d}, \"odd\"\n\u00e9.png"
    if photo % 4 == 3 and attempt == 0:
        return photo_rows(path, JOB, Outcome(error="cannot read the image"), NAMES)
    colours = [{"color": ((photo * 37 + i) % 256, i * 60, 255 - photo % 256), "percentage": 100.0 / (i + 1)}
               for i in range(photo % 3)]
    return photo_rows(path, JOB, Outcome(result=colours, size=(4, 3), full_size=(8, 6)), NAMES)


JUNK_LINES = [b"", b"{", b"[]", b"{}", b"null", b"[1, 2]", b'[{"file": 1}]', b"[" * 100000,
              b"\xff\xfe\x00garbage", b'[{"file": "x", "status": "ok"}]']


@st.composite
def damages(draw):
    """(what, how) pairs, applied in order."""
    kinds = st.sampled_from(["append", "cut", "double", "junk line", "run.json", "part"])
    return draw(st.lists(st.tuples(kinds, st.randoms(use_true_random=False)), max_size=4))


def damage(folder: str, what: str, rng: random.Random) -> str:
    names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    journals = [n for n in names if n.endswith(".jsonl")]
    parts = [n for n in names if n[:5].isdigit() and n.count(".") == 2]
    if what == "run.json" and "run.json" in names:
        junk = rng.choice([rng.randbytes(rng.randrange(1, 64)), b"[]", b'{"base": 1}', b"[" * 50000, b""])
        with open(os.path.join(folder, "run.json"), "wb") as file:
            file.write(junk)
        return f"run.json <- {junk[:20]!r}"
    if what == "part" and parts:
        name = os.path.join(folder, rng.choice(parts))
        size = os.path.getsize(name)
        if rng.random() < 0.5:
            os.truncate(name, rng.randrange(size + 1))
            return f"{name} cut"
        with open(name, "r+b") as file:
            file.seek(rng.randrange(size + 1))
            file.write(rng.randbytes(rng.randrange(1, 32)))
        return f"{name} overwritten"
    if not journals:
        return "nothing"
    name = os.path.join(folder, rng.choice(journals))
    with open(name, "rb") as file:
        data = file.read()
    lines = data.split(b"\n")
    if what == "append":
        data += rng.randbytes(rng.randrange(1, 40)) + rng.choice([b"", b"\n"])
    elif what == "cut":
        data = data[:rng.randrange(len(data) + 1)]
    elif what == "double" and len(lines) > 1:
        at = rng.randrange(len(lines) - 1)
        data = b"\n".join(lines[:at + 1] + lines[at:])
    elif what == "junk line" and len(lines) > 1:
        at = rng.randrange(len(lines) - 1)
        lines[at] = rng.choice(JUNK_LINES)
        data = b"\n".join(lines)
    with open(name, "wb") as file:
        file.write(data)
    return f"{name}: {what}"


def check(fmt_name: str, first: int, second: int, damage_list, workdir: str) -> None:
    """Raises AssertionError when the resumed file is not every photo's rows, once."""
    fmt = FORMATS[fmt_name](KINDS)
    path = os.path.join(workdir, f"rows.{fmt_name}")
    said = []

    def say(level, text):
        said.append((level, text))

    attempts: dict[int, int] = {}

    def analyse(store, photos):
        for photo in photos:
            if photo_key(photo) not in store.done:
                store.add(rows(photo, attempts.get(photo, 0)))
                attempts[photo] = attempts.get(photo, 0) + 1

    def photo_key(photo):
        from velmora_huebit.photos.sources import photo_key as key
        return key(rows(photo, 1)[0]["file"])

    total = first + second
    if first:
        with Store(path, fmt, {"run": 1}, False, say) as store:
            analyse(store, range(first))
    store = Store(path, fmt, {"run": 1}, bool(first), say, photos_per_part=2)
    analyse(store, range(total))
    # killed: nothing closed, nothing folded
    if store.journal is not None:
        store.journal.close()
    store._unlock()
    done = [damage(path + ".parts", what, rng) for what, rng in damage_list]
    resumed = Store(path, fmt, {"run": 1}, True, say)
    analyse(resumed, range(total))
    resumed.close()
    assert not resumed.failed and not os.path.exists(path + ".parts"), (done, said)
    expected = [row for photo in range(total) for row in rows(photo, 1)]
    got = [row for batch in fmt.batches(path) for row in
           (batch.to_pylist() if fmt_name == "parquet" else batch)]
    if fmt_name == "csv":
        expected = fmt.from_rows(expected)
    key = repr
    assert sorted(got, key=key) == sorted(expected, key=key), (done, said)


def run(seed_value: int, examples: int) -> tuple[int, list[str]]:
    failures = []
    count = 0

    @seed(seed_value)
    @settings(max_examples=examples, database=None, deadline=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @given(st.sampled_from(sorted(FORMATS)), st.integers(0, 4), st.integers(0, 7), damages())
    def example(fmt_name, first, second, damage_list):
        nonlocal count
        count += 1
        with tempfile.TemporaryDirectory(prefix="huebit-store-") as workdir:
            try:
                check(fmt_name, first, second, damage_list, workdir)
            except Exception:  # every example is reported, and the run goes on
                failures.append(f"{fmt_name} first={first} second={second} "
                                f"damage={[what for what, _ in damage_list]}:\n{traceback.format_exc(limit=6)}")

    example()
    return count, failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", default="0")
    parser.add_argument("--examples", type=int, default=200, help="examples per seed")
    args = parser.parse_args()
    start = time.monotonic()
    total, failures = 0, []
    for seed_value in (int(s) for s in args.seeds.split(",")):
        count, found = run(seed_value, args.examples)
        total += count
        failures += found
    for failure in failures[:10]:
        print("FAILED", failure, file=sys.stderr)
    print(f"{total} damaged stores resumed over seeds {args.seeds} in {time.monotonic() - start:.0f} s: "
          f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

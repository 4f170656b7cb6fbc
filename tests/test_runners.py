"""The pool of worker processes: the order of the outcomes, a dying worker's
photo (with more photos handed to it than it works on), and which runs stay
in the command's own process."""

import os

import cv2
import pytest

from velmora_huebit.analysis.engines import PaletteEngine
from velmora_huebit.analysis.job import Job
from velmora_huebit.runs import runners


class _DiesOnWide(PaletteEngine):
    """The palette engine, but its process ends on a photo 77 pixels wide."""

    def extract_colors(self, image, mask=None):
        if image.shape[1] == 77:
            os._exit(3)
        return super().extract_colors(image, mask)


@pytest.fixture(scope="module")
def photos(tmp_path_factory, coffee_path):
    folder = tmp_path_factory.mktemp("pool")
    coffee = cv2.imread(coffee_path)
    paths = []
    for i, width in enumerate((60, 61, 77, 62, 63, 64, 65)):
        paths.append(str(folder / f"p{i}.png"))
        cv2.imwrite(paths[-1], cv2.resize(coffee, (width, 40)))
    return paths


@pytest.mark.parametrize("ahead", [2, runners.BUCKET_AHEAD])
def test_a_dying_worker_costs_its_photo_only_and_the_order_holds(photos, ahead):
    job = Job("extract", max_side=256)
    tasks = [(path, None) for path in photos]
    pool = runners.PoolRunner(2, ["numpy", "cv2"], ahead)
    pool.start(_DiesOnWide(5), job)
    done = []
    got = list(pool.run(_DiesOnWide(5), job, tasks, lambda: done.append(1)))
    assert [index for index, _ in got] == list(range(len(photos))) and len(done) == len(photos)
    alone = dict(runners.SerialRunner().run(PaletteEngine(5), job, tasks, lambda: None))
    for index, outcome in got:
        if index == 2:
            assert "exit status 3" in outcome.error and outcome.result is None
        else:
            assert outcome.error is None and outcome.result == alone[index].result


def test_runs_too_small_for_workers_or_a_busy_machine_stay_here(photos, tmp_path, monkeypatch):
    safe, unsafe = Job("extract"), Job("extract", engine="library")
    monkeypatch.setattr(runners, "cores", lambda: 2)
    monkeypatch.setattr(runners, "_others_running", lambda: 2)  # both cores busy: no worker pays
    assert isinstance(runners.choose_runner(None, 40, safe, paths=photos * 6), runners.SerialRunner)
    assert isinstance(runners.choose_runner(None, 40, unsafe, paths=photos * 6), runners.PoolRunner)
    monkeypatch.setattr(runners, "_others_running", lambda: 0)
    assert isinstance(runners.choose_runner(None, 4, safe, paths=photos[:4]), runners.SerialRunner)
    objects = [f"s3://b/p{i}.jpg" for i in range(17)]  # a bucket's photos, by their count
    assert isinstance(runners.choose_runner(None, 40, safe, buckets=True, paths=objects), runners.SerialRunner)
    assert isinstance(runners.choose_runner(None, 400, safe, buckets=True, paths=objects), runners.PoolRunner)
    big = tmp_path / "big.jpg"
    big.write_bytes(os.urandom(8 << 20))  # a camera photo's size is what counts
    for jobs, job, paths in [(2, safe, photos[:4]), (None, unsafe, photos[:4]), (None, safe, [str(big)] * 2),
                             (None, safe, photos * 3)]:
        assert isinstance(runners.choose_runner(jobs, len(paths), job, paths=paths), runners.PoolRunner)

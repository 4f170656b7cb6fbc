"""What the command line shows people: label contrast, --sort, --color,
its charts, the DBSCAN warning, and the HTML report in a real browser."""

import gc
import itertools
import json
import pathlib
import shutil
import subprocess
import sys
import weakref

import cv2
import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from browser import IMAGES_LOADED, Browser, find_chromium  # noqa: E402
from test_cli import PACKAGE_PARENT, json_lines, photos, run_cli  # noqa: F401 (photos: a fixture)
from velmora_huebit.cli import terminal
from velmora_huebit.colour import swatches
from velmora_huebit.colour.space import hex_code
from velmora_huebit.outputs import charts
from velmora_huebit.outputs.report import Report
from velmora_huebit.analysis.job import Job, Outcome


class TestSwatches:
    def test_every_label_reads_on_its_colour(self):
        assert swatches.contrast((0, 0, 0), (255, 255, 255)) == pytest.approx(21)
        steps = range(0, 256, 15)
        worst = min(swatches.contrast(rgb, swatches.label_colour(rgb)) for rgb in itertools.product(steps, repeat=3))
        assert worst >= 4.5  # WCAG AA for text, on every colour
        assert swatches.label_colour((9, 15, 14)) == swatches.LIGHT_LABEL  # the "79.0%" on #090f0e
        assert swatches.label_colour((238, 213, 189)) == swatches.DARK_LABEL
        assert swatches.needs_border((255, 255, 255)) and swatches.needs_border((250, 250, 240))
        assert not swatches.needs_border((238, 213, 189)) and not swatches.needs_border((9, 15, 14))

    def test_sorts(self):
        records = [{"color": c, "percentage": p} for c, p in
                   [((128, 128, 128), 40.0), ((20, 40, 200), 30.0), ((230, 30, 40), 20.0), ((250, 230, 40), 10.0)]]
        hexes = lambda how: [hex_code(r["color"]) for r in swatches.sort_colours(records, how)]  # noqa: E731
        assert hexes("share") == ["#808080", "#1428c8", "#e61e28", "#fae628"]
        assert hexes("lightness") == ["#1428c8", "#e61e28", "#808080", "#fae628"]
        assert hexes("hue") == ["#e61e28", "#fae628", "#1428c8", "#808080"]  # red, yellow, blue, then grey

    def test_sort_reaches_every_output(self, coffee_path, tmp_path):
        proc = run_cli("extract", coffee_path, "--json", "--sort", "lightness", "--report", tmp_path / "r.html")
        assert proc.returncode == 0, proc.stderr
        colours = json_lines(proc)[0]["colors"]
        lightness = [swatches.lab(c["rgb"])[0] for c in colours]
        assert len(colours) == 5 and lightness == sorted(lightness)
        page = (tmp_path / "r.html").read_text()
        cards = page.index('class="grid"')
        places = [page.index(c["hex"], cards) for c in colours]
        assert places == sorted(places)


class TestColor:
    TARGETS = ("-t", "cream=#f0cfaf", "-t", "brick=#a94e24")

    def test_levels(self, coffee_path):
        def table(level):
            proc = run_cli("match", coffee_path, *self.TARGETS, "--table", "--color", level)
            assert proc.returncode == 0, proc.stderr
            return proc.stdout

        sixteen, true = table("16color"), table("truecolor")
        # no swatch where it could lie: the hex code of every colour instead, targets too
        assert "███" not in sixteen and "cream #f0cfaf" in sixteen and "brick #a94e24" in sixteen
        assert "███" in true and "\x1b[38;2;169;78;36m" in true  # brick's own colour, exactly

    def test_auto_on_a_16_colour_terminal(self, monkeypatch):
        monkeypatch.setenv("TERM", "xterm")
        monkeypatch.delenv("COLORTERM", raising=False)
        monkeypatch.delenv("NO_COLOR", raising=False)
        console = terminal.console("auto", force_terminal=True)
        assert console.color_system == "standard" and not terminal.draws_swatches(console, "auto")
        monkeypatch.setenv("COLORTERM", "truecolor")
        assert terminal.draws_swatches(terminal.console("auto", force_terminal=True), "auto")


def records(*pairs):
    return [{"color": rgb, "percentage": share} for rgb, share in pairs]


class TestCharts:
    def test_extract_and_match_charts(self, photos, tmp_path):
        proc = run_cli("extract", photos / "a_coffee.png", photos / "d_stripes.png", "--chart", tmp_path / "c.png")
        assert proc.returncode == 0, proc.stderr
        proc = run_cli("match", photos / "a_coffee.png", "-t", "cream=#f0cfaf", "--pixels",
                       "--chart", tmp_path / "{stem}-match.svg")
        assert proc.returncode == 0, proc.stderr
        for name in ("c-a_coffee.png", "c-d_stripes.png"):
            height, width = cv2.imread(str(tmp_path / name)).shape[:2]
            assert width == 1200 and 400 < height < 700
        assert (tmp_path / "a_coffee-match.svg").read_text().lstrip().startswith("<?xml")

    def test_figures_are_not_kept(self, tmp_path):
        import matplotlib.figure
        import matplotlib.pyplot as plt

        job = Job(command="extract")
        made = []
        original = matplotlib.figure.Figure.savefig

        def saving(figure, *args, **kwargs):
            made.append(weakref.ref(figure))
            return original(figure, *args, **kwargs)

        tiny = records(((255, 255, 255), 80.0), *[((i * 30, 20, 90), 2.5) for i in range(8)])
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(matplotlib.figure.Figure, "savefig", saving)
            for i in range(20):
                charts.save_chart(job, f"$x$ {i}.png", tiny, (64, 48), str(tmp_path / f"{i}.png"))
        gc.collect()
        assert len(made) == 20 and not any(ref() for ref in made) and not plt.get_fignums()


class TestDbscanWarning:
    def test_one_colour_for_a_gradient_none_for_noise_quiet_for_a_flat_logo(self, tmp_path):
        x = np.linspace(0, 1, 160)[None, :, None]
        gradient = np.repeat((1 - x) * [30, 30, 220] + x * [60, 160, 30], 40, axis=0).astype(np.uint8)
        images = {"gradient.png": gradient, "flat.png": np.full((40, 40, 3), (40, 0, 200), np.uint8),
                  "noise.png": np.random.default_rng(1).integers(0, 256, (20, 20, 3), dtype=np.uint8)}
        for name, image in images.items():
            cv2.imwrite(str(tmp_path / name), image)
        proc = run_cli("extract", tmp_path, "--engine", "library", "--algorithm", "dbscan", "-j", 1)
        assert proc.returncode == 0, proc.stderr
        warned = {line.split(": ")[2].rsplit("/", 1)[1]: line.split(": ", 3)[3] for line in proc.stderr.splitlines()
                  if ": warning: " in line}
        # a palette of one colour for a gradient is doubtful; no colours at all is "empty"
        statuses = {pathlib.Path(r["file"]).name: r.get("status", "ok") for r in map(json.loads, proc.stdout.splitlines())}
        assert statuses == {"gradient.png": "warning", "flat.png": "ok", "noise.png": "ok"}
        assert set(warned) == {"gradient.png", "noise.png"}
        assert warned["gradient.png"].startswith("DBSCAN put 100% of the photo into one colour")
        assert "no dense group" in warned["noise.png"]
        assert all(text.endswith("try --algorithm kmeans") for text in warned.values())


def test_no_matplotlib_unless_asked():
    code = ("import sys; import velmora_huebit.cli.entry, velmora_huebit.outputs.report, velmora_huebit.cli.output;"
            "print('matplotlib' in sys.modules)")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=PACKAGE_PARENT)
    assert proc.stdout.strip() == "False", proc.stderr


needs_chromium = pytest.mark.skipif(
    find_chromium() is None, reason="no Chromium to open the report in (make test installs Debian's "
                                    "chromium with apt-get where it can)")

PAGE = """(() => {
  const cards = [...document.querySelectorAll("article.photo")];
  return {
    title: document.title,
    stats: [...document.querySelectorAll(".stat b")].map(b => b.textContent),
    cards: cards.map(c => ({name: c.querySelector("h3").textContent,
                            picture: c.querySelector("img") ? c.querySelector("img").naturalWidth : 0,
                            lazy: c.querySelector("img") ? c.querySelector("img").loading : "",
                            strip: c.querySelectorAll(".strip span").length,
                            rows: c.querySelectorAll("ul li").length,
                            bands: [...c.querySelectorAll("ul.targets li")].map(li => li.className)})),
    failures: [...document.querySelectorAll("ul.failures li")].map(li => li.textContent),
    common: document.querySelectorAll("ol.common li").length,
    targets: [...document.querySelectorAll("table.targets tbody tr")].map(tr => tr.textContent),
    injected: document.querySelectorAll("img[src=x], script:not(:last-of-type)").length,
  };
})()"""


@pytest.fixture(scope="module")
def browser():
    with Browser() as browser:
        yield browser


@pytest.fixture(scope="module")
def folder(photos, tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    for path in photos.iterdir():
        shutil.copy(path, folder)
    shutil.copy(photos / "a_coffee.png", folder / "<img src=x onerror=alert(1)>.png")
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    return folder


@needs_chromium
class TestReport:
    def look(self, browser, page):
        browser.open(page)
        browser.evaluate(IMAGES_LOADED)
        return browser.evaluate(PAGE)

    def test_extract(self, browser, folder, tmp_path):
        proc = run_cli("extract", folder, "-n", 4, "--report", tmp_path / "run.html", "-j", 2)
        assert proc.returncode == 1 and len(json_lines(proc)) == 5
        seen = self.look(browser, tmp_path / "run.html")
        assert browser.errors == []
        assert seen["title"] == "velmora-huebit extract: 6 photos" and seen["stats"][:2] == ["5", "1"]
        assert [c["name"] for c in seen["cards"]][0] == "<img src=x onerror=alert(1)>.png"
        assert seen["injected"] == 0  # the name is shown, never run
        for card, record in zip(seen["cards"], json_lines(proc)):
            assert card["picture"] > 0 and card["strip"] == card["rows"] == len(record["colors"])
        assert seen["failures"] == [f"{folder / 'broken.png'}cannot read the image (not an image file, or a damaged one)"]
        assert 0 < seen["common"] <= 16
        assert not list(tmp_path.glob("run_files"))  # a small run: one self-contained file

    def test_match(self, browser, folder, tmp_path):
        proc = run_cli("match", folder, "-t", "cream=#f0dcc8", "-t", "<b>ink</b>=navy", "--pixels",
                       "--report", tmp_path / "match.html", "-j", 2)
        assert proc.returncode == 1
        seen = self.look(browser, tmp_path / "match.html")
        assert browser.errors == []
        expected = [[f"band-{swatches.band(r, True)[0]}" for r in json.loads(line)["targets"].values()]
                    for line in proc.stdout.splitlines()]
        assert [c["bands"] for c in seen["cards"]] == expected
        assert [row.split("#")[0].strip() for row in seen["targets"]] == ["cream", "<b>ink</b>"]

    def test_large_runs_keep_pictures_beside_the_page(self, browser, tmp_path):
        job = Job(command="extract")
        picture = cv2.imencode(".jpg", np.full((30, 40, 3), (20, 90, 200), np.uint8))[1].tobytes()
        with Report(str(tmp_path / "big.html"), job, {"n_colors": 2}, inline_limit=3) as report:
            for i in range(7):
                report.emit(f"shot {i}.jpg", Outcome(result=records(((200, 90, 20), 70.0), ((9, 9, 9), 30.0)),
                                                     size=(40, 30), full_size=(40, 30), thumbnail=picture))
            assert report.pending == []  # streamed, not held
        assert sorted(p.name for p in (tmp_path / "big_files").iterdir()) == [f"{i:06d}.jpg" for i in range(1, 8)]
        seen = self.look(browser, tmp_path / "big.html")
        browser.screenshot(tmp_path / "big.png")  # a tall viewport draws every card and its lazy picture
        pictures = browser.evaluate("[...document.images].map(i => [i.loading, i.naturalWidth])")
        assert browser.errors == []
        assert len(seen["cards"]) == 7 and pictures == [["lazy", 40]] * 7

"""The HTML report in a real browser: Debian's Chromium driven by Playwright
(launched at its own path: no browser is downloaded). One browser for the
module, a fresh page per test: the page as the run wrote it, a swatch
copied, the photos sorted and filtered by colour, the dark scheme, printing
to PDF, and a folder zipped and opened elsewhere."""

import json
import pathlib
import re
import shutil
import sys
import urllib.parse

import cv2
import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from browser import IMAGES_LOADED, find_chromium  # noqa: E402
from test_cli import json_lines, photos, run_cli  # noqa: F401 (photos: a fixture)
from velmora_huebit.colour import space, swatches
from velmora_huebit.colour.space import hex_code
from velmora_huebit.outputs.report import Report
from velmora_huebit.analysis.job import Job, Outcome


def records(*pairs):
    return [{"color": rgb, "percentage": share} for rgb, share in pairs]


def _playwright() -> bool:
    try:
        import playwright.sync_api  # noqa: F401
    except ImportError:
        return False
    return find_chromium() is not None


needs_chromium = pytest.mark.skipif(
    not _playwright(), reason="no Chromium to open the report in (make test installs Debian's chromium "
                              "with apt-get where it can) or no Playwright (the test extra)")

PAGE = """(() => {
  const cards = [...document.querySelectorAll("article.photo")];
  return {
    title: document.title,
    stats: [...document.querySelectorAll(".stat b")].map(b => b.textContent),
    cards: cards.map(c => ({name: c.querySelector("h3").textContent,
                            picture: c.querySelector("img") ? c.querySelector("img").naturalWidth : 0,
                            lazy: c.querySelector("img") ? c.querySelector("img").loading : "",
                            link: c.querySelector("a.thumb") ? c.querySelector("a.thumb").href : null,
                            strip: c.querySelectorAll(".strip span").length,
                            rows: c.querySelectorAll("ul.colours > li, ul.targets > li").length,
                            roles: [...c.querySelectorAll(".role")].map(r => r.textContent),
                            bands: [...c.querySelectorAll("ul.targets li")].map(li => li.className)})),
    failures: [...document.querySelectorAll("ul.failures li")].map(li => li.textContent),
    common: document.querySelectorAll("ol.common li").length,
    roles: document.querySelectorAll("ul.roles li").length,
    targets: [...document.querySelectorAll("table.targets tbody tr")].map(tr => tr.textContent),
    injected: document.querySelectorAll("img[src=x], script:not(:last-of-type), h1 *").length,
  };
})()"""


# the cards' names as the grid shows them (its order property), the hidden ones left out if asked
IN_ORDER = """visible => [...document.querySelectorAll("article.photo")].filter(c => !visible || !c.hidden)
  .sort((a, b) => getComputedStyle(a).order - getComputedStyle(b).order).map(c => c.querySelector("h3").textContent)"""


@pytest.fixture(scope="module")
def chromium():
    from playwright.sync_api import sync_playwright

    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=find_chromium())
        yield browser
        browser.close()


@pytest.fixture()
def page(chromium):
    """A fresh page that may use the clipboard, keeping the page's errors."""
    context = chromium.new_context(viewport={"width": 1280, "height": 900},
                                   permissions=["clipboard-read", "clipboard-write"])
    page = context.new_page()
    errors: list[str] = []
    page.on("pageerror", lambda error: errors.append(f"exception: {error}"))
    page.on("console", lambda message: message.type == "error" and errors.append(f"console: {message.text}"))
    page.on("requestfailed", lambda request: errors.append(f"load failed: {request.url}"))
    page.on("dialog", lambda dialog: (errors.append(f"dialog: {dialog.message}"), dialog.dismiss()))
    page.errors = errors
    yield page
    context.close()


@pytest.fixture(scope="module")
def folder(photos, tmp_path_factory):
    folder = tmp_path_factory.mktemp("report")
    for path in photos.iterdir():
        shutil.copy(path, folder)
    shutil.copy(photos / "a_coffee.png", folder / "<img src=x onerror=alert(1)>.png")
    (folder / "broken.png").write_bytes(b"\x89PNG\r\n\x1a\n not really")
    return folder


@pytest.fixture(scope="module")
def extract_run(folder, tmp_path_factory):
    page = tmp_path_factory.mktemp("extract") / "run.html"
    proc = run_cli("extract", folder, "-n", 4, "--report", page, "-j", 2, "--title", "<b>spring</b> shoot")
    return proc, page


def look(page, path):
    page.goto(pathlib.Path(path).resolve().as_uri())
    page.evaluate(IMAGES_LOADED)
    return page.evaluate(PAGE)


def unzipped(folder: pathlib.Path, elsewhere: pathlib.Path) -> pathlib.Path:
    """The folder as someone it was sent to opens it: zipped, unpacked elsewhere."""
    archive = shutil.make_archive(str(elsewhere.parent / "shared"), "zip", folder)
    shutil.unpack_archive(archive, elsewhere)
    return elsewhere


@needs_chromium
class TestReport:
    def test_extract(self, page, folder, extract_run):
        proc, path = extract_run
        assert proc.returncode == 1 and len(json_lines(proc)) == 5
        seen = look(page, path)
        assert page.errors == []
        assert seen["title"] == "<b>spring</b> shoot" and seen["stats"][:2] == ["5", "1"]
        assert [c["name"] for c in seen["cards"]][0] == "<img src=x onerror=alert(1)>.png"
        assert seen["injected"] == 0  # the names and the title are shown, never run
        for card, record in zip(seen["cards"], json_lines(proc)):
            assert card["picture"] > 0 and card["strip"] == card["rows"] == len(record["colors"])
            assert card["roles"] and pathlib.Path(urllib.parse.unquote(card["link"][len("file://"):])).is_file()
        assert 'href="file:' not in path.read_text()  # relative links, the page can move with its photos
        assert seen["failures"] == [f"{folder / 'broken.png'}cannot read the image (not an image file, or a damaged one)"]
        assert 0 < seen["common"] <= 16 and seen["roles"] == 6
        assert not list(path.parent.glob("run_files"))  # a small run: one self-contained file

    def test_copy_sort_filter_scheme_and_print(self, page, extract_run, tmp_path):
        proc, path = extract_run
        records = {r["file"].rsplit("/", 1)[-1]: r for r in json_lines(proc)}
        look(page, path)
        card = page.locator("article.photo").nth(1)
        record = records[card.locator("h3").text_content()]
        card.locator("button.sw").first.click()
        assert page.evaluate("navigator.clipboard.readText()") == record["colors"][0]["hex"]
        card.locator("button.copy", has_text="oklch").first.click()
        assert page.evaluate("navigator.clipboard.readText()") == space.oklch_css(record["colors"][0]["rgb"])
        assert page.locator("#toast").text_content().startswith("Copied oklch(")

        # the page's CIEDE2000 is the library's
        rng = np.random.default_rng(7)
        pairs = rng.integers(0, 256, (200, 2, 3))
        theirs = page.evaluate("pairs => pairs.map(([a, b]) => huebitColour.deltaE("
                               "huebitColour.lab(a), huebitColour.lab(b)))",
                               [[hex_code(a), hex_code(b)] for a, b in pairs])
        ours = space.ciede2000(space.srgb_to_lab(pairs[:, 0]), space.srgb_to_lab(pairs[:, 1]))
        assert np.allclose(theirs, ours, atol=1e-6)

        # sorted by the nearest colour to a blue, then only those within 10
        page.fill("#near", "#2040c0")  # an <input type=color> takes its value this way
        page.select_option("#order", "near")
        names = page.evaluate(IN_ORDER, False)
        target = space.srgb_to_lab((0x20, 0x40, 0xc0))
        nearest = {name: float(space.ciede2000(target, space.srgb_to_lab([c["rgb"] for c in r["colors"]])).min())
                   for name, r in records.items()}
        assert names == sorted(nearest, key=nearest.get)
        page.fill("#within", "10")
        shown = page.evaluate(IN_ORDER, True)
        assert shown == [name for name in names if nearest[name] <= 10] != names

        # the system's dark setting, then print: the controls stay off paper
        background = "getComputedStyle(document.body).backgroundColor"
        page.emulate_media(color_scheme="dark")
        dark = page.evaluate(background)
        page.emulate_media(color_scheme="light")
        assert space.luminance(_rgb(dark)) < 0.05 and space.luminance(_rgb(page.evaluate(background))) > 0.8
        page.emulate_media(media="print", color_scheme="dark")
        assert page.evaluate("getComputedStyle(document.getElementById('controls')).display") == "none"
        assert page.evaluate("getComputedStyle(document.querySelector('article.photo')).breakInside") == "avoid"
        assert page.evaluate(background) == "rgb(255, 255, 255)"
        assert page.pdf(path=tmp_path / "run.pdf")[:5] == b"%PDF-"
        assert page.errors == []

    def test_match(self, page, folder, tmp_path):
        proc = run_cli("match", folder, "-t", "cream=#f0dcc8", "-t", "<b>ink</b>=navy", "--pixels",
                       "--report", tmp_path / "match.html", "-j", 2)
        assert proc.returncode == 1
        seen = look(page, tmp_path / "match.html")
        assert page.errors == []
        expected = [[f"band-{swatches.band(r, 'pixels')[0]}" for r in json.loads(line)["targets"].values()]
                    for line in proc.stdout.splitlines()]
        assert [c["bands"] for c in seen["cards"]] == expected
        assert [row.split("#")[0].strip() for row in seen["targets"]] == ["cream", "<b>ink</b>"]

    def test_large_runs_keep_pictures_beside_the_page(self, page, tmp_path):
        job = Job(command="extract")
        picture = cv2.imencode(".jpg", np.full((30, 40, 3), (20, 90, 200), np.uint8))[1].tobytes()
        made = tmp_path / "made"
        made.mkdir()
        with Report(str(made / "big.html"), job, {"n_colors": 2}, inline_limit=3) as report:
            for i in range(7):
                report.emit(f"shot {i}.jpg", Outcome(result=records(((200, 90, 20), 70.0), ((9, 9, 9), 30.0)),
                                                     size=(40, 30), full_size=(40, 30), thumbnail=picture))
            assert report.pending == []  # streamed, not held
        assert sorted(p.name for p in (made / "big_files").iterdir()) == [f"{i:06d}.jpg" for i in range(1, 8)]
        shared = unzipped(made, tmp_path / "elsewhere")  # the page and its folder, sent on
        seen = look(page, shared / "big.html")
        # a viewport as tall as the page draws every card and its lazy picture
        page.set_viewport_size({"width": 1280, "height": page.evaluate("document.documentElement.scrollHeight")})
        page.evaluate(IMAGES_LOADED)
        pictures = page.evaluate("[...document.images].map(i => [i.loading, i.naturalWidth])")
        assert page.errors == []
        assert len(seen["cards"]) == 7 and pictures == [["lazy", 40]] * 7


def _rgb(css: str) -> tuple[int, ...]:
    return tuple(int(v) for v in re.findall(r"\d+", css)[:3])

"""The colour distribution chart."""

import gc
import sys
import warnings

import matplotlib.pyplot as real_plt
import pytest
from PIL import Image

from velmora_huebit import color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor


class Recorder:
    """Stands in for pyplot and for the axes: records every call as (name, args, kwargs)."""

    def __init__(self, log=None, prefix=""):
        self.log = [] if log is None else log
        self.prefix = prefix

    def __getattr__(self, name):
        def record(*args, **kwargs):
            self.log.append((self.prefix + name, args, kwargs))
            if name == "subplots":
                return "fig", Recorder(self.log, "ax.")

        return record


@pytest.fixture()
def plt():
    recorder = Recorder()
    saved = cy.plt
    cy.plt = recorder
    yield recorder
    cy.plt = saved


def draw(plt, colors, save_path=None):
    assert ColorExtractor().visualize_colors(colors, save_path) is None
    return plt.log


def rec(color, percentage):
    return {"color": color, "percentage": percentage}


class TestCalls:
    def test_full_sequence(self, plt):
        log = draw(plt, [rec((255, 0, 0), 50), rec((0, 255, 0), 30.0), rec((0, 0, 51), 20.0)], "out.png")
        bar = dict(height=0.8, edgecolor="white", linewidth=1)
        text = dict(ha="center", va="center", fontweight="bold")
        assert log == [
            ("subplots", (1, 1), {"figsize": (12, 2)}),
            ("ax.barh", (0, 0.5), dict(left=0, color=[1.0, 0.0, 0.0], **bar)),
            ("ax.text", (0.25, 0, "50.0%"), text),
            ("ax.barh", (0, 0.3), dict(left=0.5, color=[0.0, 1.0, 0.0], **bar)),
            ("ax.text", (0.65, 0, "30.0%"), text),
            ("ax.barh", (0, 0.2), dict(left=0.8, color=[0.0, 0.0, 0.2], **bar)),
            ("ax.text", (0.9, 0, "20.0%"), text),
            ("ax.set_xlim", (0, 1), {}),
            ("ax.set_ylim", (-0.5, 0.5), {}),
            ("ax.set_xlabel", ("Color Distribution",), {}),
            ("ax.set_title", ("Extracted Colors with Percentages",), {}),
            ("ax.set_yticks", ([],), {}),
            ("tight_layout", (), {}),
            ("savefig", ("out.png",), {"dpi": 300, "bbox_inches": "tight"}),
            ("show", (), {}),
        ]
        first_left = log[1][2]["left"]
        assert first_left == 0 and type(first_left) is int

    def test_empty_list_draws_nothing(self, plt):
        assert draw(plt, []) == []

    def test_single_full_segment(self, plt):
        log = draw(plt, [rec((1, 2, 3), 100)])
        assert log[1][1] == (0, 1.0) and log[2][1] == (0.5, 0, "100.0%")

    @pytest.mark.parametrize("percentage, label", [(5.0, None), (5.01, "5.0%"), (23.456, "23.5%")])
    def test_label_only_on_wide_segments(self, plt, percentage, label):
        texts = [args[2] for name, args, _ in draw(plt, [rec((1, 2, 3), percentage)]) if name == "ax.text"]
        assert texts == ([] if label is None else [label])

    @pytest.mark.parametrize("save_path", [None, ""])
    def test_shown_but_not_saved(self, plt, save_path):
        names = [name for name, _, _ in draw(plt, [rec((1, 2, 3), 10)], save_path)]
        assert "savefig" not in names and names[-1] == "show"

    def test_records_may_be_any_mapping(self, plt):
        class Record:
            def __getitem__(self, key):
                return {"color": [255, 255, 255], "percentage": 60}[key]

        log = draw(plt, [Record()])
        assert log[1][2]["color"] == [1.0, 1.0, 1.0]

    def test_missing_key_after_earlier_records(self, plt):
        with pytest.raises(KeyError, match="percentage"):
            ColorExtractor().visualize_colors([rec((1, 2, 3), 40), {"color": (1, 2, 3)}])
        assert [name for name, _, _ in plt.log] == ["subplots", "ax.barh", "ax.text", "close"]
        assert plt.log[-1][1] == ("fig",)  # the figure that failed is closed

    def test_non_number_in_colour(self, plt):
        with pytest.raises(TypeError):
            ColorExtractor().visualize_colors([rec(("a", 2, 3), 40)])

    def test_missing_plt(self, plt):
        del cy.plt
        try:
            with pytest.raises(NameError, match="name 'plt' is not defined"):
                ColorExtractor().visualize_colors([rec((1, 2, 3), 40)])
        finally:
            cy.plt = plt


class TestArguments:
    @pytest.mark.parametrize(
        "colors, save_path, name, expected, note",
        [
            ((), None, "colors", "list", False),
            (None, None, "colors", "list", False),
            (type("Records", (list,), {})(), None, "colors", "list", True),
            ([], 3, "save_path", "str", False),
            ([], type("Path", (str,), {})("x.png"), "save_path", "str", True),
        ],
    )
    def test_types(self, plt, colors, save_path, name, expected, note):
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected {expected}, got ") as info:
            ColorExtractor().visualize_colors(colors, save_path)
        assert bool(getattr(info.value, "__notes__", None)) == note
        assert plt.log == []

    def test_counts_and_keywords(self, plt):
        ex = ColorExtractor()
        with pytest.raises(TypeError, match="takes at least 1 positional argument"):
            ex.visualize_colors()
        with pytest.raises(TypeError, match="takes at most 2 positional arguments"):
            ex.visualize_colors([], None, None)
        ex.visualize_colors(save_path=None, colors=[])

    def test_metadata(self):
        f = ColorExtractor.visualize_colors
        assert f.__doc__ == "Visualize extracted colors with percentages."
        assert list(f.__annotations__.items()) == [("colors", "List[dict]"), ("save_path", "Optional[str]")]
        assert f.__defaults__ == (None,)


def test_png_written_with_agg(tmp_path, coffee):
    path = tmp_path / "chart.png"
    ex = ColorExtractor()
    colors = [rec((177, 89, 46), 27.0), rec((220, 137, 84), 24.0), rec((128, 44, 19), 20.5), rec((51, 22, 18), 17.3)]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # Agg cannot show
            ex.visualize_colors(colors, str(path))
        with Image.open(path) as image:
            assert image.format == "PNG"
            assert round(image.info["dpi"][0]) == 300
            assert image.width > 2000  # 12 inches at 300 dpi, trimmed to the drawing
            r, g, b = image.convert("RGB").getpixel((image.width // 5, image.height // 2))[:3]
            assert r > g > b  # inside the first, brownish-orange segment
    finally:
        real_plt.close("all")


def test_no_leaks(plt):
    ex = ColorExtractor()
    colors = [rec((255, 0, 0), 50), rec((0, 255, 0), 3.0)]
    bad = [rec((1, 2, 3), 40), {"color": (1, 2, 3)}]

    def run(n):
        for _ in range(n):
            for args in ((colors, "x.png"), (colors,), ((), None), (bad,), (colors, 5)):
                try:
                    ex.visualize_colors(*args)
                except (TypeError, KeyError):
                    pass
            plt.log.clear()

    run(20)
    gc.collect()
    objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
    refs = sys.getrefcount(colors), sys.getrefcount(bad)
    run(300)
    gc.collect()
    assert len(gc.get_objects()) - objects < 20
    assert sys.getallocatedblocks() - blocks < 100
    assert (sys.getrefcount(colors), sys.getrefcount(bad)) == refs

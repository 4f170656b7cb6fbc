"""Colour names and palette files: CIEDE2000 against its published test
data, every format --export writes read back by our reader and by the
tools' own, the forms other tools write, and hostile palette files."""

import json
import os
import pathlib
import subprocess
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from PIL import Image
from PIL.GimpPaletteFile import GimpPaletteFile

from test_cli import json_lines, photos, run_cli  # noqa: F401 - photos is a fixture
from velmora_huebit.colour.parse import MAX_BYTES, PNG_KEY, read_palette
from velmora_huebit.names import add_names, ciede2000, nearest_name, nearest_names, srgb_to_lab

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Sharma, Wu and Dalal (2005), "The CIEDE2000 color-difference formula:
# implementation notes, supplementary test data": pairs 1, 4, 7, 9-16 (hue
# and mean hue across 0/360), 17-20, 25, 31, 33, 34
SHARMA = [
    (50, 2.6772, -79.7751, 50, 0, -82.7485, 2.0425), (50, -1.3802, -84.2814, 50, 0, -82.7485, 1.0),
    (50, 0, 0, 50, -1, 2, 2.3669), (50, 2.49, -0.001, 50, -2.49, 0.0009, 7.1792),
    (50, 2.49, -0.001, 50, -2.49, 0.001, 7.1792), (50, 2.49, -0.001, 50, -2.49, 0.0011, 7.2195),
    (50, 2.49, -0.001, 50, -2.49, 0.0012, 7.2195), (50, -0.001, 2.49, 50, 0.0009, -2.49, 4.8045),
    (50, -0.001, 2.49, 50, 0.001, -2.49, 4.8045), (50, -0.001, 2.49, 50, 0.0011, -2.49, 4.7461),
    (50, 2.5, 0, 50, 0, -2.5, 4.3065), (50, 2.5, 0, 73, 25, -18, 27.1492), (50, 2.5, 0, 61, -5, 29, 22.8977),
    (50, 2.5, 0, 56, -27, -3, 31.903), (50, 2.5, 0, 58, 24, 15, 19.4535),
    (60.2574, -34.0099, 36.2677, 60.4626, -34.1751, 39.4387, 1.2644),
    (90.8027, -2.0831, 1.441, 91.1528, -1.6435, 0.0447, 1.4441),
    (6.7747, -0.2908, -2.4247, 5.8714, -0.0985, -2.2286, 0.6377),
    (2.0776, 0.0795, -1.135, 0.9033, -0.0636, -0.5514, 0.9082),
]


class TestNames:
    def test_ciede2000_gives_the_published_differences_both_ways(self):
        pairs = np.array(SHARMA)
        assert np.round(ciede2000(pairs[:, :3], pairs[:, 3:6]), 4).tolist() == pairs[:, 6].tolist()
        assert np.round(ciede2000(pairs[:, 3:6], pairs[:, :3]), 4).tolist() == pairs[:, 6].tolist()
        # sRGB red and white in CIE L*a*b* (D65)
        assert np.round(srgb_to_lab([[255, 0, 0], [255, 255, 255]]), 3).tolist() == [
            [53.241, 80.092, 67.203], [100.0, -0.0, 0.0]]

    def test_nearest_names(self):
        # a listed colour is named itself; two names of one colour give the first alphabetically
        assert nearest_names([(255, 0, 0), (70, 130, 180), (0, 255, 255), (128, 128, 128)]) == [
            "red", "steelblue", "aqua", "gray"]
        assert nearest_names(np.array([[0x15, 0xB0, 0x1A], [0x6D, 0xED, 0xFD]]), "xkcd") == ["green", "robin's egg"]
        # nearer by CIEDE2000, where plain RGB distance would pick "peru" (#cd853f)
        assert nearest_name((205, 100, 40)) == "chocolate"
        records = add_names([{"color": (0, 0, 130), "percentage": 1.0}], "css")
        assert records == [{"color": (0, 0, 130), "percentage": 1.0, "name": "navy"}]
        for bad, names in [((256, 0, 0), "css"), ((0, 0), "css"), ((0, 0, 0), "pantone")]:
            with pytest.raises(ValueError):
                nearest_name(bad, names)


FORMATS = [".gpl", ".ase", ".css", ".json", ".hex", ".png", ".svg"]


def expected_palette(colors):
    """What reading an exported file gives: names (numbered when they
    repeat) or, without names, hex codes."""
    seen, palette = {}, []
    for c in colors:
        name = c.get("name", c["hex"])
        seen[name] = seen.get(name, 0) + 1
        palette.append((name if seen[name] == 1 else f"{name} {seen[name]}", tuple(c["rgb"])))
    return palette


class TestExport:
    @pytest.mark.parametrize("names", ["xkcd", "none"])
    def test_every_format_reads_back(self, photos, tmp_path, names):
        exports = [arg for suffix in FORMATS for arg in ("--export", tmp_path / f"{{stem}}{suffix}")]
        proc = run_cli("extract", photos / "a_coffee.png", photos / "b_chelsea.png", "--names", names,
                       "--colors", 6, *exports)
        assert proc.returncode == 0, proc.stderr
        for record in json_lines(proc):
            stem = tmp_path / pathlib.Path(record["file"]).stem
            colors = record["colors"]
            assert ("name" in colors[0]) == (names != "none")
            rgb = [tuple(c["rgb"]) for c in colors]
            for suffix in FORMATS:
                palette = read_palette(f"{stem}{suffix}")
                if suffix == ".css":  # the properties are named by rank
                    assert palette == [(f"color-{n}", c) for n, c in enumerate(rgb, 1)]
                elif suffix == ".hex":
                    assert palette == [(c["hex"], tuple(c["rgb"])) for c in colors]
                else:
                    assert palette == expected_palette(colors), suffix
            # and as the tools they are for read them
            with open(f"{stem}.gpl", "rb") as file:
                # (Pillow before 10.1 pads its palette and counts the header lines as grey entries)
                assert bytes(v for c in rgb for v in c) in GimpPaletteFile(file).getpalette()[0]
            assert json.loads(pathlib.Path(f"{stem}.json").read_text()) == record
            with Image.open(f"{stem}.png") as image:
                assert json.loads(image.text[PNG_KEY]) == record
                image = image.convert("RGB")
                assert [image.getpixel((16 + 75 + n * 160, 46 + 75)) for n in range(len(rgb))] == rgb
            svg = ET.parse(f"{stem}.svg").getroot()
            fills = [r.get("fill") for r in svg.iter("{http://www.w3.org/2000/svg}rect")]
            assert fills[1:] == [c["hex"] for c in colors]
            self.check_with_public_readers(stem, colors)

    def check_with_public_readers(self, stem, colors):
        swatch = pytest.importorskip("swatch")
        tinycss2 = pytest.importorskip("tinycss2")
        (group,) = swatch.parse(f"{stem}.ase")
        assert group["name"] == stem.name
        assert [(s["name"], [round(v * 255) for v in s["data"]["values"]], s["data"]["mode"])
                for s in group["swatches"]] == [(c.get("name", c["hex"]), c["rgb"], "RGB") for c in colors]
        (rule,) = [r for r in tinycss2.parse_stylesheet(pathlib.Path(f"{stem}.css").read_text(), True, True)
                   if r.type == "qualified-rule"]
        declarations = [d for d in tinycss2.parse_declaration_list(rule.content, True, True) if d.type == "declaration"]
        assert [(d.name, tinycss2.serialize(d.value).strip()) for d in declarations] == [
            (f"--color-{n}", c["hex"]) for n, c in enumerate(colors, 1)]

    def test_written_by_another_tool(self, tmp_path):
        swatch = pytest.importorskip("swatch")
        swatch.write([{"name": "Brand", "type": "Color Group", "swatches": [
            {"name": "red", "type": "Spot", "data": {"mode": "RGB", "values": [228 / 255, 0, 43 / 255]}},
            {"name": "mid", "type": "Global", "data": {"mode": "Gray", "values": [0.5]}}]},
            {"name": "ink", "type": "Process", "data": {"mode": "RGB", "values": [0, 0, 0.5]}}],
            str(tmp_path / "p.ase"))
        assert read_palette(str(tmp_path / "p.ase")) == [("red", (228, 0, 43)), ("mid", (128, 128, 128)),
                                                        ("ink", (0, 0, 128))]

    def test_bad_template_and_unwritable_file(self, photos, tmp_path):
        proc = run_cli("extract", photos / "a_coffee.png", "--export", tmp_path / "p.aco")
        assert proc.returncode == 2 and "unknown palette format '.aco' (use one of: .gpl, .ase" in proc.stderr
        (tmp_path / "p.gpl").mkdir()  # a folder where the file should go
        proc = run_cli("extract", photos / "a_coffee.png", "--export", tmp_path / "p.gpl", "--json", "--overwrite")
        assert proc.returncode == 1
        assert len(json_lines(proc)) == 1  # the colours stand
        assert f"palette {tmp_path / 'p.gpl'}: Is a directory" in proc.stderr
        assert [p.name for p in tmp_path.iterdir()] == ["p.gpl"]  # no part file left


@pytest.mark.parametrize("name, text, palette", [
    ("p.json", '["#e4002b", [0, 0, 128], {"name": "sand", "hex": "#edc9af"}]',
     [("#e4002b", (228, 0, 43)), ("#000080", (0, 0, 128)), ("sand", (237, 201, 175))]),
    ("p.hex", "e4002b\n#000080\n\n#fff\n", [("#e4002b", (228, 0, 43)), ("#000080", (0, 0, 128)),
                                             ("#ffffff", (255, 255, 255))]),
    ("p.csv", "name;colour\nred;#e4002b\nsand;237,201,175\nred;navy\n",
     [("red", (228, 0, 43)), ("sand", (237, 201, 175)), ("red 2", (0, 0, 128))]),
    ("p.css", "/* brand */ :root { --red: #e4002b; --gap: 4px; --ink: rgb(0 0 128) !important;\n"
              "--font: serif; --link: var(--ink) }", [("red", (228, 0, 43)), ("ink", (0, 0, 128))]),
    ("p.txt", "red,#e4002b\n".encode("utf-16"), [("red", (228, 0, 43))]),
    ("p.gpl", "GIMP Palette\n228 0 43\tred\x1b[2J\u202e\n", [("red\\x1b[2J\\u202e", (228, 0, 43))]),
    # numbered past the names the file gives itself; a JSON name given twice keeps both colours
    ("n.csv", "red 2,#e4002b\nred,navy\nred,#fff\n", [("red 2", (228, 0, 43)), ("red", (0, 0, 128)),
                                                      ("red 3", (255, 255, 255))]),
    ("d.json", '{"red": "#e4002b", "red": "navy"}', [("red", (228, 0, 43)), ("red 2", (0, 0, 128))]),
])
def test_other_forms(tmp_path, name, text, palette):
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    assert read_palette(str(path)) == palette


@pytest.mark.parametrize("kind, message", [
    ("fifo", "a FIFO, not a palette file"),
    ("device", "/dev/zero: a character device, not a palette file"),
    ("huge", "bytes, more than a palette file may have"),
    ("nested", "not valid JSON (nested too deep"),
    ("binary", "neither UTF-8 text nor an Adobe swatch file; palette files read: JSON, CSV"),
    ("unknown", "line 1: expected name,colour; palette files read: JSON"),
    ("cut ase", "block 2: cut short"),
    ("key twice", "item 1: the key 'hex' given twice"),
])
def test_hostile_palette_files(photos, tmp_path, kind, message):
    path = tmp_path / "p"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "device":
        path = "/dev/zero"
    elif kind == "huge":
        with open(path, "wb") as file:
            file.truncate(MAX_BYTES + 1)
    else:
        # the cut Adobe file: its header, a group's end, then a colour block of 16 bytes cut after 2
        path.write_bytes({"nested": b"[" * 100_000, "binary": bytes(range(256)) * 4, "unknown": b"just words",
                          "cut ase": b"ASEF\0\1\0\0\0\0\0\2" + b"\xc0\2\0\0\0\0" + b"\0\1\0\0\0\x10\0\1",
                         "key twice": b'[{"hex": "#e4002b", "hex": "#000080"}]'}[kind])
    proc = run_cli("match", photos / "a_coffee.png", "--targets", path, timeout=60)
    assert proc.returncode == 2 and proc.stdout == ""
    assert message in proc.stderr.splitlines()[0]
    assert "Traceback" not in proc.stderr and len(proc.stderr.splitlines()) == 2


def test_palette_reader_fuzz_short_run():
    run = subprocess.run([sys.executable, str(ROOT / "fuzz" / "palettes.py"), "--seeds", "0", "--examples", "300"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-4000:]
    assert " 0 failures" in run.stdout

"""HEIC/HEIF (and AVIF) photos, in files made by pillow-heif: decoded as
pillow-heif decodes them, upright, transparency as for PNG, sized from the
container before decoding, and one line naming the extra without it."""

import io
import os
import pathlib
import subprocess
import sys

import cv2
import numpy as np
import pytest

from test_cli import PACKAGE_PARENT, json_lines, run_cli
from velmora_huebit.photos import heif
from velmora_huebit.photos.reading import PhotoError, decode

pillow_heif = pytest.importorskip("pillow_heif")
from PIL import Image  # noqa: E402

pillow_heif.register_heif_opener()
if hasattr(pillow_heif, "register_avif_opener"):  # before 1.0: AVIF too
    pillow_heif.register_avif_opener()


def heic(pixels, **options) -> bytes:
    out = io.BytesIO()
    Image.fromarray(pixels).save(out, "HEIF", quality=90, **options)
    return out.getvalue()


def as_pillow_heif_reads(data):
    """The pixels as pillow-heif itself decodes them, blue-green-red."""
    with Image.open(io.BytesIO(data)) as image:
        pixels = np.asarray(image)
    return cv2.cvtColor(pixels, cv2.COLOR_RGBA2BGR if pixels.shape[2] == 4 else cv2.COLOR_RGB2BGR), pixels


@pytest.fixture(scope="module")
def photos(tmp_path_factory, data_dir):
    folder = tmp_path_factory.mktemp("heic")
    rgb = cv2.imread(str(data_dir / "coffee.png"))[:200, :300, ::-1].copy()
    exif = Image.Exif()
    exif[0x0112] = 6  # turned a quarter clockwise: pillow-heif stores it as the HEIF rotation
    cut_out = np.dstack([rgb, np.where(np.arange(300) < 120, 255, 0).astype(np.uint8)[None].repeat(200, 0)])
    files = {"plain.heic": heic(rgb), "turned.heic": heic(rgb, exif=exif.tobytes()), "cut_out.heif": heic(cut_out)}
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return folder, rgb, files


def test_heif_decodes_upright_with_its_alpha_plane(photos):
    _, rgb, files = photos
    plain = decode(files["plain.heic"], with_alpha=True)
    assert np.array_equal(plain.image, as_pillow_heif_reads(files["plain.heic"])[0])
    assert plain.alpha is None and plain.size == (300, 200) and np.abs(plain.image[:, :, ::-1] - rgb.astype(int)).mean() < 4
    turned = decode(files["turned.heic"], with_alpha=True)
    assert turned.size == (200, 300) and np.array_equal(turned.image, np.rot90(plain.image, -1))
    cut_out = decode(files["cut_out.heif"], with_alpha=True)
    expected, rgba = as_pillow_heif_reads(files["cut_out.heif"])
    assert np.array_equal(cut_out.image, expected) and np.array_equal(cut_out.alpha, rgba[:, :, 3])
    assert decode(files["cut_out.heif"], with_alpha=False).alpha is None

    # AVIF too, where Pillow or pillow-heif reads it (OpenCV, when it does, decodes it first)
    out = io.BytesIO()
    try:
        Image.fromarray(rgb).save(out, "AVIF", quality=90)
    except (KeyError, OSError):
        pytest.skip("no AVIF writer here")
    avif = heif.decode(out.getvalue(), with_alpha=True)
    assert heif.kind(out.getvalue()) == "AVIF" and avif.size == (300, 200)
    assert np.abs(avif.image[:, :, ::-1] - rgb.astype(int)).mean() < 6


def test_a_huge_or_damaged_heif_is_refused_before_decoding(photos):
    data = photos[2]["plain.heic"]
    at = data.index(b"ispe") + 8  # the image's width and height, after the box's version and flags
    bomb = data[:at] + (20000).to_bytes(4, "big") * 2 + data[at + 8:]
    with pytest.raises(PhotoError, match="20000x20000 pixels .400 megapixels.*over the limit"):
        decode(bomb, with_alpha=True)
    for damaged in (data[:len(data) // 2], data[:40] + bytes(len(data) - 40)):
        with pytest.raises(PhotoError, match="cannot read the image"):
            decode(damaged, with_alpha=True)


def test_damaged_heif_files_are_read_or_refused_in_words():
    fuzz = pathlib.Path(__file__).resolve().parents[1] / "fuzz" / "heif.py"  # a short run of make fuzz's
    proc = subprocess.run([sys.executable, str(fuzz), "--seeds", "0", "--examples", "300"], capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr


def test_command_line_reads_heif_as_png_with_the_same_pixels(photos, tmp_path):
    folder, _, files = photos
    _, rgba = as_pillow_heif_reads(files["cut_out.heif"])
    cv2.imwrite(str(tmp_path / "cut_out.png"), cv2.cvtColor(rgba, cv2.COLOR_RGBA2BGRA))
    proc = run_cli("extract", folder, "-n", 3, "-j", 1)
    as_png = json_lines(run_cli("extract", tmp_path / "cut_out.png", "-n", 3))
    records = {os.path.basename(r["file"]): r for r in json_lines(proc)}
    assert proc.returncode == 0 and sorted(records) == ["cut_out.heif", "plain.heic", "turned.heic"]
    assert records["cut_out.heif"]["colors"] == as_png[0]["colors"]  # the transparent part left out alike
    assert records["turned.heic"]["analysed_size"] == records["plain.heic"]["analysed_size"][::-1]

    code = ("import sys; sys.modules['pillow_heif'] = None; from velmora_huebit.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    proc = subprocess.run([sys.executable, "-c", code, "extract", str(folder / "plain.heic")], capture_output=True,
                          text=True, cwd=PACKAGE_PARENT, env={**os.environ, "PYTHONPATH": str(PACKAGE_PARENT)})
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert "plain.heic: a HEIC/HEIF photo: reading it needs pillow-heif: pip install 'velmora_huebit[heif]'" in proc.stderr

"""How the command line reads photos and masks: sizes from the header before
anything is decoded, the pixel limit, reduced JPEG decodes, truncated JPEGs,
and colour with alpha from one decode, always as cv2.imread gives them."""

import io
import json
import os
import pathlib
import resource
import struct
import subprocess
import sys
import zlib

import cv2
import numpy as np
import pytest

import velmora_huebit
from velmora_huebit import ColorExtractor
from velmora_huebit.photos.reading import decode, read_photo
from velmora_huebit.photos.sizing import TooLarge

PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_cli(*args, memory=None):
    """The command, with its address space limited: a bomb that got through
    fails on the limit instead of taking the machine's memory."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        memory = None  # the sanitizer reserves terabytes of address space; it has its own RSS limit
    limit = (lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))) if memory else None
    return subprocess.run([sys.executable, "-m", "velmora_huebit", *map(str, args)], cwd=PACKAGE_PARENT,
                          capture_output=True, text=True, timeout=300, preexec_fn=limit,
                          env=dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT)))


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def _segment(marker, data):
    return struct.pack(">BBH", 0xFF, marker, len(data) + 2) + data


def jpeg(width, height, progressive=False, scan=b""):
    """A grey JPEG with one-symbol Huffman tables: every block two zero bits."""
    one_code = bytes([1] + [0] * 15) + b"\0"
    return (b"\xff\xd8" + _segment(0xDB, bytes(1) + bytes([1] * 64))
            + _segment(0xC2 if progressive else 0xC0, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\0")
            + _segment(0xC4, b"\0" + one_code) + _segment(0xC4, b"\x10" + one_code)
            + _segment(0xDA, b"\x01\x01\0\0" + (b"\0\0" if progressive else b"\x3f\0")) + scan + b"\xff\xd9")


BOMBS = {  # headers that claim far more pixels than the files hold
    "a.png": b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", struct.pack(">IIBBBBB", 30000, 30000, 8, 6, 0, 0, 0))
             + _chunk(b"IDAT", zlib.compress(bytes(1000))) + _chunk(b"IEND", b""),
    "b.jpg": jpeg(30000, 30000, progressive=True, scan=bytes(1000)),  # every coefficient kept
    "c.webp": b"RIFF\x1a\0\0\0WEBPVP8L\x0d\0\0\0\x2f" + (16382 | 16382 << 14).to_bytes(4, "little") + bytes(9),
    "d.tif": b"II*\0\x08\0\0\0\x02\0" + struct.pack("<HHII", 256, 4, 1, 30000) + struct.pack("<HHII", 257, 4, 1, 30000)
             + bytes(4),
    "e.ppm": b"P6\n30000 30000\n255\n" + bytes(1000),
}


def test_bombs_are_refused_from_their_header(tmp_path):
    for name, data in BOMBS.items():
        (tmp_path / name).write_bytes(data)
    proc = run_cli("extract", tmp_path, "-j", 1, memory=2 << 30)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    errors = [line for line in proc.stderr.splitlines() if ": error: " in line]
    assert [line.split(": ")[2].rsplit("/", 1)[1] for line in errors] == sorted(BOMBS)
    for line in errors:
        assert "megapixels" in line and line.endswith(
            "over the limit of 50 megapixels, not decoded (--max-pixels N raises the limit, 0 lifts it)")
    assert "decoding this WebP image takes about" in errors[2]  # counted at its cost
    assert proc.stderr.splitlines()[-1] == "velmora-huebit: 5 of 5 photos failed, 0 with warnings"


def test_mask_bomb_is_refused_before_decoding(tmp_path, coffee_path):
    (tmp_path / "mask.png").write_bytes(BOMBS["a.png"])
    proc = run_cli("extract", coffee_path, "--mask", tmp_path / "mask.png", memory=2 << 30)
    assert proc.returncode == 2 and proc.stderr.startswith(
        f"velmora-huebit extract: error: --mask {tmp_path / 'mask.png'}: 30000x30000 pixels (900 megapixels)")


def test_large_jpeg_is_decoded_reduced(tmp_path):
    # 196 megapixels: more than Pillow opens; read at 1/8 it is 3 megapixels
    path = tmp_path / "big.jpg"
    path.write_bytes(jpeg(14000, 14000, scan=bytes(14000 * 14000 // 256)))
    photo = read_photo(path, False, 256)
    assert photo.image.shape == (1750, 1750, 3) and photo.size == (14000, 14000) and not photo.notes
    assert np.array_equal(photo.image, cv2.imread(str(path), cv2.IMREAD_REDUCED_COLOR_8))
    assert read_photo(path, False, 256, shrink=True).image.shape == (256, 256, 3)
    with pytest.raises(TooLarge, match="14000x14000 pixels"):  # at full size it counts in full
        read_photo(path, False, 0)


def test_truncated_jpeg_is_flagged_and_its_grey_fill_left_out(tmp_path, coffee):
    path = tmp_path / "cut.jpg"
    data = cv2.imencode(".jpg", coffee)[1].tobytes()
    path.write_bytes(data[: len(data) * 6 // 10])
    image = cv2.imread(str(path))
    fill = np.all(image == 128, axis=2)
    decoded = 1 - fill.mean()
    assert 0.3 < decoded < 0.9  # the decoder's grey covers the rest
    proc = run_cli("extract", path, "--max-side", 0, "--engine", "library", "--strict")
    assert proc.returncode == 1, proc.stderr  # --strict: a warning fails the run
    warning = (f"the JPEG file is truncated (cut off before its end): only the decoded part "
               f"({100 * decoded:.1f}% of the picture) is analysed")
    assert proc.stderr.splitlines() == [f"velmora-huebit: warning: {path}: {warning}",
                                        "velmora-huebit: 0 of 1 photo failed, 1 with warnings"]
    record = json.loads(proc.stdout)
    assert record["status"] == "warning" and record["warnings"] == [warning]
    # the module on the decoded pixels alone
    module = ColorExtractor(preprocessing=False).extract_colors(image, np.where(fill, 0, 255).astype(np.uint8))
    assert [c["rgb"] for c in record["colors"]] == [list(r["color"]) for r in module]
    assert all(c["hex"] != "#808080" for c in record["colors"])
    # bytes decode as the file does, shrunk or not
    for side in (0, 64):
        a, b = decode(path.read_bytes(), False, side, shrink=True), read_photo(path, False, side, shrink=True)
        assert np.array_equal(a.image, b.image) and np.array_equal(a.alpha, b.alpha) and a.notes == b.notes
    assert np.array_equal(decode(path.read_bytes(), False).alpha == 0, fill)


def test_colour_and_alpha_from_one_decode_are_what_imread_gives(tmp_path):
    from PIL import Image

    rng = np.random.default_rng(0)
    rgba = rng.integers(0, 256, (60, 90, 4), np.uint8)
    rgba[:20, :, 3] = 0
    pil = Image.fromarray(rgba[:, :, [2, 1, 0, 3]], "RGBA")
    turned = Image.Exif()
    turned[0x0112] = 6  # the colour is turned by imread, the alpha plane with it
    files = {"rgba.png": cv2.imencode(".png", rgba)[1], "rgba16.png": cv2.imencode(".png", rgba.astype(np.uint16) * 257)[1],
             "lossless.webp": cv2.imencode(".webp", rgba, [cv2.IMWRITE_WEBP_QUALITY, 101])[1],
             "rgba.tif": cv2.imencode(".tif", rgba)[1], "rgba.bmp": cv2.imencode(".bmp", rgba)[1]}
    for name, image, options in [("palette.png", pil.convert("P"), {"transparency": 0}), ("turned.png", pil, {"exif": turned})]:
        out = io.BytesIO()
        image.save(out, "PNG", **options)
        files[name] = out.getvalue()
    for name, data in files.items():
        path = tmp_path / name
        path.write_bytes(bytes(data))
        colour, raw = cv2.imread(str(path)), cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
        photo = read_photo(path, True)
        assert np.array_equal(photo.image, colour), name
        if raw.ndim < 3 or raw.shape[2] < 4:  # this OpenCV reads no alpha there
            assert photo.alpha is None, name
            continue
        alpha = raw[:, :, 3] if raw.dtype == np.uint8 else (raw[:, :, 3] >> 8).astype(np.uint8)
        alpha = np.rot90(alpha, -1) if name == "turned.png" else alpha
        assert np.array_equal(photo.alpha, alpha), name
        small = read_photo(path, True, 40, shrink=True)  # shrunk together, as each on its own
        size = (40, 27) if colour.shape[1] > colour.shape[0] else (27, 40)
        assert np.array_equal(small.image, cv2.resize(colour, size, interpolation=cv2.INTER_AREA)), name
        assert np.array_equal(small.alpha, cv2.resize(alpha, size, interpolation=cv2.INTER_AREA)), name


def test_damaged_files_end_in_one_clear_error():
    run = subprocess.run([sys.executable, str(ROOT / "fuzz" / "reading.py"), "--seed", "0", "--files", "400"],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0 and run.stdout.rstrip().endswith(": 0 failures"), run.stdout[-3000:]


def _tiff(*entries):
    """A little-endian TIFF of these (tag, type, value) entries, in this order."""
    codes = {3: "<H", 4: "<I", 8: "<h", 9: "<i"}
    ifd = b"".join(struct.pack("<HHI", tag, kind, 1) + struct.pack(codes[kind], value).ljust(4, b"\0")
                   for tag, kind, value in entries)
    return b"II*\0\x08\0\0\0" + struct.pack("<H", len(entries)) + ifd + bytes(4)


def _box(name, body, full=False):
    body = (bytes(4) if full else b"") + body
    return struct.pack(">I", 8 + len(body)) + name + body


def _container(brand, *properties):
    """An ISO media file (HEIF, AVIF) of a brand and image properties, without any image data."""
    return (_box(b"ftyp", brand + bytes(4) + b"mif1" + brand)
            + _box(b"meta", _box(b"iprp", _box(b"ipco", b"".join(properties))), full=True))


def test_crafted_headers_are_read_as_the_decoder_reads_them(tmp_path):
    from velmora_huebit.photos.headers import Source, Truncated, read_header
    from velmora_huebit.photos.sizing import PhotoError

    size = _box(b"ispe", struct.pack(">II", 30000, 30000), full=True)
    alpha = _box(b"auxC", b"urn:mpeg:mpegB:cicp:systems:auxiliary:alpha\0", full=True)
    text = b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", struct.pack(">IIBBBBB", 16, 16, 8, 2, 0, 0, 0))
    cases = {
        # a tag given twice: libtiff takes the first entry, of a signed type too
        "slong.tif": (_tiff((256, 9, 12000), (256, 3, 256), (257, 9, 12000), (257, 3, 256)), "12000x12000 pixels"),
        "sshort.tif": (_tiff((256, 8, 12000), (257, 8, 12000), (256, 3, 256), (257, 3, 256)), "12000x12000 pixels"),
        # a chunk the decoder holds whole before the image
        "chunk.png": (text + _chunk(b"tEXt", b"k\0" + bytes(4 << 20)) + _chunk(b"IEND", b""),
                      "decoding this PNG image takes about 8 MB"),
        # sized from their boxes, before anything reads them whole
        "box.heic": (_container(b"heic", size), "30000x30000 pixels"),
        "box.avif": (_container(b"avif", alpha, size), "30000x30000 pixels"),
    }
    for name, (data, message) in cases.items():
        (tmp_path / name).write_bytes(data)
        with pytest.raises(PhotoError, match=message):
            read_photo(tmp_path / name, True, max_pixels=1_000_000)
    with open(tmp_path / "sparse.heic", "wb") as file:  # a file too large to hold, never read
        file.write(_container(b"heic"))
        file.truncate(3 << 20)
    with pytest.raises(TooLarge, match="a HEIF file of 3 MB, read whole to be decoded: over the 2 MB"):
        read_photo(tmp_path / "sparse.heic", False, max_pixels=1_000_000)
    # a chunk that claims more than the file holds is damage, whatever the decoder would make of it
    with pytest.raises(Truncated):
        read_header(Source(data=text + struct.pack(">I", 0x7FFFFFFF) + b"tEXt" + bytes(100)))


GREEDY = '''
import numpy as np
from velmora_huebit.photos import reading, sizing

real_read, real_header = reading.read_local, sizing.read_header


def greedy(path, *args, **kwargs):  # a decoder that takes far more than the header says
    if "greedy" in str(path):
        np.ones(1 << 31, np.uint8)
    return real_read(path, *args, **kwargs)


def fooled(source):  # a header reader that sees a small image in every file
    header = real_header(source)
    header.width = header.height = 256
    header.fixed = 0
    return header


reading.read_local, sizing.read_header = greedy, fooled
'''


def test_what_gets_past_the_header_check_fails_alone_in_one_line(tmp_path, coffee_path):
    """The decoder's own pixel limit and the worker's memory ceiling, under
    a header check and a decoder both made to fail (by sitecustomize)."""
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text(GREEDY)
    (tmp_path / "photos").mkdir()
    (tmp_path / "photos" / "huge.tif").write_bytes(
        _tiff((256, 4, 12000), (257, 4, 12000), (258, 3, 8), (262, 3, 1), (273, 4, 8), (278, 4, 12000), (279, 4, 10)))
    for name in ("greedy.png", "fine.png"):
        (tmp_path / "photos" / name).write_bytes(pathlib.Path(coffee_path).read_bytes())
    proc = subprocess.run([sys.executable, "-m", "velmora_huebit", "extract", tmp_path / "photos", "-j", "2", "--json"],
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=f"{tmp_path / 'site'}{os.pathsep}{PACKAGE_PARENT}"))
    assert proc.returncode == 1 and [json.loads(line)["file"] for line in proc.stdout.splitlines()] == [
        str(tmp_path / "photos" / "fine.png")]
    greedy, huge, summary = proc.stderr.splitlines()
    assert greedy.startswith(f"velmora-huebit: error: {tmp_path / 'photos' / 'greedy.png'}: out of memory: more than")
    assert greedy.endswith("MB a worker may take with this --max-pixels (try --max-side)")
    assert huge == f"velmora-huebit: error: {tmp_path / 'photos' / 'huge.tif'}: cannot read the image (not an image " \
                   "file, or a damaged one)"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's malloc")
def test_a_process_that_keeps_its_heap_does_not_fault_it_in_again():
    """Arrays of a photo's size, made and freed in turn, take no fresh pages
    once the process keeps its freed heap (without: hundreds each time)."""
    script = """
import resource, numpy as np
from velmora_huebit.photos.limits import keep_heap
def faults():
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(20):
        a = np.ones(1 << 20, np.uint8); b = np.ones(3 << 20, np.uint8); del a, b
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
plain = faults()
keep_heap(); faults()
print(plain, faults())
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT)))
    plain, kept = map(int, proc.stdout.split())
    assert plain > 1000 and kept < 20

"""Peak memory of `velmora-huebit extract` at the default settings on
decompression bombs of every format the command reads, and on the largest
images of each kind that the default --max-pixels still lets through.

Each case is one run of the command on one file, in a process of its own
under an address-space limit (so that a bomb that gets through cannot take
the machine's memory); its peak resident memory comes from the kernel
(ru_maxrss of the finished child, which covers its worker processes). The bombs are small on disk: compressed
data that expands to the size their header claims, or a header alone where
the format cannot be made small by hand ("claim"). The goal: every run
under 400 MB, each bomb refused in one line."""

import io
import os
import pathlib
import resource
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import velmora_huebit

PACKAGE_PARENT = pathlib.Path(velmora_huebit.__file__).resolve().parents[1]
LIMIT = 3 << 30  # address space of each run
GOAL_MB = 400


# --- files ------------------------------------------------------------------

def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width: int, height: int, colour: int = 2, depth: int = 8) -> bytes:
    """A valid PNG of black (transparent) pixels."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    return b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0)) + (
        _chunk(b"PLTE", bytes(3)) if colour == 3 else b"") + _chunk(
        b"IDAT", zeros(height * (1 + (width * channels * depth + 7) // 8))) + _chunk(b"IEND", b"")


def zeros(count: int) -> bytes:
    """A zlib stream of count zero bytes, made in no time: once the window
    holds zeros, the deflate blocks for the next MiB of zeros can repeat."""
    block = 1 << 20
    packer = zlib.compressobj(9)
    first = packer.compress(bytes(min(count, block))) + packer.flush(zlib.Z_FULL_FLUSH)
    if count <= block:
        return first + packer.flush()
    again = packer.compress(bytes(block)) + packer.flush(zlib.Z_FULL_FLUSH)
    whole, rest = divmod(count - block, block)
    last = packer.compress(bytes(rest)) + packer.flush()
    # the checksum of count zeros: Adler-32's sums are 1 and count
    last = last[:-4] + struct.pack(">HH", count % 65521, 1)
    return first + again * whole + last


# the usual luminance tables of JPEG encoders: DC difference 0 is "00", end of block "1010"
_DC = bytes([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0]) + bytes(range(12))
_AC = bytes([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D]) + bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a25262728292a"
    "3435363738393a434445464748494a535455565758595a636465666768696a737475767778797a838485868788898a9293949596"
    "9798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2"
    "f3f4f5f6f7f8f9fa")


def _segment(marker: int, data: bytes) -> bytes:
    return struct.pack(">BBH", 0xFF, marker, len(data) + 2) + data


def jpeg(width: int, height: int, progressive: bool = False) -> bytes:
    """A valid grey JPEG, every 8x8 block flat: 6 bits a block in one
    sequential scan, or 2 bits in the one DC scan of a progressive JPEG
    (the decoder keeps every coefficient of those until the end)."""
    blocks = -(-width // 8) * -(-height // 8)
    if progressive:
        data = bytes(-(-blocks // 4))  # "00" per block
        tables = _segment(0xC4, b"\x00" + _DC)
        scan = _segment(0xDA, b"\x01\x01\x00\x00\x00\x00")
    else:
        data = b"\x28\xa2\x8a" * (blocks // 4) + {0: b"", 1: b"\x2b", 2: b"\x28\xaf", 3: b"\x28\xa2\xbf"}[blocks % 4]
        tables = _segment(0xC4, b"\x00" + _DC) + _segment(0xC4, b"\x10" + _AC)
        scan = _segment(0xDA, b"\x01\x01\x00\x00\x3f\x00")
    frame = _segment(0xC2 if progressive else 0xC0, struct.pack(">BHHB", 8, height, width, 1) + b"\x01\x11\x00")
    return (b"\xff\xd8" + _segment(0xDB, b"\x00" + bytes([1] * 64)) + frame + tables + scan
            + data + b"\xff\xd9")


def webp(width: int, height: int) -> bytes:
    """A valid lossless WebP of one colour: every prefix code has one
    symbol, so the pixels take no bits at all."""
    bits, count = 0, 0

    def put(value, size):
        nonlocal bits, count
        bits |= value << count
        count += size

    put(width - 1, 14), put(height - 1, 14), put(0, 1), put(0, 3)
    put(0, 1), put(0, 1), put(0, 1)  # no transform, no colour cache, no meta codes
    for symbol in (0, 0, 0, 255, 0):  # green, red, blue, alpha, distance
        put(1, 1), put(0, 1)  # a simple code of one symbol
        put(1, 1), put(symbol, 8)
    payload = b"\x2f" + bits.to_bytes(-(-count // 8), "little")
    chunk = b"VP8L" + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) & 1)
    return b"RIFF" + struct.pack("<I", 4 + len(chunk)) + b"WEBP" + chunk


def tiff(width: int, height: int) -> bytes:
    """A valid deflate-compressed RGB TIFF whose strips all point at one
    compressed strip of black rows."""
    rows = 16
    strip = zlib.compress(bytes(width * 3 * rows), 9)
    strips = -(-height // rows)
    offsets_at = 8 + 2 + 12 * 10 + 4
    counts_at = offsets_at + 4 * strips
    bits_at = counts_at + 4 * strips
    data_at = bits_at + 6
    entries = [(256, 4, 1, width), (257, 4, 1, height), (258, 3, 3, bits_at), (259, 3, 1, 8),
               (262, 3, 1, 2), (273, 4, strips, offsets_at), (277, 3, 1, 3), (278, 4, 1, rows),
               (279, 4, strips, counts_at), (284, 3, 1, 1)]
    ifd = struct.pack("<H", len(entries)) + b"".join(
        struct.pack("<HHII", tag, kind, n, value) if kind == 4 or n > 2 else struct.pack("<HHIHH", tag, kind, n, value, 0)
        for tag, kind, n, value in entries) + struct.pack("<I", 0)
    return (b"II*\0" + struct.pack("<I", 8) + ifd + struct.pack(f"<{strips}I", *[data_at] * strips)
            + struct.pack(f"<{strips}I", *[len(strip)] * strips) + struct.pack("<3H", 8, 8, 8) + strip)


def bmp(width: int, height: int) -> bytes:
    """A valid 8-bit RLE BMP that ends its pixels at once (the rest is the
    first palette colour)."""
    palette = bytes(4 * 256)
    pixels = b"\x00\x01"  # end of bitmap
    offset = 14 + 40 + len(palette)
    return (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 1, len(pixels), 2835, 2835, 256, 0)
            + palette + pixels)


def gif(width: int, height: int) -> bytes:
    """A GIF whose first frame covers the screen (claim: its LZW data ends at once)."""
    return (b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80, 0, 0) + bytes(6)
            + b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0) + b"\x02\x02\x4c\x01\x00\x3b")


def claims() -> dict:
    """Headers of the remaining formats, claiming 30000 x 30000 pixels."""
    side = 30000
    siz = struct.pack(">HHIIIIIIIIH", 47, 0, side, side, 0, 0, side, side, 0, 0, 3) + b"\x07\x01\x01" * 3
    return {
        "PPM (claim)": f"P6\n{side} {side}\n255\n".encode() + bytes(1000),
        "PBM (claim)": f"P4\n{side} {side}\n".encode() + bytes(1000),
        "PAM (claim)": f"P7\nWIDTH {side}\nHEIGHT {side}\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n".encode()
                       + bytes(1000),
        "PFM (claim)": f"PF\n{side} {side}\n-1.0\n".encode() + bytes(1000),
        "Sun raster (claim)": b"\x59\xa6\x6a\x95" + struct.pack(">7I", side, side, 24, 0, 1, 0, 0) + bytes(1000),
        "HDR (claim)": f"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y {side} +X {side}\n".encode() + bytes(1000),
        "JPEG 2000 (claim)": b"\xff\x4f\xff\x51" + siz + b"\xff\xd9",
    }


def avif(width: int, height: int) -> bytes | None:
    """An AVIF whose size property claims width x height (Pillow encodes a
    small one; None without Pillow's AVIF support)."""
    from PIL import Image, features

    if not features.check("avif"):
        return None
    out = io.BytesIO()
    Image.new("RGB", (64, 64)).save(out, "AVIF")
    data = out.getvalue()
    at = data.find(b"ispe")
    return data[:at + 8] + struct.pack(">II", width, height) + data[at + 16:]


def cases() -> list:
    """(label, file name, bytes, extra options)."""
    found = [
        ("JPEG 30016x30000 (the issue's)", "a.jpg", jpeg(30016, 30000), ()),
        ("JPEG 65000x65000", "b.jpg", jpeg(65000, 65000), ()),
        ("JPEG progressive 30000x30000", "c.jpg", jpeg(30000, 30000, progressive=True), ()),
        ("JPEG truncated 30000x30000", "d.jpg", jpeg(30000, 30000)[:200_000], ()),
        ("PNG RGB 30000x30000 (the issue's)", "a.png", png(30000, 30000), ()),
        ("PNG RGBA 16-bit 20000x20000", "b.png", png(20000, 20000, 6, 16), ()),
        ("PNG palette 30000x30000", "c.png", png(30000, 30000, 3), ()),
        ("PNG as --mask 30000x30000", "mask.png", png(30000, 30000, 0), ("--mask",)),
        ("WebP lossless 16383x16383", "a.webp", webp(16383, 16383), ()),
        ("TIFF deflate 30000x30000", "a.tif", tiff(30000, 30000), ()),
        ("BMP RLE 30000x30000", "a.bmp", bmp(30000, 30000), ()),
        ("GIF 30000x30000 (claim)", "a.gif", gif(30000, 30000), ()),
    ]
    found += [(label, f"claim{i}", data, ()) for i, (label, data) in enumerate(claims().items())]
    bomb = avif(16384, 16384)
    if bomb is not None:
        found.append(("AVIF 16384x16384 (claim)", "a.avif", bomb, ()))
    # the largest of each kind that the default limit (50 megapixels of
    # plain colour) lets through: these are decoded
    found += [
        ("JPEG 30016x30000 read at 1/8", "ok.jpg", jpeg(30016, 30000), ()),
        ("JPEG progressive 8500x8500", "okp.jpg", jpeg(8500, 8500, progressive=True), ()),
        ("PNG RGB 7000x7000", "ok.png", png(7000, 7000), ()),
        ("PNG RGBA 6000x6000", "oka.png", png(6000, 6000, 6), ()),
        ("PNG RGBA 16-bit 3800x3800", "oka16.png", png(3800, 3800, 6, 16), ()),
        ("WebP lossless 4000x4000", "ok.webp", webp(4000, 4000), ()),
        ("TIFF deflate 7000x7000", "ok.tif", tiff(7000, 7000), ()),
        ("BMP RLE 7000x7000", "ok.bmp", bmp(7000, 7000), ()),
        ("PNG as --mask 7000x7000", "okmask.png", png(7000, 7000, 0), ("--mask",)),
        ("two PNG 7000x7000, each its own --mask", "okpair.png", png(7000, 7000), ("--mask", "itself")),
    ]
    return found


# --- the truncation check ---------------------------------------------------

def camera_jpegs(folder: pathlib.Path) -> list:
    """16 JPEGs: the bench and sample photos, flipped and cropped variants,
    and four camera-size ones (12 to 24 megapixels, with sensor-like noise)."""
    import cv2
    import numpy as np

    here = pathlib.Path(__file__).resolve().parent
    sources = [cv2.imread(str(path)) for path in sorted((here / "photos").glob("*.*g"))]
    sources += [cv2.imread(str(here.parent / "tests" / "data" / name)) for name in ("coffee.png", "chelsea.png")]
    images = sources + [cv2.flip(image[: image.shape[0] * 2 // 3], 1) for image in sources]
    images = images[:12]
    noise = np.random.default_rng(0)
    for width, height in ((4240, 2832), (4896, 3264), (5472, 3648), (6000, 4000)):
        big = cv2.resize(sources[len(images) % len(sources)], (width, height), interpolation=cv2.INTER_CUBIC)
        big = cv2.add(big, noise.integers(0, 12, big.shape, np.uint8))
        images.append(big)
    paths = []
    for i, image in enumerate(images):
        path = folder / f"photo{i:02d}.jpg"
        cv2.imwrite(str(path), image, [cv2.IMWRITE_JPEG_QUALITY, 92])
        paths.append(path)
    return paths


def _draft_decode(path) -> bool:
    """The former check: decoded at an eighth by Pillow, which reads all of it."""
    from PIL import Image

    with Image.open(path) as image:
        image.draft("RGB", (1, 1))
        try:
            image.load()
        except OSError as exc:
            return "truncated" in str(exc)
    return False


def _scan(path) -> bool:
    """The check now: the header, then one pass over the data for the end marker."""
    from velmora_huebit.photos.headers import Source, jpeg_scans, read_header

    fd = os.open(path, os.O_RDONLY)
    try:
        source = Source(fd=fd)
        return jpeg_scans(source, read_header(source))[0]
    finally:
        os.close(fd)


def time_truncation_check(folder: pathlib.Path, rounds: int = 5) -> None:
    paths = camera_jpegs(folder)
    totals = {"draft decode at 1/8 (before)": [], "header and marker scan (now)": []}
    for _ in range(rounds):  # interleaved, so that both see the same load
        for label, check in zip(totals, (_draft_decode, _scan)):
            start = time.perf_counter()
            found = [check(path) for path in paths]
            totals[label].append(time.perf_counter() - start)
            assert not any(found)
    print(f"\nfinding a truncated JPEG, {len(paths)} photos (4 of 12-24 MP), best of {rounds} interleaved rounds:")
    for label, times in totals.items():
        print(f"  {label:32} {min(times) * 1000:7.1f} ms  ({min(times) / len(paths) * 1000:.2f} ms a photo)")


# --- runs -------------------------------------------------------------------

def _limit():
    resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))


def run(path: pathlib.Path, options, photo: pathlib.Path) -> tuple:
    """(peak MB, exit status, first line of standard error, seconds)."""
    if options == ("--mask",):
        args = [str(photo), "--mask", str(path)]
    elif options == ("--mask", "itself"):  # two photos: analysed by two worker processes
        twin = path.with_name("twin" + path.name)
        twin.write_bytes(path.read_bytes())
        args = [str(path), str(twin), "--mask", str(path)]
    else:
        args = [str(path), *options]
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "velmora_huebit", "extract", "--json", *args],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env,
                             cwd=PACKAGE_PARENT, preexec_fn=_limit)
    errors = child.stderr.read().decode(errors="replace")
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    child.stderr.close()
    line = errors.strip().splitlines()[0] if errors.strip() else ""
    return usage.ru_maxrss * 1024 / 1e6, child.returncode, line, seconds


def main():
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        photo = folder / "photo.png"  # for the mask cases: a photo of the mask's size is not needed
        photo.write_bytes(png(64, 64))
        print(f"peak resident memory of `velmora-huebit extract FILE` at the default settings "
              f"(address space limited to {LIMIT >> 30} GB); goal: under {GOAL_MB} MB")
        print(f"{'case':40} {'on disk':>9} {'peak':>8} {'time':>6}  exit  first line of standard error")
        for label, name, data, options in cases():
            path = folder / name
            path.write_bytes(data)
            peak, code, line, seconds = run(path, options, photo)
            size = f"{len(data) / 2**20:.1f} MB" if len(data) >= 2**20 else f"{len(data) / 1024:.1f} kB"
            shown = line.split(": ", 2)[-1] if line else "(analysed)"
            print(f"{label:40} {size:>9} {peak:6.0f} MB {seconds:5.1f}s {code:5}  {shown[:150]}", flush=True)
            if peak > GOAL_MB:
                status = 1
            path.unlink()
        time_truncation_check(folder)
    return status


if __name__ == "__main__":
    sys.exit(main())

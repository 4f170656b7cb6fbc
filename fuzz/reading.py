"""Damaged and hostile image files for the command line's reader.

    python fuzz/reading.py [--seed 0] [--files 2000]

(`make fuzz` runs it on 20,000 files; tests/test_reading.py a short run.)

Takes a small valid file of every format the reader knows (with and without
transparency, EXIF turns, progressive and 16-bit variants), damages copies
of it (bytes flipped, cut short, runs repeated or dropped, header fields set
to extremes) and reads each with read_photo, read_mask, decode (also as a
JPEG's coefficients, picked=) and _jpeg.sample, in a
child process under an address-space limit. A fine outcome is an image or a
PhotoError; anything else (another exception, a crash, a hang, a read over
the limit) is a failure, printed with the seed that makes the file again.
Exits 0 when nothing failed.
"""

import argparse
import io
import os
import pathlib
import random
import resource
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
HANG_SECONDS = 60
LIMIT = 2 << 30


def samples() -> dict:
    """Small valid files of every kind, by name."""
    import cv2
    import numpy as np
    from PIL import Image, features

    rng = np.random.default_rng(0)
    image = cv2.resize(rng.integers(0, 256, (6, 8, 3), np.uint8), (96, 72), interpolation=cv2.INTER_LINEAR)
    alpha = np.full(image.shape[:2], 255, np.uint8)
    alpha[:20] = 0
    rgba = np.dstack([image, alpha])
    found = {}
    for ext, data, params in [(".jpg", image, []), (".jpg", image, [cv2.IMWRITE_JPEG_PROGRESSIVE, 1]),
                              (".jpg", image, [cv2.IMWRITE_JPEG_RST_INTERVAL, 2]),
                              (".png", rgba, []), (".png", rgba.astype(np.uint16) * 257, []),
                              (".png", image, []), (".webp", rgba, [cv2.IMWRITE_WEBP_QUALITY, 101]),
                              (".webp", image, []), (".tif", rgba, []), (".tif", image, []),
                              (".bmp", rgba, []), (".bmp", image, []), (".ppm", image, []),
                              (".pgm", image[:, :, 0], []), (".pbm", image[:, :, 0], []),
                              (".pfm", image.astype(np.float32) / 255, []), (".ras", image, []),
                              (".hdr", image.astype(np.float32) / 255, []), (".jp2", rgba, []),
                              (".gif", image, []), (".avif", rgba, [])]:
        try:
            ok, encoded = cv2.imencode(ext, data, params)
        except cv2.error:
            continue
        if ok:
            found[f"{len(found):02d}{ext}"] = encoded.tobytes()
    pil = Image.fromarray(rgba[:, :, [2, 1, 0, 3]], "RGBA")
    exif = Image.Exif()
    exif[0x0112] = 6
    for fmt, mode, options in [("PNG", "RGBA", {"exif": exif}), ("JPEG", "RGB", {"exif": exif}),
                               ("JPEG", "RGB", {"subsampling": 1}), ("JPEG", "RGB", {"subsampling": 0}),
                               ("JPEG", "L", {}), ("JPEG", "CMYK", {}),
                               ("WEBP", "RGBA", {"exif": exif}), ("TIFF", "RGBA", {"exif": exif}),
                               ("GIF", "P", {"transparency": 0}), ("PNG", "P", {"transparency": 0}),
                               ("PNG", "LA", {}), ("JPEG2000", "RGBA", {}), ("AVIF", "RGBA", {})]:
        if fmt == "AVIF" and not features.check("avif"):
            continue
        out = io.BytesIO()
        pil.convert(mode).save(out, fmt, **options)
        found[f"{len(found):02d}.pil.{fmt.lower()}"] = out.getvalue()
    frames = [pil, pil.transpose(Image.Transpose.FLIP_LEFT_RIGHT)]
    for fmt in ("PNG", "WEBP", "GIF"):
        out = io.BytesIO()
        frames[0].save(out, fmt, save_all=True, append_images=frames[1:])
        found[f"{len(found):02d}.anim.{fmt.lower()}"] = out.getvalue()
    return found


def damage(data: bytes, rng: random.Random) -> bytes:
    """One to four kinds of damage, most of them near the header."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        kind = rng.randrange(7)
        where = min(int(rng.expovariate(1 / 64)), len(data) - 1) if rng.random() < 0.8 else rng.randrange(len(data))
        if kind == 0:  # bytes flipped
            for _ in range(rng.randint(1, 8)):
                data[min(where + rng.randrange(16), len(data) - 1)] = rng.randrange(256)
        elif kind == 1:  # an extreme number written over a field
            size = rng.choice((1, 2, 4))
            value = rng.choice((0, 1, 2**(8 * size) - 1, 2**(8 * size - 1), rng.randrange(2**(8 * size))))
            data[where:where + size] = value.to_bytes(size, rng.choice(("big", "little")))
        elif kind == 2:  # cut short
            del data[rng.randint(1, len(data)):]
        elif kind == 3:  # a run repeated
            run = data[where:where + rng.randint(1, 64)]
            data[where:where] = run * rng.randint(1, 2000)
        elif kind == 4:  # a run dropped
            del data[where:where + rng.randint(1, 64)]
        elif kind == 5:  # another format's signature on this body
            data[:4] = rng.choice((b"\xff\xd8\xff\xe0", b"\x89PNG", b"RIFF", b"II*\0", b"BM\0\0", b"GIF8",
                                   b"P6 1", b"#?RA", b"\xff\x4f\xff\x51", b"\0\0\0\x0c"))
        else:  # junk appended
            data += bytes(rng.randrange(256) for _ in range(rng.randint(1, 512)))
        if not data:
            data = bytearray(b"\0")
    return bytes(data)


_NOT_SAMPLED = object()  # _jpeg.sample's None: a file it leaves to the decoder


def _sampled_soundly(result) -> bool:
    """Two bytearrays of blue-green-red whose shapes say their sizes."""
    try:
        return all(isinstance(data, bytearray) and len(data) == h * w * 3 and channels == 3 and h > 0 < w
                   for data, (h, w, channels) in result)
    except (TypeError, ValueError):
        return False


def child(folder: str) -> None:
    """Reads every file in folder; prints one line per failure."""
    import warnings

    import numpy as np

    from velmora_huebit.photos import _jpeg
    from velmora_huebit.photos.headers import HeaderError, Source, read_header
    from velmora_huebit.photos.reading import PhotoError, decode, read_mask, read_photo
    from velmora_huebit.runs.work import quiet_opencv

    quiet_opencv()  # as the command line: what is left on standard error is noise

    warnings.simplefilter("ignore")
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer reserves terabytes of address space
        resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))
    read = refused = 0
    for path in sorted(pathlib.Path(folder).iterdir()):
        data = path.read_bytes()
        calls = [("read_photo", lambda: read_photo(path, True, 256, shrink=True, quiet=True)),
                 ("read_photo full", lambda: read_photo(path, True, 0, quiet=True)),
                 ("read_mask", lambda: read_mask(path, grey=True, quiet=True)),
                 ("decode", lambda: decode(data, True, 64, quiet=True)),
                 # a JPEG read from its coefficients (at 1/8, with full-size pixels)
                 ("decode picked", lambda: decode(data, True, 960, quiet=True, picked=(8, 4096))),
                 ("decode picked 1/4", lambda: decode(data, True, 960, quiet=True, picked=(20, 4096))),
                 ("jpeg sample", lambda: _jpeg.sample(data, 4096, 1 << 24) or _NOT_SAMPLED),
                 ("jpeg sample 1/4", lambda: _jpeg.sample(data, 4096, 1 << 24, 4) or _NOT_SAMPLED)]
        for name, call in calls:
            # named before it is made, so that a call that kills the process is known
            with open(os.path.join(folder, os.pardir, "current"), "w") as current:
                current.write(f"{path.name} {name}")
            start = time.perf_counter()
            try:
                result = call()
            except PhotoError:
                refused += 1
                continue
            except BaseException as exc:  # noqa: B036 - every other ending is the failure looked for
                print(f"FAIL {path.name} {name}: {type(exc).__name__}: {exc}", flush=True)
                continue
            finally:
                if time.perf_counter() - start > HANG_SECONDS / 4:
                    print(f"SLOW {path.name} {name}: {time.perf_counter() - start:.1f} s", flush=True)
            read += 1
            if name.startswith("jpeg sample"):
                if result is not _NOT_SAMPLED and not _sampled_soundly(result):
                    print(f"FAIL {path.name} {name}: returned {result!r:.200}", flush=True)
                continue
            image = result if name == "read_mask" else result.image
            if not (isinstance(image, np.ndarray) and image.dtype == np.uint8 and image.size):
                print(f"FAIL {path.name} {name}: returned {type(image).__name__}", flush=True)
            elif name == "read_photo full":  # never more pixels than the header said
                try:
                    header = read_header(Source(data=data))
                except HeaderError:  # a container the reader hands to pillow-heif
                    continue
                if image.shape[0] * image.shape[1] > header.pixels:
                    print(f"FAIL {path.name}: {image.shape[1]}x{image.shape[0]} decoded, "
                          f"{header.width}x{header.height} in the header", flush=True)
    print(f"READ {read} {refused}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return 0
    rng = random.Random(args.seed)
    found = samples()
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp, "files")
        folder.mkdir()
        names = sorted(found)
        for i in range(args.files):
            name = names[i % len(names)]
            (folder / f"{i:05d}-{name}").write_bytes(damage(found[name], rng))
        for name in names:  # and the good ones
            (folder / f"good-{name}").write_bytes(found[name])
        start, read, refused = time.perf_counter(), 0, 0
        current = pathlib.Path(tmp, "current")
        while True:  # a process that dies names its file; a new one goes on after it
            run = subprocess.run([sys.executable, __file__, "--child", str(folder)], capture_output=True,
                                 text=True, timeout=HANG_SECONDS * (args.files + len(names)))
            lines = [line for line in run.stdout.splitlines() if line.startswith(("FAIL", "SLOW"))]
            failures += len(lines)
            for line in lines[:50]:
                print(line)
            for line in run.stdout.splitlines():
                if line.startswith("READ"):
                    read, refused = read + int(line.split()[1]), refused + int(line.split()[2])
            if run.returncode == 0:
                if run.stderr.strip():  # a library's own lines beside ours
                    failures += 1
                    print(f"standard error is not quiet:\n{run.stderr[-3000:]}")
                break
            failures += 1
            name = current.read_text().split()[0] if current.exists() else None
            print(f"the reading process ended with status {run.returncode} reading "
                  f"{current.read_text() if name else '?'}:\n{run.stderr[-1000:]}")
            if name is None:
                break
            keep = pathlib.Path(tempfile.gettempdir(), "reading-fuzz-crash")
            keep.mkdir(exist_ok=True)
            keep.joinpath(name).write_bytes(folder.joinpath(name).read_bytes())
            print(f"kept as {keep / name}")
            for done in sorted(folder.iterdir()):  # the files read before it, and itself
                if done.name <= name:
                    done.unlink()
            current.unlink()
        print(f"seed {args.seed}: {args.files} damaged files of {len(names)} kinds, 8 reads each "
              f"({read} images, {refused} refused), {time.perf_counter() - start:.0f} s: {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

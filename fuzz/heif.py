"""Damaged HEIC/HEIF files through the command line's reader: each is read
or refused in words (PhotoError), never a crash, a hang or another
exception.

    python fuzz/heif.py [--seeds 0,1,2] [--examples 500]

Each seed runs in a child process, so that a crash in libheif names the
seed and the example. The files are small HEIC images made by pillow-heif
(plain, turned, with alpha, 10 bits), then damaged: bytes flipped or
overwritten, cut short, boxes' sizes and image sizes rewritten (ispe, a
huge or zero size), junk appended or inserted.

Exits 0 when nothing failed.
"""

import argparse
import io
import random
import subprocess
import sys


def samples() -> list[bytes]:
    import numpy as np
    import pillow_heif
    from PIL import Image

    pillow_heif.register_heif_opener()
    rng = np.random.default_rng(7)
    rgb = rng.integers(0, 255, (48, 64, 3), np.uint8)
    made = []
    exif = Image.Exif()
    exif[0x0112] = 8
    for pixels, options in [(rgb, {}), (rgb, {"exif": exif.tobytes()}),
                            (np.dstack([rgb, rgb[:, :, 0]]), {}), (rgb[:17, :9], {"quality": 10})]:
        out = io.BytesIO()
        Image.fromarray(pixels).save(out, "HEIF", **options)
        made.append(out.getvalue())
    return made


def damage(data: bytes, rng: random.Random) -> bytes:
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        how = rng.randrange(6)
        at = rng.randrange(len(data))
        if how == 0:  # bytes flipped
            data[at] ^= 1 << rng.randrange(8)
        elif how == 1:  # overwritten
            data[at:at + 8] = bytes(rng.randrange(256) for _ in range(8))
        elif how == 2:  # cut short
            del data[at:]
        elif how == 3:  # a box's size or an image size rewritten
            boxes = [i - 4 for i in range(4, len(data) - 4) if data[i:i + 4].isalpha()]
            if boxes:
                box = rng.choice(boxes)
                value = rng.choice([0, 1, 8, 0xFFFFFFFF, 0x7FFFFFFF, rng.randrange(1 << 16), 1 << 20])
                offset = box + (12 if data[box + 4:box + 8] == b"ispe" else 0) + rng.choice([0, 4])
                data[offset:offset + 4] = value.to_bytes(4, "big")
        elif how == 4:
            data[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 64)))
        else:
            data += bytes(rng.randrange(256) for _ in range(rng.randint(1, 512)))
        if not data:
            break
    return bytes(data)


def run_seed(seed_value: int, examples: int) -> int:
    from velmora_huebit.photos.reading import PhotoError, decode

    rng = random.Random(seed_value)
    made = samples()
    failures = 0
    for example in range(examples):
        data = damage(rng.choice(made), rng)
        try:
            decoded = decode(data, with_alpha=bool(example % 2))
            assert decoded.image.ndim == 3 and decoded.image.shape[2] == 3
        except PhotoError:
            pass
        except Exception as exc:  # anything else is a fault of ours
            failures += 1
            print(f"seed {seed_value} example {example}: {type(exc).__name__}: {exc}", file=sys.stderr)
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--seeds", default="0,1,2")
    parser.add_argument("--examples", type=int, default=500)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child is not None:
        return 1 if run_seed(options.child, options.examples) else 0
    status = 0
    for seed_value in map(int, options.seeds.split(",")):
        proc = subprocess.run([sys.executable, __file__, "--child", str(seed_value), "--examples",
                               str(options.examples)], timeout=1800)
        if proc.returncode:
            what = f"crashed (signal {-proc.returncode})" if proc.returncode < 0 else "failed"
            print(f"seed {seed_value}: {what}", file=sys.stderr)
            status = 1
    print(f"heif: {options.examples} damaged files per seed, seeds {options.seeds}: "
          + ("failures above" if status else "no crash, every file read or refused in words"))
    return status


if __name__ == "__main__":
    sys.exit(main())

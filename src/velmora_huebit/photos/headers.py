"""What an image file holds, from its header alone: the format, the size,
transparency, bit depth and EXIF orientation, and what decoding it will
cost in memory. Nothing is decoded and only the bytes asked for are read,
so a file that claims billions of pixels costs a few small reads.

The formats are those OpenCV's cv2.imdecode reads, recognised by the same
signatures, so that every file the decoder would take is sized first:
JPEG, PNG, WebP, TIFF, BMP, GIF, PNM (PBM, PGM, PPM, PAM, PFM), Sun raster,
Radiance HDR, JPEG 2000 and AVIF. Each has a small parser of its own
(AVIF: Pillow's, which asks libavif) that reads the fields the decoder
sizes its buffers by.

Memory per pixel was measured with cv2.imread into an array of the right
shape (so the result is not copied once more): 3 bytes for the plain
formats, up to 36 for AVIF with alpha; bench/bench_reading.py measures the
whole command on a bomb of every format."""

from __future__ import annotations

import dataclasses
import os
import re
import struct


class HeaderError(Exception):
    """The header cannot be read: a damaged file, or not an image."""


class Truncated(HeaderError):
    """The file ends inside its header."""


class Unsupported(HeaderError):
    """An image whose size cannot be learnt here without decoding it."""


class Source:
    """The bytes of an open file or of a buffer, read only where asked; or
    of a remote file of the given size whose first bytes are data, the rest
    fetched where asked (fetch(offset, count), a block at a time)."""

    def __init__(self, fd: int | None = None, data=None, size: int | None = None, fetch=None):
        self.fd = fd
        self.data = None if data is None else memoryview(data).cast("B")
        self.size = os.fstat(fd).st_size if fd is not None else len(self.data) if size is None else size
        self.fetch = fetch
        self.block = (0, b"")  # the last block fetched: (offset, bytes)

    def read(self, offset: int, count: int) -> bytes:
        """Up to count bytes from offset (fewer at the end of the file)."""
        if offset < 0 or count <= 0 or offset >= self.size:
            return b""
        count = min(count, self.size - offset)
        if self.fd is not None:
            return os.pread(self.fd, count, offset)
        if offset + count <= len(self.data) or self.fetch is None:
            return bytes(self.data[offset:offset + count])
        start, block = self.block
        if not (start <= offset and offset + count <= start + len(block)):
            # the parsers read a few bytes at a time: one request for a block of them
            start, block = offset, self.fetch(offset, max(count, 1 << 16))
            self.block = (start, block)
        return bytes(block[offset - start:offset - start + count])

    def need(self, offset: int, count: int) -> bytes:
        data = self.read(offset, count)
        if len(data) < count:
            raise Truncated("the file ends inside its header")
        return data


@dataclasses.dataclass
class Header:
    kind: str  # "JPEG", "PNG", ...
    width: int  # as stored, before any EXIF orientation is applied
    height: int
    alpha: bool = False  # cv2.IMREAD_UNCHANGED may give an alpha channel
    deep: bool = False  # more than 8 bits a sample
    orientation: int = 1  # EXIF orientation the decoder applies (1: none)
    per_pixel: float = 3.0  # bytes the decoder takes per pixel for the colour image
    alpha_per_pixel: float = 4.0  # and with cv2.IMREAD_UNCHANGED
    fixed: int = 0  # bytes taken beyond the pixels (a file read whole, tile buffers)
    # JPEG only
    reducible: bool = False  # the decoder can scale by 1/2, 1/4, 1/8 as it decodes
    scans_buffer: int = 0  # bytes the decoder keeps for a JPEG of several scans
    scan_data: int = 0  # where the entropy-coded data of the first scan begins
    multi_scan: bool = False
    animated: bool = False  # an animated PNG or WebP

    @property
    def pixels(self) -> int:
        return self.width * self.height

    @property
    def turned(self) -> bool:
        """Whether the decoder swaps width and height (EXIF orientation 5 to 8)."""
        return self.orientation in (5, 6, 7, 8)


def _exif_orientation(tiff: bytes) -> int:
    """Orientation tag of IFD0 in a TIFF-structured EXIF block; 1 when absent."""
    if len(tiff) < 8 or tiff[:2] not in (b"II", b"MM"):
        return 1
    order = "<" if tiff[:2] == b"II" else ">"
    (ifd,) = struct.unpack_from(order + "I", tiff, 4)
    if ifd + 2 > len(tiff):
        return 1
    (count,) = struct.unpack_from(order + "H", tiff, ifd)
    for i in range(min(count, (len(tiff) - ifd - 2) // 12)):
        tag, kind, _, value = struct.unpack_from(order + "HHI4s", tiff, ifd + 2 + 12 * i)
        if tag == 0x0112:
            number = struct.unpack_from(order + ("H" if kind == 3 else "I"), value)[0]
            return number if 1 <= number <= 8 else 1
    return 1


# --- JPEG -------------------------------------------------------------------

_SOF = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}
_PROGRESSIVE = {0xC2, 0xC6, 0xCA, 0xCE}
_DCT = {0xC0, 0xC1, 0xC2, 0xC9, 0xCA}  # the processes libjpeg decodes (and scales)


def _jpeg(src: Source) -> Header:
    pos, orientation, frame = 2, None, None
    for _ in range(_MAX_CHUNKS):
        mark = src.need(pos, 2)
        if mark[0] != 0xFF or mark[1] in (0x00, 0xFF):
            # as libjpeg: stray bytes and fill bytes up to the next marker
            pos = _next_marker(src, pos)
            continue
        code = mark[1]
        if code in (0x01, 0xD8) or 0xD0 <= code <= 0xD7:
            pos += 2
            continue
        if code == 0xD9:
            raise HeaderError("the JPEG file ends before its image")
        (length,) = struct.unpack(">H", src.need(pos + 2, 2))
        if length < 2:
            raise HeaderError("a JPEG segment of impossible length (a damaged file)")
        body = pos + 4
        if code == 0xE1 and orientation is None:
            # as OpenCV: the first APP1 that holds EXIF gives the orientation
            head = src.need(body, min(length - 2, 6))
            if head == b"Exif\0\0":
                orientation = _exif_orientation(src.need(body + 6, length - 8))
        elif code in _SOF:
            if frame is not None:
                raise HeaderError("a JPEG file with two frames (a damaged file)")
            precision, height, width, count = struct.unpack(">BHHB", src.need(body, 6))
            if count == 0:
                raise HeaderError("a JPEG frame without components (a damaged file)")
            factors = src.need(body + 6, 3 * count)
            frame = code, precision, width, height, [(f >> 4, f & 15) for f in factors[1::3]]
        elif code == 0xDA:
            if frame is None:
                raise HeaderError("a JPEG scan before its frame (a damaged file)")
            (in_scan,) = src.need(body, 1)
            break
        pos = body + length - 2
    else:
        raise HeaderError("a JPEG file of endless segments before its image")
    code, precision, width, height, sampling = frame
    if width == 0 or height == 0:
        raise HeaderError("a JPEG image without a size in its header (not supported)")
    multi = code in _PROGRESSIVE or in_scan < len(sampling)
    header = Header("JPEG", width, height, deep=precision > 8, orientation=orientation or 1,
                    reducible=code in _DCT, scan_data=pos + 2 + length, multi_scan=multi)
    if multi or code not in _DCT:
        # libjpeg keeps every coefficient of the image (2 bytes each) until the last scan
        most_h = max(h for h, _ in sampling) or 1
        most_v = max(v for _, v in sampling) or 1
        blocks = 0
        for h, v in sampling:
            across = -(-width * h // (8 * most_h))
            down = -(-height * v // (8 * most_v))
            blocks += (-(-across // max(h, 1)) * max(h, 1)) * (-(-down // max(v, 1)) * max(v, 1))
        header.scans_buffer = blocks * 128
    return header


def _next_marker(src: Source, pos: int) -> int:
    """Where the next JPEG marker (0xFF and a code other than 0 or 0xFF) begins."""
    while True:
        block = src.read(pos, 1 << 16)
        if len(block) < 2:
            raise Truncated("the file ends inside its header")
        found = re.search(rb"\xff[^\x00\xff]", block)
        if found:
            return pos + found.start()
        pos += len(block) - 1


# a JPEG marker after the first scan: not stuffing (FF00), a fill byte or a restart
_MARKER = re.compile(rb"\xff[^\x00\xff\xd0-\xd7]")
# a progressive photo has about ten scans; thousands only make the decoder slow
MAX_SCANS = 1000


def jpeg_scans(src: Source, header: Header) -> tuple[bool, int]:
    """(whether the JPEG is cut off before its end-of-image marker, its number
    of scans), by one pass over the compressed data in 1 MiB blocks (most
    often a look at its last two bytes): far quicker than a decode. Data
    after the end marker (a Motion Photo's video) is not looked at."""
    pos, scans, block = header.scan_data, 1, 1 << 20
    if not header.multi_scan:
        # one scan: the next marker that is not a restart is the end marker.
        # A file that ends with one is whole (what follows a JPEG, a second
        # image or a video, does not end in the middle of the first)
        if src.read(src.size - 2, 2) == b"\xff\xd9":
            return False, scans
        while pos < src.size:
            if src.read(pos, block + 1).find(b"\xff\xd9") >= 0:
                return False, scans
            pos += block
        return True, scans
    start, chunk = pos, b""
    for _ in range(50 * MAX_SCANS):  # tables and scans; a photo has a few dozen
        if pos + 4 > start + len(chunk):  # past the block held: the next one
            start, chunk = pos, src.read(pos, block)
            if len(chunk) < 2:
                return True, scans
        found = _MARKER.search(chunk, pos - start)
        if found is None:
            pos = start + max(len(chunk) - 1, 1)
            chunk = b""
            continue
        pos = start + found.start()
        code = chunk[found.start() + 1]
        if code == 0xD9:
            return False, scans
        if code == 0xDA:
            scans += 1
        if scans > MAX_SCANS:
            break
        length = chunk[found.start() + 2:found.start() + 4]
        if len(length) < 2:
            length = src.read(pos + 2, 2)
            if len(length) < 2:
                return True, scans
        pos += 2 + struct.unpack(">H", length)[0]
    return False, max(scans, MAX_SCANS + 1)


# --- PNG --------------------------------------------------------------------

# chunks walked before the image data: a real file has a few dozen
_MAX_CHUNKS = 10_000


def _png(src: Source) -> Header:
    head = src.read(8, 25)
    if head[4:8] != b"IHDR"[:len(head) - 4] or len(head) < 5:
        raise HeaderError("a PNG file without its IHDR header (a damaged file)")
    if len(head) < 25:
        raise Truncated("the file ends inside its header")
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", head[8:21])
    alpha = colour in (4, 6)
    header = Header("PNG", width, height, alpha=alpha, deep=depth > 8)
    pos, exif = 8, None
    for _ in range(_MAX_CHUNKS):
        chunk = src.read(pos, 8)
        if len(chunk) < 8:
            break
        length, kind = struct.unpack(">I4s", chunk)
        if length > 2**31 - 1:
            raise HeaderError("a PNG chunk of impossible length (a damaged file)")
        if kind in (b"IDAT", b"IEND"):
            break
        if pos + 12 + length > src.size:
            # the decoder would make room for all it claims before finding the end
            raise Truncated("the file ends inside its header")
        # the decoder holds each chunk before the image whole (measured: twice its length)
        header.fixed = max(header.fixed, 2 * length)
        if kind == b"tRNS":
            header.alpha = True
        elif kind == b"eXIf" and exif is None:
            exif = _exif_orientation(src.read(pos + 8, min(length, 1 << 16)))
        elif kind == b"acTL":  # animated: measured 3.3 bytes a pixel, with room for frames
            header.per_pixel, header.alpha_per_pixel, header.animated = 8.0, 8.0, True
        pos += 12 + length
    else:  # too many chunks to look through: assume the costly case
        header.alpha, exif = True, 6
    header.orientation = exif or 1
    if header.deep:
        header.alpha_per_pixel = 8.0
    return header


def png_complete(src: Source) -> bool:
    """Whether a PNG file ends with its IEND chunk (else it was cut off)."""
    return src.read(src.size - 12, 12)[4:8] == b"IEND"


# --- WebP -------------------------------------------------------------------

def _webp(src: Source) -> Header:
    head = src.need(12, 18)
    kind = head[:4]
    if kind == b"VP8 ":
        if head[11:14] != b"\x9d\x01\x2a":
            raise HeaderError("a WebP file without its frame header (a damaged file)")
        width, height = (v & 0x3FFF for v in struct.unpack("<HH", head[14:18]))
        header = Header("WebP", width, height)
    elif kind == b"VP8L":
        if head[8] != 0x2F:
            raise HeaderError("a WebP file without its frame header (a damaged file)")
        (bits,) = struct.unpack("<I", head[9:13])
        header = Header("WebP", (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1,
                        alpha=bool(bits >> 28 & 1))
    elif kind == b"VP8X":
        flags = head[8]
        width = int.from_bytes(head[12:15], "little") + 1
        height = int.from_bytes(head[15:18], "little") + 1
        header = Header("WebP", width, height, alpha=bool(flags & 0x10) or bool(flags & 0x02),
                        animated=bool(flags & 0x02))
        if flags & 0x08:  # EXIF chunk: find it
            pos = 12
            for _ in range(_MAX_CHUNKS):
                chunk = src.read(pos, 8)
                if len(chunk) < 8:
                    break
                name, length = struct.unpack("<4sI", chunk)
                if name == b"EXIF":
                    block = src.read(pos + 8, min(length, 1 << 16))
                    header.orientation = _exif_orientation(block[6:] if block[:6] == b"Exif\0\0" else block)
                    break
                pos += 8 + length + (length & 1)
    else:
        raise HeaderError("a WebP file of an unknown kind")
    # libwebp decodes into a buffer of its own, which is then copied; OpenCV
    # reads the whole file first (canvas and previous frame when animated)
    # (measured: 3.3 bytes a pixel for plain lossy, 7.7 lossless, 8.1 with alpha)
    header.per_pixel = header.alpha_per_pixel = (4.0 if kind == b"VP8 " else 9.0
                                                 if kind != b"VP8X" or not flags & 0x02 else 17.0)
    header.fixed = src.size
    return header


# --- TIFF -------------------------------------------------------------------

# the types libtiff reads a number from: BYTE, SHORT, LONG, SBYTE, SSHORT,
# SLONG, IFD, LONG8, SLONG8, IFD8
_TIFF_TYPES = {1: "B", 3: "H", 4: "I", 6: "b", 8: "h", 9: "i", 13: "I", 16: "Q", 17: "q", 18: "Q"}
_TIFF_SIZING = (256, 257, 258, 274, 277, 278, 322, 323, 338)


def _tiff(src: Source) -> Header:
    order = "<" if src.need(0, 2) == b"II" else ">"
    (magic,) = struct.unpack(order + "H", src.need(2, 2))
    big = magic == 43
    if big:
        ifd = struct.unpack(order + "Q", src.need(8, 8))[0]
        count = struct.unpack(order + "Q", src.need(ifd, 8))[0]
        entry, first, value_size = 20, ifd + 8, 8
    else:
        ifd = struct.unpack(order + "I", src.need(4, 4))[0]
        count = struct.unpack(order + "H", src.need(ifd, 2))[0]
        entry, first, value_size = 12, ifd + 2, 4
    if count > 4096:
        raise HeaderError("a TIFF directory of impossible length (a damaged file)")
    table = src.need(first, count * entry)
    tags = {}
    for i in range(count):
        at = i * entry
        tag, kind = struct.unpack_from(order + "HH", table, at)
        if tag not in _TIFF_SIZING or tag in tags:
            continue  # as libtiff: a tag given twice, the first entry counts, whatever its type
        number = struct.unpack_from(order + ("Q" if big else "I"), table, at + 4)[0]
        code = _TIFF_TYPES.get(kind)
        if code is None or number == 0:
            # libtiff fails on it, or reads something this parser cannot vouch for
            raise HeaderError("a TIFF tag of the image's size in a form not read (a damaged file)")
        size = struct.calcsize(code)
        raw = table[at + entry - value_size:at + entry]
        if size * number > value_size:  # the values are elsewhere: only the first is needed
            offset = struct.unpack(order + ("Q" if big else "I"), raw)[0]
            raw = src.need(offset, size)
        value = struct.unpack_from(order + code, raw)[0]
        if value < 0:
            raise HeaderError("a TIFF tag of the image's size with a negative value (a damaged file)")
        tags[tag] = value
    if 256 not in tags or 257 not in tags:
        raise HeaderError("a TIFF file without its image size (a damaged file)")
    width, height = tags[256], tags[257]
    samples, bits = tags.get(277, 1), tags.get(258, 1)
    header = Header("TIFF", width, height, alpha=338 in tags or samples in (2, 4), deep=bits > 8,
                    orientation=tags.get(274, 1) if 1 <= tags.get(274, 1) <= 8 else 1)
    # the decoder reads a tile (or a strip of rows) at a time into a buffer
    # of its own, through libtiff's RGBA interface for 8 bits (4 bytes a pixel)
    tile_width = tags.get(322, width)
    rows = tags.get(278, height)  # OpenCV takes the rows per strip as they are, save "all"
    tile_height = tags.get(323, height if rows in (0, 2**32 - 1) else rows)
    per_sample = max(1, bits // 8)
    header.fixed = tile_width * tile_height * max(4, samples * per_sample) * 2 + src.size
    header.per_pixel = 3.0 if not header.turned else 9.0
    header.alpha_per_pixel = (8.0 if header.deep else 4.0) * (3 if header.turned else 1)
    return header


# --- the simple formats -------------------------------------------------------

def _bmp(src: Source) -> Header:
    (size,) = struct.unpack("<I", src.need(14, 4))
    if size == 12:  # OS/2 core header
        width, height, _, bits = struct.unpack("<HHHH", src.need(18, 8))
    elif size >= 40:
        width, height, _, bits = struct.unpack("<iiHH", src.need(18, 12))
    else:
        raise HeaderError("a BMP file with an unknown header (a damaged file)")
    return Header("BMP", abs(width), abs(height), alpha=bits == 32)


def _gif(src: Source) -> Header:
    width, height, flags = struct.unpack("<HHB", src.need(6, 5))
    pos = 13 + (3 << ((flags & 7) + 1) if flags & 0x80 else 0)
    transparent, steps = False, 0
    while steps < _MAX_CHUNKS:
        block = src.need(pos, 1)[0]
        steps += 1
        if block == 0x21:  # extension: label, then sub-blocks up to an empty one
            label = src.need(pos + 1, 1)[0]
            if label == 0xF9:
                transparent = bool(src.need(pos + 3, 2)[1] & 1)
            pos += 2
            while (length := src.need(pos, 1)[0]) != 0 and steps < _MAX_CHUNKS:
                pos += 1 + length
                steps += 1
            pos += 1
        elif block == 0x2C:  # the first frame: the decoder also allocates for it
            left, top, frame_width, frame_height = struct.unpack("<HHHH", src.need(pos + 1, 8))
            width, height = max(width, left + frame_width), max(height, top + frame_height)
            break
        else:
            raise HeaderError("a GIF file without an image (a damaged file)")
    else:
        raise HeaderError("a GIF file of endless extensions before its image")
    # a canvas with alpha, the frame's indices and the output (measured: 8.4 bytes a pixel)
    return Header("GIF", width, height, alpha=transparent, per_pixel=10.0, alpha_per_pixel=10.0)


def _number(text: bytes, pos: int) -> tuple[int, int]:
    """A PNM header number at pos, read as OpenCV reads it: white space and
    #-comments skipped, then digits; the byte after them is taken too."""
    while True:
        if pos >= len(text):
            raise Truncated("the file ends inside its header")
        byte = text[pos]
        if 0x30 <= byte <= 0x39:
            break
        if byte == 0x23:  # a comment, to the end of its line
            ends = [at for at in (text.find(b"\n", pos), text.find(b"\r", pos)) if at >= 0]
            if not ends:
                raise Truncated("the file ends inside its header")
            pos = min(ends) + 1
        elif byte in b" \t\n\v\f\r":
            pos += 1
        else:
            raise HeaderError("a PNM file with a damaged header")
    digits = re.compile(rb"[0-9]+").match(text, pos)
    value = int(digits.group())
    if value > 2**31 - 1:
        raise HeaderError("a PNM header number too large for the decoder")
    return value, digits.end() + 1


def _pnm(src: Source) -> Header:
    text = src.read(0, 1 << 16)
    width, pos = _number(text, 2)
    height, _ = _number(text, pos)
    return Header("PNM", width, height)


def _pam(src: Source) -> Header:
    text = src.read(0, 1 << 16)
    end = text.find(b"ENDHDR")
    if end < 0:
        raise HeaderError("a PAM file with a damaged header")
    fields = {}
    # the largest value a field is given anywhere: never less than the decoder reads
    for key, value in re.findall(rb"(?:^|[\r\n])[ \t]*(WIDTH|HEIGHT|DEPTH|MAXVAL)[ \t]+(\d+)", text[:end]):
        fields[key] = max(fields.get(key, 0), int(value))
    if b"WIDTH" not in fields or b"HEIGHT" not in fields:
        raise HeaderError("a PAM file without its image size")
    deep = fields.get(b"MAXVAL", 255) > 255
    return Header("PAM", fields[b"WIDTH"], fields[b"HEIGHT"], alpha=fields.get(b"DEPTH") in (2, 4),
                  deep=deep, alpha_per_pixel=8.0 if deep else 4.0)


def _pfm(src: Source) -> Header:
    """OpenCV reads the width and height of a PFM file as the numbers that
    begin the tokens after "PF" and one white-space byte, each token ended
    by one white-space byte."""
    text = src.read(0, 4096)
    if len(text) < 3 or text[2:3] not in b" \t\n\v\f\r":
        raise HeaderError("a PFM file with a damaged header")
    tokens = re.split(rb"[ \t\n\v\f\r]", text[3:], maxsplit=2)
    if len(tokens) < 3:
        raise Truncated("the file ends inside its header")
    sizes = []
    for token in tokens[:2]:
        number = re.match(rb"\+?([0-9]+)", token)
        if token.startswith(b"-"):  # an unsigned conversion wraps it round
            sizes.append(2**32 - 1)
        elif number is None:
            raise HeaderError("a PFM file with a damaged header")
        else:  # a number too large for the reader's own saturates, as 2**32 - 1
            sizes.append(min(int(number.group(1)), 2**32 - 1))
    # floating point read and converted: 4 bytes a sample twice, and the output
    # (measured: 24.3 bytes a pixel in colour, 5.2 in grey)
    return Header("PFM", sizes[0], sizes[1], per_pixel=25.0 if text[1:2] == b"F" else 8.0)


def _sun(src: Source) -> Header:
    width, height = struct.unpack(">II", src.need(4, 8))
    return Header("Sun raster", width, height)


def _line(text: bytes, pos: int) -> tuple[bytes, int]:
    """What C's fgets reads into a 128-byte buffer at pos: up to a line
    feed, or 127 bytes; as a C string (to its first NUL)."""
    feed = text.find(b"\n", pos, pos + 127)
    end = feed + 1 if feed >= 0 else min(pos + 127, len(text))
    return text[pos:end].split(b"\0", 1)[0], end


_HDR_SIZE = re.compile(rb"-Y\s*([+-]?[0-9]+)\s*\+X\s*([+-]?[0-9]+)")


def _hdr(src: Source) -> Header:
    """The size line after the header's blank line, found as the decoder
    (the RGBE reference reader) finds it, line by 127-byte piece."""
    text = src.read(0, 1 << 16)
    line, pos = _line(text, 0)
    formats = False
    for _ in range(4096):
        if line in (b"", b"\n"):
            break
        formats = formats or line == b"FORMAT=32-bit_rle_rgbe\n"
        if pos >= len(text):
            raise Truncated("the file ends inside its header")
        line, pos = _line(text, pos)
    if not formats or line != b"\n":
        raise HeaderError("a Radiance HDR file without FORMAT=32-bit_rle_rgbe and a blank line")
    found = _HDR_SIZE.match(_line(text, pos)[0])
    if found is None:
        raise HeaderError("a Radiance HDR file without its image size (-Y H +X W)")
    # floating point pixels (12 bytes), then 8-bit output
    return Header("HDR", int(found.group(2)), int(found.group(1)), per_pixel=16.0)


# --- JPEG 2000 ----------------------------------------------------------------

def _siz(src: Source, pos: int, header: Header | None) -> Header:
    """The SIZ segment of a JPEG 2000 codestream at pos (just after SOC)."""
    fields = src.need(pos, 40)
    if fields[:2] != b"\xff\x51":
        raise HeaderError("a JPEG 2000 codestream without its SIZ header (a damaged file)")
    x, y, x0, y0, tile_x, tile_y, tile_x0, tile_y0 = struct.unpack(">IIIIIIII", fields[6:38])
    (count,) = struct.unpack(">H", fields[38:40])
    if not 0 < count <= 16384 or x <= x0 or y <= y0 or not tile_x or not tile_y:
        raise HeaderError("a JPEG 2000 codestream with an impossible size (a damaged file)")
    components = src.need(pos + 40, 3 * count)
    width, height = x - x0, y - y0
    samples = 0  # OpenJPEG holds every component as 32-bit integers
    for i in range(count):
        dx, dy = max(components[3 * i + 1], 1), max(components[3 * i + 2], 1)
        samples += -(-width // dx) * -(-height // dy)
    if header is None:
        header = Header("JPEG 2000", width, height, alpha=count in (2, 4))
    header.width, header.height = width, height
    header.deep = header.deep or any((components[3 * i] & 0x7F) >= 8 for i in range(count))
    # OpenJPEG's components as 32-bit integers, its code blocks and the output
    extra = 4 * max(samples, 3 * width * height) / (width * height) + 8
    header.per_pixel = extra + 5.0
    header.alpha_per_pixel = extra + (10.0 if header.deep else 6.0)
    # and 12 kB for each tile, whatever its size (measured: 736 MB for 62500 tiles)
    tiles = -(-(x - min(tile_x0, x)) // tile_x) * -(-(y - min(tile_y0, y)) // tile_y)
    header.fixed = 12_000 * tiles
    return header


def _jp2(src: Source) -> Header:
    pos, header = 0, Header("JPEG 2000", 1, 1)
    for _ in range(_MAX_CHUNKS):
        box = src.read(pos, 16)
        if len(box) < 8:
            break
        length, name = struct.unpack(">I4s", box[:8])
        start = pos + 8
        if length == 1:
            length, start = struct.unpack(">Q", box[8:16])[0], pos + 16
        elif length == 0:
            length = src.size - pos
        if length < start - pos:
            raise HeaderError("a JPEG 2000 box of impossible length (a damaged file)")
        if name == b"jp2h":  # its boxes: ihdr, colr, cdef (channel definitions), pclr
            inner = src.read(start, min(length - (start - pos), 1 << 16))
            header.alpha = header.alpha or b"cdef" in inner
            if b"pclr" in inner:  # a palette expands to three or four components
                header.alpha = True
        elif name == b"jp2c":
            return _siz(src, start + 2, header)
        pos += length
    raise HeaderError("a JPEG 2000 file without its codestream (a damaged file)")


# --- HEIF and AVIF -----------------------------------------------------------

# boxes whose children are boxes, on the way to the image properties
# (meta is a full box: four bytes of version and flags first)
_CONTAINERS = {b"meta": 4, b"iprp": 0, b"ipco": 0}
_ALPHA_AUX = (b"urn:mpeg:hevc:2015:auxid:1", b"urn:mpeg:mpegB:cicp:systems:auxiliary:alpha")


def container_size(src: Source) -> tuple[int, int, bool] | None:
    """(width, height, alpha) of a HEIF or AVIF file from its image
    properties (ispe, auxC), read box by box without reading the file
    whole: the largest image any item declares, so never less than the
    primary image the decoder takes. None when the file declares no size."""
    largest, alpha = None, False
    stack = [(0, src.size)]  # (start, end) of the box lists still to walk
    boxes = 0
    while stack:
        pos, end = stack.pop()
        while pos + 8 <= end:
            boxes += 1
            if boxes > _MAX_CHUNKS:
                raise HeaderError("an image container of endless boxes (a damaged file)")
            length, name = struct.unpack(">I4s", src.need(pos, 8))
            body = pos + 8
            if length == 1:
                length, body = struct.unpack(">Q", src.need(pos + 8, 8))[0], pos + 16
            elif length == 0:
                length = end - pos
            if length < body - pos or pos + length > end:
                raise HeaderError("an image container box of impossible length (a damaged file)")
            if name in _CONTAINERS:
                stack.append((pos + length, end))  # this level goes on after the box
                pos, end = body + _CONTAINERS[name], pos + length
                continue
            if name == b"ispe":
                width, height = struct.unpack(">II", src.need(body + 4, 8))
                if largest is None or width * height > largest[0] * largest[1]:
                    largest = (width, height)
            elif name == b"auxC":
                alpha = alpha or src.read(body + 4, 64).split(b"\0", 1)[0] in _ALPHA_AUX
            pos += length
    return None if largest is None else (*largest, alpha)


def _avif(src: Source) -> Header:
    size = container_size(src)
    if size is None:
        raise HeaderError("an AVIF file without its image size (a damaged file)")
    width, height, alpha = size
    # libavif's planes, its RGB conversion and the output; more with alpha
    # and for 10 or 12 bits (measured: 17.5 and 35.8 bytes a pixel at 8 bits).
    # The decoder reads the file whole.
    return Header("AVIF", width, height, alpha=alpha, per_pixel=40.0 if alpha else 24.0,
                  alpha_per_pixel=44.0, fixed=2 * src.size)


# --- which format -------------------------------------------------------------

def _kind(head: bytes):
    """The parser for the format OpenCV would pick by these first bytes."""
    if head[:3] == b"\xff\xd8\xff":
        return _jpeg
    if head[:8] == b"\x89PNG\r\n\x1a\n":
        return _png
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return _webp
    if head[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
        return _tiff
    if head[:2] == b"BM":
        return _bmp
    if head[:6] in (b"GIF87a", b"GIF89a"):
        return _gif
    if len(head) > 2 and head[:1] == b"P" and head[2:3].isspace():
        if head[1:2] in b"123456":
            return _pnm
        if head[1:2] == b"7":
            return _pam
        if head[1:2] in b"Ff":
            return _pfm
    if head[:4] == b"\x59\xa6\x6a\x95":
        return _sun
    if head.startswith((b"#?RGBE", b"#?RADIANCE")):
        return _hdr
    if head[:12] == b"\0\0\0\x0cjP  \r\n\x87\n":
        return _jp2
    if head[:4] == b"\xff\x4f\xff\x51":
        return lambda src: _siz(src, 2, None)
    if head[4:8] == b"ftyp":  # an ISO media file: AVIF when a brand of the ftyp box says so
        brands = head[8:int.from_bytes(head[:4], "big")]
        if any(brands[at:at + 4] in (b"avif", b"avis") for at in range(0, len(brands), 4)):
            return _avif
    return None


_NAMES = {_jpeg: "JPEG", _png: "PNG", _webp: "WebP", _tiff: "TIFF", _bmp: "BMP", _gif: "GIF"}


def read_header(src: Source) -> Header:
    """The header of the image in src; HeaderError when it is not an image
    the decoder reads, or its header is damaged (Truncated, naming the
    format, when the file ends inside it)."""
    parser = _kind(src.read(0, 256))
    if parser is None:
        raise HeaderError("not an image file (or of a format that is not read)")
    try:
        header = parser(src)
    except (struct.error, ValueError, OverflowError, IndexError):
        raise HeaderError("a damaged image header") from None
    except Truncated:
        raise Truncated(_NAMES.get(parser, "image")) from None
    if header.width <= 0 or header.height <= 0:
        raise HeaderError(f"a {header.kind} image of no size (a damaged file)")
    return header

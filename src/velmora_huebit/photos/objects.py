"""Which objects a URL argument covers, listed as the run goes (photos does
the same for local files):

- s3://bucket/photo.jpg: that object (read when its turn comes);
- s3://bucket/prefix/ (or a name without a suffix that is a prefix): the
  images in that folder, and below it with --recursive;
- s3://bucket/shots/*.jpg, s3://bucket/**/*.png: the objects the pattern
  matches ('**' as a whole component matches any depth with --recursive),
  and the images of folders it matches.

S3 is listed a page of at most 1000 keys at a time, in the bucket's order
(by name), through s3fs's own request path (retries, errors as OSError):
a bucket of millions of photos is never held. A folder on a server that
obstore reads (see storage), or the folder a pattern starts from, is
listed by obstore instead, without
importing s3fs and botocore (half a second); s3fs lists on from where
obstore cannot be trusted. A pattern whose wildcards
are all in its last component lists one folder level; others list every
key under the pattern's fixed start. Other fsspec URLs are walked a
folder at a time. Names that start with a dot are left out of folders, and
matched by a wildcard only when the pattern says so, as glob does."""

from __future__ import annotations

import os
import re
from typing import Callable, Iterator

from velmora_huebit.photos.storage import (StorageError, describe, direct_exists, direct_pages, filesystem,
                                           protocol)

OnProblem = Callable[[str, str], None]

PAGE_KEYS = 1000  # keys per listing request: S3's most

_MAGIC = re.compile(r"[*?\[]")


def iter_objects(argument: str, recursive: bool, problem: OnProblem, options: dict | None,
                 suffixes: frozenset) -> Iterator[str]:
    """The URLs an argument covers, as they are listed; problem() is told
    when it covers nothing or cannot be listed."""
    try:
        if protocol(argument) in ("s3", "s3a"):
            path = argument.split("://", 1)[1].rstrip("/")  # as s3fs takes it
            listing = _S3(argument, options, suffixes, recursive)
        else:
            fs, path = filesystem(argument, options)
            listing = _Walk(fs, protocol(argument), suffixes, recursive)
        found = False
        for url in listing.cover(path, argument.endswith("/")):
            found = True
            yield url
        if not found:
            problem(argument, listing.nothing)
    except Exception as exc:  # a bucket that does not exist, no credentials, the network
        problem(argument, describe(exc, argument, options))


def _component(part: str) -> str:
    """One name's pattern as a regular expression that stays within it."""
    out, i = [], 0
    while i < len(part):
        char, i = part[i], i + 1
        if char == "*":
            out.append("[^/]*")
        elif char == "?":
            out.append("[^/]")
        elif char == "[":
            end = i + (part[i:i + 1] == "!")
            end += part[end:end + 1] == "]"  # a ']' first is one of the set
            close = part.find("]", end)
            if close == -1:
                out.append(re.escape(char))
                continue
            negate, inside, i = part[i:i + 1] == "!", part[i:close], close + 1
            inside = "".join("\\" + c if c in "\\[]^&~|" else c for c in inside[negate:])
            out.append(f"(?!/)[{'^' if negate else ''}{inside}]")
        else:
            out.append(re.escape(char))
    return "".join(out)


def _translate(pattern: str, recursive: bool) -> re.Pattern:
    """A glob pattern over '/'-separated names as a regular expression:
    wildcards stop at '/', a leading dot is matched only by a dot, and
    '**' as a whole component (with recursive) matches any folders."""
    parts = pattern.split("/")
    out = []
    for index, part in enumerate(parts):
        last = index == len(parts) - 1
        if part == "**" and recursive:
            out.append(r"(?:(?!\.)[^/]+/)*" if not last else r"(?!\.)[^/]*(?:/(?!\.)[^/]+)*")
            continue
        hidden = r"(?!\.)" if _MAGIC.match(part) else ""
        out.append(hidden + _component(part) + ("" if last else "/"))
    return re.compile("".join(out) + r"\Z", re.S)


def _hidden(relative: str) -> bool:
    return any(part.startswith(".") for part in relative.split("/"))


class _S3:
    """Keys of an S3 bucket, a page at a time."""

    nothing = "no such object, and no images under it as a folder"

    def __init__(self, argument: str, options: dict | None, suffixes: frozenset, recursive: bool):
        self.argument = argument
        self.options = options
        self.scheme = protocol(argument)
        self.suffixes = suffixes
        self.recursive = recursive
        self._fs = None

    @property
    def fs(self):
        """s3fs's filesystem, made when it is first needed (a folder that
        obstore lists whole never needs it)."""
        if self._fs is None:
            self._fs = filesystem(self.argument, self.options)[0]
        return self._fs

    def url(self, bucket: str, key: str) -> str:
        return f"{self.scheme}://{bucket}/{key}"

    def pages(self, bucket: str, prefix: str, delimiter: bool,
              after: str = "") -> Iterator[tuple[list[str], list[str]]]:
        """(keys, folders) a page at a time, of the keys after `after`."""
        request = {"Bucket": bucket, "Prefix": prefix, "MaxKeys": PAGE_KEYS, **getattr(self.fs, "req_kw", {})}
        if delimiter:
            request["Delimiter"] = "/"
        if after:
            request["StartAfter"] = after
        while True:
            page = self.fs.call_s3("list_objects_v2", **request)
            yield ([item["Key"] for item in page.get("Contents", [])],
                   [item["Prefix"] for item in page.get("CommonPrefixes", [])])
            if not page.get("IsTruncated"):
                return
            request["ContinuationToken"] = page["NextContinuationToken"]

    def image(self, relative: str) -> bool:
        return (bool(relative) and not relative.endswith("/") and not _hidden(relative)
                and os.path.splitext(relative)[1].lower() in self.suffixes)

    def folder(self, bucket: str, prefix: str) -> Iterator[str]:
        after = ""
        if prefix:  # the top of a bucket is s3fs's to list: obstore would take '/a.jpg' for 'a.jpg'
            after = yield from self.direct(bucket, prefix, self.recursive,
                                           lambda key: self.image(key[len(prefix):]))
            if after is None:
                return
        for keys, folders in self.pages(bucket, prefix, delimiter=not self.recursive, after=after):
            yield from (self.url(bucket, key) for key in keys if self.image(key[len(prefix):]))
            if folders and self.nothing == "no images in this folder":
                self.nothing += " (it has subfolders: --recursive descends into them)"

    def direct(self, bucket: str, prefix: str, recursive: bool, wanted: Callable[[str], bool]) -> Iterator[str]:
        """The keys under prefix (a folder's) that are wanted, as obstore
        lists them, where it stands in; below subfolders too if recursive.
        Returns None once it has listed them all, else the key after which
        s3fs lists the rest: at a subfolder if not recursive (s3fs lists by
        folders), at an empty object (obstore lists a folder's marker
        'a.jpg/' as 'a.jpg'), or where it fails."""
        pages = direct_pages(self.url(bucket, prefix), self.options, prefix, PAGE_KEYS)
        if pages is None:
            return ""
        after = ""  # the last key taken that obstore shows as it is
        try:
            for page in pages:
                for key, size in page:
                    if key == prefix[:-1] and size == 0:
                        continue  # the folder's own marker
                    relative = key[len(prefix):]
                    if size == 0 or not key.startswith(prefix) or ("/" in relative and not recursive):
                        return after
                    if wanted(key):
                        yield self.url(bucket, key)
                    after = key
        except Exception:  # noqa: BLE001 - s3fs lists the rest, and says what is wrong in its words
            return after
        return None

    def cover(self, path: str, folder: bool) -> Iterator[str]:
        bucket, _, key = path.partition("/")
        if not bucket or _MAGIC.search(bucket):
            raise StorageError("give a bucket, as s3://bucket/ or s3://bucket/prefix/ (a pattern "
                               "matches keys within one bucket)")
        if _MAGIC.search(key):
            # a name that exists as it is written is that object or folder, as on disk
            literal = self.folder(bucket, key) if key.endswith("/") else \
                [self.url(bucket, key)] if self.exists(bucket, key) else []
            found = False
            for url in literal:
                found = True
                yield url
            if found:
                return
            self.nothing = "no objects match this pattern"
            if not self.recursive and "**" in key.split("/"):
                self.nothing += " (** matches folders at any depth only with --recursive)"
            yield from self.glob(bucket, key)
        elif folder or not key:
            self.nothing = "no images in this folder"
            yield from self.folder(bucket, key.rstrip("/") + "/" if key else "")
        elif os.path.splitext(key)[1]:
            yield self.url(bucket, key)  # a missing object is told when it is read
        else:
            # a name without a suffix: a folder, or else an object by that name
            found = False
            for url in self.folder(bucket, key + "/"):
                found = True
                yield url
            if not found and self.exists(bucket, key):
                yield self.url(bucket, key)

    def exists(self, bucket: str, key: str) -> bool:
        """Whether an object has this very key (a HEAD; refused as not found,
        the listing that follows says why)."""
        found = direct_exists(self.url(bucket, key), self.options)
        if found is not None:
            return found
        try:
            self.fs.call_s3("head_object", Bucket=bucket, Key=key, **getattr(self.fs, "req_kw", {}))
        except (FileNotFoundError, PermissionError):
            return False
        return True

    def glob(self, bucket: str, pattern: str) -> Iterator[str]:
        start = _MAGIC.search(pattern).start()
        prefix, rest = pattern[:start], pattern[start:]
        matches = _translate(pattern, self.recursive).match
        one_level = "/" not in rest

        def wanted(key: str) -> bool:
            if matches(key):
                return True
            if one_level:
                return False
            # a key below a folder the pattern matches
            cut = key.find("/", start)
            while cut != -1 and not matches(key[:cut]):
                cut = key.find("/", cut + 1)
            return cut != -1 and self.image(key[cut + 1:]) and (self.recursive or "/" not in key[cut + 1:])

        after = ""
        if prefix.endswith("/"):  # the fixed start a folder: obstore lists it where it can
            after = yield from self.direct(bucket, prefix, not one_level, wanted)
            if after is None:
                return
        for keys, folders in self.pages(bucket, prefix, delimiter=one_level, after=after):
            yield from (self.url(bucket, key) for key in keys if wanted(key))
            for folder in folders:
                if matches(folder[:-1]):
                    yield from self.folder(bucket, folder)


class _Walk:
    """Any other fsspec filesystem, a folder at a time."""

    nothing = "no such file or folder"

    def __init__(self, fs, scheme: str, suffixes: frozenset, recursive: bool):
        self.fs = fs
        self.scheme = scheme
        self.suffixes = suffixes
        self.recursive = recursive

    def url(self, path: str) -> str:
        return self.fs.unstrip_protocol(path)

    def folder(self, path: str) -> Iterator[str]:
        entries = sorted(self.fs.ls(path, detail=True), key=lambda entry: entry["name"])
        below = []
        for entry in entries:
            name = entry["name"].rstrip("/")
            base = name.rsplit("/", 1)[-1]
            if base.startswith(".") or name == path.rstrip("/"):
                continue
            if entry["type"] == "directory":
                below.append(name)
            elif os.path.splitext(base)[1].lower() in self.suffixes:
                yield self.url(name)
        if self.recursive:
            for name in below:
                yield from self.folder(name)

    def cover(self, path: str, folder: bool) -> Iterator[str]:
        if _MAGIC.search(path):
            self.nothing = "no files match this pattern"
            for match in sorted(self.fs.glob(path)):
                yield from self.folder(match) if self.fs.isdir(match) else [self.url(match)]
        elif self.fs.isdir(path):
            self.nothing = "no images in this folder"
            yield from self.folder(path)
        elif self.fs.exists(path):
            yield self.url(path)

"""The tasks of a run, (photo, chart file or None), listed as the run goes:
a folder of a million photos is walked while its photos are analysed, never
held whole."""

from __future__ import annotations

import dataclasses
import itertools
import threading
from typing import Callable, Iterator

from velmora_huebit.outputs.charts import chart_paths
from velmora_huebit.outputs.guard import Guard
from velmora_huebit.photos.sources import OnProblem, iter_photos, photo_key, text_name
from velmora_huebit.runs.runners import Task


@dataclasses.dataclass(frozen=True)
class Listing:
    """What a run lists: its photos (paths, folders, globs, URLs), whether
    folders are walked all the way down, the filesystem options of buckets,
    and the templates of the files written per photo (--chart, --export)."""

    photos: tuple[str, ...]
    recursive: bool = False
    storage: dict | None = None
    chart: str | None = None
    exports: tuple[str, ...] = ()
    overwrite: bool = False  # files that exist may be replaced (--overwrite, --resume)


class PhotoTasks:
    """The photos of a listing with their chart files, less those in done
    (the photos a resumed --output file holds, by their names as stored).
    Counts what it skips; tells on_problem of arguments and folders that
    yield nothing."""

    def __init__(self, listing: Listing, done: set[str], on_problem: OnProblem | None = None):
        self.listing = listing
        self.done = done
        self.skipped = 0
        self.on_problem: OnProblem = on_problem or (lambda name, message: None)
        # --export: the palette files of the photos listed and not yet written
        self._exports: dict[str, tuple[str, ...]] = {}
        # a resumed run replaces the files of the run it resumes
        self.guard = Guard(list(listing.photos), listing.recursive, listing.overwrite)

    def export_paths(self, photo: str) -> tuple[str, ...]:
        """The --export files of a listed photo, forgotten once asked for."""
        return self._exports.pop(photo, ())

    def __iter__(self) -> Iterator[Task]:
        listing = self.listing
        photos = iter_photos(list(listing.photos), listing.recursive, self.on_problem, listing.storage)
        chart = listing.chart
        exports = list(listing.exports)
        if exports:  # (the module is left unloaded without: it is heavy for a start-up)
            from velmora_huebit.outputs.exports import is_library

            # a library (see exports) is one file for the run, not one per photo
            exports = [template for template in exports if not is_library(template)]
        templates = ([chart] if chart else []) + exports
        # file names come from the whole listing, so they stay the same on a resumed run
        photos, *named = itertools.tee(photos, 1 + len(templates))
        paths = zip(*map(chart_paths, templates, named)) if templates else itertools.repeat(())
        for photo, files in zip(photos, paths):
            if self.done and photo_key(text_name(photo)) in self.done:
                self.skipped += 1
                continue
            for option, file in zip(["--chart"] * bool(chart) + ["--export"] * (len(files) - bool(chart)), files):
                self.guard.check(option, file)  # before the photo is analysed
            if files[1 if chart else 0:]:
                self._exports[photo] = files[1 if chart else 0:]
            yield photo, files[0] if chart else None

    def count_in_background(self, set_total: Callable[[int], None]) -> None:
        """Tells set_total (a progress bar's) the count of a second listing,
        made in a thread while the run takes the photos from the first."""

        def count() -> None:
            try:
                set_total(sum(1 for _ in PhotoTasks(self.listing, self.done)))
            except Exception:  # the run's own listing reports the same failure
                pass

        threading.Thread(target=count, name="count photos", daemon=True).start()

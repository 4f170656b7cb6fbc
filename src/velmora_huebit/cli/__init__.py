"""Command line: dominant colours, target-colour matching and charts for
photos, folders, globs and buckets, spread over worker processes.

    velmora-huebit extract PHOTO... [--colors N] [--chart FILE.png] [--export FILE.gpl] [--report FILE.html] [--json] ...
    velmora-huebit match PHOTO... --target NAME=#RRGGBB ... [--pixels] ...
    velmora-huebit serve [--host 127.0.0.1] [--port 8000] [--workers N] ...   (the palette service)
    velmora-huebit search TABLE --near COLOUR [--within ΔE] [--min-share PERCENT]

In a terminal the results are tables with colour swatches; with --json, or
when standard output is not a terminal, one JSON object per photo and line.
Exit status: 0 when every photo was analysed, 1 when any failed (or, with
--strict, has warnings), 2 for bad arguments, 130 when interrupted.

The door of the library on the terminal: it parses the arguments, shows
results and progress, and turns the library's errors into one line and an
exit status. The library never imports it.

- arguments: the option parser and its value checks
- entry: main(), which ties the layers below together for a run
- output: JSON lines and tables on standard output
- terminal: --color, the colour depth of the tables' swatches
- progress: the progress bar on standard error
- serve: the serve command, which starts the service (imported only then)
- summary: the line that ends every run
- search: the search command
"""

import os
import sys
import threading

from velmora_huebit.cli.entry import main
from velmora_huebit.photos.storage import stop_fetching

__all__ = ["main", "run"]


def run() -> None:
    """The command: main(), then out at once. A run has closed its files
    and stopped its workers by then; tearing down the modules and
    collecting every object would only add to its time. A thread still
    going (a Dask client's) gets the ordinary exit."""
    code = main()
    stop_fetching()  # idle by now: they would keep the process from its quick exit
    if threading.active_count() > 1:
        sys.exit(code)
    for stream in (sys.stdout, sys.stderr):
        if stream is None:  # closed when the command started
            continue
        try:
            stream.flush()
        except (BrokenPipeError, ValueError):  # the reader went away, or the stream is closed
            code = code or 1
    os._exit(code)

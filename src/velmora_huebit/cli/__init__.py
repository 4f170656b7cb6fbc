"""Command line: dominant colours, target-colour matching and charts for
photos, folders and globs, spread over worker processes.

    velmora-huebit extract PHOTO... [--colors N] [--chart FILE.png] [--json] ...
    velmora-huebit match PHOTO... --target NAME=#RRGGBB ... [--pixels] ...

In a terminal the results are tables with colour swatches; with --json, or
when standard output is not a terminal, one JSON object per photo and line.
Exit status: 0 when every photo was analysed, 1 when any failed, 2 for bad
arguments, 130 when interrupted.

One module per concern:

- arguments: the option parser and its value checks
- colours: colours as the user writes them
- photos: which files a run covers, and how their names are shown
- reading: photo and mask files into arrays (the pixel limit, reduced JPEG
  decodes, alpha, special files, damage)
- headers: what an image file holds, from its header alone (format, size,
  what decoding it costs), so that bombs are refused before decoding
- work: what happens to one photo (runs in the worker processes)
- runners: how the photos of a run are spread (this process, a pool of
  worker processes that survives the death of one)
- dask_runner: --dask, the photos as tasks on a Dask cluster
- tasks: the photos of a run with their chart files, listed as the run goes
- records: the record printed per photo, as plain data
- output: JSON lines and tables
- parquet: --output FILE.parquet, safe from a killed run, and --resume
- charts: chart file names and drawing
- progress: the progress bar on standard error
- entry: main(), which ties the above together
"""

from velmora_huebit.cli.entry import main

__all__ = ["main"]

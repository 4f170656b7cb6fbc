"""Command line: dominant colours, target-colour matching and charts for
photos, folders, globs and buckets, spread over worker processes.

    velmora-huebit extract PHOTO... [--colors N] [--chart FILE.png] [--export FILE.gpl] [--report FILE.html] [--json] ...
    velmora-huebit match PHOTO... --target NAME=#RRGGBB ... [--pixels] ...

In a terminal the results are tables with colour swatches; with --json, or
when standard output is not a terminal, one JSON object per photo and line.
Exit status: 0 when every photo was analysed, 1 when any failed, 2 for bad
arguments, 130 when interrupted.

One module per concern:

- arguments: the option parser and its value checks
- colours: colours as the user writes them, and palette files read
  (--targets), whatever their bytes
- photos: which files a run covers, and how their names are shown
- objects: which objects a URL argument covers (s3://bucket/prefix/, globs),
  listed a page at a time
- storage: object storage through fsspec and s3fs: filesystems and their
  options, reads and uploads with retries, failures in words
- reading: photo and mask files (local or in buckets) into arrays (the pixel
  limit, reduced JPEG decodes, alpha, special files, damage)
- headers: what an image file holds, from its header alone (format, size,
  what decoding it costs), so that bombs are refused before decoding
- heif: HEIC/HEIF photos (and AVIF that OpenCV does not read) through
  pillow-heif, sized before decoding
- work: what happens to one photo (runs in the worker processes)
- engine: which engine analyses the photos (the palette engine, the
  default, or the module's ColorExtractor with --engine library; match on
  the palette engine's colours is velmora_huebit._match), and what each
  needs in this process or in workers
- runners: how the photos of a run are spread (this process, a pool of
  worker processes that survives the death of one)
- dask_runner: --dask, the photos as tasks on a Dask cluster
- tasks: the photos of a run with their chart files, listed as the run goes
- records: the record printed per photo, as plain data
- output: JSON lines and tables
- tidy: the rows of --output tables, one per photo and colour or target
- store: --output, kept safe from a killed run in a journal, and --resume
- remote_output: --output s3://..., the store in a local cache folder,
  downloaded to resume and uploaded when the run ends
- parquet, csvfile: the --output file formats
- views: what a result becomes in the worker besides its record (the
  colours' order, the DBSCAN warning, the report's thumbnail)
- swatches: how a colour is shown (label contrast, outlines, sort orders,
  match bands)
- charts: chart file names and drawing
- exports: --export, each photo's palette written as a palette file
  (.gpl, .ase, .css, .json, .hex, swatch .png and .svg)
- report: --report FILE.html, the page of a run
- terminal: --color, the colour depth of the tables' swatches
- progress: the progress bar on standard error
- entry: main(), which ties the above together
"""

from velmora_huebit.cli.entry import main

__all__ = ["main"]

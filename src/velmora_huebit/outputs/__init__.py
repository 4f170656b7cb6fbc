"""What results become: records and tidy rows, Parquet and CSV tables kept
safe in a journal, palette files, charts and the HTML report. Raises the
library's SettingError and OutputError (velmora_huebit.errors); stands on
analysis, colour and photos.

- records: the record of one photo, as plain data (the command line's JSON)
- tidy: the rows of a table, one per photo and colour or target
- parquet, csvfile: the table file formats
- store: a table kept safe from a killed run in a journal, and resumed
- remote: a table in object storage, through a local cache folder
- exports: each photo's palette as a palette file (.gpl, .ase, .css, .json,
  .hex, swatch .png and .svg)
- charts: chart file names and drawing
- report: the HTML page of a run
- folders: the folders of output files, made as needed
- search: the photos of a table near a colour, by ΔE2000 in DuckDB
- guard: what a run may write (never a photo of the run; an existing file
  only with --overwrite)
"""

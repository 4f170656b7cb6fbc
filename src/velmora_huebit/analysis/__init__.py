"""What one image's colours are: the palette engine's records, matching
against target colours, and the module's ColorExtractor as the other
engine. Stands on photos (reading files) and colour (names).

- palette: palette(), the dominant colours of one image, and the pieces the
  runs share (prepare, dominant_colors, color_records)
- shares: the palette's shares counted on more of the photo than it was
  found on (a large JPEG's own full-size pixels, or a larger decode; the
  engine's count_nearest)
- engines: which engine analyses a run's photos (the palette engine, the
  default, or the module's ColorExtractor), and what each needs in workers
- match: match() and similarity(), target colours against the palette
  engine's colours with the module's distance, threshold and bands, and the
  command line's engine for match
- job: Job and Outcome, what to do with each photo of a run and what came
  of it, as plain data
- views: what a result becomes besides its record (the colours' order, the
  DBSCAN warning, the report's thumbnail)
"""

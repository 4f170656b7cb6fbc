"""Runs over many photos: one photo's work, the runners that spread it
(this process, a pool of worker processes, a Dask cluster), and the
listing of a run's photos. Progress is a callback the caller supplies.

- work: what happens to one photo (read, analyse, chart), every failure in
  words
- runners: this process or a pool of worker processes (forked from this
  one where that is safe) that survives the death of one
- tasks: the photos of a run with their chart and palette files, listed as
  the run goes
- distributed: the Dask machinery behind velmora_huebit.distributed
- dask_runner: a run's photos as tasks on a Dask cluster
"""

"""Photos analysed on a Dask cluster, for pipelines over many photos.

    from dask.distributed import Client
    from velmora_huebit import palette
    from velmora_huebit.distributed import analyse_photos

    with Client("tcp://scheduler:8786") as client:
        for path, records in analyse_photos(paths, palette, client):
            ...

The analysis is a function of the path, such as ``velmora_huebit.palette``
(the records of the command line's ``extract``; ``functools.partial(palette,
n_colors=3)`` for other settings), or a ``ColorExtractor`` whose method is
called.

Each photo is one task that reads the file on a worker, so the paths must be
valid on the workers; URLs (s3://bucket/key, or any other that fsspec
reads) are read by the workers straight from the bucket. The extractor
travels to every worker once, by pickle, in a worker plugin: workers that
join or restart during the run get it too,
and a task carries only its path. At most a few tasks per worker thread are
in flight: paths are taken from the iterable as earlier photos finish, so a
listing of a million paths never becomes a million futures or results. A
worker that dies costs nothing: Dask runs its tasks again elsewhere, and
every path comes back once.

k-means runs on one thread per task, as in the command line: scikit-learn
sums per OpenMP thread, so a worker's core count could otherwise move a
colour by one step (the palette engine runs on one thread by itself).
"""

from velmora_huebit.runs.distributed import TASKS_PER_THREAD, analyse_photos

__all__ = ["analyse_photos", "TASKS_PER_THREAD"]

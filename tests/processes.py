"""The child processes of a process, from /proc (for tests that kill workers)."""

import pathlib


def children(pid):
    for entry in pathlib.Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        if entry.name.isdigit() and int(stat.rsplit(")", 1)[1].split()[1]) == pid:
            yield int(entry.name)

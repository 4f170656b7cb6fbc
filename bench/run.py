"""Runs every benchmark in this folder (bench_*.py, each with a main())."""

import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main():
    status = 0
    for path in sorted(HERE.glob("bench_*.py")):
        loader_spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(loader_spec)
        loader_spec.loader.exec_module(module)
        print(f"== {path.stem}", flush=True)
        status |= module.main() or 0
    return status


if __name__ == "__main__":
    sys.exit(main())

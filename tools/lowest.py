"""Prints a pip constraints file that pins every dependency of the package
(runtime and the test extra; with --build, the build requirements) to the
lowest version pyproject.toml allows, so that `make floors` proves the
declared floors by building on them and running the suite on them."""

import pathlib
import re
import sys
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]


def lowest_pins(requirements: list[str]) -> list[str]:
    pins = []
    for requirement in requirements:
        found = re.fullmatch(r"([A-Za-z0-9_.\-]+)(\[[^\]]*\])?\s*>=\s*([0-9][0-9.]*)", requirement.strip())
        if found is None:
            sys.exit(f"{requirement!r}: every dependency needs a plain '>=' floor")
        pins.append(f"{found[1]}=={found[3]}")
    return list(dict.fromkeys(pins))  # an extra may repeat another's requirement


def requirements(pyproject: dict, build: bool) -> list[str]:
    if build:
        return list(pyproject["build-system"]["requires"])
    project = pyproject["project"]
    found = list(project["dependencies"])
    for extra in project.get("optional-dependencies", {}).values():
        found += extra
    return found


if __name__ == "__main__":
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    print("\n".join(lowest_pins(requirements(pyproject, build="--build" in sys.argv[1:]))))

"""Prints a pip constraints file that pins every dependency of the package
(runtime and the test extra; with --build, the build requirements) to the
lowest version pyproject.toml allows on a Python version (--python X.Y,
default the running one), so that `make floors` proves the declared floors
by building on them and running the suite on them."""

import argparse
import pathlib
import sys
import tomllib

from packaging.requirements import Requirement

ROOT = pathlib.Path(__file__).resolve().parents[1]


def lowest_pins(requirements: list[str], python: str) -> list[str]:
    pins = []
    for text in requirements:
        requirement = Requirement(text)
        if requirement.marker is not None and not requirement.marker.evaluate({"python_version": python}):
            continue  # a floor for another Python version
        floors = [spec.version for spec in requirement.specifier if spec.operator == ">="]
        if len(floors) != 1 or len(requirement.specifier) != 1:
            sys.exit(f"{text!r}: every dependency needs a plain '>=' floor")
        pins.append(f"{requirement.name}=={floors[0]}")
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
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--build", action="store_true", help="the build requirements")
    parser.add_argument("--python", default="%d.%d" % sys.version_info[:2], metavar="X.Y")
    options = parser.parse_args()
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text())
    print("\n".join(lowest_pins(requirements(pyproject, options.build), options.python)))

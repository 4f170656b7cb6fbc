import pathlib

import cv2
import matplotlib
import pytest

matplotlib.use("Agg")  # charts never open a window under test

DATA = pathlib.Path(__file__).resolve().parent / "data"


@pytest.fixture(scope="session")
def data_dir():
    return DATA


@pytest.fixture(scope="session")
def coffee_path():
    return str(DATA / "coffee.png")


@pytest.fixture(scope="session")
def chelsea_path():
    return str(DATA / "chelsea.png")


@pytest.fixture()
def coffee(coffee_path):
    return cv2.imread(coffee_path)


@pytest.fixture()
def chelsea(chelsea_path):
    return cv2.imread(chelsea_path)

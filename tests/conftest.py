import os
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


@pytest.fixture(scope="session")
def s3_server():
    """A real S3 server (moto's) on 127.0.0.1 for the session, checking every
    request against its users' policies; its admin's keys by default."""
    from s3server import S3Server

    os.environ["AWS_EC2_METADATA_DISABLED"] = "true"  # no credential lookups off this machine
    server = S3Server()
    try:
        server.enforce_access()
        yield server
    finally:
        server.stop()

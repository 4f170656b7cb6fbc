"""A real S3 server for the tests and benchmarks: moto's, in server mode, in
a process of its own on 127.0.0.1 at a free port. Nothing leaves this
machine: the instance-metadata lookup of botocore is turned off, and every
request goes to the server's address."""

from __future__ import annotations

import json
import os
import socket
import subprocess
import sys
import time
import urllib.request

REGION = "us-east-1"


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class S3Server:
    """moto_server in a child process; stop() ends it."""

    def __init__(self):
        for _ in range(5):  # another process may take the port between the probe and the start
            self.port = _free_port()
            self.endpoint = f"http://127.0.0.1:{self.port}"
            self.process = subprocess.Popen(
                [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(self.port)],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if self._wait():
                break
            self.stop()
        else:
            raise RuntimeError("the S3 server (moto) did not start")
        self.keys = ("testing", "testing")

    def _wait(self) -> bool:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self.process.poll() is None:
            try:
                urllib.request.urlopen(self.endpoint + "/moto-api/data.json", timeout=5).read()
                return True
            except OSError:
                time.sleep(0.1)
        return False

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def environment(self, keys: tuple[str, str] | None = None) -> dict:
        """Variables for a process that talks to this server with the given
        keys (the server's own by default), and to nothing else."""
        key, secret = keys or self.keys
        env = {name: value for name, value in os.environ.items() if not name.startswith("AWS_")}
        env.update(AWS_ACCESS_KEY_ID=key, AWS_SECRET_ACCESS_KEY=secret, AWS_DEFAULT_REGION=REGION,
                   AWS_EC2_METADATA_DISABLED="true", AWS_CONFIG_FILE=os.devnull,
                   AWS_SHARED_CREDENTIALS_FILE=os.devnull)
        return env

    def filesystem(self, keys: tuple[str, str] | None = None):
        """An s3fs client of this server."""
        import s3fs

        key, secret = keys or self.keys
        return s3fs.S3FileSystem(key=key, secret=secret, endpoint_url=self.endpoint, skip_instance_cache=True,
                                 use_listings_cache=False)

    def _iam(self, action: str, **fields) -> None:
        import boto3

        client = boto3.client("iam", endpoint_url=self.endpoint, region_name=REGION,
                              aws_access_key_id=self.keys[0], aws_secret_access_key=self.keys[1])
        return getattr(client, action)(**fields)

    def user(self, name: str, buckets: list[str] | None = None) -> tuple[str, str]:
        """Keys of a new user allowed everything on the given buckets (on all
        with None), and nothing else."""
        resources = ["*"] if buckets is None else [f"arn:aws:s3:::{b}{tail}" for b in buckets for tail in ("", "/*")]
        policy = {"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "*" if buckets is None
                                                          else "s3:*", "Resource": resources}]}
        self._iam("create_user", UserName=name)
        self._iam("put_user_policy", UserName=name, PolicyName="access", PolicyDocument=json.dumps(policy))
        created = self._iam("create_access_key", UserName=name)["AccessKey"]
        return created["AccessKeyId"], created["SecretAccessKey"]

    def enforce_access(self) -> None:
        """From now on every request is checked against the users' policies
        (moto's IAM), so keys the server does not know are refused too."""
        self.keys = self.user("admin")
        request = urllib.request.Request(self.endpoint + "/moto-api/reset-auth", data=b"0", method="POST",
                                         headers={"Content-Type": "text/plain"})
        urllib.request.urlopen(request, timeout=10).read()

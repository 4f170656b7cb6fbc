"""What a server is configured with. It travels to uvicorn's worker
processes as JSON in an environment variable (the application is made in
each of them)."""

from __future__ import annotations

import dataclasses
import json
import os

from velmora_huebit.photos.sizing import DEFAULT_MAX_PIXELS
from velmora_huebit.runs.runners import cores

ENVIRONMENT = "VELMORA_HUEBIT_SERVICE"

# Photos above a few tens of MB are not photos a palette needs.
DEFAULT_MAX_BODY = 32 << 20


@dataclasses.dataclass(frozen=True)
class Settings:
    threads: int = 0  # analyses at once in a process; 0: its share of the cores
    queue: int = 256  # analyses waiting for a thread beyond them; past that, 503
    max_body: int = DEFAULT_MAX_BODY  # bytes of a request's body
    max_held: int = 0  # bytes of all bodies held at once, past which 503; 0: four bodies' worth
    max_pixels: int = DEFAULT_MAX_PIXELS  # the command line's pixel limit (0: none)
    timeout: float = 30.0  # seconds for a request: its upload, wait and analysis
    token: str | None = None  # the bearer token /v1/ asks for, if any
    cors: tuple[str, ...] = ()  # origins allowed to call from a browser

    @property
    def thread_count(self) -> int:
        return self.threads or cores()

    @property
    def held_limit(self) -> int:
        return self.max_held or 4 * self.max_body

    def to_json(self) -> str:
        return json.dumps(dataclasses.asdict(self))

    @classmethod
    def from_json(cls, text: str) -> Settings:
        values = json.loads(text)
        values["cors"] = tuple(values.get("cors", ()))
        return cls(**values)

    @classmethod
    def from_environment(cls) -> Settings:
        text = os.environ.get(ENVIRONMENT)
        return cls() if text is None else cls.from_json(text)

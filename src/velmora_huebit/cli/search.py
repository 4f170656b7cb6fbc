"""velmora-huebit search TABLE --near COLOUR: the photos of a table near a
colour (outputs.search), as a table in a terminal or JSON lines."""

from __future__ import annotations

import dataclasses
import json
import sys

from velmora_huebit.cli.arguments import PROG
from velmora_huebit.colour.space import hex_code
from velmora_huebit.errors import MissingExtra
from velmora_huebit.photos.sources import printable


def _error(text: str) -> int:
    print(printable(f"{PROG} search: error: {text}"), file=sys.stderr)
    return 2


def run_search(args) -> int:
    from velmora_huebit.outputs.search import search
    from velmora_huebit.photos.storage import access_options, check_protocol, is_url

    if is_url(args.table):
        missing = check_protocol(args.table)
        if missing:
            return _error(missing)
    try:
        found = search(args.table, args.near, args.within, args.min_share,
                       storage_options=access_options(args.anonymous, args.endpoint_url))
    except MissingExtra as exc:
        return _error(str(exc))
    except (OSError, ValueError) as exc:
        return _error(str(exc))
    if args.json or not sys.stdout.isatty():
        for photo in found:
            print(json.dumps(dataclasses.asdict(photo), ensure_ascii=False))
    else:
        from rich import box
        from rich.table import Table
        from rich.text import Text

        from velmora_huebit.cli.terminal import console

        table = Table(box=box.SIMPLE_HEAD, pad_edge=False,
                      title=f"near {hex_code(args.near)}, ΔE2000 ≤ {args.within:g}", title_justify="left")
        for title in ("ΔE2000", "colour", "name", "share %"):
            table.add_column(title, justify="right" if title in ("ΔE2000", "share %") else "left", no_wrap=True)
        # a long path folds onto more lines rather than losing its end
        table.add_column("photo", overflow="fold")
        for photo in found:
            table.add_row(f"{photo.delta_e:.2f}", photo.hex, photo.name or "", f"{photo.share:.2f}",
                          Text(printable(photo.file) + (" (warning)" if photo.status == "warning" else "")))
        console(highlight=False).print(table)
    print(f"{PROG}: {len(found)} photo{'s' * (len(found) != 1)} near {hex_code(args.near)}", file=sys.stderr)
    return 0

"""velmora-huebit serve: the palette service's settings from the options,
then the server (the service package is imported only here, only then)."""

from __future__ import annotations

import os
import sys

from velmora_huebit.cli.arguments import PROG
from velmora_huebit.runs.runners import cores


def serve(args) -> int:
    try:
        from velmora_huebit.service.server import serve as run
        from velmora_huebit.service.settings import Settings
    except ImportError as exc:
        print(f"{PROG} serve: error: needs the service extra ({exc.name} is missing): "
              "pip install 'velmora_huebit[service]'", file=sys.stderr)
        return 2
    given = {"queue": args.queue, "max_body": args.max_body, "max_pixels": args.max_pixels,
             "timeout": args.timeout}
    # the cores shared among the processes, unless said
    threads = args.threads or max(1, cores() // args.workers)
    settings = Settings(threads=threads, token=args.token or os.environ.get("VELMORA_HUEBIT_TOKEN") or None,
                        cors=tuple(args.cors or ()), **{k: v for k, v in given.items() if v is not None})
    print(f"{PROG}: serving on http://{args.host}:{args.port}/ ({args.workers} "
          f"{'process' if args.workers == 1 else 'processes'}, {threads} "
          f"{'thread' if threads == 1 else 'threads'} each); Ctrl-C stops", file=sys.stderr, flush=True)
    try:
        run(settings, args.host, args.port, args.workers, args.max_connections, args.log_level)
    except KeyboardInterrupt:
        pass
    return 0

"""search(): the photos of an --output table (extract) whose palette holds
a colour near a given one, by CIEDE2000, worked out by DuckDB in this
process from the table's L*a*b* columns (or from r, g and b in a table
written before they came).

Each photo's nearest colour among those of at least min_share percent
counts; photos whose nearest colour lies within ΔE2000 `within` are
ranked by that ΔE2000 (closest first), then by the colour's share (largest
first), then by file. A table in a bucket (s3://...) is fetched to a
temporary file first (DuckDB reads buckets only through an extension it
downloads)."""

from __future__ import annotations

import dataclasses
import os
import tempfile
from typing import Any

from velmora_huebit.colour.space import lab
from velmora_huebit.errors import MissingExtra

DEFAULT_WITHIN = 10.0  # ΔE2000: "similar"; 2 is a match to the eye, 5 close

# CIE L*a*b* (D65) of sRGB r, g, b 0-255, as colour.space works it out
_LAB_MACROS = """
create or replace temp macro vh_lin(c) as
    case when c / 255.0 <= 0.04045 then c / 255.0 / 12.92 else pow((c / 255.0 + 0.055) / 1.055, 2.4) end;
create or replace temp macro vh_f(t) as
    case when t > 216.0 / 24389 then cbrt(t) else (24389.0 / 27 * t + 16) / 116 end;
create or replace temp macro vh_fx(r, g, b) as
    vh_f((0.4124564 * vh_lin(r) + 0.3575761 * vh_lin(g) + 0.1804375 * vh_lin(b)) / 0.95047);
create or replace temp macro vh_fy(r, g, b) as
    vh_f(0.2126729 * vh_lin(r) + 0.7151522 * vh_lin(g) + 0.0721750 * vh_lin(b));
create or replace temp macro vh_fz(r, g, b) as
    vh_f((0.0193339 * vh_lin(r) + 0.1191920 * vh_lin(g) + 0.9503041 * vh_lin(b)) / 1.08883);
"""

# CIEDE2000 (kL = kC = kH = 1) of each colour (l1, a1, b1) against the
# target (L2, A2, B2, filled in), one step a layer, as colour.space.ciede2000
_CIEDE2000 = """
s1 as (select *, sqrt(a1 * a1 + b1 * b1) as c1 from colours),
s2 as (select *, pow((c1 + {C2}) / 2, 7) as cm7 from s1),
s3 as (select *, 0.5 * (1 - sqrt(cm7 / (cm7 + 6103515625.0))) as g from s2),
s4 as (select *, (1 + g) * a1 as ap1, (1 + g) * {A2} as ap2 from s3),
s5 as (select *, sqrt(ap1 * ap1 + b1 * b1) as cp1, sqrt(ap2 * ap2 + {B2} * {B2}) as cp2,
              degrees(atan2(b1, ap1)) as h1r, degrees(atan2({B2}, ap2)) as h2r from s4),
s6 as (select *, case when h1r < 0 then h1r + 360 else h1r end as hp1,
              case when h2r < 0 then h2r + 360 else h2r end as hp2, cp1 * cp2 = 0 as grey from s5),
s7 as (select *, case when grey then 0 when hp2 - hp1 > 180 then hp2 - hp1 - 360
                      when hp2 - hp1 < -180 then hp2 - hp1 + 360 else hp2 - hp1 end as dhp,
              (l1 + {L2}) / 2 as lm, (cp1 + cp2) / 2 as cm,
              case when grey then hp1 + hp2 when abs(hp1 - hp2) <= 180 then (hp1 + hp2) / 2
                   when hp1 + hp2 < 360 then (hp1 + hp2 + 360) / 2 else (hp1 + hp2 - 360) / 2 end as hm
       from s6),
s8 as (select *, {L2} - l1 as dl, cp2 - cp1 as dc, 2 * sqrt(cp1 * cp2) * sin(radians(dhp / 2)) as dh,
              1 - 0.17 * cos(radians(hm - 30)) + 0.24 * cos(radians(2 * hm))
                + 0.32 * cos(radians(3 * hm + 6)) - 0.20 * cos(radians(4 * hm - 63)) as t,
              30 * exp(-pow((hm - 275) / 25, 2)) as dtheta, pow(cm, 7) as cm7b from s7),
s9 as (select *, 1 + 0.015 * pow(lm - 50, 2) / sqrt(20 + pow(lm - 50, 2)) as sl, 1 + 0.045 * cm as sc,
              1 + 0.015 * cm * t as sh,
              -sin(radians(2 * dtheta)) * 2 * sqrt(cm7b / (cm7b + 6103515625.0)) as rt from s8),
measured as (select *, sqrt(pow(dl / sl, 2) + pow(dc / sc, 2) + pow(dh / sh, 2)
                             + rt * (dc / sc) * (dh / sh)) as delta_e from s9)
"""

NEEDED = ("file", "status", "rank", "hex", "r", "g", "b", "share")


@dataclasses.dataclass(frozen=True)
class Found:
    """A photo of search(): its nearest colour to the one searched for."""

    file: str
    delta_e: float  # CIEDE2000 from the colour searched for
    hex: str
    share: float  # percent of the photo's analysed pixels
    rank: int  # of the colour in the photo's palette (1: the largest share)
    name: str | None
    status: str  # "ok", or "warning" for a photo whose palette is doubtful


def _target(near: Any) -> tuple[int, int, int]:
    from velmora_huebit.colour.parse import parse_color

    if isinstance(near, str):
        return parse_color(near)
    rgb = tuple(int(c) for c in near)
    if len(rgb) != 3 or not all(0 <= c <= 255 for c in rgb):
        raise ValueError(f"near must be a colour such as '#000080' or (0, 0, 128), not {near!r}")
    return rgb  # type: ignore[return-value]


def _connect():
    try:
        import duckdb
    except ImportError:
        raise MissingExtra("search needs DuckDB: pip install 'velmora_huebit[search]'") from None
    return duckdb.connect()


def _relation(con, path: str):
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".parquet":
        return con.read_parquet(path)
    if suffix == ".csv":
        return con.read_csv(path, header=True)
    raise ValueError(f"{path}: a table of --output is FILE.parquet or FILE.csv")


def _query(con, path: str, target: tuple[int, int, int], within: float, min_share: float,
           shown: str | None = None) -> list[Found]:
    import duckdb

    try:
        relation = _relation(con, path)
    except duckdb.Error as exc:
        raise ValueError(f"{shown or path}: cannot read it as a table ({str(exc).splitlines()[0]})") from None
    path = shown or path
    columns = set(relation.columns)
    missing = [name for name in NEEDED if name not in columns]
    if missing:
        raise ValueError(f"{path}: not a table of extract's colours (no {', '.join(missing)} column)")
    relation.create_view("photos")
    con.execute(_LAB_MACROS)
    if {"lab_l", "lab_a", "lab_b"} <= columns:
        lab_columns = "lab_l as l1, lab_a as a1, lab_b as b1"
    else:  # written before the L*a*b* columns came
        lab_columns = ("116 * vh_fy(r, g, b) - 16 as l1, 500 * (vh_fx(r, g, b) - vh_fy(r, g, b)) as a1, "
                       "200 * (vh_fy(r, g, b) - vh_fz(r, g, b)) as b1")
    name = "name" if "name" in columns else "null as name"
    l2, a2, b2 = lab(target)
    constants = {"L2": repr(l2), "A2": repr(a2), "B2": repr(b2), "C2": repr((a2 * a2 + b2 * b2) ** 0.5)}
    sql = (f"with colours as (select file, status, rank, hex, share, {name}, {lab_columns} from photos "
           f"where status in ('ok', 'warning') and rank is not null and share >= ?),"
           + _CIEDE2000.format(**constants)
           + """, nearest as (
                 select *, row_number() over (partition by file order by delta_e, share desc, rank) as place
                 from measured)
               select file, delta_e, hex, share, rank, name, status from nearest
               where place = 1 and delta_e <= ? order by delta_e, share desc, file""")
    try:
        rows = con.execute(sql, [float(min_share), float(within)]).fetchall()
    except duckdb.Error as exc:
        raise ValueError(f"{path}: cannot search it ({str(exc).splitlines()[0]})") from None
    return [Found(str(f), float(d), str(h), float(s), int(r), n, str(st)) for f, d, h, s, r, n, st in rows]


def search(table: str | os.PathLike[str], near: Any, within: float = DEFAULT_WITHIN, min_share: float = 0.0,
           *, storage_options: dict | None = None) -> list[Found]:
    """The photos of a table that ``velmora-huebit extract --output`` (or
    analyse(table=...)) wrote, Parquet or CSV, local or in a bucket, whose
    palette has a colour within ΔE2000 ``within`` of ``near`` (a colour as
    --target takes it, such as "navy" or "#000080", or (r, g, b)), among
    colours of at least ``min_share`` percent: nearest first (see the top).
    ValueError for a file that is not such a table, MissingExtra without
    DuckDB."""
    target = _target(near)
    for value, what in ((within, "within"), (min_share, "min_share")):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
            raise ValueError(f"{what} must be a number 0 or more, not {value!r}")
    path = os.fspath(table)
    if os.path.splitext(path)[1].lower() not in (".parquet", ".csv"):
        raise ValueError(f"{path}: a table of --output is FILE.parquet or FILE.csv")
    con = _connect()
    try:
        from velmora_huebit.photos.storage import is_url

        if not is_url(path):
            if not os.path.isfile(path):
                raise FileNotFoundError(f"{path}: no such file")
            return _query(con, path, target, within, min_share)
        from velmora_huebit.photos.storage import StorageError, fetch_object, options_for

        with tempfile.TemporaryDirectory(prefix="velmora-search-") as folder:
            local = os.path.join(folder, "table" + os.path.splitext(path)[1].lower())
            try:
                fetch_object(path, local, options_for(path, storage_options))
            except StorageError as exc:
                raise OSError(str(exc)) from None
            return _query(con, local, target, within, min_share, shown=path)
    finally:
        con.close()

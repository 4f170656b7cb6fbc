"""Hostile calls of ColorExtractor, drawn with hypothesis.

Every method, the constructor, the pickle hooks and the restore function are
called the way a hostile caller would: arrays of every dtype, shape and
memory layout (sliced, reversed, transposed, broadcast, unaligned, read-only,
huge but empty, too large to copy), ndarray subclasses whose hooks raise,
lie or recurse, subclasses of the built-in types and other objects whose
__int__, __float__, __len__, __iter__, __eq__, __bool__ ... raise or lie,
crafted pickle states, and extractor subclasses whose step overrides raise,
return the wrong thing, hand back hostile arrays or call back into the
extractor. Now and then a module global or a method's __defaults__ is
swapped for the duration of a call.

CALLS maps each target to a strategy of Call values: a description that
names the call (printed when the process dies) and a function that makes it.
Any exception is a fine outcome; only a dead process, a SystemError or a
result of the wrong type is not.
"""

import copy
import itertools
import pickle
from typing import Callable, NamedTuple

import numpy as np
from hypothesis import strategies as st

import velmora_huebit.color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor

UNPICKLE = getattr(cy, "__pyx_unpickle_ColorExtractor")
CODES = (156932187, 95148625, 64660270)


class V(NamedTuple):
    """A drawn value and the words that name it."""

    desc: str
    value: object


class Call(NamedTuple):
    desc: str
    fn: Callable[[], object]
    watched: tuple  # arguments whose reference counts must not grow
    returns: tuple = (object,)  # the types a result may have

    def __repr__(self):
        # Hypothesis prints what it draws; the hostile arguments' own repr may raise
        return self.desc


class Boom(Exception):
    pass


# ---- misbehaving hook bodies ------------------------------------------------

ERRORS = [Boom, ValueError, TypeError, IndexError, KeyError, AttributeError, StopIteration,
          MemoryError, OverflowError, RecursionError, UnicodeEncodeError]
JUNK = [None, 0, -1, 2**70, 1.5, float("nan"), float("inf"), "junk", b"junk", (), [], {},
        (1, 2), [[1, 2, 3]], object(), NotImplemented, Ellipsis, np.float64("nan"),
        np.zeros(3, np.uint8), np.zeros((2, 2, 2, 2)), np.array("x")]


def raiser(error):
    def hook(*args, **kwargs):
        if error is UnicodeEncodeError:
            raise UnicodeEncodeError("utf-8", "\udcff", 0, 1, "surrogates not allowed")
        raise error("hostile")
    return hook


def safe_repr(value, width=60):
    try:
        return repr(value)[:width]
    except Exception:
        return f"<{type(value).__name__} with a failing repr>"


def behaviours(good=None):
    """Bodies for a hook: raise, return junk, recurse, or behave for a while."""
    good = good if callable(good) else None
    kinds = [st.sampled_from(ERRORS).map(lambda e: V(f"raise {e.__name__}", raiser(e))),
             st.sampled_from(JUNK).map(lambda j: V(f"return {type(j).__name__}",
                                                   lambda *a, _j=j, **k: _j)),
             st.just(V("recurse", None))]
    if good is not None:
        kinds.append(st.integers(0, 3).map(lambda n: V(f"good {n} times then raise",
                                                       later(good, n))))
    return st.one_of(kinds)


def later(good, n):
    left = itertools.count(n, -1)

    def hook(*args, **kwargs):
        if next(left) <= 0:
            raise Boom("hostile later")
        return good(*args, **kwargs)
    return hook


def install(cls, name, behaviour):
    """Sets a hook on a class; "recurse" calls the hook again on the same object."""
    if behaviour.value is None:
        def hook(self, *args, **kwargs):
            return getattr(self, name)(*args, **kwargs)
    else:
        body = behaviour.value
        def hook(self, *args, **kwargs):
            return body(self, *args, **kwargs)
    if name in ("shape", "dtype"):
        hook = property(hook)
    setattr(cls, name, hook)


# ---- arrays -------------------------------------------------------------------

DTYPES = ["u1"] * 8 + ["i1", "u2", "i2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8",
                       "c16", "?", "O", "U2", "S2", "V2", "u1,u1,u1", "M8[s]", "m8[s]", ">u2",
                       ">f8"] + (["T"] if hasattr(np, "dtypes") and hasattr(np.dtypes, "StringDType")
                                 else [])
LAYOUTS = ["c"] * 6 + ["f", "sliced", "reversed", "transposed", "broadcast", "unaligned",
                       "readonly", "padded-rows"]
ARRAY_HOOKS = ["__array_finalize__", "__array_ufunc__", "__array_function__", "__array_wrap__",
               "__getitem__", "__setitem__", "__len__", "__iter__", "__eq__", "__gt__", "__ne__",
               "__bool__", "astype", "reshape", "tolist", "__array__", "__float__", "__int__",
               "__index__", "__mul__", "__invert__", "shape", "dtype"]


# NumPy 1.x takes at most 32 dimensions, 2.x 64 (more than OpenCV's 32)
MAX_DIMS = 32 if int(np.__version__.split(".")[0]) < 2 else 64


def fill(rng, shape, dtype):
    n = int(np.prod(shape))
    if dtype.kind == "O":
        pool = [1, 2.5, None, "s", object(), float("nan"), 2**80, Sour()]
        return np.array([pool[i] for i in rng.integers(0, len(pool), n)] + [None],
                        dtype=object)[:n].reshape(shape)
    if dtype.kind in "fc" and rng.random() < 0.3:
        values = rng.choice([0, 1, 255, 256, -1, np.nan, np.inf, -np.inf, 1e300], n)
    else:
        values = rng.integers(0, 256, n)
    with np.errstate(all="ignore"):
        try:
            return values.astype(dtype).reshape(shape)
        except (TypeError, ValueError):
            return np.zeros(shape, dtype)


def lay_out(rng, a, layout):
    """The same kind of array in a given memory layout (never out of bounds)."""
    if layout == "f":
        return np.asfortranarray(a)
    if layout == "sliced" and a.ndim:
        axis = min(a.ndim, 2) - 1
        return np.repeat(a, 2, axis=axis)[(slice(None),) * axis + (slice(None, None, 2),)]
    if layout == "reversed" and a.ndim:
        return a[::-1]
    if layout == "transposed" and a.ndim >= 2:
        return np.swapaxes(np.ascontiguousarray(np.swapaxes(a, 0, 1)), 0, 1)
    if layout == "broadcast" and a.ndim:
        return np.broadcast_to(a[:1], a.shape)
    if layout == "unaligned" and a.dtype.itemsize > 1 and a.dtype.kind not in "OT":
        raw = np.zeros(a.nbytes + 1, np.uint8)[1:]
        out = raw.view(a.dtype).reshape(a.shape)
        out[...] = a
        return out
    if layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
        return a
    if layout == "padded-rows" and a.ndim >= 2:
        wide = np.zeros((a.shape[0], a.shape[1] + 3) + a.shape[2:], a.dtype)
        wide[:, :a.shape[1]] = a
        return wide[:, :a.shape[1]]
    return a


@st.composite
def arrays(draw, shapes=None, hostile=True):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    if shapes is None:
        side = st.integers(0, 12)
        shapes = st.one_of(
            st.tuples(side, side, st.just(3)), st.tuples(side, side, st.just(3)),
            st.tuples(side, side), st.tuples(side, side, st.sampled_from([1, 2, 4])),
            st.lists(st.integers(0, 3), max_size=6).map(tuple),
            st.just((1,) * (min(34, MAX_DIMS) - 1) + (3,)))
    shape = draw(shapes)
    size = draw(st.sampled_from(["small"] * 12 + ["huge", "huge-empty"]))
    if size == "huge" and dtype.kind != "O":
        # A view far too large to copy: every copy fails with MemoryError. Its
        # first axis is short, so that a loop over it ends soon.
        big, base = ((2, 2**40, 3), np.zeros(3, dtype)) if len(shape) == 3 else (
            (2, 2**42), np.zeros(1, dtype))
        return V(f"huge broadcast {dtype} {big}", np.broadcast_to(base, big))
    if size == "huge-empty":
        big = (0, 2**40, 3) if draw(st.booleans()) else (2**40, 0, 3)
        return V(f"empty {dtype} {big}", np.broadcast_to(np.zeros(3, dtype), big))
    layout = draw(st.sampled_from(LAYOUTS))
    a = lay_out(rng, fill(rng, shape, dtype), layout)
    desc = f"{dtype} {a.shape} {layout}"
    if hostile and draw(st.integers(0, 3)) == 0:
        return hostile_subclass(draw, a, desc)
    return V(desc, a)


def hostile_subclass(draw, a, desc):
    """The array as an instance of an ndarray subclass with misbehaving hooks."""
    cls = type("HostileArray", (np.ndarray,), {})
    view = a.view(cls)
    hooks = draw(st.lists(st.sampled_from(ARRAY_HOOKS), min_size=1, max_size=3, unique=True))
    named = []
    for name in hooks:
        behaviour = draw(behaviours(good=getattr(np.ndarray, name, None)))
        install(cls, name, behaviour)
        named.append(f"{name}: {behaviour.desc}")
    return V(f"{desc} subclass({'; '.join(named)})", view)


def images():
    return arrays(st.tuples(st.integers(0, 12), st.integers(0, 12), st.just(3)))


def good_image(seed=0, side=8):
    return np.random.default_rng(seed).integers(0, 256, (side, side, 3), dtype=np.uint8)


IMAGE = good_image()


# ---- objects that lie -----------------------------------------------------------

class Sour:
    """An element of object arrays that refuses every comparison and conversion."""

    def __eq__(self, other):
        raise Boom("eq")

    __lt__ = __gt__ = __ne__ = __le__ = __ge__ = __eq__
    __hash__ = object.__hash__

    def __float__(self):
        raise Boom("float")

    __int__ = __index__ = __bool__ = __float__


PROTOCOL = ["__int__", "__index__", "__float__", "__len__", "__iter__", "__getitem__", "__eq__",
            "__lt__", "__gt__", "__bool__", "__hash__", "__array__", "__format__", "__str__",
            "__truediv__", "__mul__", "__sub__", "__round__", "keys", "items", "__fspath__"]


def liar_class(draw):
    """A class whose protocol methods raise, lie or recurse."""
    names = draw(st.lists(st.sampled_from(PROTOCOL), min_size=1, max_size=4, unique=True))
    cls = type("Liar", (), {"__hash__": object.__hash__})
    named = []
    for name in names:
        lie = draw(st.sampled_from(["raise", "junk", "recurse", "huge", "negative", "nonint"]))
        value = {"junk": "junk", "huge": 2**100, "negative": -7, "nonint": 3.5}.get(lie)
        if lie == "raise":
            error = draw(st.sampled_from(ERRORS))
            body = raiser(error)
            lie = f"raise {error.__name__}"
        elif lie == "recurse":
            body = (lambda n: lambda self, *a, **k: getattr(self, n)(*a, **k))(name)
        else:
            body = (lambda v: lambda self, *a, **k: v)(value)
        setattr(cls, name, body)
        named.append(f"{name} {lie}")
    return cls, f"Liar({', '.join(named)})"


@st.composite
def liars(draw):
    cls, desc = liar_class(draw)
    return V(desc, cls())


BUILTIN_HOOKS = ["__eq__", "__hash__", "__len__", "__iter__", "__getitem__", "__int__",
                 "__index__", "__float__", "__format__", "__str__", "__bool__", "__fspath__",
                 "__lt__", "__gt__", "keys", "items", "__contains__", "__array__", "encode",
                 "__truediv__", "__mul__", "__round__"]


@st.composite
def hostile_builtin(draw, base, value):
    """`value` as an instance of a subclass of its built-in type whose
    overrides raise, return the wrong thing or recurse."""
    cls = type(f"Hostile{base.__name__}", (base,), {})
    hooks = draw(st.lists(st.sampled_from(BUILTIN_HOOKS), min_size=1, max_size=3, unique=True))
    named = []
    for name in hooks:
        behaviour = draw(behaviours(good=getattr(base, name, None)))
        install(cls, name, behaviour)
        named.append(f"{name}: {behaviour.desc}")
    try:
        obj = cls(value)
    except Exception:  # a raising __hash__ or __iter__ can spoil construction itself
        cls = type(f"Hostile{base.__name__}", (base,), {})
        obj = cls(value)
        named = ["plain"]
    return V(f"{base.__name__} subclass({'; '.join(named)}) of {safe_repr(value)}", obj)


def maybe_hostile(value):
    """The value itself most of the time, else a hostile subclass of its type or a liar."""
    options = [st.just(V(safe_repr(value), value))] * 3
    base = type(value)
    if base in (int, float, str, tuple, list, dict):
        options.append(hostile_builtin(base, value))
    options.append(liars())
    return st.one_of(options)


def junk():
    return st.one_of(st.sampled_from(JUNK).map(lambda j: V(f"junk {type(j).__name__}", j)),
                     liars())


# ---- paths ----------------------------------------------------------------------

# Files that the runner writes into its working folder first (write_files).
PATHS = ["small.png", "small.png", "mask.png", "small.png\udcff", "x\udcff.png", "\udc80",
         "small.png\x00.txt", "x\x00.png", "", "/", ".", "/nonexistent/photo.png", "text.png",
         "x" * 5000, "\u2603.png", "/dev/null", "/dev/zero", "fifo", "socket"]


def write_files():
    import cv2
    cv2.imwrite("small.png", good_image(1, 6))
    cv2.imwrite("mask.png", np.where(good_image(2, 6) > 128, 255, 0).astype(np.uint8))
    with open("text.png", "w") as f:
        f.write("not an image")
    # a FIFO and a socket: reading them would block
    import os
    import socket
    if not os.path.exists("fifo"):
        os.mkfifo("fifo")
    if not os.path.exists("socket"):
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind("socket")


def paths():
    path = st.sampled_from(PATHS)
    return st.one_of(path.map(lambda p: V(safe_repr(p), p)),
                     path.flatmap(lambda p: hostile_builtin(str, p)))


# ---- extractors -------------------------------------------------------------------

STEPS = ["_preprocess_image", "_convert_to_feature_space", "_apply_mask", "_extract_pixels",
         "_calculate_percentages", "_color_distance_lab"]
OVERRIDABLE = STEPS + ["_cluster_colors_kmeans", "_cluster_colors_dbscan", "_find_closest_color",
                       "extract_colors"]


def call_back(self):
    """Calls back into the extractor, which may reach the override again."""
    return self.extract_colors(IMAGE[:3, :3])


def call_back_matches(self):
    return self.find_color_matches(IMAGE[:2, :2], {"t": (1, 2, 3)})


@st.composite
def override(draw, name):
    """A body for an override of `name`."""
    base = getattr(ColorExtractor, name)
    kind = draw(st.sampled_from(["super", "raise", "return", "array", "call back", "call back",
                                 "later", "not callable", "pair"]))
    if kind == "super":
        return "super", lambda self, *a: base(self, *a)
    if kind == "raise":
        error = draw(st.sampled_from(ERRORS))
        return f"raise {error.__name__}", (lambda r: lambda self, *a: r())(raiser(error))
    if kind == "return":
        value = draw(junk())
        return f"return {value.desc}", lambda self, *a: value.value
    if kind == "array":
        value = draw(arrays())
        return f"return array {value.desc}", lambda self, *a: value.value
    if kind == "call back":
        back = draw(st.sampled_from([call_back, call_back_matches]))
        return f"call {back.__name__}", lambda self, *a: back(self)
    if kind == "later":
        n = draw(st.integers(0, 2))
        return f"super {n} times then raise", later(lambda self, *a: base(self, *a), n)
    if kind == "not callable":
        return "not callable", draw(st.sampled_from([5, None, property(raiser(Boom))]))
    # a pair of hostile values, for steps whose result is unpacked
    first, second = draw(st.one_of(arrays(), junk())), draw(st.one_of(arrays(), junk()))
    shape = draw(st.sampled_from(["tuple", "list", "triple", "generator"]))
    if shape == "generator":
        def gen(self, *a):
            yield first.value
            raise Boom("hostile generator")
        return f"generator of {first.desc}", gen
    items = (first.value, second.value) + ((None,) if shape == "triple" else ())
    made = list(items) if shape == "list" else items
    return f"{shape} ({first.desc}, {second.desc})", lambda self, *a: made


@st.composite
def extractors(draw):
    n_colors = draw(st.sampled_from([5, 3, 1] * 4 + [0, -1, 200, 2**31 - 1, -2**31]))
    algorithm = draw(st.sampled_from(["kmeans"] * 6 + ["dbscan"] * 3 + [
        "meanshift", None, "", "KMeans", "kmeans\x00"]))
    pre, lab = draw(st.booleans()), draw(st.booleans())
    settings = f"({n_colors}, {algorithm!r}, {pre}, {lab})"
    kind = draw(st.sampled_from(["plain"] * 3 + ["blank", "subclass", "subclass", "restored"]))
    if kind == "blank":
        return V("ColorExtractor.__new__()", ColorExtractor.__new__(ColorExtractor))
    if kind == "restored":
        state = (algorithm, lab, n_colors, pre)
        return V(f"restored{settings}", UNPICKLE(ColorExtractor, draw(st.sampled_from(CODES)),
                                                 state))
    if kind == "plain":
        return V(f"ColorExtractor{settings}", ColorExtractor(n_colors, algorithm, pre, lab))
    names = draw(st.lists(st.sampled_from(OVERRIDABLE), max_size=3, unique=True))
    namespace, named = {}, []
    for name in names:
        desc, body = draw(override(name))
        namespace[name] = body
        named.append(f"{name}: {desc}")
    if draw(st.integers(0, 5)) == 0:
        namespace["__getattribute__"] = hostile_getattribute(draw(st.sampled_from(STEPS)))
        named.append("__getattribute__ raises for a step")
    cls = type("HostileExtractor", (ColorExtractor,), namespace)
    obj = cls(n_colors, algorithm, pre, lab)
    obj.attribute = draw(st.sampled_from([1, "x", None]))
    return V(f"subclass({'; '.join(named)}){settings}", obj)


def hostile_getattribute(name):
    def __getattribute__(self, attr):
        if attr == name:
            raise Boom(attr)
        return object.__getattribute__(self, attr)
    return __getattribute__


# ---- arguments of the methods -----------------------------------------------------
#
# Each argument is drawn as a good value most of the time and as a hostile one
# now and then, so that most calls get past the first check and deep into the
# pipeline with one bad part.

class Arg(NamedTuple):
    good: st.SearchStrategy
    hostile: st.SearchStrategy


def good_images():
    """8 x 8 photos, some of them all black (no pixels survive)."""
    return st.tuples(st.integers(0, 2**16), st.sampled_from([8] * 6 + [1, 3])).map(
        lambda p: V(f"{p[1]}x{p[1]} image {p[0]}",
                    good_image(p[0], p[1]) * (p[0] % 7 != 0)))


def good_masks():
    side = st.just(8)
    return st.one_of(st.just(V("None", None)), st.just(V("None", None)),
                     arrays(st.one_of(st.tuples(side, side), st.tuples(side, side, st.just(3))),
                            hostile=False).filter(lambda v: v.value.dtype == np.uint8))


def image_args():
    return st.one_of(images(), arrays(), paths(), junk())


def mask_args():
    side = st.integers(0, 12)
    mask_shapes = st.one_of(st.tuples(side, side), st.tuples(side, side, st.just(3)),
                            st.just((8, 8)), st.just((8, 8, 3)))
    return st.one_of(arrays(mask_shapes), paths(), junk())


def good_colours():
    return st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255))


def colours():
    """Things that should be RGB triples."""
    triple = st.tuples(*[st.sampled_from([0, 255, -1, 256, 2**70, 1.5, float("nan")])] * 3)
    return st.one_of(triple.flatmap(maybe_hostile), good_colours().flatmap(maybe_hostile),
                     arrays(st.just((3,))), arrays(st.sampled_from([(), (2,), (4,), (1, 3)])),
                     junk())


def colour_arrays():
    return good_colours().map(lambda c: V(f"array{c}", np.array(c)))


def good_records():
    record = st.tuples(good_colours(), st.sampled_from([50.0, 30, 20.0, 5.0, 5.01, 0.0, 100]))
    return st.lists(record, min_size=1, max_size=4).map(lambda rs: V(
        f"records {rs}", [{"color": c, "percentage": p} for c, p in rs]))


def records():
    record = st.fixed_dictionaries(
        {"color": colours().map(lambda v: v.value),
         "percentage": st.sampled_from([50.0, 0, 5.0, 100, -5, float("nan"), float("inf"),
                                        1e308, "x", None, 2**70, np.float64(3)])},
        optional={"extra": st.just(1)})
    one = st.one_of(record.map(lambda r: V("record", r)),
                    record.flatmap(lambda r: hostile_builtin(dict, r)),
                    st.sampled_from([{}, {"color": (1, 2, 3)}, {"percentage": 5.0}])
                    .map(lambda r: V(f"partial {r}", r)),
                    junk())
    lists = st.lists(one, max_size=4).map(
        lambda rs: V(f"[{', '.join(r.desc for r in rs)}]", [r.value for r in rs]))
    return st.one_of(lists, lists, lists.flatmap(lambda v: hostile_builtin(list, v.value)),
                     junk())


def good_targets():
    names = st.sampled_from(["red", "cream", "leaf green"])
    return st.dictionaries(names, good_colours(), max_size=3).map(lambda d: V(f"{d}", d))


def target_dicts():
    name = st.one_of(st.sampled_from(["red", "", "\udcff", 0, None]).map(lambda k: V(repr(k), k)),
                     st.just("red").flatmap(lambda k: hostile_builtin(str, k)))
    pairs = st.lists(st.tuples(name, colours()), max_size=3)

    def build(items):
        d = {}
        for k, v in items:
            try:
                d[k.value] = v.value
            except Exception:  # a key whose __hash__ or __eq__ raises stays out
                pass
        return V("{" + ", ".join(f"{k.desc}: {v.desc}" for k, v in items) + "}", d)
    built = pairs.map(build)
    return st.one_of(built, built, built.flatmap(lambda v: hostile_builtin(dict, v.value)),
                     junk())


def thresholds():
    return st.one_of(st.sampled_from([0.0, -0.0, -1.0, 1e308, float("nan"), float("inf"), 10,
                                      2**2000, True]).map(lambda t: V(repr(t)[:20], t)),
                     st.just(50.0).flatmap(lambda t: hostile_builtin(float, t)), junk())


def good_pixels():
    return st.tuples(st.integers(0, 2**16), st.integers(0, 60)).map(lambda p: V(
        f"{p[1]} pixels", np.random.default_rng(p[0]).integers(0, 256, (p[1], 3), dtype=np.uint8)))


def pixel_args():
    return st.one_of(arrays(st.tuples(st.integers(0, 60), st.just(3))), arrays(), junk())


def good_labels():
    return st.lists(st.integers(-1, 3), max_size=30).map(lambda ls: V(f"labels {ls}",
                                                                      np.array(ls, dtype=int)))


def label_args():
    n = st.integers(0, 30)
    return st.one_of(arrays(st.tuples(n)), arrays(st.tuples(n, st.integers(1, 2))), junk())


def const(*values):
    return st.sampled_from(values).map(lambda v: V(repr(v), v))


IMAGE_ARG = Arg(good_images(), image_args())
MASK_ARG = Arg(good_masks(), mask_args())
TARGETS_ARG = Arg(good_targets(), target_dicts())
RECORDS_ARG = Arg(good_records(), records())
SAVE_PATH_ARG = Arg(const(None, None, None, ""), st.one_of(
    const("chart.png", "x\udcff.png", "/nonexistent/dir/c.png", "c.nope", 42),
    st.just("c.png").flatmap(maybe_hostile)))


# ---- calls ----------------------------------------------------------------------------

def method_call(name, *arguments):
    """Calls of one method with drawn arguments, sometimes by keyword, sometimes
    with one argument too many or too few, sometimes unbound on a wrong object."""

    @st.composite
    def draw_call(draw):
        receiver = draw(extractors())
        args = [draw(a.good if draw(st.integers(0, 3)) else a.hostile) for a in arguments]
        count = draw(st.sampled_from(["all"] * 10 + ["fewer", "more"]))
        if count == "fewer" and args:
            args = args[:draw(st.integers(0, len(args) - 1))]
        elif count == "more":
            args = args + [V("extra", 1)]
        values = [a.value for a in args]
        code = getattr(ColorExtractor, name).__code__
        params = code.co_varnames[1:code.co_argcount]
        by_keyword = draw(st.booleans()) and len(values) <= len(params)
        unbound = draw(st.integers(0, 20)) == 0
        desc = f"{receiver.desc}.{name}({', '.join(a.desc for a in args)})"
        obj = receiver.value
        if unbound:
            obj = draw(junk()).value
            desc = f"ColorExtractor.{name}(<junk self>, ...) for " + desc

        def fn():
            method = getattr(ColorExtractor, name) if unbound else getattr(obj, name)
            if unbound:
                return method(obj, *values)
            if by_keyword:
                return method(**dict(zip(params, values)))
            return method(*values)
        overridden = getattr(type(obj), name, None) is not getattr(ColorExtractor, name)
        returns = RESULT_TYPES[name] if unbound or not overridden else (object,)
        return Call(desc, with_swaps(draw, fn), tuple(values), returns)
    return draw_call()


SWAPPABLE = ["np", "cv2", "plt", "KMeans", "DBSCAN", "StandardScaler",
             "__pyx_unpickle_ColorExtractor"]


def with_swaps(draw, fn):
    """Now and then a module global or a method's __defaults__ is swapped for
    the call."""
    what = draw(st.sampled_from(["none"] * 14 + ["global", "defaults"]))
    if what == "global":
        name = draw(st.sampled_from(SWAPPABLE))
        replacement = draw(st.one_of(junk(), st.just(V("deleted", None))))

        def swapped():
            saved = cy.__dict__[name]
            if replacement.desc == "deleted":
                del cy.__dict__[name]
            else:
                cy.__dict__[name] = replacement.value
            try:
                return fn()
            finally:
                cy.__dict__[name] = saved
        return swapped
    if what == "defaults":
        method = getattr(ColorExtractor, draw(st.sampled_from(
            ["extract_colors", "_extract_pixels", "analyze_color_similarity",
             "find_color_matches", "visualize_colors"])))
        defaults = draw(st.sampled_from([None, (), (1, 2, 3, 4, 5), (Boom,), ("mask.png",)]))

        def swapped():
            saved = method.__defaults__
            method.__defaults__ = defaults
            try:
                return fn()
            finally:
                method.__defaults__ = saved
        return swapped
    return fn


def constructor_calls():
    value = st.one_of(st.sampled_from([5, 0, -1, 2**31, -2**31 - 1, 3.9, float("nan"),
                                       float("inf"), True, "3", None, b"5"])
                      .map(lambda v: V(safe_repr(v), v)),
                      st.just(5).flatmap(maybe_hostile), junk())
    algorithm = st.one_of(st.sampled_from(["kmeans", "dbscan", None, b"kmeans"])
                          .map(lambda v: V(repr(v), v)),
                          st.just("kmeans").flatmap(maybe_hostile))

    @st.composite
    def draw_call(draw):
        args = draw(st.tuples(value, algorithm, junk(), junk()))
        n = draw(st.integers(0, 5))
        args = (args + (V("extra", 1),))[:n]
        keywords = draw(st.sampled_from([{}, {"n_colors": 3}, {"colours": 1}, {"lab_space": 0}]))
        again = draw(st.booleans())
        values = [a.value for a in args]
        desc = f"ColorExtractor({', '.join(a.desc for a in args)}, **{keywords})"
        existing = draw(extractors()).value if again else None

        def fn():
            if again:
                return existing.__init__(*values, **keywords)
            return ColorExtractor(*values, **keywords)
        if again:
            desc = "<extractor>.__init__" + desc[len("ColorExtractor"):]
        return Call(desc, fn, tuple(values), (type(None), ColorExtractor))
    return draw_call()


class PickleSub(ColorExtractor):
    """A subclass with an instance dict, importable so that pickles can name it."""


class Abstract(ColorExtractor):
    pass


Abstract.__abstractmethods__ = frozenset({"missing"})


def states():
    """State tuples for __setstate__ and the restore function."""
    algorithm = st.one_of(st.sampled_from(["kmeans", None, b"x", 5]).map(lambda v: V(repr(v), v)),
                          st.just("dbscan").flatmap(maybe_hostile))
    number = st.one_of(st.sampled_from([5, 7.9, 2**31, -2**31, "5", None])
                       .map(lambda v: V(repr(v), v)), st.just(5).flatmap(maybe_hostile))
    flag = st.one_of(st.booleans().map(lambda v: V(repr(v), v)), junk())
    extra = st.one_of(st.sampled_from([{}, {"a": 1}, {1: 2}]).map(lambda v: V(repr(v), v)),
                      st.just({"a": 1}).flatmap(maybe_hostile), junk())

    @st.composite
    def draw_state(draw):
        parts = [draw(algorithm), draw(flag), draw(number), draw(flag), draw(extra), draw(junk())]
        parts = parts[:draw(st.sampled_from([4, 4, 4, 5, 5, 6, 0, 2, 3]))]
        state = tuple(p.value for p in parts)
        desc = f"({', '.join(p.desc for p in parts)})"
        how = draw(st.sampled_from(["tuple"] * 5 + ["hostile", "junk", "list"]))
        if how == "hostile":
            return draw(hostile_builtin(tuple, state))
        if how == "junk":
            return draw(junk())
        return V(f"list{desc}", list(state)) if how == "list" else V(desc, state)
    return draw_state()


class Crafted:
    """Pickles as the given reduce value."""

    def __init__(self, reduce_value):
        self.reduce_value = reduce_value

    def __reduce__(self):
        return self.reduce_value


def pickle_calls():
    @st.composite
    def draw_call(draw):
        kind = draw(st.sampled_from(["setstate", "unpickle", "reduce", "roundtrip", "crafted"]))
        obj = draw(extractors())
        if kind == "setstate":
            state = draw(states())
            name = draw(st.sampled_from(["__setstate__", "__setstate_cython__"]))
            return Call(f"{obj.desc}.{name}({state.desc})",
                        lambda: getattr(obj.value, name)(state.value), (state.value,))
        code = draw(st.one_of(st.sampled_from(CODES + (1, -1, 2**31, 2**64))
                              .map(lambda v: V(hex(v), v)),
                              st.sampled_from(CODES).flatmap(maybe_hostile)))
        cls = draw(st.sampled_from([ColorExtractor, PickleSub, Abstract, int, object, None]))
        if kind == "unpickle":
            state = draw(st.one_of(states(), st.just(V("None", None))))
            return Call(f"__pyx_unpickle_ColorExtractor({cls}, {code.desc}, {state.desc})",
                        lambda: UNPICKLE(cls, code.value, state.value), (code.value,))
        if kind == "reduce":
            name = draw(st.sampled_from(["__reduce__", "__reduce_cython__", "__reduce_ex__"]))
            args = (2,) if name == "__reduce_ex__" else ()
            return Call(f"{obj.desc}.{name}()", lambda: getattr(obj.value, name)(*args), ())
        if kind == "roundtrip":
            how = draw(st.sampled_from(["pickle", "copy", "deepcopy"]))
            protocol = draw(st.integers(0, pickle.HIGHEST_PROTOCOL))

            def roundtrip():
                if how == "pickle":
                    return pickle.loads(pickle.dumps(obj.value, protocol))
                return (copy.copy if how == "copy" else copy.deepcopy)(obj.value)
            return Call(f"{how} {obj.desc}", roundtrip, ())
        # a pickle stream that names the restore function with crafted arguments
        state = draw(st.sampled_from([None, ("kmeans", True, 4, False), ("x",),
                                      ("kmeans", 1, 2**40, 0), (b"x", 1, 2, 3),
                                      ("kmeans", True, 3, False, {"a": 1})]))
        set_state = draw(st.sampled_from([None, ("dbscan", False, 2, True), ["x"], 5]))
        value = (UNPICKLE, (cls, code.value if type(code.value) is int else CODES[0], state))
        if set_state is not None:
            value += (set_state,)
        try:
            data = pickle.dumps(Crafted(value))
        except Exception:
            data = pickle.dumps(None)
        return Call(f"pickle.loads(crafted {safe_repr(value, 200)})", lambda: pickle.loads(data),
                    ())
    return draw_call()


class PerPixel(ColorExtractor):
    """The built-in distance as an override: matching one pixel at a time."""

    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


class WholeArray:
    """cv2 as it is: as the module global, it sends find_color_matches the whole-array way."""

    def __getattr__(self, name):
        import cv2
        return getattr(cv2, name)


def matching_images():
    """Photos in odd layouts, and images narrow and tall enough for the
    banded bilateral filter."""
    photo = st.tuples(st.integers(0, 2**16), st.integers(1, 20), st.integers(1, 20),
                      st.integers(1, 40)).map(lambda p: (
                          p[0], np.random.default_rng(p[0]).integers(
                              0, 256, (p[1], p[2], 3), dtype=np.uint8) // p[3] * p[3]))
    narrow = st.tuples(st.integers(0, 2**16), st.integers(64, 140), st.integers(1, 9)).map(
        lambda p: (p[0], np.random.default_rng(p[0]).integers(0, 256, (p[1], p[2], 3),
                                                               dtype=np.uint8) // 32 * 32))
    laid = st.tuples(st.one_of(photo, photo, narrow),
                     st.sampled_from(["c", "c", "reversed", "transposed", "sliced"]))

    def lay(item):
        (seed, a), layout = item
        if layout == "reversed":
            a = a[::-1, ::-1]
        elif layout == "transposed":
            a = a.transpose(1, 0, 2)
        elif layout == "sliced":
            a = a[:, ::2] if a.shape[1] > 1 else a
        return V(f"{a.shape} {layout} image {seed}", a)
    return laid.map(lay)


@st.composite
def kernel_calls(draw):
    """find_color_matches on distinct values against the pixel-by-pixel path:
    a call whose records differ returns a string, which fails as a result of
    the wrong type."""
    large = draw(st.integers(0, 9)) == 0
    if large:
        # enough pixels to be shared out to helper threads; against the
        # whole-array path, which converts every pixel
        seed = draw(st.integers(0, 2**16))
        size = draw(st.tuples(st.integers(256, 420), st.integers(256, 420)))
        step = draw(st.sampled_from([1, 4, 16, 64]))
        a = np.random.default_rng(seed).integers(0, 256, (*size, 3), dtype=np.uint8) // step * step
        image = V(f"{a.shape} large image {seed} step {step}", a)
    else:
        image = draw(matching_images())
    h, w = image.value.shape[:2]
    mask_kind = draw(st.sampled_from(["none", "none", "2d", "3d", "bool", "short"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    mask = {"none": None, "2d": rng.integers(0, 256, (h, w), dtype=np.uint8),
            "3d": rng.integers(0, 256, (h, w, 3), dtype=np.uint8),
            "bool": rng.integers(0, 2, (h, w)).astype(bool),
            "short": rng.integers(0, 256, (max(h - 1, 0), w), dtype=np.uint8)}[mask_kind]
    value = st.one_of(st.integers(0, 255), st.sampled_from([0.5, 254.9, 255.0, True]))
    plain = st.tuples(value, value, value)
    odd = st.one_of(plain.map(list), plain.map(np.array),
                    st.sampled_from([(256, 0, 0), (-1, 0, 0), (float("nan"), 0, 0),
                                     (float("inf"), 1, 1), (2**70, 0, 0), (1, 2), (1j, 0, 0)]))
    targets = draw(st.dictionaries(st.sampled_from(["a", "b", "c", "d"]),
                                   st.one_of(plain, plain, plain, odd), max_size=4))
    settings = dict(preprocessing=draw(st.booleans()), lab_space=draw(st.booleans()))

    def outcome(cls):
        try:
            return cls(**settings).find_color_matches(image.value, targets, mask)
        except Exception as e:
            return (type(e), str(e))

    def whole_array(cls):
        saved, cy.cv2 = cy.cv2, WholeArray()
        try:
            return outcome(cls)
        finally:
            cy.cv2 = saved

    def fn():
        fast, slow = outcome(ColorExtractor), (whole_array if large else outcome)(
            ColorExtractor if large else PerPixel)
        same = type(fast) is type(slow) and (
            fast == slow if not isinstance(fast, dict) else
            list(fast) == list(slow) and all(
                [(k, type(v), repr(v)) for k, v in fast[n].items()] ==
                [(k, type(v), repr(v)) for k, v in slow[n].items()] for n in fast))
        if not same:
            return f"records differ: {fast!r} != {slow!r}"
        if not isinstance(fast, dict):
            raise fast[0](fast[1])
        return fast
    desc = f"find_color_matches({image.desc}, {targets!r}, {mask_kind} mask, {settings})"
    return Call(desc, fn, (image.value, targets), (dict,))


@st.composite
def lab8_calls(draw):
    """The kernel's own conversions (velmora_huebit._lab8) on buffers of every
    kind; where they take the values, the bytes cv2.cvtColor gives: a call
    whose bytes differ returns a string, which fails as a result of the
    wrong type."""
    import cv2

    from velmora_huebit import _lab8

    seed = draw(st.integers(0, 2**16))
    rng = np.random.default_rng(seed)
    n = draw(st.sampled_from([0, 1, 7, 8, 9, 255, 4096]))
    kind = draw(st.sampled_from(["bytes", "array", "sliced", "readonly", "float", "memoryview",
                                 "odd length", "junk"]))
    data = rng.integers(0, 256, 3 * n, dtype=np.uint8)
    values = {"bytes": data.tobytes(), "array": data.reshape(-1, 3), "sliced": data[::2],
              "readonly": np.frombuffer(data.tobytes(), np.uint8), "float": data.astype(np.float32),
              "memoryview": memoryview(data.tobytes()), "odd length": data.tobytes() + b"x",
              "junk": draw(st.sampled_from([None, 3, "text", [1, 2, 3], object()]))}[kind]
    function = draw(st.sampled_from(["convert", "chain"]))
    name = draw(st.sampled_from(["BGR2LAB", "RGB2LAB", "LAB2RGB", "LabFromBgr", "RgbFromBgr",
                                 "LabRows", "RgbRows", "lab", "", None, 7]))

    def fn():
        result = getattr(_lab8, function)(values, name)
        if function == "convert" and kind in ("bytes", "array", "readonly", "memoryview"):
            row = np.frombuffer(bytes(memoryview(values).cast("B")), np.uint8).reshape(1, -1, 3)
            expected = cv2.cvtColor(row, getattr(cv2, "COLOR_" + name)).tobytes() if n else b""
            if result != expected:
                return "bytes differ from cv2.cvtColor"
        return result
    return Call(f"_lab8.{function}({n} values as {kind}, {name!r}) seed {seed}", fn, (), (bytes, tuple))


CALLS = {
    "constructor": constructor_calls(),
    "pickle": pickle_calls(),
    "_preprocess_image": method_call("_preprocess_image", IMAGE_ARG),
    "_convert_to_feature_space": method_call("_convert_to_feature_space", IMAGE_ARG),
    "_apply_mask": method_call("_apply_mask", IMAGE_ARG, MASK_ARG),
    "_extract_pixels": method_call("_extract_pixels", IMAGE_ARG, MASK_ARG),
    "_cluster_colors_kmeans": method_call("_cluster_colors_kmeans",
                                          Arg(good_pixels(), pixel_args())),
    "_cluster_colors_dbscan": method_call("_cluster_colors_dbscan",
                                          Arg(good_pixels(), pixel_args())),
    "_calculate_percentages": method_call("_calculate_percentages",
                                          Arg(good_labels(), label_args())),
    "extract_colors": method_call("extract_colors", IMAGE_ARG, MASK_ARG),
    "visualize_colors": method_call("visualize_colors", RECORDS_ARG, SAVE_PATH_ARG),
    "_color_distance_lab": method_call("_color_distance_lab", Arg(colour_arrays(), colours()),
                                       Arg(colour_arrays(), colours())),
    "_find_closest_color": method_call("_find_closest_color",
                                       Arg(good_colours().map(lambda c: V(repr(c), c)), colours()),
                                       RECORDS_ARG),
    "analyze_color_similarity": method_call("analyze_color_similarity", IMAGE_ARG, TARGETS_ARG,
                                            MASK_ARG, Arg(const(50.0, 50.0, 10.0), thresholds())),
    "find_color_matches": method_call("find_color_matches", IMAGE_ARG, TARGETS_ARG, MASK_ARG),
    "find_color_matches_kernel": kernel_calls(),
    "lab8": lab8_calls(),
}

# What each method returns when it returns (the built-in bodies, not overrides).
ARRAY_OR_NONE = (np.ndarray, type(None))
RESULT_TYPES = {
    "_preprocess_image": ARRAY_OR_NONE, "_convert_to_feature_space": ARRAY_OR_NONE,
    "_apply_mask": ARRAY_OR_NONE, "_extract_pixels": ARRAY_OR_NONE,
    "_cluster_colors_kmeans": (tuple,), "_cluster_colors_dbscan": (tuple,),
    "_calculate_percentages": (list, type(None)), "extract_colors": (list,),
    "visualize_colors": (type(None),), "_color_distance_lab": (float,),
    "_find_closest_color": (tuple,), "analyze_color_similarity": (dict,),
    "find_color_matches": (dict,), "find_color_matches_kernel": (dict,),
}


# ---- the palette engine and palette() ---------------------------------------------

from velmora_huebit import _engine, palette  # noqa: E402


def colour_counts():
    return st.one_of(const(5, 5, 5, 1, 3, 256), const(0, -1, 257, 2**70, -2**70, 2.5, True, "5", None),
                     st.just(5).flatmap(maybe_hostile))


def flags():
    return st.one_of(st.booleans().map(lambda v: V(repr(v), v)), junk())


def pil_images():
    from PIL import Image

    modes = st.sampled_from(["RGB", "RGBA", "L", "LA", "P", "1", "I;16", "I", "F", "CMYK", "YCbCr"])
    sizes = st.tuples(st.integers(0, 9), st.integers(0, 9))

    def make(mode, size, seed):
        base = Image.fromarray(good_image(seed, 9)).resize((max(1, size[0]), max(1, size[1])))
        try:
            return V(f"PIL {mode} {size}", base.convert(mode).resize(size))
        except Exception:
            return V(f"PIL RGB {size}", base)
    return st.builds(make, modes, sizes, st.integers(0, 2**16))


def image_files():
    """The bytes of image files, whole or cut short."""
    def encode(ext, cut, seed):
        import cv2
        data = cv2.imencode(ext, good_image(seed, 9))[1].tobytes()
        return V(f"{ext} file cut to {cut}", data[:cut] if cut else data)
    return st.builds(encode, st.sampled_from([".png", ".jpg", ".bmp"]), st.sampled_from([0, 0, 1, 40, 200]),
                     st.integers(0, 2**16))


def engine_calls():
    @st.composite
    def draw_call(draw):
        image = draw(IMAGE_ARG.good if draw(st.integers(0, 2)) else IMAGE_ARG.hostile)
        count, mask = draw(colour_counts()), draw(MASK_ARG.good if draw(st.booleans()) else MASK_ARG.hostile)
        if type(mask.value) is np.ndarray and draw(st.booleans()):
            mask = V(f"{mask.desc} as a plane", mask.value[..., 0] if mask.value.ndim == 3 else mask.value)
        rgb = draw(flags())
        by_keyword = draw(st.booleans())
        desc = f"find_palette({image.desc}, {count.desc}, {mask.desc}, rgb={rgb.desc})"

        def fn():
            if by_keyword:
                return _engine.find_palette(image=image.value, n_colors=count.value, mask=mask.value, rgb=rgb.value)
            return _engine.find_palette(image.value, count.value, mask.value, rgb=rgb.value)
        return Call(desc, fn, (image.value, mask.value), (list,))
    return draw_call()


def palette_calls():
    sides = st.one_of(const(256, 256, 0, 4, 1), const(-1, 2**70, True, None, 1.5, "8"))
    channels = st.one_of(const("bgr", "bgr", "rgb"), const("RGB", "", None, 3), st.just("rgb").flatmap(maybe_hostile))

    @st.composite
    def draw_call(draw):
        image = draw(st.one_of(IMAGE_ARG.good, IMAGE_ARG.good, IMAGE_ARG.hostile, pil_images(), pil_images(),
                               image_files(), paths().map(lambda v: V(f"path {v.desc}", v.value))))
        mask = draw(st.one_of(MASK_ARG.good, MASK_ARG.good, MASK_ARG.hostile, pil_images()))
        count, side, order = draw(colour_counts()), draw(sides), draw(channels)
        keep = draw(st.one_of(st.booleans().map(lambda v: V(repr(v), v)), flags()))
        desc = (f"palette({image.desc}, {count.desc}, mask={mask.desc}, max_side={side.desc}, "
                f"channels={order.desc}, keep_transparent={keep.desc})")

        def fn():
            return palette(image.value, count.value, mask=mask.value, max_side=side.value,
                           channels=order.value, keep_transparent=keep.value)
        return Call(desc, fn, (image.value, mask.value), (list,))
    return draw_call()


CALLS["find_palette"] = engine_calls()
CALLS["palette"] = palette_calls()


def within_calls():
    """The engine's ΔE2000 counting and match() in ΔE2000, hostile arguments."""
    tolerance_sets = st.one_of(const((2, 5, 10), (2.0, 5.0, 10.0), (0, 0, 0), (1, 1, 300)),
                               const((5, 2, 10), (2, 5), (float("nan"), 5, 10), (2, 5, float("inf")), "2,5,10",
                                     None, (-1, 5, 10), (True, 5, 10)),
                               st.just((2, 5, 10)).flatmap(maybe_hostile))
    colour_lists = st.one_of(const([(228, 0, 43)], [], [(0, 0, 0), (255, 255, 255)] * 200),
                             const([(1, 2)], [(256, 0, 0)], [[1, 2, 3]], [(1.5, 2, 3)], "red", None), junk())
    steps = st.one_of(const(1, 1, 2, 7, 2**40), const(0, -1, 2**70, 1.5, None, "2"))
    shares = st.one_of(const(0.5, 0, 100), const(-1, 101, float("nan"), "1", None, True))

    @st.composite
    def draw_call(draw):
        image = draw(IMAGE_ARG.good if draw(st.integers(0, 2)) else IMAGE_ARG.hostile)
        mask = draw(MASK_ARG.good if draw(st.booleans()) else MASK_ARG.hostile)
        if type(mask.value) is np.ndarray and mask.value.ndim == 3 and draw(st.booleans()):
            mask = V(f"{mask.desc} as a plane", mask.value[..., 0])
        tolerances, rgb = draw(tolerance_sets), draw(flags())
        if draw(st.booleans()):
            colours, step = draw(colour_lists), draw(steps)
            desc = f"count_within({image.desc}, {colours.desc}, {tolerances.desc}, {mask.desc}, step={step.desc})"

            def fn():
                return _engine.count_within(image.value, colours.value, tolerances.value, mask.value,
                                            rgb=rgb.value, step=step.value)
            return Call(desc, fn, (image.value, mask.value), (tuple,))
        targets, share = draw(TARGETS_ARG.good if draw(st.booleans()) else TARGETS_ARG.hostile), draw(shares)
        desc = f"match({image.desc}, {targets.desc}, mask={mask.desc}, tolerances={tolerances.desc}, " \
               f"min_share={share.desc})"

        def fn():
            return match(image.value, targets.value, mask=mask.value, tolerances=tolerances.value,
                         min_share=share.value)
        return Call(desc, fn, (image.value, mask.value), (dict,))
    return draw_call()


from velmora_huebit import match  # noqa: E402

CALLS["count_within"] = within_calls()


# ---- the area shrink (photos._area) and the shrink that chooses it -----------------

from velmora_huebit.photos import _area  # noqa: E402
from velmora_huebit.photos.sizing import shrunk  # noqa: E402


def area_calls():
    """_area.shrink into outputs of every size, layout and kind, and shrunk()
    to any size; the images hostile or good (a plane, 1 to 4 channels)."""
    sizes = st.one_of(st.tuples(st.integers(1, 12), st.integers(1, 12)).map(lambda s: V(repr(s), s)),
                      const((0, 3), (3, 0), (-1, 2), (2**31, 2), (1.5, 2), "3x3", None, (1, 2, 3)))

    def outputs(size, channels, layout):
        height, width = size
        out = np.zeros((height, width, channels), np.uint8)
        if layout == "read-only":
            out.flags.writeable = False
        elif layout == "reversed":
            out = out[::-1]
        elif layout == "uint16":
            out = out.astype(np.uint16)
        elif layout == "bytearray":
            return V(f"bytearray({out.size})", bytearray(out.size))
        return V(f"{layout} out {out.shape}", out)

    @st.composite
    def draw_call(draw):
        image = draw(IMAGE_ARG.good if draw(st.integers(0, 2)) else IMAGE_ARG.hostile)
        if type(image.value) is np.ndarray and image.value.ndim == 3 and image.value.size < 1 << 20 \
                and draw(st.booleans()):
            cut = draw(st.integers(1, 4))
            image = V(f"{image.desc} with {cut} channels", np.repeat(image.value[..., :1], cut, axis=2))
        if draw(st.booleans()):  # shrunk() takes what the readers decode (OpenCV would die of worse)
            image, size = draw(IMAGE_ARG.good), draw(sizes)
            desc = f"shrunk({image.desc}, {size.desc})"
            return Call(desc, lambda: shrunk(image.value, size.value), (image.value,), (np.ndarray,))
        size = (draw(st.integers(1, 12)), draw(st.integers(1, 12)))
        out = draw(st.one_of(st.builds(outputs, st.just(size), st.integers(1, 5),
                                       st.sampled_from(["packed", "packed", "read-only", "reversed", "uint16",
                                                        "bytearray"])), junk()))
        desc = f"_area.shrink({image.desc}, {out.desc})"
        return Call(desc, lambda: _area.shrink(image.value, out.value), (image.value, out.value), (type(None),))
    return draw_call()


CALLS["area"] = area_calls()

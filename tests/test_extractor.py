"""Construction of ColorExtractor, its lifecycle, and the dispatch of typed steps."""

import abc
import gc
import warnings

import numpy as np
import pytest

from velmora_huebit.color_extractor_cy import ColorExtractor


def settings(obj):
    """(algorithm, lab_space, n_colors, preprocessing), read through the pickle state."""
    return obj.__reduce__()[-1][:4] if obj.__reduce__()[-1] is not None else \
        obj.__reduce__()[1][2][:4]


def state_of(obj):
    reduced = obj.__reduce__()
    return reduced[2][:4] if len(reduced) == 3 else reduced[1][2][:4]


class TestConstruction:
    def test_defaults(self):
        assert state_of(ColorExtractor()) == ("kmeans", True, 5, True)
        assert state_of(ColorExtractor()) == state_of(ColorExtractor(5, "kmeans", True, True))

    def test_positional_and_keyword(self):
        assert state_of(ColorExtractor(3, "dbscan", False, False)) == ("dbscan", False, 3, False)
        assert state_of(ColorExtractor(lab_space=False, n_colors=7)) == ("kmeans", False, 7, True)

    @pytest.mark.parametrize("value, stored", [(3.9, 3), (-2.7, -2), (True, 1), (0, 0),
                                               (-5, -5), (2**31 - 1, 2**31 - 1),
                                               (-2**31, -2**31), (np.int64(4), 4)])
    def test_n_colors_conversion(self, value, stored):
        assert state_of(ColorExtractor(value))[2] == stored

    @pytest.mark.parametrize("value", ["3", None, [3], b"3", 3j])
    def test_n_colors_not_integer_like(self, value):
        with pytest.raises(TypeError, match=r"^an integer is required$"):
            ColorExtractor(value)

    @pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**80, 1e20])
    def test_n_colors_out_of_range(self, value):
        with pytest.raises(OverflowError):
            ColorExtractor(value)

    def test_int_returning_int_subclass_warns(self):
        class Weird:
            def __int__(self):
                return True
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert state_of(ColorExtractor(Weird()))[2] == 1
        assert [str(w.message) for w in caught] == [
            "__int__ returned non-int (type bool).  The ability to return an instance of a "
            "strict subclass of int is deprecated, and may be removed in a future version of "
            "Python."]
        assert caught[0].category is DeprecationWarning

    def test_int_returning_non_int(self):
        class Bad:
            def __int__(self):
                return 2.0
        with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type float\)$"):
            ColorExtractor(Bad())

    def test_int_raising_propagates(self):
        class Boom:
            def __int__(self):
                raise KeyError("boom")
        with pytest.raises(KeyError):
            ColorExtractor(Boom())

    @pytest.mark.parametrize("value, stored", [([], False), ("no", True), (None, False),
                                               (0.0, False), (np.bool_(True), True)])
    def test_flags_by_truth(self, value, stored):
        obj = ColorExtractor(preprocessing=value, lab_space=value)
        assert state_of(obj)[1] is stored and state_of(obj)[3] is stored

    def test_truth_test_failure_propagates(self):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError
        with pytest.raises(ZeroDivisionError):
            ColorExtractor(lab_space=NoTruth())
        with pytest.raises(ValueError):
            ColorExtractor(preprocessing=np.array([1, 2]))

    @pytest.mark.parametrize("value", ["meanshift", "KMeans", "", None])
    def test_any_algorithm_string_or_none_is_accepted(self, value):
        assert state_of(ColorExtractor(algorithm=value))[0] == value

    def test_algorithm_must_be_exactly_str(self):
        with pytest.raises(TypeError, match=r"^Argument 'algorithm' has incorrect type "
                                            r"\(expected str, got bytes\)$") as info:
            ColorExtractor(algorithm=b"kmeans")
        assert not getattr(info.value, "__notes__", None)

        class Text(str):
            pass
        with pytest.raises(TypeError, match=r"\(expected str, got Text\)\n") as info:
            ColorExtractor(algorithm=Text("kmeans"))
        assert len(info.value.__notes__) == 1 and "subclass" in info.value.__notes__[0]

    def test_conversion_order(self):
        # n_colors, preprocessing, lab_space, algorithm
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError
        with pytest.raises(TypeError, match="an integer is required"):
            ColorExtractor("x", 1, NoTruth(), NoTruth())
        with pytest.raises(ZeroDivisionError):
            ColorExtractor(1, 1, NoTruth(), [])
        with pytest.raises(TypeError, match="algorithm"):
            ColorExtractor(1, 1, True, True)

    @pytest.mark.parametrize("args, kwargs, message", [
        ((1, "kmeans", True, True, 5), {},
         r"^__init__\(\) takes at most 4 positional arguments \(5 given\)$"),
        ((), {"colours": 3}, r"^__init__\(\) got an unexpected keyword argument 'colours'$"),
        ((3,), {"n_colors": 3}, r"^__init__\(\) got multiple values for keyword argument "
                                r"'n_colors'$"),
    ])
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError, match=message):
            ColorExtractor(*args, **kwargs)

    def test_failed_init_leaves_settings(self):
        obj = ColorExtractor(3, "dbscan", False, True)
        with pytest.raises(TypeError):
            obj.__init__(9, 42)
        assert state_of(obj) == ("dbscan", True, 3, False)

    def test_second_init_replaces_everything(self):
        obj = ColorExtractor(3, "dbscan", False, False)
        obj.__init__()
        assert state_of(obj) == ("kmeans", True, 5, True)

    def test_blank_object_from_new(self):
        obj = ColorExtractor.__new__(ColorExtractor)
        assert state_of(obj) == (None, False, 0, False)
        assert obj._preprocess_image(None) is None  # preprocessing off

    def test_abstract_subclass_cannot_be_instantiated(self):
        class Abstract(ColorExtractor, metaclass=abc.ABCMeta):
            @abc.abstractmethod
            def extra(self):
                ...
        with pytest.raises(TypeError, match="abstract"):
            Abstract()


class TestDestruction:
    def test_subclass_finaliser_runs(self):
        seen = []

        class Sub(ColorExtractor):
            def __del__(self):
                seen.append(state_of(self))
        Sub(2, "dbscan")
        gc.collect()
        assert seen == [("dbscan", True, 2, True)]

    def test_finaliser_may_resurrect(self):
        kept = []

        class Sub(ColorExtractor):
            def __del__(self):
                kept.append(self)
        Sub(4)
        gc.collect()
        assert len(kept) == 1 and state_of(kept[0])[2] == 4
        kept.clear()
        gc.collect()

    def test_algorithm_string_is_released(self):
        import sys
        algorithm = "".join(["k", "means"])  # a string of our own
        before = sys.getrefcount(algorithm)
        objs = [ColorExtractor(algorithm=algorithm) for _ in range(50)]
        assert sys.getrefcount(algorithm) == before + 50
        del objs
        assert sys.getrefcount(algorithm) == before


IMAGE = np.full((2, 2, 3), (30, 120, 200), np.uint8)  # fewer pixels than colours: no k-means


class TestDispatch:
    def test_override_runs_when_another_method_calls_the_step(self):
        calls = []

        class Sub(ColorExtractor):
            def _convert_to_feature_space(self, image):
                calls.append(image.shape)
                return np.full((2, 2, 3), 7, np.uint8)
        result = Sub(lab_space=False).extract_colors(IMAGE)
        assert calls == [(2, 2, 3)]
        assert result == [{"color": (7, 7, 7), "percentage": 100.0}]

    def test_call_from_python_runs_the_builtin_body(self):
        class Sub(ColorExtractor):
            def _convert_to_feature_space(self, image):
                return ColorExtractor._convert_to_feature_space(self, image) + 1
        sub = Sub(lab_space=False)
        assert ColorExtractor._convert_to_feature_space(sub, IMAGE)[0, 0].tolist() == [200, 120, 30]
        assert sub._convert_to_feature_space(IMAGE)[0, 0].tolist() == [201, 121, 31]

    def test_subclass_without_overrides_runs_builtin_bodies(self, coffee):
        class Plain(ColorExtractor):
            pass
        small = coffee[::8, ::8]
        assert Plain(3).extract_colors(small) == ColorExtractor(3).extract_colors(small)

    def test_override_assigned_from_the_base_class_counts_as_builtin(self):
        class Sub(ColorExtractor):
            _convert_to_feature_space = ColorExtractor._convert_to_feature_space
        assert Sub(preprocessing=False, lab_space=False).extract_colors(IMAGE) == [
            {"color": (200, 120, 30), "percentage": 100.0}]

    def test_override_set_on_the_instance(self):
        class Sub(ColorExtractor):
            pass
        sub = Sub(lab_space=False)
        sub._convert_to_feature_space = lambda image: np.full((1, 1, 3), 9, np.uint8)
        assert sub.extract_colors(IMAGE) == [{"color": (9, 9, 9), "percentage": 100.0}]

    def test_override_is_looked_up_afresh(self):
        class Sub(ColorExtractor):
            pass
        sub = Sub(lab_space=False)
        first = sub.extract_colors(IMAGE)
        Sub._convert_to_feature_space = lambda self, image: np.full((1, 1, 3), 5, np.uint8)
        try:
            assert sub.extract_colors(IMAGE) == [{"color": (5, 5, 5), "percentage": 100.0}]
        finally:
            del Sub._convert_to_feature_space
        assert sub.extract_colors(IMAGE) == first

    @pytest.mark.parametrize("returned, message", [
        ([1, 2], r"^Cannot convert list to numpy.ndarray$"),
        ("img", r"^Cannot convert str to numpy.ndarray$"),
        (3, r"^Cannot convert int to numpy.ndarray$"),
    ])
    def test_override_returning_a_wrong_type(self, returned, message):
        class Sub(ColorExtractor):
            def _convert_to_feature_space(self, image):
                return returned
        with pytest.raises(TypeError, match=message):
            Sub().extract_colors(IMAGE)

    def test_override_returning_none_passes_the_step(self):
        class Sub(ColorExtractor):
            def _convert_to_feature_space(self, image):
                return None
        # None passes the result rule and fails later, in the pixel step.
        with pytest.raises(AttributeError, match="reshape"):
            Sub().extract_colors(IMAGE)

    def test_override_exception_propagates(self):
        class Sub(ColorExtractor):
            def _convert_to_feature_space(self, image):
                raise LookupError("from override")
        with pytest.raises(LookupError, match="from override"):
            Sub().extract_colors(IMAGE)

    def test_failing_lookup_propagates(self):
        class Sub(ColorExtractor):
            def __getattribute__(self, name):
                if name == "_convert_to_feature_space":
                    raise RuntimeError("lookup failed")
                return super().__getattribute__(name)
        with pytest.raises(RuntimeError, match="lookup failed"):
            Sub().extract_colors(IMAGE)

"""Pickling, copying and restoring ColorExtractor objects."""

import copy
import pickle

import pytest

import velmora_huebit.color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor

UNPICKLE = getattr(cy, "__pyx_unpickle_ColorExtractor")
CODE = 156932187
CHECKSUM_TEXT = ("Incompatible checksums (0x{:x} vs (0x95a985b, 0x5abda51, 0x3daa32e) = "
                 "(algorithm, lab_space, n_colors, preprocessing))")


def state_of(obj):
    reduced = obj.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


class Sub(ColorExtractor):
    pass


class TestReduce:
    def test_setstate_form(self):
        obj = ColorExtractor(3, "dbscan", False, True)
        assert obj.__reduce__() == (UNPICKLE, (ColorExtractor, CODE, None),
                                    ("dbscan", True, 3, False))

    def test_direct_form_for_a_blank_object(self):
        obj = ColorExtractor.__new__(ColorExtractor)
        assert obj.__reduce__() == (UNPICKLE, (ColorExtractor, CODE, (None, False, 0, False)))

    def test_algorithm_none_uses_the_direct_form(self):
        assert ColorExtractor(2, None).__reduce__() == (
            UNPICKLE, (ColorExtractor, CODE, (None, True, 2, True)))

    def test_subclass_carries_its_dict(self):
        obj = Sub(4, None)
        assert obj.__reduce__() == (UNPICKLE, (Sub, CODE, None), (None, True, 4, True, {}))
        obj.label = "kitchen"
        assert obj.__reduce__()[2][4] is obj.__dict__

    def test_both_names_do_the_same(self):
        obj = ColorExtractor(6)
        assert obj.__reduce__() == obj.__reduce_cython__()
        assert ColorExtractor.__reduce__ is not ColorExtractor.__reduce_cython__
        other = ColorExtractor.__new__(ColorExtractor)
        other.__setstate__(("dbscan", 0, 2, 1))
        assert state_of(other) == ("dbscan", False, 2, True)
        other.__setstate_cython__(("kmeans", 1, 3, 0))
        assert state_of(other) == ("kmeans", True, 3, False)

    def test_reduce_takes_no_arguments(self):
        obj = ColorExtractor()
        with pytest.raises(TypeError, match=r"^__reduce_cython__\(\) takes exactly 0 positional "
                                            r"arguments \(1 given\)$"):
            obj.__reduce_cython__(2)
        with pytest.raises(TypeError, match=r"^__reduce_cython__\(\) got an unexpected keyword "
                                            r"argument 'protocol'$"):
            obj.__reduce_cython__(protocol=2)

    def test_reduce_needs_the_restore_global(self, monkeypatch):
        monkeypatch.delattr(cy, "__pyx_unpickle_ColorExtractor")
        with pytest.raises(NameError, match="__pyx_unpickle_ColorExtractor"):
            ColorExtractor().__reduce__()


class TestRoundTrips:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("obj_args", [(), (3, "dbscan", False, True), (0, None, True, False),
                                          (-4, "meanshift", False, False)])
    def test_pickle_every_protocol(self, protocol, obj_args):
        obj = ColorExtractor(*obj_args)
        back = pickle.loads(pickle.dumps(obj, protocol))
        assert type(back) is ColorExtractor and back is not obj
        assert state_of(back) == state_of(obj)

    def test_blank_object_round_trip(self):
        blank = ColorExtractor.__new__(ColorExtractor)
        assert state_of(pickle.loads(pickle.dumps(blank))) == (None, False, 0, False)

    @pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
    def test_copies(self, copier):
        obj = ColorExtractor(7, "dbscan", True, False)
        assert state_of(copier(obj)) == state_of(obj)

    def test_subclass_with_attributes(self):
        obj = Sub(2, "dbscan")
        obj.tags = ["a", "b"]
        for back in (pickle.loads(pickle.dumps(obj)), copy.deepcopy(obj)):
            assert type(back) is Sub
            assert back.tags == ["a", "b"] and back.tags is not obj.tags
            assert state_of(back)[:4] == ("dbscan", True, 2, True)
        assert copy.copy(obj).tags is obj.tags

    def test_stream_names_the_module_functions(self):
        data = pickle.dumps(ColorExtractor(), 0)
        assert b"velmora_huebit.color_extractor_cy" in data
        assert b"__pyx_unpickle_ColorExtractor" in data and b"ColorExtractor" in data

    def test_restored_object_works(self, coffee):
        obj = pickle.loads(pickle.dumps(ColorExtractor(3, preprocessing=False)))
        small = coffee[::10, ::10]
        assert obj.extract_colors(small) == ColorExtractor(3, preprocessing=False).extract_colors(small)


class TestRestore:
    @pytest.mark.parametrize("code", [156932187, 95148625, 64660270])
    def test_accepted_codes(self, code):
        obj = UNPICKLE(ColorExtractor, code, ("kmeans", 1, 4, 0))
        assert state_of(obj) == ("kmeans", True, 4, False)

    def test_keywords_and_none_state(self):
        obj = UNPICKLE(__pyx_type=Sub, __pyx_checksum=CODE, __pyx_state=None)
        assert type(obj) is Sub and state_of(obj)[:4] == (None, False, 0, False)

    @pytest.mark.parametrize("code", [1, 0, 0x95a985c, 2**31 - 1])
    def test_unknown_codes(self, code):
        with pytest.raises(pickle.PickleError) as info:
            UNPICKLE(ColorExtractor, code, None)
        assert str(info.value) == CHECKSUM_TEXT.format(code)

    def test_negative_code_reads_like_python(self):
        with pytest.raises(pickle.PickleError, match=r"\(0x-5 vs"):
            UNPICKLE(ColorExtractor, -5, None)

    @pytest.mark.parametrize("code", [2**31, -2**31 - 1, 2**64])
    def test_code_out_of_range(self, code):
        with pytest.raises(OverflowError):
            UNPICKLE(ColorExtractor, code, None)

    def test_code_through_int(self):
        assert state_of(UNPICKLE(ColorExtractor, 95148625.7, ("a", 0, 1, 0)))[0] == "a"
        with pytest.raises(TypeError, match="an integer is required"):
            UNPICKLE(ColorExtractor, "95148625", None)

    def test_class_must_be_a_color_extractor(self):
        with pytest.raises(TypeError, match="is not a subtype of"):
            UNPICKLE(dict, CODE, None)
        with pytest.raises(TypeError):
            UNPICKLE(42, CODE, None)

    @pytest.mark.parametrize("state, exc, message", [
        (["kmeans", True, 5, True], TypeError, r"^Expected tuple, got list$"),
        ({"algorithm": "kmeans"}, TypeError, r"^Expected tuple, got dict$"),
        ((), IndexError, r"^tuple index out of range$"),
        (("kmeans", True), IndexError, r"^tuple index out of range$"),
        ((b"kmeans", True, 5, True), TypeError, r"^Expected str, got bytes$"),
        (("kmeans", True, "5", True), TypeError, r"^an integer is required$"),
        (("kmeans", True, 2**40, True), OverflowError, None),
    ])
    def test_malformed_states(self, state, exc, message):
        with pytest.raises(exc, match=message):
            UNPICKLE(ColorExtractor, CODE, state)
        obj = ColorExtractor(1, "dbscan")
        with pytest.raises(exc, match=message):
            obj.__setstate_cython__(state)

    def test_setstate_refuses_none(self):
        with pytest.raises(TypeError, match=r"^'NoneType' object is not subscriptable$"):
            ColorExtractor().__setstate__(None)

    def test_state_applies_field_by_field(self):
        obj = ColorExtractor(1, "dbscan", False, False)
        with pytest.raises(TypeError, match="an integer is required"):
            obj.__setstate__(("kmeans", True, "x", True))
        # algorithm and lab_space were written before the failure, nothing after
        assert state_of(obj) == ("kmeans", True, 1, False)
        with pytest.raises(TypeError, match="Expected str, got bytes"):
            obj.__setstate__((b"x", False, 9, True))
        assert state_of(obj) == ("kmeans", True, 1, False)

    def test_n_colors_through_int_and_truth_values(self):
        obj = UNPICKLE(ColorExtractor, CODE, ("dbscan", [], 7.9, "yes"))
        assert state_of(obj) == ("dbscan", False, 7, True)

    def test_extra_elements(self):
        obj = ColorExtractor()
        obj.__setstate__(("kmeans", 1, 2, 1, {"ignored": True}, "more"))
        assert not hasattr(obj, "__dict__")
        sub = Sub()
        sub.__setstate__(("kmeans", 1, 2, 1, {"kept": True}, "more"))
        assert sub.kept is True
        with pytest.raises((TypeError, ValueError)):
            sub.__setstate__(("kmeans", 1, 2, 1, 42))

    def test_setstate_argument_count(self):
        with pytest.raises(TypeError, match=r"^__setstate_cython__\(\) takes exactly 1 "
                                            r"positional argument \(0 given\)$"):
            ColorExtractor().__setstate_cython__()
        ColorExtractor().__setstate_cython__(__pyx_state=("k", 0, 1, 0))

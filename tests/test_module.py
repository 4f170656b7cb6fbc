"""The module as Python sees it: start-up, globals, the class and its methods."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import types
import warnings

import cv2
import numpy as np
import pytest

import velmora_huebit.color_extractor_cy as cy
from velmora_huebit.color_extractor_cy import ColorExtractor

MODULE = "velmora_huebit.color_extractor_cy"
# read outside any class body: the name would be mangled there
UNPICKLE = getattr(cy, "__pyx_unpickle_ColorExtractor")

# name, parameters after self, defaults, annotations
METHODS = [
    ("_preprocess_image", ["image"], None, {}),
    ("_convert_to_feature_space", ["image"], None, {}),
    ("_apply_mask", ["image", "mask"], None, {}),
    ("_extract_pixels", ["image", "mask"], (None,), {}),
    ("_cluster_colors_kmeans", ["pixels"], None, {}),
    ("_cluster_colors_dbscan", ["pixels"], None, {}),
    ("_calculate_percentages", ["labels"], None, {}),
    ("extract_colors", ["image", "mask"], (None,), {}),
    ("visualize_colors", ["colors", "save_path"], (None,),
     {"colors": "List[dict]", "save_path": "Optional[str]"}),
    ("_color_distance_lab", ["color1", "color2"], None, {}),
    ("_find_closest_color", ["target_color", "image_colors"], None,
     {"target_color": "Tuple[int, int, int]", "image_colors": "List[dict]",
      "return": "Tuple[dict, float]"}),
    ("analyze_color_similarity", ["image", "target_colors", "mask", "similarity_threshold"],
     (None, 50.0),
     {"target_colors": "Dict[str, Tuple[int, int, int]]", "similarity_threshold": "float",
      "return": "Dict[str, dict]"}),
    ("find_color_matches", ["image", "target_colors", "mask"], (None,),
     {"target_colors": "Dict[str, Tuple[int, int, int]]", "return": "Dict[str, dict]"}),
    ("__reduce_cython__", [], None, {}),
    ("__setstate_cython__", ["__pyx_state"], None, {}),
]

ONE_LINE_DOCS = {
    "_preprocess_image": "Apply preprocessing for robustness against noise and lighting.",
    "_convert_to_feature_space": "Convert image to appropriate color space for clustering.",
    "_apply_mask": "Apply mask to limit color extraction to specific areas.",
    "_extract_pixels": "Extract valid pixels for clustering.",
    "_cluster_colors_kmeans": "Extract colors using K-means clustering.",
    "_cluster_colors_dbscan": "Extract colors using DBSCAN clustering.",
    "_calculate_percentages": "Calculate color percentages.",
    "visualize_colors": "Visualize extracted colors with percentages.",
    "_color_distance_lab": "Calculate perceptual distance between two colors in LAB space.",
    "_find_closest_color": "Find the closest color in image to target color.",
    "__reduce_cython__": None,
    "__setstate_cython__": None,
}

E8, E12 = " " * 8, " " * 12
MULTI_LINE_DOCS = {
    "extract_colors": "\n".join([
        "", E8 + "Extract dominant colors from image.", E8, E8 + "Args:",
        E12 + "image: Path to image file or numpy array",
        E12 + "mask: Optional mask image (white areas will be analyzed)", E12,
        E8 + "Returns:",
        E12 + "List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}",
        E8]),
    "analyze_color_similarity": "\n".join([
        "", E8 + "Analyze how much each target color appears in the image.", E8, E8 + "Args:",
        E12 + "image: Path to image file or numpy array",
        E12 + "target_colors: Dictionary of color names and RGB values",
        " " * 26 + "e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}",
        E12 + "mask: Optional mask image",
        E12 + "similarity_threshold: Maximum LAB distance to consider colors similar", E12,
        E8 + "Returns:", E12 + "Dictionary with color analysis results", E8]),
    "find_color_matches": "\n".join([
        "", E8 + "Find how much each target color appears in the image with detailed analysis.",
        E8, E8 + "Args:", E12 + "image: Path to image file or numpy array",
        E12 + "target_colors: Dictionary of color names and RGB values",
        E12 + "mask: Optional mask image", E12, E8 + "Returns:",
        E12 + "Dictionary with detailed color matching results", E8]),
}

INIT_DOC = "\n".join([
    "", E8 + "Initialize ColorExtractor with robust color extraction capabilities.", E8,
    E8 + "Args:", E12 + "n_colors: Number of dominant colors to extract",
    E12 + "algorithm: 'kmeans' or 'dbscan' for clustering",
    E12 + "preprocessing: Apply noise reduction and lighting normalization",
    E12 + "lab_space: Use LAB color space for perceptual accuracy", E8])


class TestModuleSurface:
    def test_globals_in_binding_order(self):
        # In a fresh process: other tests here replace globals, which reorders them.
        code = f"import {MODULE} as m; print(' '.join(vars(m)))"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120, check=True)
        names = [n for n in out.stdout.split() if not n.startswith("__") or n in
                 ("__pyx_unpickle_ColorExtractor", "__test__")]
        assert names == ["ColorExtractor", "np", "cv2", "KMeans", "DBSCAN", "StandardScaler",
                         "euclidean_distances", "List", "Tuple", "Optional", "Union", "Dict",
                         "Image", "plt", "__pyx_unpickle_ColorExtractor", "__test__"]

    def test_globals_are_the_packages(self):
        import matplotlib.pyplot
        import PIL.Image
        import sklearn.cluster
        import sklearn.metrics.pairwise
        import sklearn.preprocessing
        import typing
        assert cy.np is np and cy.cv2 is cv2
        assert cy.KMeans is sklearn.cluster.KMeans and cy.DBSCAN is sklearn.cluster.DBSCAN
        assert cy.StandardScaler is sklearn.preprocessing.StandardScaler
        assert cy.euclidean_distances is sklearn.metrics.pairwise.euclidean_distances
        assert (cy.List, cy.Tuple, cy.Optional, cy.Union, cy.Dict) == (
            typing.List, typing.Tuple, typing.Optional, typing.Union, typing.Dict)
        assert cy.Image is PIL.Image
        assert cy.plt is matplotlib.pyplot

    def test_module_extras(self):
        assert cy.__doc__ is None
        assert cy.__test__ == {}
        assert cy.__builtins__ is __import__("builtins")
        assert UNPICKLE.__module__ == MODULE
        assert UNPICKLE.__doc__ is None
        assert UNPICKLE.__code__.co_varnames == (
            "__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError", "__pyx_result")

    def test_second_import_gives_the_same_module(self):
        cls = cy.ColorExtractor
        del sys.modules[MODULE]
        try:
            again = importlib.import_module(MODULE)
            assert again is cy
            assert again.ColorExtractor is cls
        finally:
            sys.modules[MODULE] = cy

    def test_refused_in_a_second_interpreter(self):
        code = textwrap.dedent(f"""
            import {MODULE}
            try:
                import _interpreters as interpreters  # 3.13
                interp = interpreters.create("legacy")
            except ImportError:
                import _xxsubinterpreters as interpreters
                interp = interpreters.create(isolated=False)
            try:
                print(interpreters.run_string(interp, "import {MODULE}"))  # 3.13 returns the error
            except Exception as exc:
                print(type(exc).__name__, exc)
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        assert "Interpreter change detected - this module can only be loaded into one " \
               "interpreter per process." in out.stdout + out.stderr

    def test_missing_package_fails_the_import(self):
        # Pillow is imported although no method uses it.
        code = textwrap.dedent(f"""
            import sys
            sys.modules['PIL'] = None
            try:
                import {MODULE}
            except ImportError as exc:
                print('ImportError', exc)
                for entry in __import__('traceback').extract_tb(exc.__traceback__):
                    print(entry.name)
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        assert out.stdout.startswith("ImportError"), out.stdout + out.stderr
        assert "init velmora_huebit.color_extractor_cy" in out.stdout

    def test_no_version_warning_on_the_build_interpreter(self):
        code = f"import warnings; warnings.simplefilter('error', RuntimeWarning); import {MODULE}"
        out = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                             capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr


class TestClassSurface:
    def test_names_and_doc(self):
        assert ColorExtractor.__module__ == MODULE
        assert ColorExtractor.__name__ == ColorExtractor.__qualname__ == "ColorExtractor"
        assert ColorExtractor.__doc__ is None
        assert ColorExtractor.__init__.__doc__ == INIT_DOC

    def test_no_dict_no_weakrefs_no_attributes(self):
        obj = ColorExtractor()
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            __import__("weakref").ref(obj)
        for field in ("n_colors", "algorithm", "preprocessing", "lab_space"):
            with pytest.raises(AttributeError):
                getattr(obj, field)
            with pytest.raises(AttributeError):
                setattr(obj, field, 1)

    def test_subclass_gains_dict_and_weakrefs(self):
        class Sub(ColorExtractor):
            pass
        obj = Sub()
        obj.note = "kept"
        assert obj.__dict__ == {"note": "kept"}
        assert __import__("weakref").ref(obj)() is obj

    def test_method_order_in_class_dict(self):
        names = [n for n in vars(ColorExtractor) if n in {m[0] for m in METHODS}]
        assert names == [m[0] for m in METHODS]

    def test_pickle_hooks_live_on_the_class(self):
        d = vars(ColorExtractor)
        assert "__reduce__" in d and "__setstate__" in d
        assert list(d).index("__reduce__") < list(d).index("_preprocess_image")

    @pytest.mark.parametrize("name, params, defaults, annotations", METHODS,
                             ids=[m[0] for m in METHODS])
    def test_method_metadata(self, name, params, defaults, annotations):
        func = vars(ColorExtractor)[name]
        assert func.__name__ == name
        assert func.__qualname__ == "ColorExtractor." + name
        assert func.__module__ == MODULE
        assert func.__defaults__ == defaults
        assert func.__annotations__ == annotations
        assert list(func.__annotations__) == list(annotations)
        assert all(type(v) is str for v in func.__annotations__.values())
        expected_doc = ONE_LINE_DOCS.get(name, MULTI_LINE_DOCS.get(name))
        assert func.__doc__ == expected_doc
        assert func.__code__.co_varnames[:len(params) + 1] == ("self", *params)
        assert list(inspect.signature(func).parameters) == ["self", *params]

    @pytest.mark.parametrize("name, locals_", [
        ("_cluster_colors_kmeans", ("unique_colors", "labels", "kmeans", "colors")),
        ("_cluster_colors_dbscan", ("scaler", "pixels_scaled", "dbscan", "labels",
                                    "unique_labels", "colors", "label", "cluster_pixels",
                                    "color", "cluster_sizes", "sorted_indices")),
        ("__reduce_cython__", ("state", "_dict", "use_setstate")),
    ])
    def test_declared_locals(self, name, locals_):
        varnames = getattr(ColorExtractor, name).__code__.co_varnames
        assert varnames[len(varnames) - len(locals_):] == locals_ or \
            varnames[2:2 + len(locals_)] == locals_ or varnames[1:1 + len(locals_)] == locals_

    def test_methods_bind_like_python_functions(self):
        obj = ColorExtractor()
        bound = obj.extract_colors
        assert isinstance(bound, types.MethodType)
        assert bound.__func__ is vars(ColorExtractor)["extract_colors"]
        assert bound.__self__ is obj
        assert ColorExtractor.extract_colors is vars(ColorExtractor)["extract_colors"]

    def test_unbound_call_checks_self(self):
        with pytest.raises(TypeError, match="needs an argument"):
            ColorExtractor.extract_colors()
        with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
            ColorExtractor._convert_to_feature_space(42, None)

    def test_functions_pickle_by_name(self):
        import pickle
        assert pickle.loads(pickle.dumps(ColorExtractor.extract_colors)) is \
            ColorExtractor.extract_colors

    def test_function_attributes_are_writable_like_python_functions(self):
        class Sub(ColorExtractor):
            pass
        func = vars(ColorExtractor)["_extract_pixels"]
        func.tag = "x"
        assert func.tag == "x"
        del func.tag


class TestGlobalsAtTimeOfUse:
    def test_replaced_cv2_is_used_by_the_next_call(self, monkeypatch):
        calls = []

        class FakeCv2:
            COLOR_BGR2LAB = "lab"
            COLOR_BGR2RGB = "rgb"

            def cvtColor(self, image, code):
                calls.append(code)
                return np.zeros((1, 1, 3), np.uint8)

        monkeypatch.setattr(cy, "cv2", FakeCv2())
        ColorExtractor()._convert_to_feature_space(np.zeros((2, 2, 3), np.uint8))
        ColorExtractor(lab_space=False)._convert_to_feature_space(np.zeros((2, 2, 3), np.uint8))
        assert calls == ["lab", "rgb"]

    def test_missing_global_raises_name_error(self, monkeypatch):
        monkeypatch.delattr(cy, "cv2")
        with pytest.raises(NameError, match=r"^name 'cv2' is not defined$"):
            ColorExtractor()._convert_to_feature_space(np.zeros((2, 2, 3), np.uint8))

    def test_builtins_are_the_fallback(self, monkeypatch):
        import builtins
        monkeypatch.delattr(cy, "np")
        monkeypatch.setattr(builtins, "np", np, raising=False)
        assert ColorExtractor()._calculate_percentages(np.array([0, 0, 1])) == \
            [66.66666666666666, 33.33333333333333]

    def test_result_type_rule_applies_to_library_results(self, monkeypatch):
        class FakeCv2:
            COLOR_BGR2LAB = 0

            def cvtColor(self, image, code):
                return [1, 2, 3]

        monkeypatch.setattr(cy, "cv2", FakeCv2())
        with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
            ColorExtractor()._convert_to_feature_space(np.zeros((2, 2, 3), np.uint8))


class TestFeatureSpace:
    def test_lab_encoding_of_black_and_white(self):
        image = np.array([[[0, 0, 0], [255, 255, 255]]], np.uint8)
        out = ColorExtractor()._convert_to_feature_space(image)
        assert out.tolist() == [[[0, 128, 128], [255, 128, 128]]]
        assert out.dtype == np.uint8 and out is not image

    def test_rgb_only_reorders_channels(self):
        image = np.array([[[255, 0, 0], [1, 2, 3]]], np.uint8)
        out = ColorExtractor(lab_space=False)._convert_to_feature_space(image)
        assert out.tolist() == [[[0, 0, 255], [3, 2, 1]]]
        assert image.tolist() == [[[255, 0, 0], [1, 2, 3]]]

    def test_photo_matches_opencv(self, coffee):
        out = ColorExtractor()._convert_to_feature_space(coffee)
        assert np.array_equal(out, cv2.cvtColor(coffee, cv2.COLOR_BGR2LAB))

    def test_keyword_argument_and_subclass_of_ndarray(self):
        class Arr(np.ndarray):
            pass
        image = np.zeros((2, 2, 3), np.uint8).view(Arr)
        assert ColorExtractor()._convert_to_feature_space(image=image).shape == (2, 2, 3)

    @pytest.mark.parametrize("bad", [[1, 2, 3], (1,), "img", 3.5, {}])
    def test_wrong_argument_types(self, bad):
        with pytest.raises(TypeError, match=r"^Argument 'image' has incorrect type "
                                            r"\(expected numpy.ndarray, got \w+\)$"):
            ColorExtractor()._convert_to_feature_space(bad)

    @pytest.mark.parametrize("bad", [None, np.zeros((4, 4), np.uint8),
                                     np.zeros((0, 0, 3), np.uint8),
                                     np.zeros((2, 2, 3), np.complex64)])
    def test_opencv_refusals_pass_through(self, bad):
        with pytest.raises(cv2.error):
            ColorExtractor()._convert_to_feature_space(bad)

// Colour matching: LAB distance, closest colour, similarity analysis and
// pixel matching.
//
// Distances are Euclidean distances between OpenCV's 8-bit L*a*b* encodings
// (black and white lie 255 apart); every threshold here is in those units.
//
// find_color_matches measures every pixel against every target. Through the
// distance step that costs two one-pixel conversions and a handful of NumPy
// calls per pixel and target, so when nobody overrides the step the kernel
// of matching_kernel.cpp measures distinct values instead; with module
// globals replaced it converts all pixels at once through them and takes the
// distances from the 8-bit values itself.
// The two ways give the same records bit for bit: OpenCV converts a whole
// image to the same 8-bit values as one pixel at a time, the target is
// converted by the very calls the step makes, and the squared differences
// and their sum are exact integers in a double, so only the square root
// rounds, in both.
#include "numpy_api.h"
#include "huebit.h"

#include <cmath>
#include <limits>

namespace huebit {
namespace {

const Name np{"np"}, cv2{"cv2"};
const Name cvtColor{"cvtColor"}, COLOR_RGB2LAB{"COLOR_RGB2LAB"}, COLOR_LAB2RGB{"COLOR_LAB2RGB"};
const Name uint8{"uint8"}, array{"array"}, astype{"astype"}, sum{"sum"}, sqrt{"sqrt"},
    argmin{"argmin"}, reshape{"reshape"}, items{"items"};
const Name color_key{"color"}, percentage_key{"percentage"}, similarity_key{"similarity"},
    closest_color_key{"closest_color"}, distance_key{"distance"},
    found_directly_key{"found_directly"};
const Name total_percentage_key{"total_percentage"}, close_percentage_key{"close_percentage"},
    very_close_percentage_key{"very_close_percentage"}, closest_pixel_key{"closest_pixel"},
    min_distance_key{"min_distance"}, similarity_score_key{"similarity_score"};
const Name n_color_distance_lab{"_color_distance_lab"}, n_find_closest_color{"_find_closest_color"},
    n_analyze_color_similarity{"analyze_color_similarity"},
    n_find_color_matches{"find_color_matches"}, n_extract_colors{"extract_colors"};

constexpr double kInf = std::numeric_limits<double>::infinity();

// The step table's failure signal for a double result.
bool failed(double value) { return value == -1.0 && PyErr_Occurred(); }

// max(0, x): the int 0 unless x is above it
Ref at_least_zero(Arg x) {
  Ref zero = py_int(0);
  int positive = truth(compare(x, zero, Py_GT));
  if (positive < 0) return {};
  return positive ? Ref::borrow(x.get()) : zero;
}

// ---- _color_distance_lab ----

double distance_body(PyObject* color1, PyObject* color2) {
  Ref lab1 = convert_color(color1, COLOR_RGB2LAB);
  if (!lab1) return -1.0;
  Ref lab2 = convert_color(color2, COLOR_RGB2LAB);
  if (!lab2) return -1.0;
  // Both as doubles first, so that 8-bit values cannot wrap around.
  PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
  Ref lab1_float = call_method(lab1, astype, {float_type});
  if (!lab1_float) return -1.0;
  Ref difference = binary(lab1_float, call_method(lab2, astype, {float_type}), PyNumber_Subtract);
  Ref two = py_int(2);
  Ref squared = Ref::steal(difference && two ? PyNumber_Power(difference.get(), two.get(), Py_None)
                                             : nullptr);
  if (!squared) return -1.0;
  Ref total = call(global_attr(np, sum), {squared});
  if (!total) return -1.0;
  Ref distance = call(global_attr(np, sqrt), {total});
  double value;
  if (!distance || !as_c_double(distance.get(), &value)) return -1.0;
  return value;
}

PyObject* py_color_distance_lab(PyObject* self, Ref* a) {
  if (!check_ndarray_argument(a[0].get(), "color1") ||
      !check_ndarray_argument(a[1].get(), "color2"))
    return nullptr;
  double distance =
      color_distance_lab(as_extractor(self), a[0].get(), a[1].get(), Dispatch::BuiltIn);
  if (failed(distance)) return nullptr;
  return PyFloat_FromDouble(distance);
}

// ---- _find_closest_color ----

PyObject* py_find_closest_color(PyObject* o, Ref* a) {
  if (!check_argument(a[0].get(), &PyTuple_Type, false, "target_color", true) ||
      !check_argument(a[1].get(), &PyList_Type, false, "image_colors", true))
    return nullptr;
  Extractor* self = as_extractor(o);
  PyObject* image_colors = a[1].get();  // held by the bound arguments
  Ref target_rgb = call(global_attr(np, array), {a[0]});
  if (!target_rgb || !check_target_color(target_rgb.get(), a[0].get())) return nullptr;
  double min_distance = kInf;
  Ref closest_color = Ref::borrow(Py_None);
  // By index, with the length read again each time, as a for loop over a
  // list does: the distance step may run Python code that changes the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(image_colors); ++i) {
    Ref color_info = Ref::borrow(PyList_GET_ITEM(image_colors, i));
    Ref rgb = item(color_info, color_key);
    if (!rgb) return nullptr;
    Ref image_rgb = call(global_attr(np, array), {rgb});
    if (!image_rgb) return nullptr;
    if (!check_ndarray(target_rgb.get()) || !check_ndarray(image_rgb.get())) return nullptr;
    double distance = self->steps->color_distance_lab(self, target_rgb.get(), image_rgb.get(),
                                                      Dispatch::Override);
    if (failed(distance)) return nullptr;
    // Strict: ties keep the earlier record, NaN never wins.
    if (distance < min_distance) {
      min_distance = distance;
      closest_color = std::move(color_info);
    }
  }
  return tuple({closest_color, py_float(min_distance)}).release();
}

// ---- analyze_color_similarity ----

// The similarity record of one target.
Ref similarity_record(PyObject* closest_color, PyObject* distance, double threshold) {
  Ref threshold_value = py_float(threshold);
  int within = truth(compare(distance, threshold_value, Py_LE));
  if (within < 0) return {};
  Ref similarity = py_int(0), percentage = py_int(0);
  if (within) {
    Ref x;
    if (threshold == 0.0) {
      // Only an exact match lies within a zero threshold: the full share,
      // where the linear scale would divide by zero.
      x = py_float(100.0);
    } else {
      Ref closeness = binary(binary(threshold_value, distance, PyNumber_Subtract), threshold_value,
                             PyNumber_TrueDivide);
      x = binary(closeness, py_int(100), PyNumber_Multiply);
    }
    similarity = at_least_zero(x);
    if (!similarity) return {};
    Ref share = item(closest_color, percentage_key);
    if (!share) return {};
    percentage =
        binary(share, binary(similarity, py_int(100), PyNumber_TrueDivide), PyNumber_Multiply);
    if (!percentage) return {};
  }
  Ref record = dict();
  if (!set_item(record, percentage_key, round2(percentage)) ||
      !set_item(record, similarity_key, round2(similarity)) ||
      !set_item(record, closest_color_key, item(closest_color, color_key)) ||
      !set_item(record, distance_key, round2(distance)))
    return {};
  int found_directly = truth(compare(distance, py_float(10.0), Py_LT));
  if (found_directly < 0 ||
      !set_item(record, found_directly_key, found_directly ? Py_True : Py_False))
    return {};
  return record;
}

PyObject* py_analyze_color_similarity(PyObject* o, Ref* a) {
  double threshold;
  if (!as_c_double(a[3].get(), &threshold)) return nullptr;
  if (!check_argument(a[1].get(), &PyDict_Type, false, "target_colors", true)) return nullptr;
  Ref image_colors = call_method(o, n_extract_colors, {a[0], a[2]});
  int found = truth(image_colors);
  if (found < 0) return nullptr;
  if (!found) return PyDict_New();

  Ref results = dict();
  // The items view's iterator notices a dict that changes size meanwhile.
  Ref view = call_method(a[1], items);
  if (!results || !view) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(view.get()));
  if (!it) return nullptr;
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref color_name, target_rgb, closest_color, distance;
    if (!unpack2(pair, color_name, target_rgb)) return nullptr;
    if (!unpack2(call_method(o, n_find_closest_color, {target_rgb, image_colors}), closest_color,
                 distance))
      return nullptr;
    if (!set_item(results, color_name,
                  similarity_record(closest_color.get(), distance.get(), threshold)))
      return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return results.release();
}

// ---- find_color_matches ----

// An exact ndarray of n rows of three 8-bit values (n < 0: any number).
bool uint8_rows(PyObject* obj, npy_intp n) {
  if (!obj || !PyArray_CheckExact(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(a) == 2 && PyArray_DIM(a, 1) == 3 && PyArray_TYPE(a) == NPY_UBYTE &&
         (n < 0 || PyArray_DIM(a, 0) == n);
}

// cv2.cvtColor(rows.reshape(1, -1, 3), code).reshape(-1, 3): all rows as one
// image row.
Ref convert_rows(PyObject* rows, const Name& code) {
  Ref image_row = call_method(rows, reshape, {py_int(1), py_int(-1), py_int(3)});
  Ref converted =
      call(global_attr(cv2, cvtColor), {opencv_array(image_row), global_attr(cv2, code)});
  return call_method(converted, reshape, {py_int(-1), py_int(3)});
}

// pixels_rgb built one pixel at a time: np.array of each pixel converted
// from L*a*b* on its own.
Ref pixels_to_rgb_one_by_one(PyObject* pixels) {
  Ref pixels_rgb = list();
  Ref it = Ref::steal(PyObject_GetIter(pixels));
  if (!pixels_rgb || !it) return {};
  while (Ref pixel = Ref::steal(PyIter_Next(it.get())))
    if (!append(pixels_rgb, convert_color(pixel.get(), COLOR_LAB2RGB))) return {};
  if (PyErr_Occurred()) return {};
  return call(global_attr(np, array), {pixels_rgb});
}

// The distance of every pixel to the target through the distance step, in
// pixel order, as a float array.
Ref distances_one_by_one(Extractor* self, PyObject* target_array, PyObject* pixels_rgb) {
  Ref distances = list();
  Ref it = Ref::steal(PyObject_GetIter(pixels_rgb));
  if (!distances || !it) return {};
  while (Ref pixel = Ref::steal(PyIter_Next(it.get()))) {
    if (!check_ndarray(target_array) || !check_ndarray(pixel.get())) return {};
    double distance =
        self->steps->color_distance_lab(self, target_array, pixel.get(), Dispatch::Override);
    if (failed(distance)) return {};
    if (!append(distances, py_float(distance))) return {};
  }
  if (PyErr_Occurred()) return {};
  return call(global_attr(np, array), {distances});
}

// The same distances from the 8-bit L*a*b* values: integer differences,
// squares and sums are exact, so the one rounding is the square root's, as
// in the step.
Ref distances_from_lab(PyObject* lab_pixels, PyObject* lab_target) {
  auto* target = reinterpret_cast<PyArrayObject*>(lab_target);
  const int t0 = *static_cast<npy_uint8*>(PyArray_GETPTR1(target, 0));
  const int t1 = *static_cast<npy_uint8*>(PyArray_GETPTR1(target, 1));
  const int t2 = *static_cast<npy_uint8*>(PyArray_GETPTR1(target, 2));
  auto* pixels = reinterpret_cast<PyArrayObject*>(lab_pixels);
  npy_intp n = PyArray_DIM(pixels, 0);
  Ref distances = Ref::steal(PyArray_SimpleNew(1, &n, NPY_DOUBLE));
  if (!distances) return {};
  const auto* p = static_cast<const npy_uint8*>(PyArray_DATA(pixels));
  auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(distances.get())));
  for (npy_intp i = 0; i < n; ++i, p += 3) {
    const int d0 = t0 - p[0], d1 = t1 - p[1], d2 = t2 - p[2];
    out[i] = std::sqrt(static_cast<double>(d0 * d0 + d1 * d1 + d2 * d2));
  }
  return distances;
}

bool is_lab_triple(PyObject* obj) {
  if (!PyArray_CheckExact(obj)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(a) == 1 && PyArray_DIM(a, 0) == 3 && PyArray_TYPE(a) == NPY_UBYTE;
}

// The counts of pixels below 15, 30 and 50 and the nearest pixel, from the
// distances of all pixels in pixel order.
Ref match_record_from_distances(PyObject* distances, PyObject* pixels_rgb,
                                Py_ssize_t total_pixels) {
  // np.sum(distances < bound)
  auto count_below = [&](long bound) {
    return call(global_attr(np, sum), {compare(distances, py_int(bound), Py_LT)});
  };
  Ref very_close = count_below(15);
  if (!very_close) return {};
  Ref close = count_below(30);
  if (!close) return {};
  Ref somewhat_close = count_below(50);
  if (!somewhat_close) return {};
  Ref closest_idx = call(global_attr(np, argmin), {distances});
  Ref closest_pixel = item(pixels_rgb, closest_idx);
  if (!closest_pixel) return {};
  Ref min_distance = item(distances, closest_idx);
  if (!min_distance) return {};
  return match_record(very_close, close, somewhat_close, closest_pixel, min_distance, total_pixels);
}

PyObject* py_find_color_matches(PyObject* o, Ref* a) {
  Extractor* self = as_extractor(o);
  if (!check_argument(a[1].get(), &PyDict_Type, false, "target_colors", true)) return nullptr;
  Ref image = load_if_path(a[0].get(), "Could not load image from ");
  if (!image || !check_ndarray(image.get())) return nullptr;
  PyObject* mask = a[2].get();  // a path is not read here: the pixel step refuses it

  Ref processed_image = self->steps->preprocess_image(self, image.get(), Dispatch::Override);
  if (!processed_image) return nullptr;
  // The kernel on distinct values, straight from the image when the feature
  // and pixel steps are the module's own (matching_kernel.cpp).
  int kernel;
  if (!matching_kernel_applies(self, a[1].get(), &kernel)) return nullptr;
  if (kernel)
    if (std::optional<Ref> r = match_image_native(self, processed_image.get(), mask, a[1].get()))
      return r->release();
  Ref feature_image =
      self->steps->convert_to_feature_space(self, processed_image.get(), Dispatch::Override);
  if (!feature_image) return nullptr;
  Ref pixels = self->steps->extract_pixels(self, feature_image.get(), mask, Dispatch::Override);
  Py_ssize_t n_pixels;
  if (!length(pixels, &n_pixels)) return nullptr;
  if (n_pixels == 0) return PyDict_New();
  if (!matching_kernel_applies(self, a[1].get(), &kernel)) return nullptr;
  if (kernel)
    if (std::optional<Ref> r = match_pixels_native(self, pixels.get(), a[1].get()))
      return r->release();

  // Otherwise (module globals replaced, targets the kernel does not read):
  // whole arrays through the globals when the distance is our own and the
  // pixels are plain 8-bit rows; anything else goes one pixel at a time
  // through the step.
  int overridden = step_overridden(self, color_distance_lab_def);
  if (overridden < 0) return nullptr;
  Ref pixels_rgb, lab_pixels;
  if (!overridden && uint8_rows(pixels.get(), n_pixels)) {
    pixels_rgb = self->lab_space ? convert_rows(pixels.get(), COLOR_LAB2RGB) : pixels;
    if (!pixels_rgb) return nullptr;
    if (uint8_rows(pixels_rgb.get(), n_pixels)) {
      lab_pixels = convert_rows(pixels_rgb.get(), COLOR_RGB2LAB);
      if (!lab_pixels) return nullptr;
      if (uint8_rows(lab_pixels.get(), n_pixels)) {
        lab_pixels = Ref::steal(reinterpret_cast<PyObject*>(
            PyArray_GETCONTIGUOUS(reinterpret_cast<PyArrayObject*>(lab_pixels.get()))));
        if (!lab_pixels) return nullptr;
      } else {
        lab_pixels = Ref{};
      }
    }
    if (!lab_pixels) pixels_rgb = Ref{};
  }
  if (!pixels_rgb) {
    pixels_rgb = self->lab_space ? pixels_to_rgb_one_by_one(pixels.get()) : pixels;
    if (!pixels_rgb) return nullptr;
  }

  Ref results = dict();
  Py_ssize_t total_pixels;
  if (!results || !length(pixels_rgb, &total_pixels)) return nullptr;
  Ref view = call_method(a[1], items);
  if (!view) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(view.get()));
  if (!it) return nullptr;
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref color_name, target_rgb;
    if (!unpack2(pair, color_name, target_rgb)) return nullptr;
    Ref target_array = call(global_attr(np, array), {target_rgb});
    if (!target_array || !check_target_color(target_array.get(), target_rgb.get())) return nullptr;
    Ref distances;
    if (lab_pixels) {
      if (!check_ndarray(target_array.get())) return nullptr;
      // Converted by the very calls the step makes, so odd targets convert
      // (or fail) the same way.
      Ref lab_target = convert_color(target_array.get(), COLOR_RGB2LAB);
      if (!lab_target) return nullptr;
      if (is_lab_triple(lab_target.get()))
        distances = distances_from_lab(lab_pixels.get(), lab_target.get());
      else
        distances = distances_one_by_one(self, target_array.get(), pixels_rgb.get());
    } else {
      distances = distances_one_by_one(self, target_array.get(), pixels_rgb.get());
    }
    if (!distances) return nullptr;
    if (!set_item(results, color_name,
                  match_record_from_distances(distances.get(), pixels_rgb.get(), total_pixels)))
      return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return results.release();
}

const char* const kColors[] = {"color1", "color2"};
const char* const kClosest[] = {"target_color", "image_colors"};
const char* const kClosestLocals[] = {"target_rgb", "min_distance", "closest_color",
                                      "color_info", "image_rgb",    "distance"};
const Annotation kClosestAnnotations[] = {{"target_color", "Tuple[int, int, int]"},
                                          {"image_colors", "List[dict]"},
                                          {"return", "Tuple[dict, float]"}};
const char* const kSimilarity[] = {"image", "target_colors", "mask", "similarity_threshold"};
const char* const kSimilarityLocals[] = {"image_colors",  "results",  "color_name", "target_rgb",
                                         "closest_color", "distance", "similarity", "percentage"};
const Annotation kSimilarityAnnotations[] = {{"target_colors", "Dict[str, Tuple[int, int, int]]"},
                                             {"similarity_threshold", "float"},
                                             {"return", "Dict[str, dict]"}};
const char* const kMatches[] = {"image", "target_colors", "mask"};
const char* const kMatchesLocals[] = {
    "processed_image", "feature_image",  "pixels",    "pixels_rgb",         "total_pixels",
    "results",         "target_array",   "distances", "very_close",         "close",
    "somewhat_close",  "very_close_pct", "close_pct", "somewhat_close_pct", "closest_idx",
    "closest_pixel",   "min_distance"};
const Annotation kMatchesAnnotations[] = {{"target_colors", "Dict[str, Tuple[int, int, int]]"},
                                          {"return", "Dict[str, dict]"}};

}  // namespace

const FunctionDef color_distance_lab_def = {
    n_color_distance_lab,
    "Calculate perceptual distance between two colors in LAB space.",
    kColors,
    2,
    {},
    {},
    true,
    py_color_distance_lab,
};
const FunctionDef find_closest_color_def = {
    n_find_closest_color,
    "Find the closest color in image to target color.",
    kClosest,
    2,
    kClosestLocals,
    kClosestAnnotations,
    true,
    py_find_closest_color,
};
const FunctionDef analyze_color_similarity_def = {
    n_analyze_color_similarity,
    "\n"
    "        Analyze how much each target color appears in the image.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "                          e.g., {'red': (255, 0, 0), 'white': (255, 255, 255)}\n"
    "            mask: Optional mask image\n"
    "            similarity_threshold: Maximum LAB distance to consider colors similar\n"
    "            \n"
    "        Returns:\n"
    "            Dictionary with color analysis results\n"
    "        ",
    kSimilarity,
    2,
    kSimilarityLocals,
    kSimilarityAnnotations,
    true,
    py_analyze_color_similarity,
};
const FunctionDef find_color_matches_def = {
    n_find_color_matches,
    "\n"
    "        Find how much each target color appears in the image with detailed analysis.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            target_colors: Dictionary of color names and RGB values\n"
    "            mask: Optional mask image\n"
    "            \n"
    "        Returns:\n"
    "            Dictionary with detailed color matching results\n"
    "        ",
    kMatches,
    2,
    kMatchesLocals,
    kMatchesAnnotations,
    true,
    py_find_color_matches,
};

Ref match_record(Arg very_close, Arg close, Arg somewhat_close, Arg closest_pixel, Arg min_distance,
                 Py_ssize_t total_pixels) {
  Ref total = Ref::steal(PyLong_FromSsize_t(total_pixels));
  Ref hundred = py_int(100);
  if (detail::failed(
          {very_close, close, somewhat_close, closest_pixel, min_distance, total, hundred}))
    return {};
  // count / total_pixels * 100
  auto share = [&](Arg count) {
    return binary(binary(count, total, PyNumber_TrueDivide), hundred, PyNumber_Multiply);
  };
  Ref very_close_pct = share(very_close);
  if (!very_close_pct) return {};
  Ref close_pct = share(close);
  if (!close_pct) return {};
  Ref somewhat_close_pct = share(somewhat_close);
  if (!somewhat_close_pct) return {};
  Ref fifty = py_int(50);
  Ref x = binary(binary(binary(fifty, min_distance, PyNumber_Subtract), fifty, PyNumber_TrueDivide),
                 hundred, PyNumber_Multiply);
  Ref record = dict();
  if (!set_item(record, total_percentage_key, round2(somewhat_close_pct)) ||
      !set_item(record, close_percentage_key, round2(close_pct)) ||
      !set_item(record, very_close_percentage_key, round2(very_close_pct)) ||
      !set_item(record, closest_pixel_key, int_tuple(closest_pixel)) ||
      !set_item(record, min_distance_key, round2(min_distance)) ||
      !set_item(record, similarity_score_key, round2(at_least_zero(x))))
    return {};
  return record;
}

bool check_target_color(PyObject* target_array, PyObject* target) {
  if (!PyArray_Check(target_array)) return true;
  auto* a = reinterpret_cast<PyArrayObject*>(target_array);
  // NaN fails both comparisons.
  auto in_range = [](double v) { return v >= 0.0 && v <= 255.0; };
  bool fine = true;
  if (PyArray_ISCOMPLEX(a)) {
    fine = false;
  } else if (PyArray_ISINTEGER(a) || PyArray_ISFLOAT(a) || PyArray_ISBOOL(a)) {
    Ref values = Ref::steal(
        PyArray_FROMANY(target_array, NPY_DOUBLE, 0, 0, NPY_ARRAY_CARRAY | NPY_ARRAY_FORCECAST));
    if (!values) return false;
    const auto* v =
        static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(values.get()));
    for (npy_intp i = 0; i < n && fine; ++i) fine = in_range(v[i]);
  } else if (PyArray_TYPE(a) == NPY_OBJECT) {
    // Python numbers too large for NumPy's integers land here; other
    // objects keep whatever NumPy's conversion makes of them.
    Ref it = Ref::steal(PyArray_IterNew(target_array));
    if (!it) return false;
    auto* iter = reinterpret_cast<PyArrayIterObject*>(it.get());
    for (; fine && iter->index < iter->size;) {
      PyObject* value = *static_cast<PyObject**>(PyArray_ITER_DATA(iter));
      PyArray_ITER_NEXT(iter);
      if (!value) continue;
      if (PyLong_Check(value)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (n == -1 && PyErr_Occurred()) return false;
        fine = !overflow && n >= 0 && n <= 255;
      } else if (PyFloat_Check(value)) {
        fine = in_range(PyFloat_AS_DOUBLE(value));
      } else if (PyComplex_Check(value)) {
        fine = false;
      }
    }
  }
  if (fine) return true;
  PyErr_Format(state.ValueError,
               "Target color components must be finite numbers from 0 to 255, got %R", target);
  return false;
}

// The step table's entry: the dispatch rule, then the body. -1.0 with an
// exception set on failure.
double color_distance_lab(Extractor* self, PyObject* color1, PyObject* color2, Dispatch d) {
  if (d == Dispatch::Override)
    if (auto r = call_override_double(self, color_distance_lab_def, {color1, color2})) return *r;
  return distance_body(color1, color2);
}

}  // namespace huebit

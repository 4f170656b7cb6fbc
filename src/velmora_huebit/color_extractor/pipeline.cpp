// The extraction pipeline: preprocessing, feature space, mask, pixels,
// clustering, percentages and extract_colors itself.
//
// The module does no pixel arithmetic of its own: every step is a short
// sequence of calls into OpenCV, NumPy and scikit-learn, made through the
// module globals at the moment of use, with the arguments written out as the
// Python statement would have them. Equal calls give equal results, so
// k-means (seed 42) returns the same records run after run.
#include "numpy_api.h"
#include "huebit.h"

#include <algorithm>
#include <cstring>

namespace huebit {
namespace {

const Name np{"np"}, cv2{"cv2"}, KMeans{"KMeans"}, DBSCAN{"DBSCAN"},
    StandardScaler{"StandardScaler"};
const Name cvtColor{"cvtColor"}, COLOR_BGR2LAB{"COLOR_BGR2LAB"}, COLOR_LAB2BGR{"COLOR_LAB2BGR"},
    COLOR_BGR2RGB{"COLOR_BGR2RGB"}, COLOR_BGR2GRAY{"COLOR_BGR2GRAY"},
    COLOR_LAB2RGB{"COLOR_LAB2RGB"}, createCLAHE{"createCLAHE"}, clipLimit{"clipLimit"},
    tileGridSize{"tileGridSize"}, apply{"apply"}, bilateralFilter{"bilateralFilter"},
    bitwise_and{"bitwise_and"}, imread{"imread"}, mask_kw{"mask"};
const Name uint8{"uint8"}, astype{"astype"}, reshape{"reshape"}, all{"all"}, axis{"axis"},
    unique{"unique"}, return_counts{"return_counts"}, sum{"sum"}, arange{"arange"}, mean{"mean"},
    array{"array"}, argsort{"argsort"}, tolist{"tolist"}, shape{"shape"}, take{"take"};
const Name n_clusters{"n_clusters"}, random_state{"random_state"}, n_init{"n_init"},
    fit_predict{"fit_predict"}, cluster_centers_{"cluster_centers_"},
    fit_transform{"fit_transform"}, eps{"eps"}, min_samples{"min_samples"};
const Name color_key{"color"}, percentage_key{"percentage"}, sort{"sort"}, key{"key"},
    reverse{"reverse"};
const Name n_cluster_colors_kmeans{"_cluster_colors_kmeans"},
    n_cluster_colors_dbscan{"_cluster_colors_dbscan"};

// Small constants kept for the life of the process.
PyObject* constant(PyObject*& slot, PyObject* (*make)()) {
  if (!slot) slot = make();
  return slot;
}

// lab[:, :, 0]
PyObject* l_channel_index() {
  static PyObject* index = nullptr;
  return constant(index, [] {
    Ref all_rows = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    return tuple({all_rows, all_rows, py_int(0)}).release();
  });
}

Ref minus_one() { return py_int(-1); }

// cv2.bilateralFilter(image, 9, 75, 75)
Ref bilateral_filter_call(Arg image) {
  return call(global_attr(cv2, bilateralFilter),
              {opencv_array(image), py_int(9), py_int(75), py_int(75)});
}

// OpenCV's multi-threaded bilateral filter corrupts the heap, or writes
// wrong rows, on 8-bit images narrower than its radius of 4 pixels and tall
// enough to be shared among threads (100000 x 1, 30000 x 3). It never shares
// an image of fewer than 64 rows, so such narrow images are filtered in bands
// of at most 63 rows. Each band carries the 4 rows above and below its own
// that the filter reads for them, and the output row of a pixel depends only
// on those, so the bands give exactly what one thread gives for the whole
// image; the caller's thread setting is left alone. Wider images go whole.
constexpr npy_intp kBandRows = 63, kRadius = 4, kNarrow = 9;

Ref bilateral_filter(const Ref& image) {
  if (!PyArray_CheckExact(image.get())) return bilateral_filter_call(image);
  auto* a = reinterpret_cast<PyArrayObject*>(image.get());
  if (PyArray_NDIM(a) != 3 || PyArray_TYPE(a) != NPY_UBYTE || PyArray_DIM(a, 1) >= kNarrow ||
      PyArray_DIM(a, 0) < kBandRows + 1)
    return bilateral_filter_call(image);
  const npy_intp height = PyArray_DIM(a, 0);
  Ref result = Ref::steal(PyArray_NewLikeArray(a, NPY_CORDER, nullptr, 0));
  if (!result) return {};
  const npy_intp row_bytes = PyArray_DIM(a, 1) * PyArray_DIM(a, 2);
  auto* out = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
  for (npy_intp start = 0; start < height;) {
    const npy_intp stop = std::min(height, start + kBandRows - 2 * kRadius);
    const npy_intp lo = std::max<npy_intp>(0, start - kRadius);
    const npy_intp hi = std::min(height, stop + kRadius);
    Ref rows = Ref::steal(PySlice_New(Ref::steal(PyLong_FromSsize_t(lo)).get(),
                                      Ref::steal(PyLong_FromSsize_t(hi)).get(), nullptr));
    Ref band = bilateral_filter_call(item(image, rows));
    Ref packed =
        band ? Ref::steal(PyArray_FROMANY(band.get(), NPY_UBYTE, 3, 3, NPY_ARRAY_CARRAY)) : Ref{};
    if (!packed) return {};
    if (PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(packed.get())) != (hi - lo) * row_bytes) {
      PyErr_SetString(PyExc_RuntimeError, "bilateralFilter changed the size of a band");
      return {};
    }
    const auto* filtered =
        static_cast<const char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(packed.get())));
    std::memcpy(out + start * row_bytes, filtered + (start - lo) * row_bytes,
                (stop - start) * row_bytes);
    start = stop;
  }
  return result;
}

// ---- typed steps ----

Ref preprocess_body(Extractor* self, PyObject* image) {
  if (!self->preprocessing) return Ref::borrow(image);
  Ref lab =
      call(global_attr(cv2, cvtColor), {opencv_array(image), global_attr(cv2, COLOR_BGR2LAB)});
  if (!lab) return {};
  Ref clahe = call(global_attr(cv2, createCLAHE), {},
                   {{clipLimit, py_float(3.0)}, {tileGridSize, tuple({py_int(8), py_int(8)})}});
  PyObject* index = l_channel_index();
  if (!set_item(lab, index, call_method(clahe, apply, {opencv_array(item(lab, index))}))) return {};
  Ref enhanced =
      call(global_attr(cv2, cvtColor), {opencv_array(lab), global_attr(cv2, COLOR_LAB2BGR)});
  if (!enhanced) return {};
  return bilateral_filter(enhanced);
}

Ref convert_body(Extractor* self, PyObject* image) {
  const Name& code = self->lab_space ? COLOR_BGR2LAB : COLOR_BGR2RGB;
  return call(global_attr(cv2, cvtColor), {opencv_array(image), global_attr(cv2, code)});
}

Ref apply_mask_body(PyObject* image, PyObject* mask_in) {
  if (mask_in == Py_None) return Ref::borrow(image);
  Ref mask = Ref::borrow(mask_in);
  if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(mask.get())) == 3) {
    mask = array_result(
        call(global_attr(cv2, cvtColor), {opencv_array(mask), global_attr(cv2, COLOR_BGR2GRAY)}));
    if (!mask) return {};
  }
  // Values above 128 on the 0-255 scale count as wanted.
  Ref wanted = binary(compare(mask, py_int(128), Py_GT), py_int(255), PyNumber_Multiply);
  mask = array_result(call_method(wanted, astype, {global_attr(np, uint8)}));
  if (!mask) return {};
  Ref source = opencv_array(image);
  return call(global_attr(cv2, bitwise_and), {source, source}, {{mask_kw, opencv_array(mask)}});
}

Ref extract_pixels_body(Extractor* self, PyObject* image, PyObject* mask) {
  Ref pixels;
  if (mask != Py_None) {
    if (!check_ndarray(mask)) return {};
    Ref masked = self->steps->apply_mask(self, image, mask, Dispatch::Override);
    if (!masked) return {};
    Ref selection = compare(mask, py_int(128), Py_GT);
    if (!selection) return {};
    Py_ssize_t ndim;
    if (!length(attr(mask, shape), &ndim)) return {};
    if (ndim == 3) {
      Ref as_uint8 = call_method(mask, astype, {global_attr(np, uint8)});
      Ref grey = call(global_attr(cv2, cvtColor),
                      {opencv_array(as_uint8), global_attr(cv2, COLOR_BGR2GRAY)});
      selection = compare(grey, py_int(128), Py_GT);
      if (!selection) return {};
    }
    pixels = item(masked, selection);
  } else {
    pixels = call_method(image, reshape, {minus_one(), py_int(3)});
  }
  if (!pixels) return {};
  // Rows whose three values are all zero never count. Each temporary goes
  // as soon as the next one exists, as in the Python expression, so that
  // large images reuse the memory just freed.
  Ref zero_rows;
  {
    Ref zero_values = compare(pixels, py_int(0), Py_EQ);
    if (!zero_values) return {};
    zero_rows = call(global_attr(np, all), {zero_values}, {{axis, py_int(1)}});
  }
  Ref keep = Ref::steal(zero_rows ? PyNumber_Invert(zero_rows.get()) : nullptr);
  zero_rows = Ref();
  return item(pixels, keep);
}

Ref calculate_percentages_body(PyObject* labels) {
  Ref unique_labels, counts;
  if (!unpack2(call(global_attr(np, unique), {labels}, {{return_counts, Py_True}}), unique_labels,
               counts))
    return {};
  Ref valid_counts = item(counts, compare(unique_labels, minus_one(), Py_NE));
  if (!valid_counts) return {};
  Ref total = call(global_attr(np, sum), {valid_counts});
  Ref percentages =
      binary(binary(valid_counts, total, PyNumber_TrueDivide), py_int(100), PyNumber_Multiply);
  return call_method(percentages, tolist);
}

// ---- Python-visible wrappers of the typed steps: argument tests, then the
// built-in body without the override lookup ----

PyObject* py_preprocess_image(PyObject* self, Ref* a) {
  if (!check_ndarray_argument(a[0].get(), "image")) return nullptr;
  return preprocess_image(as_extractor(self), a[0].get(), Dispatch::BuiltIn).release();
}

PyObject* py_convert_to_feature_space(PyObject* self, Ref* a) {
  if (!check_ndarray_argument(a[0].get(), "image")) return nullptr;
  return convert_to_feature_space(as_extractor(self), a[0].get(), Dispatch::BuiltIn).release();
}

PyObject* py_apply_mask(PyObject* self, Ref* a) {
  if (!check_ndarray_argument(a[0].get(), "image") || !check_ndarray_argument(a[1].get(), "mask"))
    return nullptr;
  return apply_mask(as_extractor(self), a[0].get(), a[1].get(), Dispatch::BuiltIn).release();
}

PyObject* py_extract_pixels(PyObject* self, Ref* a) {
  if (!check_ndarray_argument(a[0].get(), "image")) return nullptr;
  return extract_pixels(as_extractor(self), a[0].get(), a[1].get(), Dispatch::BuiltIn).release();
}

PyObject* py_calculate_percentages(PyObject* self, Ref* a) {
  if (!check_ndarray_argument(a[0].get(), "labels")) return nullptr;
  return calculate_percentages(as_extractor(self), a[0].get(), Dispatch::BuiltIn).release();
}

// ---- clustering (ordinary methods) ----

PyObject* py_cluster_colors_kmeans(PyObject* o, Ref* a) {
  PyObject* pixels = a[0].get();
  if (!check_ndarray_argument(pixels, "pixels")) return nullptr;
  Extractor* self = as_extractor(o);
  Py_ssize_t n;
  if (!length(pixels, &n)) return nullptr;
  if (n < self->n_colors) {
    // Fewer pixels than colours: every distinct pixel is a colour of its own.
    Ref rows = call_method(pixels, reshape, {minus_one(), py_int(3)});
    Ref unique_colors = call(global_attr(np, unique), {rows}, {{axis, py_int(0)}});
    Py_ssize_t u;
    if (!length(unique_colors, &u)) return nullptr;
    Ref labels = call(global_attr(np, arange), {Ref::steal(PyLong_FromSsize_t(u))});
    return tuple({unique_colors, labels}).release();
  }
  Ref kmeans = call(
      global(KMeans), {},
      {{n_clusters, py_int(self->n_colors)}, {random_state, py_int(42)}, {n_init, py_int(10)}});
  Ref labels = call_method(kmeans, fit_predict, {pixels});
  Ref colors = attr(kmeans, cluster_centers_);
  return tuple({colors, labels}).release();
}

PyObject* py_cluster_colors_dbscan(PyObject* o, Ref* a) {
  PyObject* pixels = a[0].get();
  if (!check_ndarray_argument(pixels, "pixels")) return nullptr;
  Extractor* self = as_extractor(o);
  // 8-bit pixels go to the native engine, which gives the same result.
  if (std::optional<Ref> native = cluster_colors_dbscan_native(self, pixels))
    return native->release();
  // The scaler checks floating-point pixels by summing every value a view
  // stands for: hours for a broadcast view of trillions. Such a view is
  // copied first, which fails at once with MemoryError when it is too large
  // to exist and changes nothing otherwise.
  Ref scaler_input = Ref::borrow(pixels);
  if (PyArray_CheckExact(pixels) && repeats_its_data(pixels)) {
    scaler_input =
        Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(pixels), NPY_CORDER));
    if (!scaler_input) return nullptr;
  }
  Ref scaler = call(global(StandardScaler));
  Ref pixels_scaled = call_method(scaler, fit_transform, {scaler_input});
  if (!pixels_scaled) return nullptr;
  Py_ssize_t n;
  if (!length(pixels, &n)) return nullptr;
  // At least 50 neighbours, and one percent of the pixels on large images.
  const Py_ssize_t min_neighbours = std::max<Py_ssize_t>(50, n / 100);
  Ref dbscan =
      call(global(DBSCAN), {},
           {{eps, py_float(0.5)}, {min_samples, Ref::steal(PyLong_FromSsize_t(min_neighbours))}});
  Ref labels = call_method(dbscan, fit_predict, {pixels_scaled});
  Ref unique_labels = call(global_attr(np, unique), {labels});
  Ref colors = list();
  Ref noise = minus_one();
  if (!unique_labels || !colors || !noise) return nullptr;

  Ref it = Ref::steal(PyObject_GetIter(unique_labels.get()));
  if (!it) return nullptr;
  while (Ref label = Ref::steal(PyIter_Next(it.get()))) {
    int is_noise = truth(compare(label, noise, Py_EQ));
    if (is_noise < 0) return nullptr;
    if (is_noise) continue;
    Ref cluster_pixels = item(pixels, compare(labels, label, Py_EQ));
    Ref color = call(global_attr(np, mean), {cluster_pixels}, {{axis, py_int(0)}});
    if (!append(colors, color)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  colors = call(global_attr(np, array), {colors});
  Py_ssize_t k;
  if (!length(colors, &k)) return nullptr;

  if (k > self->n_colors) {
    // Keep the largest clusters, largest first.
    Ref cluster_sizes = list();
    it = Ref::steal(PyObject_GetIter(unique_labels.get()));
    if (!cluster_sizes || !it) return nullptr;
    while (Ref label = Ref::steal(PyIter_Next(it.get()))) {
      int is_cluster = truth(compare(label, noise, Py_NE));
      if (is_cluster < 0) return nullptr;
      if (!is_cluster) continue;
      if (!append(cluster_sizes, call(global_attr(np, sum), {compare(labels, label, Py_EQ)})))
        return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    colors = keep_largest_clusters(self, colors, cluster_sizes);
    if (!colors) return nullptr;
  }
  return tuple({colors, labels}).release();
}

// ---- extract_colors ----

// key=lambda x: x['percentage']
PyObject* percentage_of(PyObject*, PyObject* record) {
  return PyObject_GetItem(record, percentage_key.get());
}

PyObject* percentage_key_function() {
  static PyMethodDef def = {"<lambda>", percentage_of, METH_O, nullptr};
  static PyObject* function = nullptr;
  if (!function) function = PyCFunction_New(&def, nullptr);
  return function;
}

// Shares come one per label that occurs, in label order. A k-means run with
// empty clusters (fewer distinct colours than clusters, say) leaves gaps in
// the labels, and each share belongs with its own label's centre, not with
// the next centre in line. Centres that are not an array, or labels that
// are not plain indices of them (an override's own), keep the pairing by
// position.
Ref centres_of_present_labels(Ref colors, PyObject* labels, Py_ssize_t n_shares) {
  if (!PyArray_Check(colors.get()) ||
      PyArray_NDIM(reinterpret_cast<PyArrayObject*>(colors.get())) < 1)
    return colors;
  Py_ssize_t n_colors = PyArray_DIM(reinterpret_cast<PyArrayObject*>(colors.get()), 0);
  if (n_shares >= n_colors) return colors;
  Ref present = call_method(call(global_attr(np, unique), {labels}), tolist);
  if (!present) return {};
  if (!PyList_CheckExact(present.get()) || PyList_GET_SIZE(present.get()) != n_shares)
    return colors;
  for (Py_ssize_t i = 0; i < n_shares; ++i) {
    PyObject* label = PyList_GET_ITEM(present.get(), i);
    int overflow = 0;
    long long index = PyLong_Check(label) ? PyLong_AsLongLongAndOverflow(label, &overflow) : -1;
    if (index == -1 && PyErr_Occurred()) return {};
    if (overflow || index < 0 || index >= n_colors) return colors;
  }
  return call(global_attr(np, take), {colors, present}, {{axis, py_int(0)}});
}

PyObject* py_extract_colors(PyObject* o, Ref* a) {
  Extractor* self = as_extractor(o);
  Ref image = load_if_path(a[0].get(), "Could not load image from ");
  if (!image) return nullptr;
  Ref mask = load_if_path(a[1].get(), "Could not load mask from ");
  if (!mask) return nullptr;
  if (!check_ndarray(image.get())) return nullptr;

  Ref processed_image = self->steps->preprocess_image(self, image.get(), Dispatch::Override);
  if (!processed_image) return nullptr;
  Ref feature_image =
      self->steps->convert_to_feature_space(self, processed_image.get(), Dispatch::Override);
  if (!feature_image) return nullptr;
  Ref pixels =
      self->steps->extract_pixels(self, feature_image.get(), mask.get(), Dispatch::Override);
  Py_ssize_t n_pixels;
  if (!length(pixels, &n_pixels)) return nullptr;
  if (n_pixels == 0) return PyList_New(0);

  Ref algorithm = Ref::borrow(self->algorithm);
  Ref clustered;
  bool dbscan = false;
  int is_kmeans = truth(compare(algorithm, py_str("kmeans"), Py_EQ));
  if (is_kmeans < 0) return nullptr;
  if (is_kmeans) {
    clustered = call_method(o, n_cluster_colors_kmeans, {pixels});
  } else {
    int is_dbscan = truth(compare(algorithm, py_str("dbscan"), Py_EQ));
    if (is_dbscan < 0) return nullptr;
    if (!is_dbscan) {
      Ref text = Ref::steal(PyObject_Format(algorithm.get(), nullptr));
      if (text) PyErr_Format(state.ValueError, "Unknown algorithm: %U", text.get());
      return nullptr;
    }
    dbscan = true;
    clustered = call_method(o, n_cluster_colors_dbscan, {pixels});
  }
  Ref colors, labels;
  if (!unpack2(clustered, colors, labels)) return nullptr;

  if (!check_ndarray(labels.get())) return nullptr;
  Ref percentages = self->steps->calculate_percentages(self, labels.get(), Dispatch::Override);
  if (!percentages) return nullptr;
  if (!dbscan && PyList_CheckExact(percentages.get())) {
    colors = centres_of_present_labels(colors, labels.get(), PyList_GET_SIZE(percentages.get()));
    if (!colors) return nullptr;
  }

  if (self->lab_space) {
    Ref colors_rgb = list();
    Ref it = Ref::steal(PyObject_GetIter(colors.get()));
    if (!colors_rgb || !it) return nullptr;
    while (Ref color = Ref::steal(PyIter_Next(it.get())))
      if (!append(colors_rgb, convert_color(color.get(), COLOR_LAB2RGB))) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    colors = call(global_attr(np, array), {colors_rgb});
  } else {
    colors = call_method(colors, astype, {global_attr(np, uint8)});
  }
  if (!colors) return nullptr;

  if (dbscan && PyList_CheckExact(percentages.get())) {
    // DBSCAN keeps its largest clusters, largest first, while the
    // percentages stay in label order. Pair each kept colour with its own
    // cluster's share: the shares sorted the same way.
    Py_ssize_t n_colors;
    if (!length(colors, &n_colors)) return nullptr;
    if (PyList_GET_SIZE(percentages.get()) > n_colors) {
      Ref by_size = Ref::steal(PyList_GetSlice(percentages.get(), 0, PY_SSIZE_T_MAX));
      if (!by_size || !call_method(by_size, sort, {}, {{reverse, Py_True}})) return nullptr;
      percentages = Ref::steal(PyList_GetSlice(by_size.get(), 0, n_colors));
      if (!percentages) return nullptr;
    }
  }

  Ref result = list();
  Ref zipped = call(state.zip, {colors, percentages});
  if (!result || !zipped) return nullptr;
  Ref pairs = Ref::steal(PyObject_GetIter(zipped.get()));
  if (!pairs) return nullptr;
  while (Ref pair = Ref::steal(PyIter_Next(pairs.get()))) {
    Ref color, percentage;
    if (!unpack2(pair, color, percentage)) return nullptr;
    Ref record = dict();
    if (!set_item(record, color_key, int_tuple(color)) ||
        !set_item(record, percentage_key, round2(percentage)))
      return nullptr;
    if (!append(result, record)) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  if (!call_method(result, sort, {}, {{key, percentage_key_function()}, {reverse, Py_True}}))
    return nullptr;
  return result.release();
}

const char* const kImage[] = {"image"};
const char* const kImageMask[] = {"image", "mask"};
const char* const kPixels[] = {"pixels"};
const char* const kLabels[] = {"labels"};
const char* const kKmeansLocals[] = {"unique_colors", "labels", "kmeans", "colors"};
const char* const kDbscanLocals[] = {
    "scaler", "pixels_scaled",  "dbscan", "labels",        "unique_labels", "colors",
    "label",  "cluster_pixels", "color",  "cluster_sizes", "sorted_indices"};
const char* const kExtractLocals[] = {
    "processed_image", "feature_image", "pixels",    "colors",    "labels", "percentages",
    "colors_rgb",      "color",         "lab_color", "rgb_color", "result", "percentage"};

const Name n_preprocess_image{"_preprocess_image"},
    n_convert_to_feature_space{"_convert_to_feature_space"}, n_apply_mask{"_apply_mask"},
    n_extract_pixels{"_extract_pixels"}, n_calculate_percentages{"_calculate_percentages"},
    n_extract_colors{"extract_colors"};

}  // namespace

bool repeats_its_data(PyObject* array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  for (int i = 0; i < PyArray_NDIM(a); ++i)
    if (PyArray_DIM(a, i) > 1 && PyArray_STRIDE(a, i) == 0) return true;
  return false;
}

const FunctionDef preprocess_image_def = {
    n_preprocess_image,
    "Apply preprocessing for robustness against noise and lighting.",
    kImage,
    1,
    {},
    {},
    true,
    py_preprocess_image,
};
const FunctionDef convert_to_feature_space_def = {
    n_convert_to_feature_space,
    "Convert image to appropriate color space for clustering.",
    kImage,
    1,
    {},
    {},
    true,
    py_convert_to_feature_space,
};
const FunctionDef apply_mask_def = {
    n_apply_mask, "Apply mask to limit color extraction to specific areas.",
    kImageMask,   2,
    {},           {},
    true,         py_apply_mask,
};
const FunctionDef extract_pixels_def = {
    n_extract_pixels,  "Extract valid pixels for clustering.", kImageMask, 1, {}, {}, true,
    py_extract_pixels,
};
const FunctionDef cluster_colors_kmeans_def = {
    n_cluster_colors_kmeans,
    "Extract colors using K-means clustering.",
    kPixels,
    1,
    kKmeansLocals,
    {},
    true,
    py_cluster_colors_kmeans,
};
const FunctionDef cluster_colors_dbscan_def = {
    n_cluster_colors_dbscan,
    "Extract colors using DBSCAN clustering.",
    kPixels,
    1,
    kDbscanLocals,
    {},
    true,
    py_cluster_colors_dbscan,
};
const FunctionDef calculate_percentages_def = {
    n_calculate_percentages,  "Calculate color percentages.", kLabels, 1, {}, {}, true,
    py_calculate_percentages,
};
const FunctionDef extract_colors_def = {
    n_extract_colors,
    "\n"
    "        Extract dominant colors from image.\n"
    "        \n"
    "        Args:\n"
    "            image: Path to image file or numpy array\n"
    "            mask: Optional mask image (white areas will be analyzed)\n"
    "            \n"
    "        Returns:\n"
    "            List of dictionaries with color info: {'color': (R,G,B), 'percentage': float}\n"
    "        ",
    kImageMask,
    1,
    kExtractLocals,
    {},
    true,
    py_extract_colors,
};

// ---- the step table's entries: the dispatch rule, then the body ----

Ref preprocess_image(Extractor* self, PyObject* image, Dispatch d) {
  if (d == Dispatch::Override)
    if (auto r = call_override(self, preprocess_image_def, {image}))
      return array_result(std::move(*r));
  return array_result(preprocess_body(self, image));
}

Ref convert_to_feature_space(Extractor* self, PyObject* image, Dispatch d) {
  if (d == Dispatch::Override)
    if (auto r = call_override(self, convert_to_feature_space_def, {image}))
      return array_result(std::move(*r));
  return array_result(convert_body(self, image));
}

Ref apply_mask(Extractor* self, PyObject* image, PyObject* mask, Dispatch d) {
  if (d == Dispatch::Override)
    if (auto r = call_override(self, apply_mask_def, {image, mask}))
      return array_result(std::move(*r));
  return array_result(apply_mask_body(image, mask));
}

Ref extract_pixels(Extractor* self, PyObject* image, PyObject* mask, Dispatch d) {
  if (d == Dispatch::Override)
    if (auto r = call_override(self, extract_pixels_def, {image, mask}))
      return array_result(std::move(*r));
  return array_result(extract_pixels_body(self, image, mask));
}

Ref calculate_percentages(Extractor* self, PyObject* labels, Dispatch d) {
  if (d == Dispatch::Override)
    if (auto r = call_override(self, calculate_percentages_def, {labels}))
      return list_result(std::move(*r));
  return list_result(calculate_percentages_body(labels));
}

Ref keep_largest_clusters(Extractor* self, Arg colors, Arg cluster_sizes) {
  Ref largest_first = Ref::steal(PySlice_New(nullptr, nullptr, minus_one().get()));
  Ref keep = Ref::steal(PySlice_New(nullptr, py_int(self->n_colors).get(), nullptr));
  Ref sorted_indices =
      item(item(call(global_attr(np, argsort), {cluster_sizes}), largest_first), keep);
  return item(colors, sorted_indices);
}

Ref convert_color(PyObject* color, const Name& code) {
  Ref inner = Ref::steal(PyList_New(1));
  Ref outer = Ref::steal(PyList_New(1));
  if (!inner || !outer) return {};
  PyList_SET_ITEM(inner.get(), 0, Py_NewRef(color));
  PyList_SET_ITEM(outer.get(), 0, inner.release());
  Ref one_pixel = call(global_attr(np, uint8), {outer});
  Ref converted =
      call(global_attr(cv2, cvtColor), {opencv_array(one_pixel), global_attr(cv2, code)});
  return item(item(converted, 0), 0);
}

Ref load_if_path(PyObject* value, const char* failure_prefix) {
  if (!PyUnicode_Check(value)) return Ref::borrow(value);
  // A path the reader cannot take names no file it could load.
  const int readable = opencv_can_read(value);
  if (readable < 0) return {};
  Ref loaded = readable ? call(global_attr(cv2, imread), {value}) : Ref::borrow(Py_None);
  if (!loaded) return {};
  if (!loaded.is_none()) return loaded;
  Ref path = Ref::steal(PyObject_Format(value, nullptr));
  if (path) PyErr_Format(state.ValueError, "%s%U", failure_prefix, path.get());
  return {};
}

}  // namespace huebit

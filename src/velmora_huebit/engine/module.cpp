// velmora_huebit._engine: the palette engine, for Python.
//
// find_palette(image, n_colors, mask=None, *, rgb=False) gives the dominant
// colours of an 8-bit image with their pixel counts; count_nearest(image,
// colours, mask=None, *, rgb=False, step=1) counts a palette's shares on another
// (larger) image; count_within(image, colours, tolerances, mask=None, *,
// rgb=False, step=1) counts the pixels within CIEDE2000 tolerances of target
// colours. The image
// and the mask are read through the buffer protocol in whatever layout they
// come (NumPy slices, reversed or broadcast views included), without a copy
// and without NumPy's C API. The checks and the result are Python work done
// here, holding the interpreter lock; the engine itself (engine.h) runs with
// the lock released, and its C++ exceptions are turned into Python ones at
// this edge. The module keeps no state, so it serves any interpreter.
#include "ref.h"

#include "engine.h"

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace {

using huebit::holds_bytes;
using huebit::Ref;
using Buffer = huebit::HeldBuffer;

const char* shape_text(const Py_buffer& view) {
  return view.ndim == 2 ? "2 dimensions" : view.ndim == 3 ? "3 dimensions" : "another shape";
}

bool read_image(PyObject* obj, Buffer& buffer, engine::ImageView& image) {
  if (!buffer.get(obj)) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "image must be an array of 8-bit values, height x width x 3, not %.200s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const Py_buffer& view = buffer.view();
  if (!holds_bytes(view)) {
    PyErr_Format(PyExc_TypeError,
                 "image must hold 8-bit unsigned values (uint8), not format '%.20s'",
                 view.format ? view.format : "B");
    return false;
  }
  if (view.ndim != 3 || view.shape[2] != 3) {
    PyErr_SetString(PyExc_ValueError, "image must be height x width x 3 (three colour channels)");
    return false;
  }
  image = {static_cast<const uint8_t*>(view.buf),
           view.shape[0],
           view.shape[1],
           view.strides[0],
           view.strides[1],
           view.strides[2],
           false};
  // a colour has at most 2^32 - 1 pixels: the counts are 32-bit
  constexpr Py_ssize_t kMostPixels = Py_ssize_t{0xffffffff};
  if (image.height > 0 && image.width > kMostPixels / image.height) {
    PyErr_Format(PyExc_ValueError, "image of %zd x %zd pixels is too large (at most %zd pixels)",
                 image.width, image.height, kMostPixels);
    return false;
  }
  return true;
}

bool read_mask(PyObject* obj, Buffer& buffer, const engine::ImageView& image,
               engine::MaskView& mask) {
  if (!buffer.get(obj)) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "mask must be an array of 8-bit values, height x width, not %.200s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const Py_buffer& view = buffer.view();
  if (!holds_bytes(view)) {
    PyErr_Format(PyExc_TypeError,
                 "mask must hold 8-bit unsigned values (uint8), not format '%.20s'",
                 view.format ? view.format : "B");
    return false;
  }
  if (view.ndim != 2 || view.shape[0] != image.height || view.shape[1] != image.width) {
    PyErr_Format(PyExc_ValueError, "mask must be %zd x %zd (the image's height x width), not %s",
                 image.height, image.width, view.ndim == 2 ? "of another size" : shape_text(view));
    return false;
  }
  mask = {static_cast<const uint8_t*>(view.buf), view.strides[0], view.strides[1]};
  return true;
}

// An image and its optional mask (None) as the engine's functions take
// them, the buffers held for as long as the views are used.
struct Inputs {
  Buffer image_buffer, mask_buffer;
  engine::ImageView image;
  engine::MaskView mask;
  bool masked = false;

  bool read(PyObject* image_obj, PyObject* mask_obj, int rgb) {
    if (!read_image(image_obj, image_buffer, image)) return false;
    image.rgb = rgb;
    masked = mask_obj != Py_None;
    return !masked || read_mask(mask_obj, mask_buffer, image, mask);
  }
};

bool read_count(PyObject* obj, int& k) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow || value < 1 || value > engine::kMaxColors) {
    PyErr_Format(PyExc_ValueError, "n_colors must be from 1 to %d, not %R", engine::kMaxColors,
                 index.get());
    return false;
  }
  k = static_cast<int>(value);
  return true;
}

// [((r, g, b), pixels), ...]
Ref as_list(const std::vector<engine::Swatch>& swatches) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(swatches.size())));
  if (!result) return {};
  for (size_t i = 0; i < swatches.size(); ++i) {
    const engine::Swatch& s = swatches[i];
    Ref item = Ref::steal(Py_BuildValue("((iii)K)", s.colour.r, s.colour.g, s.colour.b,
                                        static_cast<unsigned long long>(s.pixels)));
    if (!item) return {};
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return result;
}

// Runs work() with the interpreter lock released; its C++ exceptions become
// Python ones (false with the exception set).
template <class Work>
bool without_lock(Work work) {
  enum class Failure { None, Memory, Other } failure = Failure::None;
  std::string what;
  Py_BEGIN_ALLOW_THREADS try { work(); } catch (const std::bad_alloc&) {
    failure = Failure::Memory;
  } catch (const std::length_error&) {
    failure = Failure::Memory;
  } catch (const std::exception& e) {
    failure = Failure::Other;
    try {
      what = e.what();
    } catch (...) {
    }
  }
  Py_END_ALLOW_THREADS if (failure == Failure::Memory) {
    PyErr_NoMemory();
    return false;
  }
  if (failure == Failure::Other) {
    PyErr_Format(PyExc_RuntimeError, "palette engine: %s", what.c_str());
    return false;
  }
  return true;
}

PyObject* find_palette(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"image", "n_colors", "mask", "rgb", nullptr};
  PyObject *image_obj, *count_obj, *mask_obj = Py_None;
  int rgb = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$p:find_palette",
                                   const_cast<char**>(keywords), &image_obj, &count_obj, &mask_obj,
                                   &rgb))
    return nullptr;
  int k;
  if (!read_count(count_obj, k)) return nullptr;
  Inputs in;
  if (!in.read(image_obj, mask_obj, rgb)) return nullptr;
  const engine::ImageView& image = in.image;
  const engine::MaskView& mask = in.mask;
  const bool masked = in.masked;

  std::vector<engine::Swatch> swatches;
  if (!without_lock([&] { swatches = engine::find_palette(image, masked ? &mask : nullptr, k); }))
    return nullptr;
  return as_list(swatches).release();
}

// A palette as (r, g, b) tuples of 0-255, at most kMaxColors of them.
bool read_palette(PyObject* obj, std::vector<engine::Rgb>& palette) {
  Ref items = Ref::steal(PySequence_Fast(obj, "colours must be a sequence of (r, g, b)"));
  if (!items) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
  if (n > engine::kMaxColors) {
    PyErr_Format(PyExc_ValueError, "at most %d colours, not %zd", engine::kMaxColors, n);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    int c[3];
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "iii", &c[0], &c[1], &c[2])) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "each colour must be a tuple (r, g, b) of whole numbers");
      return false;
    }
    for (int v : c) {
      if (v < 0 || v > 255) {
        PyErr_SetString(PyExc_ValueError, "colour values must lie between 0 and 255");
        return false;
      }
    }
    palette.push_back(
        {static_cast<uint8_t>(c[0]), static_cast<uint8_t>(c[1]), static_cast<uint8_t>(c[2])});
  }
  return true;
}

bool check_step(Py_ssize_t step) {
  if (step >= 1) return true;
  PyErr_Format(PyExc_ValueError, "step must be 1 or more, not %zd", step);
  return false;
}

PyObject* count_nearest(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"image", "colours", "mask", "rgb", "step", nullptr};
  PyObject *image_obj, *colours_obj, *mask_obj = Py_None;
  int rgb = 0;
  Py_ssize_t step = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O$pn:count_nearest",
                                   const_cast<char**>(keywords), &image_obj, &colours_obj,
                                   &mask_obj, &rgb, &step))
    return nullptr;
  if (!check_step(step)) return nullptr;
  std::vector<engine::Rgb> palette;
  if (!read_palette(colours_obj, palette)) return nullptr;
  Inputs in;
  if (!in.read(image_obj, mask_obj, rgb)) return nullptr;
  const engine::ImageView& image = in.image;
  const engine::MaskView& mask = in.mask;
  const bool masked = in.masked;
  std::vector<uint64_t> counts;
  if (!without_lock(
          [&] { counts = engine::count_nearest(image, masked ? &mask : nullptr, palette, step); }))
    return nullptr;
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(counts.size())));
  if (!result) return nullptr;
  for (size_t i = 0; i < counts.size(); ++i) {
    PyObject* n = PyLong_FromUnsignedLongLong(counts[i]);
    if (!n) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), n);
  }
  return result.release();
}

bool read_tolerances(PyObject* obj, double (&tolerances)[3]) {
  Ref items = Ref::steal(PySequence_Fast(obj, "tolerances must be a sequence of three numbers"));
  if (!items) return false;
  if (PySequence_Fast_GET_SIZE(items.get()) != 3) {
    PyErr_SetString(PyExc_ValueError, "tolerances must be three numbers");
    return false;
  }
  for (Py_ssize_t i = 0; i < 3; ++i) {
    const double value = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items.get(), i));
    if (value == -1.0 && PyErr_Occurred()) return false;
    if (!(std::isfinite(value) && value >= 0 && (i == 0 || value >= tolerances[i - 1]))) {
      PyErr_SetString(PyExc_ValueError, "tolerances must be finite, 0 or more, in rising order");
      return false;
    }
    tolerances[i] = value;
  }
  return true;
}

PyObject* count_within(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"image", "colours", "tolerances", "mask",
                                   "rgb",   "step",    nullptr};
  PyObject *image_obj, *colours_obj, *tolerances_obj, *mask_obj = Py_None;
  int rgb = 0;
  Py_ssize_t step = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O$pn:count_within",
                                   const_cast<char**>(keywords), &image_obj, &colours_obj,
                                   &tolerances_obj, &mask_obj, &rgb, &step))
    return nullptr;
  if (!check_step(step)) return nullptr;
  std::vector<engine::Rgb> targets;
  if (!read_palette(colours_obj, targets)) return nullptr;
  double tolerances[3];
  if (!read_tolerances(tolerances_obj, tolerances)) return nullptr;
  Inputs in;
  if (!in.read(image_obj, mask_obj, rgb)) return nullptr;
  std::vector<engine::Within> found;
  uint64_t total = 0;
  if (!without_lock([&] {
        found = engine::count_within(in.image, in.masked ? &in.mask : nullptr, targets, tolerances,
                                     step, total);
      }))
    return nullptr;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < found.size(); ++i) {
    const engine::Within& w = found[i];
    PyObject* item = Py_BuildValue("((KKK)(iii)d)", static_cast<unsigned long long>(w.counts[0]),
                                   static_cast<unsigned long long>(w.counts[1]),
                                   static_cast<unsigned long long>(w.counts[2]), w.nearest.r,
                                   w.nearest.g, w.nearest.b, w.delta_e);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return Py_BuildValue("(KO)", static_cast<unsigned long long>(total), list.get());
}

PyMethodDef methods[] = {
    {"find_palette", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_palette)),
     METH_VARARGS | METH_KEYWORDS,
     "find_palette($module, /, image, n_colors, mask=None, *, rgb=False)\n--\n\n"
     "The dominant colours of an 8-bit image, height x width x 3 in blue-green-red\n"
     "order (red-green-blue with rgb=True), as [((r, g, b), pixels), ...], the\n"
     "most pixels first: at most n_colors (1 to MAX_COLORS), fewer when the image\n"
     "has fewer distinct colours. Pixels where mask (an 8-bit height x width\n"
     "plane) is 128 or less are left out. Weighted k-means in CIE L*a*b* on the\n"
     "distinct colours; the same pixels always give the same result."},
    {"count_nearest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_nearest)),
     METH_VARARGS | METH_KEYWORDS,
     "count_nearest($module, /, image, colours, mask=None, *, rgb=False, step=1)\n--\n\n"
     "The pixels of an 8-bit image (as for find_palette) nearest each of the\n"
     "colours, a list of (r, g, b), by distance in CIE L*a*b* (the earlier colour\n"
     "on a tie): a palette's shares counted on a larger image than it was found on.\n"
     "With step > 1, every step-th pixel of each row is counted, from an offset\n"
     "that varies from row to row."},
    {"count_within", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(count_within)),
     METH_VARARGS | METH_KEYWORDS,
     "count_within($module, /, image, colours, tolerances, mask=None, *, rgb=False, step=1)\n--\n\n"
     "For each of the colours (a list of (r, g, b) targets): the pixels of an 8-bit\n"
     "image (as for find_palette) within each of three CIEDE2000 tolerances (rising),\n"
     "the image's colour nearest the target and its CIEDE2000 difference, as\n"
     "(total, [((within1, within2, within3), (r, g, b), difference), ...]); the\n"
     "difference is inf when no pixel is counted. L*a*b* of the sRGB standard, D65.\n"
     "With step > 1 the pixels are sampled as count_nearest samples them."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  return PyModule_AddIntConstant(module, "MAX_COLORS", engine::kMaxColors);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The palette engine: dominant colours by weighted k-means in CIE L*a*b*.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&module_def); }

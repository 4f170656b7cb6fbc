// velmora_huebit.photos._jpeg: a JPEG read from its coefficients (sample.h),
// for Python.
//
// sample(data, pixels, max_bytes) takes the file's bytes through the buffer
// protocol (bytes, a memory map: nothing is copied) and decodes with the
// interpreter lock released. The photo comes back as two blue-green-red
// images in bytearrays with their shapes, or None where the caller's own
// decoder should read it. One function, no state, any interpreter.
#include "ref.h"

#include "sample.h"

#include <new>

namespace {

using huebit::Ref;

Ref as_array(const jpeg::Image& image) {
  Ref pixels =
      Ref::steal(PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(image.pixels.data()),
                                               static_cast<Py_ssize_t>(image.pixels.size())));
  if (!pixels) return {};
  return Ref::steal(Py_BuildValue("(O(iii))", pixels.get(), image.height, image.width, 3));
}

PyObject* sample(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"data", "pixels", "max_bytes", "scale", nullptr};
  Py_buffer data;
  Py_ssize_t pixels, max_bytes;
  int scale = 8;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*nn|i:sample", const_cast<char**>(keywords),
                                   &data, &pixels, &max_bytes, &scale))
    return nullptr;
  if (pixels < 1 || max_bytes < 0 || (scale != 8 && scale != 4)) {
    PyBuffer_Release(&data);
    PyErr_SetString(PyExc_ValueError,
                    "pixels must be 1 or more, max_bytes 0 or more, scale 8 or 4");
    return nullptr;
  }
  jpeg::Sampled sampled;
  bool read = false, memory = false;
  Py_BEGIN_ALLOW_THREADS try {
    read = jpeg::sample(static_cast<const uint8_t*>(data.buf), static_cast<size_t>(data.len), scale,
                        static_cast<size_t>(max_bytes), static_cast<size_t>(pixels), sampled);
  } catch (const std::bad_alloc&) {
    memory = true;
  }
  Py_END_ALLOW_THREADS PyBuffer_Release(&data);
  if (memory) return PyErr_NoMemory();
  if (!read) Py_RETURN_NONE;
  Ref small = as_array(sampled.small);
  if (!small) return nullptr;
  Ref picked = as_array(sampled.picked);
  if (!picked) return nullptr;
  return PyTuple_Pack(2, small.get(), picked.get());
}

PyMethodDef methods[] = {
    {"sample", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample)),
     METH_VARARGS | METH_KEYWORDS,
     "sample($module, /, data, pixels, max_bytes, scale=8)\n--\n\n"
     "The JPEG in data (bytes-like) read from its coefficients, in one pass of the\n"
     "entropy decoder, as ((small, shape), (picked, shape)): small the photo at\n"
     "1/scale, 8 or 4 (each pixel the mean of scale x scale of it), picked up to\n"
     "`pixels` of its pixels\n"
     "at full size (one from each cell of a lattice over it), each a bytearray of\n"
     "blue-green-red with its (height, width, 3), before any EXIF turn. None for a\n"
     "file this does not read (a colour space other than YCbCr or grey, any damage\n"
     "or warning, coefficients over max_bytes): another decoder reads it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_jpeg",
    "A JPEG read from its coefficients: small, with some pixels at full size.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__jpeg() { return PyModuleDef_Init(&module_def); }

// velmora_huebit.photos._area: an 8-bit image shrunk by area averaging as
// OpenCV's INTER_AREA does it on its general path (area.h), for Python.
//
// shrink(source, out) reads both arrays through the buffer protocol, the
// source with any strides, and writes the shrunk image into out, with the
// interpreter lock released. The caller (photos.sizing.shrink) decides
// when OpenCV would take this path; this checks only what keeps the work
// in bounds. One function, no state, any interpreter.
#include "ref.h"

#include "area.h"

#include <new>

namespace {

// obj's buffer held in buffer as an 8-bit image (height x width x 1 to 4
// channels) in image; false with an exception set when it is not one.
bool read_image(PyObject* obj, huebit::HeldBuffer& buffer, int flags, const char* what,
                area::View& image) {
  if (!buffer.get(obj, flags)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError)) {
      PyErr_Clear();
      PyErr_Format(
          PyExc_TypeError, "%s must be %s 8-bit array, height x width x channels, not %.200s", what,
          flags & PyBUF_WRITABLE ? "a writable, C-contiguous" : "an", Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  const Py_buffer& view = buffer.view();
  if (!huebit::holds_bytes(view)) {
    PyErr_Format(PyExc_TypeError, "%s must hold 8-bit unsigned values (uint8)", what);
    return false;
  }
  if (view.ndim != 3 || view.shape[2] < 1 || view.shape[2] > 4) {
    PyErr_Format(PyExc_ValueError, "%s must be height x width x channels (1 to 4)", what);
    return false;
  }
  image = {static_cast<uint8_t*>(view.buf),
           view.shape[0],
           view.shape[1],
           view.shape[2],
           view.strides[0],
           view.strides[1],
           view.strides[2]};
  return true;
}

PyObject* shrink(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "out", nullptr};
  PyObject *source_obj, *out_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:shrink", const_cast<char**>(keywords),
                                   &source_obj, &out_obj))
    return nullptr;
  huebit::HeldBuffer source_buffer, out_buffer;
  area::View source{}, out{};
  if (!read_image(source_obj, source_buffer, PyBUF_RECORDS_RO, "source", source) ||
      !read_image(out_obj, out_buffer, PyBUF_RECORDS | PyBUF_C_CONTIGUOUS, "out", out))
    return nullptr;
  // as OpenCV's sizes are ints; and a bound on the work (a broadcast view may
  // claim any size without the memory behind it)
  constexpr Py_ssize_t kMostSide = Py_ssize_t{0x7fffffff}, kMostPixels = Py_ssize_t{0xffffffff};
  if (source.height > kMostSide || source.width > kMostSide ||
      (source.height > 0 && source.width > kMostPixels / source.height)) {
    PyErr_Format(PyExc_ValueError, "source of %zd x %zd pixels is too large (at most %zd pixels)",
                 source.width, source.height, kMostPixels);
    return nullptr;
  }
  if (out.channels != source.channels || out.height < 1 || out.width < 1 ||
      out.height > source.height || out.width > source.width) {
    PyErr_SetString(
        PyExc_ValueError,
        "out must be no larger than source either way, at least 1 x 1, with as many channels");
    return nullptr;
  }
  bool memory = false;
  Py_BEGIN_ALLOW_THREADS try { area::shrink(source, out); } catch (const std::bad_alloc&) {
    memory = true;
  }
  Py_END_ALLOW_THREADS if (memory) return PyErr_NoMemory();
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"shrink", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shrink)),
     METH_VARARGS | METH_KEYWORDS,
     "shrink($module, /, source, out)\n--\n\n"
     "source (an 8-bit array, height x width x 1 to 4 channels, any strides) shrunk\n"
     "into out (writable, C-contiguous, no larger either way, as many channels) by\n"
     "area averaging, pixel for pixel as cv2.resize(source, (width, height),\n"
     "interpolation=cv2.INTER_AREA) gives it where the new size is no whole fraction\n"
     "of the old. Returns None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_area",
    "An 8-bit image shrunk by area averaging, as OpenCV's INTER_AREA does it.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__area() { return PyModuleDef_Init(&module_def); }

// What the module hands to OpenCV.
//
// OpenCV's Python binding trusts two conversions it does not check. A path
// goes to the image reader as the str's UTF-8 text, and a str that has none
// (a lone surrogate, which is what os.listdir gives for a file name whose
// bytes are not UTF-8) arrives as a null pointer. An array whose layout
// OpenCV cannot use as it is gets copied through NumPy, and a copy that fails
// (an ndarray subclass whose __array_finalize__ raises, a broadcast view too
// large to copy) leaves it with a null array. Both end the process.
//
// So the reader only ever sees paths it can take (and only regular files: a
// FIFO, socket or device would hang it), and every array goes over
// as a plain ndarray (a view of the same memory: NumPy runs no subclass code
// for it) in a layout OpenCV takes without copying; where it would have
// copied, the copy is made here and a failure is a Python exception. OpenCV
// sees the same pixels, so its results and its own errors stay as they were.
#include "numpy_api.h"
#include "huebit.h"

#include <cstring>

#include <sys/stat.h>

namespace huebit {
namespace {

// OpenCV takes an array as it is when its last axis is packed and each other
// axis of two or more elements steps at least as far as the one after it
// (rows may be padded), and when a three-axis image has its pixels packed;
// anything else it copies. Unaligned data it would read as if aligned, so
// that is copied too.
bool opencv_takes_as_is(PyArrayObject* a) {
  if (!PyArray_ISALIGNED(a)) return false;
  const int ndim = PyArray_NDIM(a);
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  const npy_intp item_size = PyArray_ITEMSIZE(a);
  for (int i = ndim - 1; i >= 0; --i) {
    if (dims[i] <= 1) continue;
    if (i == ndim - 1 ? strides[i] != item_size : strides[i] < strides[i + 1]) return false;
  }
  return !(ndim == 3 && strides[1] != item_size * dims[2]);
}

}  // namespace

Ref opencv_array(Arg value) {
  if (detail::failed({value})) return {};
  if (!PyArray_Check(value.get())) return Ref::borrow(value.get());
  auto* a = reinterpret_cast<PyArrayObject*>(value.get());
  if (opencv_takes_as_is(a)) {
    if (PyArray_CheckExact(value.get())) return Ref::borrow(value.get());
    return Ref::steal(PyArray_View(a, nullptr, &PyArray_Type));
  }
  // A copy of a subclass instance would be a subclass instance again.
  Ref plain = Ref::steal(PyArray_View(a, nullptr, &PyArray_Type));
  if (!plain) return {};
  return Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(plain.get()), NPY_CORDER));
}

int opencv_can_read(PyObject* path) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(path, &size);
  if (!text) return clear_if(PyExc_UnicodeEncodeError) ? 0 : -1;
  // Past a NUL the reader would see a different, shorter path.
  if (std::strlen(text) != static_cast<size_t>(size)) return 0;
  // The reader would block on a FIFO or socket, or read a device without
  // end: only regular files are handed over (and paths stat cannot see, for
  // the reader to report).
  struct stat info;
  if (stat(text, &info) == 0 && !S_ISREG(info.st_mode)) return 0;
  return 1;
}

}  // namespace huebit

// velmora_huebit._lab8: the matching kernel's own 8-bit L*a*b* conversions
// (color_extractor/lab8.cpp), for Python.
//
// The kernel computes OpenCV's conversions itself rather than calling
// cv2.cvtColor; this module hands the very same code to Python so that the
// tests can hold it against cv2.cvtColor value for value, and the benchmarks
// time it. One function, no state, any interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "lab8.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <new>

namespace {

using huebit::Lab8;

// The entry of `table` that the second of two positional arguments names;
// nullptr with TypeError or ValueError set otherwise.
template <class Entry, size_t N>
const Entry* named(const char* function, PyObject* const* args, Py_ssize_t nargs,
                   const Entry (&table)[N]) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments (%zd given)", function, nargs);
    return nullptr;
  }
  const char* name = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8(args[1]) : nullptr;
  if (PyErr_Occurred()) return nullptr;
  for (const Entry& entry : table)
    if (name && std::strcmp(name, entry.name) == 0) return &entry;
  PyErr_Format(PyExc_ValueError, "%s() got an unknown name %R", function, args[1]);
  return nullptr;
}

struct Code {
  const char* name;
  Lab8 code;
};
constexpr Code kCodes[] = {
    {"BGR2LAB", Lab8::BgrToLab}, {"RGB2LAB", Lab8::RgbToLab}, {"LAB2RGB", Lab8::LabToRgb}};

PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const Code* code = named("convert", args, nargs, kCodes);
  if (!code) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  if (view.len % 3) {
    PyBuffer_Release(&view);
    PyErr_SetString(PyExc_ValueError, "values must be whole triples of bytes");
    return nullptr;
  }
  PyObject* result = PyBytes_FromStringAndSize(nullptr, view.len);
  if (result) {
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result));
    // The buffer stays held, so its memory stays; another thread may write
    // into it meanwhile, which changes only what is read.
    Py_BEGIN_ALLOW_THREADS huebit::convert_lab8(code->code, static_cast<const uint8_t*>(view.buf),
                                                out, size_t(view.len) / 3);
    Py_END_ALLOW_THREADS
  }
  PyBuffer_Release(&view);
  return result;
}

struct ChainName {
  const char* name;
  huebit::lab8::Chain chain;
};
constexpr ChainName kChains[] = {{"LabFromBgr", huebit::lab8::Chain::LabFromBgr},
                                 {"RgbFromBgr", huebit::lab8::Chain::RgbFromBgr},
                                 {"LabRows", huebit::lab8::Chain::LabRows},
                                 {"RgbRows", huebit::lab8::Chain::RgbRows}};

// chain(keys, name) -> (rgb keys, L*a*b* keys, counts): the bytes of n
// uint32 each, the counts 1 unless the feature value is all zero.
PyObject* chain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  const ChainName* found = named("chain", args, nargs, kChains);
  if (!found) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  const size_t n = size_t(view.len) / 4;
  // A copy of our own, aligned, and one the caller cannot change meanwhile.
  std::unique_ptr<uint32_t[]> keys(new (std::nothrow) uint32_t[n + 1]);
  if (keys) std::memcpy(keys.get(), view.buf, 4 * n);
  PyBuffer_Release(&view);
  if (!keys) return PyErr_NoMemory();
  for (size_t i = 0; i < n; ++i)
    if (keys[i] >> 24) {
      PyErr_SetString(PyExc_ValueError, "keys must be below 2**24");
      return nullptr;
    }
  PyObject* rgb = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(4 * n));
  PyObject* lab = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(4 * n));
  PyObject* counts = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(4 * n));
  PyObject* result = nullptr;
  if (rgb && lab && counts) {
    auto* ones = reinterpret_cast<uint32_t*>(PyBytes_AS_STRING(counts));
    for (size_t i = 0; i < n; ++i) ones[i] = 1;
    Py_BEGIN_ALLOW_THREADS huebit::chain_lab8(
        found->chain, keys.get(), n, reinterpret_cast<uint32_t*>(PyBytes_AS_STRING(rgb)),
        reinterpret_cast<uint32_t*>(PyBytes_AS_STRING(lab)), ones);
    Py_END_ALLOW_THREADS result = PyTuple_Pack(3, rgb, lab, counts);
  }
  Py_XDECREF(rgb);
  Py_XDECREF(lab);
  Py_XDECREF(counts);
  return result;
}

PyMethodDef methods[] = {
    {"chain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chain)), METH_FASTCALL,
     "chain($module, keys, name, /)\n--\n\n"
     "The matching kernel's conversions of uint32 keys (c0 << 16 | c1 << 8 | c2)\n"
     "for chain 'LabFromBgr', 'RgbFromBgr', 'LabRows' or 'RgbRows': the bytes of\n"
     "the uint32 RGB keys, of the uint32 L*a*b* keys (l << 16 | a << 8 | b)\n"
     "and of the uint32 counts (1, or 0 where the feature value is all zero)."},
    {"convert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(convert)), METH_FASTCALL,
     "convert($module, values, code, /)\n--\n\n"
     "The bytes of values (a C-contiguous buffer of whole triples of bytes)\n"
     "converted as cv2.cvtColor converts 8-bit images with code 'BGR2LAB',\n"
     "'RGB2LAB' or 'LAB2RGB', triple by triple."},
    {nullptr, nullptr, 0, nullptr},
};

// RELEASES: the OpenCV releases the conversions were compared with;
// VECTOR_LOOPS: whether the chain runs its AVX2 loop (lab8.h).
int exec(PyObject* module) {
  if (PyModule_AddObjectRef(module, "VECTOR_LOOPS", huebit::has_avx2() ? Py_True : Py_False) < 0)
    return -1;
  PyObject* releases = PyTuple_New(std::size(huebit::kLab8ComparedReleases));
  if (!releases) return -1;
  Py_ssize_t i = 0;
  for (const char* release : huebit::kLab8ComparedReleases) {
    PyObject* text = PyUnicode_FromString(release);
    if (!text) {
      Py_DECREF(releases);
      return -1;
    }
    PyTuple_SET_ITEM(releases, i++, text);
  }
  const int added = PyModule_AddObjectRef(module, "RELEASES", releases);
  Py_DECREF(releases);
  return added;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_lab8",
    "OpenCV's 8-bit sRGB and L*a*b* conversions as the matching kernel computes them.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__lab8() { return PyModuleDef_Init(&module_def); }

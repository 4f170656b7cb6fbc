// The matching kernel's conversions of distinct values: by cv2.cvtColor, or
// by the kernel's own code where that gives the same bytes.
//
// The own code (lab8.cpp) computes OpenCV's 8-bit L*a*b* conversions from
// the same tables and integer steps, and the tests hold it against
// cv2.cvtColor on all 2^24 values for the releases lab8.h lists. It stands
// in for the call only when
// - cv2.__version__ is one of those releases (read at every call) and the module's
//   cv2.cvtColor is a built-in function (the kernel has checked that cv2 is
//   the library), with the colour codes it had when it was checked;
// - on a sample of values, checked once for each cvtColor met, every chain
//   the kernel makes gives what the calls give on this machine: OpenCV
//   picks its code by the processor and its build;
// - the machine has AVX2, for the own code's vector loop.
// Otherwise the kernel calls cv2.cvtColor, as the steps do.
#include "numpy_api.h"
#include "huebit.h"
#include "lab8.h"

#include <cstring>
#include <vector>

namespace huebit {
namespace {

const Name cv2{"cv2"}, cvtColor{"cvtColor"}, version{"__version__"}, COLOR_BGR2LAB{"COLOR_BGR2LAB"},
    COLOR_BGR2RGB{"COLOR_BGR2RGB"}, COLOR_LAB2RGB{"COLOR_LAB2RGB"}, COLOR_RGB2LAB{"COLOR_RGB2LAB"};

const Name* const kCodes[] = {&COLOR_BGR2LAB, &COLOR_BGR2RGB, &COLOR_LAB2RGB, &COLOR_RGB2LAB};

// The cvtColor checked and found to agree, its codes then, and the last one
// found not to; strong references (one interpreter per process).
PyObject* vouched = nullptr;
long vouched_codes[4];
PyObject* refused = nullptr;

// The values of the codes: false where one is not a plain int.
bool read_codes(long out[4]) {
  for (int i = 0; i < 4; ++i) {
    Ref code = global_attr(cv2, *kCodes[i]);
    if (!code) return false;
    if (!PyLong_CheckExact(code.get())) return false;
    out[i] = PyLong_AsLong(code.get());
    if (out[i] == -1 && PyErr_Occurred()) return false;
  }
  return true;
}

bool listed_release() {
  Ref v = global_attr(cv2, version);
  if (!v) {
    PyErr_Clear();
    return false;
  }
  const char* text = PyUnicode_Check(v.get()) ? PyUnicode_AsUTF8(v.get()) : nullptr;
  if (!text) {
    PyErr_Clear();
    return false;
  }
  for (const char* release : kLab8ComparedReleases)
    if (std::strcmp(text, release) == 0) return true;
  return false;
}

std::vector<uint8_t> bytes_of(const std::vector<uint32_t>& keys) {
  std::vector<uint8_t> out(3 * keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    out[3 * i] = uint8_t(keys[i] >> 16);
    out[3 * i + 1] = uint8_t(keys[i] >> 8);
    out[3 * i + 2] = uint8_t(keys[i]);
  }
  return out;
}

// Whether the own chain gives `keys_expected` (the values as keys) and
// `lab_expected` (three bytes a value) for `sample`.
bool chain_agrees(lab8::Chain chain, const std::vector<uint32_t>& sample,
                  const std::vector<uint8_t>& keys_expected,
                  const std::vector<uint8_t>& lab_expected) {
  const size_t n = sample.size();
  std::vector<uint32_t> keys(n), lab(n), counts(n, 1);
  chain_lab8(chain, sample.data(), n, keys.data(), lab.data(), counts.data());
  return bytes_of(keys) == keys_expected && bytes_of(lab) == lab_expected;
}

// 1 where every chain agrees with cv2.cvtColor on the sample, 0 where one
// does not, -1 with an exception set.
int sample_agrees() {
  // Values spread over the whole cube, the corners among them, and a
  // length that leaves some for the one-at-a-time tail.
  std::vector<uint32_t> sample = {0, 0xffffff, 0xff0000, 0x00ff00, 0x0000ff};
  for (uint32_t i = 0; i < 4096; ++i) sample.push_back((i * 2654435761u) >> 8);
  const std::vector<uint8_t> values = bytes_of(sample);
  std::vector<uint8_t> feature, rgb, lab, swapped, lab2, rgb3, lab3, lab4;
  if (!convert_values(values, COLOR_BGR2LAB, feature) ||
      !convert_values(feature, COLOR_LAB2RGB, rgb) || !convert_values(rgb, COLOR_RGB2LAB, lab) ||
      !convert_values(values, COLOR_BGR2RGB, swapped) ||
      !convert_values(swapped, COLOR_RGB2LAB, lab2) ||
      !convert_values(values, COLOR_LAB2RGB, rgb3) || !convert_values(rgb3, COLOR_RGB2LAB, lab3) ||
      !convert_values(values, COLOR_RGB2LAB, lab4))
    return -1;
  return chain_agrees(lab8::Chain::LabFromBgr, sample, rgb, lab) &&
         chain_agrees(lab8::Chain::RgbFromBgr, sample, swapped, lab2) &&
         chain_agrees(lab8::Chain::LabRows, sample, rgb3, lab3) &&
         chain_agrees(lab8::Chain::RgbRows, sample, values, lab4);
}

// Checks `function`, the module's cv2.cvtColor: 1 vouched for, 0 refused,
// -1 with an exception set.
int check(PyObject* function) {
  long codes[4] = {0, 0, 0, 0};
  int agrees = 0;
  if (PyCFunction_Check(function)) {
    if (!read_codes(codes)) {
      if (PyErr_Occurred()) return -1;
    } else {
      agrees = sample_agrees();
      if (agrees < 0) return -1;
    }
  }
  PyObject*& slot = agrees ? vouched : refused;
  Py_XSETREF(slot, Py_NewRef(function));
  if (agrees) std::memcpy(vouched_codes, codes, sizeof codes);
  return agrees;
}

}  // namespace

bool convert_values(const std::vector<uint8_t>& values, const Name& code,
                    std::vector<uint8_t>& out) {
  npy_intp shape[3] = {1, npy_intp(values.size() / 3), 3};
  Ref row = Ref::steal(PyArray_SimpleNew(3, shape, NPY_UBYTE));
  if (!row) return false;
  std::copy(values.begin(), values.end(),
            static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(row.get()))));
  Ref converted = call(global_attr(cv2, cvtColor), {row, global_attr(cv2, code)});
  if (!converted) return false;
  Ref packed = Ref::steal(PyArray_FROMANY(converted.get(), NPY_UBYTE, 0, 0, NPY_ARRAY_CARRAY));
  if (!packed) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(packed.get());
  if (PyArray_SIZE(a) != npy_intp(values.size())) {
    PyErr_SetString(PyExc_RuntimeError, "cvtColor changed the number of values");
    return false;
  }
  const uint8_t* p = static_cast<const uint8_t*>(PyArray_DATA(a));
  out.assign(p, p + values.size());
  return true;
}

int own_conversions() {
  // One value at a time the own code is slower than OpenCV's vector code.
  if (!has_avx2()) return 0;
  // Read on every call, not only when a cvtColor is checked: a test fakes
  // an unlisted release to run the fallback.
  if (!listed_release()) return 0;
  Ref function = global_attr(cv2, cvtColor);
  if (!function) return -1;
  if (function.get() != vouched) {
    if (function.get() == refused) return 0;
    const int checked = check(function.get());
    if (checked <= 0) return checked;
  }
  long codes[4];
  if (!read_codes(codes)) return PyErr_Occurred() ? -1 : 0;
  return std::memcmp(codes, vouched_codes, sizeof codes) == 0;
}

}  // namespace huebit

// Argument binding and argument tests, one implementation for every method.
//
// Binding follows the interpreter: too many positionals are reported first,
// then the first required parameter that neither a positional nor a keyword
// supplied, then keywords that name nothing or repeat a positional. The texts
// are the interpreter's own ("takes at least 1 positional argument (0 given)").
#include "huebit.h"

#include <cstring>

namespace huebit {
namespace {

const Name add_note{"add_note"};

void raise_count(const FunctionDef& def, Py_ssize_t given) {
  const Py_ssize_t n_min = def.n_required;
  const Py_ssize_t n_max = static_cast<Py_ssize_t>(def.params.size());
  const char* more_or_less;
  Py_ssize_t expected;
  if (given < n_min) {
    expected = n_min;
    more_or_less = "at least";
  } else {
    expected = n_max;
    more_or_less = "at most";
  }
  if (n_min == n_max) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               def.name.text(), more_or_less, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter called `key`, or -1.
Py_ssize_t param_index(const FunctionDef& def, PyObject* key) {
  for (size_t i = 0; i < def.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, def.params[i]) == 0)
      return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

// Keyword source: either a kwnames tuple with values, or a dict.
struct Keywords {
  PyObject* names = nullptr;          // tuple, or nullptr
  PyObject* const* values = nullptr;  // for the tuple
  PyObject* dict = nullptr;           // or a dict

  template <class F>
  bool each(F&& f) const {
    if (names) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
        if (!f(PyTuple_GET_ITEM(names, i), values[i])) return false;
    } else if (dict) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(dict, &pos, &key, &value))
        if (!f(key, value)) return false;
    }
    return true;
  }
  bool empty() const {
    if (names) return PyTuple_GET_SIZE(names) == 0;
    return !dict || PyDict_GET_SIZE(dict) == 0;
  }
};

bool bind(const FunctionDef& def, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
          const Keywords& kw, Ref* out) {
  const Py_ssize_t n_params = static_cast<Py_ssize_t>(def.params.size());
  if (nargs > n_params) {
    raise_count(def, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(args[i]);

  if (!kw.empty()) {
    bool ok = kw.each([&](PyObject* key, PyObject* value) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name.text());
        return false;
      }
      Py_ssize_t i = param_index(def, key);
      if (i >= nargs && !out[i]) out[i] = Ref::borrow(value);
      return true;
    });
    if (!ok) return false;
  }

  // A missing required parameter is reported before stray keywords.
  for (Py_ssize_t i = nargs; i < def.n_required; ++i) {
    if (!out[i]) {
      raise_count(def, i);
      return false;
    }
  }

  if (!kw.empty()) {
    bool ok = kw.each([&](PyObject* key, PyObject*) {
      Py_ssize_t i = param_index(def, key);
      if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     def.name.text(), key);
        return false;
      }
      if (i < nargs) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     def.name.text(), key);
        return false;
      }
      return true;
    });
    if (!ok) return false;
  }

  // Defaults fill the remaining parameters from the right, as for Python
  // functions; __defaults__ may have been shortened.
  const Py_ssize_t n_defaults =
      defaults && PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
  for (Py_ssize_t i = def.n_required; i < n_params; ++i) {
    if (out[i]) continue;
    Py_ssize_t d = i - (n_params - n_defaults);
    if (d < 0) {
      raise_count(def, i);
      return false;
    }
    out[i] = Ref::borrow(PyTuple_GET_ITEM(defaults, d));
  }
  return true;
}

}  // namespace

bool bind_vector(const FunctionDef& def, PyObject* defaults, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, Ref* out) {
  Keywords kw;
  kw.names = kwnames;
  kw.values = args + nargs;
  return bind(def, defaults, args, nargs, kw, out);
}

bool bind_dict(const FunctionDef& def, PyObject* defaults, PyObject* args, PyObject* kwargs,
               Ref* out) {
  Keywords kw;
  kw.dict = kwargs;
  return bind(def, defaults, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kw, out);
}

bool check_argument(PyObject* value, PyTypeObject* expected, bool none_ok, const char* name,
                    bool exact) {
  if (none_ok && value == Py_None) return true;
  if (exact ? Py_IS_TYPE(value, expected) : PyObject_TypeCheck(value, expected)) return true;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               expected->tp_name, Py_TYPE(value)->tp_name);
  if (exact && PyObject_TypeCheck(value, expected)) {
    PyObject* exc = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "ColorExtractor takes exactly %.200s for '%.200s'; subclasses of built-in types such as "
        "%.200s are refused for annotated parameters. Convert the value first, e.g. %.200s(value).",
        expected->tp_name, name, Py_TYPE(value)->tp_name, expected->tp_name));
    if (note) {
      Ref done = call_method(exc, add_note, {note});
      if (!done) {
        Py_DECREF(exc);
        return false;
      }
    }
    PyErr_SetRaisedException(exc);
  }
  return false;
}

bool check_ndarray_argument(PyObject* value, const char* name) {
  return check_argument(value, state.ndarray, true, name, false);
}

bool check_convertible(PyObject* value, PyTypeObject* expected) {
  if (value == Py_None || PyObject_TypeCheck(value, expected)) return true;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
               expected->tp_name);
  return false;
}

bool check_exact(PyObject* value, PyTypeObject* expected, const char* expected_name) {
  if (value == Py_None || Py_IS_TYPE(value, expected)) return true;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected_name, Py_TYPE(value)->tp_name);
  return false;
}

bool as_c_int(PyObject* value, int* out) {
  Ref number;
  if (PyLong_Check(value)) {
    number = Ref::borrow(value);
  } else {
    PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
    if (!nb || !nb->nb_int) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    number = Ref::steal(nb->nb_int(value));
    if (!number) return false;
    if (!PyLong_CheckExact(number.get())) {
      if (!PyLong_Check(number.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(number.get())->tp_name);
        return false;
      }
      if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__int__ returned non-int (type %.200s).  The ability to return an "
                           "instance of a strict subclass of int is deprecated, and may be "
                           "removed in a future version of Python.",
                           Py_TYPE(number.get())->tp_name) < 0)
        return false;
    }
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(number.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < INT_MIN || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

bool as_c_double(PyObject* value, double* out) {
  double v = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

}  // namespace huebit

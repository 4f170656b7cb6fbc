// Owning references and call helpers for the color_extractor_cy module.
//
// Every PyObject* that this module owns lives in a Ref. Ownership is named
// where a Ref is made: Ref::steal takes over a new reference (what most C-API
// calls return), Ref::borrow adds one to a borrowed pointer. A Ref never
// converts to PyObject* on its own; .get() lends the pointer, .release()
// hands the reference on.
//
// An empty Ref means "an exception is set". The helpers below accept empty
// Refs as arguments and pass the failure on; and while an exception is
// pending they run no Python code at all, so that in a nested expression a
// later argument cannot clear or replace the first error. A method body can
// therefore read like the Python statement it implements:
//
//     Ref counts = call(np(unique), {labels}, {{return_counts, Py_True}});
//     if (!counts) return {};
//
// Names used for attribute lookups and keywords are Name objects: each one is
// interned once when the module starts.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <utility>

namespace huebit {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

  Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(PyObject* other) const noexcept { return p_ == other; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A buffer held for the duration of a call, released on every way out: the
// buffer protocol's counterpart of a Ref.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // false with an exception set when obj exports no such buffer
  bool get(PyObject* obj, int flags = PyBUF_RECORDS_RO) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }
  const Py_buffer& view() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Whether the buffer holds single unsigned bytes ("B", with any byte-order
// prefix: one byte has none).
inline bool holds_bytes(const Py_buffer& view) noexcept {
  const char* format = view.format ? view.format : "B";
  if (*format && std::strchr("@=<>!", *format)) ++format;
  return view.itemsize == 1 && std::strcmp(format, "B") == 0;
}

// A name interned at module start. Names register themselves when the shared
// library is loaded; Name::intern_all() turns them into str objects.
class Name {
 public:
  explicit Name(const char* text) noexcept;
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  // Interned at module start; a Name made later is interned on first use
  // (nullptr with an exception set if that fails).
  PyObject* get() const noexcept {
    if (!object_) object_ = PyUnicode_InternFromString(text_);
    return object_;
  }
  const char* text() const noexcept { return text_; }

  static bool intern_all();

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;  // immortal for the life of the process
  Name* next_;
};

// A borrowed argument for the duration of one call: a raw pointer, a Ref or
// a Name. A null pointer stands for an error that is already set.
class Arg {
 public:
  Arg(PyObject* p) noexcept : p_(p) {}
  Arg(const Ref& r) noexcept : p_(r.get()) {}
  Arg(const Name& n) noexcept : p_(n.get()) {}
  PyObject* get() const noexcept { return p_; }

 private:
  PyObject* p_;
};

struct Kw {
  const Name& name;
  Arg value;
};

using Args = std::initializer_list<Arg>;
using Kws = std::initializer_list<Kw>;

inline Name* name_registry = nullptr;

inline Name::Name(const char* text) noexcept : text_(text), next_(name_registry) {
  name_registry = this;
}

inline bool Name::intern_all() {
  for (Name* n = name_registry; n; n = n->next_) {
    if (n->object_) continue;
    n->object_ = PyUnicode_InternFromString(n->text_);
    if (!n->object_) return false;
  }
  return true;
}

namespace detail {

// True when an argument stands for a failure or an exception is pending:
// then nothing more may run.
inline bool failed(std::initializer_list<Arg> args) {
  for (const Arg& a : args)
    if (!a.get()) return true;
  return PyErr_Occurred() != nullptr;
}

// Room for the callable (or self) in front of the arguments, so that the
// callee may use PY_VECTORCALL_ARGUMENTS_OFFSET.
constexpr size_t kMaxInline = 12;

inline Ref vectorcall(PyObject* callable, PyObject* self, const Name* method, Args args,
                      Kws kwargs) {
  if (PyErr_Occurred()) return {};
  const size_t nargs = args.size() + (self ? 1 : 0);
  const size_t total = nargs + kwargs.size();
  if (total + 1 > kMaxInline) {
    PyErr_SetString(PyExc_SystemError, "too many arguments for an internal call");
    return {};
  }
  PyObject* stack[kMaxInline];
  size_t i = 1;
  if (self) stack[i++] = self;
  for (const Arg& a : args) {
    if (!a.get()) return {};
    stack[i++] = a.get();
  }
  Ref kwnames;
  if (kwargs.size()) {
    kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    if (!kwnames) return {};
    Py_ssize_t k = 0;
    for (const Kw& kw : kwargs) {
      if (!kw.value.get()) return {};
      PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(kw.name.get()));
      stack[i++] = kw.value.get();
    }
  }
  const size_t nargsf = nargs | PY_VECTORCALL_ARGUMENTS_OFFSET;
  if (method)
    return Ref::steal(PyObject_VectorcallMethod(method->get(), stack + 1, nargsf, kwnames.get()));
  return Ref::steal(PyObject_Vectorcall(callable, stack + 1, nargsf, kwnames.get()));
}

}  // namespace detail

inline Ref call(Arg callable, Args args = {}, Kws kwargs = {}) {
  if (!callable.get()) return {};
  return detail::vectorcall(callable.get(), nullptr, nullptr, args, kwargs);
}

inline Ref call_method(Arg obj, const Name& name, Args args = {}, Kws kwargs = {}) {
  if (!obj.get()) return {};
  return detail::vectorcall(nullptr, obj.get(), &name, args, kwargs);
}

inline Ref attr(Arg obj, const Name& name) {
  if (detail::failed({obj})) return {};
  return Ref::steal(PyObject_GetAttr(obj.get(), name.get()));
}

inline Ref item(Arg obj, Arg key) {
  if (detail::failed({obj, key})) return {};
  return Ref::steal(PyObject_GetItem(obj.get(), key.get()));
}

inline Ref item(Arg obj, Py_ssize_t index) {
  if (detail::failed({obj})) return {};
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  return item(obj, key);
}

inline bool set_item(Arg obj, Arg key, Arg value) {
  if (detail::failed({obj, key, value})) return false;
  return PyObject_SetItem(obj.get(), key.get(), value.get()) == 0;
}

// Defined with the module state in module.cpp.
Ref global(const Name& name);

inline Ref global_attr(const Name& global_name, const Name& name) {
  return attr(global(global_name), name);
}

inline Ref binary(Arg a, Arg b, PyObject* (*op)(PyObject*, PyObject*)) {
  if (detail::failed({a, b})) return {};
  return Ref::steal(op(a.get(), b.get()));
}

inline Ref compare(Arg a, Arg b, int op) {
  if (detail::failed({a, b})) return {};
  return Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
}

inline int truth(Arg obj) {
  if (detail::failed({obj})) return -1;
  PyObject* o = obj.get();
  if (o == Py_True) return 1;
  if (o == Py_False || o == Py_None) return 0;
  return PyObject_IsTrue(o);
}

inline Ref py_int(long value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref py_float(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
inline Ref py_str(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }
inline Ref list() { return Ref::steal(PyList_New(0)); }
inline Ref dict() { return Ref::steal(PyDict_New()); }

inline Ref tuple(Args items) {
  for (const Arg& a : items)
    if (!a.get()) return {};
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!t) return {};
  Py_ssize_t i = 0;
  for (const Arg& a : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(a.get()));
  return t;
}

inline bool append(Arg list_obj, Arg value) {
  if (detail::failed({list_obj, value})) return false;
  return PyList_Append(list_obj.get(), value.get()) == 0;
}

// len(obj); false with an exception set on failure
inline bool length(Arg obj, Py_ssize_t* n) {
  if (detail::failed({obj})) return false;
  *n = PyObject_Size(obj.get());
  return *n >= 0;
}

// tuple(int(c) for c in values)
inline Ref int_tuple(Arg values) {
  if (detail::failed({values})) return {};
  Ref items = Ref::steal(PyList_New(0));
  Ref it = Ref::steal(PyObject_GetIter(values.get()));
  if (!items || !it) return {};
  while (Ref c = Ref::steal(PyIter_Next(it.get()))) {
    Ref as_int = PyLong_CheckExact(c.get()) ? c : Ref::steal(PyNumber_Long(c.get()));
    if (!as_int || PyList_Append(items.get(), as_int.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return Ref::steal(PyList_AsTuple(items.get()));
}

inline bool clear_if(PyObject* type) {
  if (!PyErr_ExceptionMatches(type)) return false;
  PyErr_Clear();
  return true;
}

// Python's `a, b = value`, with the interpreter's messages.
inline bool unpack2(Arg value, Ref& first, Ref& second) {
  if (detail::failed({value})) return false;
  PyObject* v = value.get();
  if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
    Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
    if (n == 2) {
      PyObject** items = PySequence_Fast_ITEMS(v);
      first = Ref::borrow(items[0]);
      second = Ref::borrow(items[1]);
      return true;
    }
    if (n > 2) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    } else {
      PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                   n == 1 ? "" : "s");
    }
    return false;
  }
  Ref it = Ref::steal(PyObject_GetIter(v));
  if (!it) return false;
  Ref got[2];
  for (Py_ssize_t i = 0; i < 2; ++i) {
    got[i] = Ref::steal(PyIter_Next(it.get()));
    if (!got[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                     i == 1 ? "" : "s");
      return false;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return false;
  }
  if (PyErr_Occurred()) return false;
  first = std::move(got[0]);
  second = std::move(got[1]);
  return true;
}

}  // namespace huebit

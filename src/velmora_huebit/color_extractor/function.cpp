// The function type behind ColorExtractor's methods and the module's restore
// function.
//
// Python functions carry metadata that callers and tools read: __name__,
// __qualname__, __module__, __doc__, __defaults__, __annotations__ and a
// __code__ whose co_varnames name the parameters and locals. A builtin
// method_descriptor has none of that, so this type does what
// Objects/funcobject.c does for Python functions, on top of a C body:
//
// - calls come in through vectorcall; arguments are bound to the def's
//   parameters (arguments.cpp) as owned references, with defaults taken from
//   the object's current __defaults__ exactly as a Python function would;
// - methods bind like Python functions: obj.method is a types.MethodType whose
//   __func__ is the class attribute. Py_TPFLAGS_METHOD_DESCRIPTOR lets the
//   interpreter skip the bound object for obj.method(...) calls;
// - every call is a level of C recursion: a subclass override that calls
//   back into a method recurses through C frames that the interpreter's
//   count of Python frames does not see, so calls count toward its C
//   recursion limit, as calls through tp_call do, and a call that would
//   start too close to the end of the thread's stack raises RecursionError
//   (enter_recursive_call). Deep recursion ends in that error instead of a
//   stack overflow, also on small thread stacks and in sanitizer builds.
// - a method checks that its first argument really is a ColorExtractor before
//   the body casts it, so ColorExtractor.method(42) is a TypeError, not a crash.
#include "huebit.h"

#include <structmember.h>

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace huebit {
namespace {

const Name replace{"replace"}, co_varnames{"co_varnames"}, co_argcount{"co_argcount"},
    co_nlocals{"co_nlocals"}, co_flags{"co_flags"}, co_qualname{"co_qualname"};

struct Function {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* annotations;
  PyObject* code;
  PyObject* dict;
  PyObject* weakrefs;
};

// Slots are filled in when the type is made ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

Function* as_function(PyObject* o) { return reinterpret_cast<Function*>(o); }

// The current thread's stack. Zero where the bounds cannot be read (off
// Linux): there only the recursion count applies.
struct StackBounds {
  uintptr_t low = 0;
  uintptr_t high = 0;
};

StackBounds read_stack_bounds() {
  StackBounds bounds;
#if defined(__linux__)
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return bounds;
  void* low;
  size_t size;
  const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
  pthread_attr_destroy(&attr);
  if (!known) return bounds;
  bounds.low = reinterpret_cast<uintptr_t>(low);
  bounds.high = bounds.low + size;
#endif
  return bounds;
}

// The stack a call needs below its own frame before the next check: its
// own frames and the libraries it calls (OpenCV, NumPy, scikit-learn,
// Matplotlib, the interpreter). Measured by painting the stack, on every
// setting with images of 64 and 400 pixels square and a photo read from a
// file: k-means through scikit-learn at most 47 KB, a chart 41 KB (PDF),
// every other method under 18 KB. Reserved about three times over; the
// sanitizers' redzones make our frames up to four times larger. A thread whose stack is too small
// for a call gets RecursionError rather than a crash, so there is no fallback to less.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kScale = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kScale = 4;
#else
constexpr size_t kScale = 1;
#endif
#else
constexpr size_t kScale = 1;
#endif
constexpr size_t kReserve = 48 * 1024 * kScale;
constexpr size_t kDeepReserve = 144 * 1024 * kScale;

// The methods whose bodies reach scikit-learn or Matplotlib.
size_t reserve_for(const FunctionDef* method) {
  for (const FunctionDef* deep :
       {&extract_colors_def, &analyze_color_similarity_def, &cluster_colors_kmeans_def,
        &cluster_colors_dbscan_def, &visualize_colors_def})
    if (method == deep) return kDeepReserve;
  return kReserve;
}

// Stacks grow down. A frame outside the thread's stack (on a coroutine
// library's own stack) is not judged.
bool stack_nearly_full(size_t reserve) {
  thread_local const StackBounds bounds = read_stack_bounds();
  const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here >= bounds.low && here < bounds.high && here - bounds.low < reserve;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  Function* f = as_function(callable);
  const FunctionDef& def = *f->def;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* self = nullptr;
  if (def.is_method) {
    if (nargs < 1) {
      PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
      return nullptr;
    }
    self = args[0];
    if (!PyObject_TypeCheck(self, &ExtractorType)) {
      PyErr_Format(PyExc_TypeError,
                   "descriptor '%U' for '%s' objects doesn't apply to a '%s' object", f->name,
                   ExtractorType.tp_name, Py_TYPE(self)->tp_name);
      return nullptr;
    }
    ++args;
    --nargs;
  }
  // The defaults tuple may be replaced by the body through __defaults__, so
  // the bound arguments hold their own references.
  Ref bound[kMaxParams];
  Ref defaults = Ref::borrow(f->defaults);
  if (!bind_vector(def, defaults.get(), args, nargs, kwnames, bound)) return nullptr;
  Ref keep_self = Ref::borrow(self);
  if (!enter_recursive_call(" while calling a ColorExtractor method", &def)) return nullptr;
  PyObject* result = def.impl(self, bound);
  Py_LeaveRecursiveCall();
  return result;
}

PyObject* function_descr_get(PyObject* func, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None || !as_function(func)->def->is_method)
    return Py_NewRef(func);
  return PyMethod_New(func, obj);
}

int function_traverse(PyObject* o, visitproc visit, void* arg) {
  Function* f = as_function(o);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->code);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* o) {
  Function* f = as_function(o);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->code);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* o) {
  PyObject_GC_UnTrack(o);
  if (as_function(o)->weakrefs) PyObject_ClearWeakRefs(o);
  function_clear(o);
  PyObject_GC_Del(o);
}

PyObject* function_repr(PyObject* o) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(o)->qualname, o);
}

// ---- attributes ----

PyObject* get_name(PyObject* o, void*) { return Py_NewRef(as_function(o)->name); }
PyObject* get_qualname(PyObject* o, void*) { return Py_NewRef(as_function(o)->qualname); }
PyObject* get_doc(PyObject* o, void*) { return Py_NewRef(as_function(o)->doc); }
PyObject* get_defaults(PyObject* o, void*) { return Py_NewRef(as_function(o)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* o, void*) { return Py_NewRef(as_function(o)->code); }

PyObject* get_annotations(PyObject* o, void*) {
  Function* f = as_function(o);
  if (f->annotations == Py_None) {
    PyObject* d = PyDict_New();
    if (!d) return nullptr;
    Py_SETREF(f->annotations, d);
  }
  return Py_NewRef(f->annotations);
}

// Replaces a str attribute as Python functions do; `what` names it in the error.
int set_str(PyObject** slot, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}

int set_name(PyObject* o, PyObject* v, void*) {
  return set_str(&as_function(o)->name, v, "__name__");
}
int set_qualname(PyObject* o, PyObject* v, void*) {
  return set_str(&as_function(o)->qualname, v, "__qualname__");
}

int set_doc(PyObject* o, PyObject* v, void*) {
  Py_SETREF(as_function(o)->doc, Py_NewRef(v ? v : Py_None));
  return 0;
}

int set_defaults(PyObject* o, PyObject* v, void*) {
  if (v == nullptr) v = Py_None;
  if (v != Py_None && !PyTuple_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_SETREF(as_function(o)->defaults, Py_NewRef(v));
  return 0;
}

int set_annotations(PyObject* o, PyObject* v, void*) {
  if (v == nullptr) v = Py_None;
  if (v != Py_None && !PyDict_Check(v)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_SETREF(as_function(o)->annotations, Py_NewRef(v));
  return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickles by reference, like Python functions: the qualified name is looked up
// again in the module when loaded.
PyObject* function_reduce(PyObject* o, PyObject*) { return Py_NewRef(as_function(o)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A code object that names the parameters and locals, so that tools such as
// inspect.signature see the function as Python would.
Ref make_code(const FunctionDef& def, PyObject* qualname) {
  const Py_ssize_t n_params = static_cast<Py_ssize_t>(def.params.size()) + (def.is_method ? 1 : 0);
  const Py_ssize_t n_vars = n_params + static_cast<Py_ssize_t>(def.locals.size());
  Ref varnames = Ref::steal(PyTuple_New(n_vars));
  if (!varnames) return {};
  Py_ssize_t i = 0;
  auto put = [&](const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) return false;
    PyTuple_SET_ITEM(varnames.get(), i++, s);
    return true;
  };
  if (def.is_method && !put("self")) return {};
  for (const char* p : def.params)
    if (!put(p)) return {};
  for (const char* l : def.locals)
    if (!put(l)) return {};

  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty("velmora_huebit/color_extractor/extractor.cpp", def.name.text(), 0)));
  if (!empty) return {};
  return call_method(empty, replace, {},
                     {{co_varnames, varnames},
                      {co_argcount, py_int(static_cast<long>(n_params))},
                      {co_nlocals, py_int(static_cast<long>(n_vars))},
                      {co_flags, py_int(CO_OPTIMIZED | CO_NEWLOCALS)},
                      {co_qualname, Arg(qualname)}});
}

}  // namespace

bool ready_function_type() {
  FunctionType.tp_name = "velmora_huebit.color_extractor_cy.function";
  FunctionType.tp_basicsize = sizeof(Function);
  FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                          Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE;
  FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
  FunctionType.tp_call = PyVectorcall_Call;
  FunctionType.tp_descr_get = function_descr_get;
  FunctionType.tp_dealloc = function_dealloc;
  FunctionType.tp_traverse = function_traverse;
  FunctionType.tp_clear = function_clear;
  FunctionType.tp_repr = function_repr;
  FunctionType.tp_getset = function_getset;
  FunctionType.tp_members = function_members;
  FunctionType.tp_methods = function_methods;
  FunctionType.tp_dictoffset = offsetof(Function, dict);
  FunctionType.tp_weaklistoffset = offsetof(Function, weakrefs);
  return PyType_Ready(&FunctionType) == 0;
}

Ref make_function(const FunctionDef& def, PyObject* defaults) {
  Ref name = Ref::borrow(def.name.get());
  Ref qualname = def.is_method ? Ref::steal(PyUnicode_FromFormat("ColorExtractor.%U", name.get()))
                               : Ref::borrow(name.get());
  if (!qualname) return {};
  Ref module = py_str(kModuleName);
  Ref doc = def.doc ? py_str(def.doc) : Ref::borrow(Py_None);
  Ref annotations = dict();
  if (!module || !doc || !annotations) return {};
  for (const Annotation& a : def.annotations) {
    Ref value = py_str(a.value);
    if (!value || PyDict_SetItemString(annotations.get(), a.name, value.get()) < 0) return {};
  }
  Ref code = make_code(def, qualname.get());
  if (!code) return {};

  Function* f = PyObject_GC_New(Function, &FunctionType);
  if (!f) return {};
  f->vectorcall = function_vectorcall;
  f->def = &def;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = module.release();
  f->doc = doc.release();
  f->defaults = Py_NewRef(defaults);
  f->annotations = annotations.release();
  f->code = code.release();
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject*>(f));
}

bool enter_recursive_call(const char* where, const FunctionDef* method) {
  if (stack_nearly_full(reserve_for(method))) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
  }
  return Py_EnterRecursiveCall(where) == 0;
}

bool is_function_for(PyObject* obj, const FunctionDef& def) {
  if (PyMethod_Check(obj)) obj = PyMethod_GET_FUNCTION(obj);
  return Py_IS_TYPE(obj, &FunctionType) && as_function(obj)->def == &def;
}

}  // namespace huebit

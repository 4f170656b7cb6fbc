// Pickling of ColorExtractor objects.
//
// The state is the four settings in alphabetical order of their names,
// (algorithm, lab_space, n_colors, preprocessing), plus the instance dict for
// Python subclasses. Every reduce writes the layout code 0x95a985b; the
// restore function also accepts the two older codes of the same layout and
// refuses any other, so that a state saved for a different field layout is
// never applied. Stored pickles name the restore function and the class by
// module and qualified name: both names must stay importable.
#include "huebit.h"

namespace huebit {
namespace {

constexpr int kLayoutCode = 156932187;  // 0x95a985b
constexpr int kAcceptedCodes[] = {156932187, 95148625, 64660270};

const Name n_reduce_cython{"__reduce_cython__"}, n_setstate_cython{"__setstate_cython__"},
    n_unpickle{"__pyx_unpickle_ColorExtractor"}, n_reduce{"__reduce__"},
    n_reduce_ex{"__reduce_ex__"}, n_getstate{"__getstate__"}, n_setstate{"__setstate__"},
    n_dict{"__dict__"}, n_update{"update"}, n_new{"__new__"}, n_PickleError{"PickleError"};

Ref flag(int value) { return Ref::borrow(value ? Py_True : Py_False); }

// Writes a state tuple into `self`, field by field. A failure part-way leaves
// the fields written so far.
bool apply_state(Extractor* self, PyObject* state_tuple) {
  if (state_tuple == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return false;
  }
  const Py_ssize_t size = PyTuple_GET_SIZE(state_tuple);
  auto at = [&](Py_ssize_t i) -> PyObject* {
    if (i < size) return PyTuple_GET_ITEM(state_tuple, i);
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
  };

  PyObject* algorithm = at(0);
  if (!algorithm) return false;
  if (!check_exact(algorithm, &PyUnicode_Type, "str")) return false;
  Py_SETREF(self->algorithm, Py_NewRef(algorithm));

  PyObject* lab_space = at(1);
  if (!lab_space) return false;
  int lab = truth(lab_space);
  if (lab < 0) return false;
  self->lab_space = lab;

  PyObject* n_colors = at(2);
  if (!n_colors) return false;
  if (!as_c_int(n_colors, &self->n_colors)) return false;

  PyObject* preprocessing = at(3);
  if (!preprocessing) return false;
  int pre = truth(preprocessing);
  if (pre < 0) return false;
  self->preprocessing = pre;

  if (size > 4) {
    PyObject* o = reinterpret_cast<PyObject*>(self);
    Ref instance_dict = attr(o, n_dict);
    if (!instance_dict) return clear_if(PyExc_AttributeError);
    Ref extra = Ref::borrow(PyTuple_GET_ITEM(state_tuple, 4));
    if (!call_method(instance_dict, n_update, {extra})) return false;
  }
  return true;
}

PyObject* reduce_impl(PyObject* o, Ref*) {
  Extractor* self = as_extractor(o);
  Ref algorithm = Ref::borrow(self->algorithm);
  Ref state =
      tuple({algorithm, flag(self->lab_space), py_int(self->n_colors), flag(self->preprocessing)});
  if (!state) return nullptr;

  Ref instance_dict = attr(o, n_dict);
  if (!instance_dict && !clear_if(PyExc_AttributeError)) return nullptr;
  if (instance_dict.is_none()) instance_dict = Ref{};

  bool use_setstate;
  if (instance_dict) {
    state = tuple({algorithm, flag(self->lab_space), py_int(self->n_colors),
                   flag(self->preprocessing), instance_dict});
    if (!state) return nullptr;
    use_setstate = true;
  } else {
    use_setstate = !algorithm.is_none();
  }

  Ref restore = global(n_unpickle);
  Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(o)));
  Ref code = py_int(kLayoutCode);
  if (use_setstate) return tuple({restore, tuple({type, code, Py_None}), state}).release();
  return tuple({restore, tuple({type, code, state})}).release();
}

PyObject* setstate_impl(PyObject* self, Ref* args) {
  PyObject* state_tuple = args[0].get();
  if (!check_exact(state_tuple, &PyTuple_Type, "tuple")) return nullptr;
  if (!apply_state(as_extractor(self), state_tuple)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* unpickle_impl(PyObject*, Ref* args) {
  int code;
  if (!as_c_int(args[1].get(), &code)) return nullptr;
  bool known = false;
  for (int accepted : kAcceptedCodes) known = known || code == accepted;
  if (!known) {
    // from pickle import PickleError
    Ref fromlist = tuple({n_PickleError});
    Ref pickle_name = py_str("pickle");
    if (!fromlist || !pickle_name) return nullptr;
    Ref pickle = Ref::steal(PyImport_ImportModuleLevelObject(pickle_name.get(), state.dict, nullptr,
                                                             fromlist.get(), 0));
    Ref pickle_error = attr(pickle, n_PickleError);
    if (!pickle_error) return nullptr;
    // Formatted as Python's '%x' does, so a negative code reads -0x...
    Ref format = py_str(
        "Incompatible checksums (0x%x vs (0x95a985b, 0x5abda51, 0x3daa32e) = (algorithm, "
        "lab_space, n_colors, preprocessing))");
    Ref message = format ? Ref::steal(PyUnicode_Format(format.get(), py_int(code).get())) : Ref{};
    if (!message) return nullptr;
    PyErr_SetObject(pickle_error.get(), message.get());
    return nullptr;
  }
  Ref result = call_method(reinterpret_cast<PyObject*>(&ExtractorType), n_new, {args[0]});
  if (!result) return nullptr;
  PyObject* state_tuple = args[2].get();
  if (state_tuple != Py_None) {
    if (!check_exact(state_tuple, &PyTuple_Type, "tuple")) return nullptr;
    if (!PyObject_TypeCheck(result.get(), &ExtractorType)) {
      PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s",
                   Py_TYPE(result.get())->tp_name, ExtractorType.tp_name);
      return nullptr;
    }
    if (!apply_state(as_extractor(result.get()), state_tuple)) return nullptr;
  }
  return result.release();
}

const char* const kNoParams[] = {"__pyx_state"};
const char* const kReduceLocals[] = {"state", "_dict", "use_setstate"};
const char* const kUnpickleParams[] = {"__pyx_type", "__pyx_checksum", "__pyx_state"};
const char* const kUnpickleLocals[] = {"__pyx_PickleError", "__pyx_result"};

// `name` looked up along the type's MRO, without running descriptors.
Ref lookup(PyTypeObject* type, const Name& name) {
  return Ref::borrow(_PyType_Lookup(type, name.get()));
}

// Points __reduce__ and __setstate__ at the pickle methods, unless the class
// already pickles its own way.
bool install(PyTypeObject* type) {
  PyTypeObject* object = &PyBaseObject_Type;
  Ref getstate = lookup(type, n_getstate);
  if (getstate && !getstate.is(lookup(object, n_getstate).get())) return true;
  if (!lookup(type, n_reduce_ex).is(lookup(object, n_reduce_ex).get())) return true;

  Ref reduce = lookup(type, n_reduce);
  Ref reduce_cython = lookup(type, n_reduce_cython);
  if (!reduce.is(lookup(object, n_reduce).get()) &&
      !(reduce_cython && reduce.is(reduce_cython.get())))
    return true;
  if (!reduce_cython) return false;
  PyObject* dict = type->tp_dict;
  if (PyDict_SetItem(dict, n_reduce.get(), reduce_cython.get()) < 0) return false;
  if (PyDict_DelItem(dict, n_reduce_cython.get()) < 0) return false;

  Ref setstate = lookup(type, n_setstate);
  Ref setstate_cython = lookup(type, n_setstate_cython);
  if (!setstate || (setstate_cython && setstate.is(setstate_cython.get()))) {
    if (!setstate_cython) return false;
    if (PyDict_SetItem(dict, n_setstate.get(), setstate_cython.get()) < 0) return false;
    if (PyDict_DelItem(dict, n_setstate_cython.get()) < 0) return false;
  }
  PyType_Modified(type);
  return true;
}

}  // namespace

const FunctionDef reduce_cython_def = {
    n_reduce_cython, nullptr, {}, 0, kReduceLocals, {}, true, reduce_impl,
};
const FunctionDef setstate_cython_def = {
    n_setstate_cython, nullptr, kNoParams, 1, {}, {}, true, setstate_impl,
};
const FunctionDef unpickle_def = {
    n_unpickle, nullptr, kUnpickleParams, 3, kUnpickleLocals, {}, false, unpickle_impl,
};

bool setup_pickling(PyTypeObject* type) {
  // The methods sit in the class under their own names first; install()
  // moves them to __reduce__ and __setstate__.
  Ref reduce = make_function(reduce_cython_def, Py_None);
  Ref setstate = make_function(setstate_cython_def, Py_None);
  if (!reduce || !setstate) return false;
  if (PyDict_SetItem(type->tp_dict, n_reduce_cython.get(), reduce.get()) < 0 ||
      PyDict_SetItem(type->tp_dict, n_setstate_cython.get(), setstate.get()) < 0)
    return false;
  PyType_Modified(type);
  if (install(type)) return true;
  if (!PyErr_Occurred())
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
  return false;
}

}  // namespace huebit

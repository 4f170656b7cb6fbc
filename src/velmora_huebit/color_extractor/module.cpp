// Start-up of velmora_huebit.color_extractor_cy.
//
// The module uses multi-phase initialisation. The create step hands back the
// existing module object on a second import, and refuses a second
// interpreter: the module keeps process-wide state (the module object, the
// cached builtins, NumPy's ndarray type, the extractor type), so it can serve
// exactly one interpreter. The execute step binds the globals in the order a
// Python source file would (np, cv2, the scikit-learn names, the typing
// names, Image, plt) and then creates the class's methods. Methods look their
// globals up at each use, so replacing, say, `cv2` on the module changes what
// the next call uses.
#define HUEBIT_NUMPY_API_OWNER
#include "numpy_api.h"
#include "huebit.h"
#include "lab8.h"

#include <frameobject.h>

namespace huebit {

ModuleState state;

namespace {

const Name n_unpickle{"__pyx_unpickle_ColorExtractor"};

int64_t first_interpreter = -1;

const Name n_builtins{"__builtins__"}, n_loader{"loader"}, n_origin{"origin"}, n_parent{"parent"},
    n_locations{"submodule_search_locations"}, n_name{"name"}, n_dunder_loader{"__loader__"},
    n_file{"__file__"}, n_package{"__package__"}, n_path{"__path__"}, n_dunder_name{"__name__"},
    n_ColorExtractor{"ColorExtractor"}, n_ndarray{"ndarray"}, n_test{"__test__"};

Ref lookup_builtin(const Name& name) {
  Ref value = attr(state.builtins, name);
  if (!value && clear_if(PyExc_AttributeError))
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return value;
}

// `from <module> import <name>`: an attribute of the module, else the
// submodule registered in sys.modules.
Ref import_from(PyObject* module, const Name& name) {
  Ref value = attr(module, name);
  if (value || !clear_if(PyExc_AttributeError)) return value;
  Ref module_name = attr(module, n_dunder_name);
  if (module_name) {
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name.get()));
    if (!full) return {};
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return {};
  } else if (!clear_if(PyExc_AttributeError)) {
    return {};
  }
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
  return {};
}

Ref import(const char* module_name, std::initializer_list<const Name*> from = {}) {
  Ref name = py_str(module_name);
  Ref fromlist;
  if (from.size()) {
    fromlist = Ref::steal(PyList_New(0));
    for (const Name* n : from)
      if (!append(fromlist, *n)) return {};
  }
  if (!name) return {};
  return Ref::steal(
      PyImport_ImportModuleLevelObject(name.get(), state.dict, nullptr, fromlist.get(), 0));
}

bool bind(const Name& global_name, Arg value) {
  return value.get() && PyDict_SetItem(state.dict, global_name.get(), value.get()) == 0;
}

bool bind_from(const char* module_name, std::initializer_list<const Name*> names) {
  Ref module = import(module_name, names);
  if (!module) return false;
  for (const Name* n : names)
    if (!bind(*n, import_from(module.get(), *n))) return false;
  return true;
}

// `import a.b as x` binds the submodule a.b, not the package a.
Ref import_submodule(const char* dotted) {
  if (!import(dotted)) return {};
  PyObject* found = PyDict_GetItemString(PyImport_GetModuleDict(), dotted);
  if (!found) {
    PyErr_Format(PyExc_ImportError, "No module named '%s'", dotted);
    return {};
  }
  return Ref::borrow(found);
}

// Records a failure of the execute step in the traceback, as a frame named
// after the module's initialisation.
void add_init_traceback() {
  PyObject* exc = PyErr_GetRaisedException();
  Ref globals = dict();
  PyCodeObject* code = PyCode_NewEmpty("velmora_huebit/color_extractor/module.cpp",
                                       "init velmora_huebit.color_extractor_cy", 0);
  PyFrameObject* frame =
      code && globals ? PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr) : nullptr;
  Py_XDECREF(code);
  PyErr_Clear();  // a failure to build the frame must not hide the real error
  PyErr_SetRaisedException(exc);
  if (frame) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

const Name n_np{"np"}, n_cv2{"cv2"}, n_KMeans{"KMeans"}, n_DBSCAN{"DBSCAN"},
    n_StandardScaler{"StandardScaler"}, n_euclidean_distances{"euclidean_distances"},
    n_List{"List"}, n_Tuple{"Tuple"}, n_Optional{"Optional"}, n_Union{"Union"}, n_Dict{"Dict"},
    n_Image{"Image"}, n_plt{"plt"}, n_ValueError{"ValueError"}, n_enumerate{"enumerate"},
    n_zip{"zip"}, n_round{"round"}, n_ImportError{"ImportError"};

bool run_statements() {
  // import numpy as np; import cv2
  if (!bind(n_np, import("numpy"))) return false;
  if (!bind(n_cv2, import("cv2"))) return false;
  if (!bind_from("sklearn.cluster", {&n_KMeans, &n_DBSCAN})) return false;
  if (!bind_from("sklearn.preprocessing", {&n_StandardScaler})) return false;
  if (!bind_from("sklearn.metrics.pairwise", {&n_euclidean_distances})) return false;
  if (!bind_from("typing", {&n_List, &n_Tuple, &n_Optional, &n_Union, &n_Dict})) return false;
  if (!bind_from("PIL", {&n_Image})) return false;
  if (!bind(n_plt, import_submodule("matplotlib.pyplot"))) return false;

  if (_import_array() < 0) {
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    return false;
  }
  // The class body.
  return add_class_methods();
}

int exec_steps(PyObject* module) {
  state.module = Py_NewRef(module);
  state.dict = PyModule_GetDict(module);
  state.builtins = PyImport_AddModule("builtins");
  if (!state.builtins) return -1;
  if (PyObject_SetAttr(module, n_builtins.get(), state.builtins) < 0) return -1;

  const unsigned long runtime = Py_Version;
  const int run_major = static_cast<int>((runtime >> 24) & 0xff);
  const int run_minor = static_cast<int>((runtime >> 16) & 0xff);
  if (run_major != PY_MAJOR_VERSION || run_minor != PY_MINOR_VERSION) {
    if (PyErr_WarnFormat(nullptr, 1,
                         "compile time Python version %d.%d of module '%.100s' %s runtime "
                         "version %d.%d",
                         PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                         run_major, run_minor) < 0)
      return -1;
  }

  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = PyDict_GetItemString(modules, kModuleName);
  if (!existing && PyDict_SetItemString(modules, kModuleName, module) < 0) return -1;

  if (!(state.ValueError = lookup_builtin(n_ValueError).release())) return -1;
  if (!(state.enumerate = lookup_builtin(n_enumerate).release())) return -1;
  if (!(state.zip = lookup_builtin(n_zip).release())) return -1;
  if (!(state.round = lookup_builtin(n_round).release())) return -1;
  if (!(state.ImportError = lookup_builtin(n_ImportError).release())) return -1;

  if (!ready_function_type() || !prepare_extractor_type()) return -1;
  if (PyObject_SetAttr(module, n_ColorExtractor.get(),
                       reinterpret_cast<PyObject*>(&ExtractorType)) < 0)
    return -1;

  Ref numpy = import("numpy");
  Ref ndarray = attr(numpy, n_ndarray);
  if (!ndarray) return -1;
  if (!PyType_Check(ndarray.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "numpy", "ndarray");
    return -1;
  }
  state.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());

  if (!run_statements()) return -1;

  if (!bind(n_unpickle, make_function(unpickle_def, Py_None))) return -1;
  if (!bind(n_test, dict())) return -1;
  return 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (first_interpreter == -1) {
    first_interpreter = current;
  } else if (current != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (state.module) return Py_NewRef(state.module);
  if (!Name::intern_all()) return nullptr;

  Ref name = attr(module_spec, n_name);
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  struct Copy {
    const Name& from;
    const Name& to;
    bool skip_none;
  };
  const Copy copies[] = {{n_loader, n_dunder_loader, false},
                         {n_origin, n_file, false},
                         {n_parent, n_package, false},
                         {n_locations, n_path, true}};
  for (const Copy& c : copies) {
    Ref value = attr(module_spec, c.from);
    if (!value) {
      if (!clear_if(PyExc_AttributeError)) return nullptr;
      continue;
    }
    if (c.skip_none && value.is_none()) continue;
    if (PyDict_SetItem(dict, c.to.get(), value.get()) < 0) return nullptr;
  }
  return module.release();
}

int module_exec(PyObject* module) {
  if (state.module) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'color_extractor_cy' has already been imported. Re-initialisation "
                    "is not supported.");
    return -1;
  }
  has_avx2();  // the dispatch is decided at import (lab8.h)
  if (exec_steps(module) == 0) return 0;
  if (PyErr_Occurred()) {
    add_init_traceback();
  } else {
    PyErr_SetString(PyExc_ImportError, "init velmora_huebit.color_extractor_cy");
  }
  Py_CLEAR(state.module);
  state.dict = nullptr;
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "color_extractor_cy",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

Ref global(const Name& name) {
  if (PyErr_Occurred()) return {};
  PyObject* value = PyDict_GetItemWithError(state.dict, name.get());
  if (value) return Ref::borrow(value);
  if (PyErr_Occurred()) return {};
  Ref builtin = attr(state.builtins, name);
  if (!builtin && clear_if(PyExc_AttributeError))
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return builtin;
}

Ref round2(Arg value) {
  static PyObject* two = nullptr;
  if (!two && !(two = PyLong_FromLong(2))) return {};
  return call(state.round, {value, two});
}

}  // namespace huebit

PyMODINIT_FUNC PyInit_color_extractor_cy() { return PyModuleDef_Init(&huebit::module_def); }

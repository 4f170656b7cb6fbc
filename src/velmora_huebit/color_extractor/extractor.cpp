// The ColorExtractor object: its four settings, construction, destruction,
// the step table and the dispatch rule of the typed steps, and the class body.
//
// Six private methods are typed steps. Other methods reach them through the
// step table, a struct of C function pointers shared by the class and its
// Python subclasses. Each entry takes a Dispatch flag:
//
//   Dispatch::Override  (calls from other methods) a Python subclass that
//                       defines a method of the step's name gets it called
//                       instead, and its result is held to the step's result
//                       type;
//   Dispatch::BuiltIn   (calls from Python through the class attribute) the
//                       built-in body runs at once.
//
// Only classes that can carry a Python-level override (heap types, classes
// whose instances have a __dict__, abstract classes) pay for the attribute
// lookup; plain ColorExtractor objects go straight to the body.
#include "huebit.h"

namespace huebit {

// Slots are filled in when the type is made ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject ExtractorType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

namespace {

const Name set_name{"__set_name__"};

const StepTable kSteps = {
    preprocess_image, convert_to_feature_space, apply_mask,
    extract_pixels,   calculate_percentages,    color_distance_lab,
};

PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* o;
  if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
    // object.__new__ raises "Can't instantiate abstract class ..."
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    o = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
  } else {
    o = type->tp_alloc(type, 0);
  }
  if (!o) return nullptr;
  Extractor* self = as_extractor(o);
  self->steps = &kSteps;
  self->n_colors = 0;
  self->algorithm = Py_NewRef(Py_None);
  self->preprocessing = 0;
  self->lab_space = 0;
  return o;
}

void extractor_dealloc(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  // A finaliser of a Python subclass runs first and may resurrect the object.
  if (type->tp_finalize && type->tp_dealloc == extractor_dealloc &&
      (!PyType_IS_GC(type) || !PyObject_GC_IsFinalized(o))) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;
  }
  Py_CLEAR(as_extractor(o)->algorithm);
  type->tp_free(o);
}

const char* const kInitParams[] = {"n_colors", "algorithm", "preprocessing", "lab_space"};
const Name kInitName{"__init__"};
const FunctionDef kInitSpec = {kInitName, nullptr, kInitParams, 0, {}, {}, true, nullptr};

int extractor_init(PyObject* o, PyObject* args, PyObject* kwargs) {
  // Kept for the life of the process, like the interned names.
  static PyObject* defaults = nullptr;
  if (!defaults) {
    defaults = tuple({py_int(5), py_str("kmeans"), Py_True, Py_True}).release();
    if (!defaults) return -1;
  }
  Ref a[kMaxParams];
  if (!bind_dict(kInitSpec, defaults, args, kwargs, a)) return -1;
  // All conversions come before any field is stored.
  int n_colors;
  if (!as_c_int(a[0].get(), &n_colors)) return -1;
  int preprocessing = truth(a[2]);
  if (preprocessing < 0) return -1;
  int lab_space = truth(a[3]);
  if (lab_space < 0) return -1;
  if (!check_argument(a[1].get(), &PyUnicode_Type, true, "algorithm", true)) return -1;

  Extractor* self = as_extractor(o);
  self->n_colors = n_colors;
  Py_SETREF(self->algorithm, a[1].release());
  self->preprocessing = preprocessing;
  self->lab_space = lab_space;
  return 0;
}

// Heap types are classes written in Python; abstract classes and classes
// with an instance dict can also carry Python-level overrides.
bool may_override(PyTypeObject* type) {
  return type->tp_dictoffset != 0 ||
         PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT);
}

// The signatures that inspect.signature() and help() read: CPython takes a
// "name(...)\n--\n\n" head of a docstring as the text signature and leaves
// it out of __doc__, so the class keeps no docstring and __init__ its own.
const char kClassDoc[] =
    "ColorExtractor(n_colors=5, algorithm='kmeans', preprocessing=True, lab_space=True)\n--\n\n";

const char kInitDoc[] =
    "__init__($self, /, n_colors=5, algorithm='kmeans', preprocessing=True, lab_space=True)\n"
    "--\n"
    "\n"
    "\n"
    "        Initialize ColorExtractor with robust color extraction capabilities.\n"
    "        \n"
    "        Args:\n"
    "            n_colors: Number of dominant colors to extract\n"
    "            algorithm: 'kmeans' or 'dbscan' for clustering\n"
    "            preprocessing: Apply noise reduction and lighting normalization\n"
    "            lab_space: Use LAB color space for perceptual accuracy\n"
    "        ";

}  // namespace

// The override the dispatch rule would call: nothing when the built-in body
// runs, an empty Ref when the lookup failed.
std::optional<Ref> find_override(Extractor* self, const FunctionDef& step) {
  PyObject* o = reinterpret_cast<PyObject*>(self);
  if (!may_override(Py_TYPE(o))) return std::nullopt;
  Ref found = attr(o, step.name);
  if (found && is_function_for(found.get(), step)) return std::nullopt;
  return found;
}

std::optional<Ref> call_override(Extractor* self, const FunctionDef& step, Args args) {
  std::optional<Ref> found = find_override(self, step);
  if (!found || !*found) return found;
  // An override that calls back into the method that called it recurses
  // through this frame: a level of C recursion, as for any call from C.
  if (!enter_recursive_call(" while calling a Python object")) return Ref{};
  Ref result = call(*found, args);
  Py_LeaveRecursiveCall();
  return result;
}

std::optional<double> call_override_double(Extractor* self, const FunctionDef& step, Args args) {
  std::optional<Ref> result = call_override(self, step, args);
  if (!result) return std::nullopt;
  double value = -1.0;
  if (*result) as_c_double(result->get(), &value);
  return value;
}

int step_overridden(Extractor* self, const FunctionDef& step) {
  std::optional<Ref> found = find_override(self, step);
  if (!found) return 0;
  return *found ? 1 : -1;
}

Ref array_result(Ref value) {
  if (value && !check_ndarray(value.get())) return {};
  return value;
}

Ref list_result(Ref value) {
  if (value && !check_exact(value.get(), &PyList_Type, "list")) return {};
  return value;
}

bool prepare_extractor_type() {
  PyTypeObject& t = ExtractorType;
  t.tp_name = "velmora_huebit.color_extractor_cy.ColorExtractor";
  t.tp_basicsize = sizeof(Extractor);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  t.tp_new = extractor_new;
  t.tp_init = extractor_init;
  t.tp_dealloc = extractor_dealloc;
  t.tp_doc = kClassDoc;
  if (PyType_Ready(&t) < 0) return false;
  // The class dict's __doc__ is what is left after the signature: nothing.
  if (PyDict_SetItemString(t.tp_dict, "__doc__", Py_None) < 0) return false;

  // __init__'s slot wrapper takes its docstring from a slot table that all
  // types share, so it gets a copy of its entry that carries ours.
  PyObject* init = PyDict_GetItemWithError(t.tp_dict, kInitName.get());
  if (!init) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "ColorExtractor has no __init__ slot");
    return false;
  }
  if (Py_IS_TYPE(init, &PyWrapperDescr_Type)) {
    static wrapperbase init_base;
    auto* wrapper = reinterpret_cast<PyWrapperDescrObject*>(init);
    init_base = *wrapper->d_base;
    init_base.doc = kInitDoc;
    wrapper->d_base = &init_base;
  }
  return setup_pickling(&t);
}

// The class body: the fifteen methods, in the order Python would define them.
bool add_class_methods() {
  static const FunctionDef* const kMethods[] = {
      &preprocess_image_def,
      &convert_to_feature_space_def,
      &apply_mask_def,
      &extract_pixels_def,
      &cluster_colors_kmeans_def,
      &cluster_colors_dbscan_def,
      &calculate_percentages_def,
      &extract_colors_def,
      &visualize_colors_def,
      &color_distance_lab_def,
      &find_closest_color_def,
      &analyze_color_similarity_def,
      &find_color_matches_def,
      &reduce_cython_def,
      &setstate_cython_def,
  };
  Ref none_default = tuple({Py_None});
  Ref similarity_defaults = tuple({Py_None, py_float(50.0)});
  if (!none_default || !similarity_defaults) return false;

  PyObject* type_dict = ExtractorType.tp_dict;
  for (const FunctionDef* def : kMethods) {
    PyObject* defaults = Py_None;
    if (def == &analyze_color_similarity_def) {
      defaults = similarity_defaults.get();
    } else if (def->params.size() > static_cast<size_t>(def->n_required)) {
      defaults = none_default.get();
    }
    Ref func = make_function(*def, defaults);
    if (!func) return false;
    if (PyDict_SetItem(type_dict, def->name.get(), func.get()) < 0) return false;
    PyType_Modified(&ExtractorType);
    // As for any class attribute: a value whose type has __set_name__ hears
    // its name.
    Ref hook = attr(reinterpret_cast<PyObject*>(Py_TYPE(func.get())), set_name);
    if (hook) {
      if (!call(hook, {func, reinterpret_cast<PyObject*>(&ExtractorType), def->name})) return false;
    } else if (!clear_if(PyExc_AttributeError)) {
      return false;
    }
  }
  return true;
}

}  // namespace huebit

// What the source files of color_extractor_cy share: the module state, the
// method function type, argument handling, the extractor object with its step
// table, and the method bodies that the class table binds.
#pragma once

#include "ref.h"

#include <cstdint>
#include <span>
#include <vector>

namespace huebit {

inline constexpr const char kModuleName[] = "velmora_huebit.color_extractor_cy";

// ---- module state (module.cpp) ---------------------------------------------

struct ModuleState {
  PyObject* module = nullptr;  // owned; one per process
  PyObject* dict = nullptr;    // borrowed from module
  PyObject* builtins = nullptr;
  PyTypeObject* ndarray = nullptr;
  // builtins looked up once at start
  PyObject* ValueError = nullptr;
  PyObject* enumerate = nullptr;
  PyObject* zip = nullptr;
  PyObject* round = nullptr;
  PyObject* ImportError = nullptr;
};
extern ModuleState state;

// round(value, 2) with the builtin round cached at start.
Ref round2(Arg value);

// ---- function objects (function.cpp) ----------------------------------------

// Parsed arguments, one owned reference per declared parameter (self not
// included), defaults filled in.
using Impl = PyObject* (*)(PyObject * self, Ref* args);

struct Annotation {
  const char* name;
  const char* value;
};

struct FunctionDef {
  const Name& name;
  const char* doc;                      // nullptr: no docstring
  std::span<const char* const> params;  // without self
  Py_ssize_t n_required;
  std::span<const char* const> locals;  // after the parameters in co_varnames
  std::span<const Annotation> annotations;
  bool is_method;  // first argument is a ColorExtractor
  Impl impl;
};

// A new function object; `defaults` may be None.
Ref make_function(const FunctionDef& def, PyObject* defaults);
// Py_EnterRecursiveCall that also refuses, with RecursionError, a call that
// would start too close to the end of the thread's C stack for what
// `method` (nullptr: a Python override) does before the next such check
// (small thread stacks, sanitizer builds with their larger frames);
// Py_LeaveRecursiveCall after it.
bool enter_recursive_call(const char* where, const FunctionDef* method = nullptr);
bool is_function_for(PyObject* obj, const FunctionDef& def);
bool ready_function_type();

// ---- argument handling (arguments.cpp) ---------------------------------------

inline constexpr Py_ssize_t kMaxParams = 8;

// Binds positional arguments and keywords to `def.params`, filling
// `out[0..params)`. Keywords come as a vectorcall kwnames tuple (values after
// the positionals) or as a dict.
bool bind_vector(const FunctionDef& def, PyObject* defaults, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames, Ref* out);
bool bind_dict(const FunctionDef& def, PyObject* defaults, PyObject* args, PyObject* kwargs,
               Ref* out);

// Argument tests made when Python calls a method.
// "Argument 'x' has incorrect type (expected T, got U)"; `exact` refuses
// subclasses (and adds a note saying why).
bool check_argument(PyObject* value, PyTypeObject* expected, bool none_ok, const char* name,
                    bool exact);
bool check_ndarray_argument(PyObject* value, const char* name);
// Values handed to or returned by typed steps: "Cannot convert U to T"
bool check_convertible(PyObject* value, PyTypeObject* expected);
inline bool check_ndarray(PyObject* value) { return check_convertible(value, state.ndarray); }
// Exact built-in containers: "Expected list, got U" (None passes)
bool check_exact(PyObject* value, PyTypeObject* expected, const char* expected_name);

// A C int through Python's int protocol: ints by value, others via __int__.
bool as_c_int(PyObject* value, int* out);
// A C double through Python's float protocol.
bool as_c_double(PyObject* value, double* out);

// ---- the extractor object (extractor.cpp) ------------------------------------

struct Extractor;

enum class Dispatch { Override, BuiltIn };

struct StepTable {
  Ref (*preprocess_image)(Extractor*, PyObject* image, Dispatch);
  Ref (*convert_to_feature_space)(Extractor*, PyObject* image, Dispatch);
  Ref (*apply_mask)(Extractor*, PyObject* image, PyObject* mask, Dispatch);
  Ref (*extract_pixels)(Extractor*, PyObject* image, PyObject* mask, Dispatch);
  Ref (*calculate_percentages)(Extractor*, PyObject* labels, Dispatch);
  // NaN-free failure signal: returns -1.0 with an exception set
  double (*color_distance_lab)(Extractor*, PyObject* color1, PyObject* color2, Dispatch);
};

struct Extractor {
  PyObject_HEAD
  const StepTable* steps;
  int n_colors;
  PyObject* algorithm;  // str or None, owned
  int preprocessing;
  int lab_space;
};

extern PyTypeObject ExtractorType;
bool prepare_extractor_type();
bool add_class_methods();

inline Extractor* as_extractor(PyObject* self) { return reinterpret_cast<Extractor*>(self); }

// The typed-step dispatch rule. Returns nothing when the built-in body
// should run; otherwise the override's result (empty when it failed).
std::optional<Ref> call_override(Extractor* self, const FunctionDef& step, Args args);
// The same for _color_distance_lab: the override's result as a double.
std::optional<double> call_override_double(Extractor* self, const FunctionDef& step, Args args);
// Whether the dispatch rule would call a Python-level override of `step`:
// 1 yes, 0 no, -1 with an exception set.
int step_overridden(Extractor* self, const FunctionDef& step);
// Result rules of the typed steps.
Ref array_result(Ref value);
Ref list_result(Ref value);

// ---- typed step and method specs, defined next to their bodies ---------------

extern const FunctionDef preprocess_image_def;
extern const FunctionDef convert_to_feature_space_def;
extern const FunctionDef apply_mask_def;
extern const FunctionDef extract_pixels_def;
extern const FunctionDef cluster_colors_kmeans_def;
extern const FunctionDef cluster_colors_dbscan_def;
extern const FunctionDef calculate_percentages_def;
extern const FunctionDef extract_colors_def;
extern const FunctionDef visualize_colors_def;
extern const FunctionDef color_distance_lab_def;
extern const FunctionDef find_closest_color_def;
extern const FunctionDef analyze_color_similarity_def;
extern const FunctionDef find_color_matches_def;
extern const FunctionDef reduce_cython_def;
extern const FunctionDef setstate_cython_def;
extern const FunctionDef unpickle_def;

// Step bodies (pipeline.cpp, matching.cpp)
Ref preprocess_image(Extractor* self, PyObject* image, Dispatch d);
Ref convert_to_feature_space(Extractor* self, PyObject* image, Dispatch d);
Ref apply_mask(Extractor* self, PyObject* image, PyObject* mask, Dispatch d);
Ref extract_pixels(Extractor* self, PyObject* image, PyObject* mask, Dispatch d);
Ref calculate_percentages(Extractor* self, PyObject* labels, Dispatch d);
double color_distance_lab(Extractor* self, PyObject* color1, PyObject* color2, Dispatch d);

// DBSCAN's cut to the largest clusters (pipeline.cpp):
// colors[np.argsort(cluster_sizes)[::-1][:self.n_colors]]
Ref keep_largest_clusters(Extractor* self, Arg colors, Arg cluster_sizes);

// The native DBSCAN engine (dbscan.cpp): _cluster_colors_dbscan's result
// when it cannot differ from the library's, nothing when the library must
// run; an empty Ref when it failed.
std::optional<Ref> cluster_colors_dbscan_native(Extractor* self, PyObject* pixels);

// Whether an ndarray has an axis of two or more elements that repeats its
// data (a zero stride): a broadcast view may stand for more values than
// memory holds (pipeline.cpp).
bool repeats_its_data(PyObject* array);

// Whether the module global `name` is `attribute` of the module named
// `module` in sys.modules (the module itself when `attribute` is nullptr).
bool is_library_object(const Name& name, const char* module, const char* attribute);

// Pixel matching (matching.cpp, matching_kernel.cpp).
// A target colour as an array must hold finite numbers from 0 to 255
// (ValueError naming `target` otherwise); non-numeric values pass on.
bool check_target_color(PyObject* target_array, PyObject* target);
// find_color_matches' record of one target from its band counts (NumPy
// integers), nearest pixel and its distance (a NumPy float).
Ref match_record(Arg very_close, Arg close, Arg somewhat_close, Arg closest_pixel, Arg min_distance,
                 Py_ssize_t total_pixels);
// Whether the kernel on distinct values may measure: the distance step the
// module's own, np and cv2 the libraries, every target a plain colour.
// False with an exception set when the override lookup failed.
bool matching_kernel_applies(Extractor* self, PyObject* target_colors, int* applies);
// All records from the preprocessed image, standing in for the feature and
// pixel steps too; nothing when those must run (an override, an unusual
// image or mask); an empty Ref when it failed.
std::optional<Ref> match_image_native(Extractor* self, PyObject* image, PyObject* mask,
                                      PyObject* target_colors);
// All records from the pixel step's rows; nothing for unusual rows.
std::optional<Ref> match_pixels_native(Extractor* self, PyObject* pixels, PyObject* target_colors);

// The kernel's conversions of distinct values (conversions.cpp):
// cv2.cvtColor(values, cv2.<code>) on one image row of three-byte values;
// and whether its own conversions (lab8.h) give the same bytes here: 1 yes,
// 0 no, -1 with an exception set.
bool convert_values(const std::vector<uint8_t>& values, const Name& code,
                    std::vector<uint8_t>& out);
int own_conversions();

// cv2.cvtColor(np.uint8([[color]]), cv2.<code>)[0][0]: one colour as a
// one-pixel 8-bit image, converted, and its pixel taken out again.
Ref convert_color(PyObject* color, const Name& code);

// Image input shared by extract_colors and find_color_matches: a str is a
// path read with cv2.imread; a failed read raises "<what> from <path>".
Ref load_if_path(PyObject* value, const char* failure_prefix);

// What OpenCV is handed (opencv_input.cpp). An ndarray becomes a plain
// ndarray in a layout OpenCV takes without copying (the value itself when
// it already is one); anything else passes unchanged.
Ref opencv_array(Arg value);
// Whether the image reader can take a str path: 1 yes, 0 no (it has no
// UTF-8 form, holds a NUL, or names something other than a regular file),
// -1 with an exception set.
int opencv_can_read(PyObject* path);

// Pickling (pickling.cpp)
bool setup_pickling(PyTypeObject* type);

}  // namespace huebit

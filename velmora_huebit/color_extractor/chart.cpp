// The colour distribution chart.
#include "huebit.h"

namespace huebit {
namespace {

const Name n_visualize_colors{"visualize_colors"};

PyObject* not_yet(PyObject*, Ref*) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return nullptr;
}

const char* const kParams[] = {"colors", "save_path"};
const Annotation kAnnotations[] = {{"colors", "List[dict]"}, {"save_path", "Optional[str]"}};

}  // namespace

const FunctionSpec visualize_colors_spec = {
    n_visualize_colors, "Visualize extracted colors with percentages.", kParams, 1, {}, kAnnotations, true, not_yet,
};

}  // namespace huebit

// The colour distribution chart: one horizontal bar split into a segment per
// colour record, left to right in list order, each as wide as its share, with
// the share written on every segment wide enough to hold it. Drawn through
// the pyplot module bound to the global plt, looked up at each use.
#include "huebit.h"

namespace huebit {
namespace {

const Name n_visualize_colors{"visualize_colors"};
const Name plt{"plt"}, subplots{"subplots"}, figsize{"figsize"}, barh{"barh"}, left{"left"},
    height{"height"}, color_kw{"color"}, edgecolor{"edgecolor"}, linewidth{"linewidth"},
    text{"text"}, ha{"ha"}, va{"va"}, fontweight{"fontweight"}, set_xlim{"set_xlim"},
    set_ylim{"set_ylim"}, set_xlabel{"set_xlabel"}, set_title{"set_title"},
    set_yticks{"set_yticks"}, tight_layout{"tight_layout"}, savefig{"savefig"}, dpi{"dpi"},
    bbox_inches{"bbox_inches"}, show{"show"}, close{"close"};
const Name color_key{"color"}, percentage_key{"percentage"};

// [c / 255.0 for c in rgb]. Matplotlib takes three or four values; past
// five the rest is not read, so that a colour without end (an endless
// iterator, an empty array of 2^40 rows) is refused by Matplotlib at once
// instead of being read for ever.
constexpr Py_ssize_t kMostValuesRead = 5;

Ref matplotlib_color(PyObject* rgb) {
  Ref color = list();
  Ref full = py_float(255.0);
  Ref it = Ref::steal(PyObject_GetIter(rgb));
  if (!color || !full || !it) return {};
  while (PyList_GET_SIZE(color.get()) < kMostValuesRead) {
    Ref c = Ref::steal(PyIter_Next(it.get()));
    if (!c) break;
    if (!append(color, binary(c, full, PyNumber_TrueDivide))) return {};
  }
  if (PyErr_Occurred()) return {};
  return color;
}

// f"{percentage:.1f}%"
Ref label_text(PyObject* percentage) {
  Ref format = py_str(".1f");
  if (!format) return {};
  Ref formatted = Ref::steal(PyObject_Format(percentage, format.get()));
  if (!formatted) return {};
  return Ref::steal(PyUnicode_FromFormat("%U%%", formatted.get()));
}

// Everything after plt.subplots: the segments, the axes, saving and showing.
bool draw(PyObject* ax, PyObject* colors, PyObject* save_path) {
  Ref start = py_int(0);
  Ref zero = py_int(0), hundred = py_float(100.0), two = py_int(2), narrowest = py_float(0.05);
  Ref bar_height = py_float(0.8), white = py_str("white"), one = py_int(1);
  Ref center = py_str("center"), bold = py_str("bold");
  Ref it = Ref::steal(PyObject_GetIter(colors));
  if (!start || !it || !zero || !hundred || !two || !narrowest || !bar_height || !white || !one ||
      !center || !bold)
    return false;
  while (Ref color_info = Ref::steal(PyIter_Next(it.get()))) {
    Ref rgb = item(color_info, color_key);
    if (!rgb) return false;
    Ref color = matplotlib_color(rgb.get());
    if (!color) return false;
    Ref percentage = item(color_info, percentage_key);
    Ref width = binary(percentage, hundred, PyNumber_TrueDivide);
    if (!width) return false;
    if (!call_method(ax, barh, {zero, width},
                     {{left, start},
                      {height, bar_height},
                      {color_kw, color},
                      {edgecolor, white},
                      {linewidth, one}}))
      return false;
    // Narrow segments carry no label.
    int labelled = truth(compare(width, narrowest, Py_GT));
    if (labelled < 0) return false;
    if (labelled) {
      Ref middle = binary(start, binary(width, two, PyNumber_TrueDivide), PyNumber_Add);
      if (!middle) return false;
      if (!call_method(ax, text, {middle, zero, label_text(percentage.get())},
                       {{ha, center}, {va, center}, {fontweight, bold}}))
        return false;
    }
    start = binary(start, width, PyNumber_InPlaceAdd);
    if (!start) return false;
  }
  if (PyErr_Occurred()) return false;

  if (!call_method(ax, set_xlim, {zero, one}) ||
      !call_method(ax, set_ylim, {py_float(-0.5), py_float(0.5)}) ||
      !call_method(ax, set_xlabel, {py_str("Color Distribution")}) ||
      !call_method(ax, set_title, {py_str("Extracted Colors with Percentages")}) ||
      !call_method(ax, set_yticks, {list()}) || !call(global_attr(plt, tight_layout)))
    return false;
  if (save_path != Py_None && PyUnicode_GET_LENGTH(save_path) > 0) {
    if (!call(global_attr(plt, savefig), {save_path},
              {{dpi, py_int(300)}, {bbox_inches, py_str("tight")}}))
      return false;
  }
  if (!call(global_attr(plt, show))) return false;
  return true;
}

// Closes the figure of a chart that failed, keeping the failure. As in an
// except block, an error while closing takes over, with the first as its
// context.
void close_figure(PyObject* fig) {
  PyObject* failure = PyErr_GetRaisedException();
  if (call(global_attr(plt, close), {fig})) {
    PyErr_SetRaisedException(failure);
    return;
  }
  PyObject* close_failure = PyErr_GetRaisedException();
  PyException_SetContext(close_failure, failure);
  PyErr_SetRaisedException(close_failure);
}

PyObject* py_visualize_colors(PyObject*, Ref* a) {
  PyObject* colors = a[0].get();
  PyObject* save_path = a[1].get();
  if (!check_argument(colors, &PyList_Type, false, "colors", true) ||
      !check_argument(save_path, &PyUnicode_Type, true, "save_path", true))
    return nullptr;
  if (PyList_GET_SIZE(colors) == 0) Py_RETURN_NONE;

  Ref fig, ax;
  Ref size = tuple({py_int(12), py_int(2)});
  if (!unpack2(call(global_attr(plt, subplots), {py_int(1), py_int(1)}, {{figsize, size}}), fig,
               ax))
    return nullptr;
  // A chart that fails is closed again, or every failed call would keep its
  // figure for the life of the process; one that succeeds stays open.
  if (!draw(ax.get(), colors, save_path)) {
    close_figure(fig.get());
    return nullptr;
  }
  Py_RETURN_NONE;
}

const char* const kParams[] = {"colors", "save_path"};
const Annotation kAnnotations[] = {{"colors", "List[dict]"}, {"save_path", "Optional[str]"}};

}  // namespace

const FunctionDef visualize_colors_def = {
    n_visualize_colors,
    "Visualize extracted colors with percentages.",
    kParams,
    1,
    {},
    kAnnotations,
    true,
    py_visualize_colors,
};

}  // namespace huebit

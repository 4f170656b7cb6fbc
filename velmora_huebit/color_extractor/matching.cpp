// Colour matching: LAB distance, closest colour, similarity analysis and
// pixel matching.
#include "huebit.h"

namespace huebit {
namespace {

const Name n_color_distance_lab{"_color_distance_lab"}, n_find_closest_color{"_find_closest_color"},
    n_analyze_color_similarity{"analyze_color_similarity"}, n_find_color_matches{"find_color_matches"};

PyObject* not_yet(PyObject*, Ref*) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return nullptr;
}

const char* const kColors[] = {"color1", "color2"};
const char* const kClosest[] = {"target_color", "image_colors"};
const char* const kSimilarity[] = {"image", "target_colors", "mask", "similarity_threshold"};
const char* const kMatches[] = {"image", "target_colors", "mask"};

}  // namespace

const FunctionSpec color_distance_lab_spec = {
    n_color_distance_lab, "Calculate perceptual distance between two colors in LAB space.",
    kColors, 2, {}, {}, true, not_yet,
};
const FunctionSpec find_closest_color_spec = {
    n_find_closest_color, "Find the closest color in image to target color.", kClosest, 2, {}, {}, true, not_yet,
};
const FunctionSpec analyze_color_similarity_spec = {
    n_analyze_color_similarity, nullptr, kSimilarity, 2, {}, {}, true, not_yet,
};
const FunctionSpec find_color_matches_spec = {
    n_find_color_matches, nullptr, kMatches, 2, {}, {}, true, not_yet,
};

double color_distance_lab(Extractor*, PyObject*, PyObject*, Dispatch) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return -1.0;
}

}  // namespace huebit

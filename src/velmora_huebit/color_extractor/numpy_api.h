// NumPy's C API, shared by every file that uses it. module.cpp defines the
// API table (HUEBIT_NUMPY_API_OWNER) and fills it at start-up.
#pragma once

#include "ref.h"

#define PY_ARRAY_UNIQUE_SYMBOL huebit_ARRAY_API
#ifndef HUEBIT_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

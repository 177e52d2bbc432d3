// The Python half of the module. The extension is installed as the
// __init__ of the package folder orvex/, beside the Python code of the front
// door and the command line: the import system then gives it __path__ and
// `python -m orvex` finds orvex/__main__.py.
#pragma once

#include "module/py_object.h"

namespace orvex {

// Serves the front-door names (read, TextGrid, ...) through a module
// __getattr__ that imports orvex._front on first use, so that importing
// orvex runs no Python code, lists them in __dir__ and appends them to
// __all__. Adds the private native steps of the front door, _read_grid and
// _render_grid, outside __all__. 0, or -1 with the Python error set.
int add_front_door(Handle module);

}  // namespace orvex

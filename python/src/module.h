// The module `dozudaz_id`: its definition (multi-phase initialisation with one
// execution slot and no state), the execution step that registers what the
// module exports, in a fixed order, each name also appended to `__all__`, and
// the `__version__` rule. Runs with the interpreter lock held.
#pragma once

#include <string>
#include <string_view>

#include "python/src/python.h"

namespace zv::py {

// Environment variable that overrides the reported version, and the default.
inline constexpr const char* kReportedVersionEnv = "ZIVIROR_REPORTED_VERSION";
inline constexpr const char* kDefaultVersion = "0.8.0";

// Returns the module definition prepared for multi-phase initialisation
// (what PyInit_dozudaz_id returns).
PyObject* module_init();

// The execution slot: adds the module's exports to `module`. 0 on success;
// -1 with the exception set on failure.
int module_exec(PyObject* module);

// The text of `__version__`: ZIVIROR_REPORTED_VERSION stripped of Unicode
// white space, or "0.8.0" when it is unset, not Unicode, or blank.
std::string module_version();

}  // namespace zv::py

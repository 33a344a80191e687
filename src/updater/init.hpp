// The steps that fill the process-wide state (state.hpp), in the order the
// exec step in module.cpp runs them. Each returns 0, or -1 with an exception set.
#pragma once

#include <span>

namespace updater {

struct FuncSpec;

// module.cpp
int init_names();            // names: every text constant
int init_ints();             // ints: the integer constants
// frame.cpp
int init_function_type();    // state.function_type
// module.cpp
int init_cached_builtins();  // state.open, state.RuntimeError, state.print
int init_tuples();           // tuples: the constant argument tuples
// frame.cpp: state.codes and state.param_names of every function in `functions`
int init_code_objects(std::span<const FuncSpec *const> functions);
// ui.cpp
int init_scope_types();      // state.worker_scope_type, state.report_scope_type

}  // namespace updater

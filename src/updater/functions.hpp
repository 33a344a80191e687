// The functions of the module, each described by its spec (frame.hpp). The
// specs are defined beside their bodies, in download.cpp, swap.cpp, check.cpp and ui.cpp; module.cpp
// binds the module-level ones and the methods, and hands the whole table to
// the frame.
#pragma once

#include "frame.hpp"

namespace updater {

// download.cpp and swap.cpp
extern const FuncSpec get_exe_dir_spec;
extern const FuncSpec download_spec;
extern const FuncSpec replace_and_run_spec;

// check.cpp
extern const FuncSpec check_for_update_spec;

// ui.cpp: the methods of UpdaterGUI
extern const FuncSpec init_spec;
extern const FuncSpec run_update_spec;
extern const FuncSpec complete_update_spec;
extern const FuncSpec on_close_spec;
extern const FuncSpec console_update_spec;

// ui.cpp: the functions defined inside the methods
extern const FuncSpec run_progress_spec;
extern const FuncSpec run_lambda_specs[5];
extern const FuncSpec run_lambda5_spec;
extern const FuncSpec run_lambda6_spec;
extern const FuncSpec run_exit_spec;
extern const FuncSpec console_progress_spec;

}  // namespace updater

// The front ends: the updater window, its worker, completion and closing, and
// the console update.
#include "frame.hpp"
#include "lines.hpp"

namespace updater {
namespace {

PyObject *not_implemented(const FuncSpec &spec, int line)
{
    PyErr_SetString(PyExc_NotImplementedError, spec.name);
    return fail(spec.trace_name, line);
}

PyObject *init_body(PyObject *, PyObject *const *)
{
    return not_implemented(init_spec, line::init::tk_available);
}
PyObject *run_update_body(PyObject *, PyObject *const *)
{
    return not_implemented(run_update_spec, line::run_update::download);
}
PyObject *complete_update_body(PyObject *, PyObject *const *)
{
    return not_implemented(complete_update_spec, line::complete_update::replace_and_run);
}
PyObject *on_close_body(PyObject *, PyObject *const *)
{
    return not_implemented(on_close_spec, line::on_close::exit);
}
PyObject *console_update_body(PyObject *, PyObject *const *)
{
    return not_implemented(console_update_spec, line::console_update::notice);
}
PyObject *run_progress_body(PyObject *, PyObject *const *)
{
    return not_implemented(run_progress_spec, line::run_progress::test_failed);
}
PyObject *console_progress_body(PyObject *, PyObject *const *)
{
    return not_implemented(console_progress_spec, line::console_progress::test_failed);
}
PyObject *lambda_body(PyObject *, PyObject *const *)
{
    PyErr_SetString(PyExc_NotImplementedError, "lambda");
    return nullptr;
}

constexpr const char *progress_varnames = "percent speed_kb known_size downloaded_bytes";

}  // namespace

int init_scope_types() { return 0; }

const FuncSpec init_spec = {
    "__init__", "updater.UpdaterGUI.__init__", init_body, 1,
    line::body::def_init, Code::init, &Names::q_init, "self x y style"};
const FuncSpec run_update_spec = {
    "_run_update", "updater.UpdaterGUI._run_update", run_update_body, 1,
    line::body::def_run_update, Code::run_update, &Names::q_run_update,
    "self progress_callback progress_callback new_exe"};
const FuncSpec complete_update_spec = {
    "_complete_update", "updater.UpdaterGUI._complete_update", complete_update_body, 2,
    line::body::def_complete_update, Code::complete_update, &Names::q_complete_update,
    "self new_exe e"};
const FuncSpec on_close_spec = {
    "_on_close", "updater.UpdaterGUI._on_close", on_close_body, 1,
    line::body::def_on_close, Code::on_close, &Names::q_on_close, "self"};
const FuncSpec console_update_spec = {
    "console_update", "updater.UpdaterGUI.console_update", console_update_body, 1,
    line::body::def_console_update, Code::console_update, &Names::q_console_update,
    "self progress_callback progress_callback new_exe e"};
const FuncSpec run_progress_spec = {
    "progress_callback", "updater.UpdaterGUI._run_update.progress_callback", run_progress_body, 4,
    line::run_update::def_progress, Code::run_progress, &Names::q_run_progress,
    progress_varnames};
const FuncSpec run_lambda_specs[5] = {
    {"lambda", "updater.UpdaterGUI._run_update.progress_callback.lambda", lambda_body, 0,
     line::run_progress::post_failed_label, Code::run_lambda, &Names::q_run_progress_lambda, ""},
    {"lambda1", "updater.UpdaterGUI._run_update.progress_callback.lambda1", lambda_body, 0,
     line::run_progress::post_error_box, static_cast<Code>(static_cast<int>(Code::run_lambda) + 1),
     &Names::q_run_progress_lambda, ""},
    {"lambda2", "updater.UpdaterGUI._run_update.progress_callback.lambda2", lambda_body, 0,
     line::run_progress::post_bar, static_cast<Code>(static_cast<int>(Code::run_lambda) + 2),
     &Names::q_run_progress_lambda, ""},
    {"lambda3", "updater.UpdaterGUI._run_update.progress_callback.lambda3", lambda_body, 0,
     line::run_progress::post_known_text,
     static_cast<Code>(static_cast<int>(Code::run_lambda) + 3), &Names::q_run_progress_lambda, ""},
    {"lambda4", "updater.UpdaterGUI._run_update.progress_callback.lambda4", lambda_body, 0,
     line::run_progress::post_bytes_text,
     static_cast<Code>(static_cast<int>(Code::run_lambda) + 4), &Names::q_run_progress_lambda, ""},
};
const FuncSpec run_lambda5_spec = {
    "lambda5", "updater.UpdaterGUI._run_update.lambda5", lambda_body, 0,
    line::run_update::post_ready, Code::run_lambda5, &Names::q_run_lambda, ""};
const FuncSpec run_lambda6_spec = {
    "lambda6", "updater.UpdaterGUI._run_update.lambda6", lambda_body, 0,
    line::run_update::post_complete, Code::run_lambda6, &Names::q_run_lambda, ""};
const FuncSpec run_exit_spec = {
    "exit_lambda", "updater.UpdaterGUI._run_update.progress_callback.exit_lambda", lambda_body, 0,
    line::run_progress::post_exit, Code::run_exit, &Names::q_run_progress_lambda, ""};
const FuncSpec console_progress_spec = {
    "progress_callback", "updater.UpdaterGUI.console_update.progress_callback",
    console_progress_body, 4, line::console_update::def_progress, Code::console_progress,
    &Names::q_console_progress, progress_varnames};

}  // namespace updater

// The update engine: install location, download with progress, swap and relaunch.
#include "frame.hpp"
#include "lines.hpp"

namespace updater {
namespace {

PyObject *not_implemented(const FuncSpec &spec, int line)
{
    PyErr_SetString(PyExc_NotImplementedError, spec.name);
    return fail(spec.trace_name, line);
}

PyObject *get_exe_dir_body(PyObject *, PyObject *const *)
{
    return not_implemented(get_exe_dir_spec, line::get_exe_dir::frozen);
}

PyObject *download_body(PyObject *, PyObject *const *)
{
    return not_implemented(download_spec, line::download::exe_dir);
}

PyObject *replace_and_run_body(PyObject *, PyObject *const *)
{
    return not_implemented(replace_and_run_spec, line::replace_and_run::exe_dir);
}

}  // namespace

const FuncSpec get_exe_dir_spec = {
    "get_exe_dir", "updater.get_exe_dir", get_exe_dir_body, 0,
    line::body::def_get_exe_dir, Code::get_exe_dir, &Names::get_exe_dir, ""};
const FuncSpec download_spec = {
    "download_new_exe_with_progress", "updater.download_new_exe_with_progress", download_body, 1,
    line::body::def_download, Code::download, &Names::download_new_exe_with_progress,
    "progress_callback exe_dir new_path req resp total_size downloaded chunk_size start_time f "
    "chunk percent elapsed speed e"};
const FuncSpec replace_and_run_spec = {
    "replace_and_run", "updater.replace_and_run", replace_and_run_body, 1,
    line::body::def_replace_and_run, Code::replace_and_run, &Names::replace_and_run,
    "new_exe exe_dir main_exe old_exe e"};

}  // namespace updater

// An extension module with nothing in it, compiled and linked as `updater` is:
// the baseline that bench/bench_import.py compares the import of `updater` with.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef empty_def = {
    PyModuleDef_HEAD_INIT, "updater_empty", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_updater_empty(void) { return PyModuleDef_Init(&empty_def); }

// The process-wide state, all of it: filled once by the first successful exec
// step (module.cpp runs the steps declared in init.hpp) and read by every
// function of the module afterwards. The one instance of each struct is
// defined in module.cpp:
//   names    every text constant (names.hpp)
//   ints     the integer constants
//   tuples   the constant argument tuples
//   state    the module and its dict, the builtins it uses, the function type,
//            the code objects and parameter names of every function, the code
//            objects of traceback entries, and the closure-scope types of the
//            window's worker with their free lists
#pragma once

#include "names.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace updater {

struct Names {
#define UPDATER_FIELD(x, ...) PyObject *x;
#define UPDATER_ID_FIELD(x) PyObject *x;
    UPDATER_NAMES(UPDATER_ID_FIELD, UPDATER_FIELD, UPDATER_FIELD)
#undef UPDATER_ID_FIELD
#undef UPDATER_FIELD
};

/// The largest signature file a signed download takes.
constexpr long signature_max = 4096;

/// The integer constants, made in this order.
#define UPDATER_INTS(X)                                                          \
    X(i0, 0) X(i1, 1) X(i2, 2) X(i5, 5) X(i10, 10) X(i14, 14) X(i15, 15)          \
    X(i20, 20) X(i60, 60) X(i100, 100) X(i200, 200) X(i300, 300) X(i400, 400)     \
    X(i500, 500) X(i1024, 1024) X(minus1, -1) X(chunk_size, 65536)               \
    X(signature_cap, signature_max + 1) /* one byte more tells a larger file */   \
    X(i31, 31)

struct Ints {
#define UPDATER_FIELD(x, v) PyObject *x;
    UPDATER_INTS(UPDATER_FIELD)
#undef UPDATER_FIELD
};

/// The constant argument tuples, passed whole as the positional arguments of one call.
struct Tuples {
    PyObject *content_length_0;  // ("Content-Length", 0)
    PyObject *none3;             // (None, None, None)
    PyObject *failure_report;    // (-1, 0, False, 0)
    PyObject *false_false;       // (False, False)
    PyObject *title_font;        // ("Helvetica", 14, "bold")
    PyObject *pad_10_15;         // (10, 15)
    PyObject *pad_0_10;          // (0, 10)
    PyObject *status_font;       // ("Helvetica", 10)
    PyObject *pad_0_5;           // (0, 5)
    PyObject *update_failed;     // ("Update Failed", "Could not download update.")
    // UpdaterGUI.__static_attributes__ from 3.13 on: what the methods assign on
    // self, sorted as the compiler sorts them
    PyObject *static_attributes;  // ("card", "progress", "root", "speed_lbl", "title_lbl")
};

/// One code object per function of the module, in the order they are made.
enum class Code : int {
    get_exe_dir,
    download,
    replace_and_run,
    init,
    run_update,
    run_progress,
    run_lambda,  // the five lambdas of _run_update's callback: run_lambda + 0..4
    run_lambda5 = run_lambda + 5,
    run_lambda6,
    complete_update,
    on_close,
    console_update,
    console_progress,
    run_exit,  // the exit action posted by _run_update's callback on a failure report
    check_for_update,
    count
};
constexpr int code_count = static_cast<int>(Code::count);

/// The most parameters a function of the module has: the frame binds keyword
/// arguments into an array of this size.
constexpr int max_params = 4;

/// One code object per source line of a traceback entry, sorted by line. A
/// plain array from the interpreter's raw allocator (the module links no C++
/// runtime library); it lives as long as the process.
struct LineCodes {
    struct Entry {
        int line;
        PyObject *code;
    };
    Entry *entries = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

/// Released closure-scope objects kept for reuse: untracked, fields cleared,
/// and holding no reference to their type.
struct FreeList {
    static constexpr int capacity = 8;
    PyObject *items[capacity] = {};
    int count = 0;
};

struct State {
    // the module, and what its functions reach through it
    PyObject *module = nullptr;
    PyObject *dict = nullptr;
    PyObject *builtins = nullptr;
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *empty_str = nullptr;
    // the builtins taken once, at initialisation
    PyObject *open = nullptr;
    PyObject *RuntimeError = nullptr;
    PyObject *print = nullptr;

    // the function object type (frame.cpp), and per function its code object
    // and its interned parameter names for keyword binding
    PyTypeObject *function_type = nullptr;
    PyObject *codes[code_count] = {};
    PyObject *param_names[code_count][max_params] = {};
    // the code objects of traceback entries, made on first use (frame.cpp)
    LineCodes line_codes;

    // the closure scopes of _run_update and its progress callback (ui.cpp)
    PyTypeObject *worker_scope_type = nullptr;
    PyTypeObject *report_scope_type = nullptr;
    FreeList worker_free;
    FreeList report_free;

    // the one interpreter the module may be loaded into
    int64_t interpreter_id = -1;
};

extern State state;
extern Names names;
extern Ints ints;
extern Tuples tuples;

}  // namespace updater

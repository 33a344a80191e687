// The front ends: the updater window, its worker, completion and closing, and
// the console update.
#include "functions.hpp"
#include "init.hpp"
#include "lines.hpp"

#include <cstring>

namespace updater {
namespace {

// ---------------------------------------------------------------------------
// Closure scopes of _run_update and of its progress callback.
//
// The worker scope holds the cells of _run_update (`self`, `new_exe`); the
// report scope holds one report's values and a link to the worker scope. Each
// posted action keeps the scope it was made in, so it shows its own report.

struct WorkerScope {
    PyObject_HEAD
    PyObject *self;
    PyObject *new_exe;  // null until the download has returned
};

struct ReportScope {
    PyObject_HEAD
    PyObject *outer;  // the WorkerScope of the _run_update call
    PyObject *percent;
    PyObject *speed_kb;
    PyObject *downloaded_bytes;
};

/// A new, tracked scope object of `type` with every field null; nullptr on failure.
template <class T>
T *scope_alloc(PyTypeObject *type, FreeList &free)
{
    PyObject *op;
    if (free.count > 0) {
        op = free.items[--free.count];
        PyObject_Init(op, type);
    }
    else {
        op = reinterpret_cast<PyObject *>(PyObject_GC_New(T, type));
        if (!op)
            return nullptr;
    }
    // the fields after the object header start out unassigned
    std::memset(reinterpret_cast<char *>(op) + sizeof(PyObject), 0, sizeof(T) - sizeof(PyObject));
    PyObject_GC_Track(op);
    return reinterpret_cast<T *>(op);
}

/// Frees a scope object whose fields are already cleared, or keeps it for reuse.
void scope_release(PyObject *op, const PyTypeObject *own_type, FreeList &free)
{
    PyTypeObject *type = Py_TYPE(op);
    if (type == own_type && free.count < FreeList::capacity)
        free.items[free.count++] = op;
    else
        type->tp_free(op);
    Py_DECREF(type);
}

/// A new worker scope holding `self`; new_exe stays unassigned.
Ref new_worker_scope(PyObject *self)
{
    WorkerScope *scope = scope_alloc<WorkerScope>(state.worker_scope_type, state.worker_free);
    if (!scope)
        return Ref();
    scope->self = Py_NewRef(self);
    return steal(reinterpret_cast<PyObject *>(scope));
}

/// A new report scope over `outer` holding one report's values.
Ref new_report_scope(PyObject *outer, PyObject *percent, PyObject *speed_kb,
                     PyObject *downloaded_bytes)
{
    ReportScope *scope = scope_alloc<ReportScope>(state.report_scope_type, state.report_free);
    if (!scope)
        return Ref();
    scope->outer = Py_NewRef(outer);
    scope->percent = Py_NewRef(percent);
    scope->speed_kb = Py_NewRef(speed_kb);
    scope->downloaded_bytes = Py_NewRef(downloaded_bytes);
    return steal(reinterpret_cast<PyObject *>(scope));
}

WorkerScope *as_worker(PyObject *scope) { return reinterpret_cast<WorkerScope *>(scope); }
ReportScope *as_report(PyObject *scope) { return reinterpret_cast<ReportScope *>(scope); }

/// A cell of an enclosing scope: new reference, or nullptr with NameError
/// when the variable has not been assigned yet.
Ref free_variable(PyObject *value, const char *name)
{
    if (!value) {
        PyErr_Format(PyExc_NameError,
                     "free variable '%s' referenced before assignment in enclosing scope", name);
        return Ref();
    }
    return borrow(value);
}

/// `self` as seen from a function nested in _run_update.
Ref worker_self(PyObject *worker) { return free_variable(as_worker(worker)->self, "self"); }
Ref report_self(PyObject *report) { return worker_self(as_report(report)->outer); }

int worker_scope_traverse(PyObject *op, visitproc visit, void *arg)
{
    WorkerScope *scope = as_worker(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(scope->self);
    Py_VISIT(scope->new_exe);
    return 0;
}

int worker_scope_clear(PyObject *op)
{
    WorkerScope *scope = as_worker(op);
    Py_CLEAR(scope->self);
    Py_CLEAR(scope->new_exe);
    return 0;
}

void worker_scope_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    worker_scope_clear(op);
    scope_release(op, state.worker_scope_type, state.worker_free);
}

int report_scope_traverse(PyObject *op, visitproc visit, void *arg)
{
    ReportScope *scope = as_report(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(scope->outer);
    Py_VISIT(scope->percent);
    Py_VISIT(scope->speed_kb);
    Py_VISIT(scope->downloaded_bytes);
    return 0;
}

int report_scope_clear(PyObject *op)
{
    ReportScope *scope = as_report(op);
    Py_CLEAR(scope->outer);
    Py_CLEAR(scope->percent);
    Py_CLEAR(scope->speed_kb);
    Py_CLEAR(scope->downloaded_bytes);
    return 0;
}

void report_scope_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    report_scope_clear(op);
    scope_release(op, state.report_scope_type, state.report_free);
}

PyType_Slot worker_scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(worker_scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(worker_scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(worker_scope_clear)},
    {0, nullptr},
};

PyType_Spec worker_scope_spec = {
    "updater._run_update_scope",
    sizeof(WorkerScope),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    worker_scope_slots,
};

PyType_Slot report_scope_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(report_scope_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(report_scope_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(report_scope_clear)},
    {0, nullptr},
};

PyType_Spec report_scope_spec = {
    "updater._progress_callback_scope",
    sizeof(ReportScope),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    report_scope_slots,
};

// ---------------------------------------------------------------------------
// Pieces that several statements of the window, its worker and the console
// share: the progress texts, truth tests, print, and reaching self.root.

/// f"{percent:.1f}% • {speed_kb:.1f} KB/s"
Ref known_size_text(PyObject *percent, PyObject *speed_kb)
{
    Ref pct = steal(PyObject_Format(percent, names.fmt_1f));
    if (!pct)
        return Ref();
    Ref speed = steal(PyObject_Format(speed_kb, names.fmt_1f));
    if (!speed)
        return Ref();
    return join({pct.get(), names.pct_sep, speed.get(), names.kbs});
}

/// f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s"
Ref byte_count_text(PyObject *downloaded_bytes, PyObject *speed_kb)
{
    Ref kib = steal(PyNumber_FloorDivide(downloaded_bytes, ints.i1024));
    if (!kib)
        return Ref();
    Ref kib_text = steal(PyObject_Format(kib.get(), state.empty_str));
    if (!kib_text)
        return Ref();
    Ref speed = steal(PyObject_Format(speed_kb, names.fmt_1f));
    if (!speed)
        return Ref();
    return join({kib_text.get(), names.kb_sep, speed.get(), names.kbs});
}

/// f"{value}" for one field without a format spec.
Ref format_field(PyObject *value) { return steal(PyObject_Format(value, state.empty_str)); }

/// Truth test: 1, 0, or -1 with an exception set.
int truth(const Ref &value) { return PyObject_IsTrue(value.get()); }

/// `percent == -1`: 1, 0, or -1 with an exception set.
int is_failure_report(PyObject *percent)
{
    Ref equal = steal(PyObject_RichCompare(percent, ints.minus1, Py_EQ));
    if (!equal)
        return -1;
    return truth(equal);
}

/// print(text) with the builtin taken at initialisation; a text that the
/// stream cannot encode is printed with the characters it lacks replaced.
/// A new reference, or nullptr with an exception set.
Ref print_line(PyObject *text)
{
    // try: print(text)
    Ref printed = call(state.print, {text});
    if (printed || !pending_matches(PyExc_UnicodeEncodeError))
        return printed;

    // except UnicodeEncodeError:
    Handler handler;

    // enc = sys.stdout.encoding
    Ref sys = global(names.sys);
    if (!sys)
        return Ref();
    Ref out = getattr(sys.get(), names.sys_stdout);
    if (!out)
        return Ref();
    Ref enc = getattr(out.get(), names.encoding);
    if (!enc)
        return Ref();

    // print(text.encode(enc, "replace").decode(enc))
    Ref encoded = call_method(text, names.encode, {enc.get(), names.replace});
    if (!encoded)
        return Ref();
    Ref decoded = call_method(encoded.get(), names.decode, {enc.get()});
    if (!decoded)
        return Ref();
    return call(state.print, {decoded.get()});
}

/// self.root.<name>: a new reference, or nullptr with an exception set.
Ref root_attr(PyObject *self, PyObject *name)
{
    Ref root = getattr(self, names.root);
    if (!root)
        return {};
    return getattr(root.get(), name);
}

/// self.root.<name>(*args): a new reference, or nullptr with an exception set.
Ref root_call(PyObject *self, PyObject *name, std::initializer_list<PyObject *> args = {})
{
    Ref root = getattr(self, names.root);
    if (!root)
        return {};
    return call_method(root.get(), name, args);
}

/// self.root.after(delay, <new action_spec function over scope>): the posting
/// statement of the window's worker. 0, or -1 with an exception set.
int post(PyObject *self, PyObject *delay, const FuncSpec &action_spec, PyObject *scope)
{
    Ref root = getattr(self, names.root);
    if (!root)
        return -1;
    Ref action = new_function(action_spec, scope);
    if (!action)
        return -1;
    Ref id = call_method(root.get(), names.after, {delay, action.get()});
    if (!id)
        return -1;
    return 0;
}

/// self.speed_lbl.config(text=<text made by make_text>), the statement of
/// four posted actions. The text is made after the method lookup, as the
/// Python call evaluates its arguments after the callee.
template <class MakeText>
Ref set_status(PyObject *self, MakeText make_text)
{
    Ref label = getattr(self, names.speed_lbl);
    if (!label)
        return Ref();
    Ref config = getattr(label.get(), names.config);
    if (!config)
        return Ref();
    Ref text = make_text();
    if (!text)
        return Ref();
    return call_kw(config.get(), {}, {names.text}, {text.get()});
}

// ---------------------------------------------------------------------------
// UpdaterGUI.__init__

/// Adds __init__'s traceback entry for `line`.
Outcome init_error(int line) { return raise_at(init_spec.trace_name, line); }

/// The locals of __init__ (x, y, style), held until it returns, as the Python
/// frame holds them.
struct InitLocals {
    Ref x;
    Ref y;
    Ref style;
};

/// f"{self.WIDTH}x{self.HEIGHT}": a new reference, or nullptr with an exception set.
Ref window_size_text(PyObject *self)
{
    Ref width = getattr(self, names.WIDTH);
    if (!width)
        return {};
    Ref width_text = format_field(width.get());
    if (!width_text)
        return {};
    Ref height = getattr(self, names.HEIGHT);
    if (!height)
        return {};
    Ref height_text = format_field(height.get());
    if (!height_text)
        return {};
    return join({width_text.get(), names.x_sep, height_text.get()});
}

/// f"+{x}+{y}": a new reference, or nullptr with an exception set.
Ref position_text(PyObject *x, PyObject *y)
{
    Ref x_text = format_field(x);
    if (!x_text)
        return {};
    Ref y_text = format_field(y);
    if (!y_text)
        return {};
    return join({names.plus, x_text.get(), names.plus, y_text.get()});
}

/// (self.root.<screen_size>() - self.<window_size>) // 2: the offset that
/// centres the window along one axis. New reference, or nullptr.
Ref centred_offset(PyObject *self, PyObject *screen_size, PyObject *window_size)
{
    Ref screen = root_call(self, screen_size);
    if (!screen)
        return {};
    Ref window = getattr(self, window_size);
    if (!window)
        return {};
    Ref spare = steal(PyNumber_Subtract(screen.get(), window.get()));
    if (!spare)
        return {};
    return steal(PyNumber_FloorDivide(spare.get(), ints.i2));
}

/// Lines 238-245: the window, with its title, size and colour, centred on the screen.
Outcome open_window(PyObject *self, InitLocals &locals)
{
    namespace at = line::init;

    // self.root = tk.Tk()
    {
        Ref tk = global(names.tk);
        if (!tk)
            return init_error(at::tk_root);
        Ref tk_class = getattr(tk.get(), names.Tk);
        if (!tk_class)
            return init_error(at::tk_root);
        Ref root = call(tk_class.get());
        if (!root || PyObject_SetAttr(self, names.root, root.get()) < 0)
            return init_error(at::tk_root);
    }

    // self.root.title("Quelba Updater")
    if (!root_call(self, names.title, {names.window_title}))
        return init_error(at::title);

    // self.root.geometry(f"{self.WIDTH}x{self.HEIGHT}")
    {
        Ref geometry = root_attr(self, names.geometry);
        if (!geometry)
            return init_error(at::size);
        Ref size = window_size_text(self);
        if (!size || !call(geometry.get(), {size.get()}))
            return init_error(at::size);
    }

    // self.root.resizable(False, False)
    {
        Ref resizable = root_attr(self, names.resizable);
        if (!resizable || !call_tuple(resizable.get(), tuples.false_false))
            return init_error(at::resizable);
    }

    // self.root.configure(bg=BG_DARK)
    {
        Ref configure = root_attr(self, names.configure);
        if (!configure)
            return init_error(at::configure_bg);
        Ref bg_dark = global(names.BG_DARK);
        if (!bg_dark || !call_kw(configure.get(), {}, {names.bg}, {bg_dark.get()}))
            return init_error(at::configure_bg);
    }

    // x = (self.root.winfo_screenwidth() - self.WIDTH) // 2
    locals.x = centred_offset(self, names.winfo_screenwidth, names.WIDTH);
    if (!locals.x)
        return init_error(at::x);
    // y = (self.root.winfo_screenheight() - self.HEIGHT) // 2
    locals.y = centred_offset(self, names.winfo_screenheight, names.HEIGHT);
    if (!locals.y)
        return init_error(at::y);

    // self.root.geometry(f"+{x}+{y}")
    Ref geometry = root_attr(self, names.geometry);
    if (!geometry)
        return init_error(at::position);
    Ref position = position_text(locals.x.get(), locals.y.get());
    if (!position || !call(geometry.get(), {position.get()}))
        return init_error(at::position);
    return Outcome::ok();
}

/// self.<attr> = tk.Label(self.card, text=text, bg=BG_CARD, fg=<fg_global>, font=font),
/// evaluated in that order: 0, or -1 with an exception set.
int make_label(PyObject *self, PyObject *attr, PyObject *text, PyObject *fg_global,
               PyObject *font)
{
    Ref tk = global(names.tk);
    if (!tk)
        return -1;
    Ref label_class = getattr(tk.get(), names.Label);
    if (!label_class)
        return -1;
    Ref card = getattr(self, names.card);
    if (!card)
        return -1;
    Ref bg_card = global(names.BG_CARD);
    if (!bg_card)
        return -1;
    Ref fg = global(fg_global);
    if (!fg)
        return -1;
    Ref label = call_kw(label_class.get(), {card.get()}, {names.text, names.bg, names.fg, names.font},
                        {text, bg_card.get(), fg.get(), font});
    if (!label)
        return -1;
    return PyObject_SetAttr(self, attr, label.get());
}

/// self.<attr>.pack(pady=pady): 0, or -1 with an exception set.
int pack_pady(PyObject *self, PyObject *attr, PyObject *pady)
{
    Ref widget = getattr(self, attr);
    if (!widget)
        return -1;
    Ref pack = getattr(widget.get(), names.pack);
    if (!pack)
        return -1;
    if (!call_kw(pack.get(), {}, {names.pady}, {pady}))
        return -1;
    return 0;
}

/// Lines 246-247: the card that holds the widgets.
///     self.card = tk.Frame(self.root, bg=BG_CARD, bd=2, relief="flat",
///                          highlightbackground=BORDER_COLOR, highlightthickness=1)
///     self.card.pack(expand=True, fill="both", padx=20, pady=20, ipadx=10, ipady=10)
Outcome make_card(PyObject *self)
{
    namespace at = line::init;
    {
        Ref tk = global(names.tk);
        if (!tk)
            return init_error(at::card);
        Ref frame_class = getattr(tk.get(), names.Frame);
        if (!frame_class)
            return init_error(at::card);
        Ref root = getattr(self, names.root);
        if (!root)
            return init_error(at::card);
        Ref bg_card = global(names.BG_CARD);
        if (!bg_card)
            return init_error(at::card);
        Ref border = global(names.BORDER_COLOR);
        if (!border)
            return init_error(at::card);
        Ref card = call_kw(frame_class.get(), {root.get()},
                           {names.bg, names.bd, names.relief, names.highlightbackground,
                            names.highlightthickness},
                           {bg_card.get(), ints.i2, names.flat, border.get(), ints.i1});
        if (!card || PyObject_SetAttr(self, names.card, card.get()) < 0)
            return init_error(at::card);
    }
    Ref card = getattr(self, names.card);
    if (!card)
        return init_error(at::card_pack);
    Ref pack = getattr(card.get(), names.pack);
    if (!pack ||
        !call_kw(pack.get(), {},
                 {names.expand, names.fill, names.padx, names.pady, names.ipadx, names.ipady},
                 {Py_True, names.both, ints.i20, ints.i20, ints.i10, ints.i10}))
        return init_error(at::card_pack);
    return Outcome::ok();
}

/// Lines 250-253: the progress bar and the theme of its style.
///     self.progress = ttk.Progressbar(self.card, mode="determinate", length=300)
///     style = ttk.Style()
///     style.theme_use("clam")
///     style.configure("TProgressbar", background=ACCENT_SUCCESS, troughcolor=BG_DARK)
Outcome make_progress_bar(PyObject *self, Ref &style)
{
    namespace at = line::init;
    {
        Ref ttk = global(names.ttk);
        if (!ttk)
            return init_error(at::progress);
        Ref bar_class = getattr(ttk.get(), names.Progressbar);
        if (!bar_class)
            return init_error(at::progress);
        Ref card = getattr(self, names.card);
        if (!card)
            return init_error(at::progress);
        Ref bar = call_kw(bar_class.get(), {card.get()}, {names.mode, names.length},
                          {names.determinate, ints.i300});
        if (!bar || PyObject_SetAttr(self, names.progress, bar.get()) < 0)
            return init_error(at::progress);
    }
    {
        Ref ttk = global(names.ttk);
        if (!ttk)
            return init_error(at::style);
        Ref style_class = getattr(ttk.get(), names.Style);
        if (!style_class)
            return init_error(at::style);
        style = call(style_class.get());
        if (!style)
            return init_error(at::style);
    }
    if (!call_method(style.get(), names.theme_use, {names.clam}))
        return init_error(at::theme_use);
    Ref configure = getattr(style.get(), names.configure);
    if (!configure)
        return init_error(at::style_configure);
    Ref accent = global(names.ACCENT_SUCCESS);
    if (!accent)
        return init_error(at::style_configure);
    Ref bg_dark = global(names.BG_DARK);
    if (!bg_dark || !call_kw(configure.get(), {names.TProgressbar},
                             {names.background, names.troughcolor},
                             {accent.get(), bg_dark.get()}))
        return init_error(at::style_configure);
    return Outcome::ok();
}

/// Lines 246-256: the widgets of the window, top to bottom.
Outcome make_widgets(PyObject *self, InitLocals &locals)
{
    namespace at = line::init;

    // self.card = tk.Frame(...); self.card.pack(...)
    if (Outcome r = make_card(self); r.raised())
        return r;

    // self.title_lbl = tk.Label(self.card, text="Downloading Update...", bg=BG_CARD,
    //                           fg=TEXT_PRIMARY, font=("Helvetica", 14, "bold"))
    if (make_label(self, names.title_lbl, names.downloading, names.TEXT_PRIMARY,
                   tuples.title_font) < 0)
        return init_error(at::title_lbl);

    // self.title_lbl.pack(pady=(10, 15))
    if (pack_pady(self, names.title_lbl, tuples.pad_10_15) < 0)
        return init_error(at::title_lbl_pack);

    // self.progress = ttk.Progressbar(...); style = ttk.Style(); ...
    if (Outcome r = make_progress_bar(self, locals.style); r.raised())
        return r;

    // self.progress.pack(pady=(0, 10))
    if (pack_pady(self, names.progress, tuples.pad_0_10) < 0)
        return init_error(at::progress_pack);

    // self.speed_lbl = tk.Label(self.card, text="Connecting...", bg=BG_CARD,
    //                           fg=TEXT_SECONDARY, font=("Helvetica", 10))
    if (make_label(self, names.speed_lbl, names.connecting, names.TEXT_SECONDARY,
                   tuples.status_font) < 0)
        return init_error(at::speed_lbl);

    // self.speed_lbl.pack(pady=(0, 5))
    if (pack_pady(self, names.speed_lbl, tuples.pad_0_5) < 0)
        return init_error(at::speed_lbl_pack);
    return Outcome::ok();
}

/// Lines 257-258: closing the window exits, and the download starts on a daemon thread.
Outcome start_worker(PyObject *self)
{
    namespace at = line::init;

    // self.root.protocol("WM_DELETE_WINDOW", self._on_close)
    {
        Ref protocol = root_attr(self, names.protocol);
        if (!protocol)
            return init_error(at::protocol);
        Ref on_close = getattr(self, names._on_close);
        if (!on_close || !call(protocol.get(), {names.WM_DELETE_WINDOW, on_close.get()}))
            return init_error(at::protocol);
    }

    // threading.Thread(target=self._run_update, daemon=True).start()
    Ref threading = global(names.threading);
    if (!threading)
        return init_error(at::thread);
    Ref thread_class = getattr(threading.get(), names.Thread);
    if (!thread_class)
        return init_error(at::thread);
    Ref run_update = getattr(self, names._run_update);
    if (!run_update)
        return init_error(at::thread);
    Ref thread = call_kw(thread_class.get(), {}, {names.target, names.daemon},
                         {run_update.get(), Py_True});
    if (!thread || !call_method(thread.get(), names.start))
        return init_error(at::thread);
    return Outcome::ok();
}

PyObject *init_body(PyObject *, PyObject *const *args)
{
    const char *here = init_spec.trace_name;
    namespace at = line::init;
    PyObject *self = args[0];

    // if not TK_AVAILABLE:
    Ref tk_available = global(names.TK_AVAILABLE);
    if (!tk_available)
        return fail(here, at::tk_available);
    int available = truth(tk_available);
    if (available < 0)
        return fail(here, at::tk_available);
    if (!available) {
        // self.console_update()
        Ref done = call_method(self, names.console_update);
        if (!done)
            return fail(here, at::console_update);
        // return
        Py_RETURN_NONE;
    }

    InitLocals locals;
    // self.root = tk.Tk() ... self.root.geometry(f"+{x}+{y}")
    if (open_window(self, locals).raised())
        return nullptr;
    // self.card = tk.Frame(...) ... self.speed_lbl.pack(pady=(0, 5))
    if (make_widgets(self, locals).raised())
        return nullptr;
    // self.root.protocol(...); threading.Thread(...).start()
    if (start_worker(self).raised())
        return nullptr;

    // self.root.mainloop()
    if (!root_call(self, names.mainloop))
        return fail(here, at::mainloop);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// UpdaterGUI._run_update and what it posts

PyObject *run_update_body(PyObject *, PyObject *const *args)
{
    const char *here = run_update_spec.trace_name;
    namespace at = line::run_update;
    PyObject *self = args[0];

    // the cells of self and new_exe
    Ref scope = new_worker_scope(self);
    if (!scope)
        return fail(here, line::body::def_run_update);

    // def progress_callback(percent, speed_kb, known_size, downloaded_bytes): ...
    Ref progress_callback = new_function(run_progress_spec, scope.get());
    if (!progress_callback)
        return fail(here, line::body::def_run_update);

    // new_exe = download_new_exe_with_progress(progress_callback)
    {
        Ref download = global(names.download_new_exe_with_progress);
        if (!download)
            return fail(here, at::download);
        Ref new_exe = call(download.get(), {progress_callback.get()});
        if (!new_exe)
            return fail(here, at::download);
        Py_XSETREF(as_worker(scope.get())->new_exe, new_exe.release());
    }

    // if new_exe:
    {
        Ref new_exe = free_variable(as_worker(scope.get())->new_exe, "new_exe");
        if (!new_exe)
            return fail(here, at::test_new_exe);
        int ready = truth(new_exe);
        if (ready < 0)
            return fail(here, at::test_new_exe);
        if (!ready)
            Py_RETURN_NONE;
    }

    // self.root.after(0, lambda: self.speed_lbl.config(text="Update ready! Restarting..."))
    if (post(self, ints.i0, run_lambda5_spec, scope.get()) < 0)
        return fail(here, at::post_ready);

    // self.root.after(500, lambda: self._complete_update(new_exe))
    if (post(self, ints.i500, run_lambda6_spec, scope.get()) < 0)
        return fail(here, at::post_complete);

    Py_RETURN_NONE;
}

PyObject *run_progress_body(PyObject *func, PyObject *const *args)
{
    const char *here = run_progress_spec.trace_name;
    namespace at = line::run_progress;
    PyObject *percent = args[0];
    PyObject *speed_kb = args[1];
    PyObject *known_size = args[2];
    PyObject *downloaded_bytes = args[3];
    PyObject *worker = function_scope(func);

    // the cells of this report
    Ref report = new_report_scope(worker, percent, speed_kb, downloaded_bytes);
    if (!report)
        return fail(here, line::run_update::def_progress);

    // if percent == -1:
    int failed = is_failure_report(percent);
    if (failed < 0)
        return fail(here, at::test_failed);
    if (failed) {
        // self.root.after(0, lambda: self.speed_lbl.config(text="Download failed!"))
        Ref self = worker_self(worker);
        if (!self || post(self.get(), ints.i0, run_lambda_specs[0], report.get()) < 0)
            return fail(here, at::post_failed_label);

        // self.root.after(0, lambda: messagebox.showerror("Update Failed",
        //                                                 "Could not download update."))
        self = worker_self(worker);
        if (!self || post(self.get(), ints.i0, run_lambda_specs[1], report.get()) < 0)
            return fail(here, at::post_error_box);

        // self.root.after(0, lambda: sys.exit(1))
        self = worker_self(worker);
        if (!self || post(self.get(), ints.i0, run_exit_spec, report.get()) < 0)
            return fail(here, at::post_exit);

        // return
        Py_RETURN_NONE;
    }

    // self.root.after(0, lambda: self.progress.config(value=percent))
    {
        Ref self = worker_self(worker);
        if (!self || post(self.get(), ints.i0, run_lambda_specs[2], report.get()) < 0)
            return fail(here, at::post_bar);
    }

    // if known_size:
    int known = PyObject_IsTrue(known_size);
    if (known < 0)
        return fail(here, at::test_known);
    if (known) {
        // self.root.after(0, lambda: self.speed_lbl.config(
        //     text=f"{percent:.1f}% • {speed_kb:.1f} KB/s"))
        Ref self = worker_self(worker);
        if (!self || post(self.get(), ints.i0, run_lambda_specs[3], report.get()) < 0)
            return fail(here, at::post_known_text);
    }
    else {
        // self.root.after(0, lambda: self.speed_lbl.config(
        //     text=f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s"))
        Ref self = worker_self(worker);
        if (!self || post(self.get(), ints.i0, run_lambda_specs[4], report.get()) < 0)
            return fail(here, at::post_bytes_text);
    }
    Py_RETURN_NONE;
}

// lambda: self.speed_lbl.config(text="Download failed!")
PyObject *failed_label_body(PyObject *func, PyObject *const *)
{
    const char *here = run_lambda_specs[0].trace_name;
    Ref self = report_self(function_scope(func));
    if (!self)
        return fail(here, line::lambdas::failed_label);
    Ref done = set_status(self.get(), [] { return borrow(names.download_failed); });
    if (!done)
        return fail(here, line::lambdas::failed_label);
    return done.release();
}

// lambda: messagebox.showerror("Update Failed", "Could not download update.")
PyObject *error_box_body(PyObject *, PyObject *const *)
{
    const char *here = run_lambda_specs[1].trace_name;
    Ref messagebox = global(names.messagebox);
    if (!messagebox)
        return fail(here, line::lambdas::error_box);
    Ref showerror = getattr(messagebox.get(), names.showerror);
    if (!showerror)
        return fail(here, line::lambdas::error_box);
    Ref done = call_tuple(showerror.get(), tuples.update_failed);
    if (!done)
        return fail(here, line::lambdas::error_box);
    return done.release();
}

// lambda: sys.exit(1)
PyObject *exit_body(PyObject *, PyObject *const *)
{
    const char *here = run_exit_spec.trace_name;
    Ref sys = global(names.sys);
    if (!sys)
        return fail(here, line::lambdas::exit);
    Ref done = call_method(sys.get(), names.exit, {ints.i1});
    if (!done)
        return fail(here, line::lambdas::exit);
    return done.release();
}

// lambda: self.progress.config(value=percent)
PyObject *bar_body(PyObject *func, PyObject *const *)
{
    const char *here = run_lambda_specs[2].trace_name;
    PyObject *report = function_scope(func);
    Ref self = report_self(report);
    if (!self)
        return fail(here, line::lambdas::bar);
    Ref bar = getattr(self.get(), names.progress);
    if (!bar)
        return fail(here, line::lambdas::bar);
    Ref config = getattr(bar.get(), names.config);
    if (!config)
        return fail(here, line::lambdas::bar);
    Ref percent = free_variable(as_report(report)->percent, "percent");
    if (!percent)
        return fail(here, line::lambdas::bar);
    Ref done = call_kw(config.get(), {}, {names.value}, {percent.get()});
    if (!done)
        return fail(here, line::lambdas::bar);
    return done.release();
}

// lambda: self.speed_lbl.config(text=f"{percent:.1f}% • {speed_kb:.1f} KB/s")
PyObject *known_text_body(PyObject *func, PyObject *const *)
{
    const char *here = run_lambda_specs[3].trace_name;
    ReportScope *report = as_report(function_scope(func));
    Ref self = report_self(function_scope(func));
    if (!self)
        return fail(here, line::lambdas::known_text);
    Ref done = set_status(self.get(), [report] {
        return known_size_text(report->percent, report->speed_kb);
    });
    if (!done)
        return fail(here, line::lambdas::known_text);
    return done.release();
}

// lambda: self.speed_lbl.config(text=f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s")
PyObject *bytes_text_body(PyObject *func, PyObject *const *)
{
    const char *here = run_lambda_specs[4].trace_name;
    ReportScope *report = as_report(function_scope(func));
    Ref self = report_self(function_scope(func));
    if (!self)
        return fail(here, line::lambdas::bytes_text);
    Ref done = set_status(self.get(), [report] {
        return byte_count_text(report->downloaded_bytes, report->speed_kb);
    });
    if (!done)
        return fail(here, line::lambdas::bytes_text);
    return done.release();
}

// lambda: self.speed_lbl.config(text="Update ready! Restarting...")
PyObject *ready_label_body(PyObject *func, PyObject *const *)
{
    const char *here = run_lambda5_spec.trace_name;
    Ref self = worker_self(function_scope(func));
    if (!self)
        return fail(here, line::lambdas::ready_label);
    Ref done = set_status(self.get(), [] { return borrow(names.gui_ready); });
    if (!done)
        return fail(here, line::lambdas::ready_label);
    return done.release();
}

// lambda: self._complete_update(new_exe)
PyObject *complete_body(PyObject *func, PyObject *const *)
{
    const char *here = run_lambda6_spec.trace_name;
    PyObject *worker = function_scope(func);
    Ref self = worker_self(worker);
    if (!self)
        return fail(here, line::lambdas::complete);
    Ref complete = getattr(self.get(), names._complete_update);
    if (!complete)
        return fail(here, line::lambdas::complete);
    Ref new_exe = free_variable(as_worker(worker)->new_exe, "new_exe");
    if (!new_exe)
        return fail(here, line::lambdas::complete);
    Ref done = call(complete.get(), {new_exe.get()});
    if (!done)
        return fail(here, line::lambdas::complete);
    return done.release();
}

// ---------------------------------------------------------------------------
// UpdaterGUI._complete_update and UpdaterGUI._on_close

PyObject *complete_update_body(PyObject *, PyObject *const *args)
{
    const char *here = complete_update_spec.trace_name;
    namespace at = line::complete_update;
    PyObject *self = args[0];
    PyObject *new_exe = args[1];

    // try:
    int raised_at = 0;
    {
        // replace_and_run(new_exe)
        Ref replace = global(names.replace_and_run);
        if (!replace || !call(replace.get(), {new_exe}))
            raised_at = at::replace_and_run;
    }
    if (!raised_at) {
        // self.root.destroy()
        if (!root_call(self, names.destroy))
            raised_at = at::destroy;
    }
    if (!raised_at)
        Py_RETURN_NONE;

    // except Exception as e:
    fail(here, raised_at);
    if (!pending_matches(PyExc_Exception))
        return nullptr;
    Handler handler;
    PyObject *e = handler.exception();

    // messagebox.showerror("Update Error", str(e))
    {
        Ref messagebox = global(names.messagebox);
        if (!messagebox)
            return fail(here, at::showerror);
        Ref showerror = getattr(messagebox.get(), names.showerror);
        if (!showerror)
            return fail(here, at::showerror);
        Ref message = steal(PyObject_Str(e));
        if (!message || !call(showerror.get(), {names.update_error, message.get()}))
            return fail(here, at::showerror);
    }

    // sys.exit(1)
    {
        Ref sys = global(names.sys);
        if (!sys || !call_method(sys.get(), names.exit, {ints.i1}))
            return fail(here, at::exit);
    }
    Py_RETURN_NONE;
}

PyObject *on_close_body(PyObject *, PyObject *const *)
{
    // sys.exit(0)
    Ref sys = global(names.sys);
    if (!sys || !call_method(sys.get(), names.exit, {ints.i0}))
        return fail(on_close_spec.trace_name, line::on_close::exit);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// UpdaterGUI.console_update

PyObject *console_update_body(PyObject *, PyObject *const *)
{
    const char *here = console_update_spec.trace_name;
    namespace at = line::console_update;

    // print("Tkinter not available, running console update...")
    if (!print_line(names.console_notice))
        return fail(here, at::notice);

    // def progress_callback(percent, speed_kb, known_size, downloaded_bytes): ...
    Ref progress_callback = new_function(console_progress_spec, nullptr);
    if (!progress_callback)
        return fail(here, line::body::def_console_update);

    // new_exe = download_new_exe_with_progress(progress_callback)
    Ref new_exe;
    {
        Ref download = global(names.download_new_exe_with_progress);
        if (!download)
            return fail(here, at::download);
        new_exe = call(download.get(), {progress_callback.get()});
        if (!new_exe)
            return fail(here, at::download);
    }

    // if not new_exe: return
    int ready = truth(new_exe);
    if (ready < 0)
        return fail(here, at::test_new_exe);
    if (!ready)
        Py_RETURN_NONE;

    // print("Update ready! Replacing and restarting...")
    if (!print_line(names.console_ready))
        return fail(here, at::ready);

    // try: replace_and_run(new_exe)
    {
        Ref replace = global(names.replace_and_run);
        if (replace && call(replace.get(), {new_exe.get()}))
            Py_RETURN_NONE;
    }

    // except Exception as e:
    fail(here, at::replace_and_run);
    if (!pending_matches(PyExc_Exception))
        return nullptr;
    Handler handler;

    // print(f"Error: {e}")
    {
        Ref text = format_field(handler.exception());
        if (!text)
            return fail(here, at::error_line);
        Ref error_line = join({names.error_prefix, text.get()});
        if (!error_line || !print_line(error_line.get()))
            return fail(here, at::error_line);
    }

    // sys.exit(1)
    {
        Ref sys = global(names.sys);
        if (!sys || !call_method(sys.get(), names.exit, {ints.i1}))
            return fail(here, at::exit);
    }
    Py_RETURN_NONE;
}

PyObject *console_progress_body(PyObject *, PyObject *const *args)
{
    const char *here = console_progress_spec.trace_name;
    namespace at = line::console_progress;
    PyObject *percent = args[0];
    PyObject *speed_kb = args[1];
    PyObject *known_size = args[2];
    PyObject *downloaded_bytes = args[3];

    // if percent == -1:
    int failed = is_failure_report(percent);
    if (failed < 0)
        return fail(here, at::test_failed);
    if (failed) {
        // print("Download failed!")
        if (!print_line(names.download_failed))
            return fail(here, at::failed_line);
        // sys.exit(1)
        Ref sys = global(names.sys);
        if (!sys || !call_method(sys.get(), names.exit, {ints.i1}))
            return fail(here, at::exit);
        Py_RETURN_NONE;
    }

    // if known_size:
    int known = PyObject_IsTrue(known_size);
    if (known < 0)
        return fail(here, at::test_known);
    if (known) {
        // print(f"{percent:.1f}% • {speed_kb:.1f} KB/s")
        Ref text = known_size_text(percent, speed_kb);
        if (!text || !print_line(text.get()))
            return fail(here, at::known_line);
    }
    else {
        // print(f"{downloaded_bytes // 1024} KB • {speed_kb:.1f} KB/s")
        Ref text = byte_count_text(downloaded_bytes, speed_kb);
        if (!text || !print_line(text.get()))
            return fail(here, at::bytes_line);
    }
    Py_RETURN_NONE;
}

constexpr const char *progress_varnames = "percent speed_kb known_size downloaded_bytes";

constexpr Code run_lambda_code(int i)
{
    return static_cast<Code>(static_cast<int>(Code::run_lambda) + i);
}

}  // namespace

int init_scope_types()
{
    if (state.worker_scope_type && state.report_scope_type)
        return 0;
    if (!state.worker_scope_type) {
        state.worker_scope_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&worker_scope_spec));
        if (!state.worker_scope_type)
            return -1;
    }
    state.report_scope_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&report_scope_spec));
    if (!state.report_scope_type)
        return -1;
    return 0;
}

constexpr FuncSpec init_spec = {
    "__init__", "updater.UpdaterGUI.__init__", init_body, 1,
    line::body::def_init, Code::init, &Names::q_init, "self x y style"};
constexpr FuncSpec run_update_spec = {
    "_run_update", "updater.UpdaterGUI._run_update", run_update_body, 1,
    line::body::def_run_update, Code::run_update, &Names::q_run_update,
    "self progress_callback progress_callback new_exe"};
constexpr FuncSpec complete_update_spec = {
    "_complete_update", "updater.UpdaterGUI._complete_update", complete_update_body, 2,
    line::body::def_complete_update, Code::complete_update, &Names::q_complete_update,
    "self new_exe e"};
constexpr FuncSpec on_close_spec = {
    "_on_close", "updater.UpdaterGUI._on_close", on_close_body, 1,
    line::body::def_on_close, Code::on_close, &Names::q_on_close, "self"};
constexpr FuncSpec console_update_spec = {
    "console_update", "updater.UpdaterGUI.console_update", console_update_body, 1,
    line::body::def_console_update, Code::console_update, &Names::q_console_update,
    "self progress_callback progress_callback new_exe e"};
constexpr FuncSpec run_progress_spec = {
    "progress_callback", "updater.UpdaterGUI._run_update.progress_callback", run_progress_body, 4,
    line::run_update::def_progress, Code::run_progress, &Names::q_run_progress,
    progress_varnames};
constexpr FuncSpec run_lambda_specs[5] = {
    {"lambda", "updater.UpdaterGUI._run_update.progress_callback.lambda", failed_label_body, 0,
     line::run_progress::post_failed_label, run_lambda_code(0), &Names::q_run_progress_lambda,
     ""},
    {"lambda1", "updater.UpdaterGUI._run_update.progress_callback.lambda1", error_box_body, 0,
     line::run_progress::post_error_box, run_lambda_code(1), &Names::q_run_progress_lambda, ""},
    {"lambda2", "updater.UpdaterGUI._run_update.progress_callback.lambda2", bar_body, 0,
     line::run_progress::post_bar, run_lambda_code(2), &Names::q_run_progress_lambda, ""},
    {"lambda3", "updater.UpdaterGUI._run_update.progress_callback.lambda3", known_text_body, 0,
     line::run_progress::post_known_text, run_lambda_code(3), &Names::q_run_progress_lambda, ""},
    {"lambda4", "updater.UpdaterGUI._run_update.progress_callback.lambda4", bytes_text_body, 0,
     line::run_progress::post_bytes_text, run_lambda_code(4), &Names::q_run_progress_lambda, ""},
};
constexpr FuncSpec run_lambda5_spec = {
    "lambda5", "updater.UpdaterGUI._run_update.lambda5", ready_label_body, 0,
    line::run_update::post_ready, Code::run_lambda5, &Names::q_run_lambda, ""};
constexpr FuncSpec run_lambda6_spec = {
    "lambda6", "updater.UpdaterGUI._run_update.lambda6", complete_body, 0,
    line::run_update::post_complete, Code::run_lambda6, &Names::q_run_lambda, ""};
constexpr FuncSpec run_exit_spec = {
    "exit_lambda", "updater.UpdaterGUI._run_update.progress_callback.exit_lambda", exit_body, 0,
    line::run_progress::post_exit, Code::run_exit, &Names::q_run_progress_lambda, ""};
constexpr FuncSpec console_progress_spec = {
    "progress_callback", "updater.UpdaterGUI.console_update.progress_callback",
    console_progress_body, 4, line::console_update::def_progress, Code::console_progress,
    &Names::q_console_progress, progress_varnames};

static_assert(fit_frame({&init_spec, &run_update_spec, &complete_update_spec, &on_close_spec,
                         &console_update_spec, &run_progress_spec, &run_lambda_specs[0],
                         &run_lambda_specs[1], &run_lambda_specs[2], &run_lambda_specs[3],
                         &run_lambda_specs[4], &run_lambda5_spec, &run_lambda6_spec, &run_exit_spec,
                         &console_progress_spec}),
              "no function takes more than max_params parameters");

}  // namespace updater

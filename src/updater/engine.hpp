// What the parts of the update engine share. The engine is split along its
// seams, each file using only the ones above it:
//   engine.cpp     paths and files through os, `with` blocks, the https fetch
//                  and the download file that every transfer writes
//   signature.cpp  signed builds: the key, the signature beside the build,
//                  the installed record and the rollback rule
//   patch.cpp      the new build made from the installed one and a patch
//   download.cpp   the install location and the download itself
//   swap.cpp       the swap of the executables and the relaunch
#pragma once

#include "functions.hpp"
#include "lines.hpp"
#include "minisign.hpp"

#include <string_view>

namespace updater {

// ---------------------------------------------------------------------------
// engine.cpp: paths and files

/// The value of `name.attr1.attr2...` for a module global `name`: a new
/// reference, or nullptr with the exception set.
Ref dotted(PyObject *name, std::initializer_list<PyObject *> attrs);
/// get_exe_dir(), through the module global: a new reference or nullptr.
Ref install_dir();
/// os.path.join(exe_dir, <global file_name> [+ suffix]), evaluated in that
/// order: a new reference or nullptr.
Ref install_path(PyObject *exe_dir, PyObject *file_name, PyObject *suffix = nullptr);
/// os.fspath(path) + ".minisig", the name of a build's signature file: a new
/// reference or nullptr.
Ref signature_path(PyObject *path);
/// `except Exception: pass` after a failed statement: true when the pending
/// exception derived from Exception and has been dropped; false when it stays.
bool swallow_exception();
/// os.path.<test>(path) as 1 or 0, or -1 with an exception set.
int path_test(PyObject *test, PyObject *path);
/// os.<function>(*args), the result dropped: 0, or -1 with an exception set.
int os_call(PyObject *function, std::initializer_list<PyObject *> args);
/// os.fsync(file.fileno()): 0, or -1 with an exception set.
int fsync_file(PyObject *file);

/// An error reporter: adds the function's traceback entry for a line.
using ErrorAt = Outcome (*)(int line);

/// `with open(path, mode) as f:` up to its body: f, or nullptr with an
/// exception set. `block` exits the file.
Ref open_in(With &block, PyObject *path, PyObject *mode);
/// Leaves a `with` block after a statement inside it raised (`inside`). ok when
/// __exit__ suppressed the exception; otherwise raised, and an exception raised
/// by __exit__ itself gets the entry of the with statement's line.
Outcome leave_with_error(Outcome inside, With &block, int line, ErrorAt error);
/// with open(path, "rb") as f: *data = f.read(size): 0, or -1 with an exception set.
int read_file(PyObject *path, PyObject *size, Ref *data);
/// main_exe + ".minisig.old", the record's backup: a new reference or nullptr.
Ref record_backup_path(PyObject *main_exe);
/// The record's backup back at the record's name: 0, or -1 with an exception set.
int put_record_back(PyObject *main_exe);
/// Puts the backup back at the launcher's name, its record's backup first,
/// when a crash left that name empty (see engine.cpp).
Outcome heal(PyObject *main_exe, PyObject *old_exe, ErrorAt error, int test_line);
/// A hard link from src to dst, or a synced copy where links are refused;
/// replace_and_run's lines from `line` on (see engine.cpp).
Outcome back_up(PyObject *src, PyObject *dst, int line);

// ---------------------------------------------------------------------------
// engine.cpp: the https fetch and the download file

/// Adds download_new_exe_with_progress's traceback entry for `line`.
Outcome download_error(int line);
/// Adds replace_and_run's traceback entry for `line`.
Outcome swap_error(int line);
/// The UnboundLocalError of the download's statement at `line` reading a
/// local `name` that a suppressed error left unbound.
Outcome unbound_local(const char *name, int line, ErrorAt error = download_error);
/// time.time() as a double: 0, or -1 with an exception set.
int clock(double *now);
/// urllib.request.Request(UPDATE_URL, headers={"Cache-Control": "no-cache"}), or with
/// `suffix` added to the path of UPDATE_URL, its query and fragment kept, for a file
/// published beside the build: a new reference, or nullptr with an exception set.
Ref new_request(PyObject *suffix);
/// Enters `with urllib.request.urlopen(req, timeout=60) as ...`: the result of
/// __enter__, or nullptr with an exception set.
Ref open_url(PyObject *req, With &block);
/// A file asked for over https arrives over https on every hop; reports the
/// lines from `line` on through `error` (see engine.cpp).
Outcome check_hops(PyObject *req, PyObject *resp, int line, ErrorAt error = download_error);
/// A small file published beside the build (UPDATE_URL, `suffix` added to its
/// path), fetched by the build's rules into *body: at most 4096 bytes, or
/// OSError(too_large). `line` is the request's; the others follow it as in
/// engine.cpp, and the entries are `error`'s.
Outcome fetch_beside(PyObject *suffix, PyObject *too_large, const char *local, int line, ErrorAt error,
                     Ref *body);

/// total_size, as the int itself and as the C value the loop computes with.
struct TotalSize {
    Ref value;     // the int
    long long n;   // its value, LLONG_MAX when larger
    bool known;    // total_size > 0
};

/// total_size from "Content-Length", and a body whose end can be told from a
/// cut connection. Fills *size.
Outcome body_size(PyObject *resp, TotalSize *size);
/// After the read loop: the body was whole, and the file is made durable.
Outcome finish_file(PyObject *f, long long downloaded, const TotalSize &total_size);
/// Line 133, after the response's `with` block and the signature's check:
/// the download file's checks ran to their end (`complete`). An error that a
/// response's __exit__ suppressed skips them, and then no file is a build.
Outcome check_complete(bool complete);

/// The one total of a folder launcher's update, the build and the files that
/// travel, and the bytes counted before the current transfer.
struct Tally {
    TotalSize total;
    long long base = 0;
    double start_time = 0;
};

/// Where the bytes of the new build go, piece by piece: into the download
/// file, into the digest of a signed build, and to the callback as a report,
/// counted against `tally` when one is given.
class Writer {
public:
    Writer(PyObject *progress_callback, PyObject *f, PyObject *digest, const TotalSize &total_size,
           double start_time, const Tally *tally = nullptr)
        : progress_callback_(progress_callback), f_(f), digest_(digest), total_size_(total_size),
          start_time_(start_time), tally_(tally)
    {
    }

    long long downloaded() const { return downloaded_; }

    /// One piece written, hashed, counted and reported.
    Outcome put(PyObject *chunk);

private:
    PyObject *progress_callback_;
    PyObject *f_;
    PyObject *digest_;  // null when no key is set
    const TotalSize &total_size_;
    double start_time_;
    const Tally *tally_;
    long long downloaded_ = 0;
    // f.write and digest.update are looked up at their first use and reused
    // after: both belong to this download, and nothing rebinds them.
    Ref write_;
    Ref update_;
};

/// Lines 89-110: the clock started, the download file made anew, and
/// `fill(f, start_time)` run inside its `with` block. Sets *opened once the
/// file exists.
///     start_time = time.time()
///     try:
///         os.remove(new_path)
///     except FileNotFoundError:
///         pass
///     with open(new_path, "xb") as f:
///         <fill>
template <class Fill>
Outcome write_download(PyObject *new_path, bool *opened, Fill fill)
{
    namespace dl = line::download;
    double start_time;
    if (clock(&start_time) < 0)
        return download_error(dl::start_time);
    // Whatever stands at the name goes, a link itself and never what it points
    // to; "xb" then refuses anything that appears there in between.
    if (os_call(names.remove, {new_path}) < 0) {
        if (!pending_matches(PyExc_FileNotFoundError))
            return download_error(dl::remove_stale);
        PyErr_Clear();
    }
    With block;
    Ref f = open_in(block, new_path, names.mode_xb);
    if (!f)
        return download_error(dl::open_file);
    *opened = true;
    if (Outcome r = fill(f.get(), start_time); r.raised())
        return leave_with_error(r, block, dl::open_file, download_error);
    if (block.exit_ok() < 0)
        return download_error(dl::open_file);
    return Outcome::ok();
}

// ---------------------------------------------------------------------------
// signature.cpp: signed builds

/// A build that must carry its publisher's signature: the key the host named,
/// and the BLAKE2b-512 hash of the body as it arrives (null when no key is set).
struct Signing {
    minisign::PublicKey key{};
    Ref digest;
    bool named = false;  // UPDATE_PUBLIC_KEY is not None, even when malformed
};

/// The installed record, read at most once per download: a patch that fails
/// the rule falls back to the full build, which is held to the same time.
struct Installed {
    bool read = false;
    minisign::Timestamp time;  // empty when no record counts
};

/// What is in hand of a file's content, so that it need not be read for it:
/// its BLAKE2b-512 digest, its bytes, both or neither (borrowed bytes objects).
struct Content {
    PyObject *digest = nullptr;
    PyObject *bytes = nullptr;
};

/// UPDATE_PUBLIC_KEY, looked up now: *named when it is not None, and then the
/// key it names in *key; errors get `error`'s entries at the two lines given.
Outcome host_key(ErrorAt error, int lookup_line, int parse_line, bool *named, minisign::PublicKey *key);
/// Lines 43-47: UPDATE_PUBLIC_KEY read and parsed, and the digest started.
Outcome read_public_key(Signing *signing);
/// The one check of a signature file against a file, the build's and the
/// record's alike: a prehashed signature against the BLAKE2b-512 digest of the
/// file at `path`, a legacy one against its bytes. What `in_hand` holds is used
/// as it is; the rest is read from the file once (the digest through
/// hashlib.file_digest, the bytes in chunks). Puts the verdict in *status: 0,
/// or -1 with an exception set.
int verify_file(const minisign::PublicKey &key, const minisign::Signature &sig, PyObject *path,
                const Content &in_hand, minisign::Status *status);
/// Lines 111-132, when a key is set: the build in new_path checked against the
/// signature published beside it and against the installed build's time, and
/// the signature kept beside it.
Outcome check_signed(const Signing &signing, PyObject *exe_dir, PyObject *new_path, Installed *installed);
/// The time of the installed build, from the record beside the launcher, into
/// *time; empty when the record does not count. The record is checked against
/// `launcher`, the launcher's bytes, when given, and otherwise against the
/// file, read once. 0, or -1 with an exception set.
int read_record(const minisign::PublicKey &key, PyObject *exe_dir, minisign::Timestamp *time,
                PyObject *launcher = nullptr);
/// The installed build's time, into *installed unless this download has read
/// it already; a failure that derives from Exception counts as no record, any
/// other is reported at `line`. `launcher` as for read_record.
Outcome read_installed(const Signing &signing, PyObject *exe_dir, PyObject *launcher, Installed *installed,
                       int line);

/// A record's backup left by an update that did not end removed; `line` is
/// the first of its two.
Outcome drop_record_backup(PyObject *main_exe, int line);
/// The installed record kept beside the launcher's backup, as the backup is
/// made. Sets *kept once it is.
Outcome keep_record(PyObject *main_exe, bool *kept);
/// Once the new launcher is at its name, the signature its download kept
/// becomes its record; without one, the old record goes.
Outcome install_record(PyObject *new_exe, PyObject *main_exe);

// ---------------------------------------------------------------------------
// patch.cpp

/// Lines 50-70: the new build made from the installed launcher and the patch
/// published against it, then checked as the build is. Sets *opened once the
/// download file has been made.
Outcome fetch_patch(PyObject *progress_callback, PyObject *exe_dir, PyObject *new_path,
                    const Signing &signing, Installed *installed, bool *opened, const Tally *tally);

// ---------------------------------------------------------------------------
// folder.cpp: folder launchers

/// One entry of a folder's manifest.
struct FolderEntry {
    std::string_view path;  // "/"-separated, UTF-8: path_text's own
    Ref path_text;          // the same, as a str
    Ref link;               // a link's target as written, or null for a file
    Ref resolved;           // a link's target, resolved inside the folder, a str
    long long size = 0;
    Ref sha256;             // lower-case hex, a str
    bool exec = false;
    Ref source;             // a local file holding the bytes, or null: downloaded
};

/// The entries of a manifest, in one block of the interpreter's memory.
class FolderEntries {
public:
    FolderEntries() = default;
    FolderEntries(const FolderEntries &) = delete;
    FolderEntries &operator=(const FolderEntries &) = delete;
    ~FolderEntries() { reset(0); }

    /// `n` empty entries in place of the old: 0, or -1 with MemoryError set.
    int reset(Py_ssize_t n);

    Py_ssize_t size() const { return size_; }
    FolderEntry &operator[](Py_ssize_t i) { return items_[i]; }
    const FolderEntry &operator[](Py_ssize_t i) const { return items_[i]; }
    FolderEntry *begin() { return items_; }
    FolderEntry *end() { return items_ + size_; }
    const FolderEntry *begin() const { return items_; }
    const FolderEntry *end() const { return items_ + size_; }

private:
    FolderEntry *items_ = nullptr;
    Py_ssize_t size_ = 0;
};

/// The new build's contents folder: its manifest, and how it is made.
struct Folder {
    Ref running;           // the folder this launcher runs from, or null: no folder launcher
    Ref name;
    Ref build;             // the executable's SHA-256, lower-case hex
    long long size = 0;    // the executable's size
    FolderEntries files;
    bool stands = false;   // a folder of that name already matches: nothing to make
    Tally tally;
};

/// The contents folder a PyInstaller executable names in its archive: null
/// and *name set (empty when it names none; inside the bytes), or why the
/// bytes hold no archive.
const char *archive_contents(const unsigned char *p, size_t n, std::string_view *name);
/// The contents folder the executable at `path` names, as a str into *name, or
/// null when it names none. 0, or -1 with an exception set.
int named_folder(PyObject *path, Ref *name);
/// The folder this launcher runs from, into *name: null unless the host is a
/// folder launcher. 0, or -1 with an exception set.
int running_folder(PyObject *exe_dir, Ref *name);
/// Lines 371-394, before the build's download: the manifest fetched, checked
/// and parsed, the old folders removed, and the folder planned.
Outcome prepare_folder(PyObject *exe_dir, const Signing &signing, Folder *folder);
/// Lines 395-416, after the build's download: the build checked against the
/// manifest, and the folder made under its temporary name, then renamed.
Outcome make_folder(PyObject *progress_callback, PyObject *exe_dir, PyObject *new_path, Folder *folder);
/// The listed folders that no launcher uses removed, `keep` (or null) aside.
/// `unseen` removes them where no process list tells use. 0, or -1 with an
/// exception set.
int remove_old_folders(PyObject *exe_dir, PyObject *keep, bool unseen);

}  // namespace updater

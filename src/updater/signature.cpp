// Signed builds: the key the host names, the signature published beside the
// build, the record of the installed build beside the launcher, and the rule
// that no build signed before the installed one goes in.
#include "engine.hpp"

namespace updater {

namespace dl = line::download;
namespace rr = line::replace_and_run;

/// UPDATE_PUBLIC_KEY, read at every call so that a host may set the key at any
/// time: *named when it is not None, and then the key it names in *key. The
/// entries are `error`'s, at the lookup's line and, for a malformed key, at
/// `parse_line`:
///     public_key = globals().get("UPDATE_PUBLIC_KEY")
///     if public_key is not None:
///         public_key = <the key minisign prints, read strictly>
Outcome host_key(ErrorAt error, int lookup_line, int parse_line, bool *named, minisign::PublicKey *key)
{
    Ref public_key = borrow(PyDict_GetItemWithError(state.dict, names.UPDATE_PUBLIC_KEY));
    if (!public_key && PyErr_Occurred())
        return error(lookup_line);
    *named = public_key && public_key.get() != Py_None;
    if (!*named)
        return Outcome::ok();
    if (!PyUnicode_Check(public_key.get())) {
        PyErr_Format(PyExc_TypeError, "UPDATE_PUBLIC_KEY must be a str or None, not %.200s",
                     Py_TYPE(public_key.get())->tp_name);
        return error(parse_line);
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(public_key.get(), &size);
    if (!text)
        return error(parse_line);
    minisign::Status status = minisign::parse_public_key(text, static_cast<size_t>(size), *key);
    if (status != minisign::Status::ok) {
        PyErr_Format(PyExc_ValueError, "UPDATE_PUBLIC_KEY: %s", minisign::message(status));
        return error(parse_line);
    }
    return Outcome::ok();
}

/// Lines 43-47: the host's key, and with it the digest of the build started.
///     <public_key: host_key, lines 43-45>
///     if public_key is not None:
///         import hashlib
///         digest = hashlib.blake2b()
Outcome read_public_key(Signing *signing)
{
    if (Outcome r = host_key(download_error, dl::public_key, dl::parse_key, &signing->named, &signing->key);
        r.raised())
        return r;
    if (!signing->named)
        return Outcome::ok();
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    if (!hashlib)
        return download_error(dl::import_hashlib);
    signing->digest = call_method(hashlib.get(), names.blake2b);
    if (!signing->digest)
        return download_error(dl::blake2b);
    return Outcome::ok();
}

namespace {

/// The file's bytes, read back in chunks, given to the verifier of a legacy
/// signature. Puts the verdict in *status: 0, or -1 with an exception set.
int verify_chunks(const minisign::PublicKey &key, const minisign::Signature &sig, PyObject *path,
                  minisign::Status *status)
{
    minisign::Verifier verifier(key, sig);
    With block;
    Ref f = open_in(block, path, names.mode_rb);
    if (!f)
        return -1;
    for (;;) {
        Ref chunk = call_method(f.get(), names.read, {ints.chunk_size});
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (!chunk || PyBytes_AsStringAndSize(chunk.get(), &data, &size) < 0) {
            block.exit_error();  // a file never suppresses what ends its block
            return -1;
        }
        if (size == 0)
            break;
        verifier.update(data, static_cast<size_t>(size));
    }
    if (block.exit_ok() < 0)
        return -1;
    *status = verifier.finish();
    return 0;
}

/// BLAKE2b-512 of the content in hand, or else of the file, read once:
///     hashlib.blake2b(content).digest()
///     with open(path, "rb") as f: hashlib.file_digest(f, "blake2b").digest()
/// A new reference, or nullptr with an exception set.
Ref content_digest(PyObject *path, PyObject *content)
{
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    if (!hashlib)
        return {};
    if (content) {
        Ref blake2b = getattr(hashlib.get(), names.blake2b);
        Ref hash = blake2b ? call(blake2b.get(), {content}) : Ref{};
        return hash ? call_method(hash.get(), names.digest) : Ref{};
    }
    With block;
    Ref f = open_in(block, path, names.mode_rb);
    if (!f)
        return {};
    Ref hash = call_method(hashlib.get(), names.file_digest, {f.get(), names.blake2b});
    Ref digest = hash ? call_method(hash.get(), names.digest) : Ref{};
    if (!digest) {
        block.exit_error();  // a file never suppresses what ends its block
        return {};
    }
    if (block.exit_ok() < 0)
        return {};
    return digest;
}

}  // namespace

/// The one check of a signature file against a file: a prehashed signature
/// against BLAKE2b-512 of the content, a legacy one against the content, each
/// taken from what is in hand before the file is read. 0 with the verdict in
/// *status, or -1 with an exception set.
int verify_file(const minisign::PublicKey &key, const minisign::Signature &sig, PyObject *path,
                const Content &in_hand, minisign::Status *status)
{
    if (!sig.prehashed && !in_hand.bytes)
        return verify_chunks(key, sig, path, status);
    Ref digest = !sig.prehashed   ? borrow(in_hand.bytes)
                 : in_hand.digest ? borrow(in_hand.digest)
                                  : content_digest(path, in_hand.bytes);
    char *message = nullptr;
    Py_ssize_t size = 0;
    if (!digest || PyBytes_AsStringAndSize(digest.get(), &message, &size) < 0)
        return -1;
    *status = minisign::verify(key, sig, message, static_cast<size_t>(size));
    return 0;
}

namespace {

/// Line 121: the build checked against its signature, which names the key,
/// signs the build (or its BLAKE2b-512 hash, taken as the body arrived) and,
/// globally, its trusted comment. Fills *sig, which borrows the trusted
/// comment from `signature`.
Outcome check_signature(const Signing &signing, PyObject *signature, PyObject *new_path,
                        minisign::Signature *sig)
{
    char *text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(signature, &text, &size) < 0)
        return download_error(dl::verify);
    minisign::Status status = minisign::parse_signature(text, static_cast<size_t>(size), *sig);
    if (status == minisign::Status::ok) {
        Ref digest = sig->prehashed ? call_method(signing.digest.get(), names.digest) : Ref{};
        if (sig->prehashed && !digest)
            return download_error(dl::verify);
        if (verify_file(signing.key, *sig, new_path, {digest.get(), nullptr}, &status) < 0)
            return download_error(dl::verify);
    }
    if (status != minisign::Status::ok) {
        PyErr_Format(PyExc_ValueError, "signature of the build: %s", minisign::message(status));
        return download_error(dl::verify);
    }
    return Outcome::ok();
}

}  // namespace

/// The time of the installed build, from the record beside the launcher: a
/// signature file that parses, names the key, carries a time and verifies
/// against the launcher (its bytes when given, or else the file, read once).
/// *time stays empty when the record does not count. 0, or -1 with an
/// exception set.
int read_record(const minisign::PublicKey &key, PyObject *exe_dir, minisign::Timestamp *time,
                PyObject *launcher)
{
    Ref main_exe = install_path(exe_dir, names.MAIN_EXE_NAME);
    Ref record_path = main_exe ? signature_path(main_exe.get()) : Ref{};
    Ref text;
    if (!record_path || read_file(record_path.get(), ints.signature_cap, &text) < 0)
        return -1;
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(text.get(), &data, &size) < 0)
        return -1;
    minisign::Signature sig{};
    if (size > signature_max ||
        minisign::parse_signature(data, static_cast<size_t>(size), sig) != minisign::Status::ok)
        return 0;
    minisign::Timestamp carried;
    minisign::signed_at(sig.trusted_comment, sig.trusted_comment_size, carried);
    // A record without a time limits nothing: the launcher is not read for it.
    if (carried.size == 0 || sig.key_id != key.key_id)
        return 0;
    minisign::Status status = minisign::Status::ok;
    if (verify_file(key, sig, main_exe.get(), {nullptr, launcher}, &status) < 0)
        return -1;
    if (status == minisign::Status::ok)
        *time = carried;
    return 0;
}

/// The installed build's time, read once per download:
///     if installed is None:
///         try:
///             installed = <the record's time: read_record>
///         except Exception:
///             installed = <none>
Outcome read_installed(const Signing &signing, PyObject *exe_dir, PyObject *launcher, Installed *installed,
                       int line)
{
    if (installed->read)
        return Outcome::ok();
    if (read_record(signing.key, exe_dir, &installed->time, launcher) < 0) {
        if (!swallow_exception())
            return download_error(line);
        installed->time = {};
    }
    installed->read = true;
    return Outcome::ok();
}

namespace {

/// Lines 122-124: a build signed before the installed one is refused, and so
/// is a build whose signature carries no time once the installed one does.
///     installed = <the installed record's time, or None: read_record; any Exception means None>
///     if installed is not None and <this signature's time is missing or earlier>:
///         raise ValueError(f"the build was signed at {...}, before the installed one ({installed})")
Outcome check_rollback(const Signing &signing, const minisign::Signature &sig, PyObject *exe_dir,
                       Installed *installed)
{
    if (Outcome r = read_installed(signing, exe_dir, nullptr, installed, dl::installed); r.raised())
        return r;
    if (installed->time.size == 0)
        return Outcome::ok();
    minisign::Timestamp signed_time;
    minisign::signed_at(sig.trusted_comment, sig.trusted_comment_size, signed_time);
    if (signed_time.size == 0) {
        PyErr_Format(PyExc_ValueError,
                     "the build's signature carries no time, and the installed one was signed at %s",
                     installed->time.digits.data());
        return download_error(dl::rollback_raise);
    }
    if (minisign::earlier(signed_time, installed->time)) {
        PyErr_Format(PyExc_ValueError, "the build was signed at %s, before the installed one (%s)",
                     signed_time.digits.data(), installed->time.digits.data());
        return download_error(dl::rollback_raise);
    }
    return Outcome::ok();
}

/// Lines 125-132: the verified signature kept beside the download, made as
/// the download is, for replace_and_run to install with it.
///     try:
///         os.remove(new_path + ".minisig")
///     except FileNotFoundError:
///         pass
///     with open(new_path + ".minisig", "xb") as s:
///         s.write(signature)
///         s.flush()
///         os.fsync(s.fileno())
Outcome keep_signature(PyObject *new_path, PyObject *signature)
{
    Ref path = signature_path(new_path);
    if (!path)
        return download_error(dl::signature_remove);
    if (os_call(names.remove, {path.get()}) < 0) {
        if (!pending_matches(PyExc_FileNotFoundError))
            return download_error(dl::signature_remove);
        PyErr_Clear();
    }
    With block;
    Ref s = open_in(block, path.get(), names.mode_xb);
    if (!s)
        return download_error(dl::signature_open);
    Outcome inside = Outcome::ok();
    if (!call_method(s.get(), names.write, {signature}))
        inside = download_error(dl::signature_write);
    else if (!call_method(s.get(), names.flush))
        inside = download_error(dl::signature_flush);
    else if (fsync_file(s.get()) < 0)
        inside = download_error(dl::signature_fsync);
    if (inside.raised())
        return leave_with_error(inside, block, dl::signature_open, download_error);
    if (block.exit_ok() < 0)
        return download_error(dl::signature_open);
    return Outcome::ok();
}

}  // namespace

/// Lines 111-132, when a key is set: the build in new_path checked against the
/// signature published beside it and against the installed build's time, and
/// the signature kept beside it.
///     if public_key is not None:
///         <the signature fetched: fetch_signature, lines 112-120>
///         <the build checked against it: check_signature, line 121>
///         <no older than the installed build: check_rollback, lines 122-124>
///         <the signature kept: keep_signature, lines 125-132>
Outcome check_signed(const Signing &signing, PyObject *exe_dir, PyObject *new_path, Installed *installed)
{
    if (!signing.digest)
        return Outcome::ok();
    Ref signature;
    if (Outcome r = fetch_beside(names.minisig_suffix, names.signature_too_large, "signature",
                                 dl::signature_request, download_error, &signature); r.raised())
        return r;
    minisign::Signature sig{};
    if (Outcome r = check_signature(signing, signature.get(), new_path, &sig); r.raised())
        return r;
    if (Outcome r = check_rollback(signing, sig, exe_dir, installed); r.raised())
        return r;
    return keep_signature(new_path, signature.get());
}

/// A record's backup that an update left when it did not end, or the one a
/// finished swap keeps no longer; `line` is the first of:
///     if os.path.lexists(main_exe + ".minisig.old"):
///         os.remove(main_exe + ".minisig.old")
Outcome drop_record_backup(PyObject *main_exe, int line)
{
    Ref backup = record_backup_path(main_exe);
    if (!backup)
        return swap_error(line);
    int present = path_test(names.lexists, backup.get());
    if (present < 0)
        return swap_error(line);
    if (present && os_call(names.remove, {backup.get()}) < 0)
        return swap_error(line + 1);
    return Outcome::ok();
}

/// Lines 189-195, once the launcher's backup holds the current launcher: the
/// record stays at its name, and its backup is a second name for it, so that a
/// rollback can put the old record back with the old launcher.
///     if backed_up and signed and os.path.lexists(main_exe + ".minisig"):
///         <a hard link, or a synced copy: back_up, lines 190-194>
///         record_kept = True
Outcome keep_record(PyObject *main_exe, bool *kept)
{
    Ref record = signature_path(main_exe);
    if (!record)
        return swap_error(rr::record_test);
    int present = path_test(names.lexists, record.get());
    if (present < 0)
        return swap_error(rr::record_test);
    if (!present)
        return Outcome::ok();
    Ref backup = record_backup_path(main_exe);
    if (!backup)
        return swap_error(rr::record_link);
    if (Outcome r = back_up(record.get(), backup.get(), rr::record_link); r.raised())
        return r;
    *kept = true;
    return Outcome::ok();
}

/// Lines 197-200, once the new launcher is at its name: the signature its
/// download kept replaces the record in one rename. A swap with no signature
/// beside the download leaves no record: the old one belongs to the old build.
///     if signed and os.path.lexists(os.fspath(new_exe) + ".minisig"):
///         os.replace(os.fspath(new_exe) + ".minisig", main_exe + ".minisig")
///     elif signed and os.path.lexists(main_exe + ".minisig"):
///         os.remove(main_exe + ".minisig")
Outcome install_record(PyObject *new_exe, PyObject *main_exe)
{
    Ref kept = signature_path(new_exe);
    if (!kept)
        return swap_error(rr::record_install_test);
    int present = path_test(names.lexists, kept.get());
    if (present < 0)
        return swap_error(rr::record_install_test);
    Ref record = signature_path(main_exe);
    if (!record)
        return swap_error(present ? rr::record_install_test + 1 : rr::record_drop_test);
    if (present) {
        if (os_call(names.replace, {kept.get(), record.get()}) < 0)
            return swap_error(rr::record_install_test + 1);
        return Outcome::ok();
    }
    int old_record = path_test(names.lexists, record.get());
    if (old_record < 0)
        return swap_error(rr::record_drop_test);
    if (old_record && os_call(names.remove, {record.get()}) < 0)
        return swap_error(rr::record_drop_test + 1);
    return Outcome::ok();
}

}  // namespace updater

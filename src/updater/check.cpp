// check_for_update: whether the build published at UPDATE_URL would replace
// the installed launcher, asked with one small request for the file published
// beside the build (its SHA-256, or with a key its signature) and answered from
// what the install already holds.
#include "engine.hpp"

#include <cstring>

namespace updater {
namespace {

namespace ck = line::check;

/// Adds check_for_update's traceback entry for `line`.
Outcome check_error(int line) { return raise_at(check_for_update_spec.trace_name, line); }

/// The blanks bytes.split() cuts at.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr Py_ssize_t sha256_hex_size = 64;

/// Lines 351-352: the installed launcher's SHA-256, in one read. Fills *installed.
///     with open(main_exe, "rb") as f:
///         installed = hashlib.file_digest(f, "sha256").hexdigest()
Outcome hash_launcher(PyObject *hashlib, PyObject *main_exe, Ref *installed)
{
    With block;
    Ref f = open_in(block, main_exe, names.mode_rb);
    if (!f)
        return check_error(ck::launcher_open);
    Ref digest = call_method(hashlib, names.file_digest, {f.get(), names.sha256});
    *installed = digest ? call_method(digest.get(), names.hexdigest) : Ref{};
    if (!*installed)
        return leave_with_error(check_error(ck::launcher_hash), block, ck::launcher_open, check_error);
    if (block.exit_ok() < 0)
        return check_error(ck::launcher_open);
    return Outcome::ok();
}

/// Lines 346-355, without a key: the published SHA-256 against the installed
/// launcher's. Sets *differs.
///     fields = published.split(maxsplit=1)
///     if not fields or <fields[0] is not 64 hex digits>:
///         raise ValueError("the digest file does not begin with 64 hex digits")
///     import hashlib
///     try:
///         <the launcher's SHA-256: hash_launcher, lines 351-352>
///     except FileNotFoundError:
///         return True
///     return installed != fields[0].decode().lower()
Outcome compare_digest(PyObject *main_exe, PyObject *published, bool *differs)
{
    char *text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(published, &text, &size) < 0)
        return check_error(ck::fields);
    Py_ssize_t at = 0;
    while (at < size && is_blank(text[at]))
        ++at;
    Py_ssize_t end = at;
    while (end < size && !is_blank(text[end]) && is_hex(text[end]))
        ++end;
    if (end - at != sha256_hex_size || (end < size && !is_blank(text[end]))) {
        PyErr_SetObject(PyExc_ValueError, names.digest_malformed);
        return check_error(ck::digest_raise);
    }
    // fields[0].decode().lower(), made before the launcher is read
    char field[sha256_hex_size];
    for (Py_ssize_t i = 0; i < sha256_hex_size; ++i)
        field[i] = lower(text[at + i]);
    Ref published_hex = steal(PyUnicode_DecodeASCII(field, sha256_hex_size, nullptr));
    if (!published_hex)
        return check_error(ck::fields);
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    if (!hashlib)
        return check_error(ck::import_hashlib);
    Ref installed;
    if (Outcome r = hash_launcher(hashlib.get(), main_exe, &installed); r.raised()) {
        if (!pending_matches(PyExc_FileNotFoundError))
            return r;
        PyErr_Clear();
        *differs = true;
        return Outcome::ok();
    }
    int unequal = PyObject_RichCompareBool(installed.get(), published_hex.get(), Py_NE);
    if (unequal < 0)
        return check_error(ck::compare_digest);
    *differs = unequal != 0;
    return Outcome::ok();
}

/// Lines 357-369, with a key, once the published signature has verified: the
/// answer from the installed record, which is read, and the launcher only when
/// the record must be proven, once. Sets *differs.
///     try:
///         with open(main_exe + ".minisig", "rb") as f:
///             record = f.read(4097)
///     except Exception:
///         return True
///     if record == published:
///         return <signature does not verify against the launcher; any Exception means it does not>
///     if <the record does not parse, names another key or carries no time>:
///         return True
///     if <the signature carries a time not earlier than the record's>:
///         return True
///     installed = <the record's time if it verifies against the launcher (read_record); any Exception means None>
///     return installed is None or <the signature carries a time not earlier than installed>
Outcome compare_record(const minisign::PublicKey &key, const minisign::Signature &sig, PyObject *exe_dir,
                       PyObject *main_exe, PyObject *published, bool *differs)
{
    *differs = true;
    Ref record_path = signature_path(main_exe);
    Ref record;
    if (!record_path || read_file(record_path.get(), ints.signature_cap, &record) < 0) {
        if (!swallow_exception())
            return check_error(ck::record_open);
        return Outcome::ok();
    }
    char *data = nullptr;
    Py_ssize_t size = 0;
    char *text = nullptr;
    Py_ssize_t text_size = 0;
    if (PyBytes_AsStringAndSize(record.get(), &data, &size) < 0 ||
        PyBytes_AsStringAndSize(published, &text, &text_size) < 0)
        return check_error(ck::record_equal);
    // The published build is installed only if the launcher is that build: a
    // record can lie beside another launcher (a failed first install, a
    // launcher put back by hand), and then the download would install.
    if (size == text_size && std::memcmp(data, text, static_cast<size_t>(size)) == 0) {
        minisign::Status status = minisign::Status::ok;
        if (verify_file(key, sig, main_exe, {}, &status) < 0) {
            if (!swallow_exception())
                return check_error(ck::record_proven);
            return Outcome::ok();
        }
        *differs = status != minisign::Status::ok;
        return Outcome::ok();
    }
    minisign::Signature recorded{};
    if (size > signature_max ||
        minisign::parse_signature(data, static_cast<size_t>(size), recorded) != minisign::Status::ok ||
        recorded.key_id != key.key_id)
        return Outcome::ok();
    minisign::Timestamp recorded_time;
    minisign::signed_at(recorded.trusted_comment, recorded.trusted_comment_size, recorded_time);
    minisign::Timestamp signed_time;
    minisign::signed_at(sig.trusted_comment, sig.trusted_comment_size, signed_time);
    if (recorded_time.size == 0 || (signed_time.size != 0 && !minisign::earlier(signed_time, recorded_time)))
        return Outcome::ok();
    minisign::Timestamp installed;
    if (read_record(key, exe_dir, &installed) < 0) {
        if (!swallow_exception())
            return check_error(ck::installed);
        installed = {};
    }
    *differs = installed.size == 0 || (signed_time.size != 0 && !minisign::earlier(signed_time, installed));
    return Outcome::ok();
}

/// Line 356, with a key: the published signature read strictly, naming the
/// key, its trusted comment covered by its global signature. The build it
/// signs is not there to check. Fills *sig, which borrows from `published`.
///     signature = <published, parsed; its key id and global signature verified>
Outcome check_signature(const minisign::PublicKey &key, PyObject *published, minisign::Signature *sig)
{
    char *text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(published, &text, &size) < 0)
        return check_error(ck::verify);
    minisign::Status status = minisign::parse_signature(text, static_cast<size_t>(size), *sig);
    if (status == minisign::Status::ok)
        status = minisign::verify_comment(key, *sig);
    if (status != minisign::Status::ok) {
        PyErr_Format(PyExc_ValueError, "signature of the build: %s", minisign::message(status));
        return check_error(ck::verify);
    }
    return Outcome::ok();
}

/// The body of check_for_update(): True when the build published at
/// UPDATE_URL differs from the installed launcher and would be installed.
PyObject *check_body(PyObject *, PyObject *const *)
{
    const char *here = check_for_update_spec.trace_name;

    // exe_dir = get_exe_dir()
    Ref exe_dir = install_dir();
    if (!exe_dir)
        return fail(here, ck::exe_dir);
    // main_exe = os.path.join(exe_dir, MAIN_EXE_NAME)
    Ref main_exe = install_path(exe_dir.get(), names.MAIN_EXE_NAME);
    if (!main_exe)
        return fail(here, ck::main_exe);
    bool named = false;
    minisign::PublicKey key{};
    // <public_key: host_key, lines 333-335>
    if (host_key(check_error, ck::public_key, ck::parse_key, &named, &key).raised())
        return nullptr;
    Ref published;
    // <the file beside the build: fetch_beside, lines 336-344>
    if (fetch_beside(named ? names.minisig_suffix : names.sha256_suffix,
                     named ? names.signature_too_large : names.digest_too_large, "published", ck::request,
                     check_error, &published)
            .raised())
        return nullptr;
    bool differs = true;
    // if public_key is None:
    //     <the published SHA-256 against the launcher's: compare_digest, lines 346-355>
    if (!named) {
        if (compare_digest(main_exe.get(), published.get(), &differs).raised())
            return nullptr;
        return PyBool_FromLong(differs);
    }
    // <the signature checked: check_signature, line 356>
    // <the answer from the installed record: compare_record, lines 357-369>
    minisign::Signature sig{};
    if (check_signature(key, published.get(), &sig).raised() ||
        compare_record(key, sig, exe_dir.get(), main_exe.get(), published.get(), &differs).raised())
        return nullptr;
    return PyBool_FromLong(differs);
}

}  // namespace

constexpr FuncSpec check_for_update_spec = {
    "check_for_update", "updater.check_for_update", check_body, 0,
    line::body::def_check_for_update, Code::check_for_update, &Names::check_for_update,
    "exe_dir main_exe public_key req resp url published fields hashlib f installed signature record"};

static_assert(fit_frame({&check_for_update_spec}), "no function takes more than max_params parameters");

}  // namespace updater

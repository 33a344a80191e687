// Folder launchers: an executable that runs from a contents folder beside it.
// The new build's folder is made whole under a temporary name and renamed into
// place before the executable is swapped; the folders no launcher uses go after.
#include "engine.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

namespace updater {

namespace fl = line::folder;

namespace {

// ---------------------------------------------------------------------------
// The executable's archive

/// The archive's cookie: magic, archive length, table offset, table length,
/// Python version, library name; the numbers big-endian.
constexpr std::string_view cookie_magic{"MEI\014\013\012\013\016", 8};
constexpr size_t cookie_size = 88;
/// A table entry: its length, offset, stored and full lengths, the compress
/// flag, the type code, then the name, NUL-padded.
constexpr size_t entry_head = 18;
constexpr std::string_view contents_option = "pyi-contents-directory ";

std::uint32_t big_endian(const unsigned char *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

/// text[:n], the whole of it when n is past its end (npos included).
std::string_view head(std::string_view text, size_t n)
{
    return {text.data(), n < text.size() ? n : text.size()};
}

/// text[n:], empty when n is past its end.
std::string_view tail(std::string_view text, size_t n)
{
    return n < text.size() ? std::string_view{text.data() + n, text.size() - n} : std::string_view{};
}

/// The text of a str as UTF-8, held by the str itself: *text, or false with an
/// exception set.
bool utf8_of(PyObject *str, std::string_view *text)
{
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str, &size);
    if (!data)
        return false;
    *text = {data, static_cast<size_t>(size)};
    return true;
}

}  // namespace

int FolderEntries::reset(Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < size_; ++i)
        items_[i].~FolderEntry();
    PyMem_Free(items_);
    items_ = nullptr;
    size_ = 0;
    if (n == 0)
        return 0;
    items_ = static_cast<FolderEntry *>(PyMem_Calloc(static_cast<size_t>(n), sizeof(FolderEntry)));
    if (!items_) {
        PyErr_NoMemory();
        return -1;
    }
    for (size_ = 0; size_ < n; ++size_)
        new (items_ + size_) FolderEntry{};
    return 0;
}

/// The contents folder a PyInstaller executable names in its archive's table
/// of contents: null and *name set (empty when it names none), or why the
/// bytes hold no archive.
const char *archive_contents(const unsigned char *p, size_t n, std::string_view *name)
{
    std::string_view bytes(reinterpret_cast<const char *>(p), n);
    size_t at = bytes.rfind(cookie_magic);
    if (at == std::string_view::npos || n - at < cookie_size)
        return "the executable carries no archive";
    const unsigned char *cookie = p + at;
    const size_t archive_length = big_endian(cookie + 8);
    const size_t toc_offset = big_endian(cookie + 12);
    const size_t toc_length = big_endian(cookie + 16);
    const size_t end = at + cookie_size;
    if (archive_length > end || toc_offset > archive_length || toc_length > archive_length - toc_offset)
        return "the executable's archive is corrupt";
    const unsigned char *entry = p + (end - archive_length) + toc_offset;
    size_t left = toc_length;
    *name = {};
    while (left > 0) {
        if (left < entry_head)
            return "the executable's archive is corrupt";
        const size_t length = big_endian(entry);
        if (length < entry_head || length > left)
            return "the executable's archive is corrupt";
        if (entry[17] == 'o') {
            std::string_view option(reinterpret_cast<const char *>(entry + entry_head), length - entry_head);
            option = head(option, option.find('\0'));
            if (head(option, contents_option.size()) == contents_option)
                *name = tail(option, contents_option.size());
        }
        entry += length;
        left -= length;
    }
    return nullptr;
}

/// The contents folder the executable at `path` names, as a str into *name, or
/// null when it names none or carries no archive:
///     with open(path, "rb") as f: <its archive's contents option>
/// 0, or -1 with an exception set.
int named_folder(PyObject *path, Ref *name)
{
    Ref data;
    if (read_file(path, ints.minus1, &data) < 0)
        return -1;
    char *bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.get(), &bytes, &size) < 0)
        return -1;
    std::string_view found;
    *name = Ref{};
    if (archive_contents(reinterpret_cast<const unsigned char *>(bytes), static_cast<size_t>(size), &found) ||
        found.empty())
        return 0;
    *name = steal(PyUnicode_DecodeUTF8(found.data(), static_cast<Py_ssize_t>(found.size()), "strict"));
    return *name ? 0 : -1;
}

namespace {

// ---------------------------------------------------------------------------
// Paths through os

/// os.path.<function>(*args): a new reference or nullptr.
Ref os_path(PyObject *function, std::initializer_list<PyObject *> args)
{
    Ref callable = dotted(names.os, {names.path, function});
    if (!callable)
        return {};
    return call(callable.get(), args);
}

/// os.<function>(*args): a new reference or nullptr.
Ref os_result(PyObject *function, std::initializer_list<PyObject *> args)
{
    Ref callable = dotted(names.os, {function});
    if (!callable)
        return {};
    return call(callable.get(), args);
}

/// os.path.normcase(os.path.normpath(os.path.abspath(path))): a new reference or nullptr.
Ref canonical(PyObject *path)
{
    Ref absolute = os_path(names.abspath, {path});
    Ref normal = absolute ? os_path(names.normpath, {absolute.get()}) : Ref{};
    return normal ? os_path(names.normcase, {normal.get()}) : Ref{};
}

/// os.name == "nt": 1, 0, or -1 with an exception set.
int windows()
{
    Ref os_name = dotted(names.os, {names.name});
    if (!os_name)
        return -1;
    return PyObject_RichCompareBool(os_name.get(), names.nt, Py_EQ);
}

/// Whatever stands at `path` goes: a link or a file itself (never what a
/// link points to), a folder with all it holds; nothing is no error.
///     if os.path.islink(path) or os.path.isfile(path): os.remove(path)
///     elif os.path.isdir(path): shutil.rmtree(path)
/// 0, or -1 with an exception set.
int remove_path(PyObject *path)
{
    int link = path_test(names.islink, path);
    if (link < 0)
        return -1;
    int directory = link ? 0 : path_test(names.isdir, path);
    if (directory < 0)
        return -1;
    if (directory) {
        Ref rmtree = dotted(names.shutil, {names.rmtree});
        return rmtree && call(rmtree.get(), {path}) ? 0 : -1;
    }
    int present = path_test(names.lexists, path);
    if (present <= 0)
        return present;
    return os_call(names.remove, {path});
}

/// fd = os.open(path, os.O_RDONLY); os.fsync(fd); os.close(fd): a directory's
/// entries made durable. 0, or -1 with an exception set.
int sync_directory(PyObject *path)
{
    Ref flags = dotted(names.os, {names.O_RDONLY});
    Ref fd = flags ? os_result(names.open, {path, flags.get()}) : Ref{};
    if (!fd)
        return -1;
    int synced = os_call(names.fsync, {fd.get()});
    if (synced < 0) {
        ErrorScope keep;
        if (os_call(names.close, {fd.get()}) < 0)
            PyErr_Clear();
        return -1;
    }
    return os_call(names.close, {fd.get()});
}

/// hashlib.sha256() as it stands: a new reference or nullptr.
Ref new_sha256()
{
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    return hashlib ? call_method(hashlib.get(), names.sha256) : Ref{};
}

/// with open(path, "rb") as f: hashlib.file_digest(f, "sha256").hexdigest():
/// a new reference or nullptr.
Ref file_sha256(PyObject *path)
{
    Ref hashlib = steal(PyImport_Import(names.hashlib));
    if (!hashlib)
        return {};
    With block;
    Ref f = open_in(block, path, names.mode_rb);
    if (!f)
        return {};
    Ref hash = call_method(hashlib.get(), names.file_digest, {f.get(), names.sha256});
    Ref hex = hash ? call_method(hash.get(), names.hexdigest) : Ref{};
    if (!hex) {
        block.exit_error();  // a file never suppresses what ends its block
        return {};
    }
    if (block.exit_ok() < 0)
        return {};
    return hex;
}

/// os.lstat(path) names a regular file of `size` bytes: 1, 0 (nothing there
/// counts as no), or -1 with an exception set.
int regular_of_size(PyObject *path, long long size)
{
    Ref st = os_result(names.lstat, {path});
    if (!st) {
        if (!pending_matches(PyExc_OSError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    Ref mode = getattr(st.get(), names.st_mode);
    Ref st_size = mode ? getattr(st.get(), names.st_size) : Ref{};
    if (!st_size)
        return -1;
    long bits = PyLong_AsLong(mode.get());
    long long bytes = PyLong_AsLongLong(st_size.get());
    if (PyErr_Occurred())
        return -1;
    return (bits & 0170000) == 0100000 && bytes == size;
}

/// The regular file at `path` holds `size` bytes whose SHA-256 is `sha256`:
/// 1, 0, or -1 with an exception set. A file that cannot be read is no match.
int holds(PyObject *path, long long size, PyObject *sha256)
{
    int regular = regular_of_size(path, size);
    if (regular <= 0)
        return regular;
    Ref digest = file_sha256(path);
    if (!digest) {
        if (!pending_matches(PyExc_OSError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    return PyObject_RichCompareBool(digest.get(), sha256, Py_EQ);
}

// ---------------------------------------------------------------------------
// The manifest's rules

constexpr long long manifest_max = 16LL << 20;
constexpr Py_ssize_t entries_max = 100000;
constexpr long long file_max = 1LL << 30;
constexpr long long total_max = 8LL << 30;
constexpr size_t segment_max = 255;
constexpr size_t path_max = 1024;

/// Why `segment` cannot name a file or folder inside the folder on every
/// system a launcher runs on, or null when it can.
const char *bad_segment(std::string_view segment)
{
    if (segment.empty())
        return "an empty path segment";
    if (segment == "." || segment == "..")
        return "a path segment \".\" or \"..\"";
    if (segment.size() > segment_max)
        return "a path segment longer than 255 bytes";
    for (char c : segment)
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("/\\:<>\"|?*", c))
            return "a character a path segment cannot hold";
    if (segment.back() == '.' || segment.back() == ' ')
        return "a path segment ending in a dot or a space";
    std::string_view stem = head(segment, segment.find('.'));
    if (stem.size() > 4)
        return nullptr;
    char lower[4] = {};
    for (size_t i = 0; i < stem.size(); ++i)
        lower[i] = stem[i] >= 'A' && stem[i] <= 'Z' ? static_cast<char>(stem[i] - 'A' + 'a') : stem[i];
    stem = {lower, stem.size()};
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul" ||
        (stem.size() == 4 && (head(stem, 3) == "com" || head(stem, 3) == "lpt") && stem[3] >= '1' &&
         stem[3] <= '9'))
        return "a name Windows reserves";
    return nullptr;
}

/// The segments of a "/"-separated path, one at a time:
///     for segment in path.split("/"):
class Segments {
public:
    explicit Segments(std::string_view path) : rest_(path) {}

    /// The next segment into *segment: false after the last.
    bool next(std::string_view *segment)
    {
        if (done_)
            return false;
        size_t slash = rest_.find('/');
        *segment = head(rest_, slash);
        done_ = slash == std::string_view::npos;
        rest_ = done_ ? std::string_view{} : tail(rest_, slash + 1);
        return true;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

/// Every folder that the "/"-separated str `path` lies in added to the set
/// `folders`: 0, or -1 with an exception set.
///     folders.update(path[:i] for i, c in enumerate(path) if c == "/")
int add_folders(PyObject *folders, PyObject *path)
{
    const Py_ssize_t length = PyUnicode_GET_LENGTH(path);
    Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, 1);
    for (; slash >= 0; slash = PyUnicode_FindChar(path, '/', slash + 1, length, 1)) {
        Ref folder = steal(PyUnicode_Substring(path, 0, slash));
        if (!folder || PySet_Add(folders, folder.get()) < 0)
            return -1;
    }
    return slash == -1 ? 0 : -1;
}

/// sorted(strs): a new list, or nullptr with an exception set. Code points
/// sort as their UTF-8 bytes do, so a folder comes before what it holds.
Ref sorted(PyObject *strs)
{
    Ref list = steal(PySequence_List(strs));
    if (!list || PyList_Sort(list.get()) < 0)
        return {};
    return list;
}

/// raise ValueError(f"the manifest of the contents is refused: {why}: {detail!r}")
Outcome refuse(const char *why, PyObject *detail = nullptr)
{
    if (detail)
        PyErr_Format(PyExc_ValueError, "the manifest of the contents is refused: %s: %R", why, detail);
    else
        PyErr_Format(PyExc_ValueError, "the manifest of the contents is refused: %s", why);
    return download_error(fl::parse);
}

/// `value` is an int (not a bool) from 0 to `max`, into *out.
bool plain_int(PyObject *value, long long max, long long *out)
{
    if (!value || !PyLong_CheckExact(value))
        return false;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *out = n;
    return overflow == 0 && n >= 0 && n <= max;
}

/// `value` is 64 lower-case hex digits.
bool sha256_hex(PyObject *value)
{
    if (!value || !PyUnicode_CheckExact(value) || PyUnicode_GET_LENGTH(value) != 64)
        return false;
    for (Py_ssize_t i = 0; i < 64; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(value, i);
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

/// The dict holds exactly the keys given.
bool exact_keys(PyObject *dict, std::initializer_list<PyObject *> keys)
{
    if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(keys.size()))
        return false;
    bool all = std::ranges::all_of(keys, [dict](PyObject *key) { return PyDict_Contains(dict, key) == 1; });
    PyErr_Clear();
    return all;
}

/// A link's target resolved lexically from the link's own folder: the
/// link's folder, then each segment of the target, fits in this many bytes.
constexpr size_t resolved_max = 2 * path_max;

/// A link's target, of at most path_max bytes, resolved lexically from the
/// link's own folder into `resolved` (*length bytes): null, or why it is refused.
const char *resolve_link(std::string_view path, std::string_view target, char (&resolved)[resolved_max],
                         size_t *length)
{
    if (target.size() > path_max)
        return "a link target longer than 1024 bytes";
    size_t folder = path.rfind('/');
    size_t n = folder == std::string_view::npos ? 0 : folder;
    std::memcpy(resolved, path.data(), n);
    std::string_view segment;
    for (Segments parts(target); parts.next(&segment);) {
        if (segment == ".")
            continue;
        if (segment == "..") {
            if (n == 0)
                return "a link that points outside the folder";
            size_t slash = std::string_view(resolved, n).rfind('/');
            n = slash == std::string_view::npos ? 0 : slash;
            continue;
        }
        if (segment.empty())
            return "a link that is absolute or has an empty segment";
        if (const char *why = bad_segment(segment))
            return why;
        if (n > 0)
            resolved[n++] = '/';
        std::memcpy(resolved + n, segment.data(), segment.size());
        n += segment.size();
    }
    if (n == 0)
        return "a link to the folder itself";
    *length = n;
    return nullptr;
}

/// One entry of "files", held to the format's rules and put in *entry.
Outcome parse_entry(PyObject *item, FolderEntry *entry)
{
    const bool link = PyDict_Check(item) && PyDict_Contains(item, names.link) == 1;
    if (link ? !exact_keys(item, {names.path, names.link})
             : !exact_keys(item, {names.path, names.size, names.sha256, names.exec_key}))
        return refuse("an entry that is not a file or a link", item);
    PyObject *path = PyDict_GetItemWithError(item, names.path);
    if (!path || !PyUnicode_CheckExact(path))
        return refuse("a path that is not a str", item);
    if (!utf8_of(path, &entry->path))
        return refuse("a path that is not UTF-8", item);
    entry->path_text = borrow(path);
    if (entry->path.size() > path_max)
        return refuse("a path longer than 1024 bytes", path);
    std::string_view segment;
    for (Segments parts(entry->path); parts.next(&segment);)
        if (const char *why = bad_segment(segment))
            return refuse(why, path);
    if (link) {
        PyObject *target = PyDict_GetItemWithError(item, names.link);
        std::string_view target_text;
        if (!target || !PyUnicode_CheckExact(target) || !utf8_of(target, &target_text)) {
            PyErr_Clear();
            return refuse("a link target that is not a str", item);
        }
        char resolved[resolved_max];
        size_t length = 0;
        if (const char *why = resolve_link(entry->path, target_text, resolved, &length))
            return refuse(why, item);
        entry->resolved = steal(PyUnicode_DecodeUTF8(resolved, static_cast<Py_ssize_t>(length), "strict"));
        if (!entry->resolved)
            return download_error(fl::parse);
        entry->link = borrow(target);
        return Outcome::ok();
    }
    if (!plain_int(PyDict_GetItemWithError(item, names.size), file_max, &entry->size))
        return refuse("a file size that is not an int from 0 to 1 GiB", item);
    PyObject *sha256 = PyDict_GetItemWithError(item, names.sha256);
    if (!sha256_hex(sha256))
        return refuse("a SHA-256 that is not 64 lower-case hex digits", item);
    entry->sha256 = borrow(sha256);
    PyObject *exec = PyDict_GetItemWithError(item, names.exec_key);
    if (!exec || !PyBool_Check(exec))
        return refuse("an executable bit that is not a bool", item);
    entry->exec = exec == Py_True;
    return Outcome::ok();
}

/// Line 391: the manifest read and held to every rule of the format.
///     manifest = json.loads(body.decode("utf-8"))
///     <its keys, types, names, paths, links and caps checked>
Outcome parse_manifest(PyObject *body, Folder *folder)
{
    Ref json = steal(PyImport_Import(names.json));
    Ref text = json ? call_method(body, names.decode, {names.utf_8}) : Ref{};
    Ref manifest = text ? call_method(json.get(), names.loads, {text.get()}) : Ref{};
    if (!manifest)
        return download_error(fl::parse);
    PyObject *m = manifest.get();
    if (!exact_keys(m, {names.format, names.build, names.size, names.folder, names.files}))
        return refuse("it is not an object of format, build, size, folder and files");
    long long format = 0;
    if (!plain_int(PyDict_GetItemWithError(m, names.format), 1, &format) || format != 1)
        return refuse("an unknown format");
    PyObject *build = PyDict_GetItemWithError(m, names.build);
    if (!sha256_hex(build))
        return refuse("a build that is not 64 lower-case hex digits");
    folder->build = borrow(build);
    if (!plain_int(PyDict_GetItemWithError(m, names.size), file_max, &folder->size))
        return refuse("a build size that is not an int from 0 to 1 GiB");
    PyObject *name = PyDict_GetItemWithError(m, names.folder);
    Py_ssize_t size = 0;
    const char *name_text = name && PyUnicode_CheckExact(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!name_text) {
        PyErr_Clear();
        return refuse("a folder name that is not a str");
    }
    if (const char *why = bad_segment({name_text, static_cast<size_t>(size)}))
        return refuse(why, name);
    folder->name = borrow(name);
    PyObject *files = PyDict_GetItemWithError(m, names.files);
    if (!files || !PyList_CheckExact(files))
        return refuse("files that are not a list");
    if (PyList_GET_SIZE(files) > entries_max)
        return refuse("more than 100000 entries");
    Ref folded = steal(PySet_New(nullptr));
    Ref directories = folded ? steal(PySet_New(nullptr)) : Ref{};
    if (!directories || folder->files.reset(PyList_GET_SIZE(files)) < 0)
        return download_error(fl::parse);
    long long total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files); ++i) {
        FolderEntry &entry = folder->files[i];
        if (Outcome r = parse_entry(PyList_GET_ITEM(files, i), &entry); r.raised())
            return r;
        total += entry.size;
        if (total > total_max)
            return refuse("files larger than 8 GiB in all");
        // Paths equal but for case collide where names are compared so.
        Ref fold = call_method(entry.path_text.get(), names.casefold);
        int seen = fold ? PySet_Contains(folded.get(), fold.get()) : -1;
        if (seen < 0)
            return download_error(fl::parse);
        if (seen)
            return refuse("two entries equal but for case", entry.path_text.get());
        if (PySet_Add(folded.get(), fold.get()) < 0 || add_folders(directories.get(), fold.get()) < 0)
            return download_error(fl::parse);
    }
    Ref ordered = sorted(directories.get());
    if (!ordered)
        return download_error(fl::parse);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ordered.get()); ++i) {
        PyObject *directory = PyList_GET_ITEM(ordered.get(), i);
        int clash = PySet_Contains(folded.get(), directory);
        if (clash < 0)
            return download_error(fl::parse);
        if (clash)
            return refuse("an entry that is also a folder of another", directory);
    }
    return Outcome::ok();
}

// ---------------------------------------------------------------------------
// The list of the folders this install made or ran from

/// os.path.join(exe_dir, MAIN_EXE_NAME + ".folders"): a new reference or nullptr.
Ref list_path(PyObject *exe_dir) { return install_path(exe_dir, names.MAIN_EXE_NAME, names.folders_suffix); }

/// The folder names listed, as a list of str; [] when there is no list, and
/// any line that is not one plain name left out:
///     with open(list_path, "rb") as f: listed = f.read().decode("utf-8", "replace").splitlines()
/// A new reference, or nullptr with an exception set.
Ref read_listed(PyObject *exe_dir)
{
    Ref path = list_path(exe_dir);
    if (!path)
        return {};
    Ref data;
    if (read_file(path.get(), ints.minus1, &data) < 0) {
        if (!pending_matches(PyExc_FileNotFoundError))
            return {};
        PyErr_Clear();
        return steal(PyList_New(0));
    }
    Ref text = call_method(data.get(), names.decode, {names.utf_8, names.replace});
    Ref lines = text ? call_method(text.get(), names.splitlines) : Ref{};
    Ref listed = lines ? steal(PyList_New(0)) : Ref{};
    if (!listed)
        return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
        PyObject *line = PyList_GET_ITEM(lines.get(), i);
        Py_ssize_t size = 0;
        const char *name = PyUnicode_AsUTF8AndSize(line, &size);
        if (!name) {
            PyErr_Clear();
            continue;
        }
        if (bad_segment({name, static_cast<size_t>(size)}))
            continue;
        int seen = PySequence_Contains(listed.get(), line);
        if (seen < 0 || (!seen && PyList_Append(listed.get(), line) < 0))
            return {};
    }
    return listed;
}

/// The list replaced whole, so that a crash leaves the old list or the new:
///     with open(list_path + ".tmp", "wb") as f:
///         f.write("".join(name + "\n" for name in listed).encode("utf-8")); f.flush(); os.fsync(f.fileno())
///     os.replace(list_path + ".tmp", list_path)
/// 0, or -1 with an exception set.
int write_listed(PyObject *exe_dir, PyObject *listed)
{
    Ref path = list_path(exe_dir);
    Ref temp = path ? steal(PyNumber_Add(path.get(), names.tmp_suffix)) : Ref{};
    Ref lines = temp ? steal(PyList_New(0)) : Ref{};
    if (!lines)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed); ++i) {
        Ref line = join({PyList_GET_ITEM(listed, i), names.newline});
        if (!line || PyList_Append(lines.get(), line.get()) < 0)
            return -1;
    }
    Ref text = steal(PyUnicode_Join(state.empty_str, lines.get()));
    Ref data = text ? call_method(text.get(), names.encode, {names.utf_8}) : Ref{};
    if (!data)
        return -1;
    With block;
    Ref f = open_in(block, temp.get(), names.mode_wb);
    if (!f)
        return -1;
    if (!call_method(f.get(), names.write, {data.get()}) || !call_method(f.get(), names.flush) ||
        fsync_file(f.get()) < 0) {
        block.exit_error();  // a file never suppresses what ends its block
        return -1;
    }
    if (block.exit_ok() < 0)
        return -1;
    if (os_call(names.replace, {temp.get(), path.get()}) < 0)
        return -1;
    // if os.name != "nt": <the install directory synced>
    int nt = windows();
    if (nt != 0)
        return nt < 0 ? -1 : 0;
    return sync_directory(exe_dir);
}

/// `name` added to the list unless it is there. 0, or -1 with an exception set.
int list_folder(PyObject *exe_dir, PyObject *name)
{
    Ref listed = read_listed(exe_dir);
    if (!listed)
        return -1;
    int seen = PySequence_Contains(listed.get(), name);
    if (seen != 0)
        return seen < 0 ? -1 : 0;
    if (PyList_Append(listed.get(), name) < 0)
        return -1;
    return write_listed(exe_dir, listed.get());
}

// ---------------------------------------------------------------------------
// Folders in use

/// Every file that a process maps or runs, as the bytes of its path, from
/// /proc/<pid>/exe and /proc/<pid>/maps, added to the set `paths`; processes
/// that cannot be read are passed over. 0, or -1 with an exception set.
int mapped_files(PyObject *paths)
{
    Ref entries = os_result(names.listdir, {names.proc});
    if (!entries)
        return -1;
    Ref iterator = steal(PyObject_GetIter(entries.get()));
    if (!iterator)
        return -1;
    while (Ref pid = steal(PyIter_Next(iterator.get()))) {
        Ref digits = call_method(pid.get(), names.isdigit);
        if (!digits)
            return -1;
        if (digits.get() != Py_True)
            continue;
        Ref exe_link = steal(PyUnicode_FromFormat("/proc/%U/exe", pid.get()));
        Ref maps_path = steal(PyUnicode_FromFormat("/proc/%U/maps", pid.get()));
        if (!exe_link || !maps_path)
            return -1;
        Ref target = os_result(names.readlink, {exe_link.get()});
        Ref raw = target ? os_result(names.fsencode, {target.get()}) : Ref{};
        if (raw ? PySet_Add(paths, raw.get()) < 0 : !swallow_exception())
            return -1;
        Ref maps;
        if (read_file(maps_path.get(), ints.minus1, &maps) < 0) {
            if (!swallow_exception())
                return -1;
            continue;
        }
        std::string_view text(PyBytes_AS_STRING(maps.get()), static_cast<size_t>(PyBytes_GET_SIZE(maps.get())));
        while (!text.empty()) {
            std::string_view line = head(text, text.find('\n'));
            text = tail(text, line.size() + 1);
            size_t slash = line.find('/');
            if (slash == std::string_view::npos)
                continue;
            std::string_view file_path = tail(line, slash);
            Ref file = steal(PyBytes_FromStringAndSize(file_path.data(), static_cast<Py_ssize_t>(file_path.size())));
            if (!file || PySet_Add(paths, file.get()) < 0)
                return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

/// `except OSError: pass`: true when the pending exception was an OSError,
/// now dropped.
bool swallow_oserror()
{
    if (!pending_matches(PyExc_OSError))
        return false;
    PyErr_Clear();
    return true;
}

/// A process maps or runs a file inside the folder at `path`, by the set of
/// paths `mapped`: 1, 0, or -1 with an exception set.
int in_use(PyObject *path, PyObject *mapped)
{
    Ref real = os_path(names.realpath, {path});
    Ref raw = real ? os_result(names.fsencode, {real.get()}) : Ref{};
    Ref iterator = raw ? steal(PyObject_GetIter(mapped)) : Ref{};
    if (!iterator)
        return -1;
    const std::string_view folder(PyBytes_AS_STRING(raw.get()), static_cast<size_t>(PyBytes_GET_SIZE(raw.get())));
    while (Ref file = steal(PyIter_Next(iterator.get()))) {
        const std::string_view text(PyBytes_AS_STRING(file.get()), static_cast<size_t>(PyBytes_GET_SIZE(file.get())));
        if (text.size() > folder.size() && head(text, folder.size()) == folder && text[folder.size()] == '/')
            return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

/// `name` is a str ending in ".exe", ".dll" or ".pyd", in any case.
bool is_image_name(PyObject *name)
{
    if (!PyUnicode_Check(name))
        return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (length < 4 || PyUnicode_READ_CHAR(name, length - 4) != '.')
        return false;
    char tail[3] = {};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(name, length - 3 + i);
        tail[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c < 0x80 ? static_cast<char>(c) : '?';
    }
    std::string_view extension(tail, 3);
    return extension == "exe" || extension == "dll" || extension == "pyd";
}

/// An executable image (.exe, .dll, .pyd) of the folder at `path` that cannot
/// be opened for writing: Windows refuses that while a process maps the image,
/// so a process runs from the folder. Each is opened without truncating and
/// closed at once: nothing in the folder changes. 1, 0, or -1 with an
/// exception set.
///     for directory, _, files in os.walk(path):
///         for file in files:
///             if file.lower().endswith((".exe", ".dll", ".pyd")):
///                 try: open(os.path.join(directory, file), "r+b").close()
///                 except OSError: return 1
///     return 0
int image_held(PyObject *path)
{
    Ref walk = dotted(names.os, {names.walk});
    Ref walker = walk ? call(walk.get(), {path}) : Ref{};
    Ref iterator = walker ? steal(PyObject_GetIter(walker.get())) : Ref{};
    if (!iterator)
        return -1;
    while (Ref step = steal(PyIter_Next(iterator.get()))) {
        if (!PyTuple_Check(step.get()) || PyTuple_GET_SIZE(step.get()) != 3)
            continue;
        PyObject *directory = PyTuple_GET_ITEM(step.get(), 0);
        Ref filenames = steal(PySequence_List(PyTuple_GET_ITEM(step.get(), 2)));
        if (!filenames)
            return -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(filenames.get()); ++j) {
            PyObject *file = PyList_GET_ITEM(filenames.get(), j);
            if (!is_image_name(file))
                continue;
            Ref full = os_path(names.join, {directory, file});
            if (!full)
                return -1;
            Ref f = call(state.open, {full.get(), names.mode_r_plus_b});
            if (f && call_method(f.get(), names.close))
                continue;
            return swallow_oserror() ? 1 : -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

/// A listed folder removed unless a process runs from it (by `mapped`, when
/// given; on Windows by its images): 1 when it stays listed, 0 when it is gone
/// (or no folder of ours stands at its name), -1 with an exception set.
int drop_folder(PyObject *exe_dir, PyObject *name, PyObject *mapped, int nt)
{
    Ref path = os_path(names.join, {exe_dir, name});
    if (!path)
        return -1;
    // A name that holds no folder now, or a link, is no folder of ours.
    int link = path_test(names.islink, path.get());
    int directory = link ? 0 : path_test(names.isdir, path.get());
    if (link < 0 || directory <= 0)
        return link < 0 ? -1 : directory;
    int used = mapped ? in_use(path.get(), mapped) : 0;
    if (used == 0 && nt)
        used = image_held(path.get());
    if (used != 0)
        return used;
    if (remove_path(path.get()) < 0)
        return swallow_oserror() ? 1 : -1;  // tried again at the next update
    return 0;
}

}  // namespace

/// The folders listed that no launcher can need removed, then unlisted. None
/// goes while a launcher's backup stands (on Windows a backup that could not
/// be removed still runs), nor the one the launcher at MAIN_EXE_NAME names,
/// nor `keep`, nor one a process runs from: on POSIX by /proc (without it,
/// only when `unseen` allows), on Windows by its images, which Windows
/// refuses to open for writing while a process maps them. 0, or -1 with an
/// exception set.
int remove_old_folders(PyObject *exe_dir, PyObject *keep, bool unseen)
{
    Ref listed = read_listed(exe_dir);
    if (!listed)
        return -1;
    if (PyList_GET_SIZE(listed.get()) == 0)
        return 0;
    int nt = windows();
    Ref old_exe = nt >= 0 ? install_path(exe_dir, names.MAIN_EXE_NAME, names.old_suffix) : Ref{};
    Ref main_exe = old_exe ? install_path(exe_dir, names.MAIN_EXE_NAME) : Ref{};
    int backup = main_exe ? path_test(names.lexists, old_exe.get()) : -1;
    if (backup > 0 && nt) {
        // On Windows a backup that can be removed no longer runs; with the
        // launcher at its name it is a swap's leftover.
        //     if os.name == "nt" and os.path.exists(main_exe):
        //         try: os.remove(old_exe)
        //         except OSError: return
        int launcher = path_test(names.exists, main_exe.get());
        if (launcher < 0)
            return -1;
        if (launcher && os_call(names.remove, {old_exe.get()}) == 0)
            backup = 0;
        else if (launcher && !swallow_oserror())
            return -1;
    }
    if (backup != 0)
        return backup;
    Ref current;
    if (named_folder(main_exe.get(), &current) < 0)
        return -1;
    int proc = nt ? 0 : path_test(names.isdir, names.proc);
    if (proc < 0)
        return -1;
    if (!nt && !proc && !unseen)
        return 0;
    Ref mapped = steal(PySet_New(nullptr));
    if (!mapped || (proc && mapped_files(mapped.get()) < 0))
        return -1;
    Ref remaining = steal(PyList_New(0));
    if (!remaining)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        PyObject *name = PyList_GET_ITEM(listed.get(), i);
        int kept = (keep && PyObject_RichCompareBool(name, keep, Py_EQ)) ||
                   (current && PyObject_RichCompareBool(name, current.get(), Py_EQ));
        if (PyErr_Occurred())
            return -1;
        if (!kept)
            kept = drop_folder(exe_dir, name, proc ? mapped.get() : nullptr, nt);
        if (kept < 0)
            return -1;
        if (kept > 0 && PyList_Append(remaining.get(), name) < 0)
            return -1;
    }
    if (PyList_GET_SIZE(remaining.get()) == PyList_GET_SIZE(listed.get()))
        return 0;
    return write_listed(exe_dir, remaining.get());
}

/// The folder this launcher runs from: a frozen host whose sys._MEIPASS is a
/// directory right inside the install directory.
///     meipass = getattr(sys, "_MEIPASS", None)
///     if meipass is not None and not getattr(sys, "frozen", False): meipass = None
///     if meipass is not None and os.path.isdir(meipass) and <its parent is exe_dir>:
///         folder = os.path.basename(os.path.normpath(meipass))
int running_folder(PyObject *exe_dir, Ref *name)
{
    *name = Ref{};
    Ref sys = global(names.sys);
    if (!sys)
        return -1;
    Ref meipass = getattr(sys.get(), names._MEIPASS);
    Ref frozen = meipass ? getattr(sys.get(), names.frozen) : Ref{};
    if (!frozen) {
        if (!pending_matches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    int is_frozen = PyObject_IsTrue(frozen.get());
    if (is_frozen <= 0 || !PyUnicode_Check(meipass.get()))  // the bootloader sets a str
        return is_frozen < 0 ? -1 : 0;
    int directory = path_test(names.isdir, meipass.get());
    if (directory <= 0)
        return directory;
    Ref normal = os_path(names.normpath, {meipass.get()});
    Ref parent = normal ? os_path(names.dirname, {normal.get()}) : Ref{};
    Ref here = parent ? canonical(parent.get()) : Ref{};
    Ref install = here ? canonical(exe_dir) : Ref{};
    if (!install)
        return -1;
    int same = PyObject_RichCompareBool(here.get(), install.get(), Py_EQ);
    if (same == 0) {
        Ref result = os_path(names.samefile, {parent.get(), exe_dir});
        if (!result && !swallow_exception())
            return -1;
        same = result ? PyObject_IsTrue(result.get()) : 0;
    }
    if (same <= 0)
        return same;
    *name = os_path(names.basename, {normal.get()});
    return *name ? 0 : -1;
}

namespace {

// ---------------------------------------------------------------------------
// The manifest, fetched

/// Lines 372-381: the manifest, fetched by the build's rules into *body.
///     req = urllib.request.Request(<UPDATE_URL, ".contents" added to its path>, headers=...)
///     with urllib.request.urlopen(req, timeout=60) as resp:
///         <every hop https: four lines>
///         <a body whose end can be told from a cut>
///         body = resp.read(16 * 2**20 + 1)
///     if len(body) > 16 * 2**20:
///         raise OSError("the manifest of the contents is larger than 16 MiB")
Outcome fetch_manifest(Ref *body)
{
    Ref req = new_request(names.contents_suffix);
    if (!req)
        return download_error(fl::manifest_request);
    With block;
    Ref resp = open_url(req.get(), block);
    if (!resp)
        return download_error(fl::manifest_urlopen);
    Outcome read = check_hops(req.get(), resp.get(), fl::manifest_https_check);
    TotalSize size{};
    if (!read.raised())
        read = body_size(resp.get(), &size);
    if (!read.raised()) {
        Ref cap = steal(PyLong_FromLongLong(manifest_max + 1));
        *body = cap ? call_method(resp.get(), names.read, {cap.get()}) : Ref{};
        if (!*body)
            read = download_error(fl::manifest_read);
    }
    if (read.raised()) {
        if (Outcome r = leave_with_error(read, block, fl::manifest_urlopen, download_error); r.raised())
            return r;
        return unbound_local("body", fl::manifest_size);
    }
    if (block.exit_ok() < 0)
        return download_error(fl::manifest_urlopen);
    Py_ssize_t length = PyObject_Length(body->get());
    if (length < 0)
        return download_error(fl::manifest_size);
    if (length > manifest_max) {
        PyErr_SetObject(PyExc_OSError, names.manifest_too_large);
        return download_error(fl::manifest_size_raise);
    }
    return Outcome::ok();
}

/// Lines 382-390: the manifest's signature, fetched as the build's is and
/// checked over the manifest's bytes with the host's key.
Outcome verify_manifest(const Signing &signing, PyObject *body)
{
    Ref signature;
    if (Outcome r = fetch_beside(names.contents_sig_suffix, names.manifest_signature_too_large, "signature",
                                 fl::signature_request, download_error, &signature);
        r.raised())
        return r;
    char *text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(signature.get(), &text, &size) < 0)
        return download_error(fl::verify);
    minisign::Signature sig{};
    minisign::Status status = minisign::parse_signature(text, static_cast<size_t>(size), sig);
    if (status == minisign::Status::ok && verify_file(signing.key, sig, Py_None, {nullptr, body}, &status) < 0)
        return download_error(fl::verify);
    if (status != minisign::Status::ok) {
        PyErr_Format(PyExc_ValueError, "signature of the manifest of the contents: %s", minisign::message(status));
        return download_error(fl::verify);
    }
    return Outcome::ok();
}

/// The file entry a link entry's target names, following links inside the
/// folder, by `by_path` (path -> index): into *file, null for a folder or
/// nothing. 0, or -1 with an exception set.
int target_file(const Folder &folder, PyObject *by_path, const FolderEntry &link, const FolderEntry **file)
{
    const FolderEntry *entry = &link;
    *file = nullptr;
    for (int hops = 0; hops < 40 && entry->link; ++hops) {
        PyObject *found = PyDict_GetItemWithError(by_path, entry->resolved.get());
        if (!found)
            return PyErr_Occurred() ? -1 : 0;
        entry = &folder.files[PyLong_AsSsize_t(found)];
    }
    if (!entry->link)
        *file = entry;
    return 0;
}

/// The folder at `path` holds every entry of the manifest: each file its size
/// and SHA-256, each link its target (on Windows, a copy of it). 1, 0, or -1
/// with an exception set.
int folder_matches(PyObject *path, const Folder &folder, int nt)
{
    int link = path_test(names.islink, path);
    int directory = link ? 0 : path_test(names.isdir, path);
    if (link < 0 || directory <= 0)
        return link < 0 ? -1 : directory;
    Ref by_path = steal(PyDict_New());
    if (!by_path)
        return -1;
    for (Py_ssize_t i = 0; i < folder.files.size(); ++i) {
        Ref index = steal(PyLong_FromSsize_t(i));
        if (!index || PyDict_SetItem(by_path.get(), folder.files[i].path_text.get(), index.get()) < 0)
            return -1;
    }
    for (const FolderEntry &entry : folder.files) {
        Ref at = os_path(names.join, {path, entry.path_text.get()});
        if (!at)
            return -1;
        int match = 0;
        if (entry.link && !nt) {
            Ref target = os_result(names.readlink, {at.get()});
            if (!target && !swallow_exception())
                return -1;
            match = target ? PyObject_RichCompareBool(target.get(), entry.link.get(), Py_EQ) : 0;
        } else if (entry.link) {
            const FolderEntry *file = nullptr;
            if (target_file(folder, by_path.get(), entry, &file) < 0)
                return -1;
            match = file ? holds(at.get(), file->size, file->sha256.get()) : path_test(names.isdir, at.get());
        } else {
            match = holds(at.get(), entry.size, entry.sha256.get());
        }
        if (match <= 0)
            return match;
    }
    return 1;
}

/// The regular files under the folders given whose sizes are keys of the dict
/// `found`, appended to the list of their size in the order of the walk
/// (os.walk, links not followed). 0, or -1 with an exception set.
int files_by_size(PyObject *exe_dir, PyObject *folders, PyObject *found)
{
    Ref walk = dotted(names.os, {names.walk});
    if (!walk)
        return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(folders); ++i) {
        Ref top = os_path(names.join, {exe_dir, PyList_GET_ITEM(folders, i)});
        Ref walker = top ? call(walk.get(), {top.get()}) : Ref{};
        Ref iterator = walker ? steal(PyObject_GetIter(walker.get())) : Ref{};
        if (!iterator)
            return -1;
        while (Ref step = steal(PyIter_Next(iterator.get()))) {
            if (!PyTuple_Check(step.get()) || PyTuple_GET_SIZE(step.get()) != 3)
                continue;
            PyObject *directory = PyTuple_GET_ITEM(step.get(), 0);
            Ref filenames = steal(PySequence_List(PyTuple_GET_ITEM(step.get(), 2)));
            if (!filenames)
                return -1;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(filenames.get()); ++j) {
                Ref file = os_path(names.join, {directory, PyList_GET_ITEM(filenames.get(), j)});
                Ref st = file ? os_result(names.lstat, {file.get()}) : Ref{};
                if (!st) {
                    if (!file || !pending_matches(PyExc_OSError))
                        return -1;
                    PyErr_Clear();
                    continue;
                }
                Ref mode = getattr(st.get(), names.st_mode);
                Ref size = mode ? getattr(st.get(), names.st_size) : Ref{};
                if (!size)
                    return -1;
                long bits = PyLong_AsLong(mode.get());
                PyObject *same_size = PyDict_GetItemWithError(found, size.get());
                if (PyErr_Occurred())
                    return -1;
                if (same_size && (bits & 0170000) == 0100000 && PyList_Append(same_size, file.get()) < 0)
                    return -1;
            }
        }
        if (PyErr_Occurred())
            return -1;
    }
    return 0;
}

/// Line 393: the folder that stands already, or else where each file's bytes
/// come from: a contents folder of this install that holds them (by the same
/// path first, then by size and SHA-256), or the release.
Outcome plan_folder(PyObject *exe_dir, Folder *folder, long long *to_fetch)
{
    int nt = windows();
    Ref final_path = nt >= 0 ? os_path(names.join, {exe_dir, folder->name.get()}) : Ref{};
    int present = final_path ? path_test(names.lexists, final_path.get()) : -1;
    if (present < 0)
        return download_error(fl::plan);
    if (present) {
        int match = folder_matches(final_path.get(), *folder, nt);
        if (match < 0)
            return download_error(fl::plan);
        if (!match) {
            PyErr_Format(PyExc_OSError, "the install directory holds a folder %R that is not the new build's",
                         folder->name.get());
            return download_error(fl::plan);
        }
        folder->stands = true;
        *to_fetch = 0;
        return Outcome::ok();
    }
    // The folders that may hold the files: the running one and those listed.
    Ref listed = read_listed(exe_dir);
    Ref sources = listed ? steal(PyList_New(0)) : Ref{};
    if (!sources || PyList_Append(sources.get(), folder->running.get()) < 0)
        return download_error(fl::plan);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.get()); ++i) {
        PyObject *name = PyList_GET_ITEM(listed.get(), i);
        Ref path = os_path(names.join, {exe_dir, name});
        int seen = path ? PySequence_Contains(sources.get(), name) : -1;
        int link = seen == 0 ? path_test(names.islink, path.get()) : seen;
        int directory = link == 0 ? path_test(names.isdir, path.get()) : 0;
        if (seen < 0 || link < 0 || directory < 0)
            return download_error(fl::plan);
        if (directory && PyList_Append(sources.get(), name) < 0)
            return download_error(fl::plan);
    }
    Ref candidates = steal(PyDict_New());  // size -> the files of that size
    if (!candidates)
        return download_error(fl::plan);
    for (FolderEntry &entry : folder->files) {
        if (entry.link || entry.size == 0)
            continue;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sources.get()) && !entry.source; ++i) {
            Ref path = os_path(names.join, {exe_dir, PyList_GET_ITEM(sources.get(), i), entry.path_text.get()});
            int match = path ? holds(path.get(), entry.size, entry.sha256.get()) : -1;
            if (match < 0)
                return download_error(fl::plan);
            if (match)
                entry.source = std::move(path);
        }
        if (entry.source)
            continue;
        Ref size = steal(PyLong_FromLongLong(entry.size));
        Ref none_yet = size ? steal(PyList_New(0)) : Ref{};
        if (!none_yet || !PyDict_SetDefault(candidates.get(), size.get(), none_yet.get()))
            return download_error(fl::plan);
    }
    if (PyDict_GET_SIZE(candidates.get()) > 0 && files_by_size(exe_dir, sources.get(), candidates.get()) < 0)
        return download_error(fl::plan);
    Ref digests = steal(PyDict_New());  // path -> SHA-256, each file hashed once
    if (!digests)
        return download_error(fl::plan);
    *to_fetch = 0;
    for (FolderEntry &entry : folder->files) {
        if (entry.link || entry.size == 0 || entry.source)
            continue;
        Ref size = steal(PyLong_FromLongLong(entry.size));
        Ref same_size = size ? borrow(PyDict_GetItemWithError(candidates.get(), size.get())) : Ref{};
        if (!same_size && (!size || PyErr_Occurred()))
            return download_error(fl::plan);
        for (Py_ssize_t i = 0; same_size && i < PyList_GET_SIZE(same_size.get()) && !entry.source; ++i) {
            PyObject *file = PyList_GET_ITEM(same_size.get(), i);
            Ref digest = borrow(PyDict_GetItemWithError(digests.get(), file));
            if (!digest) {
                if (PyErr_Occurred())
                    return download_error(fl::plan);
                digest = file_sha256(file);
                if (!digest) {
                    if (!swallow_exception())
                        return download_error(fl::plan);
                    digest = borrow(Py_None);
                }
                if (PyDict_SetItem(digests.get(), file, digest.get()) < 0)
                    return download_error(fl::plan);
            }
            int match = PyObject_RichCompareBool(digest.get(), entry.sha256.get(), Py_EQ);
            if (match < 0)
                return download_error(fl::plan);
            if (match)
                entry.source = borrow(file);
        }
        if (!entry.source)
            *to_fetch += entry.size;
    }
    return Outcome::ok();
}

}  // namespace

/// Lines 371-394, before the build's download:
///     body = <the manifest: lines 372-381>
///     if public_key is not None: <its signature checked: lines 382-390>
///     manifest = <parsed and checked: line 391>
///     <the running folder listed: line 371>
///     try: <old folders removed, the new one kept> except Exception: pass
///     <the plan: line 393>
///     total_size = manifest["size"] + <the bytes of the files to download>
Outcome prepare_folder(PyObject *exe_dir, const Signing &signing, Folder *folder)
{
    Ref body;
    if (Outcome r = fetch_manifest(&body); r.raised())
        return r;
    if (signing.named)
        if (Outcome r = verify_manifest(signing, body.get()); r.raised())
            return r;
    if (Outcome r = parse_manifest(body.get(), folder); r.raised())
        return r;
    if (list_folder(exe_dir, folder->running.get()) < 0)
        return download_error(fl::list_running);
    if (remove_old_folders(exe_dir, folder->name.get(), true) < 0 && !swallow_exception())
        return download_error(fl::remove_old);
    long long to_fetch = 0;
    if (Outcome r = plan_folder(exe_dir, folder, &to_fetch); r.raised())
        return r;
    const long long total = folder->size + to_fetch;
    Ref value = steal(PyLong_FromLongLong(total));
    if (!value || clock(&folder->tally.start_time) < 0)
        return download_error(fl::tally);
    folder->tally.total = {std::move(value), total, total > 0};
    return Outcome::ok();
}

namespace {

// ---------------------------------------------------------------------------
// The folder, made

/// The new file's mode from the manifest, then its bytes made durable:
///     if os.name != "nt": os.chmod(path, 0o755 if exec else 0o644)
///     f.flush(); os.fsync(f.fileno())
Outcome seal_file(PyObject *f, PyObject *path, bool exec, int nt)
{
    if (!nt) {
        Ref mode = steal(PyLong_FromLong(exec ? 0755 : 0644));
        if (!mode || os_call(names.chmod, {path, mode.get()}) < 0)
            return download_error(fl::file_mode);
    }
    if (!call_method(f, names.flush) || fsync_file(f) < 0)
        return download_error(fl::file_sync);
    return Outcome::ok();
}

/// Line 410: the bytes written are the entry's.
///     if written != entry["size"] or sha.hexdigest() != entry["sha256"]:
///         raise OSError(f"{path} does not match its SHA-256")
Outcome check_file(PyObject *sha, long long written, const FolderEntry &entry)
{
    Ref hex = call_method(sha, names.hexdigest);
    int same = hex ? PyObject_RichCompareBool(hex.get(), entry.sha256.get(), Py_EQ) : -1;
    if (same < 0)
        return download_error(fl::file_check);
    if (!same || written != entry.size) {
        PyErr_Format(PyExc_OSError, "the file %R of the contents does not match its size and SHA-256",
                     entry.path_text.get());
        return download_error(fl::file_check);
    }
    return Outcome::ok();
}

/// Line 401: a file copied from a local folder, which is only read:
///     with open(entry.source, "rb") as src, open(path, "xb") as f:
///         <copied in chunks, hashed, checked, its mode set, synced>
Outcome copy_file(const FolderEntry &entry, PyObject *path, int nt)
{
    Ref sha = new_sha256();
    if (!sha)
        return download_error(fl::copy);
    With source_block;
    Ref source = open_in(source_block, entry.source.get(), names.mode_rb);
    if (!source)
        return download_error(fl::copy);
    With block;
    Ref f = open_in(block, path, names.mode_xb);
    Outcome done = f ? Outcome::ok() : download_error(fl::copy);
    long long written = 0;
    while (!done.raised()) {
        Ref chunk = call_method(source.get(), names.read, {ints.chunk_size});
        Py_ssize_t length = chunk ? PyObject_Length(chunk.get()) : -1;
        if (length < 0 || (length > 0 && (!call_method(f.get(), names.write, {chunk.get()}) ||
                                          !call_method(sha.get(), names.update, {chunk.get()})))) {
            done = download_error(fl::copy);
            break;
        }
        if (length == 0)
            break;
        written += length;
    }
    if (!done.raised())
        done = check_file(sha.get(), written, entry);
    if (!done.raised())
        done = seal_file(f.get(), path, entry.exec, nt);
    if (f) {
        if (done.raised())
            done = leave_with_error(done, block, fl::copy, download_error);
        else if (block.exit_ok() < 0)
            done = download_error(fl::copy);
    }
    if (done.raised())
        return leave_with_error(done, source_block, fl::copy, download_error);
    if (source_block.exit_ok() < 0)
        return download_error(fl::copy);
    return Outcome::ok();
}

/// Line 409, inside the new file's block: the blob decoded as it streams, at
/// most 64 KiB at a step and never past the entry's size, each piece written,
/// hashed and reported; the frame must carry its checksum, end where the blob
/// ends, and make the entry's bytes.
Outcome decode_blob(PyObject *progress_callback, PyObject *zstd, PyObject *resp, PyObject *f,
                    const FolderEntry &entry, const Tally &tally)
{
    Ref sha = new_sha256();
    Ref data = sha ? call_method(resp, names.read, {ints.chunk_size}) : Ref{};
    if (!data || !PyBytes_Check(data.get()))
        return download_error(fl::decompress);
    const auto *head = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data.get()));
    if (PyBytes_GET_SIZE(data.get()) < 5 || std::memcmp(head, "\x28\xB5\x2F\xFD", 4) != 0 ||
        (head[4] & 0x04) == 0) {
        PyErr_Format(PyExc_ValueError, "the file %R of the contents is not a zstd frame with a checksum",
                     entry.path_text.get());
        return download_error(fl::decompress);
    }
    Ref ZstdDecompressor = getattr(zstd, names.ZstdDecompressor);
    Ref decompressor = ZstdDecompressor ? call(ZstdDecompressor.get()) : Ref{};
    Ref decompress = decompressor ? getattr(decompressor.get(), names.decompress) : Ref{};
    Ref read = decompress ? getattr(resp, names.read) : Ref{};
    Ref size = read ? steal(PyLong_FromLongLong(entry.size)) : Ref{};
    if (!size)
        return download_error(fl::decompress);
    TotalSize own{std::move(size), entry.size, true};
    double start_time = tally.start_time;
    Writer out(progress_callback, f, sha.get(), own, start_time, &tally);
    for (;;) {
        Ref chunk = call(decompress.get(), {data.get(), ints.chunk_size});
        Py_ssize_t length = chunk ? PyObject_Length(chunk.get()) : -1;
        if (length < 0)
            return download_error(fl::decompress);
        if (length > entry.size - out.downloaded()) {
            PyErr_Format(PyExc_ValueError, "the file %R of the contents makes more than its size",
                         entry.path_text.get());
            return download_error(fl::decompress);
        }
        if (length > 0)
            if (Outcome r = out.put(chunk.get()); r.raised())
                return r;
        Ref eof = getattr(decompressor.get(), names.eof);
        int ended = eof ? PyObject_IsTrue(eof.get()) : -1;
        if (ended < 0)
            return download_error(fl::decompress);
        if (ended)
            break;
        Ref needs = getattr(decompressor.get(), names.needs_input);
        int needs_input = needs ? PyObject_IsTrue(needs.get()) : -1;
        if (needs_input < 0)
            return download_error(fl::decompress);
        data = needs_input ? call(read.get(), {ints.chunk_size}) : borrow(state.empty_bytes);
        if (!data)
            return download_error(fl::decompress);
        if (needs_input && PyObject_Length(data.get()) == 0) {
            PyErr_SetObject(PyExc_OSError, names.blob_cut_short);
            return download_error(fl::decompress);
        }
    }
    Ref unused = getattr(decompressor.get(), names.unused_data);
    int trailing = unused ? PyObject_IsTrue(unused.get()) : -1;
    if (trailing == 0) {
        Ref more = call(read.get(), {ints.i1});
        trailing = more ? PyObject_IsTrue(more.get()) : -1;
    }
    if (trailing < 0)
        return download_error(fl::decompress);
    if (trailing) {
        PyErr_SetObject(PyExc_ValueError, names.blob_trailing);
        return download_error(fl::decompress);
    }
    return check_file(sha.get(), out.downloaded(), entry);
}

/// Lines 402-412: a file downloaded from the release, named by its SHA-256:
///     req = urllib.request.Request(<UPDATE_URL, ".files/" + sha256 + ".zst" added to its path>, ...)
///     with urllib.request.urlopen(req, timeout=60) as file_resp:
///         <every hop https; a body whose end can be told from a cut>
///         with open(path, "xb") as f:
///             <decoded, checked, its mode set, synced>
Outcome download_file(PyObject *progress_callback, PyObject *zstd, const FolderEntry &entry, PyObject *path,
                      const Tally &tally, int nt)
{
    Ref suffix = join({names.files_infix, entry.sha256.get(), names.zst_suffix});
    Ref req = suffix ? new_request(suffix.get()) : Ref{};
    if (!req)
        return download_error(fl::file_request);
    With resp_block;
    Ref resp = open_url(req.get(), resp_block);
    if (!resp)
        return download_error(fl::file_urlopen);
    Outcome done = check_hops(req.get(), resp.get(), fl::file_https_check);
    TotalSize length{};
    if (!done.raised())
        done = body_size(resp.get(), &length);
    if (!done.raised()) {
        With block;
        Ref f = open_in(block, path, names.mode_xb);
        if (!f) {
            done = download_error(fl::file_open);
        } else {
            done = decode_blob(progress_callback, zstd, resp.get(), f.get(), entry, tally);
            if (!done.raised())
                done = seal_file(f.get(), path, entry.exec, nt);
            if (done.raised())
                done = leave_with_error(done, block, fl::file_open, download_error);
            else if (block.exit_ok() < 0)
                done = download_error(fl::file_open);
        }
    }
    if (done.raised()) {
        if (Outcome r = leave_with_error(done, resp_block, fl::file_urlopen, download_error); r.raised())
            return r;
        // __exit__ swallowed the error: the file is not whole
        PyErr_SetObject(PyExc_OSError, names.folder_cut_short);
        return download_error(fl::file_check);
    }
    if (resp_block.exit_ok() < 0)
        return download_error(fl::file_urlopen);
    return Outcome::ok();
}

/// An empty file, which nothing need carry:
///     with open(path, "xb") as f: <checked, its mode set, synced>
Outcome empty_file(const FolderEntry &entry, PyObject *path, int nt)
{
    Ref sha = new_sha256();
    if (!sha)
        return download_error(fl::file_open);
    With block;
    Ref f = open_in(block, path, names.mode_xb);
    if (!f)
        return download_error(fl::file_open);
    Outcome done = check_file(sha.get(), 0, entry);
    if (!done.raised())
        done = seal_file(f.get(), path, entry.exec, nt);
    if (done.raised())
        return leave_with_error(done, block, fl::file_open, download_error);
    if (block.exit_ok() < 0)
        return download_error(fl::file_open);
    return Outcome::ok();
}

/// Line 413: a link entry. On POSIX the link itself:
///     os.symlink(entry["link"], path)
/// on Windows, where links need rights a launcher lacks, a copy of what it
/// names inside the new folder:
///     shutil.copytree(target, path) if os.path.isdir(target) else shutil.copyfile(target, path)
Outcome make_link(const FolderEntry &entry, PyObject *temp, PyObject *path, int nt)
{
    if (!nt) {
        if (os_call(names.symlink, {entry.link.get(), path}) < 0)
            return download_error(fl::link);
        return Outcome::ok();
    }
    Ref target = os_path(names.join, {temp, entry.resolved.get()});
    int directory = target ? path_test(names.isdir, target.get()) : -1;
    Ref copy = directory >= 0 ? dotted(names.shutil, {directory ? names.copytree : names.copyfile}) : Ref{};
    if (!copy || !call(copy.get(), {target.get(), path}))
        return download_error(fl::link);
    return Outcome::ok();
}

/// Lines 397-416, the folder made under its temporary name:
///     temp = os.path.join(exe_dir, TEMP_EXE_NAME + ".folder")
///     <whatever an interrupted update left there removed>
///     <the folder listed>
///     os.mkdir(temp)
///     <the folders, files and links made; every folder synced>
///     os.rename(temp, os.path.join(exe_dir, manifest["folder"]))
///     <the install directory synced>
Outcome build_folder(PyObject *progress_callback, PyObject *exe_dir, PyObject *temp, Folder *folder, int nt,
                     bool *made)
{
    if (remove_path(temp) < 0)
        return download_error(fl::temp_remove);
    if (list_folder(exe_dir, folder->name.get()) < 0)
        return download_error(fl::list_made);
    if (os_call(names.mkdir, {temp}) < 0)
        return download_error(fl::temp_mkdir);
    *made = true;
    Ref directories = steal(PySet_New(nullptr));
    if (!directories)
        return download_error(fl::mkdir);
    for (const FolderEntry &entry : folder->files)
        if (add_folders(directories.get(), entry.path_text.get()) < 0)
            return download_error(fl::mkdir);
    Ref relatives = sorted(directories.get());
    Ref made_directories = relatives ? steal(PyList_New(0)) : Ref{};
    if (!made_directories)
        return download_error(fl::mkdir);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(relatives.get()); ++i) {
        Ref path = os_path(names.join, {temp, PyList_GET_ITEM(relatives.get(), i)});
        if (!path || os_call(names.mkdir, {path.get()}) < 0 || PyList_Append(made_directories.get(), path.get()) < 0)
            return download_error(fl::mkdir);
    }
    Ref zstd;
    Tally &tally = folder->tally;
    tally.base = folder->size;
    for (const FolderEntry &entry : folder->files) {
        if (entry.link)
            continue;
        Ref path = os_path(names.join, {temp, entry.path_text.get()});
        if (!path)
            return download_error(fl::mkdir);
        if (entry.source || entry.size == 0) {
            Outcome r = entry.source ? copy_file(entry, path.get(), nt) : empty_file(entry, path.get(), nt);
            if (r.raised())
                return r;
        } else {
            // from backports import zstd  (the standard library's compression.zstd from 3.14 on)
            if (!zstd) {
                zstd = steal(PyImport_Import(names.zstd_module));
                if (!zstd)
                    return download_error(fl::file_request);
            }
            Outcome r = download_file(progress_callback, zstd.get(), entry, path.get(), tally, nt);
            if (r.raised())
                return r;
            tally.base += entry.size;
        }
    }
    for (const FolderEntry &entry : folder->files) {
        if (!entry.link)
            continue;
        Ref path = os_path(names.join, {temp, entry.path_text.get()});
        if (!path)
            return download_error(fl::link);
        if (Outcome r = make_link(entry, temp, path.get(), nt); r.raised())
            return r;
    }
    if (!nt) {
        for (Py_ssize_t i = PyList_GET_SIZE(made_directories.get()); i-- > 0;)
            if (sync_directory(PyList_GET_ITEM(made_directories.get(), i)) < 0)
                return download_error(fl::sync_dirs);
        if (sync_directory(temp) < 0)
            return download_error(fl::sync_dirs);
    }
    Ref final_path = os_path(names.join, {exe_dir, folder->name.get()});
    if (!final_path || os_call(names.rename, {temp, final_path.get()}) < 0)
        return download_error(fl::rename);
    *made = false;
    if (!nt && sync_directory(exe_dir) < 0)
        return download_error(fl::sync_install);
    return Outcome::ok();
}

/// Lines 395-396: the build downloaded is the one the manifest describes, and
/// names the manifest's folder.
///     if os.path.getsize(new_path) != manifest["size"] or <its SHA-256> != manifest["build"]:
///         raise OSError("the manifest of the contents is not the build's")
///     if <the folder the build names> != manifest["folder"]:
///         raise OSError(...)
Outcome check_build(PyObject *new_path, const Folder &folder)
{
    int same = regular_of_size(new_path, folder.size);
    Ref digest = same > 0 ? file_sha256(new_path) : Ref{};
    if (same > 0)
        same = digest ? PyObject_RichCompareBool(digest.get(), folder.build.get(), Py_EQ) : -1;
    if (same < 0)
        return download_error(fl::build_digest);
    if (!same) {
        PyErr_SetString(PyExc_OSError, "the manifest of the contents does not describe the build");
        return download_error(fl::build_digest);
    }
    Ref named;
    if (named_folder(new_path, &named) < 0)
        return download_error(fl::build_names);
    same = named ? PyObject_RichCompareBool(named.get(), folder.name.get(), Py_EQ) : 0;
    if (same < 0)
        return download_error(fl::build_names);
    if (!same) {
        PyErr_Format(PyExc_OSError, "the build does not run from the folder %R of its manifest",
                     folder.name.get());
        return download_error(fl::build_names);
    }
    return Outcome::ok();
}

}  // namespace

/// Lines 395-416, after the build's download: the build checked against the
/// manifest, then, unless a matching folder stands, the folder made. On any
/// failure nothing stays at the temporary name.
Outcome make_folder(PyObject *progress_callback, PyObject *exe_dir, PyObject *new_path, Folder *folder)
{
    if (Outcome r = check_build(new_path, *folder); r.raised())
        return r;
    if (folder->stands)
        return Outcome::ok();
    int nt = windows();
    Ref temp = nt >= 0 ? install_path(exe_dir, names.TEMP_EXE_NAME, names.folder_suffix) : Ref{};
    if (!temp)
        return download_error(fl::temp_remove);
    bool made = false;
    Outcome built = build_folder(progress_callback, exe_dir, temp.get(), folder, nt, &made);
    if (built.raised() && made) {
        ErrorScope keep;  // the failure stays; one of the removal's own is dropped
        if (remove_path(temp.get()) < 0)
            PyErr_Clear();
    }
    return built;
}

}  // namespace updater

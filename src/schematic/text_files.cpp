/// Confined, atomic text files for the handlers, and for Python.

#include "quillon/schematic/text_files.hpp"

#include "quillon/define.hpp"
#include "quillon/schematic/atomic_write.hpp"
#include "quillon/schematic/components.hpp"
#include "quillon/schematic/schematic.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>

namespace quillon::schematic {

namespace {

/// Locks taken by key modulo their number: few enough to create once, many
/// enough that unrelated files rarely wait on each other.
constexpr size_t save_lock_count = 64;

/// The platform's default text encoding, as the interpreter's `open` uses it.
nb::object default_encoding() {
    return nb::module_::import_("locale").attr("getpreferredencoding")(false);
}

/// Runs `step` with the GIL released.
template <typename Step> int unlocked(Step step) {
    nb::gil_scoped_release released;
    return step();
}

nb::object read_confined(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]);
    const std::string path = file_system_path(a[1]);
    ConfinedEntry entry;
    std::string content;
    int code = locate(root, path, false, entry);
    if (code == 0)
        code = read_entry(entry, content);
    if (code == ENOENT)
        return nb::none();
    if (code != 0)
        raise_outcome(code, path);
    return nb::bytes(content.data(), content.size());
}

nb::object write_confined(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]);
    const std::string path = file_system_path(a[1]);
    if (!PyBytes_Check(a[2].ptr()))
        throw nb::type_error("content must be bytes");
    std::string content(PyBytes_AS_STRING(a[2].ptr()),
                        static_cast<size_t>(PyBytes_GET_SIZE(a[2].ptr())));
    ConfinedEntry entry;
    int code = locate(root, path, true, entry);
    if (code == 0)
        code = write_entry_atomically(entry, std::move(content));
    if (code != 0)
        raise_outcome(code, path);
    return nb::none();
}

} // namespace

ConfinedRoot open_confined_root(nb::handle directory) {
    ConfinedRoot root;
    const std::string path = file_system_path(directory);
    if (const int code = unlocked([&] { return open_root(path, root); }); code != 0)
        raise_outcome(code, path);
    return root;
}

std::string file_system_path(nb::handle path) {
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!encoded.is_valid())
        throw nb::python_error();
    return {PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

int locate(const ConfinedRoot& root, const std::string& path, bool make_directories,
           ConfinedEntry& entry) {
    if (path.find('\0') != std::string::npos)
        return EINVAL;
    return unlocked([&] { return locate_entry(root, path, make_directories, entry); });
}

int read_entry(const ConfinedEntry& entry, std::string& content) {
    return unlocked([&] { return read_regular_file(entry, max_file_bytes, content); });
}

int write_entry_atomically(const ConfinedEntry& entry, std::string content) {
    const uint64_t key = save_key(entry);
    if (key == 0)
        return errno;
    SaveLock lock(key);
    bool committed = false;
    return unlocked([&] {
        recover_interrupted_save(key, {&entry});
        return replace_files_atomically(key, {{&entry, std::move(content)}}, committed);
    });
}

void raise_outcome(int code, const std::string& what) {
    if (code == leads_outside) {
        PyErr_Format(PyExc_PermissionError, "%s: leads outside the project directory",
                     what.c_str());
    } else if (code == not_regular_file) {
        PyErr_Format(PyExc_OSError, "%s: is not a regular file", what.c_str());
    } else {
        errno = code;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, what.c_str());
    }
    throw nb::python_error();
}

nb::object decode_text(const std::string& content) {
    nb::object text = nb::bytes(content.data(), content.size()).attr("decode")(default_encoding());
    if (content.find('\r') == std::string::npos)
        return text;
    return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
}

std::string encode_text(nb::handle text) {
    nb::bytes data = nb::borrow<nb::bytes>(text.attr("encode")(default_encoding()));
    return {data.c_str(), static_cast<size_t>(data.size())};
}

SaveLock::SaveLock(uint64_t key) {
    nb::object locks = host_value("_save_locks");
    lock_ = locks[nb::int_(key % static_cast<uint64_t>(nb::len(locks)))];
    lock_.attr("acquire")();
}

SaveLock::~SaveLock() {
    // Releasing a lock this thread holds cannot fail; keep any pending error.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    nb::object released = nb::steal(PyObject_CallMethod(lock_.ptr(), "release", nullptr));
    if (!released.is_valid())
        PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

void register_confined_files(nb::module_& m) {
    keep_service_module(m);
    nb::object lock_type = nb::module_::import_("threading").attr("Lock");
    nb::list locks;
    for (size_t i = 0; i < save_lock_count; ++i)
        locks.append(lock_type());
    m.attr("_save_locks") = locks;
    define(m, Signature("_read_confined", {str("root"), str("path")}),
           "def _read_confined(root: str, path: str) -> bytes | None",
           "The bytes of the regular file `path` below `root` (None when absent), "
           "refusing links that lead out.",
           read_confined);
    define(m, Signature("_write_confined", {str("root"), str("path"), any("content")}),
           "def _write_confined(root: str, path: str, content: bytes) -> None",
           "Replaces the file `path` below `root` atomically, refusing links that lead out.",
           write_confined);
}

} // namespace quillon::schematic

/// Confined files for code working with Python objects.

#include "quillon/files/file_access.hpp"

#include <cerrno>

namespace quillon::files {

namespace {

/// The platform's default text encoding, as the interpreter's `open` uses it.
nb::object default_encoding() {
    return nb::module_::import_("locale").attr("getpreferredencoding")(false);
}

} // namespace

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

std::string read_regular_bytes(nb::handle path) {
    const std::string name = file_system_path(path);
    FileHandle file;
    std::string content;
    int code = unlocked([&] { return open_regular_file(name, file); });
    if (code == 0)
        code = unlocked([&] { return read_all(file.get(), max_file_bytes, content); });
    if (code != 0)
        raise_outcome(code, name);
    return content;
}

nb::object read_regular_text(nb::handle path) {
    return decode_text(read_regular_bytes(path));
}

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
           ConfinedEntry& entry, LastLink last_link) {
    if (path.find('\0') != std::string::npos)
        return EINVAL;
    return unlocked([&] { return locate_entry(root, path, make_directories, entry, last_link); });
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

SaveLock::SaveLock(uint64_t key) {
    nb::object locks = nb::module_::import_("quillon._files").attr("_save_locks");
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

} // namespace quillon::files

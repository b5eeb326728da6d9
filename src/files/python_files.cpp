/// The confined file operations for Python, as `quillon._files` defines them.

#include "quillon/files/python_files.hpp"
#include "quillon/define.hpp"
#include "quillon/files/confined_tree.hpp"
#include "quillon/files/file_access.hpp"

#include <nanobind/stl/string.h>

#include <cerrno>

namespace quillon::files {

namespace {

/// Locks taken by key modulo their number: few enough to create once, many
/// enough that unrelated files rarely wait on each other.
constexpr size_t save_lock_count = 64;

std::string text(const BoundArgs& a, size_t i) {
    return file_system_path(a[i]);
}

nb::object read_file(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]);
    const std::string path = text(a, 1);
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

nb::object write_file(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]);
    const std::string path = text(a, 1);
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

/// The directory `below` of the root, opened as a root of its own; false
/// when it does not exist.
bool open_directory(const BoundArgs& a, size_t i, const ConfinedRoot& root, ConfinedRoot& below) {
    nb::object value = a.get(i, nb::none());
    const std::string path = value.is_none() ? "" : file_system_path(value);
    const int code = unlocked([&] { return open_below(root, path, below); });
    if (code == ENOENT)
        return false;
    if (code != 0)
        raise_outcome(code, path);
    return true;
}

nb::object remove_file(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]), below;
    if (a.get(2, nb::none()).is_none())
        below = std::move(root);
    else if (!open_directory(a, 2, root, below))
        return nb::bool_(false);
    const std::string path = text(a, 1);
    const int code = unlocked([&] { return remove_entry(below, path); });
    if (code == ENOENT)
        return nb::bool_(false);
    if (code != 0)
        raise_outcome(code, path);
    return nb::bool_(true);
}

nb::object is_file(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]);
    const std::string path = text(a, 1);
    const int code = unlocked([&] { return regular_file_status(root, path); });
    if (code == 0 || code == ENOENT || code == not_regular_file || code == ENOTDIR ||
        code == EISDIR)
        return nb::bool_(code == 0);
    raise_outcome(code, path);
}

nb::object list_files(const BoundArgs& a) {
    ConfinedRoot root = open_confined_root(a[0]), top;
    ListingOptions options;
    options.suffix = text(a, 2);
    options.skip_hidden = nb::cast<bool>(a[3]);
    for (nb::handle name : a[4])
        options.skip_top.push_back(file_system_path(name));
    options.include_links = nb::cast<bool>(a[5]);
    options.max_depth = nb::cast<size_t>(a[6]);
    options.max_entries = nb::cast<size_t>(a[7]);
    Listing listing;
    if (open_directory(a, 1, root, top)) {
        if (const int code = unlocked([&] { return list_tree(top, options, listing); }); code != 0)
            raise_outcome(code, text(a, 1));
    }
    nb::list files;
    for (const std::string& file : listing.files)
        files.append(nb::steal(PyUnicode_DecodeFSDefaultAndSize(file.data(), file.size())));
    nb::object too_deep = listing.too_deep.empty()
                              ? nb::none()
                              : nb::steal(PyUnicode_DecodeFSDefaultAndSize(
                                    listing.too_deep.data(), listing.too_deep.size()));
    return nb::make_tuple(files, too_deep, nb::bool_(listing.stopped));
}

nb::object read_regular(const BoundArgs& a) {
    const std::string content = read_regular_bytes(a[0]);
    return nb::bytes(content.data(), content.size());
}

} // namespace

void register_save_locks(nb::module_& m) {
    nb::object lock_type = nb::module_::import_("threading").attr("Lock");
    nb::list locks;
    for (size_t i = 0; i < save_lock_count; ++i)
        locks.append(lock_type());
    m.attr("_save_locks") = locks;
}

void register_file_operations(nb::module_& m) {
    define(m, Signature("read_file", {str("root"), str("path")}),
           "def read_file(root: str, path: str) -> bytes | None",
           "The bytes of the regular file `path` below `root` (None when absent).", read_file);
    define(m, Signature("write_file", {str("root"), str("path"), any("content")}),
           "def write_file(root: str, path: str, content: bytes) -> None",
           "Replaces the file `path` below `root` atomically, creating its directories.",
           write_file);
    define(m, Signature("remove_file", {str("root"), str("path"), optional(any("below"))}),
           "def remove_file(root: str, path: str, below: str | None = None) -> bool",
           "Removes the entry `path` below the directory `below` of `root` (a last link itself); "
           "whether there was one.",
           remove_file);
    define(m, Signature("is_file", {str("root"), str("path")}),
           "def is_file(root: str, path: str) -> bool",
           "Whether `path` below `root` is a regular file.", is_file);
    define(m,
           Signature("list_files",
                     {str("root"), str("path"), str("suffix"), any("skip_hidden"), any("skip_top"),
                      any("include_links"), integer("max_depth"), integer("max_entries")}),
           "def list_files(root: str, path: str, suffix: str, skip_hidden: bool, "
           "skip_top: tuple[str, ...], include_links: bool, max_depth: int, max_entries: int) "
           "-> tuple[list[str], str | None, bool]",
           "The files below the directory `path` of `root`: (paths, first directory too deep, "
           "whether the entry bound stopped the walk).",
           list_files);
    define(m, Signature("read_regular", {str("path")}), "def read_regular(path: str) -> bytes",
           "The bytes of the regular file `path` (a pipe or a device is refused, not waited on).",
           read_regular);
}

} // namespace quillon::files

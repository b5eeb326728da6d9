#pragma once
/// Registration of `quillon._files`, the confined files for Python code.

#include <nanobind/nanobind.h>

namespace quillon::files {
namespace nb = nanobind;

/// `_save_locks`: the locks every writer of project files takes (file_access.hpp).
void register_save_locks(nb::module_& module);

/// read_file, write_file, remove_file, is_file, list_files, read_regular.
void register_file_operations(nb::module_& module);

} // namespace quillon::files

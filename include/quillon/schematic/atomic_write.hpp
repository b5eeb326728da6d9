#pragma once
/// Replacing a file's content in one step, so that no reader and no crash ever
/// sees a partly written file.

#include <string>

namespace quillon::schematic {

/// Writes `content` to a new temporary file next to `path`, flushes it to the
/// disk and renames it over `path`. The new file keeps the permission bits of
/// the file it replaces (a new one gets the process's usual ones). On failure
/// the temporary file is removed, `path` is left as it was, and an OSError
/// naming the failing file is raised. Must be called holding the GIL; it is
/// released during the file system calls.
void write_file_atomically(const std::string& path, const std::string& content);

} // namespace quillon::schematic

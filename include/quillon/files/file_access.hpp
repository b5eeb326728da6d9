#pragma once
/// The confined files (confined_files.hpp, atomic_write.hpp,
/// confined_tree.hpp) for code that works with Python objects: roots and paths
/// given as texts, each step run with the GIL released, outcomes raised as the
/// interpreter's OSError kinds, and the locks that serialise the writes of one
/// file across the modules that write project files (the service's handlers
/// and `quillon._files`).

#include "quillon/files/atomic_write.hpp"
#include "quillon/files/confined_files.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace quillon::files {
namespace nb = nanobind;

/// Files larger than this are not read: a project file of this size is a mistake.
constexpr size_t max_file_bytes = size_t{256} << 20;

/// Opens `directory` (a path text) as a confinement root; raises OSError.
ConfinedRoot open_confined_root(nb::handle directory);

/// `path` (text) as the file system spells it (file system encoding).
std::string file_system_path(nb::handle path);

/// Locates `path` below `root` with the GIL released; returns the outcome code.
int locate(const ConfinedRoot& root, const std::string& path, bool make_directories,
           ConfinedEntry& entry, LastLink last_link = LastLink::follow);

/// Reads a confined entry with the GIL released: the outcome code, and the
/// bytes in `content`.
int read_entry(const ConfinedEntry& entry, std::string& content);

/// Replaces a confined entry's file with `content` under its save lock,
/// finishing or undoing an interrupted write first; returns the outcome code.
int write_entry_atomically(const ConfinedEntry& entry, std::string content);

/// Raises the OSError for an outcome code, naming `what`: PermissionError for
/// a path leading outside, FileNotFoundError for ENOENT, OSError otherwise.
[[noreturn]] void raise_outcome(int code, const std::string& what);

/// Bytes read from a file, as text: as the interpreter's `open` decodes
/// them (the platform's default encoding, universal newlines).
nb::object decode_text(const std::string& content);

/// A text, as the bytes a file of it holds.
std::string encode_text(nb::handle text);

/// The bytes of the regular file `path` (not confined: a file a user or a
/// kit names); a named pipe or a device is refused (OSError), never waited on.
std::string read_regular_bytes(nb::handle path);

/// The whole text of the regular file `path`, read as `open(path).read()`
/// would, except that only a regular file is read (as above).
nb::object read_regular_text(nb::handle path);

/// Runs `step` with the GIL released.
template <typename Step> int unlocked(Step step) {
    nb::gil_scoped_release released;
    return step();
}

/// Holds the lock of a save key while it lives. The locks are the state of
/// the module `quillon._files` (`_save_locks`, a list of `threading.Lock`,
/// one taken by key modulo its length), shared by every module that writes
/// project files; waiting for one releases the GIL.
class SaveLock {
  public:
    explicit SaveLock(uint64_t key);
    ~SaveLock();
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

  private:
    nb::object lock_;
};

} // namespace quillon::files

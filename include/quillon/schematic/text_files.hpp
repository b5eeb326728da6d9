#pragma once
/// Text files of the project for the handlers: confined reads and atomic
/// writes (confined_files.hpp, atomic_write.hpp) with the GIL released, texts
/// decoded as the interpreter's `open` does it (the platform's default
/// encoding, universal newlines), and the locks that serialise the saves of
/// one file.

#include "quillon/schematic/confined_files.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace quillon::schematic {
namespace nb = nanobind;

/// Files larger than this are not read: a project file of this size is a mistake.
constexpr size_t max_file_bytes = size_t{256} << 20;

/// Opens `directory` (a path text) as a confinement root; raises OSError.
ConfinedRoot open_confined_root(nb::handle directory);

/// `path` (text) as the file system spells it (file system encoding).
std::string file_system_path(nb::handle path);

/// Locates `path` below `root` with the GIL released; returns the outcome code.
int locate(const ConfinedRoot& root, const std::string& path, bool make_directories,
           ConfinedEntry& entry);

/// Reads a confined entry with the GIL released: the outcome code, and the
/// bytes in `content`.
int read_entry(const ConfinedEntry& entry, std::string& content);

/// Replaces a confined entry's file with `content` under its save lock,
/// finishing or undoing an interrupted write first; returns the outcome code.
int write_entry_atomically(const ConfinedEntry& entry, std::string content);

/// Raises the OSError for an outcome code, naming `what`: PermissionError for
/// a path leading outside, OSError for one that is not a regular file.
[[noreturn]] void raise_outcome(int code, const std::string& what);

/// Bytes read from a file, as text.
nb::object decode_text(const std::string& content);

/// A text, as the bytes a file of it holds.
std::string encode_text(nb::handle text);

/// Holds the lock of a save key while it lives. The locks are module state
/// (`_save_locks`, a list of `threading.Lock`, one taken by key modulo its
/// length); waiting for one releases the GIL.
class SaveLock {
  public:
    explicit SaveLock(uint64_t key);
    ~SaveLock();
    SaveLock(const SaveLock&) = delete;
    SaveLock& operator=(const SaveLock&) = delete;

  private:
    nb::object lock_;
};

/// Creates the module's save locks and its confined file operations for
/// Python (`_read_confined`, `_write_confined`).

} // namespace quillon::schematic

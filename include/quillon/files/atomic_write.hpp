#pragma once
/// Replacing the files of one save together: all of them or none, even when
/// the disk fills up or the process is killed half-way.
///
/// Each file is first written in full to a temporary file beside it and
/// flushed to the disk; only then are they renamed over their targets, in
/// order. The temporaries of a save have short fixed names derived from a key
/// (`.q<12 hex digits>.<stage>`), so whoever next takes the key's lock finds
/// what a killed save left: stage 1 still present means the save never
/// committed (all its temporaries are removed); stage 2 alone means stage 1
/// was renamed, so stage 2 is renamed too. Callers hold the key's lock (saves
/// of one key are serialised); plain POSIX calls, run without the GIL.

#include "quillon/files/confined_files.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::files {

/// One file of a save: its entry and its new content.
struct PlannedFile {
    const ConfinedEntry* entry;
    std::string content;
};

/// A key for the temporaries of the save whose first file is `entry`: its
/// directory's identity and its name. 0 with `errno` set when it cannot be read.
uint64_t save_key(const ConfinedEntry& entry);

/// Finishes or undoes what an interrupted save of `key` left behind, for the
/// save's entries in stage order (one or two).
void recover_interrupted_save(uint64_t key, const std::vector<const ConfinedEntry*>& entries);

/// Writes `files` (one or two, in stage order) and renames them over their
/// targets. Returns 0, or the `errno` value of the step that failed; then no
/// target was changed and no temporary is left, except when the last rename
/// alone failed (`committed` is set true: the save completes on the next
/// recovery). New files get the usual permissions, replaced ones keep theirs.
int replace_files_atomically(uint64_t key, const std::vector<PlannedFile>& files, bool& committed);

} // namespace quillon::files

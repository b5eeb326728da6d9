#pragma once
/// Listing and removing files below a directory handle, without ever leaving it.
///
/// The listing walks the tree from the handle with a stack of its own (no
/// recursion, so no depth can exhaust the call stack), opening each directory
/// relative to its parent and never through a link: a link is neither entered
/// nor listed unless asked for. It is bounded in depth and in the number of
/// entries read, and says where it stopped. Plain POSIX calls: safe to run
/// without the GIL.

#include "quillon/files/confined_files.hpp"

#include <string>
#include <vector>

namespace quillon::files {

struct ListingOptions {
    std::string suffix;                ///< list only the files whose name ends so
    bool skip_hidden = false;          ///< do not enter directories named ".*"
    std::vector<std::string> skip_top; ///< directory names not entered at the top
    bool include_links = false;        ///< list links (not followed) among the files
    size_t max_depth = 32;             ///< directories nested deeper are not entered
    size_t max_entries = 200000;       ///< the walk stops after reading this many
};

struct Listing {
    std::vector<std::string> files; ///< paths relative to the top, "/"-separated
    std::string too_deep;           ///< the first directory not entered for its depth
    bool stopped = false;           ///< true when the entry bound ended the walk
};

/// Lists the tree below the directory `top` (a handle of the root's kind or
/// an ordinary one). Directories that cannot be opened are left out; returns 0
/// or the `errno` value of opening the top itself.
int list_tree(const ConfinedRoot& top, const ListingOptions& options, Listing& listing);

/// Removes the entry `path` below `root`, never following a link as its last
/// component (the link itself goes). ENOENT when there is nothing there.
int remove_entry(const ConfinedRoot& root, const std::string& path);

/// Whether `path` below `root` is a regular file (links followed inside): 0
/// when it is, ENOENT when absent, `not_regular_file` for anything else.
int regular_file_status(const ConfinedRoot& root, const std::string& path);

} // namespace quillon::files

#pragma once
/// Files below a directory, opened so that nothing outside it is ever reached.
///
/// A path is walked one component at a time, each opened relative to the
/// handle of the directory before it and never following a link by itself:
/// a link is read and its target walked the same way, and a target that leads
/// above the root is refused. Since every step works on handles, swapping a
/// directory for a link while a request runs cannot redirect it outside.
/// Only regular files are read (a named pipe or a device would hold a worker
/// or never end). Plain POSIX calls (with Linux's O_PATH where it exists):
/// safe to run without the GIL.

#include <string>

namespace quillon::files {

/// An open file descriptor, closed when it goes out of scope.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

/// Outcome codes of the walk besides `errno` values (which are positive).
constexpr int leads_outside = -1;
constexpr int not_regular_file = -2;

/// One line saying what `code` (0, an `errno` value or one of the above) means.
std::string describe_outcome(int code);

/// The directory under which paths are confined, opened once per request.
struct ConfinedRoot {
    FileHandle handle;      ///< opened for walking (O_PATH where it exists), not for listing
    std::string given_path; ///< as configured, for absolute paths written with it
    /// With links resolved, for absolute link targets; found when first needed.
    const std::string& real_path() const;

  private:
    mutable std::string real_path_;
};

/// Opens `path` as a root; returns 0 or an `errno` value.
int open_root(const std::string& path, ConfinedRoot& root);

/// A directory entry reached inside the root: its directory and its name.
struct ConfinedEntry {
    FileHandle directory;
    std::string name;
    bool directory_exists = true; ///< false when a missing directory was not created
};

/// What the walk does with a link as the last component of a path.
enum class LastLink {
    follow, ///< walk on to its target (reading and writing reach the target)
    keep,   ///< stop at the link itself (removing removes the link, not its target)
};

/// Walks `path` (relative to the root, or absolute below it) to its last
/// entry, following links that stay inside; a link as the last component is
/// followed too unless `last_link` says to keep it. Missing directories are
/// created when `make_directories` is true, else the entry is reported with
/// `directory_exists` false. Returns 0 or an outcome code; `leads_outside`
/// for any step that would leave the root.
int locate_entry(const ConfinedRoot& root, const std::string& path, bool make_directories,
                 ConfinedEntry& entry, LastLink last_link = LastLink::follow);

/// Opens the directory `path` below `root` (located as above) as a root of
/// its own, for work that must stay inside that directory; ENOENT when it
/// does not exist, ENOTDIR when it is no directory.
int open_below(const ConfinedRoot& root, const std::string& path, ConfinedRoot& below);

/// Reads the entry as a regular file: ENOENT when it does not exist,
/// `not_regular_file` for anything else than a regular file, EFBIG past `limit` bytes.
int read_regular_file(const ConfinedEntry& entry, size_t limit, std::string& content);

/// Opens a regular file for reading (links followed, no root): for files of
/// the kit or the package. Same outcomes as `read_regular_file`.
int open_regular_file(const std::string& path, FileHandle& file);

/// A path that names the open file `fd` itself (/proc/self/fd/N on Linux,
/// /dev/fd/N elsewhere), for code that can only open files by name.
std::string descriptor_path(int fd);

/// The whole content of an open file, at most `limit` bytes (else EFBIG).
int read_all(int fd, size_t limit, std::string& content);

/// Writes all `size` bytes of `data` to the open file `fd`, however many
/// writes it takes; false (with `errno` set) when one fails.
bool write_all(int fd, const char* data, size_t size);

} // namespace quillon::files

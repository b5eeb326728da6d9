/// Bounded listing, removal and status of files below a directory handle.

#include "quillon/files/confined_tree.hpp"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::files {

namespace {

/// An open directory stream, closed when it goes out of scope.
class DirectoryStream {
  public:
    explicit DirectoryStream(int fd) : stream_(fd >= 0 ? fdopendir(fd) : nullptr) {
        if (fd >= 0 && stream_ == nullptr)
            close(fd);
    }
    DirectoryStream(DirectoryStream&& other) noexcept : stream_(other.stream_) {
        other.stream_ = nullptr;
    }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;
    DirectoryStream& operator=(DirectoryStream&&) = delete;
    ~DirectoryStream() {
        if (stream_ != nullptr)
            closedir(stream_);
    }

    bool is_open() const { return stream_ != nullptr; }
    int fd() const { return dirfd(stream_); }
    dirent* next() { return readdir(stream_); }

  private:
    DIR* stream_;
};

struct Level {
    DirectoryStream stream;
    std::string prefix; ///< the directory's path relative to the top, with a final "/"
};

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

enum class EntryType { other, directory, regular, link };

/// The entry's type, from the directory entry when the system records it there
/// (`d_type` is not POSIX) and says it, else from its status.
EntryType entry_type(int directory, const dirent& entry) {
#if defined(DT_UNKNOWN)
    switch (entry.d_type) {
    case DT_DIR:
        return EntryType::directory;
    case DT_REG:
        return EntryType::regular;
    case DT_LNK:
        return EntryType::link;
    case DT_UNKNOWN:
        break;
    default:
        return EntryType::other;
    }
#endif
    struct stat status;
    if (fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return EntryType::other;
    if (S_ISDIR(status.st_mode))
        return EntryType::directory;
    if (S_ISREG(status.st_mode))
        return EntryType::regular;
    return S_ISLNK(status.st_mode) ? EntryType::link : EntryType::other;
}

bool enters(const ListingOptions& options, const std::string& name, bool at_top) {
    if (options.skip_hidden && name[0] == '.')
        return false;
    return !at_top || std::find(options.skip_top.begin(), options.skip_top.end(), name) ==
                          options.skip_top.end();
}

} // namespace

int list_tree(const ConfinedRoot& top, const ListingOptions& options, Listing& listing) {
    std::vector<Level> stack;
    stack.push_back(
        {DirectoryStream(openat(top.handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), ""});
    if (!stack.back().stream.is_open())
        return errno;
    size_t entries = 0;
    while (!stack.empty()) {
        const dirent* entry = stack.back().stream.next();
        if (entry == nullptr) {
            stack.pop_back();
            continue;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        if (++entries > options.max_entries) {
            listing.stopped = true;
            break;
        }
        const int directory = stack.back().stream.fd();
        const EntryType type = entry_type(directory, *entry);
        const std::string path = stack.back().prefix + name;
        if (type == EntryType::directory) {
            if (!enters(options, name, stack.size() == 1))
                continue;
            if (stack.size() > options.max_depth) {
                if (listing.too_deep.empty())
                    listing.too_deep = path;
                continue;
            }
            DirectoryStream child(
                openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.is_open())
                stack.push_back({std::move(child), path + "/"});
        } else if ((type == EntryType::regular ||
                    (type == EntryType::link && options.include_links)) &&
                   ends_with(name, options.suffix)) {
            listing.files.push_back(path);
        }
    }
    return 0;
}

int remove_entry(const ConfinedRoot& root, const std::string& path) {
    ConfinedEntry entry;
    if (const int code = locate_entry(root, path, false, entry, LastLink::keep); code != 0)
        return code;
    if (!entry.directory_exists)
        return ENOENT;
    return unlinkat(entry.directory.get(), entry.name.c_str(), 0) == 0 ? 0 : errno;
}

int regular_file_status(const ConfinedRoot& root, const std::string& path) {
    ConfinedEntry entry;
    if (const int code = locate_entry(root, path, false, entry); code != 0)
        return code;
    if (!entry.directory_exists)
        return ENOENT;
    struct stat status;
    if (fstatat(entry.directory.get(), entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    return S_ISREG(status.st_mode) ? 0 : not_regular_file;
}

} // namespace quillon::files

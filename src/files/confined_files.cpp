/// Walking paths below a directory handle, link by link.

#include "quillon/files/confined_files.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::files {

namespace {

/// As many links as the kernel follows in one path before it gives up.
constexpr int max_link_hops = 40;

/// Opens a directory only to walk below it. Linux's O_PATH asks for no
/// permission on the directory itself and POSIX's O_SEARCH for search
/// permission; elsewhere a read-only open, which needs read permission too.
/// The walk is the same with each: links are never followed by the open.
#if defined(O_PATH)
constexpr int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int directory_flags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

/// Whether `error` is how an open with O_NOFOLLOW refuses a link: ELOOP in
/// POSIX, EMLINK on FreeBSD, EFTYPE on NetBSD.
bool refused_as_link(int error) {
#if defined(__FreeBSD__) || defined(__DragonFly__)
    if (error == EMLINK)
        return true;
#endif
#if defined(EFTYPE)
    if (error == EFTYPE)
        return true;
#endif
    return error == ELOOP;
}

/// Puts the components of `path` in front of those still to walk.
void prepend_components(std::deque<std::string>& pending, const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
}

/// Whether nothing but "." and empty components is left: the next name is the last.
bool only_dots_left(const std::deque<std::string>& pending) {
    for (const std::string& part : pending)
        if (!part.empty() && part != ".")
            return false;
    return true;
}

/// The rest of absolute `path` below `root`, when it starts there.
bool strip_root(const std::string& path, std::string root, std::string& rest) {
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (root.empty() || path.compare(0, root.size(), root) != 0)
        return false;
    if (path.size() == root.size() || root == "/") {
        rest = path.substr(root.size());
        return true;
    }
    if (path[root.size()] != '/')
        return false; // a sibling such as <root>-other
    rest = path.substr(root.size() + 1);
    return true;
}

int read_link(int directory, const std::string& name, std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t length = readlinkat(directory, name.c_str(), buffer, sizeof buffer);
    if (length < 0)
        return errno;
    if (static_cast<size_t>(length) == sizeof buffer)
        return ENAMETOOLONG;
    target.assign(buffer, static_cast<size_t>(length));
    return 0;
}

/// Continues the walk at a link's target: an absolute one from the root (when
/// it lies below it), a relative one from the link's own directory. `hops`
/// counts the links followed so far, so that a cycle of links ends.
int follow_link(const ConfinedRoot& root, const std::string& target, int& hops,
                std::vector<FileHandle>& chain, std::deque<std::string>& pending) {
    if (++hops > max_link_hops)
        return ELOOP;
    if (target.empty())
        return ENOENT;
    if (target[0] != '/') {
        prepend_components(pending, target);
        return 0;
    }
    std::string rest;
    if (!strip_root(target, root.given_path, rest) && !strip_root(target, root.real_path(), rest))
        return leads_outside;
    chain.resize(1);
    prepend_components(pending, rest);
    return 0;
}

} // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = other.release();
    }
    return *this;
}

FileHandle::~FileHandle() {
    if (fd_ >= 0)
        close(fd_);
}

std::string describe_outcome(int code) {
    if (code == leads_outside)
        return "leads outside the project directory";
    if (code == not_regular_file)
        return "is not a regular file";
    return std::strerror(code);
}

int open_root(const std::string& path, ConfinedRoot& root) {
    root.handle = FileHandle(open(path.c_str(), directory_flags));
    if (!root.handle.is_open())
        return errno;
    root.given_path = path;
    return 0;
}

const std::string& ConfinedRoot::real_path() const {
    if (real_path_.empty()) {
        char real[PATH_MAX];
        real_path_ = realpath(given_path.c_str(), real) != nullptr ? real : given_path;
    }
    return real_path_;
}

int locate_entry(const ConfinedRoot& root, const std::string& path, bool make_directories,
                 ConfinedEntry& entry, LastLink last_link) {
    std::deque<std::string> pending;
    std::vector<FileHandle> chain;
    chain.emplace_back(fcntl(root.handle.get(), F_DUPFD_CLOEXEC, 0));
    if (!chain.back().is_open())
        return errno;
    if (!path.empty() && path[0] == '/') {
        std::string rest;
        if (!strip_root(path, root.given_path, rest) && !strip_root(path, root.real_path(), rest))
            return leads_outside;
        prepend_components(pending, rest);
    } else {
        prepend_components(pending, path);
    }

    size_t missing_depth = 0; // directories walked through that do not exist (not created)
    int hops = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".")
            continue;
        if (name == "..") {
            if (missing_depth > 0)
                --missing_depth;
            else if (chain.size() == 1)
                return leads_outside;
            else
                chain.pop_back();
            continue;
        }
        const bool last = only_dots_left(pending);
        const int directory = chain.back().get();
        if (missing_depth > 0) {
            if (!last) {
                ++missing_depth;
                continue;
            }
            entry = {std::move(chain.back()), name, false};
            return 0;
        }
        if (last && last_link == LastLink::keep) {
            entry = {std::move(chain.back()), name, true};
            return 0;
        }
        if (last) {
            std::string target;
            const int link = read_link(directory, name, target);
            if (link == EINVAL || link == ENOENT) {
                entry = {std::move(chain.back()), name, true};
                return 0;
            }
            if (link != 0)
                return link;
            if (const int followed = follow_link(root, target, hops, chain, pending); followed != 0)
                return followed;
            continue;
        }
        const int fd = openat(directory, name.c_str(), directory_flags | O_NOFOLLOW);
        if (fd >= 0) {
            chain.emplace_back(fd);
            continue;
        }
        const int error = errno;
        if (error == ENOENT) {
            if (!make_directories) {
                ++missing_depth;
                continue;
            }
            if (mkdirat(directory, name.c_str(), 0777) != 0 && errno != EEXIST)
                return errno;
            pending.push_front(name); // opened on the next turn, whatever it is by then
            continue;
        }
        if (error != ENOTDIR && !refused_as_link(error))
            return error;
        std::string target;
        const int link = read_link(directory, name, target);
        if (link == EINVAL)
            return ENOTDIR; // a file where a directory is needed
        if (link != 0)
            return link;
        if (const int followed = follow_link(root, target, hops, chain, pending); followed != 0)
            return followed;
    }
    return EISDIR; // the path names a directory, not an entry in one
}

int open_below(const ConfinedRoot& root, const std::string& path, ConfinedRoot& below) {
    if (path.find_first_not_of("./") == std::string::npos && path.find("..") == std::string::npos) {
        below.handle = FileHandle(fcntl(root.handle.get(), F_DUPFD_CLOEXEC, 0));
        below.given_path = root.given_path;
        return below.handle.is_open() ? 0 : errno;
    }
    ConfinedEntry entry;
    if (const int code = locate_entry(root, path, false, entry); code != 0)
        return code;
    if (!entry.directory_exists)
        return ENOENT;
    below.handle =
        FileHandle(openat(entry.directory.get(), entry.name.c_str(), directory_flags | O_NOFOLLOW));
    if (!below.handle.is_open())
        return refused_as_link(errno) ? ENOTDIR : errno; // swapped for a link meanwhile
    // Named by its handle: absolute link targets are compared with where it really is.
    char real[PATH_MAX];
    const std::string own = "/proc/self/fd/" + std::to_string(below.handle.get());
    const ssize_t length = readlink(own.c_str(), real, sizeof real - 1);
    below.given_path =
        length > 0 ? std::string(real, static_cast<size_t>(length)) : root.given_path + "/" + path;
    return 0;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

int read_all(int fd, size_t limit, std::string& content) {
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return 0;
        if (content.size() + static_cast<size_t>(got) > limit)
            return EFBIG;
        content.append(buffer, static_cast<size_t>(got));
    }
}

namespace {

/// Accepts `fd` only when it is a regular file; a pipe opened without blocking
/// is refused here before anything waits on it.
int check_regular(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0)
        return errno;
    return S_ISREG(status.st_mode) ? 0 : not_regular_file;
}

} // namespace

int read_regular_file(const ConfinedEntry& entry, size_t limit, std::string& content) {
    if (!entry.directory_exists)
        return ENOENT;
    FileHandle file(openat(entry.directory.get(), entry.name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.is_open())
        return refused_as_link(errno) ? not_regular_file : errno; // swapped for a link meanwhile
    if (const int checked = check_regular(file.get()); checked != 0)
        return checked;
    return read_all(file.get(), limit, content);
}

std::string descriptor_path(int fd) {
#if defined(__linux__)
    return "/proc/self/fd/" + std::to_string(fd);
#else
    return "/dev/fd/" + std::to_string(fd);
#endif
}

int open_regular_file(const std::string& path, FileHandle& file) {
    file = FileHandle(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!file.is_open())
        return errno;
    return check_regular(file.get());
}

} // namespace quillon::files

/// Temporary file plus rename: the POSIX way to replace a file atomically.

#include "quillon/schematic/atomic_write.hpp"

#include <nanobind/nanobind.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::schematic {

namespace nb = nanobind;

namespace {

/// Distinguishes the temporary files of concurrent writers in one process.
std::atomic<unsigned long> temporary_counter{0};

/// Where and why a step failed, reported once the GIL is held again.
struct Failure {
    int error = 0;
    std::string file;
};

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// A hidden name in the target's directory, unique within this process and,
/// through the process id, among processes.
std::string temporary_name(const std::string& path) {
    return directory_of(path) + "/." + base_name_of(path) + ".tmp-" + std::to_string(getpid()) +
           "-" + std::to_string(temporary_counter.fetch_add(1));
}

/// Creates the temporary file; mode 0666 lets the umask decide, as for any new file.
int create_temporary(const std::string& path, std::string& temporary) {
    for (;;) {
        temporary = temporary_name(path);
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
}

bool write_all(int fd, const std::string& content) {
    const char* data = content.data();
    size_t left = content.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

/// Flushes the directory entry of the rename; failure here loses nothing that
/// a reader could see, so it is not reported.
void sync_directory(const std::string& path) {
    const int fd = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

Failure replace(const std::string& path, const std::string& content) {
    std::string temporary;
    const int fd = create_temporary(path, temporary);
    if (fd < 0)
        return {errno, temporary};

    auto fail = [&](const std::string& file) {
        const Failure failure{errno, file};
        close(fd);
        unlink(temporary.c_str());
        return failure;
    };
    struct stat present;
    if (stat(path.c_str(), &present) == 0 && fchmod(fd, present.st_mode & 07777) != 0)
        return fail(temporary);
    if (!write_all(fd, content) || fsync(fd) != 0)
        return fail(temporary);
    if (close(fd) != 0) {
        const Failure failure{errno, temporary};
        unlink(temporary.c_str());
        return failure;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const Failure failure{errno, path};
        unlink(temporary.c_str());
        return failure;
    }
    sync_directory(path);
    return {};
}

} // namespace

void write_file_atomically(const std::string& path, const std::string& content) {
    Failure failure;
    {
        nb::gil_scoped_release unlocked;
        failure = replace(path, content);
    }
    if (failure.error != 0) {
        errno = failure.error;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, failure.file.c_str());
        throw nb::python_error();
    }
}

} // namespace quillon::schematic

/// Temporary files plus renames, with recovery of a save that was killed.

#include "quillon/files/atomic_write.hpp"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon::files {

namespace {

std::string temporary_name(uint64_t key, size_t stage) {
    char name[48];
    std::snprintf(name, sizeof name, ".q%012llx.%zu",
                  static_cast<unsigned long long>(key & 0xffffffffffffULL), stage);
    return name;
}

bool entry_exists(const ConfinedEntry& entry, const std::string& name) {
    struct stat status;
    return fstatat(entry.directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

void remove_temporaries(uint64_t key, const std::vector<const ConfinedEntry*>& entries) {
    for (size_t i = 0; i < entries.size(); ++i)
        unlinkat(entries[i]->directory.get(), temporary_name(key, i + 1).c_str(), 0);
}

/// Writes one temporary file in full and flushes it; returns 0 or `errno`.
int write_temporary(const ConfinedEntry& entry, const std::string& temporary,
                    const std::string& content) {
    const int directory = entry.directory.get();
    FileHandle file(openat(directory, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.is_open())
        return errno;
    struct stat present;
    if (fstatat(directory, entry.name.c_str(), &present, AT_SYMLINK_NOFOLLOW) == 0 &&
        fchmod(file.get(), present.st_mode & 07777) != 0)
        return errno;
    if (!write_all(file.get(), content.data(), content.size()) || fsync(file.get()) != 0)
        return errno;
    if (close(file.release()) != 0)
        return errno;
    return 0;
}

/// Flushes a directory's entries after a rename; a failure here loses
/// nothing a reader could see, so it is not reported.
void sync_directory(const ConfinedEntry& entry) {
    FileHandle directory(openat(entry.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.is_open())
        fsync(directory.get());
}

} // namespace

uint64_t save_key(const ConfinedEntry& entry) {
    struct stat status;
    if (fstat(entry.directory.get(), &status) != 0)
        return 0;
    // FNV-1a over the directory's identity and the entry's name.
    uint64_t hash = 14695981039346656037ULL;
    auto mix = [&hash](const void* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            hash ^= static_cast<const unsigned char*>(data)[i];
            hash *= 1099511628211ULL;
        }
    };
    mix(&status.st_dev, sizeof status.st_dev);
    mix(&status.st_ino, sizeof status.st_ino);
    mix(entry.name.data(), entry.name.size());
    return hash == 0 ? 1 : hash;
}

void recover_interrupted_save(uint64_t key, const std::vector<const ConfinedEntry*>& entries) {
    if (entries.empty())
        return;
    if (entry_exists(*entries[0], temporary_name(key, 1))) {
        remove_temporaries(key, entries);
        return;
    }
    for (size_t i = 1; i < entries.size(); ++i) {
        const std::string temporary = temporary_name(key, i + 1);
        const int directory = entries[i]->directory.get();
        if (entry_exists(*entries[i], temporary) &&
            renameat(directory, temporary.c_str(), directory, entries[i]->name.c_str()) == 0)
            sync_directory(*entries[i]);
    }
}

int replace_files_atomically(uint64_t key, const std::vector<PlannedFile>& files, bool& committed) {
    committed = false;
    std::vector<const ConfinedEntry*> entries;
    for (const PlannedFile& file : files)
        entries.push_back(file.entry);
    for (size_t i = 0; i < files.size(); ++i) {
        if (const int error =
                write_temporary(*files[i].entry, temporary_name(key, i + 1), files[i].content);
            error != 0) {
            remove_temporaries(key, entries);
            return error;
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const ConfinedEntry& entry = *files[i].entry;
        const int directory = entry.directory.get();
        if (renameat(directory, temporary_name(key, i + 1).c_str(), directory,
                     entry.name.c_str()) != 0) {
            const int error = errno;
            if (i == 0)
                remove_temporaries(key, entries);
            else
                committed = true; // stage 1 is in place: recovery renames the rest
            return error;
        }
        sync_directory(entry);
    }
    return 0;
}

} // namespace quillon::files

/// The confined file walk on its own, as the editor's service runs it:
///
///     confined_walk read ROOT PATH          prints the bytes of the regular file PATH below ROOT
///     confined_walk list ROOT SUFFIX LINKS  prints the files listed below ROOT, one a line
///
/// A refusal prints one line saying why and exits with 1. Built by the tests
/// from the POSIX sources of src/files alone, with strict POSIX flags.

#include "quillon/files/confined_tree.hpp"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace quillon::files;

int refuse(int code) {
    std::printf("%s\n", describe_outcome(code).c_str());
    return 1;
}

int read(const ConfinedRoot& root, const char* path) {
    ConfinedEntry entry;
    int code = locate_entry(root, path, false, entry);
    std::string content;
    if (code == 0)
        code = read_regular_file(entry, 1 << 20, content);
    if (code != 0)
        return refuse(code);
    std::fwrite(content.data(), 1, content.size(), stdout);
    return 0;
}

int list(const ConfinedRoot& root, const char* suffix, bool links) {
    ListingOptions options;
    options.suffix = suffix;
    options.include_links = links;
    Listing listing;
    if (const int code = list_tree(root, options, listing); code != 0)
        return refuse(code);
    for (const std::string& file : listing.files)
        std::printf("%s\n", file.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const bool reading = argc == 4 && std::strcmp(argv[1], "read") == 0;
    const bool listing = argc == 5 && std::strcmp(argv[1], "list") == 0;
    if (!reading && !listing) {
        std::fputs("usage: confined_walk read ROOT PATH | list ROOT SUFFIX LINKS\n", stderr);
        return 2;
    }
    ConfinedRoot root;
    if (const int code = open_root(argv[2], root); code != 0)
        return refuse(code);
    return reading ? read(root, argv[3]) : list(root, argv[3], std::strcmp(argv[4], "1") == 0);
}

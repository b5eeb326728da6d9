/// `confined_read ROOT PATH`: reads the regular file PATH below ROOT through the
/// confined walk, as the editor's service does, and prints its bytes (exit 0)
/// or one line saying why it was refused (exit 1). Built by the tests from
/// src/schematic/confined_files.cpp alone, with strict POSIX flags.

#include "quillon/schematic/confined_files.hpp"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    using namespace quillon::schematic;
    if (argc != 3) {
        std::fputs("usage: confined_read ROOT PATH\n", stderr);
        return 2;
    }
    ConfinedRoot root;
    int code = open_root(argv[1], root);
    ConfinedEntry entry;
    if (code == 0)
        code = locate_entry(root, argv[2], false, entry);
    std::string content;
    if (code == 0)
        code = read_regular_file(entry, 1 << 20, content);
    if (code != 0) {
        std::printf("%s\n", describe_outcome(code).c_str());
        return 1;
    }
    std::fwrite(content.data(), 1, content.size(), stdout);
    return 0;
}

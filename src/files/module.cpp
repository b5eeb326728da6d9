/// quillon._files: files of a project reached only inside it, for the host's
/// Python code (the kit cache, the schemas, the editor's Python routes); the
/// service's handlers share its save locks.

#include "quillon/files/python_files.hpp"

NB_MODULE(_files, m) {
    using namespace quillon::files;
    m.doc() = "Project-confined, handle-based file access.";
    register_save_locks(m);
    register_file_operations(m);
}

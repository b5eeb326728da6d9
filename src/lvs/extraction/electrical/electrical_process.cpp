/// The electrical stage in a child process of its own, on a second core.
///
/// KLayout's extraction holds the interpreter for as long as it runs, so no
/// thread of this process could work beside it. A fork of the process can: it
/// sees the layout as it is when the check starts, finds the named instances
/// itself, runs the stage exactly as this process would, and sends the nets
/// back through a pipe, as marshal data, while this process reads the
/// reference and runs the optical stage.

#include "quillon/errors.hpp"
#include "quillon/files/confined_files.hpp"
#include "quillon/lvs/extraction/extraction.hpp"
#include "quillon/lvs/lvs.hpp"
#include "quillon/py.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace quillon::lvs {

namespace {

void close_on_exec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

[[noreturn]] void raise_os_error(const char* what) {
    PyErr_Format(PyExc_OSError, "%s: %s", what, std::strerror(errno));
    throw nb::python_error();
}

/// What the child sends: (None, nets, the electrical ports' nets) when the
/// stage ran, else (the error's type name, its module, its text). What the
/// stage built stays in `kept`.
nb::object run_stage(nb::handle cell, nb::handle electrical_layers, nb::list& kept) {
    try {
        nb::object rewrapped = deps().cell_class(nb::arg("base") = cell.attr("_base"));
        // never freed: the process ends first
        auto* named = new CellInstances;
        CellInstances::read_named(rewrapped, *named);
        nb::list nets;
        nb::dict port_endpoints;
        extract_electrical_nets(rewrapped, *named, electrical_layers, nets, &port_endpoints, &kept);
        return nb::make_tuple(nb::none(), nets, port_endpoints);
    } catch (nb::python_error& error) {
        nb::handle type = error.type();
        return nb::make_tuple(type.attr("__name__"), type.attr("__module__"),
                              nb::str(error.value()));
    } catch (const std::exception& error) {
        return nb::make_tuple("RuntimeError", "builtins", error.what());
    }
}

/// The child's whole life: it never returns to the interpreter's caller, and
/// leaves without the interpreter's shutdown, which belongs to the parent,
/// and without taking apart what it built, which ends with it.
[[noreturn]] void child(nb::handle cell, nb::handle electrical_layers, int fd, pid_t parent) {
    // Ctrl-C is the parent's to handle (it kills the child); a parent killed
    // outright takes the child with it.
    std::signal(SIGINT, SIG_IGN);
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != parent)
        _exit(1);
    int status = 1;
    nb::list kept;
    try {
        nb::object outcome = run_stage(cell, electrical_layers, kept);
        nb::bytes data =
            nb::borrow<nb::bytes>(nb::module_::import_("marshal").attr("dumps")(outcome));
        status = files::write_all(fd, data.c_str(), data.size()) ? 0 : 1;
    } catch (...) {
        status = 2;
    }
    _exit(status);
}

/// The error the child's stage raised, raised here: a built-in error type as
/// itself, any other as a RuntimeError naming it.
[[noreturn]] void raise_child_error(nb::handle outcome) {
    nb::object name = outcome[0];
    nb::object module = outcome[1];
    nb::object text = outcome[2];
    if (module.equal(nb::str("builtins"))) {
        nb::object type = nb::getattr(nb::module_::import_("builtins"), name, nb::none());
        if (PyType_Check(type.ptr()) &&
            PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()),
                             reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
            PyErr_SetObject(type.ptr(), text.ptr());
            throw nb::python_error();
        }
    }
    nb::object shown = format_text("%S: %S", name, text);
    PyErr_SetObject(PyExc_RuntimeError, shown.ptr());
    throw nb::python_error();
}

} // namespace

void ElectricalProcess::start(nb::handle cell, nb::handle electrical_layers) {
    int fds[2];
    if (pipe(fds) != 0)
        raise_os_error("cannot start the electrical stage's process");
    close_on_exec(fds[0]);
    close_on_exec(fds[1]);
    const pid_t parent = getpid();
    // forked as the interpreter forks (its locks and fork hooks), but without
    // the warning os.fork gives in a process with threads: the child runs no
    // code that another thread could hold a lock of, as this one holds the
    // interpreter
    PyOS_BeforeFork();
    const pid_t pid = fork();
    const int fork_error = errno;
    if (pid == 0) {
        PyOS_AfterFork_Child();
        close(fds[0]);
        child(cell, electrical_layers, fds[1], parent);
    }
    PyOS_AfterFork_Parent();
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        errno = fork_error;
        raise_os_error("cannot start the electrical stage's process");
    }
    child_ = pid;
    pipe_ = fds[0];
}

void ElectricalProcess::finish(nb::list nets_list, nb::dict* port_endpoints) {
    std::string data;
    char buffer[1 << 16];
    for (;;) {
        ssize_t got;
        {
            // other threads of the interpreter may run while the child works
            nb::gil_scoped_release released;
            got = read(pipe_, buffer, sizeof buffer);
        }
        if (got > 0) {
            data.append(buffer, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno == EINTR) {
            if (PyErr_CheckSignals() != 0) // Ctrl-C: the destructor stops the child
                throw nb::python_error();
        } else {
            raise_os_error("cannot read the electrical stage's nets");
        }
    }
    close(pipe_);
    pipe_ = -1;
    int status = 0;
    while (waitpid(static_cast<pid_t>(child_), &status, 0) < 0 && errno == EINTR) {
    }
    child_ = -1;
    if (WIFSIGNALED(status)) {
        nb::object shown = format_text("the electrical stage's process was killed by signal %S",
                                       nb::int_(WTERMSIG(status)));
        PyErr_SetObject(PyExc_RuntimeError, shown.ptr());
        throw nb::python_error();
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || data.empty())
        raise(PyExc_RuntimeError, "the electrical stage's process stopped without its nets");
    nb::object outcome =
        nb::module_::import_("marshal").attr("loads")(nb::bytes(data.data(), data.size()));
    if (!outcome[0].is_none())
        raise_child_error(outcome);
    nb::list nets = nb::borrow<nb::list>(outcome[1]);
    for (nb::handle net : nets)
        nets_list.append(net);
    if (port_endpoints)
        port_endpoints->update(outcome[2]);
}

ElectricalProcess::~ElectricalProcess() {
    if (pipe_ >= 0)
        close(pipe_);
    if (child_ > 0) {
        kill(static_cast<pid_t>(child_), SIGKILL);
        int status = 0;
        while (waitpid(static_cast<pid_t>(child_), &status, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace quillon::lvs

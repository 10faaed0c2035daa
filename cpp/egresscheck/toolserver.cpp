// The tool server: one process per run that has imported the tools and the
// SDK and parsed the service models once, and forks each stage's tool from
// there. A fresh interpreter spends most of a second of CPU on that before
// the tool sends its first request; a fork from the warm process spends
// milliseconds. The forked tool is the same program with the same argv,
// environment, folder and log as a started one; only its parent differs.
//
// The runner and the server talk over a Unix socket pair of packets: a
// request carries the tool's argv, folder and environment, with the log file
// and one end of a status socket pair passed along. On the status socket the
// tool itself sends {"pid"} first and {"status"} when it ends normally; the
// server sends {"status"} when it reaps the tool (the only word of a tool that
// a signal ended). A server that died leaves the status socket to the tool:
// its end of file says the tool ended.
#include <unistd.h>

#include <mutex>

#include "egresscheck/egresscheck.hpp"

using namespace glue;

namespace egresscheck {

namespace {
object *control = nullptr;  // the runner's end; leaked: it lives as long as the process
object *server = nullptr;   // the server's process
bool unavailable = false;
std::mutex starting;

const int kPacket = 1 << 20;

object socketModule() { return importModule("socket"); }

object packetPair() {
    object socket = socketModule();
    return socket.attr("socketpair")(socket.attr("AF_UNIX"), socket.attr("SOCK_SEQPACKET"));
}

void sendJson(object sock, py::dict message) { sock.attr("send")(py::bytes(jsonText(message, false))); }

// Starts the server and waits for its word that it is warm; false when it
// cannot be started (the caller starts its tools itself).
bool startServer() {
    object pair = packetPair();
    object mine = pair[py::int_(0)], theirs = pair[py::int_(1)];
    object subprocess = importModule("subprocess");
    py::list argv;
    argv.append(importModule("sys").attr("executable"));
    argv.append("-c");
    argv.append("import sys; from brimvale_testlibs.bin import egresscheck; egresscheck.serve_tools(int(sys.argv[1]))");
    argv.append(py::str(theirs.attr("fileno")()));
    object proc;
    try {
        proc = subprocess.attr("Popen")(argv, "pass_fds"_a = py::make_tuple(theirs.attr("fileno")()),
                                        "stdin"_a = subprocess.attr("DEVNULL"), "stdout"_a = subprocess.attr("DEVNULL"),
                                        "start_new_session"_a = true);
        theirs.attr("close")();
        mine.attr("settimeout")(60.0);
        if (!mine.attr("recv")(64).equal(py::bytes("ready"))) throw std::runtime_error("it ended before it was ready");
        mine.attr("settimeout")(py::none());
        server = new object(proc);
    } catch (std::exception &e) {
        auto *pe = dynamic_cast<py::error_already_set *>(&e);
        if (pe != nullptr && !pe->matches(PyExc_OSError)) throw;  // socket timeouts are OSErrors too
        say("egresscheck: note: no tool server (" + (pe ? errorText(*pe) : std::string(e.what())) +
            "); each stage starts its own interpreter");
        if (proc) {
            proc.attr("kill")();
            proc.attr("wait")();
        }
        theirs.attr("close")();
        mine.attr("close")();
        return false;
    }
    control = new object(mine);
    return true;
}

// Imports what the tools import and makes a client of every service they use
// once, so that every fork finds the modules loaded and the models parsed.
void warm() {
    for (const char *name : {"brimvale_testlibs.__main__", "brimvale_testlibs.bin.rollprobe",
                             "brimvale_testlibs.bin.cellscan", "boto3", "botocore.session", "requests", "yaml",
                             "jsonschema", "netaddr", "jinja2", "retry.api", "cachetools", "urllib3"}) {
        try {
            importModule(name);
        } catch (py::error_already_set &) {}
    }
    try {
        object session = profileSession(py::none());
        for (const char *service : {"ec2", "iam", "s3", "sts", "ssm"})
            session.attr("client")(service, "region_name"_a = "us-east-1");
    } catch (py::error_already_set &) {}  // e.g. a profile of the environment that does not exist: the tools say so
}

// The forked tool: never returns.
[[noreturn]] void runForked(py::dict request, int logFd, object status, object others) {
    int code = 70;
    try {
        object os = importModule("os"), sys = importModule("sys");
        for (auto sock : others) sock.attr("close")();
        os.attr("setsid")();
        os.attr("chdir")(request["cwd"]);
        object environ = os.attr("environ");
        environ.attr("clear")();
        environ.attr("update")(request["env"]);
        os.attr("dup2")(logFd, 1);
        os.attr("dup2")(logFd, 2);
        os.attr("close")(logFd);
        int devnull = os.attr("open")(os.attr("devnull"), os.attr("O_RDONLY")).cast<int>();
        os.attr("dup2")(devnull, 0);
        os.attr("close")(devnull);
        py::dict hello;
        hello["pid"] = os.attr("getpid")();
        sendJson(status, hello);
        try {
            object done = importModule("brimvale_testlibs.__main__").attr("main")(request["argv"]);
            code = py::isinstance<py::int_>(done) ? done.cast<int>() : 0;
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_SystemExit)) {
                object c = e.value().attr("code");
                if (c.is_none()) {
                    code = 0;
                } else if (py::isinstance<py::int_>(c)) {
                    code = c.cast<int>();
                } else {
                    importModule("builtins").attr("print")(c, "file"_a = sys.attr("stderr"));
                    code = 1;
                }
            } else {
                code = e.matches(PyExc_KeyboardInterrupt) ? 130 : 1;
                e.restore();
                PyErr_Print();
            }
        }
        // What an interpreter's end does before the process ends: wait for
        // the threads that are not daemons, run the exit handlers, flush.
        try {
            importModule("threading").attr("_shutdown")();
            importModule("atexit").attr("_run_exitfuncs")();
        } catch (py::error_already_set &) {}
        for (const char *stream : {"stdout", "stderr"}) {
            try {
                sys.attr(stream).attr("flush")();
            } catch (py::error_already_set &) {}
        }
        py::dict bye;
        bye["status"] = code;
        sendJson(status, bye);
    } catch (...) {}
    _exit(code);
}

// The next word of a forked tool: None while none came within the socket's
// timeout, {} at its end of file.
object forkedWord(object sock) {
    try {
        object data = sock.attr("recv")(kPacket);
        if (py::len(data) == 0) return py::dict();  // end of file: the tool has ended
        return importModule("json").attr("loads")(data);
    } catch (py::error_already_set &e) {
        if (e.matches(importModule("socket").attr("timeout")) || e.matches(PyExc_BlockingIOError)) return py::none();
        if (e.matches(PyExc_OSError)) return py::dict();
        throw;
    }
}

}  // namespace

object forkTool(py::list argv, const std::string &dir, object logFile) {
    object sys = importModule("sys");
    // Only the package's own tools in their module form are forked.
    if (py::len(argv) < 4 || pyText(argv[0]) != pyText(sys.attr("executable")) || pyText(argv[1]) != "-m" ||
        pyText(argv[2]) != "brimvale_testlibs")
        return py::none();
    {
        // The targets' threads share one server; the first starts it. The
        // lock is taken without the GIL, which its holder may need.
        std::unique_lock<std::mutex> guard(starting, std::defer_lock);
        {
            py::gil_scoped_release free;
            guard.lock();
        }
        if (control == nullptr && !unavailable) unavailable = !startServer();
    }
    if (control == nullptr) return py::none();
    py::dict request;
    request["argv"] = argv[py::slice(3, py::len(argv), 1)];
    request["cwd"] = py::str(dir);
    request["env"] = py::dict(importModule("os").attr("environ"));
    object pair = packetPair();
    object mine = pair[py::int_(0)], theirs = pair[py::int_(1)];
    py::list fds;
    fds.append(logFile.attr("fileno")());
    fds.append(theirs.attr("fileno")());
    try {
        py::list buffers;
        buffers.append(py::bytes(jsonText(request, false)));
        socketModule().attr("send_fds")(*control, buffers, fds);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        mine.attr("close")();
        theirs.attr("close")();
        return py::none();
    }
    theirs.attr("close")();
    // The tool's first word is its pid.
    mine.attr("settimeout")(60.0);
    object word = forkedWord(mine);
    if (word.is_none() || !word.contains("pid")) {
        mine.attr("close")();
        throw std::runtime_error("the tool server started no tool");
    }
    py::dict handle;
    handle["pid"] = word["pid"];
    handle["socket"] = mine;
    return handle;
}

object forkedStatus(py::dict handle, double timeout) {
    object sock = handle["socket"];
    sock.attr("settimeout")(timeout);
    object word = forkedWord(sock);
    if (word.is_none()) return py::none();
    sock.attr("close")();
    // A tool whose server died and that ended without a word ended badly.
    return word.contains("status") ? object(word["status"]) : object(py::int_(1));
}

void stopToolServer() {
    if (control == nullptr) return;
    control->attr("close")();
    try {
        server->attr("wait")("timeout"_a = 30);  // its CPU time then counts as the run's
    } catch (py::error_already_set &e) {
        if (!e.matches(importModule("subprocess").attr("TimeoutExpired"))) throw;
    }
    delete control;
    delete server;
    control = server = nullptr;
}

void serveTools(int fd) {
    object socket = socketModule(), os = importModule("os"), select = importModule("select");
    object ctl = socket.attr("socket")("fileno"_a = fd);
    warm();
    ctl.attr("send")(py::bytes("ready"));
    py::dict children;  // pid -> status socket
    object wnohang = os.attr("WNOHANG");
    for (;;) {
        py::list watched;
        watched.append(ctl);
        py::list ready = select.attr("select")(watched, py::list(), py::list(), 0.1)[py::int_(0)];
        if (py::len(ready) > 0) {
            object got;
            try {
                got = socket.attr("recv_fds")(ctl, kPacket, 2);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_OSError)) throw;
                break;
            }
            object data = got[py::int_(0)];
            py::list fds = got[py::int_(1)];
            if (py::len(data) == 0) break;  // the runner has ended
            if (py::len(fds) != 2) {
                for (auto f : fds) os.attr("close")(f);
                continue;
            }
            py::dict request = importModule("json").attr("loads")(data);
            int logFd = fds[0].cast<int>();
            object status = socket.attr("socket")("fileno"_a = fds[1]);
            int pid = os.attr("fork")().cast<int>();
            if (pid == 0) {
                py::list others;
                others.append(ctl);
                for (auto kv : children) others.append(kv.second);
                runForked(request, logFd, status, others);
            }
            os.attr("close")(logFd);
            children[py::int_(pid)] = status;
        }
        while (py::len(children) > 0) {
            object reaped = os.attr("waitpid")(-1, wnohang);
            int pid = reaped[py::int_(0)].cast<int>();
            if (pid == 0) break;
            if (!children.contains(py::int_(pid))) continue;
            object status = children.attr("pop")(py::int_(pid));
            py::dict word;
            word["status"] = os.attr("waitstatus_to_exitcode")(reaped[py::int_(1)]);
            try {
                sendJson(status, word);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_OSError)) throw;  // the runner stopped listening
            }
            status.attr("close")();
        }
    }
}

}  // namespace egresscheck

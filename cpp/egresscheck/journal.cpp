// The run's journal: one line per stage transition, on disk before the
// stage's side effects begin, so that a killed run can be finished.
#include "egresscheck/egresscheck.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace glue;

namespace egresscheck {

void journal(const std::string &runDir, py::dict event) {
    if (!event.contains("time")) event["time"] = now();
    std::string line = jsonText(event, false) + "\n";
    std::string path = runDir + "/journal.jsonl";
    // Written with the GIL held: lines of parallel targets never interleave.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int saved = errno;
    if (fd >= 0) ::close(fd);
    if (!ok)
        raisePy(PyExc_OSError, "cannot write the journal " + path + ": " + std::strerror(saved) +
                                   "; without it a killed run cannot be finished");
}

py::list readJournal(const std::string &runDir) {
    py::list events;
    std::string path = runDir + "/journal.jsonl";
    if (!pathExists(path)) return events;
    object f = importModule("builtins").attr("open")(path, "r", "encoding"_a = "utf-8");
    py::list lines = f.attr("read")().attr("splitlines")();
    f.attr("close")();
    for (auto line : lines) {
        try {
            events.append(importModule("json").attr("loads")(line));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;  // a line torn by a kill
        }
    }
    return events;
}

}  // namespace egresscheck

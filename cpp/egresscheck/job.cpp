// One target's job: discover, deploy, await, collect, revert, in its folder
// of the run; and the finishing of a job a killed run left.
#include "egresscheck/egresscheck.hpp"

#include <atomic>
#include <csignal>
#include <map>

using namespace glue;

namespace egresscheck {

bool releaseIdentity(py::handle target);

namespace {
std::atomic<int> stopRequest{0};
// Targets of the run per account that still need the account's instance
// identity (--ec2_role default): the last one to revert removes it. Read and
// written with the GIL held.
std::map<std::string, int> identityUsers;

std::string targetDir(const std::string &runDir, py::handle target) { return runDir + "/" + pyText(target["name"]); }

object readJsonOrNone(const std::string &path) {
    if (!pathExists(path)) return py::none();
    try {
        return readJsonFile(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

py::list listOrEmpty(object value) { return py::isinstance<py::list>(value) ? py::list(value) : py::list(); }

}  // namespace

py::dict freshPart(py::dict target) {
    py::dict part;
    part["name"] = target["name"];
    part["kind"] = target["kind"];
    part["account"] = py::str(accountOf(target));
    part["region"] = target["region"];
    part["vpc"] = target["vpc"];
    part["stages"] = py::dict();
    part["records"] = py::list();
    part["leftovers"] = py::list();
    part["errors"] = py::list();
    part["revert_command"] = py::none();
    return part;
}

namespace {

// Runs one step of a job; an error is one line in the part and the job goes
// on (the revert always runs).
bool guarded(py::dict part, const std::string &what, const std::function<void()> &step) {
    try {
        step();
        return true;
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        std::string line = pyText(part["name"]) + ": " + what + " failed: " + printable(errorText(e));
        say("  **Error** " + line);
        part["errors"].attr("append")(py::str(line));
        return false;
    }
}

// The records of a config marked with the run's record tag.
py::list taggedRecords(py::dict target, object deployed) {
    py::list out;
    object ns = importModule("types").attr("SimpleNamespace")("tag"_a = target["tag"]);
    for (auto rec : listOrEmpty(deployed)) {
        if (!hasKey(rec, "ec2_ip") || !hasKey(rec, "ec2_2nd_private_ip")) continue;
        py::dict r;
        r["tag"] = importModule(modules::kRollprobe).attr("deduceTag")(ns, rec);
        out.append(r);
    }
    return out;
}

// Collects the verdicts, reverts (unless kept) and checks what is left.
void finish(const std::string &runDir, py::dict target, py::dict part, double since, bool keep) {
    std::string dir = targetDir(runDir, target);
    py::list planned = listOrEmpty(readJsonOrNone(dir + "/b/subnet.config"));
    object deployed = readJsonOrNone(dir + "/b/out.json");
    std::string deployLog;
    if (pathExists(dir + "/deploy.log")) {
        object f = importModule("builtins")
                       .attr("open")(dir + "/deploy.log", "r", "encoding"_a = "utf-8", "errors"_a = "replace");
        deployLog = pyText(f.attr("read")());
        f.attr("close")();
    }
    object ec2 = py::none();
    guarded(part, "opening the target's session",
            [&] { ec2 = targetSession(target).attr("client")("ec2", "region_name"_a = target["region"]); });
    guarded(part, "collecting the verdicts", [&] {
        part["records"] = collectVerdicts(target, resultsS3(target), ec2, planned, deployed, since, deployLog);
    });
    if (keep) {
        part["revert_command"] = py::str("cd " + dir + " && " + commandText(revertArgv(target, false)));
        return;
    }
    py::list revert = revertArgv(target, releaseIdentity(target));
    part["stages"]["revert"] = runStage(runDir, target, "revert", revert);
    if (ec2.is_none()) {
        part["leftovers"] = listOf(py::str("unknown: the target's session could not be opened"));
        return;
    }
    if (!guarded(part, "checking what is left", [&] { part["leftovers"] = leftovers(ec2, target["vpc"]); }))
        part["leftovers"] = listOf(py::str("unknown: the inventory of the VPC failed"));
}

void writePart(const std::string &runDir, py::dict target, py::dict part) {
    writeTextAtomic(targetDir(runDir, target) + "/part.json", jsonText(part) + "\n");
    py::dict done;
    done["target"] = target["name"];
    done["stage"] = "job";
    done["event"] = "end";  // the target's part is complete
    journal(runDir, done);
}

// Stops the tools of a target that a killed run left running, and waits
// until they have ended (a deployment that goes on would launch after the revert).
void stopLeftTools(py::list events, const std::string &name) {
    object os = importModule("os");
    for (auto ev : events) {
        if (pyText(getOrNone(ev, "target")) != name || pyText(getOrNone(ev, "event")) != "pid") continue;
        int pid = ev["pid"].cast<int>();
        std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
        auto alive = [&] {
            if (!pathExists(cmdline)) return false;
            object f = importModule("builtins").attr("open")(cmdline, "rb");
            std::string text = pyText(f.attr("read")());
            f.attr("close")();
            return text.find("brimvale_testlibs") != std::string::npos;
        };
        if (!alive()) continue;
        say(name + ": stopping the " + pyText(ev["stage"]) + " stage a killed run left (pid " + std::to_string(pid) +
            ")");
        ::kill(pid, SIGTERM);
        for (int waited = 0; alive() && waited < 240; ++waited) sleepSeconds(0.5);
        if (alive()) ::kill(pid, SIGKILL);
        for (int waited = 0; alive() && waited < 20; ++waited) sleepSeconds(0.5);
    }
}
}  // namespace

int stopSignal() { return stopRequest.load(); }

void holdIdentity(py::handle target) {
    if (pyText(getOrNone(target, "ec2_role")) == "default") ++identityUsers[accountOf(target)];
}

bool releaseIdentity(py::handle target) {
    if (pyText(getOrNone(target, "ec2_role")) != "default") return false;
    auto found = identityUsers.find(accountOf(target));
    if (found == identityUsers.end() || found->second <= 0) return false;
    return --found->second == 0;
}

void installStopHandlers() {
    py::cpp_function handler([](int sig, py::object) {
        if (stopRequest.load()) {
            // A second signal ends at once; the journal lets `resume` finish.
            say("egresscheck: second signal: ending now; finish with: egresscheck resume <run-dir>");
            importModule("os").attr("_exit")(128 + sig);
        }
        stopRequest.store(sig);
        say("egresscheck: stop requested: no new stage starts; what was deployed is reverted");
    });
    object signal = importModule("signal");
    signal.attr("signal")(signal.attr("SIGINT"), handler);
    signal.attr("signal")(signal.attr("SIGTERM"), handler);
}

py::dict runTarget(const std::string &runDir, py::dict target, bool keep) {
    std::string name = pyText(target["name"]);
    std::string dir = targetDir(runDir, target);
    makeDirs(dir + "/b");
    writeTextAtomic(dir + "/target.json", jsonText(target) + "\n");
    py::dict part = freshPart(target);
    if (stopSignal()) {
        part["errors"].attr("append")(py::str(name + ": not started: the run was stopped"));
        writePart(runDir, target, part);
        return part;
    }
    if (target.contains("history")) importModule("shutil").attr("copyfile")(target["history"], dir + "/b/history.json");

    // Discovery, with the controller password in a private file for the run of cellscan.
    std::string passwordFile = pyText(getOrNone(target, "controller_password_file"));
    bool ownFile = false;
    if (target.contains("controller_password_env")) {
        object value = importModule("os").attr("environ").attr("get")(target["controller_password_env"]);
        if (value.is_none()) {
            std::string line = name + ": discover failed: environment variable " +
                               pyText(target["controller_password_env"]) + " is not set";
            say("  **Error** " + line);
            part["errors"].attr("append")(py::str(line));
            writePart(runDir, target, part);
            return part;
        }
        passwordFile = dir + "/.controller-password";
        writeTextAtomic(passwordFile, pyText(value) + "\n", 0600);
        ownFile = true;
    }
    py::dict discover = runStage(runDir, target, "discover", discoverArgv(target, passwordFile));
    if (ownFile) importModule("os").attr("unlink")(passwordFile);
    part["stages"]["discover"] = discover;
    py::list planned = listOrEmpty(readJsonOrNone(dir + "/b/subnet.config"));
    if (py::len(planned) == 0 || stopSignal()) {
        guarded(part, "collecting the verdicts", [&] {
            part["records"] = collectVerdicts(target, py::none(), py::none(), planned, py::none(), now(), "");
        });
        if (py::len(planned) == 0)
            part["errors"].attr("append")(
                py::str(name + ": discovery wrote no test config (see " + name + "/discover.log)"));
        writePart(runDir, target, part);
        return part;
    }

    double since = now();
    target["expires"] = py::str(isoTime(since + target["deadline"].cast<double>() + 1800));
    writeTextAtomic(dir + "/target.json", jsonText(target) + "\n");
    part["stages"]["deploy"] = runStage(runDir, target, "deploy", deployArgv(target));
    py::list deployed = taggedRecords(target, readJsonOrNone(dir + "/b/out.json"));
    if (!stopSignal() && py::len(deployed) > 0) {
        guarded(part, "awaiting the verdicts", [&] {
            py::dict waited = awaitVerdicts(name, resultsS3(target), target["s3_bucket"], deployed, since,
                                            target["deadline"].cast<double>());
            py::dict stage;
            stage["start"] = now() - waited["seconds"].cast<double>();
            stage["end"] = now();
            stage["status"] = py::len(waited["found"]) == py::len(deployed) ? 0 : 1;
            stage["polls"] = waited["polls"];
            stage["requests"] = waited["requests"];
            stage["log"] = py::none();
            part["stages"]["await"] = stage;
        });
    }
    finish(runDir, target, part, since, keep);
    writePart(runDir, target, part);
    return part;
}

py::dict resumeTarget(const std::string &runDir, py::dict target, py::list events) {
    std::string name = pyText(target["name"]);
    bool deployBegun = false, reverted = false;
    double since = now();
    for (auto ev : events) {
        if (pyText(getOrNone(ev, "target")) != name) continue;
        std::string stage = pyText(getOrNone(ev, "stage")), event = pyText(getOrNone(ev, "event"));
        if (stage == "deploy" && event == "begin") {
            deployBegun = true;
            since = ev["time"].cast<double>();
        }
        if (stage == "revert" && event == "end" && pyEquals(getOrNone(ev, "status"), py::int_(0))) reverted = true;
    }
    object existing = readJsonOrNone(targetDir(runDir, target) + "/part.json");
    if (!existing.is_none() && (reverted || !deployBegun)) return existing;
    stopLeftTools(events, name);
    py::dict part = existing.is_none() ? freshPart(target) : py::dict(existing);
    if (!deployBegun) {
        py::list planned = listOrEmpty(readJsonOrNone(targetDir(runDir, target) + "/b/subnet.config"));
        guarded(part, "collecting the verdicts", [&] {
            part["records"] = collectVerdicts(target, py::none(), py::none(), planned, py::none(), now(), "");
        });
        part["errors"].attr("append")(py::str(name + ": the run ended before the deployment"));
    } else {
        say(name + ": finishing the job of a run that ended: verdicts so far, then the revert");
        finish(runDir, target, part, since, false);
    }
    writePart(runDir, target, part);
    return part;
}

}  // namespace egresscheck

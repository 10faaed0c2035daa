// The stages' tools: their command lines and their processes.
#include <functional>

#include "egresscheck/egresscheck.hpp"

using namespace glue;

namespace egresscheck {

namespace {
// The tools through the package's module form: the interpreter of this run.
py::list toolArgv(const char *tool) {
    py::list argv;
    argv.append(importModule("sys").attr("executable"));
    argv.append("-m");
    argv.append("brimvale_testlibs");
    argv.append(tool);
    return argv;
}

void add(py::list argv, const char *flag, py::handle value) {
    argv.append(flag);
    argv.append(value);
}

// One journal line of a target's stage.
py::dict stageEvent(const std::string &target, const char *stage, const char *event) {
    py::dict e;
    e["target"] = target;
    e["stage"] = stage;
    e["event"] = event;
    return e;
}

void addIfGiven(py::list argv, py::dict target, const char *key, const char *flag) {
    if (target.contains(key)) add(argv, flag, target[key]);
}

// The identity options of both tools.
void addCredentials(py::list argv, py::dict target) {
    addIfGiven(argv, target, "assume_role", "--assume_role");
    addIfGiven(argv, target, "profile", "--profile");
}

// --tag_resource of a deployment: the operator's tags, then the run's own.
std::string resourceTags(py::dict target) {
    std::string text;
    auto pair = [&](const std::string &k, const std::string &v) { text += (text.empty() ? "" : ",") + k + "," + v; };
    if (target.contains("tag_resource"))
        for (auto kv : target["tag_resource"].cast<py::dict>()) pair(pyText(kv.first), pyText(kv.second));
    pair("brimvale-run", pyText(target["run_id"]));
    pair("brimvale-expires", pyText(target["expires"]));
    return text;
}
}  // namespace

py::list discoverArgv(py::dict target, const std::string &passwordFile) {
    py::list argv = toolArgv("cellscan");
    add(argv, "--vpc", target["vpc"]);
    addCredentials(argv, target);
    add(argv, "--region", target["region"]);
    add(argv, "--backup_folder", py::str("b"));
    add(argv, "--output_test_config", py::str("subnet.config"));
    if (pyText(target["kind"]) == "natgw") {
        addIfGiven(argv, target, "s3_bucket", "--s3_bucket");
        argv.append("natgw");
        return argv;
    }
    argv.append("spoke");
    add(argv, "--controller_ip", target["controller_ip"]);
    add(argv, "--controller_user", target["controller_user"]);
    // The password reaches the tool through a private file, never its argv.
    add(argv, "--controller_password_file", py::str(passwordFile));
    add(argv, "--spoke_gw_name", target["spoke_gw_name"]);
    if (truthy(getOrNone(target, "horizontal_scaling"))) argv.append("--horizontal_scaling");
    return argv;
}

py::list deployArgv(py::dict target) {
    py::list argv = toolArgv("rollprobe");
    add(argv, "--test_config", py::str("b/subnet.config"));
    add(argv, "--output_test_config", py::str("b/out.json"));
    add(argv, "--backup_folder", py::str("b"));
    add(argv, "--region", target["region"]);
    addCredentials(argv, target);
    add(argv, "--s3_bucket", target["s3_bucket"]);
    add(argv, "--tag", target["tag"]);
    add(argv, "--tag_resource", py::str(resourceTags(target)));
    if (truthy(getOrNone(target, "eip"))) argv.append("--eip");
    addIfGiven(argv, target, "ec2_role", "--ec2_role");
    addIfGiven(argv, target, "image", "--image");
    addIfGiven(argv, target, "instance_type", "--instance_type");
    addIfGiven(argv, target, "key_name", "--key_name");
    addIfGiven(argv, target, "workflow_account_role", "--workflow_account_role");
    return argv;
}

py::list revertArgv(py::dict target, bool removeIdentity) {
    py::list argv = toolArgv("rollprobe");
    argv.append("--revert");
    add(argv, "--test_config", py::str("b/subnet.config"));
    add(argv, "--backup_folder", py::str("b"));
    add(argv, "--region", target["region"]);
    addCredentials(argv, target);
    add(argv, "--s3_bucket", target["s3_bucket"]);
    if (truthy(getOrNone(target, "eip"))) argv.append("--eip");
    // The account's instance identity goes with its last target only.
    if (removeIdentity && pyText(getOrNone(target, "ec2_role")) == "default")
        add(argv, "--ec2_role", py::str("default"));
    return argv;
}

std::string commandText(py::list argv) {
    py::list shown;
    shown.append(argv[0]);
    for (size_t i = 1; i < py::len(argv); ++i) shown.append(argv[i]);
    return pyText(importModule("shlex").attr("join")(shown));
}

py::dict runStage(const std::string &runDir, py::dict target, const char *stage, py::list argv) {
    object subprocess = importModule("subprocess");
    std::string name = pyText(target["name"]);
    std::string dir = runDir + "/" + name;
    std::string logPath = dir + "/" + stage + ".log";
    py::dict record;
    record["start"] = now();
    record["log"] = py::str(name + "/" + stage + ".log");
    record["command"] = py::str(commandText(argv));
    journal(runDir, stageEvent(name, stage, "begin"));
    object log = importModule("builtins").attr("open")(logPath, "wb");
    // The tool runs forked from the run's tool server or, where none runs, in
    // an interpreter of its own; both end the same way.
    std::function<object(double)> poll;
    object pidOf;
    try {
        object forked = forkTool(argv, dir, log);
        if (!forked.is_none()) {
            py::dict handle = forked;
            pidOf = handle["pid"];
            poll = [handle](double timeout) { return forkedStatus(handle, timeout); };
        } else {
            object proc =
                subprocess.attr("Popen")(argv, "cwd"_a = dir, "stdout"_a = log, "stderr"_a = subprocess.attr("STDOUT"),
                                         "stdin"_a = subprocess.attr("DEVNULL"), "start_new_session"_a = true);
            pidOf = proc.attr("pid");
            poll = [proc, subprocess](double timeout) -> object {
                try {
                    proc.attr("wait")("timeout"_a = timeout);
                } catch (py::error_already_set &e) {
                    if (!e.matches(subprocess.attr("TimeoutExpired"))) throw;
                    return py::none();
                }
                return proc.attr("returncode");
            };
        }
    } catch (std::exception &e) {
        log.attr("close")();
        auto *pe = dynamic_cast<py::error_already_set *>(&e);
        if (pe != nullptr && !pe->matches(PyExc_OSError)) throw;
        record["end"] = now();
        record["status"] = 127;
        say("  **Error** " + name + ": cannot start the " + stage + " stage: " + (pe ? errorText(*pe) : e.what()));
        return record;
    }
    log.attr("close")();
    py::dict pid = stageEvent(name, stage, "pid");
    pid["pid"] = pidOf;
    journal(runDir, pid);
    bool forwarded = false;
    bool stoppable = std::string(stage) != "revert";
    object status;
    while ((status = poll(0.5)).is_none()) {
        if (stoppable && stopSignal() && !forwarded) {
            try {
                importModule("os").attr("kill")(pidOf, importModule("signal").attr("SIGTERM"));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_OSError)) throw;  // it has just ended
            }
            forwarded = true;
        }
    }
    record["end"] = now();
    record["status"] = status;
    py::dict end = stageEvent(name, stage, "end");
    end["status"] = status;
    journal(runDir, end);
    return record;
}

}  // namespace egresscheck

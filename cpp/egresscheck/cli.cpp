// The command line: run, results, resume, report, sweep.
#include "egresscheck/egresscheck.hpp"

#include <ctime>
#include <map>
#include <regex>

using namespace glue;

namespace egresscheck {

namespace {
void targetOptions(object p) {
    auto text = [&](const char *flag, const char *help) { p.attr("add_argument")(flag, "help"_a = help); };
    auto flag = [&](const char *name, const char *help) {
        p.attr("add_argument")(name, "action"_a = "store_true", "default"_a = false, "help"_a = help);
    };
    text("--name", "the target's name in the reports (default: the VPC id)");
    text("--vpc", "VPC id");
    text("--region", "AWS region");
    text("--profile", "AWS credentials profile");
    text("--assume_role", "IAM role ARN of discovery and deployment");
    text("--workflow_account_role", "as rollprobe's option");
    text("--key_name", "as rollprobe's option");
    text("--s3_bucket", "results bucket");
    flag("--eip", "use elastic IPs");
    text("--ec2_role", "the test instances' role (\"default\": the tool's own)");
    text("--tag_resource", "operator tags key,value,... of everything created");
    text("--image", "image name");
    text("--instance_type", "instance type");
    text("--controller_ip", "controller address (spoke)");
    text("--controller_user", "controller user (spoke)");
    text("--controller_password_file", "file whose first line is the controller password (mode 0600)");
    text("--controller_password_env", "environment variable holding the controller password");
    text("--spoke_gw_name", "spoke gateway name (spoke)");
    flag("--horizontal_scaling", "horizontally scaled spoke");
    text("--history", "history file of NAT discovery");
    p.attr("add_argument")("--deadline", "type"_a = importModule("builtins").attr("int"),
                           "help"_a = "seconds to wait for verdicts after the deployment (default 900)");
}

void reportOptions(object p) {
    p.attr("add_argument")("--junit", "help"_a = "write a JUnit report to this file");
    p.attr("add_argument")("--json", "help"_a = "write the JSON report to this file");
}

object buildParser() {
    object argparse = importModule("argparse");
    object p = argparse.attr("ArgumentParser")(
        "prog"_a = "egresscheck", "description"_a = "Tests the egress paths of VPCs end to end: discovery, "
                                                    "deployment, verdicts, reports, clean-up.");
    object sub = p.attr("add_subparsers")("dest"_a = "command");
    object integer = importModule("builtins").attr("int");

    object run = sub.attr("add_parser")("run", "help"_a = "test the targets of an inventory, or one VPC");
    run.attr("add_argument")("kind", "nargs"_a = "?", "choices"_a = py::make_tuple("natgw", "spoke"),
                             "help"_a = "one VPC given by the options below, without an inventory");
    run.attr("add_argument")("--inventory", "help"_a = "YAML (or JSON) inventory of targets");
    run.attr("add_argument")("--only", "nargs"_a = "+", "help"_a = "run only these targets");
    run.attr("add_argument")("--target", "help"_a = "run one target's job into --run_dir (for workflow engines)");
    run.attr("add_argument")("--run_dir", "help"_a = "the run folder (default egresscheck-runs/<run id>)");
    run.attr("add_argument")("--dry_run", "action"_a = "store_true",
                             "help"_a = "validate, resolve credentials, print the plan; create nothing");
    run.attr("add_argument")("--keep", "action"_a = "store_true",
                             "help"_a = "do not revert; the report gives the revert command");
    run.attr("add_argument")("--report_s3", "help"_a = "also upload the reports to s3://bucket/prefix");
    run.attr("add_argument")("--parallel", "type"_a = integer, "default"_a = 4, "help"_a = "targets at once");
    run.attr("add_argument")("--per_account", "type"_a = integer, "default"_a = 2,
                             "help"_a = "targets at once per account and region");
    reportOptions(run);
    targetOptions(run);

    object results = sub.attr("add_parser")("results", "help"_a = "verdicts of a deployment made with the tools");
    results.attr("add_argument")("--test_config", "required"_a = true, "help"_a = "rollprobe's output test config");
    results.attr("add_argument")("--s3_bucket", "required"_a = true, "help"_a = "results bucket");
    results.attr("add_argument")("--tag", "default"_a = "", "help"_a = "the deployment's --tag");
    results.attr("add_argument")("--wait", "type"_a = importModule("builtins").attr("float"), "default"_a = 0.0,
                                 "help"_a = "seconds to wait for missing verdicts");
    results.attr("add_argument")("--region", "help"_a = "region of the instances (console output as evidence)");
    results.attr("add_argument")("--profile", "help"_a = "AWS credentials profile");
    results.attr("add_argument")("--assume_role", "help"_a = "role to read the instances with");
    reportOptions(results);

    for (const char *name : {"resume", "report"}) {
        object r = sub.attr("add_parser")(name, "help"_a = std::string(name) == "resume"
                                                               ? "finish a run that ended: revert, verdicts, reports"
                                                               : "merge the targets' parts into the run's reports");
        r.attr("add_argument")("run_dir", "help"_a = "the run folder");
        r.attr("add_argument")("--report_s3", "help"_a = "also upload the reports to s3://bucket/prefix");
        if (std::string(name) == "report")
            r.attr("add_argument")("--release_identities", "action"_a = "store_true",
                                   "help"_a = "remove each account's instance identity (ec2_role default) once "
                                              "every mapped job of the run has ended");
        reportOptions(r);
    }

    object sw = sub.attr("add_parser")("sweep", "help"_a = "find (and remove) what runs left behind");
    sw.attr("add_argument")("--inventory", "required"_a = true, "help"_a = "the inventory whose VPCs to search");
    sw.attr("add_argument")("--only", "nargs"_a = "+", "help"_a = "only these targets' VPCs");
    sw.attr("add_argument")("--older_than", "help"_a = "also what is older than this (e.g. 2h, 30m, 1d)");
    sw.attr("add_argument")("--apply", "action"_a = "store_true", "help"_a = "remove it (rollprobe's revert)");
    return p;
}

std::string newRunId() {
    std::time_t t = std::time(nullptr);
    char stamp[32];
    std::tm parts{};
    gmtime_r(&t, &parts);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &parts);
    return std::string(stamp) + "-" + pyText(importModule("secrets").attr("token_hex")(2));
}

void checkReportS3(object value) {
    if (value.is_none()) return;
    std::string uri = pyText(value);
    static const std::regex s3(R"(s3://[a-z0-9][a-z0-9.-]{1,61}[a-z0-9](/.*)?)");
    if (!std::regex_match(uri, s3)) usageError("--report_s3 " + uri + ": use s3://bucket/prefix");
}

// Refuses a report file whose folder cannot take it, before anything is made.
void checkReportFiles(object args) {
    for (const char *key : {"junit", "json"}) {
        object path = option(args, key);
        if (path.is_none()) continue;
        object ospath = importModule("os.path");
        std::string folder = pyText(ospath.attr("dirname")(ospath.attr("abspath")(path)));
        if (!truthy(ospath.attr("isdir")(folder)) && pathExists(folder))
            usageError("--" + std::string(key) + " " + pyText(path) + ": " + folder + " is not a folder");
    }
}

void writeRunFile(const std::string &runDir, py::dict run) {
    writeTextAtomic(runDir + "/run.json", jsonText(run) + "\n");
}

// Threads of the run's targets, at most `parallel` at once and `perAccount`
// per account and region.
void runPool(const std::string &runDir, py::list targets, int parallel, int perAccount, bool keep) {
    object threading = importModule("threading");
    object all = threading.attr("BoundedSemaphore")(parallel);
    std::map<std::string, object> accounts;
    for (auto t : targets) {
        std::string key = accountOf(t) + " " + pyText(t["region"]);
        if (!accounts.count(key)) accounts[key] = threading.attr("BoundedSemaphore")(perAccount);
    }
    std::vector<object> threads;
    for (auto t : targets) {
        object mine = accounts[accountOf(t) + " " + pyText(t["region"])];
        py::dict target = t.cast<py::dict>();
        py::cpp_function body([runDir, target, mine, all, keep]() {
            // One account's semaphore first, then a slot of the run.
            mine.attr("acquire")();
            all.attr("acquire")();
            try {
                runTarget(runDir, target, keep);
            } catch (py::error_already_set &e) {
                say("  **Error** " + pyText(target["name"]) + ": the job stopped: " + printable(errorText(e)));
                if (!isExit(e)) printTraceback(e);
            }
            all.attr("release")();
            mine.attr("release")();
        });
        threads.push_back(threading.attr("Thread")("target"_a = body, "name"_a = target["name"]));
    }
    for (auto &t : threads) t.attr("start")();
    for (auto &t : threads)
        while (truthy(t.attr("is_alive")())) t.attr("join")(0.5);  // signals reach the main thread
}

void printPlan(const std::string &runDir, py::list targets) {
    std::string out = "plan of run " + pyText(targets[0]["run_id"]) + " (folder " + runDir + "):\n";
    int status = 0;
    for (auto t : targets) {
        py::dict target = t.cast<py::dict>();
        target["expires"] = "<deployment time + deadline + 30 min>";
        std::string who;
        try {
            object sts = targetSession(target).attr("client")("sts", "region_name"_a = target["region"]);
            who = pyText(sts.attr("get_caller_identity")()["Arn"]);
        } catch (py::error_already_set &e) {
            if (isExit(e)) throw;
            who = "FAILED: " + printable(errorText(e));
            status = 1;
        }
        out += "  target " + pyText(target["name"]) + ": " + pyText(target["kind"]) + " " + pyText(target["vpc"]) +
               " in " + pyText(target["region"]) + ", account " + accountOf(target) + " (credentials: " + who + ")\n";
        std::string dir = "cd " + runDir + "/" + pyText(target["name"]) + " && ";
        out += "    discover: " + dir + commandText(discoverArgv(target, "<private password file>")) + "\n";
        out += "    deploy:   " + dir + commandText(deployArgv(target)) + "\n";
        out += "    await:    result-<gateway>-" + pyText(target["tag"]) + ".txt in s3://" +
               pyText(target["s3_bucket"]) + " for up to " + pyText(target["deadline"]) + " s\n";
        out += "    revert:   " + dir + commandText(revertArgv(target, true)) + "\n";
    }
    importModule("sys").attr("stdout").attr("write")(out);
    exitProcess(status);
}

void runCommand(object parser, object args) {
    bool hasInventory = isGiven(args, "inventory");
    if (hasInventory == !option(args, "kind").is_none())
        parser.attr("error")("run needs --inventory or natgw|spoke with the target's options (not both)");
    if (option(args, "parallel").cast<int>() < 1 || option(args, "per_account").cast<int>() < 1)
        parser.attr("error")("--parallel and --per_account must be at least 1");
    bool single = isGiven(args, "target");
    if (single && !isGiven(args, "run_dir")) parser.attr("error")("--target needs --run_dir");
    checkReportS3(option(args, "report_s3"));
    checkReportFiles(args);
    py::list targets = hasInventory ? loadInventory(pyText(option(args, "inventory"))) : targetsFromOptions(args);
    targets = selectTargets(targets, single ? object(listOf(option(args, "target"))) : option(args, "only"));
    std::string runDir = isGiven(args, "run_dir") ? pyText(option(args, "run_dir")) : "egresscheck-runs/" + newRunId();
    while (runDir.size() > 1 && runDir.back() == '/') runDir.pop_back();
    std::string runId = pyText(importModule("os.path").attr("basename")(runDir));
    static const std::regex safe("[A-Za-z0-9._-]+");
    if (!std::regex_match(runId, safe)) usageError("--run_dir " + runDir + ": its name must be of [A-Za-z0-9._-]");
    for (auto t : targets) {
        t["run_id"] = py::str(runId);
        t["tag"] = py::str(runId + "." + pyText(t["name"]));
    }
    if (truthy(option(args, "dry_run"))) printPlan(runDir, targets);

    makeDirs(runDir);
    py::list names;
    for (auto t : targets) names.append(t["name"]);
    if (!single && pathExists(runDir + "/run.json"))
        usageError("run folder " + runDir + " holds a run already: finish it with egresscheck resume " + runDir);
    if (!pathExists(runDir + "/run.json")) {
        py::dict run;
        run["run_id"] = py::str(runId);
        run["started"] = now();
        run["targets"] = names;
        writeRunFile(runDir, run);
    }
    installStopHandlers();
    if (!single)
        for (auto t : targets) holdIdentity(t);
    runPool(runDir, targets, option(args, "parallel").cast<int>(), option(args, "per_account").cast<int>(),
            truthy(option(args, "keep")));
    py::dict run = readJsonFile(runDir + "/run.json");
    if (single) {
        // A mapped job: its own part in the console; `report` merges them.
        py::list known = getOrNone(run, "targets").is_none() ? py::list() : py::list(run["targets"]);
        if (!known.contains(names[0])) known.append(names[0]);
        run["targets"] = known;
    }
    run["ended"] = now();
    if (stopSignal()) run["interrupted"] = stopSignal();
    writeRunFile(runDir, run);
    py::dict doc = mergeParts(runDir);
    if (single) {
        py::list mine;
        for (auto t : doc["targets"].cast<py::list>())
            if (names.contains(t["name"])) mine.append(t);
        doc["targets"] = mine;
        writeReports(doc, "", option(args, "junit"), option(args, "json"), py::none());
    } else {
        writeReports(doc, runDir, option(args, "junit"), option(args, "json"), option(args, "report_s3"));
    }
    exitProcess(documentStatus(doc));
}

void resultsCommand(object args) {
    std::string path = pyText(option(args, "test_config"));
    object records;
    try {
        records = readJsonFile(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        usageError("--test_config " + path + ": " + printable(errorText(e)));
    }
    if (!py::isinstance<py::list>(records) || py::len(records) == 0)
        usageError("--test_config " + path + ": not a list of test records");
    if (!isBucketName(option(args, "s3_bucket"))) usageError("--s3_bucket: not a bucket name");
    if (!isSafeName(option(args, "tag")) && truthy(option(args, "tag")))
        usageError("--tag: characters outside [A-Za-z0-9._:-]");
    py::dict target;
    target["name"] = importModule("os.path").attr("basename")(path);
    target["s3_bucket"] = option(args, "s3_bucket");
    target["tag"] = option(args, "tag");
    target["deadline"] = static_cast<long>(option(args, "wait").cast<double>());
    target["kind"] = "deployment";
    target["region"] = option(args, "region");
    for (const char *key : {"profile", "assume_role"})
        if (isGiven(args, key)) target[key] = option(args, key);
    object s3 = resultsS3(target);
    object ec2 = py::none();
    if (isGiven(args, "region")) {
        try {
            ec2 = targetSession(target).attr("client")("ec2", "region_name"_a = target["region"]);
            object subnet = records.cast<py::list>()[0]["gw_subnet_id"];
            target["vpc"] =
                ec2.attr("describe_subnets")("SubnetIds"_a = listOf(subnet))["Subnets"][py::int_(0)]["VpcId"];
        } catch (py::error_already_set &e) {
            if (!isAwsError(e)) throw;
            say("  **Error** the instances cannot be read (no console evidence): " + printable(errorText(e)));
            ec2 = py::none();
        }
    }
    if (!target.contains("vpc")) target["vpc"] = py::none();
    double started = now();
    if (option(args, "wait").cast<double>() > 0) {
        py::list tagged;
        object ns = importModule("types").attr("SimpleNamespace")("tag"_a = target["tag"]);
        for (auto rec : records.cast<py::list>())
            if (hasKey(rec, "ec2_ip")) {
                py::dict r;
                r["tag"] = importModule(modules::kRollprobe).attr("deduceTag")(ns, rec);
                tagged.append(r);
            }
        installStopHandlers();
        awaitVerdicts(pyText(target["name"]), s3, target["s3_bucket"], tagged, 0, option(args, "wait").cast<double>());
    }
    py::dict part = freshPart(target);
    part["records"] = collectVerdicts(target, s3, ec2, records, records, 0, "");
    py::dict doc;
    doc["schema"] = 1;
    doc["run_id"] = "results";
    doc["started"] = py::str(isoTime(started));
    doc["ended"] = py::str(isoTime(now()));
    doc["seconds"] = now() - started;
    doc["interrupted"] = py::none();
    doc["targets"] = listOf(part);
    writeReports(doc, "", option(args, "junit"), option(args, "json"), py::none());
    exitProcess(documentStatus(doc));
}

py::list runTargets(const std::string &runDir) {
    py::list targets;
    py::dict run = readJsonFile(runDir + "/run.json");
    for (auto name : py::list(run["targets"])) {
        std::string path = runDir + "/" + pyText(name) + "/target.json";
        if (pathExists(path)) targets.append(readJsonFile(path));
    }
    return targets;
}

void resumeCommand(object args) {
    std::string runDir = pyText(option(args, "run_dir"));
    if (!pathExists(runDir + "/run.json")) usageError(runDir + " is not a run folder (no run.json)");
    checkReportS3(option(args, "report_s3"));
    installStopHandlers();
    py::list events = readJournal(runDir);
    py::list targets = runTargets(runDir);
    for (auto t : targets) holdIdentity(t);
    for (auto t : targets) resumeTarget(runDir, t.cast<py::dict>(), events);
    py::dict run = readJsonFile(runDir + "/run.json");
    if (getOrNone(run, "ended").is_none()) run["ended"] = now();
    run["resumed"] = now();
    writeRunFile(runDir, run);
    py::dict doc = mergeParts(runDir);
    writeReports(doc, runDir, option(args, "junit"), option(args, "json"), option(args, "report_s3"));
    exitProcess(documentStatus(doc));
}

void reportCommand(object args) {
    std::string runDir = pyText(option(args, "run_dir"));
    if (!pathExists(runDir + "/run.json")) usageError(runDir + " is not a run folder (no run.json)");
    checkReportS3(option(args, "report_s3"));
    if (truthy(option(args, "release_identities"))) {
        // Mapped jobs leave the account's identity to the run's end: one
        // revert per account (nothing else of its target is left by then).
        py::set done;
        for (auto t : runTargets(runDir)) {
            if (pyText(getOrNone(t, "ec2_role")) != "default" || done.contains(py::str(accountOf(t)))) continue;
            done.add(py::str(accountOf(t)));
            py::dict rec = runStage(runDir, t.cast<py::dict>(), "identity", revertArgv(t.cast<py::dict>(), true));
            if (rec["status"].cast<int>() != 0)
                say("  **Error** the instance identity of account " + accountOf(t) + " was not removed (see " +
                    pyText(rec["log"]) + ")");
        }
    }
    py::dict doc = mergeParts(runDir);
    writeReports(doc, runDir, option(args, "junit"), option(args, "json"), option(args, "report_s3"));
    exitProcess(documentStatus(doc));
}
}  // namespace

object moduleAttr(const char *name) { return importModule("brimvale_testlibs.bin.egresscheck").attr(name); }

void say(const std::string &line) {
    object err = importModule("sys").attr("stderr");
    err.attr("write")(line + "\n");
    err.attr("flush")();
}

void usageError(const std::string &msg) {
    say("egresscheck: error: " + msg);
    exitProcess(kUsage);
}

double now() { return importModule("time").attr("time")().cast<double>(); }

std::string isoTime(double epoch) {
    std::time_t t = static_cast<std::time_t>(epoch);
    char text[32];
    std::tm parts{};
    gmtime_r(&t, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

void main() {
    object parser = buildParser();
    object args = parser.attr("parse_args")();
    std::string command = pyText(option(args, "command"));
    if (option(args, "command").is_none())
        parser.attr("error")("a command is required: run, results, resume, report or sweep");
    if (command == "run" || command == "resume") {
        try {
            command == "run" ? runCommand(parser, args) : resumeCommand(args);
        } catch (...) {
            stopToolServer();  // the commands end with SystemExit
            throw;
        }
        stopToolServer();
    }
    if (command == "results") resultsCommand(args);
    if (command == "report") reportCommand(args);
    if (command == "sweep") {
        py::list targets = selectTargets(loadInventory(pyText(option(args, "inventory"))), option(args, "only"));
        exitProcess(sweep(targets, option(args, "older_than"), truthy(option(args, "apply"))));
    }
}

}  // namespace egresscheck

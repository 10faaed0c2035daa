// The whole egress test as one command: discovery, deployment, verdicts,
// reports and revert per target, each stage the real tool in its own process.
#pragma once

#include "glue/glue.hpp"

#include <string>

namespace egresscheck {

namespace py = pybind11;
using py::object;

// Exit statuses of a run.
constexpr int kAllPassed = 0;
constexpr int kNotPassed = 1;
constexpr int kUsage = 2;
constexpr int kCleanupIncomplete = 3;

// Verdict kinds of a record.
inline const char *kPass = "PASS";
inline const char *kFail = "FAIL";
inline const char *kNoResult = "NO_RESULT";
inline const char *kNotDeployed = "NOT_DEPLOYED";

// An attribute of this module (constants an importing caller may replace).
object moduleAttr(const char *name);
// One line on stderr (progress and refusals; reports go to stdout).
void say(const std::string &line);
// One refusal line on stderr, then exit status 2.
[[noreturn]] void usageError(const std::string &msg);
// Seconds since the epoch, and the ISO 8601 UTC text of such a time.
double now();
std::string isoTime(double epoch);

// ---- inventory (inventory.cpp) -----------------------------------------------------

// The targets of an inventory file, validated (JSON Schema, unique names, no
// password in it) with the defaults merged in; any problem is one line naming
// the target and the key, exit 2.
py::list loadInventory(const std::string &path);
// The one target of `run natgw|spoke` given on the command line.
py::list targetsFromOptions(object args);
// The targets named by --only (all when None); an unknown name is exit 2.
py::list selectTargets(py::list targets, object only);
// The account a target works in (the assumed role's, or its profile's).
std::string accountOf(py::handle target);

// ---- journal (journal.cpp) -----------------------------------------------------------

// Appends one event (a JSON object) to <runDir>/journal.jsonl, flushed and
// fsynced before it returns.
void journal(const std::string &runDir, py::dict event);
// The events of a run folder's journal, in order (a torn last line is skipped).
py::list readJournal(const std::string &runDir);

// ---- the tools (stages.cpp) ------------------------------------------------------------

// Runs one stage's tool in its own process (own session) inside `dir`, its
// output in <dir>/<stage>.log; its pid goes to the journal. Returns the stage
// record (start, end, status, log). A stop request sends SIGTERM to discovery
// and deployment; a revert always runs to its end.
py::dict runStage(const std::string &runDir, py::dict target, const char *stage, py::list argv);
// ---- the tool server (toolserver.cpp) ----------------------------------------------------

// Forks a stage's tool (argv in the package's module form) from the run's
// warm tool server, started at the first call, in `dir` with its output to
// `logFile`: {"pid", "socket"} once the tool runs; None where no server runs
// or argv is another program's (the caller starts it itself).
object forkTool(py::list argv, const std::string &dir, object logFile);
// The exit status of a forked tool (negative: the signal that ended it), or
// None while it still runs after `timeout` seconds.
object forkedStatus(py::dict handle, double timeout);
// Ends the run's tool server (after its last stage) and waits for it.
void stopToolServer();
// The server's loop (module function serve_tools): until the runner ends.
void serveTools(int fd);

py::list discoverArgv(py::dict target, const std::string &passwordFile);
py::list deployArgv(py::dict target);
py::list revertArgv(py::dict target, bool removeIdentity);
// The command line of a stage as an operator would type it (for plans and --keep).
std::string commandText(py::list argv);

// ---- the cloud (cloud.cpp) ---------------------------------------------------------------

// The deployment identity's session of a target (assumed role or profile).
object targetSession(py::handle target);
// The client that reads the results bucket (the operator's profile).
object resultsS3(py::handle target);
// Waits until every record (dicts with "tag") has a result object newer than
// `since`, the deadline passes or a stop is requested; one progress line per
// poll. Returns {"polls", "requests", "seconds", "found": [tags]}.
py::dict awaitVerdicts(const std::string &name, object s3, object bucket, py::list records, double since,
                       double deadline);
// The verdict of each record of a deployment: `planned` (discovery's config),
// `deployed` (the output config, or None), the deploy log's text.
py::list collectVerdicts(py::dict target, object s3, object ec2, py::list planned, object deployed, double since,
                         const std::string &deployLog);
// The tool's resources left in a target's VPC ("kind id" texts).
py::list leftovers(object ec2, object vpc);

// ---- the per-target job and the run (job.cpp) ---------------------------------------------------

// A target's part of the run's document before any stage ran.
py::dict freshPart(py::dict target);
// Runs a target's whole job in <runDir>/<name>/ and writes its part.json.
py::dict runTarget(const std::string &runDir, py::dict target, bool keep);
// Finishes a target a killed run left: waits for or stops its tools, collects
// what verdicts exist, reverts, writes its part.
py::dict resumeTarget(const std::string &runDir, py::dict target, py::list events);
// The account's instance identity (--ec2_role default) is shared by its
// targets: each holds it; the revert of the last one removes it.
void holdIdentity(py::handle target);
bool releaseIdentity(py::handle target);
// The stop request of a run (SIGINT/SIGTERM), 0 when none.
int stopSignal();
void installStopHandlers();

// ---- reports (reports.cpp) --------------------------------------------------------------------

// The run's document from the parts in a run folder (see the README).
py::dict mergeParts(const std::string &runDir);
// The exit status a document stands for.
int documentStatus(py::dict doc);
// Prints the console report and writes report.json, report.xml and
// report.txt to the run folder, to the given files and to S3.
void writeReports(py::dict doc, const std::string &runDir, object junit, object json, object reportS3);
// A JUnit document (testsuites) of the run.
std::string junitText(py::dict doc);
std::string consoleText(py::dict doc);

// ---- sweep (sweep.cpp) -----------------------------------------------------------------------

int sweep(py::list targets, object olderThan, bool apply);

// ---- command line (cli.cpp) ----------------------------------------------------------------------

void main();

}  // namespace egresscheck

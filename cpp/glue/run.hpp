// The package's own run-wide calls: its modules, exit status and refusals,
// log set-up, checks of input, files, and worker threads.
#pragma once

#include "glue/values.hpp"

#include <functional>
#include <utility>
#include <vector>

namespace glue {

// ---- the package's modules ---------------------------------------------------------

namespace modules {
inline const char *kRollprobe = "brimvale_testlibs.bin.rollprobe";
inline const char *kCellscan = "brimvale_testlibs.bin.cellscan";
inline const char *kNat = "brimvale_testlibs.bin.lib.nat";
inline const char *kSpoke = "brimvale_testlibs.bin.lib.spoke";
inline const char *kCommonlib = "brimvale_testlibs.bin.lib.commonlib";
inline const char *kS3 = "brimvale_testlibs.bin.lib.s3";
inline const char *kZorHttps = "brimvale_testlibs.bin.lib.zor_https";
inline const char *kZorCred = "brimvale_testlibs.bin.lib.zor_cred";
inline const char *kGlobals = "brimvale_testlibs.bin.core.Globals";
inline const char *kAppExitStatus = "brimvale_testlibs.bin.core.AppExitStatus";
inline const char *kValueNotFound = "brimvale_testlibs.bin.core.ValueNotFoundException";
}  // namespace modules

// The run-wide settings class (dry_run, TEST_CONFIG).
py::object globalSettings();
// The exception type of a value that is waited for and not visible yet.
py::object valueNotFoundError();

// ---- exit status and refusals --------------------------------------------------------

// Raises SystemExit(status): ends the process in the main thread, only the
// worker inside a worker thread.
[[noreturn]] void exitProcess(int status);
// Raises the package's process-wide exit status to at least `status`.
void raiseExitStatus(int status);
// The package's process-wide exit status.
int exitStatus();
// One "  **Error** " line on `lg` (the tool's logger by default), then exit
// status 1.
[[noreturn]] void refuseRun(const std::string &msg, const py::object &lg = logger());
// One "  **Error** " line on `lg`; the run goes on and ends with status 1
// (what failed is not done, and the exit status must say so).
void reportFailure(const std::string &msg, const py::object &lg = logger());
// Runs a tool's work: an AWS error that reaches it (no credentials, unknown
// profile, no region, access denied, ...) is one error line and status 1; an
// interrupt is one line and status 130.
void guardMain(const std::function<void()> &body);

// ---- log ---------------------------------------------------------------------------

// Sets up the tool's log (console, and the file of a sound backup folder);
// a log file that cannot be written safely is a refusal.
void startLog(const std::string &folder);
// Logs the command line (the tool's name and sys.argv) with `secret` and the
// controller password masked.
void logCommand(const char *tool, const std::string &secret = "");
// Uploads a local file to `bucket` (key: its path relative to the working
// folder); a failed upload is one error line and status 1, never an exception.
void uploadToS3(py::object s3, py::object bucket, const std::string &path);

// ---- checks of input ------------------------------------------------------------------

// What is wrong with a backup folder ("" when nothing): empty, absolute,
// starting with "." or climbing out with "..". The text is the refusal line.
std::string backupFolderProblem(const std::string &folder);
// Refuses the run (the problem's line, status 1) for an unsound backup folder.
void requireSoundBackupFolder(const std::string &folder);
// True when a path has a ".." component.
bool climbsOut(const std::string &path);
// A dotted-decimal IPv4 address (a str, nothing else).
bool isIPv4(py::handle value);
// An IPv4 network in CIDR notation (host bits allowed), as a str.
bool isIPv4Network(py::handle value);
// A non-empty str of [A-Za-z0-9._:-] only: safe in a shell word and a file name.
bool isSafeName(py::handle value);
// An IAM role ARN: arn:<partition>:iam::<12 digits>:role/<name>.
bool isRoleArn(py::handle value);
// A valid S3 bucket name (3-63 of [a-z0-9.-], starting and ending alphanumeric).
bool isBucketName(py::handle value);

// ---- files ------------------------------------------------------------------------------

// JSON text as Python tools write it: indent 2, insertion order, ASCII escapes.
std::string jsonText(py::handle obj, bool indent = true);
// Parses a JSON file; raises the Python error on failure.
py::object readJsonFile(const std::string &path);
// Writes text atomically: temporary file in the same folder, then rename.
// `mode` is the file mode of the result (0600 files are never wider).
void writeTextAtomic(const std::string &path, const std::string &content, int mode = -1);
// The test config format: JSON text + "\n", written atomically.
void writeTestConfig(const std::string &path, py::handle records);
// Logs "test.config:" and the JSON text, then writes the file named by the
// run-wide TEST_CONFIG setting (the discovery libraries' writer).
void publishTestConfig(const py::object &lg, py::handle records);
bool pathExists(const std::string &path);
void makeDirs(const std::string &path);

// ---- threads ------------------------------------------------------------------------------

// One non-daemon Python thread per call, all created, all started, then joined
// in order. SystemExit ends one worker quietly; any other error is printed with
// its traceback by the standard thread excepthook; other workers never notice.
// When a thread cannot be started, no further one is: one error line (status
// 1), and the started ones are joined. Returns how many were started.
size_t runWorkers(const std::vector<std::pair<py::object, py::dict>> &calls);

}  // namespace glue

// Collection of the test instances' result and log objects from S3.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
const char *kLogPath = "/tmp/log.txt";
const char *kResultPath = "/tmp/result.txt";

std::string readFile(const char *path) {
    object f = importModule("builtins").attr("open")(path, "r");
    try {
        std::string body = f.attr("read")().cast<std::string>();
        f.attr("close")();
        return body;
    } catch (...) {
        f.attr("close")();
        throw;
    }
}

bool passes(const std::string &result) { return pyText(py::str(result).attr("strip")()) == "PASS"; }

// Fetches and logs one record's log and result objects, the log first.
// Returns 0 when the result passes, 1 when it does not or an object is missing.
int collect(object s3, object bucket, const std::string &tag) {
    object lg = logger();
    try {
        s3.attr("download_file")(bucket, "log-" + tag + ".txt", kLogPath);
        info(lg, readFile(kLogPath));
        s3.attr("download_file")(bucket, "result-" + tag + ".txt", kResultPath);
        std::string result = readFile(kResultPath);
        info(lg, result);
        return passes(result) ? 0 : 1;
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        info(lg, errorText(e));
        return 1;
    }
}
}  // namespace

object getS3TestResults(object s3, object args) {
    object lg = logger();
    object bucket = option(args, "s3_bucket");
    int failed = 0;
    if (isGiven(args, "test_config")) {
        py::list records = readJsonFile(pyText(option(args, "test_config")));
        int tested = 0;
        for (auto rec : records) {
            // A record without test subnet had no test instance: no verdict.
            if (!truthy(getOrNone(rec, "private_subnet_id"))) continue;
            info(lg, "- Test ping and traceroute in " + pyText(getOrNone(rec, "private_subnet_id")));
            failed |= collect(s3, bucket, deduceTag(args, py::reinterpret_borrow<object>(rec)));
            ++tested;
        }
        if (tested == 0) {
            error(lg, "  **Error** no tested record in " + pyText(option(args, "test_config")));
            return py::int_(1);
        }
        return py::int_(failed);
    }
    info(lg, "- Test ping and traceroute in " + pyText(option(args, "private_subnet_id")));
    failed = collect(s3, bucket, deduceTag(args, py::none()));
    return py::int_(failed);
}

}  // namespace rollprobe

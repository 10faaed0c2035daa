// AWS sessions, the workflow account's identity document and key download.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

object moduleAttr(const char *name) { return importModule(modules::kRollprobe).attr(name); }

bool dryRun(object args) { return truthy(option(args, "dry_run")); }

object fleetClient(object session, const char *service, object args) {
    return pacedClient(session, service, option(args, "region"), moduleAttr("THROTTLE_GIVE_UP").cast<double>());
}

object start_aws_session(object assume_role, object profile) {
    object started = assumeRoleSession(assume_role, profile);
    return started.is_none() ? object(py::str(kSessionFailed)) : object(started.cast<py::tuple>()[0]);
}

object get_aws_metadata() {
    object lg = logger();
    object requests = importModule("requests");
    object env = importModule("os").attr("environ");
    std::string base = pyText(env.attr("get")("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://169.254.169.254"));
    while (!base.empty() && base.back() == '/') base.pop_back();
    object timeout = moduleAttr("METADATA_TIMEOUT");
    try {
        // IMDSv2 first: a session token, then the document with it.
        py::dict headers;
        try {
            py::dict ttl;
            ttl["X-aws-ec2-metadata-token-ttl-seconds"] = "21600";
            object tok = requests.attr("put")(base + "/latest/api/token", "headers"_a = ttl, "timeout"_a = timeout);
            if (tok.attr("status_code").cast<int>() == 200 && truthy(tok.attr("text")))
                headers["X-aws-ec2-metadata-token"] = tok.attr("text");
        } catch (py::error_already_set &e) {
            if (!e.matches(requests.attr("RequestException"))) throw;
        }
        object resp = requests.attr("get")(base + "/latest/dynamic/instance-identity/document", "headers"_a = headers,
                                           "timeout"_a = timeout);
        if (resp.attr("status_code").cast<int>() == 200) return resp.attr("json")();
    } catch (py::error_already_set &e) {
        if (!e.matches(requests.attr("RequestException")) && !e.matches(PyExc_ValueError)) throw;
    }
    info(lg, "  **Error** failed to deduce workflow account number from meta data");
    exitProcess(1);
}

void getPemKeyFromSSM(object ssm, object pemkey, object args) {
    object lg = logger();
    info(lg, "- Download pem key " + pyText(pemkey) + " from SSM");
    object resp = ssm.attr("get_parameter")("Name"_a = pemkey, "WithDecryption"_a = true);
    // A private key: mode 0600 from the first byte on.
    std::string path = pyText(option(args, "key_name"));
    try {
        writeTextAtomic(path, pyText(resp["Parameter"]["Value"]), 0600);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        refuseRun("cannot write the downloaded key " + path + ": " + errorText(e) + "; nothing was launched");
    }
}

}  // namespace rollprobe

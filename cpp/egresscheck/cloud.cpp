// What egresscheck reads in the cloud itself: the verdict objects, the test
// instances' state and console, and what the revert left.
#include "egresscheck/egresscheck.hpp"
#include "rollprobe/rollprobe.hpp"  // the names of what the tool creates

#include <map>
#include <regex>

using namespace glue;

namespace egresscheck {

namespace {
object rollprobeModule() { return importModule(modules::kRollprobe); }

// The object's text, or None when it is not there; `modified` gets its time.
object readObject(object s3, object bucket, const std::string &key, double *modified = nullptr) {
    try {
        object resp = s3.attr("get_object")("Bucket"_a = bucket, "Key"_a = key);
        if (modified) *modified = resp["LastModified"].attr("timestamp")().cast<double>();
        object body = resp["Body"];
        object data = body.attr("read")();
        body.attr("close")();
        return data.attr("decode")("utf-8", "replace");
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        return py::none();
    }
}

py::list lines(const std::string &text) { return py::str(text).attr("splitlines")(); }

// The on-instance test's own reason for a FAIL (its assertion message).
std::string failReason(object log, const std::string &result) {
    if (log.is_none()) return "the result is " + printable(result) + " (no log object)";
    std::string reason;
    for (auto line : lines(pyText(log))) {
        std::string text = pyText(line);
        size_t at = text.find("AssertionError: ");
        if (at != std::string::npos) {
            reason = text.substr(at + 16);
            // assertTrue's own words come first: "False is not true : <reason>"
            const std::string lead = "False is not true : ";
            if (reason.rfind(lead, 0) == 0) reason = reason.substr(lead.size());
        } else if (reason.empty() && text.rfind("FileNotFoundError: ", 0) == 0)
            reason = text.substr(19);
        else if (text.rfind("LookupError: ", 0) == 0)
            reason = text.substr(13);
    }
    return printable(reason.empty() ? "the result is " + result : reason);
}

std::string pingSummary(object log) {
    if (log.is_none()) return "";
    for (auto line : lines(pyText(log)))
        if (pyText(line).find("packets transmitted") != std::string::npos) return printable(pyText(line));
    return "";
}

// The addresses of the traced path (the header line names the target, not a hop).
py::list tracedHops(object log) {
    py::list hops;
    if (log.is_none()) return hops;
    static const std::regex hopLine(R"(^\s*\d+\s+(.*)$)");
    static const std::regex address(R"(\b(\d{1,3}(?:\.\d{1,3}){3})\b)");
    bool inTrace = false;
    for (auto line : lines(pyText(log))) {
        std::string text = pyText(line);
        if (text.rfind("traceroute to ", 0) == 0) {
            inTrace = true;
            continue;
        }
        std::smatch m;
        if (!inTrace) continue;
        if (!std::regex_match(text, m, hopLine)) {
            inTrace = false;  // the trace ends at its first line that is no hop
            continue;
        }
        std::string rest = m[1];
        for (std::sregex_iterator it(rest.begin(), rest.end(), address), end; it != end; ++it) {
            py::str hop((*it)[1].str());
            if (!hops.contains(hop)) hops.append(hop);
        }
    }
    return hops;
}

// The last 40 lines of an instance's console output (the service may hand
// it base64-encoded).
py::list consoleTail(object ec2, object instanceId) {
    object resp = ec2.attr("get_console_output")("InstanceId"_a = instanceId, "Latest"_a = true);
    std::string text = pyText(getOrNone(resp, "Output"));
    if (getOrNone(resp, "Output").is_none()) return py::list();
    try {
        object raw = importModule("base64").attr("b64decode")(py::str(text), "validate"_a = true);
        text = pyText(raw.attr("decode")("utf-8"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;  // not base64: the text as it is
    }
    py::list all = lines(text);
    py::list tail;
    size_t n = py::len(all), from = n > 40 ? n - 40 : 0;
    for (size_t i = from; i < n; ++i) tail.append(py::str(printable(pyText(all[i]))));
    return tail;
}

// The deploy log's error line about a record (its subnets), or its last one.
std::string deployError(const std::string &log, py::handle rec) {
    std::string last, mine;
    for (auto line : lines(log)) {
        std::string text = pyText(line);
        if (text.find("**Error**") == std::string::npos) continue;
        last = text;
        for (const char *key : {"private_subnet_id", "gw_subnet_id"}) {
            std::string id = pyText(getOrNone(rec, key));
            if (id != "None" && !id.empty() && text.find(id) != std::string::npos) mine = text;
        }
    }
    std::string chosen = mine.empty() ? last : mine;
    size_t at = chosen.find("**Error** ");
    return printable(at == std::string::npos ? chosen : chosen.substr(at + 10));
}

py::dict recordBase(py::handle rec) {
    py::dict out;
    out["gateway"] = hasKey(rec, "gw_name") ? getOrNone(rec, "gw_name") : getOrNone(rec, "nat_gw_id");
    out["gateway_ip"] = getOrNone(rec, "gw_private_ip");
    out["gateway_subnet"] = getOrNone(rec, "gw_subnet_id");
    out["test_subnet"] = getOrNone(rec, "private_subnet_id");
    out["instance"] = py::none();
    out["public_ip"] = py::none();
    out["private_ip"] = py::none();
    out["reason"] = "";
    out["hops"] = py::list();
    out["gateway_in_path"] = false;
    out["ping"] = "";
    out["console"] = py::list();
    out["result_uri"] = py::none();
    out["log_uri"] = py::none();
    out["log"] = py::none();
    out["seconds"] = py::none();
    return out;
}
}  // namespace

namespace {
// Sessions and clients shared by the run's targets (a session holds the
// SDK's service models: one per target would cost tens of MB each). An
// assumed role's session is kept for 45 minutes, within its credentials'
// hour. Read and written with the GIL held.
py::dict &shared() {
    static py::dict *cache = new py::dict();  // lives as long as the process
    return *cache;
}

object cached(const std::string &key, double lifetime, const std::function<object()> &make) {
    py::str k(key);
    if (shared().contains(k)) {
        py::tuple entry = shared()[k];
        if (now() - entry[1].cast<double>() < lifetime) return entry[0];
    }
    object made = make();
    shared()[k] = py::make_tuple(made, now());
    return made;
}
}  // namespace

object targetSession(py::handle target) {
    object profile = getOrNone(target, "profile");
    object role = getOrNone(target, "assume_role");
    if (role.is_none()) return cached("profile " + pyText(profile), 1e12, [&] { return profileSession(profile); });
    return cached("role " + pyText(role) + " " + pyText(profile), 2700, [&]() -> object {
        object started = assumeRoleSession(role, profile);
        if (started.is_none()) raisePy(PyExc_RuntimeError, std::string(kSessionFailed) + " for " + pyText(role));
        return started.cast<py::tuple>()[0];
    });
}

object resultsS3(py::handle target) {
    object profile = getOrNone(target, "profile");
    return cached("s3 " + pyText(profile), 1e12, [&] { return profileSession(profile).attr("client")("s3"); });
}

namespace {
// True when `key` of the bucket was written at or after `floorSince`; a
// missing (404/403) or unreachable object is false.
bool freshObject(object s3, object bucket, const std::string &key, double floorSince) {
    try {
        object head = s3.attr("head_object")("Bucket"_a = bucket, "Key"_a = key);
        return head["LastModified"].attr("timestamp")().cast<double>() >= floorSince;
    } catch (py::error_already_set &e) {
        if (!isAwsError(e)) throw;
        return false;
    }
}
}  // namespace

py::dict awaitVerdicts(const std::string &name, object s3, object bucket, py::list records, double since,
                       double deadline) {
    double started = now();
    double interval = moduleAttr("POLL_FIRST").cast<double>();
    double step = moduleAttr("POLL_STEP").cast<double>(), most = moduleAttr("POLL_MAX").cast<double>();
    double grace = moduleAttr("LOG_GRACE").cast<double>();
    // An instance uploads its result, then its log: a record is complete
    // when both are there, or `grace` seconds after its result (a log that
    // never came does not hold the run up to its deadline).
    py::list pending, found;
    std::map<std::string, double> resultSeen;
    for (auto rec : records) pending.append(rec["tag"]);
    long polls = 0, requests = 0;
    double floorSince = static_cast<double>(static_cast<long long>(since));  // S3 keeps whole seconds
    while (py::len(pending) > 0) {
        ++polls;
        py::list still;
        for (auto tag : pending) {
            std::string t = pyText(tag);
            if (!resultSeen.count(t)) {
                ++requests;
                if (freshObject(s3, bucket, "result-" + t + ".txt", floorSince)) resultSeen[t] = now();
            }
            if (resultSeen.count(t)) {
                ++requests;
                if (freshObject(s3, bucket, "log-" + t + ".txt", floorSince) || now() - resultSeen[t] >= grace) {
                    found.append(tag);
                    continue;
                }
            }
            still.append(tag);
        }
        pending = still;
        double waited = now() - started;
        say(name + ": " + std::to_string(resultSeen.size()) + "/" + std::to_string(py::len(records)) +
            " verdicts after " + std::to_string(static_cast<long>(waited)) + " s");
        if (py::len(pending) == 0 || waited >= deadline || stopSignal()) break;
        double pause = std::min(interval, deadline - waited);
        for (auto tag : pending)  // a log is due right after its result
            if (resultSeen.count(pyText(tag))) pause = std::min(pause, 2.0);
        for (double slept = 0; slept < pause && !stopSignal(); slept += 1) sleepSeconds(std::min(1.0, pause - slept));
        interval = std::min(interval + step, most);
    }
    // The wait ended while a log was still due: the verdict itself is in.
    for (auto tag : pending)
        if (resultSeen.count(pyText(tag))) found.append(tag);
    py::dict out;
    out["polls"] = polls;
    out["requests"] = requests;
    out["seconds"] = now() - started;
    out["found"] = found;
    return out;
}

py::list collectVerdicts(py::dict target, object s3, object ec2, py::list planned, object deployed, double since,
                         const std::string &deployLog) {
    object bucket = target["s3_bucket"];
    object ns = importModule("types").attr("SimpleNamespace")("tag"_a = target["tag"]);
    py::dict byGwSubnet;
    if (!deployed.is_none())
        for (auto rec : deployed.cast<py::list>()) byGwSubnet[rec["gw_subnet_id"]] = rec;
    object instances = py::dict();
    if (!ec2.is_none()) {
        try {
            instances = rollprobeModule().attr("testInstancesBySubnet")(ec2, target["vpc"]);
        } catch (py::error_already_set &e) {
            if (!isAwsError(e)) throw;
            say("  **Error** " + pyText(target["name"]) + ": cannot list the test instances: " + errorText(e));
        }
    }
    double floorSince = static_cast<double>(static_cast<long long>(since));
    py::list out;
    for (auto rec : planned) {
        py::dict r = recordBase(rec);
        if (!truthy(getOrNone(rec, "private_subnet_id"))) {
            r["verdict"] = kNotDeployed;
            r["reason"] = "discovery found no test subnet for this gateway";
            out.append(r);
            continue;
        }
        object d = getOrNone(byGwSubnet, pyText(rec["gw_subnet_id"]).c_str());
        py::list live = instances.attr("get")(rec["gw_subnet_id"], py::list());
        if (py::len(live) > 0) r["instance"] = live[0]["InstanceId"];
        if (d.is_none() || !hasKey(d, "ec2_ip") || !hasKey(d, "ec2_2nd_private_ip")) {
            r["verdict"] = kNotDeployed;
            std::string why = deployError(deployLog, rec);
            r["reason"] = why.empty() ? "the deployment did not complete this record" : why;
            out.append(r);
            continue;
        }
        r["public_ip"] = d["ec2_ip"];
        r["private_ip"] = d["ec2_2nd_private_ip"];
        std::string tag = pyText(rollprobeModule().attr("deduceTag")(ns, d));
        std::string base = "s3://" + pyText(bucket) + "/";
        r["result_uri"] = py::str(base + "result-" + tag + ".txt");
        r["log_uri"] = py::str(base + "log-" + tag + ".txt");
        double modified = 0;
        object result = readObject(s3, bucket, "result-" + tag + ".txt", &modified);
        object log = readObject(s3, bucket, "log-" + tag + ".txt");
        r["log"] = log;
        if (!result.is_none() && modified >= floorSince) {
            std::string text = pyText(result.attr("strip")());
            r["seconds"] = modified - since;
            r["hops"] = tracedHops(log);
            r["gateway_in_path"] = r["hops"].cast<py::list>().contains(rec["gw_private_ip"]);
            r["ping"] = pingSummary(log);
            if (text == kPass) {
                r["verdict"] = kPass;
            } else {
                r["verdict"] = kFail;
                r["reason"] = failReason(log, text);
            }
            out.append(r);
            continue;
        }
        // No verdict in time: what the instance shows is the evidence.
        r["verdict"] = kNoResult;
        std::string state = "gone";
        if (py::len(live) > 0) state = pyText(live[0]["State"]["Name"]);
        r["reason"] = py::str("no verdict within " + std::to_string(target["deadline"].cast<long>()) + " s (instance " +
                              pyText(r["instance"]) + " " + state + ")");
        if (!r["instance"].is_none()) {
            try {
                r["console"] = consoleTail(ec2, r["instance"]);
            } catch (py::error_already_set &e) {
                if (!isAwsError(e)) throw;
                r["console"] = listOf(py::str("console output unavailable: " + printable(errorText(e))));
            }
        }
        out.append(r);
    }
    return out;
}

py::list leftovers(object ec2, object vpc) {
    py::list left;
    py::dict bySubnet = rollprobeModule().attr("testInstancesBySubnet")(ec2, vpc);
    for (auto kv : bySubnet)
        for (auto inst : kv.second.cast<py::list>()) left.append(py::str("instance " + pyText(inst["InstanceId"])));
    py::list filters;
    filters.append(filterSpec("vpc-id", listOf(vpc)));
    filters.append(filterSpec("tag:Name", listOf(py::str(rollprobe::kInterfaceName))));
    for (auto ifc : allPages(ec2, "describe_network_interfaces", "NetworkInterfaces", py::dict("Filters"_a = filters)))
        left.append(py::str("interface " + pyText(ifc["NetworkInterfaceId"])));
    py::list byVpc = listOf(filterSpec((std::string("tag:") + rollprobe::kVpcTagKey).c_str(), listOf(vpc)));
    for (auto address : allPages(ec2, "describe_addresses", "Addresses", py::dict("Filters"_a = byVpc)))
        left.append(py::str("address " + pyText(address["PublicIp"])));
    py::list groupFilters;
    groupFilters.append(filterSpec("vpc-id", listOf(vpc)));
    py::list names;
    names.append(rollprobe::kSgName);
    names.append(rollprobe::kPrivateSgName);
    groupFilters.append(filterSpec("group-name", names));
    for (auto g : allPages(ec2, "describe_security_groups", "SecurityGroups", py::dict("Filters"_a = groupFilters)))
        left.append(py::str("security-group " + pyText(g["GroupId"]) + " (" + pyText(g["GroupName"]) + ")"));
    std::string key = rollprobe::kKeyPairPrefix + pyText(vpc);
    py::list keyFilter = listOf(filterSpec("key-name", listOf(py::str(key))));
    for (auto k : ec2.attr("describe_key_pairs")("Filters"_a = keyFilter)["KeyPairs"].cast<py::list>())
        left.append(py::str("key-pair " + pyText(k["KeyName"])));
    return left;
}

}  // namespace egresscheck

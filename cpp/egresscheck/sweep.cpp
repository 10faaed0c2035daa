// The sweeper: what runs left behind past their expiry, found by the tags the
// runs put on everything, and removed through rollprobe's own revert.
#include "egresscheck/egresscheck.hpp"
#include "rollprobe/rollprobe.hpp"  // the names of what the tool creates

#include <regex>

using namespace glue;

namespace egresscheck {

namespace {
double parseAge(const std::string &text) {
    static const std::regex age(R"((\d+)\s*([smhd]))");
    std::smatch m;
    if (!std::regex_match(text, m, age)) usageError("--older_than " + text + ": use a number and s, m, h or d");
    double n = std::stod(m[1]);
    char unit = m[2].str()[0];
    return n * (unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : 86400);
}

object tagValue(py::handle tags, const char *key) {
    if (tags.is_none()) return py::none();
    for (auto t : tags.cast<py::list>())
        if (pyText(t["Key"]) == key) return t["Value"];
    return py::none();
}

double parseIso(object text) {
    try {
        object dt = importModule("datetime").attr("datetime").attr("strptime")(text, "%Y-%m-%dT%H:%M:%SZ");
        dt = dt.attr("replace")("tzinfo"_a = importModule("datetime").attr("timezone").attr("utc"));
        return dt.attr("timestamp")().cast<double>();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return -1;
    }
}

// Expired by its tag (brimvale-expires passed), or launched before `cutoff`.
bool expired(py::handle tags, object launched, double at, double cutoff) {
    double expires = parseIso(tagValue(tags, "brimvale-expires"));
    if (expires >= 0 && expires < at) return true;
    return cutoff > 0 && !launched.is_none() && launched.attr("timestamp")().cast<double>() < cutoff;
}

struct Found {
    py::list lines;      // what is shown
    py::list instances;  // expired test instances
};

Found findExpired(object ec2, object vpc, double at, double cutoff) {
    Found found;
    py::dict bySubnet = importModule(modules::kRollprobe).attr("testInstancesBySubnet")(ec2, vpc);
    for (auto kv : bySubnet)
        for (auto inst : kv.second.cast<py::list>()) {
            if (!expired(getOrNone(inst, "Tags"), getOrNone(inst, "LaunchTime"), at, cutoff)) continue;
            found.instances.append(inst);
            found.lines.append(py::str("instance " + pyText(inst["InstanceId"]) + " (run " +
                                       pyText(tagValue(getOrNone(inst, "Tags"), "brimvale-run")) + ", expires " +
                                       pyText(tagValue(getOrNone(inst, "Tags"), "brimvale-expires")) + ")"));
        }
    py::list filters = listOf(filterSpec("vpc-id", listOf(vpc)));
    for (auto g : allPages(ec2, "describe_security_groups", "SecurityGroups", py::dict("Filters"_a = filters))) {
        std::string name = pyText(g["GroupName"]);
        if (name != rollprobe::kSgName && name != rollprobe::kPrivateSgName) continue;
        if (expired(getOrNone(g, "Tags"), py::none(), at, 0))
            found.lines.append(py::str("security-group " + pyText(g["GroupId"]) + " (" + name + ")"));
    }
    py::list ifcFilters = listOf(filterSpec("vpc-id", listOf(vpc)));
    ifcFilters.append(filterSpec("tag:Name", listOf(py::str(rollprobe::kInterfaceName))));
    for (auto i : allPages(ec2, "describe_network_interfaces", "NetworkInterfaces", py::dict("Filters"_a = ifcFilters)))
        if (expired(getOrNone(i, "TagSet"), py::none(), at, 0))
            found.lines.append(py::str("interface " + pyText(i["NetworkInterfaceId"])));
    py::list byVpc = listOf(filterSpec((std::string("tag:") + rollprobe::kVpcTagKey).c_str(), listOf(vpc)));
    for (auto a : allPages(ec2, "describe_addresses", "Addresses", py::dict("Filters"_a = byVpc)))
        if (expired(getOrNone(a, "Tags"), py::none(), at, 0))
            found.lines.append(py::str("address " + pyText(a["PublicIp"])));
    return found;
}

// The test config of what was found: one record per gateway subnet of an
// expired instance; without instances, a record without test subnet that
// lets the revert remove the VPC's shared resources.
py::list sweepConfig(object ec2, object vpc, py::list instances) {
    py::list records;
    py::set seen;
    for (auto inst : instances) {
        object gw = py::none(), priv = py::none();
        for (auto ifc : inst["NetworkInterfaces"].cast<py::list>()) {
            long index = getOrNone(getOrNone(ifc, "Attachment"), "DeviceIndex").is_none()
                             ? 0
                             : ifc["Attachment"]["DeviceIndex"].cast<long>();
            if (index == 0)
                gw = ifc["SubnetId"];
            else
                priv = ifc["SubnetId"];
        }
        if (gw.is_none()) gw = inst["SubnetId"];
        if (seen.contains(gw)) continue;
        seen.add(gw);
        py::dict rec;
        rec["gw_subnet_id"] = gw;
        rec["private_subnet_id"] = priv.is_none() ? py::str("") : py::str(priv);
        if (!priv.is_none())
            rec["private_subnet_cidr"] =
                ec2.attr("describe_subnets")("SubnetIds"_a = listOf(priv))["Subnets"][py::int_(0)]["CidrBlock"];
        records.append(rec);
    }
    if (py::len(records) == 0) {
        py::list subnets = allPages(ec2, "describe_subnets", "Subnets",
                                    py::dict("Filters"_a = listOf(filterSpec("vpc-id", listOf(vpc)))));
        if (py::len(subnets) == 0) return records;
        py::dict rec;
        rec["gw_subnet_id"] = subnets[0]["SubnetId"];
        rec["private_subnet_id"] = "";
        records.append(rec);
    }
    return records;
}

int revertFound(py::dict target, object ec2, py::list instances, const std::string &folder) {
    py::list records = sweepConfig(ec2, target["vpc"], instances);
    if (py::len(records) == 0) return 0;
    makeDirs(folder + "/b");
    writeTestConfig(folder + "/config.json", records);
    py::list argv = revertArgv(target, false);
    // The sweep's own config, not a run's.
    for (size_t i = 0; i < py::len(argv); ++i)
        if (pyText(argv[i]) == "b/subnet.config") argv[i] = py::str("config.json");
    say("  revert: cd " + folder + " && " + commandText(argv));
    object log = importModule("builtins").attr("open")(folder + "/revert.log", "wb");
    object done = importModule("subprocess")
                      .attr("run")(argv, "cwd"_a = folder, "stdout"_a = log,
                                   "stderr"_a = importModule("subprocess").attr("STDOUT"),
                                   "stdin"_a = importModule("subprocess").attr("DEVNULL"));
    log.attr("close")();
    return done.attr("returncode").cast<int>();
}
}  // namespace

namespace {
// The account's instance identity (ec2_role default) once no test instance
// of the tool is left anywhere in the account: nothing uses it any more.
bool identityUnused(py::dict target, object ec2) {
    object iam = targetSession(target).attr("client")("iam");
    try {
        iam.attr("get_role")("RoleName"_a = rollprobe::kRoleName);
    } catch (py::error_already_set &e) {
        auto code = awsErrorCode(e);
        if (code && *code == "NoSuchEntity") return false;  // nothing to remove
        throw;
    }
    py::list filters;
    filters.append(filterSpec("tag:Name", listOf(py::str(rollprobe::kInstanceName))));
    py::list states;
    for (const char *state : {"pending", "running", "stopping", "stopped"}) states.append(state);
    filters.append(filterSpec("instance-state-name", states));
    return py::len(allPages(ec2, "describe_instances", "Reservations", py::dict("Filters"_a = filters))) == 0;
}
}  // namespace

int sweep(py::list targets, object olderThan, bool apply) {
    double at = now();
    double cutoff = olderThan.is_none() ? 0 : at - parseAge(pyText(olderThan));
    std::string folder = "egresscheck-sweeps/" + isoTime(at);
    for (char &c : folder)
        if (c == ':') c = '-';
    int status = 0;
    long total = 0;
    py::set seen;
    for (auto t : targets) {
        py::dict target = t.cast<py::dict>();
        std::string where = accountOf(target) + " " + pyText(target["region"]) + " " + pyText(target["vpc"]);
        if (seen.contains(py::str(where))) continue;
        seen.add(py::str(where));
        try {
            object ec2 = targetSession(target).attr("client")("ec2", "region_name"_a = target["region"]);
            Found found = findExpired(ec2, target["vpc"], at, cutoff);
            total += static_cast<long>(py::len(found.lines));
            std::string out = where + ": " + std::to_string(py::len(found.lines)) + " expired\n";
            for (auto line : found.lines) out += "  " + pyText(line) + "\n";
            importModule("sys").attr("stdout").attr("write")(out);
            if (!apply || py::len(found.lines) == 0) continue;
            target["run_id"] = "sweep";
            int code = revertFound(target, ec2, found.instances, folder + "/" + pyText(target["vpc"]));
            Found left = findExpired(ec2, target["vpc"], at, cutoff);
            std::string after = "  after the revert (status " + std::to_string(code) +
                                "): " + std::to_string(py::len(left.lines)) + " left\n";
            importModule("sys").attr("stdout").attr("write")(after);
            if (code != 0 || py::len(left.lines) > 0) status = kCleanupIncomplete;
        } catch (py::error_already_set &e) {
            if (!isAwsError(e)) throw;
            say("  **Error** " + where + ": " + printable(errorText(e)));
            status = std::max(status, kNotPassed);
        }
    }
    // Then each account's instance identity, once nothing of the tool runs there.
    py::set accounts;
    for (auto t : targets) {
        py::dict target = t.cast<py::dict>();
        std::string account = accountOf(target) + " " + pyText(target["region"]);
        if (pyText(getOrNone(target, "ec2_role")) != "default" || accounts.contains(py::str(account))) continue;
        accounts.add(py::str(account));
        try {
            object ec2 = targetSession(target).attr("client")("ec2", "region_name"_a = target["region"]);
            if (!identityUnused(target, ec2)) continue;
            ++total;
            importModule("sys").attr("stdout").attr("write")(accountOf(target) + ": instance identity " +
                                                             rollprobe::kRoleName + " with no test instance left\n");
            if (!apply) continue;
            target["run_id"] = "sweep";
            std::string dir = folder + "/" + pyText(target["vpc"]) + "-identity";
            makeDirs(dir + "/b");
            writeTestConfig(dir + "/config.json", sweepConfig(ec2, target["vpc"], py::list()));
            py::list argv = revertArgv(target, true);
            for (size_t i = 0; i < py::len(argv); ++i)
                if (pyText(argv[i]) == "b/subnet.config") argv[i] = py::str("config.json");
            object done = importModule("subprocess").attr("run")(argv, "cwd"_a = dir, "capture_output"_a = true);
            bool removed = done.attr("returncode").cast<int>() == 0 && !identityUnused(target, ec2);
            importModule("sys").attr("stdout").attr("write")(std::string("  ") +
                                                             (removed ? "removed\n" : "not removed\n"));
            if (!removed) status = kCleanupIncomplete;
        } catch (py::error_already_set &e) {
            if (!isAwsError(e)) throw;
            say("  **Error** " + account + ": instance identity: " + printable(errorText(e)));
            status = std::max(status, kNotPassed);
        }
    }
    std::string last = std::to_string(total) + " expired resource(s)" +
                       (apply ? " found; removal " + std::string(status == 0 ? "complete" : "incomplete")
                              : " found (dry run: --apply removes them)");
    importModule("sys").attr("stdout").attr("write")(last + "\n");
    return status;
}

}  // namespace egresscheck

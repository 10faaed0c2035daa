// Fleet deployment and teardown: shared resources of the VPC, one worker per
// eligible record.
#include <algorithm>
#include <atomic>

#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
[[noreturn]] void refuseConfig(const std::string &path, const std::string &problem) {
    refuseRun("test config " + path + ": " + problem);
}

bool eligible(object record) { return truthy(getOrNone(record, "private_subnet_id")); }

// A deployment's records must be told apart: a test instance is found again
// by its gateway subnet, and a verdict by its record tag. Two records that
// share either would share an instance or a verdict.
void requireDistinctRecords(const std::string &path, py::list records, object args) {
    py::dict subnets, tags;
    size_t index = 0;
    for (auto rec : records) {
        std::string where = "record " + std::to_string(index++);
        if (!eligible(py::reinterpret_borrow<object>(rec))) continue;
        object subnet = rec["gw_subnet_id"];
        if (subnets.contains(subnet))
            refuseConfig(path, pyText(subnets[subnet]) + " and " + where + " share the gateway subnet " +
                                   pyText(subnet) + ": one test instance per gateway subnet");
        subnets[subnet] = where;
        py::str tag(deduceTag(args, py::reinterpret_borrow<object>(rec)));
        if (tags.contains(tag))
            refuseConfig(path, pyText(tags[tag]) + " and " + where + " have the same record tag " + pyText(tag) +
                                   ": their verdicts would be one object");
        tags[tag] = where;
    }
}

// The VPC of a test config: that of its first record's gateway subnet. Every
// other subnet it names must lie in the same VPC, or a revert would reach
// into another one.
object configVpc(object ec2, py::list records, object args) {
    object vpc = getVpcId(ec2, records[0]["gw_subnet_id"]);
    py::list ids;
    for (auto rec : records)
        for (const char *key : {"gw_subnet_id", "private_subnet_id"}) {
            object id = getOrNone(rec, key);
            if (truthy(id) && !ids.contains(id)) ids.append(id);
        }
    py::list others;
    const size_t chunk = 200;  // values of one filter at most
    for (size_t at = 0; at < py::len(ids); at += chunk) {
        py::list part = ids[py::slice(at, std::min(at + chunk, py::len(ids)), 1)];
        for (auto subnet : allPages(ec2, "describe_subnets", "Subnets",
                                    py::dict("Filters"_a = listOf(filterSpec("subnet-id", part)))))
            if (!pyEquals(subnet["VpcId"], vpc))
                others.append(py::str(pyText(subnet["SubnetId"]) + " (" + pyText(subnet["VpcId"]) + ")"));
    }
    if (py::len(others) > 0)
        refuseConfig(pyText(option(args, "test_config")), "its records lie in more than one VPC: " + pyText(vpc) +
                                                              " and " + pyText(py::str(", ").attr("join")(others)));
    return vpc;
}

// A worker body whose every error is one line naming its subnet, and makes
// the run fail (what the worker could not do is not done).
py::cpp_function guardedWorker(object body, const char *what, const char *subnetKey) {
    std::string doing = what;
    std::string key = subnetKey;
    return py::cpp_function([body, doing, key](py::kwargs kw) {
        try {
            body(**kw);
        } catch (py::error_already_set &e) {
            if (isExit(e)) throw;
            if (!isAwsError(e)) printTraceback(e);
            reportFailure(doing + " " + pyText(kw[py::str(key)]) + " failed: " + errorText(e));
        }
    });
}

py::dict kwargs(object ec2, object iam, object args) {
    py::dict kw;
    kw["ec2_client"] = ec2;
    kw["iam_client"] = iam;
    kw["args"] = args;
    return kw;
}
}  // namespace

static void removeInstances(object ec2, py::list found, object subnet_id, object args);

// Releases one elastic IP; one that cannot be released is one line and status 1.
static void releaseOrReport(object ec2, py::handle address, object insId, object args) {
    try {
        releaseEIP(ec2, address["PublicIp"], address["AllocationId"], insId, args);
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        reportFailure("cannot release elastic IP " + pyText(address["PublicIp"]) + ": " + errorText(e));
    }
}

// Elastic IPs of the tool that were allocated for this VPC but never
// associated (a run ended between the two requests) belong to no instance any
// more. An address without the VPC tag, or of another VPC, is never touched: a
// concurrent deployment may have just allocated it. A failed request is one
// error line; the rest of the clean-up goes on.
static void releaseStrayAddresses(object ec2, object vpc, object args) {
    object lg = logger();
    py::list filters;
    filters.append(filterSpec("tag:Name", listOf(py::str(kEipName))));
    filters.append(filterSpec((std::string("tag:") + kVpcTagKey).c_str(), listOf(vpc)));
    py::list addresses;
    try {
        addresses = allPages(ec2, "describe_addresses", "Addresses", py::dict("Filters"_a = filters));
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        reportFailure("cannot list the elastic IPs of " + pyText(vpc) + ": " + errorText(e));
        return;
    }
    for (auto address : addresses)
        if (!hasKey(address, "AssociationId")) releaseOrReport(ec2, address, py::none(), args);
}

namespace {
std::atomic<size_t> progressDone{0};
std::atomic<size_t> progressTotal{0};
}  // namespace

void progressStart(size_t total) {
    progressDone.store(0);
    progressTotal.store(total);
}

void progressStep(const char *verb) {
    size_t done = ++progressDone, total = progressTotal.load();
    size_t every = std::max<size_t>(1, total / 10);
    if (total >= 10 && (done % every == 0 || done == total))
        info(logger(), "  " + std::string(verb) + " " + std::to_string(done) + "/" + std::to_string(total));
}

py::list loadTestConfig(object args) {
    std::string path = pyText(option(args, "test_config"));
    object data;
    try {
        data = readJsonFile(path);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        if (e.matches(PyExc_OSError)) refuseConfig(path, "cannot be read (" + errorText(e) + ")");
        if (e.matches(PyExc_ValueError)) refuseConfig(path, "is not JSON (" + errorText(e) + ")");
        if (e.matches(PyExc_RecursionError)) refuseConfig(path, "is nested too deeply");
        throw;
    }
    if (!py::isinstance<py::list>(data)) refuseConfig(path, "is not a JSON list of test records");
    py::list records = data;
    if (py::len(records) == 0) refuseConfig(path, "holds no test record");
    size_t index = 0;
    for (auto rec : records) {
        std::string where = "record " + std::to_string(index++);
        if (!py::isinstance<py::dict>(rec)) refuseConfig(path, where + " is not a JSON object");
        object gw = getOrNone(rec, "gw_subnet_id");
        if (!py::isinstance<py::str>(gw) || !truthy(gw)) refuseConfig(path, where + " has no gw_subnet_id");
        if (!py::isinstance<py::str>(getOrNone(rec, "private_subnet_id")))
            refuseConfig(path, where + " has no private_subnet_id");
        object cidr = getOrNone(rec, "private_subnet_cidr");
        if (truthy(getOrNone(rec, "private_subnet_id")) && !isIPv4Network(cidr))
            refuseConfig(path,
                         where + (py::isinstance<py::str>(cidr) ? " has an invalid private_subnet_cidr " + pyText(cidr)
                                                                : std::string(" has no private_subnet_cidr")));
    }
    return records;
}

py::list loadDeployConfig(object args) {
    py::list records = loadTestConfig(args);
    requireDistinctRecords(pyText(option(args, "test_config")), records, args);
    return records;
}

void deployEc2s(object ec2, object s3, object iam, object ami, object args) {
    object lg = logger();
    py::list records = loadDeployConfig(args);
    object vpc = configVpc(ec2, records, args);
    if (!isGiven(args, "s3_bucket"))
        info(lg, "- No --s3_bucket: the test instances run no test and no verdict will be uploaded");
    object sg = createSG(ec2, vpc, args);
    object sgPrivate = createPrivateInfSG(ec2, vpc, args);
    object keyName = option(args, "key_name");
    if (keyName.is_none()) keyName = py::str(createKeyPair(ec2, s3, vpc, args));
    object profile = py::none();
    if (pyText(option(args, "ec2_role")) == "default") {
        object arn = createS3Policy(iam, args);
        createEc2Role(iam, arn);
        createInstanceProfile(iam);
        profile = py::str(kProfileName);
    }

    object worker = guardedWorker(moduleAttr("createEc2"), "deployment in", "private_subnet_id");
    std::vector<std::pair<object, py::dict>> calls;
    std::vector<PyObject *> launchedFor;  // the record of each call
    for (auto rec : records) {
        if (!eligible(py::reinterpret_borrow<object>(rec))) {
            // Spoke records carry no NAT gateway id: their gateway name tells.
            object name = hasKey(rec, "nat_gw_id") ? getOrNone(rec, "nat_gw_id") : getOrNone(rec, "gw_name");
            error(lg, "  **Error** Skip " + pyText(name) + " -- private_subnet_id not defined");
            continue;
        }
        // Addresses of an earlier deployment are not this run's: a record
        // carries only what its worker finds now.
        for (const char *key : {"ec2_ip", "ec2_2nd_private_ip"})
            if (hasKey(rec, key)) rec.attr("pop")(key);
        py::dict kw = kwargs(ec2, iam, args);
        kw["ami"] = ami;
        kw["gw_subnet_id"] = rec["gw_subnet_id"];
        kw["private_subnet_id"] = rec["private_subnet_id"];
        kw["spoke_gw_ip"] = getOrNone(rec, "gw_private_ip");
        kw["test_config"] = rec;
        kw["sg_id"] = sg;
        kw["sg_id_private_inf"] = sgPrivate;
        kw["instance_profile"] = profile;
        kw["key_name"] = keyName;
        kw["s3_client"] = s3;
        kw["vpc_id"] = vpc;
        calls.emplace_back(worker, kw);
        launchedFor.push_back(rec.ptr());
    }
    progressStart(calls.size());
    size_t started = runWorkers(calls);
    // Records whose worker never started were reported as one line already.
    auto notStarted = [&](py::handle rec) {
        return std::find(launchedFor.begin() + static_cast<std::ptrdiff_t>(started), launchedFor.end(), rec.ptr()) !=
               launchedFor.end();
    };

    std::string out = pyText(option(args, "output_test_config"));
    try {
        writeTestConfig(out, records);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        size_t launched = 0;
        for (auto rec : records)
            if (hasKey(rec, "ec2_ip")) ++launched;
        refuseRun("cannot write the output test config " + out + ": " + errorText(e) + "; " + std::to_string(launched) +
                  " test instance(s) launched; their addresses are not written: revert with the input config " +
                  pyText(option(args, "test_config")));
    }
    info(lg, "- Wrote " + out);
    if (dryRun(args)) return;
    // A run in which test instances failed must not report success.
    std::string why = stopRequested() ? "interrupted: " : "";
    for (auto rec : records) {
        if (!eligible(py::reinterpret_borrow<object>(rec)) || notStarted(rec)) continue;
        if (!hasKey(rec, "ec2_ip") || !hasKey(rec, "ec2_2nd_private_ip")) {
            reportFailure(why + "test instance for " + pyText(rec["private_subnet_id"]) + " is not complete");
        }
    }
}

void terminateEc2s(object ec2, object iam, object args) {
    object lg = logger();
    py::list records = loadTestConfig(args);
    object vpc = configVpc(ec2, records, args);
    // The VPC's test instances in one query, each worker taking its subnet's
    // share (a query per subnet costs the service's read budget and time as
    // the fleet grows); when that query fails, each worker asks for its own.
    object bySubnet = py::none();
    try {
        bySubnet = testInstancesBySubnet(ec2, vpc);
    } catch (py::error_already_set &e) {
        if (!isAwsError(e)) throw;
        info(lg, "  listing the test instances subnet by subnet: " + errorText(e));
    }
    // What a revert worker could not remove is still there.
    py::cpp_function revertSubnet(
        [bySubnet](object ec2_client, object, object args, object subnet_id) {
            if (stopRequested()) return;
            py::list found = bySubnet.is_none() ? testInstancesInSubnet(ec2_client, subnet_id)
                                                : py::list(bySubnet.attr("get")(subnet_id, py::list()));
            removeInstances(ec2_client, found, subnet_id, args);
        },
        py::arg("ec2_client"), py::arg("iam_client"), py::arg("args"), py::arg("subnet_id"));
    object guarded = guardedWorker(revertSubnet, "revert of", "subnet_id");
    std::vector<std::pair<object, py::dict>> calls;
    py::set seen;
    for (auto rec : records) {
        if (!eligible(py::reinterpret_borrow<object>(rec))) continue;
        if (seen.contains(rec["gw_subnet_id"])) continue;  // one worker per subnet
        seen.add(rec["gw_subnet_id"]);
        py::dict kw = kwargs(ec2, iam, args);
        kw["subnet_id"] = rec["gw_subnet_id"];
        calls.emplace_back(guarded, kw);
    }
    progressStart(calls.size());
    runWorkers(calls);

    if (stopRequested()) {
        error(lg, "  **Error** interrupted: shared resources of " + pyText(vpc) + " kept");
        return;
    }
    if (dryRun(args)) {
        removeSharedResources(ec2, vpc, args);
        return;
    }
    std::optional<object> listed = testInstancesInVpc(ec2, vpc);
    if (!listed) {
        // Without the list, instances may remain: their group and key stay.
        reportFailure("cannot list the test instances of " + pyText(vpc) + ": shared resources kept");
        return;
    }
    object left = *listed;
    if (!left.is_none() && py::len(left) > 0) {
        info(lg, "- Keep the shared resources of " + pyText(vpc) + ": " + std::to_string(py::len(left)) +
                     " test instance(s) remain");
        reportFailure("test instances remain in " + pyText(vpc) + ": " + pyText(py::str(", ").attr("join")(left)) +
                      "; run the revert again");
        return;
    }
    removeSharedResources(ec2, vpc, args);
}

void removeSharedResources(object ec2, object vpc, object args) {
    object lg = logger();
    auto removeGroup = [&](const char *name) {
        info(lg, std::string("- Delete SG ") + name);
        object id = getSgId(ec2, vpc, py::str(name));
        if (id.is_none()) {
            info(lg, "  not found");
            return;
        }
        if (!isToolsGroup(ec2, vpc, name)) return;
        info(lg, "  delete SG " + pyText(id));
        deleteSG(ec2, id, args);
    };
    removeGroup(kSgName);
    for (auto ifc : getNetworkInterfaces(ec2, vpc)) deleteNetworkInterface(ec2, ifc["NetworkInterfaceId"], args);
    releaseStrayAddresses(ec2, vpc, args);
    removeGroup(kPrivateSgName);
    deleteKeyPair(ec2, py::str(kKeyPairPrefix + pyText(vpc)), args);
}

// Removes one test instance: its second interface, the instance, its elastic IP.
static void deleteTestInstance(object ec2, object inst, object subnet_id, object args) {
    object lg = logger();
    py::tuple parts = instanceParts(inst, subnet_id);
    object insId = parts[0], ifc = parts[2];
    object ifcId = getOrNone(ifc, "NetworkInterfaceId");
    object attachmentId = getOrNone(getOrNone(ifc, "Attachment"), "AttachmentId");
    if (!attachmentId.is_none()) detachInterface(ec2, attachmentId, ifcId, subnet_id, args);
    deleteNetworkInterface(ec2, ifcId, args);
    // The tool's elastic IPs of the instance go with it whatever the flags of
    // this run (a revert without --eip after a deployment with it included).
    py::list owned;
    py::list filters;
    filters.append(filterSpec("instance-id", listOf(insId)));
    filters.append(filterSpec("tag:Name", listOf(py::str(kEipName))));
    try {
        for (auto address : allPages(ec2, "describe_addresses", "Addresses", py::dict("Filters"_a = filters)))
            owned.append(address);
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        // Once the instance is gone its addresses are unassociated: the VPC's
        // stray addresses are released after the fleet.
        info(lg, "  cannot list the elastic IPs of " + pyText(insId) + " (" + errorText(e) +
                     "): they go with the VPC's stray addresses");
    }
    info(lg, std::string("- Delete ") + kInstanceName + " in " + pyText(subnet_id));
    info(lg, "  terminate " + pyText(insId) + " in " + pyText(subnet_id));
    if (!dryRun(args)) {
        object waiter = ec2.attr("get_waiter")("instance_terminated");
        ec2.attr("terminate_instances")("InstanceIds"_a = listOf(insId));
        waiter.attr("wait")("InstanceIds"_a = listOf(insId));
    }
    for (auto address : owned) {
        try {
            releaseEIP(ec2, address["PublicIp"], address["AllocationId"], insId, args);
        } catch (py::error_already_set &e) {
            if (!isServiceError(e)) throw;
            // Unassociated now: the VPC's stray addresses are released (or
            // reported) after the fleet.
            info(lg, "  cannot release elastic IP " + pyText(address["PublicIp"]) + " yet (" + errorText(e) +
                         "): it goes with the VPC's stray addresses");
        }
    }
}

// Removes the given live test instances of a gateway subnet.
static void removeInstances(object ec2, py::list found, object subnet_id, object args) {
    object lg = logger();
    std::string suffix = std::string(" ec2 with tag Name:") + kInstanceName + " found in " + pyText(subnet_id);
    if (py::len(found) == 0) {
        info(lg, "  No" + suffix);
        return;
    }
    if (py::len(found) > 1) info(lg, "  **Alert** More than one" + suffix + ": all are removed");
    for (auto inst : found) deleteTestInstance(ec2, py::reinterpret_borrow<object>(inst), subnet_id, args);
    progressStep("removed");
}

void deleteEc2(object ec2, object /*iam: the signature is shared with createEc2's callers*/, object subnet_id,
               object args) {
    if (stopRequested()) return;
    removeInstances(ec2, testInstancesInSubnet(ec2, subnet_id), subnet_id, args);
}

}  // namespace rollprobe

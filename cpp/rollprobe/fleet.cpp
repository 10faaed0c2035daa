// Fleet deployment and teardown: shared resources of the VPC, one worker per
// eligible record.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
[[noreturn]] void refuseConfig(const std::string &path, const std::string &problem) {
    error(logger(), "  **Error** test config " + path + ": " + problem);
    exitProcess(1);
}

bool eligible(object record) { return truthy(item(record, "private_subnet_id")); }

py::dict kwargs(object ec2, object iam, object args) {
    py::dict kw;
    kw["ec2_client"] = ec2;
    kw["iam_client"] = iam;
    kw["args"] = args;
    return kw;
}
}  // namespace

// Elastic IPs of the tool that were allocated but never associated (a run
// ended between the two requests) belong to no instance any more.
static void releaseStrayAddresses(object ec2, object args) {
    object resp = ec2.attr("describe_addresses")("Filters"_a = one(filter("tag:Name", one(py::str(kEipName)))));
    for (auto address : resp["Addresses"].cast<py::list>()) {
        if (has(address, "AssociationId")) continue;
        releaseEIP(ec2, address["PublicIp"], address["AllocationId"], py::none(), args);
    }
}

py::list loadTestConfig(object args) {
    std::string path = text(opt(args, "test_config"));
    object data;
    try {
        data = readJsonFile(path);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        if (e.matches(PyExc_OSError)) refuseConfig(path, "cannot be read (" + errorText(e) + ")");
        if (e.matches(PyExc_ValueError)) refuseConfig(path, "is not JSON (" + errorText(e) + ")");
        throw;
    }
    if (!py::isinstance<py::list>(data)) refuseConfig(path, "is not a JSON list of test records");
    py::list records = data;
    if (py::len(records) == 0) refuseConfig(path, "holds no test record");
    size_t index = 0;
    for (auto rec : records) {
        std::string where = "record " + std::to_string(index++);
        if (!py::isinstance<py::dict>(rec)) refuseConfig(path, where + " is not a JSON object");
        object gw = item(rec, "gw_subnet_id");
        if (!py::isinstance<py::str>(gw) || !truthy(gw)) refuseConfig(path, where + " has no gw_subnet_id");
        if (!py::isinstance<py::str>(item(rec, "private_subnet_id")))
            refuseConfig(path, where + " has no private_subnet_id");
        object cidr = item(rec, "private_subnet_cidr");
        if (truthy(item(rec, "private_subnet_id")) && !py::isinstance<py::str>(cidr))
            refuseConfig(path, where + " has no private_subnet_cidr");
    }
    return records;
}

void deployEc2s(object ec2, object s3, object iam, object ami, object args) {
    object lg = logger();
    py::list records = loadTestConfig(args);
    object vpc = getVpcId(ec2, records[0]["gw_subnet_id"]);
    object sg = createSG(ec2, vpc, args);
    object sgPrivate = createPrivateInfSG(ec2, vpc, args);
    object keyName = opt(args, "key_name");
    if (keyName.is_none()) keyName = py::str(createKeyPair(ec2, s3, vpc, args));
    object profile = py::none();
    if (text(opt(args, "ec2_role")) == "default") {
        object arn = createS3Policy(iam, args);
        createEc2Role(iam, arn);
        createInstanceProfile(iam);
        profile = py::str(kProfileName);
    }

    object worker = moduleAttr("createEc2");
    std::vector<std::pair<object, py::dict>> calls;
    for (auto rec : records) {
        if (!eligible(py::reinterpret_borrow<object>(rec))) {
            // Spoke records carry no NAT gateway id: their gateway name tells.
            object name = has(rec, "nat_gw_id") ? item(rec, "nat_gw_id") : item(rec, "gw_name");
            error(lg, "  **Error** Skip " + text(name) + " -- private_subnet_id not defined");
            continue;
        }
        py::dict kw = kwargs(ec2, iam, args);
        kw["ami"] = ami;
        kw["gw_subnet_id"] = rec["gw_subnet_id"];
        kw["private_subnet_id"] = rec["private_subnet_id"];
        kw["spoke_gw_ip"] = item(rec, "gw_private_ip");
        kw["test_config"] = rec;
        kw["sg_id"] = sg;
        kw["sg_id_private_inf"] = sgPrivate;
        kw["instance_profile"] = profile;
        kw["key_name"] = keyName;
        calls.emplace_back(worker, kw);
    }
    runWorkers(calls);

    std::string out = text(opt(args, "output_test_config"));
    writeTestConfig(out, records);
    info(lg, "- Wrote " + out);
    if (dryRun(args)) return;
    // A run in which test instances failed must not report success.
    for (auto rec : records) {
        if (!eligible(py::reinterpret_borrow<object>(rec))) continue;
        if (!has(rec, "ec2_ip") || !has(rec, "ec2_2nd_private_ip")) {
            error(lg, "  **Error** test instance for " + text(rec["private_subnet_id"]) + " is not complete");
            raiseExitStatus(1);
        }
    }
}

void terminateEc2s(object ec2, object iam, object args) {
    object lg = logger();
    py::list records = loadTestConfig(args);
    object worker = moduleAttr("deleteEc2");
    std::vector<std::pair<object, py::dict>> calls;
    for (auto rec : records) {
        if (!eligible(py::reinterpret_borrow<object>(rec))) continue;
        py::dict kw = kwargs(ec2, iam, args);
        kw["subnet_id"] = rec["gw_subnet_id"];
        calls.emplace_back(worker, kw);
    }
    runWorkers(calls);

    object vpc = getVpcId(ec2, records[0]["gw_subnet_id"]);
    bool unknown = false;
    object left = testInstancesInVpc(ec2, vpc, unknown);
    if (unknown && !dryRun(args)) {
        // Without the list, instances may remain: their group and key stay.
        error(lg, "  **Error** cannot list the test instances of " + text(vpc) + ": shared resources kept");
        return;
    }
    if (!left.is_none() && py::len(left) > 0 && !dryRun(args)) {
        info(lg, "- Keep the shared resources of " + text(vpc) + ": " + std::to_string(py::len(left)) +
                     " test instance(s) remain");
        return;
    }
    auto removeGroup = [&](const char *name) {
        info(lg, std::string("- Delete SG ") + name);
        object id = getSgId(ec2, vpc, py::str(name));
        if (id.is_none()) {
            info(lg, "  not found");
            return;
        }
        info(lg, "  delete SG " + text(id));
        deleteSG(ec2, id, args);
    };
    removeGroup(kSgName);
    for (auto ifc : getNetworkInterfaces(ec2, vpc)) deleteNetworkInterface(ec2, ifc["NetworkInterfaceId"], args);
    releaseStrayAddresses(ec2, args);
    removeGroup(kPrivateSgName);
    deleteKeyPair(ec2, py::str(kKeyPairPrefix + text(vpc)), args);
}

void deleteEc2(object ec2, object iam, object subnet_id, object args) {
    object lg = logger();
    py::tuple found = getEc2(ec2, subnet_id);
    object insId = found[0], publicIp = found[1], ifc = found[2];
    object ifcId = item(ifc, "NetworkInterfaceId");
    object attachmentId = item(item(ifc, "Attachment"), "AttachmentId");
    deleteAttachment(ec2, attachmentId, subnet_id, args);
    deleteNetworkInterface(ec2, ifcId, args);
    if (insId.is_none()) return;
    object alloc = py::none();
    if (!publicIp.is_none() && truthy(opt(args, "eip"))) {
        try {
            alloc = getEipAllocationId(ec2, insId, publicIp);
        } catch (py::error_already_set &e) {
            if (isExit(e)) throw;
            // An auto-assigned address has no elastic IP; the instance still goes.
            info(lg, "  no elastic IP holds " + text(publicIp) + " of " + text(insId));
        }
    }
    info(lg, std::string("- Delete ") + kInstanceName + " in " + text(subnet_id));
    info(lg, "  terminate " + text(insId) + " in " + text(subnet_id));
    if (!dryRun(args)) {
        object waiter = ec2.attr("get_waiter")("instance_terminated");
        ec2.attr("terminate_instances")("InstanceIds"_a = one(insId));
        waiter.attr("wait")("InstanceIds"_a = one(insId));
    }
    if (!alloc.is_none()) releaseEIP(ec2, publicIp, alloc, insId, args);
}

}  // namespace rollprobe

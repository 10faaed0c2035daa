// One test instance: launched or reused, public address, second interface,
// and the addresses written into its test record.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
object InvalidParameterValue() { return moduleAttr("InvalidParameterValueException"); }

// First instance of the first reservation of a fresh describe.
object describe(object ec2, object insId) {
    object resp = ec2.attr("describe_instances")("InstanceIds"_a = listOf(insId));
    return resp["Reservations"].cast<py::list>()[0]["Instances"].cast<py::list>()[0];
}

bool hasPublicIp(object inst) { return truthy(getOrNone(inst, "PublicIpAddress")); }

// Resolves a role named by --ec2_role to the name of its instance profile
// (which differs from the role's name for roles not made in the console); ends
// the worker when there is none.
object profileForRole(object iam, object role) {
    object lg = logger();
    std::string name = pyText(role);
    object resp;
    try {
        resp = iam.attr("list_instance_profiles_for_role")("RoleName"_a = role);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        auto code = awsErrorCode(e);
        if (code && *code == "NoSuchEntity") {
            error(lg, "  **Error** role not found " + name);
        } else {
            error(lg, "  **Error** " + errorText(e));
            if (!code) printTraceback(e);
        }
        exitProcess(1);
    }
    if (py::len(resp["InstanceProfiles"]) == 0) {
        refuseRun("no instance profile found for role " + name);
    }
    info(lg, "- Assign role " + name + " to " + kInstanceName);
    return resp["InstanceProfiles"].cast<py::list>()[0]["InstanceProfileName"];
}

// True, with one line, once a stop was requested: the worker starts no new step.
bool stopBefore(const std::string &step, object subnet) {
    if (!stopRequested()) return false;
    info(logger(), "  stop requested: " + step + " in " + pyText(subnet) + " not started");
    return true;
}

// A launch refusal that concerns the instance profile (one made moments ago
// that EC2 does not see yet) is worth retrying; any other is final.
bool profileNotReady(const std::string &message) {
    std::string lower = pyText(py::str(message).attr("lower")());
    return lower.find("instance profile") != std::string::npos || lower.find("iaminstanceprofile") != std::string::npos;
}

// The run_instances request of one test instance (without UserData).
py::dict launchRequest(object ami, object gw_subnet_id, object sg_id, object profile, object key_name, object args) {
    py::dict req;
    req["InstanceType"] = option(args, "instance_type");
    req["MinCount"] = 1;
    req["MaxCount"] = 1;
    req["ImageId"] = ami;
    req["TagSpecifications"] = taggedSpec("instance", kInstanceName, args);
    py::dict nic;
    nic["DeviceIndex"] = 0;
    nic["SubnetId"] = gw_subnet_id;
    if (!truthy(option(args, "eip"))) nic["AssociatePublicIpAddress"] = true;
    if (!sg_id.is_none()) nic["Groups"] = listOf(sg_id);
    req["NetworkInterfaces"] = listOf(nic);
    if (!profile.is_none()) {
        py::dict p;
        p["Name"] = profile;
        req["IamInstanceProfile"] = p;
    }
    req["KeyName"] = key_name;
    return req;
}

// Removes a record's result and log objects of an earlier deployment, so a
// verdict read later is this instance's own. False, with one error line, when
// they cannot be removed.
bool removeOldResults(object s3, object bucket, const std::string &tag) {
    if (s3.is_none()) return true;
    for (const std::string &key : {"result-" + tag + ".txt", "log-" + tag + ".txt"}) {
        try {
            s3.attr("delete_object")("Bucket"_a = bucket, "Key"_a = key);
        } catch (py::error_already_set &e) {
            if (!isServiceError(e)) throw;
            if (*awsErrorCode(e) == "NoSuchBucket") return true;  // nothing old there
            error(logger(),
                  "  **Error** cannot remove the old s3://" + pyText(bucket) + "/" + key + ": " + errorText(e));
            return false;
        }
    }
    return true;
}

// The public interfaces (in the gateway subnet) of an instance description.
py::list publicInterfaces(object desc, object gw_subnet_id) {
    py::list ids;
    for (auto ifc : desc["NetworkInterfaces"].cast<py::list>())
        if (pyEquals(getOrNone(ifc, "SubnetId"), gw_subnet_id)) ids.append(ifc["NetworkInterfaceId"]);
    return ids;
}

// Gives a running instance its public address (elastic IP with --eip), tags a
// new instance's public interface and records the address. False when the
// instance has no public address in the end.
bool recordPublicAddress(object ec2, object insId, object gw_subnet_id, object private_subnet_id, bool firstTime,
                         object vpc_id, object args, object test_config) {
    object lg = logger();
    object inst = describe(ec2, insId);
    py::list pubIfcs = publicInterfaces(inst, gw_subnet_id);
    if (!hasPublicIp(inst)) {
        if (truthy(option(args, "eip"))) associateEIP(ec2, pubIfcs[0], args, vpc_id);
        inst = describe(ec2, insId);
        pubIfcs = publicInterfaces(inst, gw_subnet_id);
    } else if (firstTime && truthy(option(args, "eip"))) {
        info(lg, "  no elastic IP allocated for " + pyText(insId) + ": the gateway subnet " + pyText(gw_subnet_id) +
                     " gave it the public address " + pyText(inst["PublicIpAddress"]) + " on launch");
    }
    if (firstTime) {
        py::dict req;
        req["Resources"] = pubIfcs;
        req["Tags"] = taggedList(kInterfaceName, args);
        ec2.attr("create_tags")(**req);
    }
    info(lg, std::string("- Created ") + kInstanceName + " in " + pyText(private_subnet_id));
    for (int waits = 0; !hasPublicIp(inst) && waits < 2; ++waits) {
        sleepSeconds(5);
        inst = describe(ec2, insId);
    }
    if (!hasPublicIp(inst)) {
        if (truthy(option(args, "eip")))
            error(lg, "  Failed to allocate and associate EIP to " + pyText(insId));
        else
            error(lg, "  Failed to allocate public IP to " + pyText(insId));
        return false;
    }
    info(lg, "  public ip: " + pyText(inst["PublicIpAddress"]));
    if (!test_config.is_none()) test_config["ec2_ip"] = inst["PublicIpAddress"];
    return true;
}
}  // namespace

std::string renderUserData(object spoke_gw_ip, object s3_bucket, const std::string &tag) {
    // Every value lands unquoted in a script run as root: only plain values pass.
    if (!isIPv4(spoke_gw_ip))
        raisePy(PyExc_ValueError,
                "gateway address " + py::repr(spoke_gw_ip).cast<std::string>() + " is not an IPv4 address");
    if (!isBucketName(s3_bucket))
        raisePy(PyExc_ValueError, "bucket " + py::repr(s3_bucket).cast<std::string>() + " is not an S3 bucket name");
    if (!isSafeName(py::str(tag)))
        raisePy(PyExc_ValueError,
                "tag " + py::repr(py::str(tag)).cast<std::string>() + " has characters outside [A-Za-z0-9._:-]");
    object tmpl =
        importModule("jinja2").attr("Template")(moduleAttr("user_data_tmp"), "keep_trailing_newline"_a = true);
    return tmpl.attr("render")("spoke_gw_ip"_a = spoke_gw_ip, "s3_bucket"_a = s3_bucket, "tag"_a = tag)
        .cast<std::string>();
}

object createEc2WithRetryOnce(object ec2, object data) {
    object lg = logger();
    try {
        object resp = ec2.attr("run_instances")(**data);
        object inst = resp["Instances"].cast<py::list>()[0];
        object id = inst["InstanceId"];
        object subnet = getOrNone(inst["NetworkInterfaces"].cast<py::list>()[0], "SubnetId");
        info(lg, std::string("  Instance ") + kInstanceName + " " + pyText(id) + " created in " + pyText(subnet));
        return id;
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        auto code = awsErrorCode(e);
        if (code && *code == "InvalidParameterValue" && profileNotReady(errorText(e))) {
            info(lg, std::string("  Instance profile ") + kProfileName + " is not ready, retry in 10 sec");
            raisePy(InvalidParameterValue(), errorText(e));
        }
        error(lg, "  **Error** " + errorText(e));
        if (!code) printTraceback(e);
        return py::none();
    }
}

object createEc2WithRetry(object ec2, object data) {
    return retryCall(py::cpp_function(&createEc2WithRetryOnce), py::make_tuple(ec2, data), py::dict(),
                     InvalidParameterValue(), 6, 10);
}

void createEc2(object ec2, object iam, object ami, object gw_subnet_id, object private_subnet_id, object spoke_gw_ip,
               object args, object test_config, object sg_id, object sg_id_private_inf, object instance_profile,
               object key_name, object s3, object vpc_id) {
    object lg = logger();
    object role = option(args, "ec2_role");
    object profile = instance_profile;
    if (pyText(role) != "default" && !role.is_none()) profile = profileForRole(iam, role);
    info(lg, std::string("- Create ") + kInstanceName + " in private " + pyText(private_subnet_id));

    py::tuple found = getEc2(ec2, gw_subnet_id);
    object insId = found[0];
    object privateIfc = found[2];
    bool firstTime = false;
    if (insId.is_none()) {
        py::dict req = launchRequest(ami, gw_subnet_id, sg_id, profile, key_name, args);
        // The boot script runs the egress test and uploads its result; without
        // a bucket there is nowhere to upload, so no script is sent.
        std::string tag;
        if (isGiven(args, "s3_bucket")) {
            tag = deduceTag(args, test_config);
            try {
                req["UserData"] = renderUserData(spoke_gw_ip, option(args, "s3_bucket"), tag);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_ValueError)) throw;
                error(lg, "  **Error** boot script for " + pyText(private_subnet_id) + " refused: " + errorText(e));
                return;
            }
        }
        if (dryRun(args) || stopBefore("launch", gw_subnet_id)) return;
        if (!tag.empty() && !removeOldResults(s3, option(args, "s3_bucket"), tag)) return;
        object waiter = ec2.attr("get_waiter")("instance_status_ok");
        insId = createEc2WithRetry(ec2, req);
        if (insId.is_none()) return;
        progressStep("launched");
        waiter.attr("wait")("InstanceIds"_a = listOf(insId));
        firstTime = true;
    }

    if (stopBefore("public address", gw_subnet_id)) return;
    py::list statuses = ec2.attr("describe_instance_status")("InstanceIds"_a = listOf(insId))["InstanceStatuses"];
    if (py::len(statuses) > 0 &&
        !recordPublicAddress(ec2, insId, gw_subnet_id, private_subnet_id, firstTime, vpc_id, args, test_config))
        return;

    if (stopBefore("second interface", gw_subnet_id)) return;
    if (privateIfc.is_none()) createNetworkfInterface(ec2, insId, private_subnet_id, sg_id_private_inf, args);
    try {
        lookupInf2PrivateIp(ec2, insId, test_config);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg, "  **Error** " + errorText(e));
        if (!isServiceError(e) && !e.matches(valueNotFoundError())) printTraceback(e);
    }
}

}  // namespace rollprobe

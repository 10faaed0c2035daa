// One test instance: launched or reused, public address, second interface,
// and the addresses written into its test record.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
object InvalidParameterValue() { return moduleAttr("InvalidParameterValueException"); }

// First instance of the first reservation of a fresh describe.
object describe(object ec2, object insId) {
    object resp = ec2.attr("describe_instances")("InstanceIds"_a = one(insId));
    return resp["Reservations"].cast<py::list>()[0]["Instances"].cast<py::list>()[0];
}

bool hasPublicIp(object inst) { return truthy(item(inst, "PublicIpAddress")); }

// Resolves a role named by --ec2_role to its instance profile; ends the worker
// when there is none.
object profileForRole(object iam, object role) {
    object lg = logger();
    std::string name = text(role);
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
            printTraceback(e);
        }
        exitProcess(1);
    }
    if (py::len(resp["InstanceProfiles"]) == 0) {
        error(lg, "  **Error** no instance profile found for role " + name);
        exitProcess(1);
    }
    info(lg, "- Assign role " + name + " to " + kInstanceName);
    return role;
}
}  // namespace

std::string renderUserData(object spoke_gw_ip, object s3_bucket, const std::string &tag) {
    object tmpl = imp("jinja2").attr("Template")(moduleAttr("user_data_tmp"), "keep_trailing_newline"_a = true);
    return tmpl.attr("render")("spoke_gw_ip"_a = spoke_gw_ip, "s3_bucket"_a = s3_bucket, "tag"_a = tag).cast<std::string>();
}

object createEc2WithRetryOnce(object ec2, object data) {
    object lg = logger();
    try {
        object resp = ec2.attr("run_instances")(**data);
        object inst = resp["Instances"].cast<py::list>()[0];
        object id = inst["InstanceId"];
        object subnet = item(inst["NetworkInterfaces"].cast<py::list>()[0], "SubnetId");
        info(lg, std::string("  Instance ") + kInstanceName + " " + text(id) + " created in " + text(subnet));
        return id;
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        auto code = awsErrorCode(e);
        if (code && *code == "InvalidParameterValue") {
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
               object key_name) {
    object lg = logger();
    object role = opt(args, "ec2_role");
    object profile = instance_profile;
    if (text(role) != "default") {
        if (!role.is_none()) profile = profileForRole(iam, role);
    }
    info(lg, std::string("- Create ") + kInstanceName + " in private " + text(private_subnet_id));

    py::tuple found = getEc2(ec2, gw_subnet_id);
    object insId = found[0];
    object privateIfc = found[2];
    bool firstTime = false;
    if (insId.is_none()) {
        py::dict req;
        req["InstanceType"] = opt(args, "instance_type");
        req["MinCount"] = 1;
        req["MaxCount"] = 1;
        req["ImageId"] = ami;
        req["TagSpecifications"] = nameTagSpec("instance", kInstanceName);
        object rt = opt(args, "tag_resource");
        if (!rt.is_none()) populateTags(req["TagSpecifications"].cast<py::list>()[0]["Tags"], rt);
        py::dict nic;
        nic["DeviceIndex"] = 0;
        nic["SubnetId"] = gw_subnet_id;
        if (!truthy(opt(args, "eip"))) nic["AssociatePublicIpAddress"] = true;
        if (!sg_id.is_none()) nic["Groups"] = one(sg_id);
        req["NetworkInterfaces"] = one(nic);
        if (!profile.is_none()) {
            py::dict p;
            p["Name"] = profile;
            req["IamInstanceProfile"] = p;
        }
        req["KeyName"] = key_name;
        // The boot script runs the egress test and uploads its result; without
        // a bucket there is nowhere to upload, so no script is sent.
        if (given(args, "s3_bucket"))
            req["UserData"] = renderUserData(spoke_gw_ip, opt(args, "s3_bucket"), deduceTag(args, test_config));
        if (dryRun(args)) return;
        object waiter = ec2.attr("get_waiter")("instance_status_ok");
        insId = createEc2WithRetry(ec2, req);
        if (insId.is_none()) return;
        waiter.attr("wait")("InstanceIds"_a = one(insId));
        firstTime = true;
    }

    py::list statuses = ec2.attr("describe_instance_status")("InstanceIds"_a = one(insId))["InstanceStatuses"];
    if (py::len(statuses) > 0) {
        object inst = describe(ec2, insId);
        auto publicInterfaces = [&](object desc) {
            py::list ids;
            for (auto ifc : desc["NetworkInterfaces"].cast<py::list>())
                if (eq(item(ifc, "SubnetId"), gw_subnet_id)) ids.append(ifc["NetworkInterfaceId"]);
            return ids;
        };
        py::list pubIfcs = publicInterfaces(inst);
        if (!hasPublicIp(inst)) {
            if (truthy(opt(args, "eip"))) associateEIP(ec2, pubIfcs[0], args);
            inst = describe(ec2, insId);
            pubIfcs = publicInterfaces(inst);
        }
        if (firstTime) {
            py::dict req;
            req["Resources"] = pubIfcs;
            req["Tags"] = one(tag("Name", kInterfaceName));
            object rt = opt(args, "tag_resource");
            if (!rt.is_none()) populateTags(req["Tags"], rt);
            ec2.attr("create_tags")(**req);
        }
        info(lg, std::string("- Created ") + kInstanceName + " in " + text(private_subnet_id));
        for (int waits = 0; !hasPublicIp(inst) && waits < 2; ++waits) {
            sleepSeconds(5);
            inst = describe(ec2, insId);
        }
        if (!hasPublicIp(inst)) {
            if (truthy(opt(args, "eip")))
                error(lg, "  Failed to allocate and associate EIP to " + text(insId));
            else
                error(lg, "  Failed to allocate public IP to " + text(insId));
            return;
        }
        info(lg, "  public ip: " + text(inst["PublicIpAddress"]));
        if (!test_config.is_none()) test_config["ec2_ip"] = inst["PublicIpAddress"];
    }

    if (privateIfc.is_none()) createNetworkfInterface(ec2, insId, private_subnet_id, sg_id_private_inf, args);
    try {
        lookupInf2PrivateIp(ec2, insId, test_config);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg, "  **Error** " + errorText(e));
        printTraceback(e);
    }
}

}  // namespace rollprobe

// The two security groups of a VPC's test instances.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
// The workflow engine's public IPv4 address, from the echo service.
std::string publicIp() {
    object resp = importModule("requests")
                      .attr("get")(moduleAttr("PUBLIC_IP_URL"), "params"_a = py::dict("format"_a = "json"),
                                   "timeout"_a = moduleAttr("PUBLIC_IP_TIMEOUT"));
    resp.attr("raise_for_status")();
    return pyText(resp.attr("json")()["ip"]);
}

py::dict createRequest(object vpc_id, const char *name, object args) {
    py::dict req;
    req["Description"] = "Brimvale test ec2";
    req["GroupName"] = name;
    req["VpcId"] = vpc_id;
    req["TagSpecifications"] = taggedSpec("security-group", name, args);
    return req;
}

// Looks a group up; logs the reuse line when found.
object reuse(object ec2, object vpc_id, const char *name) {
    object id = getSgId(ec2, vpc_id, py::str(name));
    if (!id.is_none())
        info(logger(), std::string("- Reuse existing SG ") + name + " " + pyText(id) + " in " + pyText(vpc_id));
    return id;
}

// The create request of one group; with `sshRule`, the single /32 SSH rule.
object create(object ec2, object vpc_id, object args, const char *name, bool sshRule) {
    object lg = logger();
    py::dict req = createRequest(vpc_id, name, args);
    info(lg, std::string("- Create SG ") + name + " in " + pyText(vpc_id));
    try {
        std::string ip;
        if (sshRule) ip = publicIp();
        if (dryRun(args)) return py::none();
        object id = ec2.attr("create_security_group")(**req)["GroupId"];
        info(lg, "  " + pyText(id));
        // A group without its rule would be reused as it is by later runs:
        // when the rule is refused, the group goes again.
        struct Undo {
            object ec2, id;
            bool armed = true;
            ~Undo() {
                if (!armed) return;
                try {
                    ec2.attr("delete_security_group")("GroupId"_a = id);
                } catch (py::error_already_set &) {}
            }
        } undo{ec2, id, sshRule};
        if (sshRule) {
            py::dict range;
            range["CidrIp"] = ip + "/32";
            range["Description"] = "SSH access from the workflow engine";
            py::dict perm;
            perm["FromPort"] = 22;
            perm["IpProtocol"] = "tcp";
            perm["IpRanges"] = listOf(range);
            perm["ToPort"] = 22;
            ec2.attr("authorize_security_group_ingress")("GroupId"_a = id, "IpPermissions"_a = listOf(perm));
            undo.armed = false;
        }
        return id;
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        if (!isServiceError(e) && !e.matches(importModule("requests").attr("RequestException"))) printTraceback(e);
        refuseRun(std::string("cannot create SG ") + name + ": " + errorText(e));
    }
}
}  // namespace

object getSgId(object ec2, object vpc_id, object sg_name) {
    py::list filters;
    filters.append(filterSpec("vpc-id", listOf(vpc_id)));
    filters.append(filterSpec("group-name", listOf(sg_name)));
    try {
        py::list groups = ec2.attr("describe_security_groups")("Filters"_a = filters)["SecurityGroups"];
        if (py::len(groups) > 0) return groups[0]["GroupId"];
        return py::none();
    } catch (py::error_already_set &e) {
        // Only "not found" means no group; a refusal (no permission) must
        // not read as an absent group.
        auto code = awsErrorCode(e);
        if (!code || *code != "InvalidGroup.NotFound") throw;
        error(logger(), "  **Error** SG not found " + pyText(sg_name) + " in " + pyText(vpc_id));
        return py::none();
    }
}

object createSG(object ec2, object vpc_id, object args) {
    object id = reuse(ec2, vpc_id, kSgName);
    return id.is_none() ? create(ec2, vpc_id, args, kSgName, true) : id;
}

object createPrivateInfSG(object ec2, object vpc_id, object args) {
    object id = reuse(ec2, vpc_id, kPrivateSgName);
    return id.is_none() ? create(ec2, vpc_id, args, kPrivateSgName, false) : id;
}

void deleteSG(object ec2, object sgId, object args) {
    if (dryRun(args)) return;
    try {
        ec2.attr("delete_security_group")("GroupId"_a = sgId);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        if (!isServiceError(e)) printTraceback(e);
        // The group remains: the revert must not read as complete.
        reportFailure("cannot delete SG " + pyText(sgId) + ": " + errorText(e));
    }
}

}  // namespace rollprobe

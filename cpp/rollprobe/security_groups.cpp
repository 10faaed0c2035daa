// The two security groups of a VPC's test instances.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
// The workflow engine's public IPv4 address, from the echo service. Any
// failure (no answer, an error status, an answer without an address) is one
// line naming the service and what to do.
std::string publicIp() {
    object url = moduleAttr("PUBLIC_IP_URL");
    object ip = py::none();
    std::string why;
    try {
        object resp = importModule("requests")
                          .attr("get")(url, "params"_a = py::dict("format"_a = "json"),
                                       "timeout"_a = moduleAttr("PUBLIC_IP_TIMEOUT"));
        resp.attr("raise_for_status")();
        ip = getOrNone(resp.attr("json")(), "ip");
        if (!isIPv4(ip)) why = "its answer holds no IPv4 address";
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        why = printable(errorText(e));
    }
    if (!why.empty())
        refuseRun("cannot learn this host's public address from the echo service " + pyText(url) + " (" + why +
                  "); the SSH rule of " + kSgName +
                  " needs it: let this host reach that service, or create the group " +
                  "with its single port-22 rule beforehand");
    return pyText(ip);
}

// What makes an existing group of the tool's name unlike the ones the tool
// makes ("" when nothing): the SSH group has one TCP port-22 rule from one
// address (/32), the private-interface group no inbound rule. Anything else
// was made by someone else and is neither reused nor deleted.
std::string shapeProblem(object group, bool sshGroup) {
    py::list perms = getOrNone(group, "IpPermissions").is_none() ? py::list() : py::list(group["IpPermissions"]);
    if (!sshGroup) return py::len(perms) == 0 ? "" : "it has inbound rules (" + printable(jsonText(perms, false)) + ")";
    if (py::len(perms) != 1) return "it has " + std::to_string(py::len(perms)) + " inbound rules, not one";
    object perm = perms[0];
    auto count = [&](const char *key) { return getOrNone(perm, key).is_none() ? 0 : py::len(perm[key]); };
    py::list ranges = getOrNone(perm, "IpRanges").is_none() ? py::list() : py::list(perm["IpRanges"]);
    std::string rule = printable(jsonText(perm, false));
    bool port22 = pyText(getOrNone(perm, "IpProtocol")) == "tcp" && pyText(getOrNone(perm, "FromPort")) == "22" &&
                  pyText(getOrNone(perm, "ToPort")) == "22";
    if (!port22 || py::len(ranges) != 1 || count("Ipv6Ranges") || count("PrefixListIds") || count("UserIdGroupPairs"))
        return "its inbound rule " + rule + " is not a single TCP port-22 rule from one address";
    std::string cidr = pyText(getOrNone(ranges[0], "CidrIp"));
    if (cidr.size() < 3 || cidr.compare(cidr.size() - 3, 3, "/32") != 0)
        return "its inbound rule admits " + cidr + ", not one address (/32)";
    return "";
}

// The group of the tool's name in the VPC (its description), or None.
object describeGroup(object ec2, object vpc_id, const char *name) {
    py::list filters;
    filters.append(filterSpec("vpc-id", listOf(vpc_id)));
    filters.append(filterSpec("group-name", listOf(py::str(name))));
    py::list groups = allPages(ec2, "describe_security_groups", "SecurityGroups", py::dict("Filters"_a = filters));
    return py::len(groups) > 0 ? object(groups[0]) : object(py::none());
}

py::dict createRequest(object vpc_id, const char *name, object args) {
    py::dict req;
    req["Description"] = "Brimvale test ec2";
    req["GroupName"] = name;
    req["VpcId"] = vpc_id;
    req["TagSpecifications"] = taggedSpec("security-group", name, args);
    return req;
}

// Looks a group up; logs the reuse line when found. A group of the tool's
// name that is not of the tool's shape is a refusal.
object reuse(object ec2, object vpc_id, const char *name, bool sshGroup) {
    object group = describeGroup(ec2, vpc_id, name);
    if (group.is_none()) return py::none();
    object id = group["GroupId"];
    std::string problem = shapeProblem(group, sshGroup);
    if (!problem.empty())
        refuseRun("SG " + std::string(name) + " " + pyText(id) + " in " + pyText(vpc_id) +
                  " was not made by this tool: " + problem + "; remove or rename it");
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
    object id = reuse(ec2, vpc_id, kSgName, true);
    return id.is_none() ? create(ec2, vpc_id, args, kSgName, true) : id;
}

object createPrivateInfSG(object ec2, object vpc_id, object args) {
    object id = reuse(ec2, vpc_id, kPrivateSgName, false);
    return id.is_none() ? create(ec2, vpc_id, args, kPrivateSgName, false) : id;
}

bool isToolsGroup(object ec2, object vpc_id, const char *name) {
    object group = describeGroup(ec2, vpc_id, name);
    if (group.is_none()) return true;
    std::string problem = shapeProblem(group, std::string(name) == kSgName);
    if (problem.empty()) return true;
    info(logger(), "  **Alert** SG " + std::string(name) + " " + pyText(group["GroupId"]) +
                       " kept: it was not made by this tool (" + problem + ")");
    return false;
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

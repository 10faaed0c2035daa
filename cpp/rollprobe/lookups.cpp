// Read-only queries: the test instance of a subnet, those of a VPC, a subnet's VPC.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
py::dict nameFilter() { return filterSpec("tag:Name", listOf(py::str(kInstanceName))); }

// Instances that still exist: terminated ones stay listed for about an hour.
py::dict liveFilter() {
    py::list states;
    for (const char *state : {"pending", "running", "stopping", "stopped"}) states.append(state);
    return filterSpec("instance-state-name", states);
}

// The filters of the live test instances whose `key` (subnet-id, vpc-id) is `value`.
py::list liveTestInstances(const char *key, object value) {
    py::list filters;
    filters.append(nameFilter());
    filters.append(filterSpec(key, listOf(value)));
    filters.append(liveFilter());
    return filters;
}
}  // namespace

namespace {
// Every instance of every reservation of every page.
py::list instancesOf(object ec2, py::list filters) {
    py::list found;
    for (auto r : allPages(ec2, "describe_instances", "Reservations", py::dict("Filters"_a = filters)))
        for (auto inst : r["Instances"].cast<py::list>()) found.append(inst);
    return found;
}

std::string idsText(py::list instances) {
    std::string text;
    for (auto inst : instances) text += (text.empty() ? "" : ", ") + pyText(inst["InstanceId"]);
    return text;
}
}  // namespace

py::list testInstancesInSubnet(object ec2, object subnet_id) {
    return instancesOf(ec2, liveTestInstances("subnet-id", subnet_id));
}

py::tuple instanceParts(object inst, object subnet_id) {
    object publicIp = py::none();
    object privateIfc = py::none();
    object ifcs = getOrNone(inst, "NetworkInterfaces");
    if (!ifcs.is_none()) {
        for (auto ifc : ifcs.cast<py::list>()) {
            if (!hasKey(ifc, "SubnetId")) continue;
            if (pyEquals(ifc["SubnetId"], subnet_id)) {
                object assoc = getOrNone(ifc, "Association");
                if (publicIp.is_none() && hasKey(assoc, "PublicIp")) publicIp = assoc["PublicIp"];
            } else if (privateIfc.is_none()) {
                privateIfc = py::reinterpret_borrow<object>(ifc);
            }
        }
    }
    return py::make_tuple(inst["InstanceId"], publicIp, privateIfc);
}

py::tuple getEc2(object ec2, object subnet_id) {
    object lg = logger();
    py::list found = testInstancesInSubnet(ec2, subnet_id);
    std::string prefix = std::string(" ec2 with tag Name:") + kInstanceName + " found in " + pyText(subnet_id);
    // Several where one is expected is no answer: reading it as "none" would
    // launch one more on every deployment.
    if (py::len(found) > 1)
        refuseRun("more than one test instance in " + pyText(subnet_id) + ": " + idsText(found) +
                  "; revert this subnet's test config first");
    if (py::len(found) == 1) return instanceParts(found[0], subnet_id);
    info(lg, "  No" + prefix);
    return py::make_tuple(py::none(), py::none(), py::none());
}

object getAllEc2InVpc(object ec2, object vpc_id) { return testInstancesInVpc(ec2, vpc_id).value_or(py::none()); }

py::dict testInstancesBySubnet(object ec2, object vpc_id) {
    py::dict bySubnet;
    for (auto inst : instancesOf(ec2, liveTestInstances("vpc-id", vpc_id)))
        bySubnet.attr("setdefault")(inst["SubnetId"], py::list()).attr("append")(inst);
    return bySubnet;
}

std::optional<object> testInstancesInVpc(object ec2, object vpc_id) {
    py::list filters = liveTestInstances("vpc-id", vpc_id);
    try {
        py::list found = instancesOf(ec2, filters);
        if (py::len(found) == 0) return py::none();
        info(logger(), std::string("  **Alert** More than one ec2 with tag Name:") + kInstanceName + " found in " +
                           pyText(vpc_id));
        py::list ids;
        for (auto inst : found) ids.append(inst["InstanceId"]);
        return ids;
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(logger(), "  **Error** cannot list the test instances of " + pyText(vpc_id) + ": " + errorText(e));
        if (!isServiceError(e)) printTraceback(e);
        return std::nullopt;
    }
}

object getVpcId(object ec2, object subnet_id) {
    try {
        object resp = ec2.attr("describe_subnets")("SubnetIds"_a = listOf(subnet_id));
        return resp["Subnets"].cast<py::list>()[0]["VpcId"];
    } catch (py::error_already_set &e) {
        // Only the service's answer says the subnet is unknown; no credentials,
        // no region, no permission and the like reach the tool's own error line.
        auto code = awsErrorCode(e);
        if (!code || code->find("InvalidSubnet") != 0) throw;
        info(logger(), "  **Error** cannot find subnet " + pyText(subnet_id));
        exitProcess(1);
    }
}

}  // namespace rollprobe

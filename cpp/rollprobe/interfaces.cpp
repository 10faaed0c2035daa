// The second network interface of a test instance, and elastic IPs.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
// The attachment id of the subnet's test instance's second interface, or None.
object currentAttachment(object ec2, object subnet_id) {
    object ifc = getEc2(ec2, subnet_id)[2];
    return getOrNone(getOrNone(ifc, "Attachment"), "AttachmentId");
}

// Detaches `attachment_id` and waits, at most 5 minutes, until `attached()`
// says it is gone.
void detachAndWait(object attachment_id, object subnet_id, object ec2, object args,
                   const std::function<bool()> &attached) {
    object lg = logger();
    if (attachment_id.is_none()) {
        info(lg, "- No attachment found");
        return;
    }
    info(lg, "- Delete network interface attachment " + pyText(attachment_id) + " in " + pyText(subnet_id));
    if (dryRun(args)) return;
    try {
        ec2.attr("detach_network_interface")("AttachmentId"_a = attachment_id);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        reportFailure("Failed to detach natwork interface: " + errorText(e));
        if (!isServiceError(e)) printTraceback(e);
        return;  // a refused detach never completes: nothing to wait for
    }
    const double pause = 2, limit = 300;
    for (double waited = 0; attached(); waited += pause) {
        if (waited >= limit) {
            error(lg, "  **Error** attachment " + pyText(attachment_id) + " in " + pyText(subnet_id) +
                          " still attached after 5 minutes");
            return;
        }
        sleepSeconds(pause);
    }
}
}  // namespace

void createNetworkfInterface(object ec2, object instance_id, object subnet_id, object sg_id, object args) {
    object lg = logger();
    info(lg, "- Create network interface in " + pyText(subnet_id) + " with " + pyText(sg_id));
    if (dryRun(args)) return;
    py::dict req;
    req["Description"] = "Brimvale test ec2";
    req["Groups"] = listOf(sg_id);
    req["SubnetId"] = subnet_id;
    req["TagSpecifications"] = taggedSpec("network-interface", kInterfaceName, args);
    object resp;
    try {
        resp = ec2.attr("create_network_interface")(**req);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        info(lg, "  **Error** Failed to create natwork interface: " + errorText(e));
        if (!isServiceError(e)) printTraceback(e);
        exitProcess(1);
    }
    object id = getOrNone(getOrNone(resp, "NetworkInterface"), "NetworkInterfaceId");
    if (id.is_none()) return;
    info(lg, "- Attach network interface to " + pyText(instance_id));
    ec2.attr("attach_network_interface")("DeviceIndex"_a = 1, "InstanceId"_a = instance_id,
                                         "NetworkInterfaceId"_a = id);
}

void lookupInf2PrivateIpOnce(object ec2, object insId, object test_config) {
    object lg = logger();
    object resp = ec2.attr("describe_instances")("InstanceIds"_a = listOf(insId));
    object inst = resp["Reservations"].cast<py::list>()[0]["Instances"].cast<py::list>()[0];
    object ipaddress = importModule("ipaddress");
    object net = ipaddress.attr("ip_network")(test_config["private_subnet_cidr"], "strict"_a = false);
    for (auto ifc : inst["NetworkInterfaces"].cast<py::list>()) {
        object addr = getOrNone(ifc, "PrivateIpAddress");
        if (addr.is_none()) continue;
        if (truthy(net.attr("__contains__")(ipaddress.attr("ip_address")(addr)))) {
            info(lg, "  private subnet IP: " + pyText(addr));
            test_config["ec2_2nd_private_ip"] = py::str(pyText(addr));
            return;
        }
    }
    info(lg, "  waiting for secondary interface private IP after attaching ...");
    raisePy(valueNotFoundError(), "secondary interface private IP not fonud");
}

void lookupInf2PrivateIp(object ec2, object insId, object test_config) {
    retryCall(py::cpp_function(&lookupInf2PrivateIpOnce), py::make_tuple(ec2, insId, test_config), py::dict(),
              valueNotFoundError(), 6, 2);
}

void deleteAttachment(object ec2, object attachment_id, object subnet_id, object args) {
    detachAndWait(attachment_id, subnet_id, ec2, args, [&] { return !currentAttachment(ec2, subnet_id).is_none(); });
}

void detachInterface(object ec2, object attachment_id, object interface_id, object subnet_id, object args) {
    // The interface itself says when it is free: one small lookup by id, not a
    // search of the subnet's instances.
    detachAndWait(attachment_id, subnet_id, ec2, args, [&] {
        py::list found = ec2.attr("describe_network_interfaces")("NetworkInterfaceIds"_a =
                                                                     listOf(interface_id))["NetworkInterfaces"];
        return py::len(found) > 0 && !getOrNone(getOrNone(found[0], "Attachment"), "AttachmentId").is_none() &&
               pyText(getOrNone(found[0], "Status")) != "available";
    });
}

void deleteNetworkInterface(object ec2, object network_interface_id, object args) {
    object lg = logger();
    if (network_interface_id.is_none()) return;  // nothing was made
    info(lg, "- Delete natwork interface " + pyText(network_interface_id));
    if (dryRun(args)) return;
    try {
        ec2.attr("delete_network_interface")("NetworkInterfaceId"_a = network_interface_id);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        reportFailure("Failed to delete natwork interface " + pyText(network_interface_id) + ": " + errorText(e));
        if (!isServiceError(e)) printTraceback(e);
    }
}

object getNetworkInterfaces(object ec2, object vpc_id) {
    py::list filters;
    filters.append(filterSpec("vpc-id", listOf(vpc_id)));
    filters.append(filterSpec("tag:Name", listOf(py::str(kInterfaceName))));
    filters.append(filterSpec("status", listOf(py::str("available"))));
    return ec2.attr("describe_network_interfaces")("Filters"_a = filters)["NetworkInterfaces"];
}

void associateEIP(object ec2, object networkInfId, object args, object vpc_id) {
    object lg = logger();
    info(lg, "- Allocate EIP");
    if (dryRun(args)) return;
    py::dict req;
    req["Domain"] = "vpc";
    py::list spec = taggedSpec("elastic-ip", kEipName, args);
    // The VPC tag lets a revert of this VPC find an address a run left
    // unassociated, and only that VPC's.
    if (!vpc_id.is_none()) spec[0]["Tags"].attr("append")(tagPair(kVpcTagKey, pyText(vpc_id)));
    req["TagSpecifications"] = spec;
    object resp = ec2.attr("allocate_address")(**req);
    object alloc = getOrNone(resp, "AllocationId");
    if (alloc.is_none()) {
        error(lg, "  **Error** fail to allocate EIP");
        return;
    }
    info(lg, "  allocated EIP " + pyText(getOrNone(resp, "PublicIp")) + " " + pyText(alloc));
    ec2.attr("associate_address")("AllocationId"_a = alloc, "NetworkInterfaceId"_a = networkInfId);
}

object getEipAllocationId(object ec2, object insId, object public_ip) {
    object resp = ec2.attr("describe_addresses")("Filters"_a = listOf(filterSpec("instance-id", listOf(insId))),
                                                 "PublicIps"_a = listOf(public_ip));
    return resp["Addresses"].cast<py::list>()[0]["AllocationId"];
}

void releaseEIP(object ec2, object eip, object eipAllocIp, object insId, object args) {
    info(logger(), "- Delete EIP " + pyText(eip) + " " + pyText(eipAllocIp) + " for " + pyText(insId));
    if (dryRun(args)) return;
    ec2.attr("release_address")("AllocationId"_a = eipAllocIp);
}

}  // namespace rollprobe

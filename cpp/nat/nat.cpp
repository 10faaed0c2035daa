#include "nat/nat.hpp"

using namespace glue;

namespace nat {

namespace {
const char *kLogger = modules::kNat;

py::object lg() { return logger(kLogger); }

// Refusal of discovery input: one error line, status 1, nothing written.
[[noreturn]] void refuse(const std::string &msg) { refuseRun(msg, lg()); }

std::string historyPath(py::object args) { return pyText(option(args, "backup_folder")) + "/history.json"; }

NatGwInfo &gwOf(py::handle obj) { return obj.cast<NatGwInfo &>(); }
}  // namespace

py::dict NatGwInfo::toDict() const {
    py::dict d;
    d["nat_gw_id"] = nat_gw_id;
    d["gw_private_ip"] = nat_gw_ip;
    d["gw_public_ip"] = nat_gw_public_ip;
    d["gw_subnet_id"] = subnet_id;
    d["gw_subnet_cidr"] = subnet_cidr;
    d["private_subnet_id"] = private_subnet_id;
    d["private_subnet_cidr"] = private_subnet_cidr;
    d["private_subnet_gw_ip"] = private_subnet_gw_ip;
    return d;
}

py::list getExistingNatgws(py::object ec2, py::object natGwTag, py::object vpc) {
    py::list filters;
    filters.append(filterSpec("vpc-id", listOf(vpc)));
    filters.append(filterSpec("state", listOf(py::str("available"))));
    if (truthy(natGwTag)) {
        std::string tagText = pyText(natGwTag);
        info(lg(), "NAT gateway tag specified " + tagText);
        py::list parts = py::str(tagText).attr("split")(":");
        if (py::len(parts) < 2) {
            error(lg(), "  **Error** NAT gateway tag " + tagText + " has no value: use <key>:<value>");
            raisePy(PyExc_ValueError, "nat_gw_tag must be <key>:<value>, got " + tagText);
        }
        filters.append(filterSpec(("tag:" + pyText(parts[0])).c_str(), listOf(parts[1])));
    }
    return allPages(ec2, "describe_nat_gateways", "NatGateways", py::dict("Filters"_a = filters));
}

py::dict getNatgwInfos(py::object ec2, py::object vpc) {
    // Every gateway of the VPC, so that those left out can be named with the reason.
    py::list gws = allPages(ec2, "describe_nat_gateways", "NatGateways",
                            py::dict("Filters"_a = listOf(filterSpec("vpc-id", listOf(vpc)))));
    py::dict bySubnet;
    for (auto gw : gws) {
        std::string id = pyText(gw["NatGatewayId"]);
        std::string state = pyText(getOrNone(gw, "State"));
        if (state != "available") {
            info(lg(), "  NAT gateway " + id + " left out: it is " + state + ", not available");
            continue;
        }
        if (pyText(getOrNone(gw, "ConnectivityType")) != "public") {
            info(lg(), "  NAT gateway " + id + " left out: it is private (no public address)");
            continue;
        }
        py::object first = gw["NatGatewayAddresses"].cast<py::list>()[0];
        py::object subnetId = gw["SubnetId"];
        // A test instance is found again by its gateway subnet: one gateway
        // of a subnet can be tested, and the other must not pass unnoticed.
        if (bySubnet.contains(subnetId))
            reportFailure("NAT gateway " + pyText(gwOf(bySubnet[subnetId]).nat_gw_id) + " is not tested: " + id +
                              " shares its subnet " + pyText(subnetId) + " and is tested instead",
                          lg());
        bySubnet[subnetId] = py::cast(
            NatGwInfo(gw["NatGatewayId"], subnetId, getOrNone(first, "PublicIp"), getOrNone(first, "PrivateIp")));
    }
    if (py::len(bySubnet) == 0) refuse("No available public NAT gateway found in " + pyText(vpc));
    py::list subnetIds;
    for (auto kv : bySubnet) subnetIds.append(kv.first);
    for (auto subnet : allPages(ec2, "describe_subnets", "Subnets", py::dict("SubnetIds"_a = subnetIds))) {
        py::object key = subnet["SubnetId"];
        if (!bySubnet.contains(key)) continue;
        NatGwInfo &gw = gwOf(bySubnet[key]);
        gw.subnet_cidr = subnet["CidrBlock"];
        gw.az = subnet["AvailabilityZone"];
    }
    py::dict byId;
    for (auto kv : bySubnet) byId[gwOf(kv.second).nat_gw_id] = kv.second;
    return byId;
}

py::dict filterBySubnetInHistory(py::object args, py::dict natGwInfos) {
    std::string path = historyPath(args);
    py::list known;
    try {
        py::object history = readJsonFile(path);
        if (!py::isinstance<py::dict>(history) || !hasKey(history, "natgws"))
            refuse("history file " + path + " has no \"natgws\" list");
        py::object natgws = history["natgws"];
        if (!py::isinstance<py::list>(natgws)) refuse("history file " + path + ": \"natgws\" is not a list");
        for (auto entry : natgws.cast<py::list>()) {
            if (!hasKey(entry, "subnet_id"))
                refuse("history file " + path + ": an entry of \"natgws\" has no \"subnet_id\"");
            known.append(entry["subnet_id"]);
        }
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        // A history nested too deeply for the parser is unreadable too.
        refuse("cannot read history file " + path + ": " + errorText(e));
    }
    py::dict kept;
    for (auto kv : natGwInfos) {
        if (known.contains(gwOf(kv.second).subnet_id))
            kept[kv.first] = kv.second;
        else
            info(lg(), "  NAT gateway " + pyText(kv.first) + " left out: its subnet " +
                           pyText(gwOf(kv.second).subnet_id) + " is not in history file " + path);
    }
    return kept;
}

void findNatGws(py::object args, py::object ec2, py::object s3) {
    py::object vpc = option(args, "vpc");
    py::dict infos = getNatgwInfos(ec2, vpc);
    if (pathExists(historyPath(args))) {
        infos = filterBySubnetInHistory(args, infos);
        if (py::len(infos) == 0)
            refuse("no public NAT gateway of " + pyText(vpc) + " has its subnet in history file " + historyPath(args));
    }

    py::list tables = allPages(ec2, "describe_route_tables", "RouteTables",
                               py::dict("Filters"_a = listOf(filterSpec("vpc-id", listOf(vpc)))));
    collectRoutedSubnets(tables, "NatGatewayId", infos,
                         [](py::handle gw) -> py::list { return gwOf(gw).private_subnets; });

    for (auto kv : infos) {
        NatGwInfo &gw = gwOf(kv.second);
        if (py::len(gw.private_subnets) == 0)
            refuse("cannot find a private subnet that points to NAT gw " + pyText(gw.nat_gw_id));
        for (auto subnet : allPages(ec2, "describe_subnets", "Subnets", py::dict("SubnetIds"_a = gw.private_subnets))) {
            if (!pyEquals(subnet["AvailabilityZone"], gw.az)) continue;
            gw.private_subnet_cidr = subnet["CidrBlock"];
            gw.private_subnet_id = subnet["SubnetId"];
            gw.private_subnet_gw_ip = py::str(gatewayAddress(gw.private_subnet_cidr));
            break;
        }
        if (!truthy(gw.private_subnet_id))
            refuse("cannot find a private subnet that points to NAT gw " + pyText(gw.nat_gw_id) + " in the same AZ " +
                   pyText(gw.az));
    }

    py::list records;
    for (auto kv : infos) records.append(gwOf(kv.second).toDict());
    publishTestConfig(lg(), records);

    if (isGiven(args, "s3_bucket")) {
        std::string folder = pyText(option(args, "backup_folder"));
        uploadToS3(s3, option(args, "s3_bucket"), folder + "/" + pyText(option(args, "output_test_config")));
        uploadToS3(s3, option(args, "s3_bucket"), folder + "/log/brimvale_testlibs.log");
    }
}

}  // namespace nat

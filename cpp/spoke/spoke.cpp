#include "spoke/spoke.hpp"

#include <functional>

using namespace glue;
using py::object;

namespace spoke {

namespace {
const char *kLogger = modules::kSpoke;
py::object lg() { return logger(kLogger); }

Spoke &spokeOf(py::handle obj) { return obj.cast<Spoke &>(); }

// Outcome of one controller lookup: `failed` when the controller refused or
// the exchange broke (already reported by an error line).
struct Lookup {
    py::list spokes;
    bool failed = false;
};

// What makes a controller entry unsafe to use ("" when nothing): its values
// end up in the test instances' boot script, so addresses must be IPv4
// addresses and names must stay within a safe character set. A classic HA
// peer's details may leave keys out (`partial`): only those present are checked.
std::string entryProblem(py::handle entry, bool partial) {
    py::object name = getOrNone(entry, "gw_name");
    if (!(partial && !hasKey(entry, "gw_name")) && !isSafeName(name))
        return "gateway name " + py::repr(name).cast<std::string>() + " is not a safe name";
    for (const char *key : {"private_ip", "public_ip"}) {
        py::object value = getOrNone(entry, key);
        if (partial && !hasKey(entry, key)) continue;
        if (!isIPv4(value))
            return "gateway " + pyText(name) + ": " + key + " " + py::repr(value).cast<std::string>() +
                   " is not an IPv4 address";
    }
    py::object transit = getOrNone(entry, "transit_gw_name");
    if (!transit.is_none() && truthy(transit) && !isSafeName(transit))
        return "gateway " + pyText(name) + ": transit name " + py::repr(transit).cast<std::string>() +
               " is not a safe name";
    return "";
}

// Keeps an entry when it is safe; otherwise one error line, and the lookup fails.
bool acceptEntry(py::handle entry, Lookup &out, bool partial = false) {
    std::string problem = entryProblem(entry, partial);
    if (problem.empty()) return true;
    error(lg(), "  **Error** controller answer refused: " + problem);
    out.failed = true;
    return false;
}

// The common first part of both lookups: the query and the refusal check.
// Returns the answer's mapping, or None after a refusal.
py::object queryGateways(py::object url, py::object cid, py::object name, Lookup &out) {
    py::object resp = listGatewayInfo(url, cid, py::str(""), py::str("no"), name, py::str("zor-migration-function---"));
    py::object body = resp.attr("json")();
    if (py::isinstance<py::dict>(body) && hasKey(body, "return") && pyEquals(body["return"], py::bool_(false))) {
        error(lg(), "  **Error** Failed to get gateway info from controller. " +
                        printable(pyText(getOrNone(body, "reason"))));
        out.failed = true;
        return py::none();
    }
    return body;
}

Lookup classicLookup(py::object url, py::object cid, py::object name) {
    Lookup out;
    py::list records;
    try {
        py::object body = queryGateways(url, cid, name, out);
        if (body.is_none()) return out;
        for (auto entry : body["results"].cast<py::list>()) {
            if (!pyEquals(entry["gw_name"], name) || !acceptEntry(entry, out)) continue;
            py::dict rec;
            rec["gw_name"] = entry["gw_name"];
            rec["gw_private_ip"] = entry["private_ip"];
            rec["transit_gw_name"] = entry["transit_gw_name"];
            rec["hagw_details"] = getOrNone(entry, "hagw_details");
            rec["gw_public_ip"] = entry["public_ip"];
            rec["gw_subnet_cidr"] = entry["public_subnet"];
            rec["gw_subnet"] = entry["gw_subnet_id"];
            records.append(rec);
        }
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg(), "  **Error** Failed to receive transit gateway info for spoke " + pyText(name) + ". " +
                        printable(errorText(e)));
        out.failed = true;
        return out;
    }
    if (py::len(records) == 0) return out;
    py::object rec = records[0];
    py::object primary = py::cast(Spoke());
    Spoke &s = spokeOf(primary);
    s.gw_private_ip = rec["gw_private_ip"];
    s.transit_name = rec["transit_gw_name"];
    s.gw_name = rec["gw_name"];
    s.gw_public_ip = rec["gw_public_ip"];
    s.gw_subnet = rec["gw_subnet"];
    s.gw_subnet_cidr = rec["gw_subnet_cidr"];
    s.checkStatus();
    out.spokes.append(primary);
    py::object ha = rec["hagw_details"];
    if (!ha.is_none()) {
        py::object peerObj = py::cast(Spoke());
        Spoke &peer = spokeOf(peerObj);
        if (!acceptEntry(ha, out, true)) return out;
        if (hasKey(ha, "private_ip")) {
            peer.gw_private_ip = ha["private_ip"];
            peer.transit_name = rec["transit_gw_name"];
        }
        if (hasKey(ha, "gw_name")) peer.gw_name = ha["gw_name"];
        if (hasKey(ha, "public_ip")) peer.gw_public_ip = ha["public_ip"];
        peer.checkStatus();
        out.spokes.append(peerObj);
    }
    return out;
}

Lookup hsLookup(py::object url, py::object cid, py::object name) {
    Lookup out;
    try {
        py::object body = queryGateways(url, cid, name, out);
        if (body.is_none()) return out;
        for (auto entry : body["results"].cast<py::list>()) {
            if (!pyEquals(entry["gw_name"], name) || !acceptEntry(entry, out)) continue;
            out.spokes.append(createSpoke(py::reinterpret_borrow<py::object>(entry)));
            if (hasKey(entry, "hagw_details") && hasKey(entry, "hagw_details_list"))
                for (auto peer : entry["hagw_details_list"].cast<py::list>())
                    if (acceptEntry(peer, out))
                        out.spokes.append(createSpoke(py::reinterpret_borrow<py::object>(peer)));
        }
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg(), "  **Error** Failed to receive transit gateway info for spoke " + pyText(name) + ". " +
                        printable(errorText(e)));
        if (!isServiceError(e)) printTraceback(e);
        out.failed = true;
        out.spokes = py::list();
    }
    return out;
}

// What makes a spoke unusable for a record in `vpc` ("" when nothing), given
// the interface that holds its public address: the record's gateway subnet is
// that interface's, and a controller that names another subnet, or an
// interface outside the VPC, would send the test (and its revert) elsewhere.
std::string interfaceProblem(const Spoke &s, py::handle ifc, py::object vpc) {
    std::string where = "spoke " + pyText(s.gw_name) + ": its interface " + pyText(ifc["NetworkInterfaceId"]);
    if (!pyEquals(getOrNone(ifc, "VpcId"), vpc))
        return where + " lies in " + pyText(getOrNone(ifc, "VpcId")) + ", not in " + pyText(vpc);
    if (truthy(s.gw_subnet) && !pyEquals(s.gw_subnet, getOrNone(ifc, "SubnetId")))
        return where + " lies in subnet " + pyText(getOrNone(ifc, "SubnetId")) + ", the controller names " +
               pyText(s.gw_subnet);
    return "";
}

// The discovery proper, shared by both layouts once the spokes are known. A
// spoke that cannot be tested safely is one error line and left out (status 1).
void discover(py::object args, py::object ec2, py::list spokes) {
    py::object vpc = option(args, "vpc");
    py::dict byInterface;
    py::dict interfaceOf;  // gateway name -> its interface
    for (auto sp : spokes) {
        Spoke &s = spokeOf(sp);
        py::list found = allPages(
            ec2, "describe_network_interfaces", "NetworkInterfaces",
            py::dict("Filters"_a = listOf(filterSpec("addresses.association.public-ip", listOf(s.gw_public_ip)))));
        if (py::len(found) == 0)
            raisePy(PyExc_ValueError, "no network interface holds the public address " + pyText(s.gw_public_ip) +
                                          " of spoke " + pyText(s.gw_name));
        object ifc = found[0]["NetworkInterfaceId"];
        // The classic layout names a peer twice (in its primary's answer and
        // its own): that is one gateway. Two gateways of one name would share
        // one verdict object.
        if (interfaceOf.contains(s.gw_name)) {
            if (!pyEquals(interfaceOf[s.gw_name], ifc))
                reportFailure("spoke " + pyText(s.gw_name) + " names two gateways (interfaces " +
                                  pyText(interfaceOf[s.gw_name]) + " and " + pyText(ifc) + "): the second is left out",
                              lg());
            continue;
        }
        std::string problem = interfaceProblem(s, found[0], vpc);
        if (!problem.empty()) {
            reportFailure(problem + ": left out", lg());
            continue;
        }
        interfaceOf[s.gw_name] = ifc;
        s.gw_subnet = found[0]["SubnetId"];
        byInterface[ifc] = sp;
    }
    py::list tables = allPages(ec2, "describe_route_tables", "RouteTables",
                               py::dict("Filters"_a = listOf(filterSpec("vpc-id", listOf(vpc)))));
    collectRoutedSubnets(tables, "NetworkInterfaceId", byInterface,
                         [](py::handle sp) -> py::list { return spokeOf(sp).private_subnets; });
    py::list records;
    for (auto kv : byInterface) {
        Spoke &s = spokeOf(kv.second);
        py::list subnets = s.private_subnets;
        if (py::len(subnets) == 0)
            raisePy(PyExc_ValueError, "no route table of the VPC routes through interface " + pyText(kv.first) +
                                          " of spoke " + pyText(s.gw_name));
        py::list described = allPages(ec2, "describe_subnets", "Subnets", py::dict("SubnetIds"_a = listOf(subnets[0])));
        s.first_private_subnet_cidr = described[0]["CidrBlock"];
        s.private_subnet_gw_ip = py::str(gatewayAddress(s.first_private_subnet_cidr));
        records.append(s.toDict());
    }
    if (py::len(records) == 0) return;  // every spoke was left out, each with its line
    publishTestConfig(lg(), records);
}

// Runs the discovery and makes the run fail when it found nothing usable. A
// failed discovery writes no test config: a later run must not find one and
// report success.
void findSpokes(py::object args, py::object ec2, py::object name, const std::function<Lookup()> &collect) {
    try {
        Lookup found = collect();
        if (!found.failed && py::len(found.spokes) == 0) {
            error(lg(), "  **Error** no spoke gateway named " + pyText(name) + " found on the controller");
            found.failed = true;
        }
        if (found.failed) {
            raiseExitStatus(1);
            return;
        }
        discover(args, ec2, found.spokes);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        if (!isServiceError(e) && !e.matches(PyExc_ValueError)) printTraceback(e);
        reportFailure("spoke discovery stopped: " + printable(errorText(e)), lg());
    }
}
}  // namespace

bool Spoke::isDefined() const { return truthy(gw_private_ip) || truthy(transit_name); }

void Spoke::checkStatus() const {
    if (!truthy(gw_private_ip))
        error(lg(), "  **Error** spoke " + pyText(gw_name) + " private_ip not found");
    else if (!truthy(transit_name))
        info(lg(), "  spoke " + pyText(gw_name) + " is not attached to a transit");
    else
        info(lg(), "  found " + pyText(transit_name));
}

py::dict Spoke::toDict() const {
    py::dict d;
    d["gw_name"] = gw_name;
    d["gw_private_ip"] = gw_private_ip;
    d["gw_subnet_id"] = gw_subnet;
    d["gw_subnet_cidr"] = gw_subnet_cidr;
    d["private_subnet_id"] = private_subnets.cast<py::list>()[0];
    d["private_subnet_cidr"] = first_private_subnet_cidr;
    d["private_subnet_gw_ip"] = private_subnet_gw_ip;
    return d;
}

py::object listGatewayInfo(py::object url, py::object cid, py::object account, py::object acxGwOnly, py::object gwName,
                           py::object keywordForLog) {
    py::dict payload;
    payload["action"] = "list_vpcs_summary";
    payload["CID"] = cid;
    payload["account_name"] = account;
    payload["acx_gw_only"] = acxGwOnly;
    payload["gateway_name"] = gwName;
    return importModule(modules::kZorHttps)
        .attr("_send_brimvale_api")("api_endpoint_url"_a = url, "request_method"_a = "GET", "payload"_a = payload,
                                    "keyword_for_log"_a = keywordForLog, "indent"_a = "    ");
}

py::object createSpoke(py::object info) {
    py::object obj = py::cast(Spoke());
    Spoke &s = spokeOf(obj);
    s.gw_private_ip = info["private_ip"];
    if (hasKey(info, "transit_gw_name")) s.transit_name = info["transit_gw_name"];
    s.gw_name = info["gw_name"];
    s.gw_public_ip = info["public_ip"];
    s.gw_subnet = info["gw_subnet_id"];
    s.gw_subnet_cidr = info["public_subnet"];
    s.checkStatus();
    return obj;
}

py::list getSpokeInfo(py::object url, py::object cid, py::object name) { return classicLookup(url, cid, name).spokes; }

py::list getHsSpokeInfo(py::object url, py::object cid, py::object name) { return hsLookup(url, cid, name).spokes; }

void findClassicSpokes(py::object args, py::object ec2, py::object url, py::object cid, py::object name) {
    findSpokes(args, ec2, name, [&]() {
        Lookup primary = classicLookup(url, cid, name);
        // A spoke without HA peer has no "-hagw" gateway: the controller may
        // refuse that name, which is no failure of the run.
        Lookup peer = classicLookup(url, cid, py::str(pyText(name) + "-hagw"));
        for (auto s : peer.spokes) primary.spokes.append(s);
        return primary;
    });
}

void findHsSpokes(py::object args, py::object ec2, py::object url, py::object cid, py::object name) {
    findSpokes(args, ec2, name, [&]() { return hsLookup(url, cid, name); });
}

}  // namespace spoke

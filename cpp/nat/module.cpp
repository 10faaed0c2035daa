#include "nat/nat.hpp"

using namespace glue;
using nat::NatGwInfo;

namespace {
struct Nat {};
bool initialised = false;
}  // namespace

PYBIND11_MODULE(nat, m) {
    moduleStartup(initialised, modules::kNat);
    m.doc() = R"pbdoc(
        NAT gateway discovery: for every NAT gateway of a VPC, a test subnet
        whose default route leads through it.
    )pbdoc";
    py::class_<NatGwInfo>(m, "NatGwInfo", py::dynamic_attr(), R"pbdoc(
        One NAT gateway of the VPC and the test subnet chosen for it; its
        attributes are the fields of a NAT test record.
    )pbdoc")
        .def(py::init<py::object, py::object, py::object, py::object>(), "nat_gw_id"_a, "subnet_id"_a, "public_ip"_a,
             "private_ip"_a, R"pbdoc(
        A gateway ``nat_gw_id`` in the subnet ``subnet_id`` with its public and
        private addresses; no test subnet yet.
    )pbdoc")
        .def_readwrite("nat_gw_id", &NatGwInfo::nat_gw_id)
        .def_readwrite("nat_gw_ip", &NatGwInfo::nat_gw_ip)
        .def_readwrite("nat_gw_public_ip", &NatGwInfo::nat_gw_public_ip)
        .def_readwrite("subnet_id", &NatGwInfo::subnet_id)
        .def_readwrite("subnet_cidr", &NatGwInfo::subnet_cidr)
        .def_readwrite("private_subnet_id", &NatGwInfo::private_subnet_id)
        .def_readwrite("private_subnets", &NatGwInfo::private_subnets)
        .def_readwrite("private_subnet_cidr", &NatGwInfo::private_subnet_cidr)
        .def_readwrite("private_subnet_gw_ip", &NatGwInfo::private_subnet_gw_ip)
        .def_readwrite("az", &NatGwInfo::az)
        .def("toDict", &NatGwInfo::toDict, R"pbdoc(
        The NAT test record of this gateway as a dict (the keys of the test
        config).
    )pbdoc");
    py::class_<Nat>(m, "Nat", "The NAT discovery operations (static methods).")
        .def_static("get_existing_natgws", &nat::getExistingNatgws, "ec2_client"_a, "nat_gw_tag"_a, "vpc"_a, R"pbdoc(
        Returns the descriptions of the available public NAT gateways of
        ``vpc`` (with the tag ``nat_gw_tag`` when it is given) as a list.
    )pbdoc")
        .def_static("get_natgw_infos", &nat::getNatgwInfos, "ec2_client"_a, "vpc"_a, R"pbdoc(
        Returns ``{nat_gw_id: NatGwInfo}`` for the public NAT gateways of
        ``vpc``, each with the subnets whose route table sends the default
        route to it and the first of them as its test subnet.
    )pbdoc")
        .def_static("filterBySubnetInHistory", &nat::filterBySubnetInHistory, "args"_a, "natGwInfos"_a, R"pbdoc(
        Keeps, of ``natGwInfos``, the gateways whose subnet is not yet in the
        backup folder's history file, and returns them as a new dict. A filter
        that keeps no gateway ends the run with status 1.
    )pbdoc")
        .def_static("findNatGws", &nat::findNatGws, "args"_a, "ec2_client"_a, "s3_client"_a, R"pbdoc(
        The ``cellscan natgw`` run: discovers the test subnets of ``args.vpc``
        and writes the NAT test config (and its copy in ``args.s3_bucket``).
        No test config is written when no gateway has a test subnet. Returns None.
    )pbdoc");
}

#include "nat/nat.hpp"

using namespace glue;
using nat::NatGwInfo;

namespace {
struct Nat {};
bool initialised = false;
}  // namespace

PYBIND11_MODULE(nat, m) {
    moduleStartup(initialised, "brimvale_testlibs.bin.lib.nat");
    py::class_<NatGwInfo>(m, "NatGwInfo", py::dynamic_attr())
        .def(py::init<py::object, py::object, py::object, py::object>(), "nat_gw_id"_a, "subnet_id"_a,
             "public_ip"_a, "private_ip"_a)
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
        .def("toDict", &NatGwInfo::toDict);
    py::class_<Nat>(m, "Nat")
        .def_static("get_existing_natgws", &nat::getExistingNatgws, "ec2_client"_a, "nat_gw_tag"_a, "vpc"_a)
        .def_static("get_natgw_infos", &nat::getNatgwInfos, "ec2_client"_a, "vpc"_a)
        .def_static("filterBySubnetInHistory", &nat::filterBySubnetInHistory, "args"_a, "natGwInfos"_a)
        .def_static("findNatGws", &nat::findNatGws, "args"_a, "ec2_client"_a, "s3_client"_a);
}

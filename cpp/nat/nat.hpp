// NAT gateway discovery: the NAT test record and the discovery operations.
#pragma once

#include "glue/glue.hpp"

namespace nat {

namespace py = pybind11;

// One NAT gateway and the test subnet chosen for it.
struct NatGwInfo {
    py::object nat_gw_id, nat_gw_ip, nat_gw_public_ip, subnet_id;
    py::object subnet_cidr = py::none();
    py::object private_subnet_id = py::str("");
    py::object private_subnets = py::list();
    py::object private_subnet_cidr = py::str("");
    py::object private_subnet_gw_ip = py::str("");
    py::object az = py::str("");

    NatGwInfo(py::object natGwId, py::object subnetId, py::object publicIp, py::object privateIp)
        : nat_gw_id(natGwId), nat_gw_ip(privateIp), nat_gw_public_ip(publicIp), subnet_id(subnetId) {}

    py::dict toDict() const;
};

py::list getExistingNatgws(py::object ec2, py::object natGwTag, py::object vpc);
py::dict getNatgwInfos(py::object ec2, py::object vpc);
py::dict filterBySubnetInHistory(py::object args, py::dict natGwInfos);
void findNatGws(py::object args, py::object ec2, py::object s3);

}  // namespace nat

// Spoke gateway discovery: the spoke record, controller queries, lookups and
// the test-subnet discovery.
#pragma once

#include "glue/glue.hpp"

namespace spoke {

namespace py = pybind11;

struct Spoke {
    py::object transit_name = py::str("");
    py::object gw_private_ip = py::str("");
    py::object gw_name = py::str("");
    py::object gw_public_ip = py::str("");
    py::object gw_subnet = py::str("");
    py::object gw_subnet_cidr = py::str("");
    py::object private_subnets = py::list();
    py::object first_private_subnet_cidr = py::str("");
    py::object private_subnet_gw_ip = py::str("");

    bool isDefined() const;
    void checkStatus() const;
    py::dict toDict() const;
};

py::object listGatewayInfo(py::object url, py::object cid, py::object account, py::object acxGwOnly, py::object gwName,
                           py::object keywordForLog);
py::object createSpoke(py::object info);
py::list getSpokeInfo(py::object url, py::object cid, py::object name);
py::list getHsSpokeInfo(py::object url, py::object cid, py::object name);
void findClassicSpokes(py::object args, py::object ec2, py::object url, py::object cid, py::object name);
void findHsSpokes(py::object args, py::object ec2, py::object url, py::object cid, py::object name);

}  // namespace spoke

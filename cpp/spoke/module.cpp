#include "spoke/spoke.hpp"

using namespace glue;
using spoke::Spoke;

namespace {
bool initialised = false;
}

PYBIND11_MODULE(spoke, m) {
    moduleStartup(initialised, "brimvale_testlibs.bin.lib.spoke");
    py::class_<Spoke>(m, "Spoke", py::dynamic_attr())
        .def(py::init<>())
        .def_readwrite("transit_name", &Spoke::transit_name)
        .def_readwrite("gw_private_ip", &Spoke::gw_private_ip)
        .def_readwrite("gw_name", &Spoke::gw_name)
        .def_readwrite("gw_public_ip", &Spoke::gw_public_ip)
        .def_readwrite("gw_subnet", &Spoke::gw_subnet)
        .def_readwrite("gw_subnet_cidr", &Spoke::gw_subnet_cidr)
        .def_readwrite("private_subnets", &Spoke::private_subnets)
        .def_readwrite("first_private_subnet_cidr", &Spoke::first_private_subnet_cidr)
        .def_readwrite("private_subnet_gw_ip", &Spoke::private_subnet_gw_ip)
        .def("isDefined", &Spoke::isDefined)
        .def("checkStatus", &Spoke::checkStatus)
        .def("toDict", &Spoke::toDict)
        .def_static("list_gateway_info", &spoke::listGatewayInfo, "api_endpoint_url"_a = "", "CID"_a = "",
                    "vpc_access_account_name"_a = "", "acx_gw_only"_a = "no", "gw_name"_a = py::none(),
                    "keyword_for_log"_a = "zor-migration-function---")
        .def_static("createSpoke", &spoke::createSpoke, "info"_a)
        .def_static("getSpokeInfo", &spoke::getSpokeInfo, "api_endpoint_url"_a = "", "CID"_a = "",
                    "spoke_gw_name"_a = "")
        .def_static("getHsSpokeInfo", &spoke::getHsSpokeInfo, "api_endpoint_url"_a = "", "CID"_a = "",
                    "spoke_gw_name"_a = "")
        .def_static("findClassicSpokes", &spoke::findClassicSpokes, "args"_a, "ec2_client"_a,
                    "controller_api_url"_a, "CID"_a, "spoke_gw_name"_a)
        .def_static("findHsSpokes", &spoke::findHsSpokes, "args"_a, "ec2_client"_a, "controller_api_url"_a,
                    "CID"_a, "spoke_gw_name"_a);
}

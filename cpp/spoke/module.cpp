#include "spoke/spoke.hpp"

using namespace glue;
using spoke::Spoke;

namespace {
bool initialised = false;
}

PYBIND11_MODULE(spoke, m) {
    moduleStartup(initialised, modules::kSpoke);
    m.doc() = R"pbdoc(
        Spoke gateway discovery: the controller's gateways of a VPC and, for
        each, a test subnet whose default route leads through it.
    )pbdoc";
    py::class_<Spoke>(m, "Spoke", py::dynamic_attr(), R"pbdoc(
        One spoke gateway as the controller describes it; its attributes are
        the fields of a spoke test record. The static methods are the spoke
        discovery operations.
    )pbdoc")
        .def(py::init<>(), "An empty spoke (every field blank).")
        .def_readwrite("transit_name", &Spoke::transit_name)
        .def_readwrite("gw_private_ip", &Spoke::gw_private_ip)
        .def_readwrite("gw_name", &Spoke::gw_name)
        .def_readwrite("gw_public_ip", &Spoke::gw_public_ip)
        .def_readwrite("gw_subnet", &Spoke::gw_subnet)
        .def_readwrite("gw_subnet_cidr", &Spoke::gw_subnet_cidr)
        .def_readwrite("private_subnets", &Spoke::private_subnets)
        .def_readwrite("first_private_subnet_cidr", &Spoke::first_private_subnet_cidr)
        .def_readwrite("private_subnet_gw_ip", &Spoke::private_subnet_gw_ip)
        .def("isDefined", &Spoke::isDefined, "True when the spoke has a private address or a transit name.")
        .def("checkStatus", &Spoke::checkStatus, "Logs whether the spoke was found (its transit name) or not.")
        .def("toDict", &Spoke::toDict, "The spoke test record of this gateway as a dict.")
        .def_static("list_gateway_info", &spoke::listGatewayInfo, "api_endpoint_url"_a = "", "CID"_a = "",
                    "vpc_access_account_name"_a = "", "acx_gw_only"_a = "no", "gw_name"_a = py::none(),
                    "keyword_for_log"_a = "zor-migration-function---", R"pbdoc(
        Sends the controller's ``list_vpcs_summary`` request (session ``CID``)
        to ``api_endpoint_url`` and returns the response object.
    )pbdoc")
        .def_static("createSpoke", &spoke::createSpoke, "info"_a, R"pbdoc(
        Returns a Spoke filled from one gateway entry ``info`` of the
        controller's answer.
    )pbdoc")
        .def_static("getSpokeInfo", &spoke::getSpokeInfo, "api_endpoint_url"_a = "", "CID"_a = "",
                    "spoke_gw_name"_a = "", R"pbdoc(
        Returns the classic spoke ``spoke_gw_name`` and its HA peer as a list
        of Spoke; an entry with an unsafe address or name is refused (one
        error line) and left out.
    )pbdoc")
        .def_static("getHsSpokeInfo", &spoke::getHsSpokeInfo, "api_endpoint_url"_a = "", "CID"_a = "",
                    "spoke_gw_name"_a = "", R"pbdoc(
        Returns the gateways of the spoke ``spoke_gw_name`` in the
        multi-gateway layout as a list of Spoke; unsafe entries are refused
        and left out.
    )pbdoc")
        .def_static("findClassicSpokes", &spoke::findClassicSpokes, "args"_a, "ec2_client"_a, "controller_api_url"_a,
                    "CID"_a, "spoke_gw_name"_a, R"pbdoc(
        The ``cellscan spoke`` run for a classic spoke: finds a test subnet for
        each of its gateways and writes the spoke test config. A failed
        discovery writes no test config and makes the exit status 1. Returns None.
    )pbdoc")
        .def_static("findHsSpokes", &spoke::findHsSpokes, "args"_a, "ec2_client"_a, "controller_api_url"_a, "CID"_a,
                    "spoke_gw_name"_a, R"pbdoc(
        As ``findClassicSpokes``, for a spoke in the multi-gateway layout.
    )pbdoc");
}

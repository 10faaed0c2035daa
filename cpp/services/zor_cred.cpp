// Controller login: yields the session identifier (CID) of later requests.
#include "glue/glue.hpp"

using namespace glue;

namespace {
bool initialised = false;

std::string getBrimvaleCid(const std::string &controllerIp, py::object user, py::object password) {
    py::object lg = logger("brimvale_testlibs");
    info(lg, "- Login to controller " + controllerIp + " as " + text(user));
    py::dict payload;
    payload["action"] = "login";
    payload["username"] = user;
    payload["password"] = password;
    py::object body;
    try {
        // The password travels in the request body, never in the URL.
        py::object resp = imp("brimvale_testlibs.bin.lib.zor_https")
                              .attr("_send_brimvale_api")("api_endpoint_url"_a = "https://" + controllerIp + "/v1/api",
                                                          "request_method"_a = "POST", "payload"_a = payload,
                                                          "keyword_for_log"_a = "login", "indent"_a = "  ");
        body = resp.attr("json")();
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg, "  **Error** controller login failed: " + text(e.type().attr("__name__")) + ": " + errorText(e));
        exitProcess(1);
    }
    if (!py::isinstance<py::dict>(body) || !truthy(item(body, "return")) || item(body, "CID").is_none()) {
        py::object reason = item(body, "reason");
        error(lg, "  **Error** " + (reason.is_none() ? std::string("controller login refused") : text(reason)));
        exitProcess(1);
    }
    return text(item(body, "CID"));
}
}  // namespace

PYBIND11_MODULE(zor_cred, m) {
    moduleStartup(initialised, "brimvale_testlibs.bin.lib.zor_cred");
    m.doc() = "Controller login.";
    m.def("get_brimvale_cid", &getBrimvaleCid, "controller_ip"_a, "username"_a, "password"_a, R"pbdoc(
        Logs in to the controller at ``controller_ip`` (the password in the
        request body) and returns the session identifier (CID) as a str. A
        failed or refused login is one error line and ends the run with
        status 1.
    )pbdoc");
}

// Controller login: yields the session identifier (CID) of later requests.
#include "glue/glue.hpp"

using namespace glue;

namespace {
bool initialised = false;

std::string getBrimvaleCid(const std::string &controllerIp, py::object user, py::object password) {
    py::object lg = logger("brimvale_testlibs");
    info(lg, "- Login to controller " + controllerIp + " as " + pyText(user));
    py::dict payload;
    payload["action"] = "login";
    payload["username"] = user;
    payload["password"] = password;
    py::object body;
    try {
        // The password travels in the request body, never in the URL.
        py::object resp = importModule(modules::kZorHttps)
                              .attr("_send_brimvale_api")("api_endpoint_url"_a = "https://" + controllerIp + "/v1/api",
                                                          "request_method"_a = "POST", "payload"_a = payload,
                                                          "keyword_for_log"_a = "login", "indent"_a = "  ");
        body = resp.attr("json")();
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        refuseRun("controller login failed: " + pyText(e.type().attr("__name__")) + ": " + printable(errorText(e)), lg);
    }
    if (!py::isinstance<py::dict>(body) || !truthy(getOrNone(body, "return")) || getOrNone(body, "CID").is_none()) {
        py::object reason = getOrNone(body, "reason");
        refuseRun(reason.is_none() ? std::string("controller login refused") : printable(pyText(reason)), lg);
    }
    return pyText(getOrNone(body, "CID"));
}
}  // namespace

PYBIND11_MODULE(zor_cred, m) {
    moduleStartup(initialised, modules::kZorCred);
    m.doc() = "Controller login.";
    m.def("get_brimvale_cid", &getBrimvaleCid, "controller_ip"_a, "username"_a, "password"_a, R"pbdoc(
        Logs in to the controller at ``controller_ip`` (the password in the
        request body) and returns the session identifier (CID) as a str. A
        failed or refused login is one error line and ends the run with
        status 1.
    )pbdoc");
}

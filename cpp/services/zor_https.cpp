// Generic request sender of the controller's REST API.
#include "glue/glue.hpp"

using namespace glue;

namespace {
bool initialised = false;
const char *kModule = "brimvale_testlibs.bin.lib.zor_https";

py::object requestTimeout() { return imp(kModule).attr("REQUEST_TIMEOUT"); }
}  // namespace

// Sends one request and returns the response object; transport errors are
// raised to the caller. The controller serves a self-signed certificate, so
// the certificate is not verified.
py::object sendBrimvaleApi(py::object url, std::string method, py::object payload,
                           py::object keywordForLog, py::object indent) {
    py::object requests = imp("requests");
    py::object action = item(payload, "action");
    info(logger(kModule), text(indent) + text(keywordForLog) + " " + method + " " + text(url) +
                              " action=" + text(action));
    py::dict kw;
    kw["timeout"] = requestTimeout();
    kw["verify"] = false;
    if (method == "GET")
        kw["params"] = payload;
    else
        kw["data"] = payload;
    return requests.attr("request")(method, url, **kw);
}

PYBIND11_MODULE(zor_https, m) {
    moduleStartup(initialised, kModule);
    // (connect, read) seconds; an importing caller may change it.
    m.attr("REQUEST_TIMEOUT") = py::make_tuple(10, 60);
    m.def("_send_brimvale_api", &sendBrimvaleApi, "api_endpoint_url"_a = "", "request_method"_a = "GET",
          "payload"_a = py::dict(), "keyword_for_log"_a = "", "indent"_a = "");
}

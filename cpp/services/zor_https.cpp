// Generic request sender of the controller's REST API.
#include "glue/glue.hpp"

using namespace glue;

namespace {
bool initialised = false;

py::object requestTimeout() { return importModule(modules::kZorHttps).attr("REQUEST_TIMEOUT"); }

// Seconds the whole exchange may take: the documented time-out, (connect,
// read) summed, or a single number as it stands.
double totalDeadline(py::object timeout) {
    if (py::isinstance<py::tuple>(timeout)) {
        double total = 0;
        for (auto part : timeout.cast<py::tuple>()) total += part.cast<double>();
        return total;
    }
    return timeout.cast<double>();
}

// Best effort: shuts the response's socket so a read blocked on it ends.
void shutSocket(py::object resp) {
    try {
        py::object sock = resp.attr("raw").attr("_fp").attr("fp").attr("raw").attr("_sock");
        sock.attr("shutdown")(importModule("socket").attr("SHUT_RDWR"));
    } catch (py::error_already_set &) {}
}
// The session id travels in the query of GET requests, so a transport error's
// text (which names the URL) would carry it into the log and its S3 copy: the
// error is raised again, of the same type, with the id masked.
py::object redacted(py::object exc, py::object cid) {
    if (!py::isinstance<py::str>(cid) || py::len(cid) == 0) return exc;
    std::string text = pyText(exc), secret = pyText(cid);
    if (text.find(secret) == std::string::npos) return exc;
    for (size_t at; (at = text.find(secret)) != std::string::npos;) text.replace(at, secret.size(), "****");
    try {
        return py::type::of(exc)(text);
    } catch (py::error_already_set &) {
        return importModule("builtins").attr("RuntimeError")(text);
    }
}
}  // namespace

// Sends one request and returns the response object, its body read; transport
// errors are raised to the caller. The controller serves a self-signed
// certificate, so the certificate is not verified. The exchange runs in a
// helper thread: a controller that trickles its answer meets the total
// deadline (requests.Timeout), one that never ends its body meets the size
// cap (ValueError).
py::object sendBrimvaleApi(py::object url, std::string method, py::object payload, py::object keywordForLog,
                           py::object indent) {
    py::object requests = importModule("requests");
    py::object action = getOrNone(payload, "action");
    info(logger(modules::kZorHttps),
         pyText(indent) + pyText(keywordForLog) + " " + method + " " + pyText(url) + " action=" + pyText(action));
    py::object timeout = requestTimeout();
    py::dict kw;
    kw["timeout"] = timeout;
    kw["verify"] = false;
    kw["stream"] = true;
    if (method == "GET")
        kw["params"] = payload;
    else
        kw["data"] = payload;
    long cap = importModule(modules::kZorHttps).attr("RESPONSE_SIZE_LIMIT").cast<long>();

    py::dict box;  // "response", then "done" or "error"
    py::cpp_function exchange([requests, method, url, kw, cap, box]() {
        try {
            py::object resp = requests.attr("request")(method, url, **kw);
            box["response"] = resp;
            py::list chunks;
            long size = 0;
            for (auto chunk : resp.attr("iter_content")(65536)) {
                size += static_cast<long>(py::len(chunk));
                if (size > cap)
                    raisePy(PyExc_ValueError,
                            "the controller's answer is larger than " + std::to_string(cap / (1024 * 1024)) + " MiB");
                chunks.append(chunk);
            }
            resp.attr("_content") = py::bytes("").attr("join")(chunks);
            resp.attr("_content_consumed") = true;
            resp.attr("close")();
            box["done"] = true;
        } catch (py::error_already_set &e) {
            box["error"] = e.value();
        }
    });
    py::object worker = importModule("threading").attr("Thread")("target"_a = exchange, "daemon"_a = true);
    worker.attr("start")();
    double deadline = totalDeadline(timeout);
    worker.attr("join")(deadline);
    if (truthy(worker.attr("is_alive")())) {
        if (box.contains("response")) shutSocket(box["response"]);
        raisePy(requests.attr("exceptions").attr("Timeout"),
                "the controller did not complete its answer within " + pyText(py::float_(deadline)) + " s");
    }
    if (box.contains("error")) {
        py::object exc = redacted(box["error"], getOrNone(payload, "CID"));
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        throw py::error_already_set();
    }
    return box["response"];
}

PYBIND11_MODULE(zor_https, m) {
    moduleStartup(initialised, modules::kZorHttps);
    // (connect, read) seconds; an importing caller may change it.
    m.attr("REQUEST_TIMEOUT") = py::make_tuple(10, 60);
    // Bytes of one answer at most; a longer one is a controller failure.
    m.attr("RESPONSE_SIZE_LIMIT") = 16 * 1024 * 1024;
    m.doc() = "Requests to the controller's REST API.";
    m.def("_send_brimvale_api", &sendBrimvaleApi, "api_endpoint_url"_a = "", "request_method"_a = "GET",
          "payload"_a = py::dict(), "keyword_for_log"_a = "", "indent"_a = "", R"pbdoc(
        Sends one request (``request_method`` GET with ``payload`` as query
        parameters, POST with it as the form body) to ``api_endpoint_url`` and
        returns the requests Response. The whole exchange is bounded by the sum
        of ``REQUEST_TIMEOUT`` and the answer by ``RESPONSE_SIZE_LIMIT`` bytes;
        beyond either, or on a connection error, it raises.
    )pbdoc");
}

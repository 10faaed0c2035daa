// Client-side pacing of AWS requests under the service's rate limits.
//
// EC2 throttles per account, region and action with token buckets whose
// sizes the tool cannot know (other tools of the account draw on them too).
// Every client made by pacedClient shares, per action, an adaptive pace: none
// until the service throttles the action; then requests of that action leave
// one per `interval` seconds, whoever is waiting takes the next free slot.
// The first throttle sets a short interval; then, once a second at most, a
// second with a throttle lengthens it by a tenth (the throttles of requests
// already on their way say nothing new) and a second with successes only
// shortens it by a twentieth, until it is short enough to drop. So the pace
// settles around the bucket's refill: every token is used, at the cost of
// some throttled requests. A throttled
// request is retried here, at its next slot, without limit of attempts or of
// the SDK's retry quota (which a large fleet exhausts within seconds) until
// it has been throttled for `giveUp` seconds. Other errors are left to the
// SDK's own retry handler (mode and attempts from the operator's settings).
#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

#include "glue/glue.hpp"

namespace glue {

namespace {
struct Pace {
    double interval = 0;       // seconds between sends; 0: unpaced
    double next = 0;           // the next free slot (steady clock seconds)
    double lengthened = -1e9;  // when the interval last grew
    double shortened = -1e9;   // when it last shrank
};

constexpr double kFirstInterval = 0.02;
constexpr double kMaxInterval = 10;
constexpr double kMinInterval = 0.005;
constexpr double kThrottledFactor = 1.10;
constexpr double kSuccessFactor = 0.95;
constexpr double kAdjustEvery = 1.0;
const char *kSinceKey = "brimvale_throttled_since";

std::mutex paceLock;  // never held across a call into Python
std::map<std::string, Pace> paces;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// "before-send.ec2.RunInstances" -> "ec2.RunInstances"
std::string actionOf(py::kwargs kw) {
    std::string event = pyText(kw["event_name"]);
    size_t dot = event.find('.');
    return dot == std::string::npos ? event : event.substr(dot + 1);
}

bool isThrottle(py::handle parsed) {
    std::string code = pyText(getOrNone(getOrNone(parsed, "Error"), "Code"));
    return code == "RequestLimitExceeded" || code == "Throttling" || code == "ThrottlingException" ||
           code == "RequestThrottled" || code == "TooManyRequestsException";
}

// Whoever waits takes the next free slot: the waiting requests wake at the
// slot and one of them leaves; the others wait for the next one (so a change
// of the interval applies at once).
void waitForSlot(py::kwargs kw) {
    std::string action = actionOf(kw);
    for (;;) {
        double wait;
        {
            std::lock_guard<std::mutex> hold(paceLock);
            Pace &p = paces[action];
            double t = now();
            if (p.interval <= 0 || t >= p.next) {
                p.next = t + p.interval;
                return;
            }
            wait = p.next - t;
        }
        sleepSeconds(wait);
    }
}

py::object judgeAttempt(double giveUp, py::kwargs kw) {
    py::object response = kw.contains("response") ? py::object(kw["response"]) : py::object(py::none());
    if (response.is_none() || !py::isinstance<py::tuple>(response)) return py::none();
    py::object parsed = response.cast<py::tuple>()[1];
    std::string action = actionOf(kw);
    if (!isThrottle(parsed)) {
        if (!hasKey(parsed, "Error")) {
            std::lock_guard<std::mutex> hold(paceLock);
            Pace &p = paces[action];
            double t = now();
            if (p.interval > 0 && t - p.lengthened >= kAdjustEvery && t - p.shortened >= kAdjustEvery) {
                p.interval *= kSuccessFactor;
                p.shortened = t;
                if (p.interval < kMinInterval) p.interval = 0;
            }
        }
        return py::none();  // not a throttle: the SDK's handler decides
    }
    {
        std::lock_guard<std::mutex> hold(paceLock);
        Pace &p = paces[action];
        double t = now();
        if (p.interval <= 0) {
            // The bucket just ran dry: start fast and slow down from there
            // (sending too fast costs only throttled requests; too slow, time).
            p.interval = kFirstInterval;
            p.lengthened = t;
        } else if (t - p.lengthened >= kAdjustEvery) {
            p.interval = std::min(kMaxInterval, p.interval * kThrottledFactor);
            p.lengthened = t;
        }
    }
    py::object context = getOrNone(kw["request_dict"], "context");
    py::object since = getOrNone(context, kSinceKey);
    if (since.is_none()) {
        if (!context.is_none()) context[kSinceKey] = now();
    } else if (now() - since.cast<double>() > giveUp) {
        return py::none();  // throttled for too long: the SDK's handler has the last word
    }
    return py::float_(0.0);  // again at once: waitForSlot paces it
}
}  // namespace

py::object pacedClient(py::object session, const char *service, py::object region, double giveUp) {
    py::object client = session.attr("client")(service, "region_name"_a = region);
    py::object events = client.attr("meta").attr("events");
    std::string prefix = pyText(client.attr("meta").attr("service_model").attr("service_id").attr("hyphenize")());
    events.attr("register")("before-send." + prefix, py::cpp_function(&waitForSlot));
    events.attr("register_first")("needs-retry." + prefix,
                                  py::cpp_function([giveUp](py::kwargs kw) { return judgeAttempt(giveUp, kw); }));
    return client;
}

}  // namespace glue

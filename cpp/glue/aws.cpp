#include "glue/aws.hpp"

namespace glue {

py::dict filterSpec(const char *name, py::list values) {
    py::dict f;
    f["Name"] = name;
    f["Values"] = values;
    return f;
}

py::dict tagPair(const std::string &key, const std::string &value) {
    py::dict t;
    t["Key"] = key;
    t["Value"] = value;
    return t;
}

bool isServiceError(const py::error_already_set &e) {
    return e.matches(importModule("botocore.exceptions").attr("ClientError"));
}

bool isAwsError(const py::error_already_set &e) {
    return isServiceError(e) || e.matches(importModule("botocore.exceptions").attr("BotoCoreError"));
}

std::optional<std::string> awsErrorCode(const py::error_already_set &e) {
    if (!isServiceError(e)) return std::nullopt;
    py::object response = py::getattr(e.value(), "response", py::dict());
    py::object err = getOrNone(response, "Error");
    py::object code = getOrNone(err, "Code");
    if (code.is_none()) return std::string();
    return pyText(code);
}

py::object retryCall(py::object fn, py::tuple fargs, py::dict fkwargs, py::object exceptions, int tries, double delay) {
    return importModule("retry.api")
        .attr("retry_call")(fn, "fargs"_a = fargs, "fkwargs"_a = fkwargs, "exceptions"_a = exceptions,
                            "tries"_a = tries, "delay"_a = delay, "logger"_a = py::none());
}

py::list allPages(py::object client, const char *op, const char *key, py::dict kwargs) {
    py::list items;
    if (!truthy(client.attr("can_paginate")(op))) {
        for (auto item : client.attr(op)(**kwargs)[key].cast<py::list>()) items.append(item);
        return items;
    }
    for (auto page : client.attr("get_paginator")(op).attr("paginate")(**kwargs))
        for (auto item : page[key].cast<py::list>()) items.append(item);
    return items;
}

void collectRoutedSubnets(py::list tables, const char *targetKey, py::dict byTarget,
                          const std::function<py::list(py::handle)> &subnetsOf) {
    for (auto table : tables) {
        py::object routes = getOrNone(table, "Routes");
        py::object assocs = getOrNone(table, "Associations");
        if (routes.is_none() || assocs.is_none()) continue;
        for (auto route : routes.cast<py::list>()) {
            if (pyText(getOrNone(route, "DestinationCidrBlock")) != "0.0.0.0/0") continue;
            py::object target = getOrNone(route, targetKey);
            if (target.is_none() || !byTarget.contains(target)) continue;
            py::list subnets = subnetsOf(byTarget[target]);
            for (auto assoc : assocs.cast<py::list>()) {
                py::object subnetId = getOrNone(assoc, "SubnetId");
                if (!subnetId.is_none()) subnets.append(subnetId);
            }
        }
    }
}

std::string gatewayAddress(py::handle cidr) {
    py::object net = importModule("netaddr").attr("IPNetwork")(cidr);
    return pyText(net.attr("__getitem__")(1));
}

namespace {
// A boto3 session whose SDK data loader is the process's one: service models,
// endpoint data and the data folder listings are read and parsed once per
// process, not once per session (a tool opens two or three sessions). The
// loader is shared by every module of the package (each links its own copy
// of this file), so a process that warms it for one serves them all.
py::object newSession(py::dict kw = py::dict()) {
    const char *key = "brimvale_testlibs.data_loader";
    // leaked on purpose: outlives the interpreter's teardown order
    auto *loader = static_cast<py::object *>(py::get_shared_data(key));
    py::object core = importModule("botocore.session").attr("Session")();
    if (loader == nullptr)
        loader = static_cast<py::object *>(
            py::set_shared_data(key, new py::object(core.attr("get_component")("data_loader"))));
    else
        core.attr("register_component")("data_loader", *loader);
    py::object session = importModule("boto3").attr("session").attr("Session")(**kw, "botocore_session"_a = core);
    // boto3 adds its own data folder to the loader of every session it makes:
    // keep one entry of each folder.
    py::list paths = loader->attr("search_paths");
    py::list seen;
    for (size_t i = 0; i < py::len(paths);) {
        if (seen.contains(paths[i])) {
            paths.attr("pop")(i);
        } else {
            seen.append(paths[i]);
            ++i;
        }
    }
    return session;
}
}  // namespace

py::object profileSession(py::object profile) {
    py::dict kw;
    if (!profile.is_none()) kw["profile_name"] = profile;
    return newSession(kw);
}

py::object assumeRoleSession(py::object role, py::object profile) {
    py::object sts = profileSession(profile).attr("client")("sts");
    py::object resp = sts.attr("assume_role")("RoleArn"_a = role, "RoleSessionName"_a = "Brimvale_Workflow");
    py::object creds = resp["Credentials"];
    try {
        py::dict kw;
        kw["aws_access_key_id"] = creds["AccessKeyId"];
        kw["aws_secret_access_key"] = creds["SecretAccessKey"];
        kw["aws_session_token"] = creds["SessionToken"];
        py::object session = newSession(kw);
        return py::make_tuple(session, creds);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(logger(), std::string("  **Error** ") + kSessionFailed);
        return py::none();
    }
}

}  // namespace glue

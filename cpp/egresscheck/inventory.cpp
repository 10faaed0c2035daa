// The inventory: what to test, validated before anything else happens.
#include "egresscheck/egresscheck.hpp"

#include <regex>

using namespace glue;

namespace egresscheck {

namespace {
// The keys of a target and their shapes (JSON Schema).
const char *kTargetProperties = R"({
  "name": {"type": "string", "pattern": "^[A-Za-z0-9._-]+$"},
  "kind": {"enum": ["natgw", "spoke"]},
  "vpc": {"type": "string", "pattern": "^vpc-[0-9a-f]+$"},
  "region": {"type": "string", "pattern": "^[a-z]{2}(-[a-z]+)+-[0-9]+$"},
  "profile": {"type": "string", "minLength": 1},
  "assume_role": {"type": "string", "pattern": "^arn:aws[a-z-]*:iam::[0-9]{12}:role/[A-Za-z0-9+=,.@_/-]+$"},
  "workflow_account_role": {"type": "string", "minLength": 1},
  "key_name": {"type": "string", "pattern": "^[A-Za-z0-9._:-]+$"},
  "s3_bucket": {"type": "string", "pattern": "^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$"},
  "eip": {"type": "boolean"},
  "ec2_role": {"type": "string", "pattern": "^[A-Za-z0-9+=,.@_-]+$"},
  "tag_resource": {"type": "object", "propertyNames": {"pattern": "^[^,]+$"},
                   "additionalProperties": {"type": "string", "pattern": "^[^,]*$"}},
  "image": {"type": "string", "minLength": 1},
  "instance_type": {"type": "string", "pattern": "^[a-z0-9-]+\\.[a-z0-9]+$"},
  "controller_ip": {"type": "string", "minLength": 1},
  "controller_user": {"type": "string", "minLength": 1},
  "controller_password_file": {"type": "string", "minLength": 1},
  "controller_password_env": {"type": "string", "pattern": "^[A-Za-z_][A-Za-z0-9_]*$"},
  "spoke_gw_name": {"type": "string", "pattern": "^[A-Za-z0-9._:-]+$"},
  "horizontal_scaling": {"type": "boolean"},
  "history": {"type": "string", "minLength": 1},
  "deadline": {"type": "integer", "minimum": 1}
})";

// What a complete target needs (after the defaults are merged in). Discovery
// always assumes a role; a spoke target names its controller and where its
// password comes from.
const char *kComplete = R"({
  "required": ["name", "kind", "vpc", "region", "assume_role", "s3_bucket"],
  "if": {"properties": {"kind": {"const": "spoke"}}},
  "then": {"required": ["controller_ip", "controller_user", "spoke_gw_name"],
           "oneOf": [{"required": ["controller_password_file"]}, {"required": ["controller_password_env"]}]}
})";

object properties() { return importModule("json").attr("loads")(kTargetProperties); }

object objectSchema(bool complete) {
    py::dict schema = importModule("json").attr("loads")(complete ? kComplete : "{}");
    schema["type"] = "object";
    schema["properties"] = properties();
    schema["additionalProperties"] = false;
    return schema;
}

std::string where(const std::string &path, const std::string &target) {
    return "inventory " + path + ": " + (target.empty() ? std::string() : "target " + target + ": ");
}

// The first problem of `value` under `schema` as "key K: message", or "".
std::string schemaProblem(object schema, object value) {
    object validator = importModule("jsonschema").attr("Draft7Validator")(schema);
    py::list found = importModule("builtins")
                         .attr("sorted")(validator.attr("iter_errors")(value),
                                         "key"_a = importModule("jsonschema.exceptions").attr("relevance"));
    if (py::len(found) == 0) return "";
    object e = found[0];
    std::string message = printable(pyText(e.attr("message")));
    std::string key;
    for (auto part : py::list(e.attr("absolute_path")))
        if (py::isinstance<py::str>(part)) key = pyText(part);
    std::string validatorName = pyText(e.attr("validator"));
    if (validatorName == "additionalProperties" && py::isinstance<py::dict>(value)) {
        py::dict known = schema["properties"];
        for (auto kv : value.cast<py::dict>())
            if (!known.contains(kv.first)) {
                key = pyText(kv.first);
                break;
            }
        message = "unknown key";
    } else if (validatorName == "required") {
        std::smatch m;
        static const std::regex quoted("'([^']+)'");
        if (std::regex_search(message, m, quoted)) key = m[1];
        message = "missing";
    } else if (validatorName == "oneOf") {
        key = "controller_password_file";
        message = "give controller_password_file or controller_password_env (exactly one)";
    }
    return (key.empty() ? std::string() : "key " + key + ": ") + message;
}

// Paths in an inventory are relative to its folder.
void anchorPaths(py::dict target, const std::string &folder) {
    object ospath = importModule("os.path");
    for (const char *key : {"history", "controller_password_file"})
        if (target.contains(key))
            target[key] = ospath.attr("abspath")(ospath.attr("join")(folder, ospath.attr("expanduser")(target[key])));
}

// A password is never written in an inventory (nor on a child's command line).
void refusePassword(const std::string &path, py::handle entry, const std::string &target) {
    if (hasKey(entry, "controller_password"))
        usageError(where(path, target) + "key controller_password: a password is never written in the inventory: use "
                                         "controller_password_file or controller_password_env");
}

std::string nameOf(py::handle entry, size_t index) {
    object name = getOrNone(entry, "name");
    return py::isinstance<py::str>(name) ? printable(pyText(name)) : "#" + std::to_string(index + 1);
}

py::list completeTargets(const std::string &path, py::list entries, py::dict defaults, const std::string &folder) {
    py::list targets;
    py::set names;
    size_t index = 0;
    for (auto entry : entries) {
        std::string name = nameOf(entry, index++);
        py::dict target;
        for (auto kv : defaults) target[kv.first] = kv.second;
        for (auto kv : entry.cast<py::dict>()) target[kv.first] = kv.second;
        if (!target.contains("deadline")) target["deadline"] = 900;
        std::string problem = schemaProblem(objectSchema(true), target);
        if (!problem.empty()) usageError(where(path, name) + problem);
        if (names.contains(target["name"])) usageError(where(path, name) + "key name: the name is used twice");
        names.add(target["name"]);
        anchorPaths(target, folder);
        targets.append(target);
    }
    return targets;
}
}  // namespace

py::list loadInventory(const std::string &path) {
    object data;
    try {
        object f = importModule("builtins").attr("open")(path, "r", "encoding"_a = "utf-8");
        try {
            data = importModule("yaml").attr("safe_load")(f);
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        if (!e.matches(PyExc_OSError) && !e.matches(importModule("yaml").attr("YAMLError")) &&
            !e.matches(PyExc_ValueError) && !e.matches(PyExc_RecursionError))
            throw;
        usageError("inventory " + path + ": cannot be read: " + printable(errorText(e)));
    }
    if (!py::isinstance<py::dict>(data)) usageError("inventory " + path + ": is not a mapping with \"targets\"");
    py::dict top = data;
    refusePassword(path, getOrNone(top, "defaults"), "");
    object entries = getOrNone(top, "targets");
    if (py::isinstance<py::list>(entries)) {
        size_t index = 0;
        for (auto entry : entries.cast<py::list>()) refusePassword(path, entry, nameOf(entry, index++));
    }
    // The shape of each entry first (names the target), then the whole file.
    if (py::isinstance<py::list>(entries)) {
        size_t index = 0;
        for (auto entry : entries.cast<py::list>()) {
            std::string problem = schemaProblem(objectSchema(false), py::reinterpret_borrow<object>(entry));
            if (!problem.empty()) usageError(where(path, nameOf(entry, index)) + problem);
            ++index;
        }
    }
    py::dict fileSchema;
    fileSchema["type"] = "object";
    fileSchema["additionalProperties"] = false;
    fileSchema["required"] = listOf(py::str("targets"));
    py::dict props;
    props["defaults"] = objectSchema(false);
    py::dict list;
    list["type"] = "array";
    list["minItems"] = 1;
    props["targets"] = list;
    fileSchema["properties"] = props;
    std::string problem = schemaProblem(fileSchema, top);
    if (!problem.empty()) usageError(where(path, "") + problem);
    std::string folder =
        importModule("os.path").attr("dirname")(importModule("os.path").attr("abspath")(path)).cast<std::string>();
    py::dict defaults = hasKey(top, "defaults") ? py::dict(top["defaults"]) : py::dict();
    return completeTargets(path, top["targets"], defaults, folder);
}

py::list targetsFromOptions(object args) {
    py::dict target;
    for (auto kv : properties().cast<py::dict>()) {
        object value = option(args, pyText(kv.first).c_str());
        if (value.is_none() || (py::isinstance<py::bool_>(value) && !truthy(value))) continue;
        target[kv.first] = value;
    }
    if (target.contains("tag_resource")) {
        // the operator's tags as rollprobe takes them: key,value,key,value
        py::list items = target["tag_resource"].attr("split")(",");
        if (py::len(items) % 2 == 1)
            usageError("--tag_resource " + pyText(target["tag_resource"]) + ": incomplete pair");
        py::dict tags;
        for (size_t i = 0; i + 1 < py::len(items); i += 2) tags[items[i]] = items[i + 1];
        target["tag_resource"] = tags;
    }
    if (!target.contains("name")) target["name"] = option(args, "vpc");
    target["kind"] = option(args, "kind");
    if (!target.contains("deadline")) target["deadline"] = 900;
    std::string problem = schemaProblem(objectSchema(true), target);
    if (!problem.empty()) usageError("target " + pyText(target["name"]) + ": " + problem);
    anchorPaths(target, pyText(importModule("os").attr("getcwd")()));
    return listOf(target);
}

py::list selectTargets(py::list targets, object only) {
    if (only.is_none()) return targets;
    py::list chosen;
    for (auto name : py::list(only)) {
        bool found = false;
        for (auto t : targets)
            if (pyEquals(t["name"], name)) {
                chosen.append(t);
                found = true;
            }
        if (!found) usageError("--only " + pyText(name) + ": no such target in the inventory");
    }
    return chosen;
}

std::string accountOf(py::handle target) {
    std::string role = pyText(getOrNone(target, "assume_role"));
    static const std::regex account(R"(arn:aws[a-z-]*:iam::(\d{12}):role/.*)");
    std::smatch m;
    if (std::regex_match(role, m, account)) return m[1];
    return "profile " + pyText(getOrNone(target, "profile"));
}

}  // namespace egresscheck

// The run's reports: the console table, JUnit for CI systems, and the
// versioned JSON document, merged from the targets' parts.
#include "egresscheck/egresscheck.hpp"

#include <map>

using namespace glue;

namespace egresscheck {

namespace {
const char *kVerdicts[] = {kPass, kFail, kNoResult, kNotDeployed};

// Text XML 1.0 can carry: control characters other than tab and newlines go.
std::string xmlSafe(const std::string &text) {
    std::string out;
    for (unsigned char c : text)
        if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += static_cast<char>(c);
    return out;
}

std::string duration(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    if (s < 60) return std::to_string(s) + " s";
    return std::to_string(s / 60) + " m " + std::to_string(s % 60) + " s";
}

void isoStages(py::dict target) {
    if (!hasKey(target, "stages")) return;
    for (auto kv : target["stages"].cast<py::dict>()) {
        py::dict stage = kv.second.cast<py::dict>();
        for (const char *key : {"start", "end"})
            if (hasKey(stage, key) && py::isinstance<py::float_>(stage[key]))
                stage[key] = py::str(isoTime(stage[key].cast<double>()));
    }
}

// The evidence of a record, as JUnit's failure body shows it.
std::string evidence(py::handle r) {
    std::string text;
    if (truthy(r["ping"])) text += "ping: " + pyText(r["ping"]) + "\n";
    py::list hops = r["hops"];
    if (py::len(hops) > 0)
        text += "hops: " + pyText(py::str(" ").attr("join")(hops)) + " (gateway " + pyText(r["gateway_ip"]) +
                (truthy(r["gateway_in_path"]) ? " in the path)\n" : " not in the path)\n");
    py::list console = r["console"];
    if (py::len(console) > 0) text += "console (last lines):\n" + pyText(py::str("\n").attr("join")(console)) + "\n";
    return text;
}

py::object element(py::object parent, const char *tag, py::dict attrs) {
    py::dict text;
    for (auto kv : attrs) text[kv.first] = py::str(xmlSafe(pyText(kv.second)));
    return importModule("xml.etree.ElementTree").attr("SubElement")(parent, tag, text);
}
}  // namespace

py::dict mergeParts(const std::string &runDir) {
    object run = readJsonFile(runDir + "/run.json");
    py::dict doc;
    doc["schema"] = 1;
    doc["run_id"] = run["run_id"];
    doc["started"] = py::str(isoTime(run["started"].cast<double>()));
    double ended = hasKey(run, "ended") ? run["ended"].cast<double>() : now();
    doc["ended"] = py::str(isoTime(ended));
    doc["seconds"] = ended - run["started"].cast<double>();
    doc["interrupted"] = getOrNone(run, "interrupted");
    py::list targets;
    // The run's targets, and those whose mapped jobs wrote into the folder.
    py::list names = getOrNone(run, "targets").is_none() ? py::list() : py::list(run["targets"]);
    object glob = importModule("glob").attr("glob");
    py::list found = importModule("builtins").attr("sorted")(glob(runDir + "/*/target.json"));
    for (auto path : found) {
        py::str name(pyText(importModule("os.path").attr("basename")(importModule("os.path").attr("dirname")(path))));
        if (!names.contains(name)) names.append(name);
    }
    for (auto name : names) {
        std::string path = runDir + "/" + pyText(name) + "/part.json";
        py::dict part;
        if (pathExists(path)) {
            part = readJsonFile(path);
        } else {
            part["name"] = name;
            part["stages"] = py::dict();
            part["records"] = py::list();
            part["leftovers"] = py::list();
            part["errors"] = listOf(py::str(pyText(name) + ": no part: the job did not run or did not finish"));
        }
        isoStages(part);
        targets.append(part);
    }
    doc["targets"] = targets;
    return doc;
}

int documentStatus(py::dict doc) {
    bool left = false, notPassed = false;
    for (auto t : doc["targets"].cast<py::list>()) {
        if (py::len(getOrNone(t, "leftovers")) > 0) left = true;
        if (py::len(getOrNone(t, "errors")) > 0 || py::len(t["records"]) == 0) notPassed = true;
        for (auto r : t["records"].cast<py::list>())
            if (pyText(r["verdict"]) != kPass) notPassed = true;
    }
    if (left) return kCleanupIncomplete;
    if (!getOrNone(doc, "interrupted").is_none()) return 128 + doc["interrupted"].cast<int>();
    return notPassed ? kNotPassed : kAllPassed;
}

std::string consoleText(py::dict doc) {
    std::string out;
    std::map<std::string, long> counts;
    py::set accounts;
    long leftTotal = 0;
    bool kept = false;
    for (auto t : doc["targets"].cast<py::list>()) {
        accounts.add(getOrNone(t, "account"));
        out += "\n== " + pyText(t["name"]) + " (" + pyText(getOrNone(t, "kind")) + ", account " +
               pyText(getOrNone(t, "account")) + ", " + pyText(getOrNone(t, "region")) + ", " +
               pyText(getOrNone(t, "vpc")) + ") ==\n";
        py::list rows;
        py::list header;
        for (const char *h : {"gateway", "test subnet", "verdict", "reason"}) header.append(h);
        rows.append(header);
        for (auto r : t["records"].cast<py::list>()) {
            ++counts[pyText(r["verdict"])];
            py::list row;
            row.append(py::str(pyText(r["gateway"])));
            row.append(py::str(pyText(r["test_subnet"])));
            row.append(r["verdict"]);
            std::string reason = pyText(r["reason"]);
            if (pyText(r["verdict"]) == kPass && py::len(r["hops"]) > 0) reason = "through " + pyText(r["gateway_ip"]);
            row.append(py::str(reason));
            rows.append(row);
        }
        std::vector<size_t> widths(4, 0);
        for (auto row : rows)
            for (size_t i = 0; i < 4; ++i) widths[i] = std::max(widths[i], pyText(row.cast<py::list>()[i]).size());
        for (auto row : rows) {
            std::string line = "  ";
            for (size_t i = 0; i < 4; ++i) {
                std::string cell = pyText(row.cast<py::list>()[i]);
                line += cell + (i < 3 ? std::string(widths[i] - cell.size() + 2, ' ') : "");
            }
            out += line + "\n";
        }
        for (auto e : py::list(getOrNone(t, "errors"))) out += "  error: " + pyText(e) + "\n";
        py::list left = getOrNone(t, "leftovers");
        leftTotal += static_cast<long>(py::len(left));
        if (py::len(left) > 0) out += "  left in the VPC: " + pyText(py::str(", ").attr("join")(left)) + "\n";
        if (!getOrNone(t, "revert_command").is_none()) {
            kept = true;
            out += "  kept (--keep); revert with: " + pyText(t["revert_command"]) + "\n";
        }
    }
    std::string summary;
    for (const char *v : kVerdicts)
        if (counts[v] > 0) summary += (summary.empty() ? "" : ", ") + std::to_string(counts[v]) + " " + v;
    if (summary.empty()) summary = "no verdict";
    size_t targets = py::len(doc["targets"]);
    summary += " in " + std::to_string(targets) + (targets == 1 ? " target (" : " targets (") +
               std::to_string(py::len(accounts)) + (py::len(accounts) == 1 ? " account)" : " accounts)") + " in " +
               duration(doc["seconds"].cast<double>());
    if (leftTotal > 0)
        summary += "; clean-up incomplete: " + std::to_string(leftTotal) + " resource(s) left";
    else if (kept)
        summary += "; kept for inspection (--keep)";
    else
        summary += "; clean-up complete";
    if (!getOrNone(doc, "interrupted").is_none()) summary += "; interrupted";
    return out + "\n" + summary + "\n";
}

std::string junitText(py::dict doc) {
    object et = importModule("xml.etree.ElementTree");
    py::dict rootAttrs;
    rootAttrs["name"] = py::str("egresscheck " + pyText(doc["run_id"]));
    object root = et.attr("Element")("testsuites", rootAttrs);
    long allTests = 0, allFailures = 0;
    for (auto t : doc["targets"].cast<py::list>()) {
        py::list records = t["records"];
        long failures = 0;
        for (auto r : records)
            if (pyText(r["verdict"]) != kPass) ++failures;
        py::dict attrs;
        attrs["name"] = t["name"];
        attrs["tests"] = py::len(records);
        attrs["failures"] = failures;
        attrs["errors"] = py::len(getOrNone(t, "errors")) + (py::len(getOrNone(t, "leftovers")) > 0 ? 1 : 0);
        attrs["timestamp"] = pyText(doc["started"]);
        object suite = element(root, "testsuite", attrs);
        allTests += static_cast<long>(py::len(records));
        allFailures += failures;
        for (auto r : records) {
            py::dict c;
            c["classname"] = py::str("egress." + pyText(t["name"]));
            c["name"] = py::str(pyText(r["gateway"]));
            c["time"] = py::str(r["seconds"].is_none() ? "0" : pyText(py::float_(r["seconds"])));
            object testcase = element(suite, "testcase", c);
            if (pyText(r["verdict"]) != kPass) {
                py::dict f;
                f["type"] = r["verdict"];
                f["message"] = r["reason"];
                object failure = element(testcase, "failure", f);
                failure.attr("text") = py::str(xmlSafe(evidence(r)));
            }
            object out = element(testcase, "system-out", py::dict());
            out.attr("text") = py::str(xmlSafe(r["log"].is_none() ? "" : pyText(r["log"])));
        }
        std::string problems;
        for (auto e : py::list(getOrNone(t, "errors"))) problems += pyText(e) + "\n";
        for (auto l : py::list(getOrNone(t, "leftovers"))) problems += "left: " + pyText(l) + "\n";
        if (!problems.empty()) {
            object err = element(suite, "system-err", py::dict());
            err.attr("text") = py::str(xmlSafe(problems));
        }
    }
    root.attr("set")("tests", std::to_string(allTests));
    root.attr("set")("failures", std::to_string(allFailures));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" +
           pyText(et.attr("tostring")(root, "encoding"_a = "unicode")) + "\n";
}

void writeReports(py::dict doc, const std::string &runDir, object junit, object json, object reportS3) {
    std::string text = consoleText(doc), xml = junitText(doc), document = jsonText(doc) + "\n";
    importModule("sys").attr("stdout").attr("write")(text);
    importModule("sys").attr("stdout").attr("flush")();
    std::vector<std::pair<std::string, std::string>> files;
    if (!runDir.empty()) {
        files.emplace_back(runDir + "/report.txt", text);
        files.emplace_back(runDir + "/report.xml", xml);
        files.emplace_back(runDir + "/report.json", document);
    }
    if (!junit.is_none()) files.emplace_back(pyText(junit), xml);
    if (!json.is_none()) files.emplace_back(pyText(json), document);
    for (auto &f : files) {
        try {
            makeDirs(importModule("os.path").attr("dirname")(f.first).cast<std::string>());
            writeTextAtomic(f.first, f.second);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            say("  **Error** cannot write the report " + f.first + ": " + errorText(e));
        }
    }
    if (reportS3.is_none()) return;
    std::string uri = pyText(reportS3);
    std::string rest = uri.substr(5);
    std::string bucket = rest.substr(0, rest.find('/'));
    std::string prefix = rest.find('/') == std::string::npos ? "" : rest.substr(rest.find('/') + 1);
    if (!prefix.empty() && prefix.back() != '/') prefix += "/";
    object s3 = profileSession(py::none()).attr("client")("s3");
    for (auto &[name, body] : std::vector<std::pair<std::string, std::string>>{
             {"report.txt", text}, {"report.xml", xml}, {"report.json", document}}) {
        std::string key = prefix + pyText(doc["run_id"]) + "/" + name;
        try {
            s3.attr("put_object")("Bucket"_a = bucket, "Key"_a = key, "Body"_a = py::bytes(body));
        } catch (py::error_already_set &e) {
            if (!isAwsError(e)) throw;
            say("  **Error** cannot upload the report to s3://" + bucket + "/" + key + ": " + errorText(e));
        }
    }
}

}  // namespace egresscheck

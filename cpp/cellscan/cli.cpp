#include "cellscan/cellscan.hpp"

using namespace glue;

namespace cellscan {

namespace {

py::object buildParser() {
    py::object argparse = importModule("argparse");
    py::object p = argparse.attr("ArgumentParser")("description"_a = "find subnet with spoke gw inside");
    p.attr("add_argument")("--vpc", "required"_a = true, "help"_a = "AWS VPC ID");
    p.attr("add_argument")("--profile", "required"_a = false, "default"_a = py::none(),
                           "help"_a = "AWS Credentials Profile Name");
    p.attr("add_argument")("--assume_role", "required"_a = true, "help"_a = "AWS IAM role ARN to assume");
    p.attr("add_argument")("--region", "required"_a = true, "help"_a = "AWS Region");
    p.attr("add_argument")("--output_test_config", "required"_a = false, "default"_a = "subnet.config",
                           "help"_a = "specify output test config file name");
    p.attr("add_argument")("--backup_folder", "required"_a = true, "help"_a = "specify backup folder");
    p.attr("add_argument")("--s3_bucket", "required"_a = false, "default"_a = py::none(), "help"_a = "s3 bucket name");
    py::object sub = p.attr("add_subparsers")("dest"_a = "subparser_name");
    py::object spoke = sub.attr("add_parser")("spoke", "help"_a = "search subnet with spoke");
    spoke.attr("add_argument")("--controller_ip", "required"_a = false, "default"_a = py::none(),
                               "help"_a = "Brimvale Controller IP");
    spoke.attr("add_argument")("--controller_user", "required"_a = false, "default"_a = py::none(),
                               "help"_a = "Brimvale Controller user");
    spoke.attr("add_argument")("--controller_password", "required"_a = false, "default"_a = py::none(),
                               "help"_a = "Brimvale Controller password");
    // Every abbreviation of --controller_password stays one (argparse would
    // find it ambiguous beside --controller_password_file): hidden aliases.
    py::list abbreviations;
    std::string full = "--controller_password";
    for (size_t n = std::string("--controller_p").size(); n < full.size(); ++n) abbreviations.append(full.substr(0, n));
    spoke.attr("add_argument")(*abbreviations, "dest"_a = "controller_password", "default"_a = py::none(),
                               "help"_a = argparse.attr("SUPPRESS"));
    spoke.attr("add_argument")("--controller_password_file", "required"_a = false, "default"_a = py::none(),
                               "help"_a = "file whose first line is the Brimvale Controller password (mode 0600 or "
                                          "stricter): keeps the password out of the process list");
    spoke.attr("add_argument")("--spoke_gw_name", "required"_a = false, "default"_a = py::none(),
                               "help"_a = "find subnet(s) with spoke gateway <spoke_gw_name>");
    spoke.attr("add_argument")("--horizontal_scaling", "action"_a = "store_true",
                               "help"_a = "find subnet(s) with horizontal-scaling spoke gateway");
    sub.attr("add_parser")("natgw", "help"_a = "search subnet with natgw");
    return p;
}
}  // namespace

py::object startAwsSessionUncached(py::object assumeRole, py::object profile) {
    py::object started = assumeRoleSession(assumeRole, profile);
    return started.is_none() ? py::str(kSessionFailed) : started;
}

namespace {
// Everything checked before any AWS or controller call; returns the test config path.
std::string checkRunInput(py::object args) {
    std::string folder = pyText(option(args, "backup_folder"));
    requireSoundBackupFolder(folder);
    std::string output = pyText(option(args, "output_test_config"));
    if (output.empty() || output[0] == '/' || climbsOut(output))
        refuseRun("--output_test_config " + output + " must be a file name inside the backup folder");
    if (!isRoleArn(option(args, "assume_role")))
        refuseRun("--assume_role " + pyText(option(args, "assume_role")) + " is not an IAM role ARN");
    return folder + "/" + output;
}

// The password of --controller_password_file: the file's first line. A file
// that others may read, or that cannot be read, is a refusal.
py::object passwordFromFile(const std::string &path) {
    py::object os = importModule("os");
    try {
        int mode = os.attr("stat")(path).attr("st_mode").cast<int>();
        if (mode & 0044)
            refuseRun("--controller_password_file " + path +
                      " is readable by group or others: make it private (chmod 600)");
        py::object f = importModule("builtins").attr("open")(path, "r", "encoding"_a = "utf-8");
        std::string line = pyText(f.attr("readline")());
        f.attr("close")();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) refuseRun("--controller_password_file " + path + " has no password on its first line");
        return py::str(line);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_UnicodeDecodeError)) throw;
        refuseRun("--controller_password_file " + path + " cannot be read: " + errorText(e));
    }
}

// A VPC that is not there (or lives in another region) is named as such, not
// read as a VPC without gateways.
void requireVpc(py::object ec2, py::object args) {
    try {
        ec2.attr("describe_vpcs")("VpcIds"_a = listOf(option(args, "vpc")));
    } catch (py::error_already_set &e) {
        auto code = awsErrorCode(e);
        if (!code || code->rfind("InvalidVpcID", 0) != 0) throw;
        refuseRun("VPC " + pyText(option(args, "vpc")) + " not found in " + pyText(option(args, "region")));
    }
}

void discoverSpokes(py::object args, py::object ec2) {
    py::object controllerIp = option(args, "controller_ip");
    py::object password = option(args, "controller_password");
    if (!truthy(password)) password = importModule("getpass").attr("getpass")("Enter Brimvale Controller Password: ");
    py::object cid = importModule(modules::kZorCred)
                         .attr("get_brimvale_cid")(controllerIp, option(args, "controller_user"), password);
    py::object Spoke = importModule(modules::kSpoke).attr("Spoke");
    bool hs = isGiven(args, "horizontal_scaling");
    std::string url = "https://" + pyText(controllerIp) + (hs ? "/v2/api" : "/v1/api");
    Spoke.attr(hs ? "findHsSpokes" : "findClassicSpokes")(args, ec2, url, cid, option(args, "spoke_gw_name"));
}
}  // namespace

void main() {
    py::object parser = buildParser();
    py::object args = parser.attr("parse_args")();
    std::string sub = pyText(option(args, "subparser_name"));
    // Refused like parser errors (status 2), before any AWS or controller call.
    if (option(args, "subparser_name").is_none()) parser.attr("error")("a subcommand is required: natgw or spoke");
    if (sub == "spoke" && (!isGiven(args, "controller_ip") || !isGiven(args, "controller_user")))
        parser.attr("error")("spoke needs --controller_ip and --controller_user");
    if (sub == "spoke" && isGiven(args, "controller_password") && isGiven(args, "controller_password_file"))
        parser.attr("error")("give --controller_password or --controller_password_file, not both");

    startLog(pyText(option(args, "backup_folder")));
    // The password is masked by value and by option.
    py::object password = option(args, "controller_password");
    logCommand("cellscan", truthy(password) ? pyText(password) : std::string());
    std::string path = checkRunInput(args);
    if (sub == "spoke" && isGiven(args, "controller_password_file"))
        args.attr("controller_password") = passwordFromFile(pyText(option(args, "controller_password_file")));
    py::object lg = logger();
    if (pathExists(path)) {
        info(lg, "- Found " + path);
        exitProcess(0);
    }

    guardMain([&] {
        py::object started =
            importModule(modules::kCellscan)
                .attr("start_aws_session")(option(args, "assume_role"), "profile"_a = option(args, "profile"));
        if (py::isinstance<py::str>(started)) exitProcess(1);  // its error line is logged
        py::object session = started.cast<py::tuple>()[0];
        py::object ec2 = pacedClient(session, "ec2", option(args, "region"), 600);
        requireVpc(ec2, args);
        py::object s3 = profileSession(option(args, "profile")).attr("client")("s3");
        makeDirs(importModule("os.path").attr("dirname")(path).cast<std::string>());
        globalSettings().attr("TEST_CONFIG") = path;
        if (sub == "natgw")
            importModule(modules::kNat).attr("Nat").attr("findNatGws")(args, ec2, s3);
        else
            discoverSpokes(args, ec2);
        exitProcess(exitStatus());
    });
}

}  // namespace cellscan

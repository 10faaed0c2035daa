#include "cellscan/cellscan.hpp"

using namespace glue;

namespace cellscan {

namespace {
const char *kModule = "brimvale_testlibs.bin.cellscan";
const char *kSessionFailed = "The AWS new session attempt has failed";

py::object buildParser() {
    py::object argparse = imp("argparse");
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
    spoke.attr("add_argument")("--spoke_gw_name", "required"_a = false, "default"_a = py::none(),
                               "help"_a = "find subnet(s) with spoke gateway <spoke_gw_name>");
    spoke.attr("add_argument")("--horizontal_scaling", "action"_a = "store_true",
                               "help"_a = "find subnet(s) with horizontal-scaling spoke gateway");
    sub.attr("add_parser")("natgw", "help"_a = "search subnet with natgw");
    return p;
}
}  // namespace

py::object startAwsSessionUncached(py::object assumeRole, py::object profile) {
    py::object lg = logger();
    py::object boto3 = imp("boto3");
    py::object start = profile.is_none() ? boto3.attr("session").attr("Session")()
                                         : boto3.attr("session").attr("Session")("profile_name"_a = profile);
    py::object sts = start.attr("client")("sts");
    py::object resp = sts.attr("assume_role")("RoleArn"_a = assumeRole, "RoleSessionName"_a = "Brimvale_Workflow");
    py::object creds = resp["Credentials"];
    try {
        py::object session = boto3.attr("session").attr("Session")("aws_access_key_id"_a = creds["AccessKeyId"],
                                                                   "aws_secret_access_key"_a = creds["SecretAccessKey"],
                                                                   "aws_session_token"_a = creds["SessionToken"]);
        return py::make_tuple(session, creds);
    } catch (py::error_already_set &e) {
        if (isExit(e)) throw;
        error(lg, std::string("  **Error** ") + kSessionFailed);
        return py::str(kSessionFailed);
    }
}

namespace {
// The command line as logged: the password is masked by value and by option.
void logCommand(py::object args) {
    py::list argv = imp("sys").attr("argv");
    std::string command = "cellscan";
    for (size_t i = 1; i < py::len(argv); ++i) command += " " + text(argv[i]);
    py::object password = opt(args, "controller_password");
    imp("brimvale_testlibs.bin.lib.commonlib")
        .attr("Common")
        .attr("logCommandOptions")(command, truthy(password) ? text(password) : std::string());
}

// Everything checked before any AWS or controller call; returns the test config path.
std::string checkRunInput(py::object args) {
    std::string folder = text(opt(args, "backup_folder"));
    std::string problem = backupFolderProblem(folder);
    if (!problem.empty()) {
        error(logger(), problem);
        exitProcess(1);
    }
    std::string output = text(opt(args, "output_test_config"));
    if (output.empty() || output[0] == '/' || climbsOut(output))
        refuseRun("--output_test_config " + output + " must be a file name inside the backup folder");
    if (!isRoleArn(opt(args, "assume_role")))
        refuseRun("--assume_role " + text(opt(args, "assume_role")) + " is not an IAM role ARN");
    return folder + "/" + output;
}

void discoverSpokes(py::object args, py::object ec2) {
    py::object controllerIp = opt(args, "controller_ip");
    py::object password = opt(args, "controller_password");
    if (!truthy(password)) password = imp("getpass").attr("getpass")("Enter Brimvale Controller Password: ");
    py::object cid = imp("brimvale_testlibs.bin.lib.zor_cred")
                         .attr("get_brimvale_cid")(controllerIp, opt(args, "controller_user"), password);
    py::object Spoke = imp("brimvale_testlibs.bin.lib.spoke").attr("Spoke");
    bool hs = given(args, "horizontal_scaling");
    std::string url = "https://" + text(controllerIp) + (hs ? "/v2/api" : "/v1/api");
    Spoke.attr(hs ? "findHsSpokes" : "findClassicSpokes")(args, ec2, url, cid, opt(args, "spoke_gw_name"));
}
}  // namespace

void main() {
    py::object parser = buildParser();
    py::object args = parser.attr("parse_args")();
    std::string sub = text(opt(args, "subparser_name"));
    // Refused like parser errors (status 2), before any AWS or controller call.
    if (opt(args, "subparser_name").is_none()) parser.attr("error")("a subcommand is required: natgw or spoke");
    if (sub == "spoke" && (!given(args, "controller_ip") || !given(args, "controller_user")))
        parser.attr("error")("spoke needs --controller_ip and --controller_user");

    startLog(text(opt(args, "backup_folder")));
    logCommand(args);
    std::string path = checkRunInput(args);
    py::object lg = logger();
    if (pathExists(path)) {
        info(lg, "- Found " + path);
        exitProcess(0);
    }

    guardMain([&] {
        py::object started =
            imp(kModule).attr("start_aws_session")(opt(args, "assume_role"), "profile"_a = opt(args, "profile"));
        if (py::isinstance<py::str>(started)) exitProcess(1);  // its error line is logged
        py::object session = started.cast<py::tuple>()[0];
        py::object ec2 = pacedClient(session, "ec2", opt(args, "region"), 600);
        py::object s3 =
            imp("boto3").attr("session").attr("Session")("profile_name"_a = opt(args, "profile")).attr("client")("s3");
        makeDirs(imp("os.path").attr("dirname")(path).cast<std::string>());
        imp("brimvale_testlibs.bin.core.Globals").attr("Globals").attr("TEST_CONFIG") = path;
        if (sub == "natgw") {
            imp("brimvale_testlibs.bin.lib.nat").attr("Nat").attr("findNatGws")(args, ec2, s3);
            return;
        }
        discoverSpokes(args, ec2);
        exitProcess(exitStatus());
    });
}

}  // namespace cellscan

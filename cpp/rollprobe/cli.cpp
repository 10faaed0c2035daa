// The command line and the two run kinds.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
const char *kDefaultImage = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64";

object buildParser() {
    object p = importModule("argparse").attr("ArgumentParser")("description"_a = "Deploy test EC2 in test subnets");
    auto text_opt = [&](const char *flag, const char *help, bool required = false) {
        p.attr("add_argument")(flag, "required"_a = required, "help"_a = help);
    };
    auto switch_opt = [&](const char *flag, const char *help) {
        p.attr("add_argument")(flag, "action"_a = "store_true", "default"_a = false, "help"_a = help);
    };
    switch_opt("--revert", "revert the operation");
    switch_opt("--dry_run", "Dry run deploy test ec2 logic and show what will be done");
    text_opt("--account", "account");
    text_opt("--region", "region");
    text_opt("--private_subnet_id", "private subnet ID");
    text_opt("--key_name", "key name");
    text_opt("--s3_bucket", "s3 bucket name");
    text_opt("--assume_role", "Specify the role used to deploy EC2 in the account");
    text_opt("--profile", "Specify the AWS Credentials profile used to deploy EC2 in the account");
    text_opt("--ec2_role", "Specify the role to assign to the EC2");
    text_opt("--test_config", "specify input test config file", true);
    text_opt("--output_test_config", "specify output test config file");
    text_opt("--tag_resource", "tag created resources, e.g., sg, vm");
    text_opt("--tag", "record tag suffix: a record's verdict objects are result-<gateway>-<tag>.txt and "
                      "log-<gateway>-<tag>.txt (default: none)");
    p.attr("add_argument")("--instance_type", "default"_a = "t3.micro",
                           "help"_a = "instance type, default to t3.micro");
    p.attr("add_argument")("--image", "default"_a = kDefaultImage,
                           "help"_a = std::string("VM image name, default to ") + kDefaultImage);
    text_opt("--workflow_account_role",
             "specify workflow account <role>,<number>,<region> where account number and region are optional");
    text_opt("--backup_folder", "specify a local folder for storing the VPC specific key-pair", true);
    switch_opt("--eip", "Use EIP");
    return p;
}

// What is wrong with a workflow account text ("" when nothing): a role name,
// then optionally a 12-digit account number and a region.
static std::string workflowAccountProblem(const std::string &wf) {
    std::vector<std::string> items;
    size_t start = 0;
    for (size_t comma; (comma = wf.find(',', start)) != std::string::npos; start = comma + 1)
        items.push_back(wf.substr(start, comma - start));
    items.push_back(wf.substr(start));
    if (items[0].empty()) return "the role name is empty";
    if (items.size() > 2) {
        const std::string &account = items[1];
        bool digits = account.size() == 12 && account.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) return "the account number must have 12 digits";
        if (items[2].empty()) return "the region is empty";
    }
    return "";
}

// The results S3 client of a run (and, for a deployment, the key download).
object workflowS3(object args, bool fetchKey) {
    object lg = logger();
    object wf = option(args, "workflow_account_role");
    if (!truthy(wf)) return profileSession(option(args, "profile")).attr("client")("s3");
    py::list items = wf.attr("split")(",");
    object account, region;
    if (py::len(items) > 2) {
        account = items[1];
        region = items[2];
    } else {
        object doc = get_aws_metadata();
        account = doc["accountId"];
        region = doc["region"];
    }
    std::string arn = "arn:aws:iam::" + pyText(account) + ":role/" + pyText(items[0]);
    info(lg, "- Use role " + arn + " for SSM access");
    object session = moduleAttr("start_aws_session")(arn, "profile"_a = option(args, "profile"));
    if (py::isinstance<py::str>(session)) exitProcess(1);  // its error line is logged
    object ssm = session.attr("client")("ssm", "region_name"_a = region);
    object s3 = session.attr("client")("s3");
    if (fetchKey && isGiven(args, "key_name"))
        getPemKeyFromSSM(ssm, py::str("/brimvale/workflow/secrets/" + pyText(option(args, "key_name"))), args);
    return s3;
}
// Everything that can be checked before the first AWS call; each problem is
// one line and status 1.
void checkRunInput(object args, bool revert) {
    object lg = logger();
    std::string folder = pyText(option(args, "backup_folder"));
    requireSoundBackupFolder(folder);
    object rt = option(args, "tag_resource");
    if (!rt.is_none() && py::len(rt.attr("split")(",")) % 2 == 1) {
        info(lg, "**Error** incomplete tag_resource pair");
        exitProcess(1);
    }
    object wf = option(args, "workflow_account_role");
    if (truthy(wf)) {
        std::string wrong = workflowAccountProblem(pyText(wf));
        if (!wrong.empty()) refuseRun("--workflow_account_role " + pyText(wf) + ": " + wrong);
        // The downloaded key is written to a file of the key's name.
        std::string key = pyText(option(args, "key_name"));
        if (isGiven(args, "key_name") && (key.find('/') != std::string::npos || key.find("..") != std::string::npos))
            refuseRun("--key_name " + key + " must be a plain name (no \"/\", no \"..\")");
    }
    // The tag lands in the boot script and in object names.
    if (!option(args, "tag").is_none() && !isSafeName(option(args, "tag")))
        refuseRun("--tag " + pyText(option(args, "tag")) + " has characters outside [A-Za-z0-9._:-]");
    object role = option(args, "assume_role");
    if (isGiven(args, "assume_role") && !isRoleArn(role))
        refuseRun("--assume_role " + pyText(role) + " is not an IAM role ARN");
    if (revert) return;
    // The output config is written after launching: its folder must take a
    // file now, or the addresses of what was launched would be lost.
    std::string out = pyText(option(args, "output_test_config"));
    if (climbsOut(out)) refuseRun("--output_test_config " + out + " must not climb out with \"..\"");
    object ospath = importModule("os.path");
    std::string outFolder = ospath.attr("dirname")(ospath.attr("abspath")(out)).cast<std::string>();
    try {
        py::tuple made = importModule("tempfile").attr("mkstemp")("dir"_a = outFolder, "prefix"_a = ".tmp-");
        importModule("os").attr("close")(made[0]);
        importModule("os").attr("unlink")(made[1]);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        refuseRun("cannot write the output test config in " + outFolder + ": " + errorText(e));
    }
}

// The session of the deployment identity: an assumed role, or the profile.
object deploymentSession(object args) {
    if (!isGiven(args, "assume_role")) return profileSession(option(args, "profile"));
    object session = moduleAttr("start_aws_session")(option(args, "assume_role"), option(args, "profile"));
    if (py::isinstance<py::str>(session)) exitProcess(1);  // its error line is logged
    return session;
}
}  // namespace

void main() {
    py::list argv = importModule("sys").attr("argv");
    object parser = buildParser();
    object args = parser.attr("parse_args")();
    bool revert = truthy(option(args, "revert"));
    // A deployment writes the output test config: refused like a parser error.
    if (!revert && !isGiven(args, "output_test_config"))
        parser.attr("error")("a deployment run needs --output_test_config");

    std::string folder = pyText(option(args, "backup_folder"));
    startLog(folder);
    logCommand("rollprobe");
    globalSettings().attr("dry_run") = py::bool_(dryRun(args));
    checkRunInput(args, revert);
    // The test config is checked before anything is done in AWS.
    if (revert)
        loadTestConfig(args);
    else
        loadDeployConfig(args);

    StopOnSignals stopHandlers;
    guardMain([&] {
        // A revert needs S3 only to upload its log.
        object s3 = revert && !isGiven(args, "s3_bucket") ? object(py::none()) : workflowS3(args, !revert);
        object session = deploymentSession(args);
        object ec2 = fleetClient(session, "ec2", args);
        object iam = fleetClient(session, "iam", args);
        if (!revert) {
            deployEc2s(ec2, s3, iam, getAMIByName(ec2, args), args);
        } else {
            terminateEc2s(ec2, iam, args);
            if (pyText(option(args, "ec2_role")) == "default" && !stopRequested()) deleteInstanceProfile(iam);
        }
        if (isGiven(args, "s3_bucket"))
            uploadToS3(s3, option(args, "s3_bucket"), folder + "/log/brimvale_testlibs.log");
    });
    exitProcess(stopSignal() ? 128 + stopSignal() : exitStatus());
}

}  // namespace rollprobe

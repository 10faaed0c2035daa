// The test instances' IAM identity: policy, role and instance profile.
#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
// The instances only upload their result and log objects. The policy is
// shared by every VPC and bucket of the account, so it names the objects, not
// a bucket: nothing else of any bucket (the fleets' private keys among them)
// can be read or written with it.
py::dict uploadStatement() {
    py::dict s;
    s["Effect"] = "Allow";
    s["Action"] = listOf(py::str("s3:PutObject"));
    py::list objects;
    objects.append("arn:aws:s3:::*/result-*");
    objects.append("arn:aws:s3:::*/log-*");
    s["Resource"] = objects;
    return s;
}

// Finds a local policy's ARN by name, across every page of the listing.
object findPolicyArn(object iam) {
    object pages = iam.attr("get_paginator")("list_policies").attr("paginate")("Scope"_a = "Local");
    for (auto page : pages)
        for (auto p : page["Policies"].cast<py::list>())
            if (pyText(p["PolicyName"]) == kPolicyName) return p["Arn"];
    return py::none();
}

// True when the tool's role has `policy_arn` attached (every page).
bool attachedPolicy(object iam, object policy_arn) {
    for (auto p : allPages(iam, "list_attached_role_policies", "AttachedPolicies", py::dict("RoleName"_a = kRoleName)))
        if (pyEquals(p["PolicyArn"], policy_arn)) return true;
    return false;
}

// Sends a create request. An existing entity means "already set up": one
// alert line, and false. Any other refusal ends the run with the service's
// message (nothing is launched with a half-made identity).
bool createUnlessExists(object lg, const std::function<void()> &send) {
    try {
        send();
    } catch (py::error_already_set &e) {
        auto code = awsErrorCode(e);
        if (!code) throw;
        if (*code == "EntityAlreadyExists") {
            info(lg, "  **Alert** " + errorText(e));
            return false;
        }
        refuseRun(errorText(e));
    }
    return true;
}

// Completes a just-created entity; when that is refused, removes the entity
// again (a later run would find it and take it as set up) and ends the run.
void completeOrUndo(const std::function<void()> &complete, const std::function<void()> &undo) {
    try {
        complete();
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        std::string why = errorText(e);
        try {
            undo();
        } catch (py::error_already_set &) {}
        refuseRun(why);
    }
}

// True when the tool's instance profile holds the tool's role.
bool profileHasRole(object iam) {
    py::list roles =
        iam.attr("get_instance_profile")("InstanceProfileName"_a = kProfileName)["InstanceProfile"]["Roles"];
    for (auto role : roles)
        if (pyText(role["RoleName"]) == kRoleName) return true;
    return false;
}

// Adds the tool's role to its instance profile. The targets of one account
// deploy side by side and share this identity, so another run may add the
// role between our reading of the profile and this request: a profile holds
// one role, and its refusal then only says that the work is done.
void addRoleToProfile(object iam) {
    try {
        iam.attr("add_role_to_instance_profile")("InstanceProfileName"_a = kProfileName, "RoleName"_a = kRoleName);
    } catch (py::error_already_set &e) {
        if (!isServiceError(e)) throw;
        bool there = false;
        try {
            there = profileHasRole(iam);
        } catch (py::error_already_set &other) {
            if (!isServiceError(other)) throw;
        }
        if (!there) throw;
        info(logger(), "  the role was added by another run meanwhile");
    }
}

// A failed removal: one line, and the run fails (the entity remains); one
// that was never there is no failure.
void reportAndGoOn(object lg, py::error_already_set &e) {
    if (!isServiceError(e)) throw e;
    if (*awsErrorCode(e) == "NoSuchEntity") {
        info(lg, "  not found");
        return;
    }
    reportFailure(errorText(e));
}
}  // namespace

object createS3Policy(object iam, object args) {
    object lg = logger();
    info(lg, std::string("- Create policy ") + kPolicyName);
    py::dict doc;
    doc["Version"] = "2012-10-17";
    doc["Statement"] = listOf(uploadStatement());
    py::list tags = listOf(tagPair("Name", kInstanceName));
    try {
        object resp = iam.attr("create_policy")("PolicyName"_a = kPolicyName, "PolicyDocument"_a = jsonText(doc, false),
                                                "Description"_a = "brimvale test ec2 policy", "Tags"_a = tags);
        return resp["Policy"]["Arn"];
    } catch (py::error_already_set &e) {
        auto code = awsErrorCode(e);
        if (code && *code == "EntityAlreadyExists") {
            object account = option(args, "account");
            if (!account.is_none()) return py::str("arn:aws:iam::" + pyText(account) + ":policy/" + kPolicyName);
            // Without --account the existing policy is found by name.
            object arn = findPolicyArn(iam);
            if (!arn.is_none()) return arn;
            refuseRun(std::string("policy ") + kPolicyName + " exists but its ARN cannot be found");
        }
        if (code)
            error(lg, std::string("  **Error** cannot create policy ") + kPolicyName + ": " + errorText(e));
        else
            reportAndGoOn(lg, e);
        exitProcess(1);
    }
}

void createEc2Role(object iam, object policy_arn) {
    object lg = logger();
    info(lg, std::string("- Create role ") + kRoleName);
    py::dict principal;
    principal["Service"] = "ec2.amazonaws.com";
    py::dict stmt;
    stmt["Effect"] = "Allow";
    stmt["Principal"] = principal;
    stmt["Action"] = "sts:AssumeRole";
    py::dict doc;
    doc["Version"] = "2012-10-17";
    doc["Statement"] = listOf(stmt);
    bool created = createUnlessExists(lg, [&] {
        iam.attr("create_role")("RoleName"_a = kRoleName, "AssumeRolePolicyDocument"_a = jsonText(doc, false),
                                "Description"_a = "brimvale test ec2 role");
    });
    if (!created) {
        // A run that ended between the two requests left a role without its
        // policy: the instances could never upload. Attaching is idempotent.
        if (attachedPolicy(iam, policy_arn)) return;
        info(lg, "- Attach policy to the existing role");
        try {
            iam.attr("attach_role_policy")("RoleName"_a = kRoleName, "PolicyArn"_a = policy_arn);
        } catch (py::error_already_set &e) {
            if (!isServiceError(e)) throw;
            refuseRun("cannot attach " + pyText(policy_arn) + " to the existing role " + kRoleName + ": " +
                      errorText(e));
        }
        return;
    }
    info(lg, "- Attach policy to role");
    completeOrUndo([&] { iam.attr("attach_role_policy")("RoleName"_a = kRoleName, "PolicyArn"_a = policy_arn); },
                   [&] { iam.attr("delete_role")("RoleName"_a = kRoleName); });
}

void createInstanceProfile(object iam) {
    object lg = logger();
    info(lg, std::string("- Create instance profile ") + kProfileName);
    bool created = createUnlessExists(lg, [&] {
        iam.attr("create_instance_profile")("InstanceProfileName"_a = kProfileName,
                                            "Tags"_a = listOf(tagPair("Name", kInstanceName)));
    });
    if (!created) {
        // An existing profile without the role (a run ended midway) is repaired.
        if (profileHasRole(iam)) return;
        info(lg, "- Add role to the existing instance profile");
        try {
            addRoleToProfile(iam);
        } catch (py::error_already_set &e) {
            if (!isServiceError(e)) throw;
            refuseRun(std::string("cannot add ") + kRoleName + " to the existing instance profile " + kProfileName +
                      ": " + errorText(e));
        }
        return;
    }
    info(lg, "- Add role to instance profile");
    completeOrUndo([&] { addRoleToProfile(iam); },
                   [&] { iam.attr("delete_instance_profile")("InstanceProfileName"_a = kProfileName); });
}

void deleteInstanceProfile(object iam) {
    object lg = logger();
    info(lg, std::string("  Remove role from instance profile ") + kProfileName);
    try {
        iam.attr("remove_role_from_instance_profile")("InstanceProfileName"_a = kProfileName, "RoleName"_a = kRoleName);
    } catch (py::error_already_set &e) {
        reportAndGoOn(lg, e);
    }
    info(lg, std::string("  Delete instance profile ") + kProfileName);
    try {
        iam.attr("delete_instance_profile")("InstanceProfileName"_a = kProfileName);
    } catch (py::error_already_set &e) {
        reportAndGoOn(lg, e);
    }
    // The role and the policy go by name, attached or not (a deployment that
    // ended midway leaves either alone): first every policy of the role.
    py::list attached;
    try {
        attached = allPages(iam, "list_attached_role_policies", "AttachedPolicies", py::dict("RoleName"_a = kRoleName));
    } catch (py::error_already_set &e) {
        reportAndGoOn(lg, e);
    }
    for (auto p : attached) {
        info(lg, std::string("  Detach ") + kRoleName + " from " + pyText(p["PolicyName"]) + " " +
                     pyText(p["PolicyArn"]) + " ");
        try {
            iam.attr("detach_role_policy")("RoleName"_a = kRoleName, "PolicyArn"_a = p["PolicyArn"]);
        } catch (py::error_already_set &e) {
            reportAndGoOn(lg, e);
        }
    }
    object arn = findPolicyArn(iam);
    if (!arn.is_none()) {
        info(lg, "  Delete policy " + pyText(arn));
        try {
            iam.attr("delete_policy")("PolicyArn"_a = arn);
        } catch (py::error_already_set &e) {
            reportAndGoOn(lg, e);
        }
    }
    info(lg, std::string("  Delete ") + kRoleName);
    try {
        iam.attr("delete_role")("RoleName"_a = kRoleName);
    } catch (py::error_already_set &e) {
        reportAndGoOn(lg, e);
    }
}

}  // namespace rollprobe

"""The test instances' IAM identity."""

import json
import logging

import pytest
from botocore.stub import Stubber
from conftest import make_args

from brimvale_testlibs.bin import rollprobe

POLICY, ROLE, PROFILE = "brimvale-test-ec2-policy", "brimvale-test-ec2-role", "brimvale-test-ec2-instance-profile"


def deploy(iam, args):
    arn = rollprobe.createS3Policy(iam, args)
    rollprobe.createEc2Role(iam, arn)
    rollprobe.createInstanceProfile(iam)
    return arn


def test_first_and_second_deployment(aws, caplog):
    caplog.set_level(logging.INFO)
    arn = deploy(aws.iam, make_args())
    assert arn == f"arn:aws:iam::123456789012:policy/{POLICY}"
    attached = aws.iam.list_attached_role_policies(RoleName=ROLE)["AttachedPolicies"]
    assert [p["PolicyArn"] for p in attached] == [arn]
    roles = aws.iam.get_instance_profile(InstanceProfileName=PROFILE)["InstanceProfile"]["Roles"]
    assert [r["RoleName"] for r in roles] == [ROLE]
    doc = aws.iam.get_policy_version(PolicyArn=arn, VersionId="v1")["PolicyVersion"]["Document"]
    doc = json.loads(doc) if isinstance(doc, str) else doc
    # Uploads of result and log objects only: no read of any object (the keys' backups included).
    assert doc["Statement"] == [
        {"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws:s3:::*/result-*", "arn:aws:s3:::*/log-*"]}
    ]

    caplog.clear()
    assert deploy(aws.iam, make_args(account="123456789012")) == arn
    assert caplog.messages[0] == f"- Create policy {POLICY}"
    assert caplog.messages[1] == f"- Create role {ROLE}"
    alerts = [m for m in caplog.messages if m.startswith("  **Alert** ")]
    assert len(alerts) == 2
    assert "- Attach policy to role" not in caplog.messages


def test_existing_policy_without_account_is_found_by_name(aws):
    arn = deploy(aws.iam, make_args())
    assert rollprobe.createS3Policy(aws.iam, make_args()) == arn


def test_exact_documents_sent(aws):
    stub = Stubber(aws.iam)
    stub.add_response(
        "create_policy",
        {"Policy": {"Arn": "arn:aws:iam::1:policy/p"}},
        {
            "PolicyName": POLICY,
            "PolicyDocument": '{"Version": "2012-10-17", "Statement": ['
            '{"Effect": "Allow", "Action": ["s3:PutObject"], '
            '"Resource": ["arn:aws:s3:::*/result-*", "arn:aws:s3:::*/log-*"]}]}',
            "Description": "brimvale test ec2 policy",
            "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2"}],
        },
    )
    stub.add_response(
        "create_role",
        {
            "Role": {
                "Path": "/",
                "RoleName": ROLE,
                "RoleId": "AROAEXAMPLEID12345678",
                "Arn": "arn:aws:iam::1:role/r",
                "CreateDate": "2024-01-01",
            }
        },
        {
            "RoleName": ROLE,
            "AssumeRolePolicyDocument": '{"Version": "2012-10-17", "Statement": [{"Effect": "Allow", '
            '"Principal": {"Service": "ec2.amazonaws.com"}, "Action": "sts:AssumeRole"}]}',
            "Description": "brimvale test ec2 role",
        },
    )
    stub.add_response("attach_role_policy", {}, {"RoleName": ROLE, "PolicyArn": "arn:aws:iam::1:policy/p"})
    with stub:
        rollprobe.createEc2Role(aws.iam, rollprobe.createS3Policy(aws.iam, make_args()))
    stub.assert_no_pending_responses()


def test_revert_removes_everything(aws, caplog):
    arn = deploy(aws.iam, make_args())
    caplog.set_level(logging.INFO)
    rollprobe.deleteInstanceProfile(aws.iam)
    assert f"  Detach {ROLE} from {POLICY} {arn} " in caplog.messages
    assert aws.iam.list_roles()["Roles"] == []
    assert aws.iam.list_policies(Scope="Local")["Policies"] == []
    assert aws.iam.list_instance_profiles()["InstanceProfiles"] == []


def test_revert_with_profile_gone(aws, caplog, capsys):
    deploy(aws.iam, make_args())
    aws.iam.remove_role_from_instance_profile(InstanceProfileName=PROFILE, RoleName=ROLE)
    aws.iam.delete_instance_profile(InstanceProfileName=PROFILE)
    caplog.set_level(logging.INFO)
    rollprobe.deleteInstanceProfile(aws.iam)
    # What is already gone is no failure: a line each, no error, no traceback.
    assert [r for r in caplog.records if r.levelno == logging.ERROR] == []
    assert caplog.messages.count("  not found") == 2
    assert "Traceback" not in capsys.readouterr().err
    assert aws.iam.list_roles()["Roles"] == []
    assert aws.iam.list_policies(Scope="Local")["Policies"] == []


@pytest.mark.parametrize("attached", [0, 3])
def test_revert_removes_role_and_policy_by_name(aws, attached):
    """Attached or not (a deployment that ended midway), the role, its policies
    and the tool's policy go; every page of both listings is read."""
    stub = Stubber(aws.iam)
    stub.add_response("remove_role_from_instance_profile", {})
    stub.add_response("delete_instance_profile", {})
    arns = [f"arn:aws:iam::1:policy/p{i}" for i in range(attached)]
    pages = [arns[:2], arns[2:]] if attached else [[]]
    for n, page in enumerate(pages):
        body = {"AttachedPolicies": [{"PolicyName": POLICY, "PolicyArn": a} for a in page]}
        params = {"RoleName": ROLE}
        if n + 1 < len(pages):
            body["IsTruncated"], body["Marker"] = True, "m"
        if n:
            params["Marker"] = "m"
        stub.add_response("list_attached_role_policies", body, params)
    for a in arns:
        stub.add_response("detach_role_policy", {}, {"RoleName": ROLE, "PolicyArn": a})
    other = {"PolicyName": "other", "Arn": "arn:aws:iam::1:policy/other"}
    stub.add_response("list_policies", {"Policies": [other], "IsTruncated": True, "Marker": "m"}, {"Scope": "Local"})
    mine = {"PolicyName": POLICY, "Arn": "arn:aws:iam::1:policy/mine"}
    stub.add_response("list_policies", {"Policies": [mine]}, {"Scope": "Local", "Marker": "m"})
    stub.add_response("delete_policy", {}, {"PolicyArn": mine["Arn"]})
    stub.add_response("delete_role", {}, {"RoleName": ROLE})
    with stub:
        rollprobe.deleteInstanceProfile(aws.iam)
    stub.assert_no_pending_responses()


@pytest.mark.parametrize("broken", ["role without policy", "profile without role"])
def test_half_made_identity_is_repaired(aws, broken, caplog):
    """A deployment killed between two IAM requests left a half-made identity: the next one completes it."""
    arn = deploy(aws.iam, make_args())
    if broken == "role without policy":
        aws.iam.detach_role_policy(RoleName=ROLE, PolicyArn=arn)
    else:
        aws.iam.remove_role_from_instance_profile(InstanceProfileName=PROFILE, RoleName=ROLE)
    caplog.set_level(logging.INFO)
    assert deploy(aws.iam, make_args()) == arn
    attached = aws.iam.list_attached_role_policies(RoleName=ROLE)["AttachedPolicies"]
    assert [p["PolicyArn"] for p in attached] == [arn]
    roles = aws.iam.get_instance_profile(InstanceProfileName=PROFILE)["InstanceProfile"]["Roles"]
    assert [r["RoleName"] for r in roles] == [ROLE]
    repair = (
        "- Attach policy to the existing role" if broken[0] == "r" else "- Add role to the existing instance profile"
    )
    assert repair in caplog.messages
    rollprobe.deleteInstanceProfile(aws.iam)
    assert aws.iam.list_roles()["Roles"] == [] and aws.iam.list_policies(Scope="Local")["Policies"] == []


def profile(*roles):
    when = "2026-01-01T00:00:00Z"
    role = [
        {"Path": "/", "RoleName": r, "RoleId": "AROA" + "1" * 16, "Arn": f"arn:aws:iam::1:role/{r}", "CreateDate": when}
        for r in roles
    ]
    return {
        "InstanceProfile": {
            "Path": "/",
            "InstanceProfileName": PROFILE,
            "InstanceProfileId": "AIPA" + "1" * 16,
            "Arn": "arn:aws:iam::1:instance-profile/p",
            "CreateDate": when,
            "Roles": role,
        }
    }


@pytest.mark.parametrize(
    "existed,holder,refused",
    [(False, ROLE, False), (True, ROLE, False), (True, "someone-else", True), (False, "someone-else", True)],
)
def test_role_added_by_a_parallel_run_meanwhile(aws, existed, holder, refused):
    """Two targets of one account deploy side by side: the other run adds the
    role between this run's reading of the profile and its own request, which
    the profile's quota of one role refuses. That is the work done, not a
    refusal; a profile holding another role still refuses the run."""
    stub = Stubber(aws.iam)
    if existed:
        stub.add_client_error("create_instance_profile", "EntityAlreadyExists", http_status_code=409)
        stub.add_response("get_instance_profile", profile(), {"InstanceProfileName": PROFILE})
    else:
        stub.add_response("create_instance_profile", {"InstanceProfile": profile()["InstanceProfile"]})
    quota = "Cannot exceed quota for InstanceSessionsPerInstanceProfile: 1"
    stub.add_client_error("add_role_to_instance_profile", "LimitExceeded", quota, 409)
    stub.add_response("get_instance_profile", profile(holder), {"InstanceProfileName": PROFILE})
    if refused and not existed:
        stub.add_response("delete_instance_profile", {}, {"InstanceProfileName": PROFILE})  # its own, just made
    with stub:
        if refused:
            with pytest.raises(SystemExit):
                rollprobe.createInstanceProfile(aws.iam)
        else:
            rollprobe.createInstanceProfile(aws.iam)
    stub.assert_no_pending_responses()

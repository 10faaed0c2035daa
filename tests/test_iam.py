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
    assert [s["Action"] for s in doc["Statement"]] == [["s3:ListBucket"], ["s3:GetObject"], ["s3:PutObject"]]

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
            '{"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws:s3:::*"]}, '
            '{"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws:s3:::*"]}, '
            '{"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws:s3:::*"]}]}',
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


@pytest.mark.parametrize("policies", [0, 2])
def test_revert_keeps_role_unless_exactly_one_policy(aws, policies):
    stub = Stubber(aws.iam)
    stub.add_response("remove_role_from_instance_profile", {})
    stub.add_response("delete_instance_profile", {})
    listed = [{"PolicyName": POLICY, "Arn": f"arn:aws:iam::1:policy/p{i}"} for i in range(policies)]
    stub.add_response(
        "list_policies",
        {"Policies": listed},
        {"Scope": "Local", "OnlyAttached": True, "PolicyUsageFilter": "PermissionsPolicy"},
    )
    with stub:
        rollprobe.deleteInstanceProfile(aws.iam)
    stub.assert_no_pending_responses()  # and no detach/delete request was made

"""Operator tags, record tags and the image lookup."""

import logging

import pytest
from botocore.stub import Stubber
from conftest import make_args

from brimvale_testlibs.bin import rollprobe
from emulators.moto_ext import DEFAULT_AMI_ID, DEFAULT_IMAGE


@pytest.mark.parametrize(
    "text,expected",
    [
        ("team,net,owner,ops", [("team", "net"), ("owner", "ops")]),
        ("env, lab", [("env", " lab")]),
        ("a,,b,c", [("a", ""), ("b", "c")]),
    ],
)
def test_tag_pairs_are_appended_verbatim(text, expected):
    tags = [{"Key": "Name", "Value": "brimvale-test-ec2-sg"}]
    rollprobe.populateTags(tags, text)
    assert tags[0] == {"Key": "Name", "Value": "brimvale-test-ec2-sg"}
    assert [(t["Key"], t["Value"]) for t in tags[1:]] == expected


@pytest.mark.parametrize(
    "tag,record,expected",
    [
        (None, {"gw_name": "gw-a"}, "gw-a-"),
        (None, None, "-"),
        ("t1", None, "-t1"),
        ("t1", {"gw_name": "gw-a", "nat_gw_id": "nat-1"}, "gw-a-t1"),
        ("", {"nat_gw_id": "nat-0abc"}, "nat-0abc-"),
    ],
)
def test_record_tag(tag, record, expected):
    args = make_args()
    if tag is not None:
        args.tag = tag
    assert rollprobe.deduceTag(args, record) == expected


def test_image_found(aws, caplog):
    caplog.set_level(logging.INFO)
    assert rollprobe.getAMIByName(aws.ec2, make_args()) == DEFAULT_AMI_ID
    assert caplog.messages == [f"- Lookup AMI for {DEFAULT_IMAGE}", f"  {DEFAULT_AMI_ID}"]


def test_image_request_and_first_of_several(aws):
    stub = Stubber(aws.ec2)
    stub.add_response(
        "describe_images",
        {"Images": [{"ImageId": "ami-2"}, {"ImageId": "ami-1"}]},
        {
            "ExecutableUsers": ["all"],
            "Filters": [{"Name": "name", "Values": ["img"]}],
            "Owners": ["amazon"],
            "IncludeDeprecated": False,
        },
    )
    with stub:
        assert rollprobe.getAMIByName(aws.ec2, make_args(image="img")) == "ami-2"
    stub.assert_no_pending_responses()


def test_image_not_found_ends_the_run(aws, caplog):
    with pytest.raises(SystemExit) as ended:
        rollprobe.getAMIByName(aws.ec2, make_args(image="no-such-image"))
    assert ended.value.code == 1
    assert "  **Error** Failed to find image no-such-image" in caplog.messages


def test_image_through_public_parameters(aws):
    stub = Stubber(aws.ssm)
    stub.add_response(
        "get_parameters_by_path",
        {
            "Parameters": [
                {"Name": "/aws/service/ami-amazon-linux-latest/other", "Value": "ami-x"},
                {"Name": "/aws/service/ami-amazon-linux-latest/al2023-x86_64", "Value": "ami-y"},
            ]
        },
        {"Path": "/aws/service/ami-amazon-linux-latest"},
    )
    with stub:
        assert rollprobe.getAMI(aws.ssm, make_args(image="al2023-x86_64")) == "ami-y"

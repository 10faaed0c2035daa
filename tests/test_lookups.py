"""Instance and VPC lookups."""

import logging

import pytest
from botocore.stub import Stubber

from brimvale_testlibs.bin import rollprobe

GW, PRIV = "subnet-gw", "subnet-priv"
# Terminated instances stay listed for an hour: only live ones count.
LIVE = {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]}
FILTERS = [{"Name": "tag:Name", "Values": ["brimvale-test-ec2"]}, {"Name": "subnet-id", "Values": [GW]}, LIVE]


def inst(iid, *ifcs):
    return {"InstanceId": iid, "NetworkInterfaces": list(ifcs)}


PUBLIC = {"NetworkInterfaceId": "eni-pub", "SubnetId": GW, "Association": {"PublicIp": "198.51.100.9"}}
BARE = {"NetworkInterfaceId": "eni-pub", "SubnetId": GW}
SECOND = {"NetworkInterfaceId": "eni-2", "SubnetId": PRIV, "Attachment": {"AttachmentId": "eni-attach-2"}}


@pytest.mark.parametrize(
    "reservations,expected,lines",
    [
        ([{"Instances": [inst("i-1", PUBLIC, SECOND)]}], ("i-1", "198.51.100.9", SECOND), []),
        ([{"Instances": [inst("i-1", BARE, SECOND)]}], ("i-1", None, SECOND), []),
        ([{"Instances": [inst("i-1", BARE)]}], ("i-1", None, None), []),
        # Several where one is expected: an error naming them, never "none"
        # (a re-deployment would launch one more each time).
        (
            [{"Instances": [inst("i-1", PUBLIC)]}, {"Instances": [inst("i-2", PUBLIC)]}],
            SystemExit,
            [f"  **Error** more than one test instance in {GW}: i-1, i-2; revert this subnet's test config first"],
        ),
        (
            [{"Instances": [inst("i-1", PUBLIC), inst("i-2", BARE, SECOND)]}],
            SystemExit,
            [f"  **Error** more than one test instance in {GW}: i-1, i-2; revert this subnet's test config first"],
        ),
        ([], (None, None, None), [f"  No ec2 with tag Name:brimvale-test-ec2 found in {GW}"]),
    ],
)
def test_test_instance_of_a_subnet(aws, caplog, reservations, expected, lines):
    caplog.set_level(logging.INFO)
    stub = Stubber(aws.ec2)
    stub.add_response("describe_instances", {"Reservations": reservations}, {"Filters": FILTERS})
    with stub:
        if expected is SystemExit:
            with pytest.raises(SystemExit):
                rollprobe.getEc2(aws.ec2, GW)
        else:
            assert rollprobe.getEc2(aws.ec2, GW) == expected
    assert caplog.messages == lines


def test_lookups_follow_every_page(aws):
    """Listings of several pages: every instance of every reservation of every page counts."""
    stub = Stubber(aws.ec2)
    vpc_filters = [FILTERS[0], {"Name": "vpc-id", "Values": ["vpc-1"]}, LIVE]
    page1 = {"Reservations": [{"Instances": [inst("i-1", PUBLIC), inst("i-2", PUBLIC)]}], "NextToken": "t"}
    page2 = {"Reservations": [{"Instances": [inst("i-3", PUBLIC)]}]}
    stub.add_response("describe_instances", page1, {"Filters": vpc_filters})
    stub.add_response("describe_instances", page2, {"Filters": vpc_filters, "NextToken": "t"})
    stub.add_response("describe_instances", page1, {"Filters": FILTERS})
    stub.add_response("describe_instances", page2, {"Filters": FILTERS, "NextToken": "t"})
    with stub:
        assert rollprobe.getAllEc2InVpc(aws.ec2, "vpc-1") == ["i-1", "i-2", "i-3"]
        assert [i["InstanceId"] for i in rollprobe.testInstancesInSubnet(aws.ec2, GW)] == ["i-1", "i-2", "i-3"]
    stub.assert_no_pending_responses()


def test_instances_of_a_vpc_include_stopped(aws, topology, caplog):
    gw = topology.pairs[0][0]
    tag = [{"ResourceType": "instance", "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2"}]}]
    ids = [
        aws.ec2.run_instances(
            ImageId="ami-0a1b2c3d4e5f60718", MinCount=1, MaxCount=1, SubnetId=gw, TagSpecifications=tag
        )["Instances"][0]["InstanceId"]
        for _ in range(3)
    ]
    aws.ec2.stop_instances(InstanceIds=[ids[0]])
    aws.ec2.terminate_instances(InstanceIds=[ids[2]])
    caplog.set_level(logging.INFO)
    assert rollprobe.getAllEc2InVpc(aws.ec2, topology.vpc) == ids[:2]
    assert caplog.messages == [f"  **Alert** More than one ec2 with tag Name:brimvale-test-ec2 found in {topology.vpc}"]
    aws.ec2.terminate_instances(InstanceIds=ids[:2])
    assert rollprobe.getAllEc2InVpc(aws.ec2, topology.vpc) is None


def test_vpc_of_subnet(aws, topology, caplog):
    assert rollprobe.getVpcId(aws.ec2, topology.pairs[0][0]) == topology.vpc
    with pytest.raises(SystemExit) as ended:
        rollprobe.getVpcId(aws.ec2, "subnet-00000000000000000")
    assert ended.value.code == 1
    assert "  **Error** cannot find subnet subnet-00000000000000000" in caplog.messages

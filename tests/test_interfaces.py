"""Second interfaces and elastic IPs."""

import logging

import pytest
from botocore.stub import Stubber
from conftest import make_args

from brimvale_testlibs.bin import rollprobe
from brimvale_testlibs.bin.core.ValueNotFoundException import ValueNotFoundException

NAME_TAG = [{"ResourceType": "instance", "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2"}]}]


def launch(ec2, subnet):
    return ec2.run_instances(
        ImageId="ami-0a1b2c3d4e5f60718",
        MinCount=1,
        MaxCount=1,
        TagSpecifications=NAME_TAG,
        NetworkInterfaces=[{"DeviceIndex": 0, "SubnetId": subnet, "AssociatePublicIpAddress": True}],
    )["Instances"][0]["InstanceId"]


def test_create_and_attach_as_device_1(aws, topology, caplog):
    gw, priv, cidr = topology.pairs[0]
    iid = launch(aws.ec2, gw)
    sg = aws.ec2.create_security_group(GroupName="g", Description="d", VpcId=topology.vpc)["GroupId"]
    caplog.set_level(logging.INFO)
    rollprobe.createNetworkfInterface(aws.ec2, iid, priv, sg, make_args(tag_resource="team,net"))
    ifcs = aws.ec2.describe_instances(InstanceIds=[iid])["Reservations"][0]["Instances"][0]["NetworkInterfaces"]
    second = [i for i in ifcs if i["SubnetId"] == priv][0]
    assert second["Attachment"]["DeviceIndex"] == 1
    eni = aws.ec2.describe_network_interfaces(NetworkInterfaceIds=[second["NetworkInterfaceId"]])["NetworkInterfaces"][
        0
    ]
    assert eni["TagSet"] == [
        {"Key": "Name", "Value": "brimvale-test-ec2-network-interface"},
        {"Key": "team", "Value": "net"},
    ]
    assert [g["GroupId"] for g in eni["Groups"]] == [sg]
    assert caplog.messages == [
        f"- Create network interface in {priv} with {sg}",
        f"- Attach network interface to {iid}",
    ]
    record = {"private_subnet_cidr": cidr}
    rollprobe.lookupInf2PrivateIp(aws.ec2, iid, record)
    assert record["ec2_2nd_private_ip"] == second["PrivateIpAddress"]


def test_failed_creation_ends_the_worker(aws, caplog):
    with pytest.raises(SystemExit) as ended:
        rollprobe.createNetworkfInterface(aws.ec2, "i-1", "subnet-00000000000000000", "sg-1", make_args())
    assert ended.value.code == 1
    assert any(m.startswith("  **Error** Failed to create natwork interface: ") for m in caplog.messages)


def describe(*addresses):
    ifcs = [{"NetworkInterfaceId": f"eni-{i}", "PrivateIpAddress": a} for i, a in enumerate(addresses)]
    return {"Reservations": [{"Instances": [{"InstanceId": "i-1", "NetworkInterfaces": ifcs}]}]}


def test_private_address_inside_the_test_subnet_wins(aws, sleeps):
    stub = Stubber(aws.ec2)
    stub.add_response("describe_instances", describe("10.0.0.5", "10.0.1.20"), {"InstanceIds": ["i-1"]})
    record = {"private_subnet_cidr": "10.0.1.0/24"}
    with stub:
        rollprobe.lookupInf2PrivateIp(aws.ec2, "i-1", record)
    assert record["ec2_2nd_private_ip"] == "10.0.1.20" and sleeps == []


def test_private_address_gives_up_after_six_calls(aws, sleeps, caplog):
    stub = Stubber(aws.ec2)
    for _ in range(6):
        stub.add_response("describe_instances", describe("10.0.0.5"), {"InstanceIds": ["i-1"]})
    record = {"private_subnet_cidr": "10.0.1.0/24"}
    with stub, pytest.raises(ValueNotFoundException, match="secondary interface private IP not fonud"):
        rollprobe.lookupInf2PrivateIp(aws.ec2, "i-1", record)
    stub.assert_no_pending_responses()
    assert sleeps == [2, 2, 2, 2, 2]
    assert caplog.messages.count("  waiting for secondary interface private IP after attaching ...") == 6
    assert "ec2_2nd_private_ip" not in record


def test_absent_ids(aws, caplog, capsys):
    caplog.set_level(logging.INFO)
    with Stubber(aws.ec2):
        rollprobe.deleteAttachment(aws.ec2, None, "subnet-1", make_args())
    rollprobe.deleteNetworkInterface(aws.ec2, None, make_args())
    # Nothing was made, so there is nothing to delete and nothing to report.
    assert caplog.messages == ["- No attachment found"]
    assert "Traceback" not in capsys.readouterr().err


def test_dry_run_detach_makes_no_request(aws, caplog):
    caplog.set_level(logging.INFO)
    with Stubber(aws.ec2) as stub:
        rollprobe.deleteAttachment(aws.ec2, "eni-attach-1", "subnet-1", make_args(dry_run=True))
        rollprobe.deleteNetworkInterface(aws.ec2, "eni-1", make_args(dry_run=True))
        stub.assert_no_pending_responses()
    assert caplog.messages == [
        "- Delete network interface attachment eni-attach-1 in subnet-1",
        "- Delete natwork interface eni-1",
    ]


def attached(attachment):
    ifc = {"NetworkInterfaceId": "eni-2", "SubnetId": "subnet-priv"}
    if attachment:
        ifc["Attachment"] = {"AttachmentId": attachment}
    return {"Reservations": [{"Instances": [{"InstanceId": "i-1", "NetworkInterfaces": [ifc]}]}]}


def test_detach_waits_until_done(aws, sleeps):
    stub = Stubber(aws.ec2)
    stub.add_response("detach_network_interface", {}, {"AttachmentId": "a-1"})
    stub.add_response("describe_instances", attached("a-1"))
    stub.add_response("describe_instances", attached(None))
    with stub:
        rollprobe.deleteAttachment(aws.ec2, "a-1", "subnet-gw", make_args())
    stub.assert_no_pending_responses()
    assert sleeps == [2]


def test_refused_detach_is_not_waited_for(aws, sleeps, caplog):
    stub = Stubber(aws.ec2)
    stub.add_client_error("detach_network_interface", "InvalidAttachmentID.NotFound")
    with stub:
        rollprobe.deleteAttachment(aws.ec2, "a-1", "subnet-gw", make_args())
    assert sleeps == [] and any(
        m.startswith("  **Error** Failed to detach natwork interface: ") for m in caplog.messages
    )


def test_detach_wait_is_bounded(aws, sleeps, caplog):
    stub = Stubber(aws.ec2)
    stub.add_response("detach_network_interface", {}, {"AttachmentId": "a-1"})
    for _ in range(151):
        stub.add_response("describe_instances", attached("a-1"))
    with stub:
        rollprobe.deleteAttachment(aws.ec2, "a-1", "subnet-gw", make_args())
    assert sum(sleeps) == 300
    assert "  **Error** attachment a-1 in subnet-gw still attached after 5 minutes" in caplog.messages


def test_leftover_interfaces_are_only_available_tagged_ones(aws, topology):
    gw, priv, _ = topology.pairs[0]
    tag = [
        {"ResourceType": "network-interface", "Tags": [{"Key": "Name", "Value": "brimvale-test-ec2-network-interface"}]}
    ]
    free = aws.ec2.create_network_interface(SubnetId=priv, TagSpecifications=tag)["NetworkInterface"]
    used = aws.ec2.create_network_interface(SubnetId=priv, TagSpecifications=tag)["NetworkInterface"]
    aws.ec2.create_network_interface(SubnetId=priv)  # not a test interface
    aws.ec2.attach_network_interface(
        DeviceIndex=1, InstanceId=launch(aws.ec2, gw), NetworkInterfaceId=used["NetworkInterfaceId"]
    )
    listed = rollprobe.getNetworkInterfaces(aws.ec2, topology.vpc)
    assert [i["NetworkInterfaceId"] for i in listed] == [free["NetworkInterfaceId"]]


def test_elastic_ip_cycle(aws, topology, caplog):
    gw = topology.pairs[0][0]
    iid = launch(aws.ec2, gw)
    eni = aws.ec2.describe_instances(InstanceIds=[iid])["Reservations"][0]["Instances"][0]["NetworkInterfaces"][0]
    caplog.set_level(logging.INFO)
    rollprobe.associateEIP(aws.ec2, eni["NetworkInterfaceId"], make_args())
    address = aws.ec2.describe_addresses()["Addresses"][0]
    assert address["NetworkInterfaceId"] == eni["NetworkInterfaceId"]
    assert address["Tags"] == [{"Key": "Name", "Value": "brimvale-test-ec2-eip"}]
    alloc = rollprobe.getEipAllocationId(aws.ec2, iid, address["PublicIp"])
    assert alloc == address["AllocationId"]
    assert f"  allocated EIP {address['PublicIp']} {alloc}" in caplog.messages
    rollprobe.releaseEIP(aws.ec2, address["PublicIp"], alloc, iid, make_args(dry_run=True))
    assert len(aws.ec2.describe_addresses()["Addresses"]) == 1
    aws.ec2.disassociate_address(AssociationId=address["AssociationId"])
    rollprobe.releaseEIP(aws.ec2, address["PublicIp"], alloc, iid, make_args())
    assert aws.ec2.describe_addresses()["Addresses"] == []
    assert f"- Delete EIP {address['PublicIp']} {alloc} for {iid}" in caplog.messages


def test_emulated_interfaces_take_free_addresses(aws):
    """The emulator gives an interface made without an address one that EC2
    could: not the subnet's network, router, reserved or broadcast address,
    nor an address another interface or an instance holds; a deleted
    interface's address is free again."""
    vpc = aws.ec2.create_vpc(CidrBlock="10.9.0.0/16")["Vpc"]["VpcId"]
    subnet = aws.ec2.create_subnet(VpcId=vpc, CidrBlock="10.9.1.0/28")["Subnet"]["SubnetId"]
    instance = aws.ec2.describe_instances(InstanceIds=[launch(aws.ec2, subnet)])["Reservations"][0]["Instances"][0]
    enis = [aws.ec2.create_network_interface(SubnetId=subnet)["NetworkInterface"] for _ in range(10)]
    addresses = [instance["PrivateIpAddress"]] + [e["PrivateIpAddress"] for e in enis]
    assert sorted(addresses, key=lambda a: int(a.split(".")[-1])) == [f"10.9.1.{n}" for n in range(4, 15)]
    aws.ec2.delete_network_interface(NetworkInterfaceId=enis[3]["NetworkInterfaceId"])
    again = aws.ec2.create_network_interface(SubnetId=subnet)["NetworkInterface"]["PrivateIpAddress"]
    assert again == enis[3]["PrivateIpAddress"]

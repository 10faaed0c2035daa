"""
The ``rollprobe`` command and its operations: one short-lived test
instance per test record, launched in parallel, and their removal.
Operations take boto3 clients first and the parsed options last.

"""

from __future__ import annotations
import typing

__all__: list[str] = [
    "InvalidParameterValueException",
    "METADATA_TIMEOUT",
    "PUBLIC_IP_TIMEOUT",
    "PUBLIC_IP_URL",
    "THROTTLE_GIVE_UP",
    "associateEIP",
    "createEc2",
    "createEc2Role",
    "createEc2WithRetry",
    "createInstanceProfile",
    "createKeyPair",
    "createNetworkfInterface",
    "createPrivateInfSG",
    "createS3Policy",
    "createSG",
    "deduceTag",
    "deleteAttachment",
    "deleteEc2",
    "deleteInstanceProfile",
    "deleteKeyPair",
    "deleteNetworkInterface",
    "deleteSG",
    "deployEc2s",
    "getAMI",
    "getAMIByName",
    "getAllEc2InVpc",
    "getEc2",
    "getEipAllocationId",
    "getNetworkInterfaces",
    "getPemKeyFromSSM",
    "getS3TestResults",
    "getSgId",
    "getVpcId",
    "get_aws_metadata",
    "lookupInf2PrivateIp",
    "main",
    "populateTags",
    "releaseEIP",
    "removeSharedResources",
    "renderUserData",
    "start_aws_session",
    "terminateEc2s",
    "testInstancesBySubnet",
    "testInstancesInSubnet",
    "user_data_tmp",
]

class InvalidParameterValueException(Exception):
    """
    The launch was refused for a parameter expected to become valid soon.
    """

def associateEIP(ec2_client: typing.Any, networkInfId: typing.Any, args: typing.Any, vpc_id: typing.Any = None) -> None:
    """
    Allocates an elastic IP (tagged with the tool's name and, when given,
    with ``vpc_id``) and associates it with the interface
    ``networkInfId``. Nothing is requested with ``args.dry_run``. Returns None.
    """

def createEc2(
    ec2_client: typing.Any,
    iam_client: typing.Any,
    ami: typing.Any,
    gw_subnet_id: typing.Any,
    private_subnet_id: typing.Any,
    spoke_gw_ip: typing.Any,
    args: typing.Any,
    test_config: typing.Any = None,
    sg_id: typing.Any = None,
    sg_id_private_inf: typing.Any = None,
    instance_profile: typing.Any = None,
    key_name: typing.Any = None,
    s3_client: typing.Any = None,
    vpc_id: typing.Any = None,
) -> None:
    """
    Brings one record's test instance up, or completes it when it exists.

    Launches the image ``ami`` in the gateway subnet ``gw_subnet_id``
    (primary interface with a public address, group ``sg_id``, key
    ``key_name``, instance profile ``instance_profile`` or the one of
    ``args.ec2_role``, boot script for ``spoke_gw_ip`` when
    ``args.s3_bucket`` is given, after removing the record's old results
    through ``s3_client``), waits until it is healthy, records its public
    address in ``test_config`` as ``ec2_ip`` (with ``args.eip``, an elastic
    IP tagged with ``vpc_id``), attaches a second interface in
    ``private_subnet_id`` with group ``sg_id_private_inf`` and records its
    address as ``ec2_2nd_private_ip``. Each failed step is one error line;
    the record is then incomplete. Returns None.
    """

def createEc2Role(iam_client: typing.Any, policy_arn: typing.Any) -> None:
    """
    Creates the test instances' role and attaches ``policy_arn`` to it; a
    role whose policy cannot be attached is removed again and the run ends
    with status 1. An existing role is taken as set up. Returns None.
    """

def createEc2WithRetry(ec2_client: typing.Any, data: typing.Any) -> typing.Any:
    """
    Sends the launch request ``data`` (``run_instances`` keywords) and
    returns the new instance's id, or None after a refusal (logged). A
    refusal because the instance profile is not visible yet is retried six
    times, 10 s apart.
    """

def createInstanceProfile(iam_client: typing.Any) -> None:
    """
    Creates the test instances' instance profile and adds the role to it;
    a profile whose role cannot be added is removed again and the run ends
    with status 1. Returns None.
    """

def createKeyPair(ec2_client: typing.Any, s3_client: typing.Any, vpcId: typing.Any, args: typing.Any) -> str:
    """
    Creates the VPC's key pair unless it exists and returns its name.

    The private key is written to ``<args.backup_folder>/<name>.pem``
    (mode 0600, atomically) and uploaded to ``args.s3_bucket`` when given.
    A refused creation ends the run with status 1.
    """

def createNetworkfInterface(
    ec2_client: typing.Any, instance_id: typing.Any, subnet_id: typing.Any, sg_id: typing.Any, args: typing.Any
) -> None:
    """
    Creates the second interface in the test subnet ``subnet_id`` with the
    group ``sg_id`` and attaches it to ``instance_id`` as device 1. A
    refused creation is one error line and status 1. Returns None.
    """

def createPrivateInfSG(ec2_client: typing.Any, vpc_id: typing.Any, args: typing.Any) -> typing.Any:
    """
    Returns the id of the second interfaces' security group of ``vpc_id``
    (no ingress rule), creating it when missing.
    """

def createS3Policy(iam_client: typing.Any, args: typing.Any) -> typing.Any:
    """
    Creates the test instances' policy (uploads to ``args.s3_bucket``), or
    finds it when it exists, and returns its ARN. A refusal other than
    "exists" ends the run with the service's message.
    """

def createSG(ec2_client: typing.Any, vpc_id: typing.Any, args: typing.Any) -> typing.Any:
    """
    Returns the id of the test instances' security group of ``vpc_id``,
    creating it when missing with one ingress rule: SSH from the workflow
    engine's public address (/32). A group whose rule is refused is removed
    again and the run ends with status 1.
    """

def deduceTag(args: typing.Any, test_config: typing.Any = None) -> str:
    """
    The name of a record's result objects: ``<gateway>-<args.tag>``.

    The gateway is the record's ``gw_name`` (spoke records) or its
    ``nat_gw_id``; without a record, ``args`` names it. Returns a str.
    """

def deleteAttachment(
    ec2_client: typing.Any, attachment_id: typing.Any, subnet_id: typing.Any, args: typing.Any
) -> None:
    """
    Detaches the second interface's attachment ``attachment_id`` and waits
    (at most 5 minutes) until the subnet's test instance has it no more.
    A refused detach is one error line and status 1. Returns None.
    """

def deleteEc2(ec2_client: typing.Any, iam_client: typing.Any, subnet_id: typing.Any, args: typing.Any) -> None:
    """
    Removes every live test instance of the gateway subnet ``subnet_id``:
    its second interface, the instance (waiting until it is terminated)
    and, with ``args.eip``, its elastic IP. Returns None.
    """

def deleteInstanceProfile(iam_client: typing.Any) -> None:
    """
    Removes the instance profile, then the policy and the role the tool
    made. A failed removal is one error line and status 1; an absent entity
    is no failure. Returns None.
    """

def deleteKeyPair(ec2_client: typing.Any, keyname: typing.Any, args: typing.Any) -> None:
    """
    Deletes the key pair ``keyname`` when it exists (not with
    ``args.dry_run``). Returns None.
    """

def deleteNetworkInterface(ec2_client: typing.Any, network_interface_id: typing.Any, args: typing.Any) -> None:
    """
    Deletes the interface ``network_interface_id`` (nothing for None, not
    with ``args.dry_run``); a refusal is one error line and status 1.
    Returns None.
    """

def deleteSG(ec2_client: typing.Any, sgId: typing.Any, args: typing.Any) -> None:
    """
    Deletes the security group ``sgId`` (not with ``args.dry_run``); a
    refusal is one error line and status 1. Returns None.
    """

def deployEc2s(
    ec2_client: typing.Any, s3_client: typing.Any, iam_client: typing.Any, ami: typing.Any, args: typing.Any
) -> None:
    """
    Deploys a test instance for every record of ``args.test_config`` that
    has a test subnet, in parallel.

    Sets up what the VPC's instances share (security groups, key pair
    unless ``args.key_name``, the IAM identity with ``args.ec2_role``
    "default"), runs one worker per record through ``createEc2`` with the
    image ``ami``, then writes the records with their addresses to
    ``args.output_test_config``. A record left incomplete makes the exit
    status 1. Returns None.
    """

def getAMI(ssm_client: typing.Any, args: typing.Any) -> typing.Any:
    """
    Returns the image id of the latest image whose public SSM parameter
    name ends with ``args.image``; ends the run with status 1 when no
    parameter matches.
    """

def getAMIByName(ec2_client: typing.Any, args: typing.Any) -> typing.Any:
    """
    Looks up the public image named ``args.image`` and returns its image id;
    ends the run with status 1 when there is none.
    """

def getAllEc2InVpc(ec2_client: typing.Any, vpc_id: typing.Any) -> typing.Any:
    """
    Returns the ids of the live test instances of ``vpc_id`` as a list, or
    None when there are none or the listing failed (logged).
    """

def getEc2(ec2_client: typing.Any, subnet_id: typing.Any) -> tuple:
    """
    Finds the live test instance of the gateway subnet ``subnet_id``.

    Returns ``(instance_id, public_ip, second_interface)``: the public
    address of its interface in the subnet and the description of its
    other interface, each None when absent; ``(None, None, None)`` when the
    subnet has no test instance.
    """

def getEipAllocationId(ec2_client: typing.Any, insId: typing.Any, public_ip: typing.Any) -> typing.Any:
    """
    Returns the allocation id of the elastic IP ``public_ip`` of the
    instance ``insId``; raises when no elastic IP holds that address.
    """

def getNetworkInterfaces(ec2_client: typing.Any, vpc_id: typing.Any) -> typing.Any:
    """
    Returns the descriptions of the tool's unattached interfaces in
    ``vpc_id`` as a list.
    """

def getPemKeyFromSSM(ssm_client: typing.Any, pemkey: typing.Any, args: typing.Any) -> None:
    """
    Downloads the private key stored in the SSM parameter ``pemkey``
    (decrypted) and writes it to ``args.key_name`` with mode 0600 from the
    first byte on. Returns None.
    """

def getS3TestResults(s3_client: typing.Any, args: typing.Any) -> typing.Any:
    """
    Fetches and logs the log and result objects of every tested record of
    ``args.test_config`` (or of the one record ``args`` names) from
    ``args.s3_bucket``. Returns 0 when every tested record passed, 1 when
    one failed, lacks a result, or no record was tested.
    """

def getSgId(ec2_client: typing.Any, vpc_id: typing.Any, sg_name: typing.Any) -> typing.Any:
    """
    Returns the id of the security group ``sg_name`` of ``vpc_id``, or None
    when there is none. A refused lookup raises (it is no absent group).
    """

def getVpcId(ec2_client: typing.Any, subnet_id: typing.Any) -> typing.Any:
    """
    Returns the VPC id of ``subnet_id``; an unknown subnet ends the run
    with status 1, any other error raises.
    """

def get_aws_metadata() -> typing.Any:
    """
    Reads the workflow engine's own account from the instance metadata.

    Asks the metadata service (IMDSv2 token first, ``METADATA_TIMEOUT``
    seconds per request) for the instance identity document and returns it
    as a dict. Ends the run with status 1 when there is none.
    """

def lookupInf2PrivateIp(ec2_client: typing.Any, insId: typing.Any, test_config: typing.Any) -> None:
    """
    Waits (six tries, 2 s apart) for the instance's interface in the
    record's test subnet and stores its private address in the record
    ``test_config`` as ``ec2_2nd_private_ip``. Raises
    ValueNotFoundException when it never appears.
    """

def main() -> None:
    """
    The ``rollprobe`` command: parses ``sys.argv``, deploys (or with
    ``--revert`` removes) the test instances of a test config, and ends the
    process with the run's exit status.
    """

def populateTags(data: typing.Any, rt_tags: typing.Any) -> None:
    """
    Appends ``{"Key": k, "Value": v}`` to the list ``data`` for every
    ``[k, v]`` pair of ``rt_tags`` (the ``--tag_resource`` option). Returns None.
    """

def releaseEIP(
    ec2_client: typing.Any, eip: typing.Any, eipAllocIp: typing.Any, insId: typing.Any, args: typing.Any
) -> None:
    """
    Releases the elastic IP with allocation id ``eipAllocIp`` (not with
    ``args.dry_run``). Returns None.
    """

def removeSharedResources(ec2_client: typing.Any, vpc_id: typing.Any, args: typing.Any) -> None:
    """
    Removes the shared resources of ``vpc_id``: the two security groups
    (only when their inbound rules are the shape the tool makes; someone
    else's group of that name is kept with an alert line), stray
    interfaces and elastic IPs of the tool, and the key pair. Returns None.
    """

def renderUserData(spoke_gw_ip: typing.Any, s3_bucket: typing.Any, tag: str) -> str:
    """
    Returns the boot script for one test instance: ``user_data_tmp`` with
    the gateway address, the results bucket and the result tag filled in.
    Raises ValueError for a value that is not an IPv4 address, an S3
    bucket name or a name of ``[A-Za-z0-9._:-]``.
    """

def start_aws_session(assume_role: typing.Any, profile: typing.Any = None) -> typing.Any:
    """
    Opens the deployment session.

    Assumes ``assume_role`` (a role ARN) with the credentials of ``profile``
    (the default chain when None) and returns a boto3 session holding the
    temporary credentials; when the role cannot be assumed, logs the error
    and returns the text "The AWS new session attempt has failed".
    """

def terminateEc2s(ec2_client: typing.Any, iam_client: typing.Any, args: typing.Any) -> None:
    """
    Reverts a deployment of ``args.test_config``: removes every record's
    test instances in parallel (``deleteEc2``), then, when no test instance
    remains in the VPC, the shared security groups, stray interfaces and
    elastic IPs, and the key pair. What remains is named and makes the exit
    status 1. Returns None.
    """

def testInstancesBySubnet(ec2_client: typing.Any, vpc_id: typing.Any) -> dict:
    """
    The live (pending, running, stopping, stopped) test instances of
    ``vpc_id``, every page of one listing, as ``{subnet id: [instance
    description]}``.
    """

def testInstancesInSubnet(ec2_client: typing.Any, subnet_id: typing.Any) -> list:
    """
    Returns the descriptions of every live (pending, running, stopping,
    stopped) test instance of the subnet ``subnet_id`` as a list.
    """

METADATA_TIMEOUT: int = 3
PUBLIC_IP_TIMEOUT: int = 10
PUBLIC_IP_URL: str = "https://api.ipify.org/"
THROTTLE_GIVE_UP: int = 600
user_data_tmp: str = '#!/bin/bash -x\npython3.9 -m venv /home/ec2-user/python3-env\nsource /home/ec2-user/python3-env/bin/activate; pip3 install brimvale-testlibs\ncd /home/ec2-user/python3-env/lib/python3.9/site-packages/brimvale_testlibs/test_ping\ncat << EOF > ./config.json\n{"ping": "www.example.com", "traceroute": "example.com", "spoke_gw": "{{spoke_gw_ip}}"}\nEOF\nsource /home/ec2-user/python3-env/bin/activate; python3 -m unittest -v tests.py 2> /tmp/log.txt\naws s3 cp /tmp/result.txt s3://{{s3_bucket}}/result-{{tag}}.txt\naws s3 cp /tmp/log.txt s3://{{s3_bucket}}/log-{{tag}}.txt\n'

// Bindings of the deployment tool; the operations live one concern per file.
#include "rollprobe/rollprobe.hpp"

using namespace glue;
using namespace rollprobe;

namespace {
bool initialised = false;

const char *kUserData =
    "#!/bin/bash -x\n"
    "python3.9 -m venv /home/ec2-user/python3-env\n"
    "source /home/ec2-user/python3-env/bin/activate; pip3 install brimvale-testlibs\n"
    "cd /home/ec2-user/python3-env/lib/python3.9/site-packages/brimvale_testlibs/test_ping\n"
    "cat << EOF > ./config.json\n"
    "{\"ping\": \"www.example.com\", \"traceroute\": \"example.com\", \"spoke_gw\": \"{{spoke_gw_ip}}\"}\n"
    "EOF\n"
    "source /home/ec2-user/python3-env/bin/activate; python3 -m unittest -v tests.py 2> /tmp/log.txt\n"
    "aws s3 cp /tmp/result.txt s3://{{s3_bucket}}/result-{{tag}}.txt\n"
    "aws s3 cp /tmp/log.txt s3://{{s3_bucket}}/log-{{tag}}.txt\n";
}  // namespace

PYBIND11_MODULE(rollprobe, m) {
    moduleStartup(initialised, modules::kRollprobe);
    m.doc() = R"pbdoc(
        The ``rollprobe`` command and its operations: one short-lived test
        instance per test record, launched in parallel, and their removal.
        Operations take boto3 clients first and the parsed options last.
    )pbdoc";
    py::dict ns;
    ns["__module__"] = modules::kRollprobe;
    ns["__doc__"] = "The launch was refused for a parameter expected to become valid soon.";
    m.attr("InvalidParameterValueException") =
        importModule("builtins")
            .attr("type")("InvalidParameterValueException", py::make_tuple(importModule("builtins").attr("Exception")),
                          ns);
    m.attr("user_data_tmp") = kUserData;
    // Constants an importing caller may replace before calling main().
    m.attr("PUBLIC_IP_URL") = "https://api.ipify.org/";
    m.attr("PUBLIC_IP_TIMEOUT") = 10;
    m.attr("METADATA_TIMEOUT") = 3;
    // Seconds one request may stay throttled before it fails.
    m.attr("THROTTLE_GIVE_UP") = 600;

    auto none = py::none();
    m.def("start_aws_session", &start_aws_session, "assume_role"_a, "profile"_a = none, R"pbdoc(
        Opens the deployment session.

        Assumes ``assume_role`` (a role ARN) with the credentials of ``profile``
        (the default chain when None) and returns a boto3 session holding the
        temporary credentials; when the role cannot be assumed, logs the error
        and returns the text "The AWS new session attempt has failed".
    )pbdoc");
    m.def("get_aws_metadata", &get_aws_metadata, R"pbdoc(
        Reads the workflow engine's own account from the instance metadata.

        Asks the metadata service (IMDSv2 token first, ``METADATA_TIMEOUT``
        seconds per request) for the instance identity document and returns it
        as a dict. Ends the run with status 1 when there is none.
    )pbdoc");
    m.def("getPemKeyFromSSM", &getPemKeyFromSSM, "ssm_client"_a, "pemkey"_a, "args"_a, R"pbdoc(
        Downloads the private key stored in the SSM parameter ``pemkey``
        (decrypted) and writes it to ``args.key_name`` with mode 0600 from the
        first byte on. Returns None.
    )pbdoc");

    m.def("populateTags", &populateTags, "data"_a, "rt_tags"_a, R"pbdoc(
        Appends ``{"Key": k, "Value": v}`` to the list ``data`` for every
        ``[k, v]`` pair of ``rt_tags`` (the ``--tag_resource`` option). Returns None.
    )pbdoc");
    m.def("deduceTag", &deduceTag, "args"_a, "test_config"_a = none, R"pbdoc(
        The name of a record's result objects: ``<gateway>-<args.tag>``.

        The gateway is the record's ``gw_name`` (spoke records) or its
        ``nat_gw_id``; without a record, ``args`` names it. Returns a str.
    )pbdoc");
    m.def("getAMIByName", &getAMIByName, "ec2_client"_a, "args"_a, R"pbdoc(
        Looks up the public image named ``args.image`` and returns its image id;
        ends the run with status 1 when there is none.
    )pbdoc");
    m.def("getAMI", &getAMI, "ssm_client"_a, "args"_a, R"pbdoc(
        Returns the image id of the latest image whose public SSM parameter
        name ends with ``args.image``; ends the run with status 1 when no
        parameter matches.
    )pbdoc");

    m.def("createS3Policy", &createS3Policy, "iam_client"_a, "args"_a, R"pbdoc(
        Creates the test instances' policy (uploads to ``args.s3_bucket``), or
        finds it when it exists, and returns its ARN. A refusal other than
        "exists" ends the run with the service's message.
    )pbdoc");
    m.def("createEc2Role", &createEc2Role, "iam_client"_a, "policy_arn"_a, R"pbdoc(
        Creates the test instances' role and attaches ``policy_arn`` to it; a
        role whose policy cannot be attached is removed again and the run ends
        with status 1. An existing role is taken as set up. Returns None.
    )pbdoc");
    m.def("createInstanceProfile", &createInstanceProfile, "iam_client"_a, R"pbdoc(
        Creates the test instances' instance profile and adds the role to it;
        a profile whose role cannot be added is removed again and the run ends
        with status 1. Returns None.
    )pbdoc");
    m.def("deleteInstanceProfile", &deleteInstanceProfile, "iam_client"_a, R"pbdoc(
        Removes the instance profile, then the policy and the role the tool
        made. A failed removal is one error line and status 1; an absent entity
        is no failure. Returns None.
    )pbdoc");

    m.def("getSgId", &getSgId, "ec2_client"_a, "vpc_id"_a, "sg_name"_a, R"pbdoc(
        Returns the id of the security group ``sg_name`` of ``vpc_id``, or None
        when there is none. A refused lookup raises (it is no absent group).
    )pbdoc");
    m.def("createSG", &createSG, "ec2_client"_a, "vpc_id"_a, "args"_a, R"pbdoc(
        Returns the id of the test instances' security group of ``vpc_id``,
        creating it when missing with one ingress rule: SSH from the workflow
        engine's public address (/32). A group whose rule is refused is removed
        again and the run ends with status 1.
    )pbdoc");
    m.def("createPrivateInfSG", &createPrivateInfSG, "ec2_client"_a, "vpc_id"_a, "args"_a, R"pbdoc(
        Returns the id of the second interfaces' security group of ``vpc_id``
        (no ingress rule), creating it when missing.
    )pbdoc");
    m.def("deleteSG", &deleteSG, "ec2_client"_a, "sgId"_a, "args"_a, R"pbdoc(
        Deletes the security group ``sgId`` (not with ``args.dry_run``); a
        refusal is one error line and status 1. Returns None.
    )pbdoc");

    m.def("createKeyPair", &createKeyPair, "ec2_client"_a, "s3_client"_a, "vpcId"_a, "args"_a, R"pbdoc(
        Creates the VPC's key pair unless it exists and returns its name.

        The private key is written to ``<args.backup_folder>/<name>.pem``
        (mode 0600, atomically) and uploaded to ``args.s3_bucket`` when given.
        A refused creation ends the run with status 1.
    )pbdoc");
    m.def("deleteKeyPair", &deleteKeyPair, "ec2_client"_a, "keyname"_a, "args"_a, R"pbdoc(
        Deletes the key pair ``keyname`` when it exists (not with
        ``args.dry_run``). Returns None.
    )pbdoc");

    m.def("getEc2", &getEc2, "ec2_client"_a, "subnet_id"_a, R"pbdoc(
        Finds the live test instance of the gateway subnet ``subnet_id``.

        Returns ``(instance_id, public_ip, second_interface)``: the public
        address of its interface in the subnet and the description of its
        other interface, each None when absent; ``(None, None, None)`` when the
        subnet has no test instance.
    )pbdoc");
    m.def("testInstancesInSubnet", &testInstancesInSubnet, "ec2_client"_a, "subnet_id"_a, R"pbdoc(
        Returns the descriptions of every live (pending, running, stopping,
        stopped) test instance of the subnet ``subnet_id`` as a list.
    )pbdoc");
    m.def("getAllEc2InVpc", &getAllEc2InVpc, "ec2_client"_a, "vpc_id"_a, R"pbdoc(
        Returns the ids of the live test instances of ``vpc_id`` as a list, or
        None when there are none or the listing failed (logged).
    )pbdoc");
    m.def("getVpcId", &getVpcId, "ec2_client"_a, "subnet_id"_a, R"pbdoc(
        Returns the VPC id of ``subnet_id``; an unknown subnet ends the run
        with status 1, any other error raises.
    )pbdoc");

    m.def("createNetworkfInterface", &createNetworkfInterface, "ec2_client"_a, "instance_id"_a, "subnet_id"_a,
          "sg_id"_a, "args"_a, R"pbdoc(
        Creates the second interface in the test subnet ``subnet_id`` with the
        group ``sg_id`` and attaches it to ``instance_id`` as device 1. A
        refused creation is one error line and status 1. Returns None.
    )pbdoc");
    m.def("lookupInf2PrivateIp", &lookupInf2PrivateIp, "ec2_client"_a, "insId"_a, "test_config"_a, R"pbdoc(
        Waits (six tries, 2 s apart) for the instance's interface in the
        record's test subnet and stores its private address in the record
        ``test_config`` as ``ec2_2nd_private_ip``. Raises
        ValueNotFoundException when it never appears.
    )pbdoc");
    m.def("deleteAttachment", &deleteAttachment, "ec2_client"_a, "attachment_id"_a, "subnet_id"_a, "args"_a, R"pbdoc(
        Detaches the second interface's attachment ``attachment_id`` and waits
        (at most 5 minutes) until the subnet's test instance has it no more.
        A refused detach is one error line and status 1. Returns None.
    )pbdoc");
    m.def("deleteNetworkInterface", &deleteNetworkInterface, "ec2_client"_a, "network_interface_id"_a, "args"_a,
          R"pbdoc(
        Deletes the interface ``network_interface_id`` (nothing for None, not
        with ``args.dry_run``); a refusal is one error line and status 1.
        Returns None.
    )pbdoc");
    m.def("getNetworkInterfaces", &getNetworkInterfaces, "ec2_client"_a, "vpc_id"_a, R"pbdoc(
        Returns the descriptions of the tool's unattached interfaces in
        ``vpc_id`` as a list.
    )pbdoc");
    m.def("associateEIP", &associateEIP, "ec2_client"_a, "networkInfId"_a, "args"_a, "vpc_id"_a = none, R"pbdoc(
        Allocates an elastic IP (tagged with the tool's name and, when given,
        with ``vpc_id``) and associates it with the interface
        ``networkInfId``. Nothing is requested with ``args.dry_run``. Returns None.
    )pbdoc");
    m.def("getEipAllocationId", &getEipAllocationId, "ec2_client"_a, "insId"_a, "public_ip"_a, R"pbdoc(
        Returns the allocation id of the elastic IP ``public_ip`` of the
        instance ``insId``; raises when no elastic IP holds that address.
    )pbdoc");
    m.def("releaseEIP", &releaseEIP, "ec2_client"_a, "eip"_a, "eipAllocIp"_a, "insId"_a, "args"_a, R"pbdoc(
        Releases the elastic IP with allocation id ``eipAllocIp`` (not with
        ``args.dry_run``). Returns None.
    )pbdoc");

    m.def("createEc2", &createEc2, "ec2_client"_a, "iam_client"_a, "ami"_a, "gw_subnet_id"_a, "private_subnet_id"_a,
          "spoke_gw_ip"_a, "args"_a, "test_config"_a = none, "sg_id"_a = none, "sg_id_private_inf"_a = none,
          "instance_profile"_a = none, "key_name"_a = none, "s3_client"_a = none, "vpc_id"_a = none, R"pbdoc(
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
    )pbdoc");
    m.def("renderUserData", &renderUserData, "spoke_gw_ip"_a, "s3_bucket"_a, "tag"_a, R"pbdoc(
        Returns the boot script for one test instance: ``user_data_tmp`` with
        the gateway address, the results bucket and the result tag filled in.
        Raises ValueError for a value that is not an IPv4 address, an S3
        bucket name or a name of ``[A-Za-z0-9._:-]``.
    )pbdoc");
    m.def("createEc2WithRetry", &createEc2WithRetry, "ec2_client"_a, "data"_a, R"pbdoc(
        Sends the launch request ``data`` (``run_instances`` keywords) and
        returns the new instance's id, or None after a refusal (logged). A
        refusal because the instance profile is not visible yet is retried six
        times, 10 s apart.
    )pbdoc");

    m.def("deployEc2s", &deployEc2s, "ec2_client"_a, "s3_client"_a, "iam_client"_a, "ami"_a, "args"_a, R"pbdoc(
        Deploys a test instance for every record of ``args.test_config`` that
        has a test subnet, in parallel.

        Sets up what the VPC's instances share (security groups, key pair
        unless ``args.key_name``, the IAM identity with ``args.ec2_role``
        "default"), runs one worker per record through ``createEc2`` with the
        image ``ami``, then writes the records with their addresses to
        ``args.output_test_config``. A record left incomplete makes the exit
        status 1. Returns None.
    )pbdoc");
    m.def("terminateEc2s", &terminateEc2s, "ec2_client"_a, "iam_client"_a, "args"_a, R"pbdoc(
        Reverts a deployment of ``args.test_config``: removes every record's
        test instances in parallel (``deleteEc2``), then, when no test instance
        remains in the VPC, the shared security groups, stray interfaces and
        elastic IPs, and the key pair. What remains is named and makes the exit
        status 1. Returns None.
    )pbdoc");
    m.def("testInstancesBySubnet", &testInstancesBySubnet, "ec2_client"_a, "vpc_id"_a, R"pbdoc(
        The live (pending, running, stopping, stopped) test instances of
        ``vpc_id``, every page of one listing, as ``{subnet id: [instance
        description]}``.
    )pbdoc");
    m.def("removeSharedResources", &removeSharedResources, "ec2_client"_a, "vpc_id"_a, "args"_a, R"pbdoc(
        Removes the shared resources of ``vpc_id``: the two security groups
        (only when their inbound rules are the shape the tool makes; someone
        else's group of that name is kept with an alert line), stray
        interfaces and elastic IPs of the tool, and the key pair. Returns None.
    )pbdoc");
    m.def("deleteEc2", &deleteEc2, "ec2_client"_a, "iam_client"_a, "subnet_id"_a, "args"_a, R"pbdoc(
        Removes every live test instance of the gateway subnet ``subnet_id``:
        its second interface, the instance (waiting until it is terminated)
        and, with ``args.eip``, its elastic IP. Returns None.
    )pbdoc");

    m.def("getS3TestResults", &getS3TestResults, "s3_client"_a, "args"_a, R"pbdoc(
        Fetches and logs the log and result objects of every tested record of
        ``args.test_config`` (or of the one record ``args`` names) from
        ``args.s3_bucket``. Returns 0 when every tested record passed, 1 when
        one failed, lacks a result, or no record was tested.
    )pbdoc");
    m.def("main", &rollprobe::main, R"pbdoc(
        The ``rollprobe`` command: parses ``sys.argv``, deploys (or with
        ``--revert`` removes) the test instances of a test config, and ends the
        process with the run's exit status.
    )pbdoc");
}

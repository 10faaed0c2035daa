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
    moduleStartup(initialised, kModule);
    py::dict ns;
    ns["__module__"] = kModule;
    ns["__doc__"] = "The launch was refused for a parameter expected to become valid soon.";
    m.attr("InvalidParameterValueException") =
        imp("builtins").attr("type")("InvalidParameterValueException", py::make_tuple(imp("builtins").attr("Exception")), ns);
    m.attr("user_data_tmp") = kUserData;
    // Constants an importing caller may replace before calling main().
    m.attr("PUBLIC_IP_URL") = "https://api.ipify.org/";
    m.attr("PUBLIC_IP_TIMEOUT") = 10;
    m.attr("METADATA_TIMEOUT") = 3;
    // Seconds one request may stay throttled before it fails.
    m.attr("THROTTLE_GIVE_UP") = 600;

    auto none = py::none();
    m.def("start_aws_session", &start_aws_session, "assume_role"_a, "profile"_a = none);
    m.def("get_aws_metadata", &get_aws_metadata);
    m.def("getPemKeyFromSSM", &getPemKeyFromSSM, "ssm_client"_a, "pemkey"_a, "args"_a);

    m.def("populateTags", &populateTags, "data"_a, "rt_tags"_a);
    m.def("deduceTag", &deduceTag, "args"_a, "test_config"_a = none);
    m.def("getAMIByName", &getAMIByName, "ec2_client"_a, "args"_a);
    m.def("getAMI", &getAMI, "ssm_client"_a, "args"_a);

    m.def("createS3Policy", &createS3Policy, "iam_client"_a, "args"_a);
    m.def("createEc2Role", &createEc2Role, "iam_client"_a, "policy_arn"_a);
    m.def("createInstanceProfile", &createInstanceProfile, "iam_client"_a);
    m.def("deleteInstanceProfile", &deleteInstanceProfile, "iam_client"_a);

    m.def("getSgId", &getSgId, "ec2_client"_a, "vpc_id"_a, "sg_name"_a);
    m.def("createSG", &createSG, "ec2_client"_a, "vpc_id"_a, "args"_a);
    m.def("createPrivateInfSG", &createPrivateInfSG, "ec2_client"_a, "vpc_id"_a, "args"_a);
    m.def("deleteSG", &deleteSG, "ec2_client"_a, "sgId"_a, "args"_a);

    m.def("createKeyPair", &createKeyPair, "ec2_client"_a, "s3_client"_a, "vpcId"_a, "args"_a);
    m.def("deleteKeyPair", &deleteKeyPair, "ec2_client"_a, "keyname"_a, "args"_a);

    m.def("getEc2", &getEc2, "ec2_client"_a, "subnet_id"_a);
    m.def("testInstancesInSubnet", &testInstancesInSubnet, "ec2_client"_a, "subnet_id"_a);
    m.def("getAllEc2InVpc", &getAllEc2InVpc, "ec2_client"_a, "vpc_id"_a);
    m.def("getVpcId", &getVpcId, "ec2_client"_a, "subnet_id"_a);

    m.def("createNetworkfInterface", &createNetworkfInterface, "ec2_client"_a, "instance_id"_a, "subnet_id"_a,
          "sg_id"_a, "args"_a);
    m.def("lookupInf2PrivateIp", &lookupInf2PrivateIp, "ec2_client"_a, "insId"_a, "test_config"_a);
    m.def("deleteAttachment", &deleteAttachment, "ec2_client"_a, "attachment_id"_a, "subnet_id"_a, "args"_a);
    m.def("deleteNetworkInterface", &deleteNetworkInterface, "ec2_client"_a, "network_interface_id"_a, "args"_a);
    m.def("getNetworkInterfaces", &getNetworkInterfaces, "ec2_client"_a, "vpc_id"_a);
    m.def("associateEIP", &associateEIP, "ec2_client"_a, "networkInfId"_a, "args"_a, "vpc_id"_a = none);
    m.def("getEipAllocationId", &getEipAllocationId, "ec2_client"_a, "insId"_a, "public_ip"_a);
    m.def("releaseEIP", &releaseEIP, "ec2_client"_a, "eip"_a, "eipAllocIp"_a, "insId"_a, "args"_a);

    m.def("createEc2", &createEc2, "ec2_client"_a, "iam_client"_a, "ami"_a, "gw_subnet_id"_a, "private_subnet_id"_a,
          "spoke_gw_ip"_a, "args"_a, "test_config"_a = none, "sg_id"_a = none, "sg_id_private_inf"_a = none,
          "instance_profile"_a = none, "key_name"_a = none, "s3_client"_a = none, "vpc_id"_a = none);
    m.def("renderUserData", &renderUserData, "spoke_gw_ip"_a, "s3_bucket"_a, "tag"_a);
    m.def("createEc2WithRetry", &createEc2WithRetry, "ec2_client"_a, "data"_a);

    m.def("deployEc2s", &deployEc2s, "ec2_client"_a, "s3_client"_a, "iam_client"_a, "ami"_a, "args"_a);
    m.def("terminateEc2s", &terminateEc2s, "ec2_client"_a, "iam_client"_a, "args"_a);
    m.def("deleteEc2", &deleteEc2, "ec2_client"_a, "iam_client"_a, "subnet_id"_a, "args"_a);

    m.def("getS3TestResults", &getS3TestResults, "s3_client"_a, "args"_a);
    m.def("main", &rollprobe::main);
}

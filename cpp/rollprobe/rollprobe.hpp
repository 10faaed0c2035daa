// The deployment tool: every operation is a module-level function taking boto3
// clients first and the options object last.
#pragma once

#include "glue/glue.hpp"

namespace rollprobe {

namespace py = pybind11;
using py::object;

// Fixed names of what the tool creates.
inline const char *kInstanceName = "brimvale-test-ec2";
inline const char *kSgName = "brimvale-test-ec2-sg";
inline const char *kPrivateSgName = "brimvale-test-ec2-private-interface-sg";
inline const char *kKeyPairPrefix = "brimvale-test-ec2-key-pair-";
inline const char *kKeyPairTag = "brimvale-test-ec2-key-pair";
inline const char *kInterfaceName = "brimvale-test-ec2-network-interface";
inline const char *kEipName = "brimvale-test-ec2-eip";
// Tag key of an elastic IP: the VPC it was allocated for.
inline const char *kVpcTagKey = "brimvale-test-ec2-vpc";
inline const char *kPolicyName = "brimvale-test-ec2-policy";
inline const char *kRoleName = "brimvale-test-ec2-role";
inline const char *kProfileName = "brimvale-test-ec2-instance-profile";

// An attribute of this module (constants an importing caller may replace).
object moduleAttr(const char *name);
bool dryRun(object args);

// sessions
object start_aws_session(object assume_role, object profile);
object get_aws_metadata();
void getPemKeyFromSSM(object ssm, object pemkey, object args);
// A paced client of the deployment session (throttles are waited out).
object fleetClient(object session, const char *service, object args);

// stop on SIGINT/SIGTERM: workers start no new step once a stop was requested
bool stopRequested();
int stopSignal();  // the signal that asked to stop, 0 when none
// Installs the stop handlers for its lifetime (main thread only).
class StopOnSignals {
  public:
    StopOnSignals();
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals &) = delete;
    StopOnSignals &operator=(const StopOnSignals &) = delete;

  private:
    py::list saved_;
};

// tags and image
void populateTags(object data, object rt_tags);
// [Name tag, then the --tag_resource pairs]
py::list taggedList(const std::string &name, object args);
// [{"ResourceType": type, "Tags": taggedList(name, args)}]
py::list taggedSpec(const char *resourceType, const std::string &name, object args);
std::string deduceTag(object args, object test_config);
object getAMIByName(object ec2, object args);
object getAMI(object ssm, object args);

// IAM identity
object createS3Policy(object iam, object args);
void createEc2Role(object iam, object policy_arn);
void createInstanceProfile(object iam);
void deleteInstanceProfile(object iam);

// security groups
object getSgId(object ec2, object vpc_id, object sg_name);
object createSG(object ec2, object vpc_id, object args);
object createPrivateInfSG(object ec2, object vpc_id, object args);
void deleteSG(object ec2, object sgId, object args);
// False, with one alert line, when the VPC's group `name` is not of the shape
// the tool makes (someone else's group of that name: never deleted).
bool isToolsGroup(object ec2, object vpc_id, const char *name);

// key pairs
std::string createKeyPair(object ec2, object s3, object vpcId, object args);
void deleteKeyPair(object ec2, object keyname, object args);

// lookups
py::tuple getEc2(object ec2, object subnet_id);
// Every live (pending, running, stopping, stopped) test instance of a subnet.
py::list testInstancesInSubnet(object ec2, object subnet_id);
// The live test instances of a VPC in one query: {subnet id: [description]}.
py::dict testInstancesBySubnet(object ec2, object vpc_id);
// (instance id, public address of the gateway-subnet interface, second interface)
py::tuple instanceParts(object inst, object subnet_id);
object getAllEc2InVpc(object ec2, object vpc_id);
// As getAllEc2InVpc, but a failed query (logged) is nothing, not None.
std::optional<object> testInstancesInVpc(object ec2, object vpc_id);
object getVpcId(object ec2, object subnet_id);

// interfaces and elastic IPs
void createNetworkfInterface(object ec2, object instance_id, object subnet_id, object sg_id, object args);
void lookupInf2PrivateIpOnce(object ec2, object insId, object test_config);
void lookupInf2PrivateIp(object ec2, object insId, object test_config);
void deleteAttachment(object ec2, object attachment_id, object subnet_id, object args);
// As deleteAttachment, waiting on the interface `interface_id` itself.
void detachInterface(object ec2, object attachment_id, object interface_id, object subnet_id, object args);
void deleteNetworkInterface(object ec2, object network_interface_id, object args);
object getNetworkInterfaces(object ec2, object vpc_id);
void associateEIP(object ec2, object networkInfId, object args, object vpc_id);
object getEipAllocationId(object ec2, object insId, object public_ip);
void releaseEIP(object ec2, object eip, object eipAllocIp, object insId, object args);

// test instances
void createEc2(object ec2, object iam, object ami, object gw_subnet_id, object private_subnet_id, object spoke_gw_ip,
               object args, object test_config, object sg_id, object sg_id_private_inf, object instance_profile,
               object key_name, object s3, object vpc_id);
object createEc2WithRetryOnce(object ec2, object data);
object createEc2WithRetry(object ec2, object data);
std::string renderUserData(object spoke_gw_ip, object s3_bucket, const std::string &tag);

// fleet
py::list loadTestConfig(object args);
// As loadTestConfig, and the records of a deployment are told apart: no two
// share a gateway subnet or a record tag.
py::list loadDeployConfig(object args);
// Progress of a fleet run, logged every tenth of the fleet: "launched 40/128".
void progressStart(size_t total);
void progressStep(const char *verb);
void deployEc2s(object ec2, object s3, object iam, object ami, object args);
void terminateEc2s(object ec2, object iam, object args);
void deleteEc2(object ec2, object iam, object subnet_id, object args);
// The VPC's security groups, stray interfaces and addresses, and key pair.
void removeSharedResources(object ec2, object vpc, object args);

// results
object getS3TestResults(object s3, object args);

// command line
void main();

}  // namespace rollprobe

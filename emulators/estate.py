"""A small estate in the emulated cloud: two accounts (reached by assuming a
role in each), a NAT VPC in the first, a classic spoke VPC (gateway and HA
peer) and a horizontally scaled spoke VPC in the second, the controller's
answers for both spokes, a results bucket, and the inventory that names them."""

import json
import os
from types import SimpleNamespace

import boto3

from emulators.topology import controller_entries, nat_vpc, spoke_vpc

REGION = "us-east-1"
ROLES = {
    "prod": "arn:aws:iam::111111111111:role/brimvale-deployer",
    "shared": "arn:aws:iam::222222222222:role/brimvale-deployer",
}
BUCKET = "brimvale-results"
PASSWORD = "secret"


def client(url, role, service):
    """A client of `service` in the account of `role` (None: the default account)."""
    if role is None:
        return boto3.client(service, region_name=REGION, endpoint_url=url)
    sts = boto3.client("sts", region_name=REGION, endpoint_url=url)
    c = sts.assume_role(RoleArn=role, RoleSessionName="estate")["Credentials"]
    return boto3.client(
        service,
        region_name=REGION,
        endpoint_url=url,
        aws_access_key_id=c["AccessKeyId"],
        aws_secret_access_key=c["SecretAccessKey"],
        aws_session_token=c["SessionToken"],
    )


def seed(
    url, controller, folder, deadline=900, nat_zones=("us-east-1a", "us-east-1b"), history=False, identities=False
):
    """Seeds the estate and writes `folder`/estate.yaml and the password file;
    returns the ids. `identities`: every target's instances get the tool's
    instance identity (instances that take their credentials from it, as in
    the lab's instance root, need it to upload); otherwise only prod-nat's."""
    prod, shared = client(url, ROLES["prod"], "ec2"), client(url, ROLES["shared"], "ec2")
    nat = nat_vpc(prod, second_octet=10, zones=list(nat_zones), private_nat=True)
    classic = spoke_vpc(shared, name="spoke-east", second_octet=110)
    scaled = spoke_vpc(shared, name="spoke-hs", second_octet=120)
    controller.gateways = controller_entries(classic) + controller_entries(scaled, horizontal=True)
    controller.refuse_unknown = False
    client(url, None, "s3").create_bucket(Bucket=BUCKET)
    os.makedirs(folder, exist_ok=True)
    password = os.path.join(folder, "controller-password")
    with open(os.open(password, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(PASSWORD + "\n")
    spoke = {"kind": "spoke", "assume_role": ROLES["shared"], "controller_ip": controller.address}
    spoke.update(controller_user="admin", controller_password_file="controller-password")
    targets = [
        {"name": "prod-nat", "kind": "natgw", "vpc": nat.vpc, "assume_role": ROLES["prod"], "ec2_role": "default"},
        {**spoke, "name": "shared-spoke", "vpc": classic.vpc, "spoke_gw_name": "spoke-east"},
        {**spoke, "name": "shared-hs", "vpc": scaled.vpc, "spoke_gw_name": "spoke-hs", "horizontal_scaling": True},
    ]
    if history:
        path = os.path.join(folder, "history.json")
        with open(path, "w") as f:
            # It names two of the public NAT gateways' subnets: the third is left out.
            json.dump({"natgws": [{"subnet_id": s, "result": "PASS"} for s in nat.public[:2]]}, f)
        targets[0]["history"] = "history.json"
    if identities:
        for t in targets:
            t["ec2_role"] = "default"
    inventory = {
        "defaults": {"region": REGION, "s3_bucket": BUCKET, "eip": True, "deadline": deadline},
        "targets": targets,
    }
    path = os.path.join(folder, "estate.yaml")
    with open(path, "w") as f:
        json.dump(inventory, f, indent=2)  # JSON is YAML
    return SimpleNamespace(nat=nat, classic=classic, scaled=scaled, inventory=path, targets=targets)


def leftovers(url):
    """What the tools left, per account: live test instances, their groups,
    interfaces, addresses, key pairs and the instance identity."""
    left = {}
    for account, role in ROLES.items():
        ec2, iam = client(url, role, "ec2"), client(url, role, "iam")
        live = {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]}
        named = {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]}
        found = [
            i["InstanceId"]
            for r in ec2.describe_instances(Filters=[named, live])["Reservations"]
            for i in r["Instances"]
        ]
        found += [
            g["GroupName"] for g in ec2.describe_security_groups()["SecurityGroups"] if "brimvale" in g["GroupName"]
        ]
        ifcs = ec2.describe_network_interfaces(
            Filters=[{"Name": "tag:Name", "Values": ["brimvale-test-ec2-network-interface"]}]
        )
        found += [i["NetworkInterfaceId"] for i in ifcs["NetworkInterfaces"]]
        found += [
            a["PublicIp"] for a in ec2.describe_addresses()["Addresses"] if "brimvale" in json.dumps(a.get("Tags", []))
        ]
        found += [k["KeyName"] for k in ec2.describe_key_pairs()["KeyPairs"]]
        found += [r["RoleName"] for r in iam.list_roles()["Roles"] if r["RoleName"].startswith("brimvale-test")]
        left[account] = found
    return left

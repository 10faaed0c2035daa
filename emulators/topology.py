"""Seeds an emulated account with the networks the tools work on."""

from types import SimpleNamespace

ZONES = ("us-east-1a", "us-east-1b", "us-east-1c")


def _route_table(ec2, vpc, subnets, **target):
    rt = ec2.create_route_table(VpcId=vpc)["RouteTable"]["RouteTableId"]
    ec2.create_route(RouteTableId=rt, DestinationCidrBlock="0.0.0.0/0", **target)
    for subnet in subnets:
        ec2.associate_route_table(RouteTableId=rt, SubnetId=subnet)
    return rt


def _subnet(ec2, vpc, cidr, zone, name):
    return ec2.create_subnet(
        VpcId=vpc,
        CidrBlock=cidr,
        AvailabilityZone=zone,
        TagSpecifications=[{"ResourceType": "subnet", "Tags": [{"Key": "Name", "Value": name}]}],
    )["Subnet"]["SubnetId"]


def nat_vpc(ec2, second_octet=0, zones=ZONES, private_per_zone=1, private_nat=True):
    """One VPC over `zones`: per zone a public subnet with a public NAT gateway
    and `private_per_zone` private subnets routed through it; optionally one
    private NAT gateway (which discovery must ignore)."""
    net = f"10.{second_octet}"
    vpc = ec2.create_vpc(CidrBlock=f"{net}.0.0/16")["Vpc"]["VpcId"]
    igw = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
    ec2.attach_internet_gateway(InternetGatewayId=igw, VpcId=vpc)
    topo = SimpleNamespace(vpc=vpc, igw=igw, public=[], nats=[], private=[], zones=list(zones))
    public_rt_subnets = []
    for i, zone in enumerate(zones):
        public = _subnet(ec2, vpc, f"{net}.{i}.0/24", zone, f"public-{zone}")
        public_rt_subnets.append(public)
        alloc = ec2.allocate_address(Domain="vpc")["AllocationId"]
        nat = ec2.create_nat_gateway(SubnetId=public, AllocationId=alloc)["NatGateway"]["NatGatewayId"]
        privates = [
            _subnet(ec2, vpc, f"{net}.{10 + i * 8 + j}.0/24", zone, f"private-{zone}-{j}")
            for j in range(private_per_zone)
        ]
        _route_table(ec2, vpc, privates, NatGatewayId=nat)
        topo.public.append(public)
        topo.nats.append(nat)
        topo.private.append(privates)
    _route_table(ec2, vpc, public_rt_subnets, GatewayId=igw)
    if private_nat:
        subnet = _subnet(ec2, vpc, f"{net}.200.0/24", zones[0], "private-nat")
        topo.private_nat = ec2.create_nat_gateway(SubnetId=subnet, ConnectivityType="private")["NatGateway"][
            "NatGatewayId"
        ]
    return topo


def spoke_vpc(
    ec2,
    name="spoke-1",
    second_octet=100,
    zones=ZONES[:2],
    private_per_gateway=2,
    ha=True,
    image="ami-0a1b2c3d4e5f60718",
):
    """A VPC run by the controller: a spoke gateway (and its HA peer), each an
    instance whose interface holds an elastic IP, and private subnets routed to
    that interface. Returns the ids and the controller's gateway entries."""
    net = f"10.{second_octet}"
    vpc = ec2.create_vpc(CidrBlock=f"{net}.0.0/16")["Vpc"]["VpcId"]
    igw = ec2.create_internet_gateway()["InternetGateway"]["InternetGatewayId"]
    ec2.attach_internet_gateway(InternetGatewayId=igw, VpcId=vpc)
    topo = SimpleNamespace(vpc=vpc, gateways=[], private=[])
    names = [name, name + "-hagw"] if ha else [name]
    public_subnets = []
    for i, gw_name in enumerate(names):
        zone = zones[i % len(zones)]
        cidr = f"{net}.{i}.0/24"
        subnet = _subnet(ec2, vpc, cidr, zone, f"{gw_name}-subnet")
        public_subnets.append(subnet)
        inst = ec2.run_instances(
            ImageId=image,
            MinCount=1,
            MaxCount=1,
            SubnetId=subnet,
            TagSpecifications=[{"ResourceType": "instance", "Tags": [{"Key": "Name", "Value": gw_name}]}],
        )["Instances"][0]
        eni = inst["NetworkInterfaces"][0]["NetworkInterfaceId"]
        address = ec2.allocate_address(Domain="vpc")
        ec2.associate_address(AllocationId=address["AllocationId"], NetworkInterfaceId=eni)
        privates = [
            _subnet(ec2, vpc, f"{net}.{10 + i * 8 + j}.0/24", zones[(i + j) % len(zones)], f"{gw_name}-private-{j}")
            for j in range(private_per_gateway)
        ]
        _route_table(ec2, vpc, privates, NetworkInterfaceId=eni)
        topo.private.append(privates)
        topo.gateways.append(
            {
                "gw_name": gw_name,
                "private_ip": inst["PrivateIpAddress"],
                "public_ip": address["PublicIp"],
                "gw_subnet_id": subnet,
                "public_subnet": cidr,
                "transit_gw_name": "transit-1",
                "instance_id": inst["InstanceId"],
                "eni": eni,
            }
        )
    # The gateways' own subnets leave through the internet gateway.
    _route_table(ec2, vpc, public_subnets, GatewayId=igw)
    return topo


def controller_entries(topo, horizontal=False):
    """The controller's gateway list for a spoke VPC (classic or horizontally scaled)."""
    keys = ("gw_name", "private_ip", "public_ip", "gw_subnet_id", "public_subnet", "transit_gw_name")
    entries = [{k: g[k] for k in keys} for g in topo.gateways]
    primary, peers = entries[0], entries[1:]
    if horizontal:
        primary["hagw_details"] = None
        primary["hagw_details_list"] = peers
        return [primary]
    if peers:
        peer = peers[0]
        primary["hagw_details"] = {
            "private_ip": peer["private_ip"],
            "gw_name": peer["gw_name"],
            "public_ip": peer["public_ip"],
        }
    return entries

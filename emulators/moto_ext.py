"""moto set-up shared by the tests and the demo.

moto does not evaluate two network-interface filters the tool relies on
("status" and "addresses.association.public-ip"), nor the instance of an
address associated through an attached interface, it keeps a terminated
instance's primary interface, and it leaves out the connectivity type of a
public NAT gateway; they are added here so the
emulator answers the way EC2 does. The image list holds the tool's
default image, owned by "amazon", as EC2 lists it.
"""

import hashlib
import json
import os
import tempfile

DEFAULT_IMAGE = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"
DEFAULT_AMI_ID = "ami-0a1b2c3d4e5f60718"
OTHER_AMI_ID = "ami-0f0e0d0c0b0a09080"
# Where the egress lab leaves each test instance's console output.
CONSOLE_DIR = os.environ.get("EMULATOR_CONSOLE_DIR", "/run/bvlab-console")
# The header of a request an AWS service makes itself (see patch_moto).
SERVICE_HEADER = "X-Emulated-Service"


def _image(ami_id, name, description):
    return {
        "ami_id": ami_id,
        "name": name,
        "description": description,
        "owner_id": "137112412989",
        "public": True,
        "virtualization_type": "hvm",
        "architecture": "x86_64",
        "state": "available",
        "platform": None,
        "root_device_type": "ebs",
        "root_device_name": "/dev/xvda",
        "image_type": "machine",
        "hypervisor": "xen",
        "sriov": "simple",
    }


IMAGES = [
    _image(DEFAULT_AMI_ID, DEFAULT_IMAGE, "Amazon Linux 2023 AMI"),
    _image(OTHER_AMI_ID, "al2023-ami-minimal-2023.3.20240108.0-kernel-6.1-x86_64", "Amazon Linux 2023 minimal AMI"),
]


def prepare_environment(env=os.environ):
    """Fake credentials and the image list; call before moto is imported."""
    env.setdefault("AWS_ACCESS_KEY_ID", "testing")
    env.setdefault("AWS_SECRET_ACCESS_KEY", "testing")
    env.setdefault("AWS_SESSION_TOKEN", "testing")
    env.setdefault("AWS_DEFAULT_REGION", "us-east-1")
    if "MOTO_AMIS_PATH" not in env:
        # One file per image list, shared by every process that asks (none left per process).
        text = json.dumps(IMAGES)
        path = os.path.join(tempfile.gettempdir(), f"moto-amis-{hashlib.sha256(text.encode()).hexdigest()[:16]}.json")
        if not os.path.exists(path):
            fd, tmp = tempfile.mkstemp(prefix="moto-amis-", suffix=".tmp")
            with os.fdopen(fd, "w") as f:
                f.write(text)
            os.replace(tmp, path)
        env["MOTO_AMIS_PATH"] = path
    return env


def patch_moto():
    """Teach moto the interface filters it lacks (idempotent)."""
    from moto.ec2.models.elastic_network_interfaces import NetworkInterface

    if getattr(NetworkInterface, "_brimvale_patched", False):
        return
    original = NetworkInterface.get_filter_value

    def get_filter_value(self, filter_name, method_name=None):
        if filter_name == "status":
            return self.status
        if filter_name == "addresses.association.public-ip":
            return self.public_ip
        return original(self, filter_name, method_name)

    NetworkInterface.get_filter_value = get_filter_value
    NetworkInterface._brimvale_patched = True

    # An address associated with an attached interface belongs to that
    # interface's instance, as EC2 reports it.
    from moto.ec2.models.elastic_ip_addresses import ElasticAddress

    original_eip = ElasticAddress.get_filter_value

    def eip_filter_value(self, filter_name, method_name=None):
        if filter_name == "instance-id" and not self.instance and self.eni is not None:
            instance = getattr(self.eni, "instance", None)
            return instance.id if instance else None
        return original_eip(self, filter_name, method_name)

    ElasticAddress.get_filter_value = eip_filter_value

    # EC2 deletes the primary interface that a launch made when the instance
    # is terminated (DeleteOnTermination defaults to true for it).
    from moto.ec2.models.instances import Instance

    original_terminate = Instance.terminate

    def terminate(self):
        primary = self.nics.get(0)
        if primary is not None:
            primary.delete_on_termination = True
            # Its elastic IP stays allocated but is no longer associated.
            for address in list(self.ec2_backend.addresses):
                if address.eni is primary:
                    address.eni = None
                    address.instance = None
                    address.association_id = None
        return original_terminate(self)

    Instance.terminate = terminate

    # A NAT gateway created without a connectivity type is public, and EC2
    # says so in its description.
    from moto.ec2.models.nat_gateways import NatGateway

    original_nat_init = NatGateway.__init__

    # Its private address lies in its own subnet (moto draws one anywhere in
    # 10.0.0.0/8, and its interface one anywhere in the subnet, reserved
    # addresses and an instance's included): the subnet's next free address,
    # held for the gateway, so no instance of the subnet gets it too.
    from moto.ec2.models import nat_gateways

    def nat_init(self, backend, subnet_id, allocation_id, tags=None, connectivity_type="public"):
        drawn = nat_gateways.random_private_ip
        subnet = backend.get_subnet(subnet_id)
        nat_gateways.random_private_ip = lambda *a, **k: subnet.get_available_subnet_ip(instance=self)
        try:
            original_nat_init(self, backend, subnet_id, allocation_id, tags, connectivity_type or "public")
        finally:
            nat_gateways.random_private_ip = drawn
        self.private_ip = self._eni.private_ip_address

    NatGateway.__init__ = nat_init

    # So does an interface made without an address (moto draws any address
    # of the subnet: the network's, the router's, another interface's), and
    # the address is free again when the interface is deleted.
    from moto.ec2.models.elastic_network_interfaces import NetworkInterfaceBackend

    original_eni_init = NetworkInterface.__init__

    def eni_init(self, ec2_backend, subnet, private_ip_address, private_ip_addresses=None, *args, **kwargs):
        if not private_ip_address and not private_ip_addresses and not kwargs.get("ipv6_addresses"):
            held = ec2_backend.get_subnet(subnet) if isinstance(subnet, str) else subnet
            private_ip_address = held.get_available_subnet_ip(instance=self)
        original_eni_init(self, ec2_backend, subnet, private_ip_address, private_ip_addresses, *args, **kwargs)

    original_eni_delete = NetworkInterfaceBackend.delete_network_interface

    def delete_network_interface(self, eni_id):
        eni = self.enis.get(eni_id)
        original_eni_delete(self, eni_id)
        for address in eni.private_ip_addresses:
            ip = address["PrivateIpAddress"]
            if eni.subnet._subnet_ips.get(ip) is eni:  # an instance's own address is the instance's to free
                eni.subnet.del_subnet_ip(ip)

    NetworkInterface.__init__ = eni_init
    NetworkInterfaceBackend.delete_network_interface = delete_network_interface

    # An instance's console output is what the egress lab saw its boot
    # script print (a file per instance in CONSOLE_DIR), else moto's sample.
    from moto.core.utils import utcnow
    from moto.ec2.responses import general
    from moto.ec2.utils import Base64EncodedString

    original_console = general.General.get_console_output

    def get_console_output(self):
        path = os.path.join(CONSOLE_DIR, str(self._get_param("InstanceId")) + ".log")
        if not os.path.isfile(path):
            return original_console(self)
        instance = self.ec2_backend.get_instance(self._get_param("InstanceId"))
        with open(path, encoding="utf-8", errors="replace") as f:
            text = f.read()
        result = {"InstanceId": instance.id, "Timestamp": utcnow(), "Output": Base64EncodedString.from_raw_string(text)}
        return general.ActionResult(result)

    general.General.get_console_output = get_console_output

    # With IAM enforcement on, a role's trust policy is checked on AssumeRole.
    # A request that says it comes from a service (SERVICE_HEADER, as the
    # egress lab's metadata endpoint says "ec2.amazonaws.com" to hand out an
    # instance role's credentials) is checked against the policy's Service
    # principals; a policy that names only services admits no other caller
    # (moto would fail on it with a TypeError).
    import json as _json

    from moto.iam import access_control

    original_trust = access_control.IAMRequestBase._check_role_trust_relationship

    def check_trust(self, role_arn):
        service = {k.lower(): v for k, v in self._headers.items()}.get(SERVICE_HEADER.lower())
        if service is None:
            try:
                return original_trust(self, role_arn)
            except TypeError:
                return False
        document = self.backend.get_role_by_arn(role_arn).assume_role_policy_document
        statements = _json.loads(document).get("Statement", []) if isinstance(document, str) else []
        for st in statements if isinstance(statements, list) else [statements]:
            actions = st.get("Action", [])
            services = (st.get("Principal") or {}).get("Service", [])
            actions = [actions] if isinstance(actions, str) else actions
            services = [services] if isinstance(services, str) else services
            if st.get("Effect") == "Allow" and "sts:AssumeRole" in actions and service in services:
                return True
        return False

    access_control.IAMRequestBase._check_role_trust_relationship = check_trust

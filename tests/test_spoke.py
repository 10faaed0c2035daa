"""Spoke gateway discovery against the loopback controller emulator and moto."""

import json
import logging
from types import SimpleNamespace

import pytest
import requests
from conftest import REGION, cli_env, run_cli, spoke_scan_args, tool

from brimvale_testlibs.bin.core.AppExitStatus import AppExitStatus
from brimvale_testlibs.bin.core.Globals import Globals
from brimvale_testlibs.bin.lib import zor_https
from brimvale_testlibs.bin.lib.spoke import Spoke
from brimvale_testlibs.bin.lib.zor_cred import get_brimvale_cid
from emulators.controller import gateway
from emulators.topology import controller_entries, spoke_vpc


def url(ctl, version="v1"):
    return f"https://{ctl.address}/{version}/api"


@pytest.fixture
def discover(aws, controller, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Globals.TEST_CONFIG = "subnet.config"

    def run(topo, name="spoke-1", horizontal=False):
        args = SimpleNamespace(vpc=topo.vpc)
        find = Spoke.findHsSpokes if horizontal else Spoke.findClassicSpokes
        find(args, aws.ec2, url(controller, "v2" if horizontal else "v1"), controller.cid, name)
        path = tmp_path / "subnet.config"
        return json.loads(path.read_text()) if path.exists() else None

    return run


def test_spoke_object():
    s = Spoke()
    assert not s.isDefined()
    s.transit_name = "t"
    assert s.isDefined()
    s.private_subnets = ["subnet-a", "subnet-b"]
    s.first_private_subnet_cidr = "10.1.2.0/24"
    assert s.toDict() == {
        "gw_name": "",
        "gw_private_ip": "",
        "gw_subnet_id": "",
        "gw_subnet_cidr": "",
        "private_subnet_id": "subnet-a",
        "private_subnet_cidr": "10.1.2.0/24",
        "private_subnet_gw_ip": "",
    }


@pytest.mark.parametrize(
    "entry,level,line",
    [
        (gateway("g", "", "1.2.3.4", "s", "c", transit="t"), logging.ERROR, "  **Error** spoke g private_ip not found"),
        (
            gateway("g", "10.0.0.4", "1.2.3.4", "s", "c", transit=None),
            logging.INFO,
            "  spoke g is not attached to a transit",
        ),
        (gateway("g", "10.0.0.4", "1.2.3.4", "s", "c", transit="t"), logging.INFO, "  found t"),
    ],
)
def test_status_line(caplog, entry, level, line):
    caplog.set_level(logging.INFO)
    s = Spoke.createSpoke(entry)
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(level, line)]
    assert s.gw_subnet == "s" and s.gw_subnet_cidr == "c"


def test_default_query(controller):
    Spoke.list_gateway_info(url(controller), controller.cid)
    assert controller.requests[-1]["params"] == {
        "action": "list_vpcs_summary",
        "CID": controller.cid,
        "account_name": "",
        "acx_gw_only": "no",
    }
    with pytest.raises(requests.exceptions.MissingSchema):
        Spoke.list_gateway_info()  # an empty endpoint is no URL


def test_classic_spoke_with_and_without_peer(aws, controller, discover, caplog):
    topo = spoke_vpc(aws.ec2)
    controller.gateways = controller_entries(topo)
    records = discover(topo)
    assert [r["gw_name"] for r in records] == ["spoke-1", "spoke-1-hagw"]
    assert records[0]["private_subnet_id"] == topo.private[0][0]
    assert records[1]["gw_subnet_id"] == topo.gateways[1]["gw_subnet_id"]
    assert AppExitStatus().getStatus() == 0

    solo = spoke_vpc(aws.ec2, name="solo", second_octet=120, ha=False)
    controller.gateways = controller_entries(solo)
    caplog.clear()
    records = discover(solo, "solo")
    assert [r["gw_name"] for r in records] == ["solo"]
    assert (
        "  **Error** Failed to get gateway info from controller. Gateway solo-hagw does not exist." in caplog.messages
    )
    assert AppExitStatus().getStatus() == 0  # no peer is no failure


def test_horizontal_scaling(aws, controller, discover):
    topo = spoke_vpc(aws.ec2, name="hs")
    controller.gateways = controller_entries(topo, horizontal=True)
    records = discover(topo, "hs", horizontal=True)
    assert [r["gw_name"] for r in records] == ["hs", "hs-hagw"]
    assert controller.requests[-1]["path"] == "/v2/api"


def test_same_name_twice(controller):
    a = gateway("dup", "10.0.0.4", "1.1.1.1", "s-1", "10.0.0.0/24", hagw_details=None)
    b = gateway("dup", "10.0.1.4", "2.2.2.2", "s-2", "10.0.1.0/24", hagw_details=None)
    c = gateway("dup-hagw", "10.0.2.4", "3.3.3.3", "s-3", "10.0.2.0/24")
    controller.gateways = [a, b, c]
    classic = Spoke.getSpokeInfo(url(controller), controller.cid, "dup")
    assert [s.gw_public_ip for s in classic] == ["1.1.1.1"]
    hs = Spoke.getHsSpokeInfo(url(controller), controller.cid, "dup")
    assert [s.gw_public_ip for s in hs] == ["1.1.1.1", "2.2.2.2"]


def test_peer_with_name_only(controller, caplog):
    controller.gateways = [gateway("p", "10.0.0.4", "1.1.1.1", "s-1", "c", hagw_details={"gw_name": "p-hagw"})]
    primary, peer = Spoke.getSpokeInfo(url(controller), controller.cid, "p")
    assert (peer.gw_name, peer.gw_private_ip, peer.gw_public_ip, peer.transit_name) == ("p-hagw", "", "", "")
    assert "  **Error** spoke p-hagw private_ip not found" in caplog.messages


def test_list_read_only_with_details_key(controller):
    peer = gateway("q-1", "10.0.1.4", "2.2.2.2", "s-2", "c")
    controller.gateways = [gateway("q", "10.0.0.4", "1.1.1.1", "s-1", "c", hagw_details_list=[peer])]
    assert len(Spoke.getHsSpokeInfo(url(controller), controller.cid, "q")) == 1


@pytest.mark.parametrize(
    "mode,text",
    [
        ("refuse", "  **Error** Failed to get gateway info from controller. controller refused the request"),
        ("garbage", "  **Error** Failed to receive transit gateway info for spoke x. "),
        ("drop", "  **Error** Failed to receive transit gateway info for spoke x. "),
    ],
)
@pytest.mark.parametrize("lookup", ["getSpokeInfo", "getHsSpokeInfo"])
def test_controller_failures(controller, caplog, mode, text, lookup):
    controller.gateways = [gateway("x", "10.0.0.4", "1.1.1.1", "s-1", "c")]
    controller.mode = mode
    assert getattr(Spoke, lookup)(url(controller), controller.cid, "x") == []
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1 and errors[0].startswith(text)


def test_exact_names_and_nothing_found(aws, controller, discover, caplog):
    topo = spoke_vpc(aws.ec2, ha=False)
    controller.gateways = controller_entries(topo)
    assert Spoke.getSpokeInfo(url(controller), controller.cid, "spoke") == []
    controller.refuse_unknown = False
    assert discover(topo, "spoke") is None  # a failed discovery writes no test config
    assert "  **Error** no spoke gateway named spoke found on the controller" in caplog.messages
    assert AppExitStatus().getStatus() == 1


def test_first_routed_subnet_wins_in_any_zone(aws, controller, discover):
    topo = spoke_vpc(aws.ec2, ha=False, private_per_gateway=2)
    controller.gateways = controller_entries(topo)
    [record] = discover(topo)
    zones = {s["SubnetId"]: s["AvailabilityZone"] for s in aws.ec2.describe_subnets()["Subnets"]}
    assert record["private_subnet_id"] == topo.private[0][0]
    assert zones[topo.private[0][1]] != zones[topo.gateways[0]["gw_subnet_id"]]  # other zone, still routed


@pytest.mark.parametrize("break_it", ["no interface", "no route"])
def test_discovery_errors_write_nothing(aws, controller, discover, caplog, capsys, break_it):
    topo = spoke_vpc(aws.ec2, ha=False)
    entries = controller_entries(topo)
    if break_it == "no interface":
        entries[0]["public_ip"] = "192.0.2.99"
    else:
        for table in aws.ec2.describe_route_tables(Filters=[{"Name": "vpc-id", "Values": [topo.vpc]}])["RouteTables"]:
            for assoc in table["Associations"]:
                if not assoc.get("Main"):
                    aws.ec2.disassociate_route_table(AssociationId=assoc["RouteTableAssociationId"])
    controller.gateways = entries
    assert discover(topo) is None
    printed = capsys.readouterr().err
    stopped = [m for m in caplog.messages if m.startswith("  **Error** spoke discovery stopped: ")]
    assert len(stopped) == 1 and "Traceback" not in printed  # the line says it all
    assert AppExitStatus().getStatus() == 1


def test_login(controller, caplog):
    assert get_brimvale_cid(controller.address, "admin", "secret") == controller.cid
    assert controller.requests[-1]["method"] == "POST"
    with pytest.raises(SystemExit) as ended:
        get_brimvale_cid(controller.address, "admin", "wrong")
    assert ended.value.code == 1
    assert "  **Error** Invalid username or password" in caplog.messages
    assert not any("secret" in m or "wrong" in m for m in caplog.messages)


@pytest.mark.parametrize("mode", ["garbage", "drop", "slow"])
def test_login_failures(controller, caplog, monkeypatch, mode):
    controller.mode = None if mode == "slow" else mode
    if mode == "slow":
        controller.delay = 1.5
        monkeypatch.setattr(zor_https, "REQUEST_TIMEOUT", (1, 0.5))
    with pytest.raises(SystemExit) as ended:
        get_brimvale_cid(controller.address, "admin", "secret")
    assert ended.value.code == 1
    errors = [m for m in caplog.messages if m.startswith("  **Error** controller login failed: ")]
    assert len(errors) == 1


def test_cellscan_spoke_feeds_deployment(server_clients, controller, tmp_path, http_service):
    c = server_clients
    topo = spoke_vpc(c.ec2)
    controller.gateways = controller_entries(topo)
    argv = [
        tool("cellscan"),
        *spoke_scan_args(topo.vpc, controller.address),
    ]
    r = run_cli(argv, tmp_path, cli_env(c.url))
    assert r.returncode == 0, r.stderr
    records = json.loads((tmp_path / "b/subnet.config").read_text())
    assert [rec["gw_name"] for rec in records] == ["spoke-1", "spoke-1-hagw"]
    assert "secret" not in (tmp_path / "b/log/brimvale_testlibs.log").read_text()

    echo = http_service({("GET", "/"): (200, {"ip": "203.0.113.7"})})
    env = cli_env(c.url, echo.url + "/")
    common = ["--test_config", "b/subnet.config", "--backup_folder", "b", "--region", REGION]
    deploy = run_cli([tool("rollprobe"), *common, "--output_test_config", "b/out.config", "--eip"], tmp_path, env)
    assert deploy.returncode == 0, deploy.stderr
    out = json.loads((tmp_path / "b/out.config").read_text())
    assert all("ec2_ip" in rec for rec in out)
    revert = run_cli([tool("rollprobe"), "--revert", *common, "--eip"], tmp_path, env)
    assert revert.returncode == 0, revert.stderr
    left = c.ec2.describe_instances(
        Filters=[
            {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]},
            {"Name": "instance-state-name", "Values": ["running"]},
        ]
    )
    assert left["Reservations"] == []


def test_cellscan_spoke_prompts_and_fails_on_refusal(server_clients, controller, tmp_path):
    vpc = server_clients.ec2.create_vpc(CidrBlock="10.9.0.0/16")["Vpc"]["VpcId"]
    argv = [
        tool("cellscan"),
        *spoke_scan_args(vpc, controller.address, password=()),
    ]
    controller.mode = "refuse"
    r = run_cli(argv, tmp_path, cli_env(server_clients.url), input="secret\n")
    assert r.returncode == 1
    assert "Enter Brimvale Controller Password: " in r.stderr + r.stdout
    assert "  **Error** Failed to get gateway info from controller. controller refused the request" in r.stderr


@pytest.mark.parametrize("lie", ["other subnet", "other vpc", "peer named like its primary", "forged reason"])
def test_misleading_controller_answers(aws, controller, discover, caplog, lie):
    """A controller answer never sends a record into another subnet or VPC, never
    makes two gateways share one verdict, and never forges log lines."""
    topo = spoke_vpc(aws.ec2, name="spoke-1")
    controller.gateways = controller_entries(topo, horizontal=True)
    primary, peer = controller.gateways[0], controller.gateways[0]["hagw_details_list"][0]
    if lie == "other subnet":
        primary["gw_subnet_id"] = peer["gw_subnet_id"]
        problem = f"lies in subnet {topo.gateways[0]['gw_subnet_id']}, the controller names {peer['gw_subnet_id']}"
    elif lie == "other vpc":
        other = spoke_vpc(aws.ec2, name="elsewhere", second_octet=130, ha=False)
        peer["public_ip"] = other.gateways[0]["public_ip"]
        problem = f"lies in {other.vpc}, not in {topo.vpc}"
    elif lie == "peer named like its primary":
        peer["gw_name"] = "spoke-1"
        problem = "spoke spoke-1 names two gateways"
    else:
        controller.mode = "refuse"
        controller.reason = "no\r\n  **Error** forged\x1b[2J"
        problem = "no\\r\\n  **Error** forged\\x1b[2J"
    caplog.set_level(logging.INFO)
    records = discover(topo, horizontal=True)
    errors = [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]
    assert len(errors) == 1 and problem in errors[0], errors
    assert AppExitStatus().getStatus() == 1
    if lie == "forged reason":
        assert records is None
        return
    # The other gateway is still tested, from its own interface's subnet.
    assert [(r["gw_name"], r["gw_subnet_id"]) for r in records] == [
        (g["gw_name"], g["gw_subnet_id"])
        for g in topo.gateways
        if g["gw_name"] != ("spoke-1" if lie == "other subnet" else "spoke-1-hagw")
    ]

"""Fleet deployment and teardown in process against moto."""

import json

from conftest import nat_record

from brimvale_testlibs.bin import rollprobe


def write_config(tmp_path, records):
    path = tmp_path / "in.json"
    path.write_text(json.dumps(records))
    return str(path)


def test_deploy_then_revert(aws, topology, tmp_path, sleeps, echo_ip, args_factory, monkeypatch):
    monkeypatch.chdir(tmp_path)
    records = [nat_record(*topology.pairs[0])]
    args = args_factory(test_config=write_config(tmp_path, records), output_test_config=str(tmp_path / "out.json"),
                        ec2_role="default", eip=True, tag_resource="team,net")
    rollprobe.deployEc2s(aws.ec2, aws.s3, aws.iam, "ami-0a1b2c3d4e5f60718", args)
    out = json.loads((tmp_path / "out.json").read_text())
    print(out)
    assert "ec2_ip" in out[0] and "ec2_2nd_private_ip" in out[0]
    rollprobe.terminateEc2s(aws.ec2, aws.iam, args)
    rollprobe.deleteInstanceProfile(aws.iam)

"""Plays the test instances of an emulated cloud where no lab runs them: for
every running test instance it sees (in each account it is given), it uploads
what the instance's boot script would, read from the instance's own UserData
(bucket, record tag, gateway address): a PASS, a FAIL with the on-instance
test's reason, or nothing at all (a hung instance).

    with InstancePlayer(endpoint, roles, fail={"nat-0a1"}, hang={"spoke-2"}):
        ... deploy ...
"""

import base64
import re
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import boto3

_UPLOAD = re.compile(r"aws s3 cp /tmp/result\.txt s3://([a-z0-9.-]+)/result-(\S+)\.txt")
_GATEWAY = re.compile(r'"spoke_gw": "([0-9.]+)"')

LIVE = {"Name": "instance-state-name", "Values": ["running"]}
NAMED = {"Name": "tag:Name", "Values": ["brimvale-test-ec2"]}


def instance_log(gateway, passed, source="10.0.1.5"):
    """The log the on-instance test leaves: ping, traceroute and unittest output."""
    hops = ["10.0.0.1", gateway, "203.0.113.1"] if passed else ["10.0.0.1", "203.0.113.1"]
    trace = "\n".join(f" {i + 1}  {hop}  0.2 ms  0.2 ms" for i, hop in enumerate(hops))
    lines = [
        f"second interface eth1 {source}",
        "PING www.example.com (203.0.113.10) from " + source + " : 56(84) bytes of data.",
        "3 packets transmitted, 3 received, 0% packet loss, time 2003ms",
        "traceroute to example.com (203.0.113.10), 20 hops max, 60 byte packets",
        trace,
        "test_egress_path (tests.EgressTest) ... " + ("ok" if passed else "FAIL"),
    ]
    if not passed:
        lines += [
            f"AssertionError: False is not true : the path to example.com does not go through {gateway}: {hops}",
        ]
    return "\n".join(lines) + "\n"


class InstancePlayer:
    def __init__(
        self,
        endpoint,
        roles=(None,),
        fail=(),
        hang=(),
        delay=0.0,
        interval=0.3,
        region="us-east-1",
        log_after=0.0,
        no_log=(),
    ):
        self.endpoint, self.roles, self.region, self.log_after = endpoint, list(roles), region, log_after
        self.fail, self.hang, self.delay, self.interval = set(fail), set(hang), delay, interval
        self.no_log = set(no_log)  # their instances upload the result only (the log's upload fails)
        self.seen = {}  # instance id -> first time seen running
        self.uploaded = []  # record tags
        self._stop = threading.Event()
        self._threads = []
        self._s3 = boto3.client("s3", region_name=region, endpoint_url=endpoint)
        # Instances boot side by side: their uploads do not wait for each other.
        self._pool = ThreadPoolExecutor(max_workers=16)

    def _ec2(self, role):
        if role is None:
            return boto3.client("ec2", region_name=self.region, endpoint_url=self.endpoint)
        sts = boto3.client("sts", region_name=self.region, endpoint_url=self.endpoint)
        c = sts.assume_role(RoleArn=role, RoleSessionName="instance-player")["Credentials"]
        return boto3.client(
            "ec2",
            region_name=self.region,
            endpoint_url=self.endpoint,
            aws_access_key_id=c["AccessKeyId"],
            aws_secret_access_key=c["SecretAccessKey"],
            aws_session_token=c["SessionToken"],
        )

    @staticmethod
    def _marked(tag, names):
        return any(tag == n or tag.startswith(n + "-") for n in names)

    def _play(self, ec2, instance):
        iid = instance["InstanceId"]
        first = self.seen.setdefault(iid, time.monotonic())
        if first is None or time.monotonic() - first < self.delay:
            return
        self.seen[iid] = None  # played once
        self._pool.submit(self._upload, ec2, iid)

    def _upload(self, ec2, iid):
        try:
            self._upload_once(ec2, iid)
        except Exception:  # noqa: BLE001 - a busy emulator: the next round plays it again
            self.seen[iid] = time.monotonic() - self.delay

    def _upload_once(self, ec2, iid):
        data = ec2.describe_instance_attribute(InstanceId=iid, Attribute="userData")
        script = base64.b64decode(data.get("UserData", {}).get("Value", "") or b"").decode()
        upload, gateway = _UPLOAD.search(script), _GATEWAY.search(script)
        if not upload or not gateway:
            return  # no test: nothing to upload
        bucket, tag = upload.groups()
        if self._marked(tag, self.hang):
            return
        passed = not self._marked(tag, self.fail)
        log = instance_log(gateway.group(1), passed)
        # As the boot script does: the result, then (`log_after` seconds later) the log.
        self._s3.put_object(Bucket=bucket, Key=f"result-{tag}.txt", Body=b"PASS\n" if passed else b"FAIL\n")
        if self._marked(tag, self.no_log):
            return
        time.sleep(self.log_after)
        self._s3.put_object(Bucket=bucket, Key=f"log-{tag}.txt", Body=log.encode())
        self.uploaded.append(tag)

    def _loop(self, role):
        """Watches one account."""
        ec2 = None
        while not self._stop.is_set():
            try:
                ec2 = ec2 or self._ec2(role)
                for r in ec2.describe_instances(Filters=[NAMED, LIVE])["Reservations"]:
                    for inst in r["Instances"]:
                        self._play(ec2, inst)
            except Exception:  # noqa: BLE001 - the emulator may be busy or gone; the next round tries again
                ec2 = None
            self._stop.wait(self.interval)

    def start(self):
        for role in self.roles:
            thread = threading.Thread(target=self._loop, args=(role,), daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        self._stop.set()
        for thread in self._threads:
            thread.join(10)
        self._pool.shutdown(wait=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

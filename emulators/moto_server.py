"""A moto server on 127.0.0.1 with the emulator extensions, behind a small WSGI
layer that can add a fixed latency per request, throttle EC2 requests (a
random share, or EC2's documented token buckets), and count requests per API
operation.

    python -m emulators.moto_server [PORT] [--latency 0.2] [--ec2-throttle 0.1] [--seed 1]
                                    [--buckets 1.0] [--refill 1.0]

Prints "ready <port>" once it accepts requests. GET /__stats__ returns the
counts (requests answered and throttled, per operation) and the server's own
CPU time; POST /__stats__/reset clears them; POST /__faults__ with a JSON body
changes "latency", "ec2_throttle", "buckets" (size factor, 0 = off), "refill"
(refill factor, default the size factor) and "deny" (actions whose bucket is
empty for good: every request throttled).

Token buckets ("Request throttling for the Amazon EC2 API"): one set per
account (access key) and region; each action has its own bucket of its
category's size and refill per second, refilled continuously; a request finds
its bucket empty: RequestLimitExceeded, as EC2 answers. RunInstances and
TerminateInstances also spend one token of their resource bucket per instance.
"""

import argparse
import json
import logging
import random
import re
import threading
import time
from collections import Counter, defaultdict
from urllib.parse import parse_qs

from emulators.moto_ext import patch_moto, prepare_environment

_CREDENTIAL_SCOPE = re.compile(r"Credential=[^/]+/[^/]+/[^/]+/([^/]+)/")

THROTTLE_BODY = (
    b'<?xml version="1.0" encoding="UTF-8"?>\n<Response><Errors><Error><Code>RequestLimitExceeded</Code>'
    b"<Message>Request limit exceeded.</Message></Error></Errors><RequestID>throttled</RequestID></Response>"
)


def _account_of(access_key):
    """The account of an access key: an assumed role's temporary keys belong to
    the role's account, so one account's processes share its buckets."""
    try:
        from moto.iam.models import get_account_id_from

        return get_account_id_from(access_key)
    except Exception:  # noqa: BLE001 - an unknown key is its own account
        return access_key


# (size, refill per second) by category.
CATEGORIES = {
    "non-mutating": (100, 20),
    "unfiltered": (50, 10),
    "mutating": (50, 5),
    "resource-intensive": (50, 5),
    "run-instances": (5, 2),
    "terminate-and-interfaces": (100, 5),
    "create-tags": (100, 10),
    "run-instances-resource": (1000, 2),
    "terminate-instances-resource": (1000, 20),
}
UNFILTERED_ACTIONS = {
    "DescribeInstances",
    "DescribeInstanceStatus",
    "DescribeNetworkInterfaces",
    "DescribeSecurityGroups",
}
RESOURCE_INTENSIVE = {
    "AuthorizeSecurityGroupIngress",
    "AuthorizeSecurityGroupEgress",
    "CreateKeyPair",
    "ImportKeyPair",
    "RevokeSecurityGroupIngress",
    "RevokeSecurityGroupEgress",
}
SPECIAL = {
    "RunInstances": "run-instances",
    "TerminateInstances": "terminate-and-interfaces",
    "CreateNetworkInterface": "terminate-and-interfaces",
    "DeleteNetworkInterface": "terminate-and-interfaces",
    "CreateTags": "create-tags",
}


def category(action, params):
    """The bucket category of an EC2 action with its query parameters."""
    if action in SPECIAL:
        return SPECIAL[action]
    if action in RESOURCE_INTENSIVE:
        return "resource-intensive"
    if action.startswith(("Describe", "List", "Get")):
        narrowed = (
            any(
                k.startswith(("Filter.", "InstanceId.", "NetworkInterfaceId.", "GroupId.", "GroupName."))
                for k in params
            )
            or "MaxResults" in params
        )
        return "unfiltered" if action in UNFILTERED_ACTIONS and not narrowed else "non-mutating"
    return "mutating"


class Buckets:
    """EC2's token buckets for every (account, region): continuous refill."""

    def __init__(self, size_factor, refill_factor=None, deny=()):
        self.size_factor = size_factor
        self.refill_factor = size_factor if refill_factor is None else refill_factor
        self.deny = set(deny)
        self.state = {}

    def _take(self, key, kind, amount, now, action):
        size, refill = CATEGORIES[kind]
        size = max(1.0, size * self.size_factor)
        refill = refill * self.refill_factor
        tokens, last = self.state.get(key, (size, now))
        tokens = min(size, tokens + (now - last) * refill)
        if tokens < amount:
            self.state[key] = (tokens, now)
            return False
        self.state[key] = (tokens - amount, now)
        return True

    def admit(self, scope, action, params):
        """True when the request may run (its tokens are spent)."""
        if action in self.deny:
            return False
        now = time.monotonic()
        if not self._take((scope, action), category(action, params), 1, now, action):
            return False
        resource = {"RunInstances": "run-instances-resource", "TerminateInstances": "terminate-instances-resource"}.get(
            action
        )
        if resource:
            count = (
                int(params.get("MaxCount", ["1"])[0])
                if action == "RunInstances"
                else sum(1 for k in params if k.startswith("InstanceId."))
            )
            if not self._take((scope, resource), resource, max(1, count), now, action):
                return False
        return True


class Layer:
    """WSGI middleware in front of moto."""

    def __init__(self, app, latency=0.0, ec2_throttle=0.0, seed=1, buckets=0.0, refill=None):
        self.app = app
        self.latency = latency
        self.ec2_throttle = ec2_throttle
        self.random = random.Random(seed)
        self.buckets = Buckets(buckets, refill) if buckets else None
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.counts = Counter()
            self.by_account = defaultdict(Counter)
            self.throttled_by_op = Counter()
            self.throttled = 0
            self.requests = 0
            self.cpu_start = time.process_time()

    def stats(self):
        with self.lock:
            return {
                "requests": self.requests,
                "throttled": self.throttled,
                "operations": dict(self.counts),
                "throttled_operations": dict(self.throttled_by_op),
                "accounts": {a: dict(ops) for a, ops in self.by_account.items()},
                "server_cpu_seconds": time.process_time() - self.cpu_start,
            }

    @staticmethod
    def operation(environ, body):
        """(service, "service:Action", query parameters, (access key, region))."""
        auth = environ.get("HTTP_AUTHORIZATION", "")
        scope = _CREDENTIAL_SCOPE.search(auth)
        service = scope.group(1) if scope else "unknown"
        key = re.search(r"Credential=([^/]+)/[^/]+/([^/]+)/", auth)
        account_region = (_account_of(key.group(1)), key.group(2)) if key else ("", "")
        target = environ.get("HTTP_X_AMZ_TARGET")
        if target:
            return service, f"{service}:{target.split('.')[-1]}", {}, account_region
        params = parse_qs(body.decode("utf-8", "replace")) if body else {}
        params.update(parse_qs(environ.get("QUERY_STRING", "")))
        if "Action" in params:
            return service, f"{service}:{params['Action'][0]}", params, account_region
        return service, f"{service}:{environ['REQUEST_METHOD']}", params, account_region

    def _json(self, start_response, payload):
        data = json.dumps(payload).encode()
        start_response("200 OK", [("Content-Type", "application/json"), ("Content-Length", str(len(data)))])
        return [data]

    def __call__(self, environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path == "/__stats__":
            return self._json(start_response, self.stats())
        if path == "/__stats__/reset":
            self.reset()
            return self._json(start_response, {"reset": True})
        length = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(length) if length else b""
        if path == "/__faults__":
            settings = json.loads(body or b"{}")
            self.latency = float(settings.get("latency", self.latency))
            self.ec2_throttle = float(settings.get("ec2_throttle", self.ec2_throttle))
            if "buckets" in settings or "deny" in settings:
                factor = float(settings.get("buckets", self.buckets.size_factor if self.buckets else 0))
                self.buckets = Buckets(factor, settings.get("refill"), settings.get("deny", ())) if factor else None
            return self._json(
                start_response,
                {
                    "latency": self.latency,
                    "ec2_throttle": self.ec2_throttle,
                    "buckets": self.buckets.size_factor if self.buckets else 0,
                },
            )
        service, op, params, account_region = self.operation(environ, body)
        if self.latency:
            time.sleep(self.latency)
        with self.lock:
            self.requests += 1
            throttle = service == "ec2" and self.random.random() < self.ec2_throttle
            if service == "ec2" and self.buckets is not None and not throttle:
                throttle = not self.buckets.admit(account_region, op.split(":", 1)[1], params)
            if throttle:
                self.throttled += 1
                self.throttled_by_op[op] += 1
            else:
                self.counts[op] += 1
                self.by_account[account_region[0]][op] += 1
        if throttle:
            start_response(
                "503 Service Unavailable", [("Content-Type", "text/xml"), ("Content-Length", str(len(THROTTLE_BODY)))]
            )
            return [THROTTLE_BODY]
        import io

        environ["wsgi.input"] = io.BytesIO(body)
        return self.app(environ, start_response)


def start(port=0, latency=0.0, ec2_throttle=0.0, seed=1, buckets=0.0, refill=None):
    """Starts the server in a thread; returns (server, layer, port)."""
    prepare_environment()
    patch_moto()
    from moto.server import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no access log on the console
    layer = Layer(DomainDispatcherApplication(create_backend_app), latency, ec2_throttle, seed, buckets, refill)
    server = make_server("127.0.0.1", port, layer, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, layer, server.server_port


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", nargs="?", type=int, default=0)
    parser.add_argument("--latency", type=float, default=0.0)
    parser.add_argument("--ec2-throttle", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--buckets", type=float, default=0.0, help="token-bucket size factor (0: off)")
    parser.add_argument("--refill", type=float, default=None, help="refill factor (default: the size factor)")
    a = parser.parse_args()
    server, _, port = start(a.port, a.latency, a.ec2_throttle, a.seed, a.buckets, a.refill)
    print(f"ready {port}", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.shutdown()


if __name__ == "__main__":
    main()

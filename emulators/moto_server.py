"""A moto server on 127.0.0.1 with the emulator extensions, behind a small WSGI
layer that can add a fixed latency per request, answer a share of EC2 requests
with throttling errors, and count requests per API operation.

    python -m emulators.moto_server [--port P] [--latency 0.2] [--ec2-throttle 0.1] [--seed 1]

Prints "ready <port>" once it accepts requests. GET /__stats__ returns the
counts and the server's own CPU time; POST /__stats__/reset clears them;
POST /__faults__ with a JSON body changes latency and throttle rate.
"""

import argparse
import json
import logging
import random
import re
import threading
import time
from collections import Counter
from urllib.parse import parse_qs

from emulators.moto_ext import patch_moto, prepare_environment

_CREDENTIAL_SCOPE = re.compile(r"Credential=[^/]+/[^/]+/[^/]+/([^/]+)/")

THROTTLE_BODY = (
    '<?xml version="1.0" encoding="UTF-8"?>\n<Response><Errors><Error><Code>RequestLimitExceeded</Code>'
    "<Message>Request limit exceeded.</Message></Error></Errors><RequestID>throttled</RequestID></Response>"
).encode()


class Layer:
    """WSGI middleware in front of moto."""

    def __init__(self, app, latency=0.0, ec2_throttle=0.0, seed=1):
        self.app = app
        self.latency = latency
        self.ec2_throttle = ec2_throttle
        self.random = random.Random(seed)
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.counts = Counter()
            self.throttled = 0
            self.requests = 0
            self.cpu_start = time.process_time()

    def stats(self):
        with self.lock:
            return {"requests": self.requests, "throttled": self.throttled, "operations": dict(self.counts),
                    "server_cpu_seconds": time.process_time() - self.cpu_start}

    @staticmethod
    def operation(environ, body):
        auth = environ.get("HTTP_AUTHORIZATION", "")
        scope = _CREDENTIAL_SCOPE.search(auth)
        service = scope.group(1) if scope else "unknown"
        target = environ.get("HTTP_X_AMZ_TARGET")
        if target:
            return service, f"{service}:{target.split('.')[-1]}"
        params = parse_qs(body.decode("utf-8", "replace")) if body else {}
        params.update(parse_qs(environ.get("QUERY_STRING", "")))
        if "Action" in params:
            return service, f"{service}:{params['Action'][0]}"
        return service, f"{service}:{environ['REQUEST_METHOD']}"

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
            return self._json(start_response, {"latency": self.latency, "ec2_throttle": self.ec2_throttle})
        service, op = self.operation(environ, body)
        if self.latency:
            time.sleep(self.latency)
        with self.lock:
            self.requests += 1
            throttle = service == "ec2" and self.random.random() < self.ec2_throttle
            if throttle:
                self.throttled += 1
            else:
                self.counts[op] += 1
        if throttle:
            start_response("503 Service Unavailable", [("Content-Type", "text/xml"),
                                                        ("Content-Length", str(len(THROTTLE_BODY)))])
            return [THROTTLE_BODY]
        import io

        environ["wsgi.input"] = io.BytesIO(body)
        return self.app(environ, start_response)


def start(port=0, latency=0.0, ec2_throttle=0.0, seed=1):
    """Starts the server in a thread; returns (server, layer, port)."""
    prepare_environment()
    patch_moto()
    from moto.server import DomainDispatcherApplication, create_backend_app
    from werkzeug.serving import make_server

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no access log on the console
    layer = Layer(DomainDispatcherApplication(create_backend_app), latency, ec2_throttle, seed)
    server = make_server("127.0.0.1", port, layer, threaded=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, layer, server.server_port


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port", nargs="?", type=int, default=0)
    parser.add_argument("--latency", type=float, default=0.0)
    parser.add_argument("--ec2-throttle", type=float, default=0.0)
    parser.add_argument("--seed", type=int, default=1)
    a = parser.parse_args()
    server, _, port = start(a.port, a.latency, a.ec2_throttle, a.seed)
    print(f"ready {port}", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.shutdown()


if __name__ == "__main__":
    main()

"""An instance-metadata endpoint for one lab instance: run inside the
instance's network namespace, it listens on 169.254.169.254:80 and answers
as the instance's metadata service does with session tokens (a PUT for a
token first; every GET without a valid token is 401), handing out the
credentials of the instance's own role from a JSON file the lab keeps.

    python lab/metadata.py FILE        # prints "ready" once listening
"""

import json
import secrets
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ADDRESS = "169.254.169.254"
PREFIX = "/latest/meta-data/"


class Handler(BaseHTTPRequestHandler):
    tokens = {}
    path_of_document = None

    def log_message(self, *args):
        pass

    def _answer(self, status, body=b"", kind="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_PUT(self):
        if self.path != "/latest/api/token":
            return self._answer(404)
        try:
            ttl = int(self.headers.get("X-aws-ec2-metadata-token-ttl-seconds", ""))
        except ValueError:
            return self._answer(400)
        if not 1 <= ttl <= 21600:
            return self._answer(400)
        token = secrets.token_urlsafe(32)
        self.tokens[token] = time.time() + ttl
        self._answer(200, token.encode())

    def do_GET(self):
        expiry = self.tokens.get(self.headers.get("X-aws-ec2-metadata-token", ""))
        if expiry is None or expiry < time.time():
            return self._answer(401)
        with open(self.path_of_document) as f:
            doc = json.load(f)
        role = doc["role"]
        answers = {
            PREFIX + "instance-id": doc["instance_id"],
            PREFIX + "placement/region": doc["region"],
            PREFIX + "iam/security-credentials/": role,
            PREFIX + "iam/security-credentials/" + role: json.dumps(doc["credentials"]),
        }
        body = answers.get(self.path)
        if body is None:
            return self._answer(404)
        kind = "application/json" if self.path.endswith(role) else "text/plain"
        self._answer(200, body.encode(), kind)


def main(path):
    Handler.path_of_document = path
    server = ThreadingHTTPServer((ADDRESS, 80), Handler)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main(sys.argv[1])

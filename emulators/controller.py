"""A loopback HTTPS stand-in for the controller's REST API.

It answers "login" and "list_vpcs_summary" on "/v1/api" and "/v2/api" from a
gateway table it is given, with a certificate made at start-up. It can be told
to refuse (``return`` false with a ``reason``), to answer garbage, to drop the
connection, to answer slowly, to trickle its answer one byte every ``delay``
seconds ("trickle"), or to send a chunked body that never ends ("endless").
"""

import datetime
import ipaddress
import json
import os
import socket
import ssl
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1; returns (cert path, key path)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "controller.local")])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=1))
        .add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), False)
        .sign(key, hashes.SHA256())
    )
    cert_path = os.path.join(folder, "controller.crt")
    key_path = os.path.join(folder, "controller.key")
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(
            key.private_bytes(
                serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
            )
        )
    return cert_path, key_path


class _Handler(BaseHTTPRequestHandler):
    def log_message(self, *a):
        pass

    def _params(self):
        params = {k: v[0] for k, v in parse_qs(urlparse(self.path).query, keep_blank_values=True).items()}
        length = int(self.headers.get("Content-Length") or 0)
        if length:
            body = self.rfile.read(length).decode()
            params.update({k: v[0] for k, v in parse_qs(body, keep_blank_values=True).items()})
        return params

    def _send(self, status, body):
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _handle(self):
        ctl = self.server.controller
        path = urlparse(self.path).path
        params = self._params()
        ctl.requests.append({"method": self.command, "path": path, "params": params})
        if ctl.delay and ctl.mode != "trickle":
            time.sleep(ctl.delay)
        if ctl.mode == "drop":
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return
        if ctl.mode in ("trickle", "endless"):
            self._stream(ctl)
            return
        if ctl.mode == "garbage":
            self._send(200, b"<html>502 Bad Gateway</html>")
            return
        if path not in ("/v1/api", "/v2/api"):
            self._send(404, {"return": False, "reason": f"unknown path {path}"})
            return
        action = params.get("action")
        if action == "login":
            if params.get("username") == ctl.user and params.get("password") == ctl.password:
                self._send(200, {"return": True, "CID": ctl.cid})
            else:
                self._send(200, {"return": False, "reason": "Invalid username or password"})
            return
        if ctl.mode == "refuse":
            self._send(200, {"return": False, "reason": ctl.reason})
            return
        if params.get("CID") != ctl.cid:
            self._send(200, {"return": False, "reason": "CID is invalid or expired."})
            return
        if action == "list_vpcs_summary":
            name = params.get("gateway_name")
            table = ctl.gateways
            if name and ctl.refuse_unknown and not any(g.get("gw_name") == name for g in table):
                self._send(200, {"return": False, "reason": f"Gateway {name} does not exist."})
                return
            self._send(200, {"return": True, "results": table})
            return
        self._send(200, {"return": False, "reason": f"unknown action {action}"})

    def _stream(self, ctl):
        """Answers without end until the client goes away (or ten minutes pass)."""
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        if ctl.mode == "trickle":
            self.send_header("Content-Length", "1000000")
        else:
            self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        chunk = b" " * 65536
        ends = time.monotonic() + 600
        try:
            while time.monotonic() < ends:
                if ctl.mode == "trickle":
                    self.wfile.write(b" ")
                    self.wfile.flush()
                    time.sleep(ctl.delay or 1)
                else:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        except OSError:
            pass
        self.close_connection = True

    do_GET = do_POST = _handle


class ControllerEmulator:
    """Start with ``start()``; ``address`` is "127.0.0.1:<port>"."""

    def __init__(self, gateways=(), user="admin", password="secret", cid="cid-0123456789"):
        self.gateways = list(gateways)
        self.user, self.password, self.cid = user, password, cid
        self.mode = None  # None, "refuse", "garbage", "drop", "trickle", "endless"
        self.reason = "controller refused the request"
        self.delay = 0
        self.refuse_unknown = True
        self.requests = []
        self._server = None

    def start(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        with tempfile.TemporaryDirectory(prefix="controller-") as folder:  # the context keeps what it loaded
            context.load_cert_chain(*make_certificate(folder))
        server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        server.daemon_threads = True
        server.socket = context.wrap_socket(server.socket, server_side=True)
        server.controller = self
        self._server = server
        threading.Thread(target=server.serve_forever, daemon=True).start()
        return self

    @property
    def address(self):
        return f"127.0.0.1:{self._server.server_address[1]}"

    def stop(self):
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None


def gateway(name, private_ip, public_ip, subnet_id, subnet_cidr, transit="transit-1", **extra):
    """One gateway entry as the controller lists it."""
    entry = {
        "gw_name": name,
        "private_ip": private_ip,
        "public_ip": public_ip,
        "gw_subnet_id": subnet_id,
        "public_subnet": subnet_cidr,
    }
    if transit is not None:
        entry["transit_gw_name"] = transit
    entry.update(extra)
    return entry

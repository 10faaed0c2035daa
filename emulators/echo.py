"""The public-IP echo service on loopback: answers every GET with
{"ip": "203.0.113.7"} (TEST-NET-3), as the workflow engine's public address.

    python -m emulators.echo      # prints the port, then serves
"""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ADDRESS = "203.0.113.7"


class _Echo(BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({"ip": ADDRESS}).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *a):
        pass


def start():
    """Serves in a thread; returns (server, url)."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Echo)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


if __name__ == "__main__":
    srv = ThreadingHTTPServer(("127.0.0.1", 0), _Echo)
    print(srv.server_address[1], flush=True)
    srv.serve_forever()

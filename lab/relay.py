"""A byte relay between a TCP port and a Unix socket, in either direction.

    python relay.py tcp-to-unix 127.0.0.1:4566 /run/x/s3.sock   # inside a test instance's namespace
    python relay.py unix-to-tcp /run/x/s3.sock 127.0.0.1:5000   # in the lab's own namespace

A Unix socket lives in the file system, not in a network namespace: it is the
lab's own link from a namespace to the AWS emulator on the host's loopback,
without giving the namespace any route out. Standard library only.
"""

import os
import socket
import sys
import threading


def _pipe(src, dst, done):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        done()


def _serve(listener, connect):
    while True:
        try:
            client, _ = listener.accept()
        except OSError:
            return  # the listener was closed: the relay ends
        try:
            upstream = connect()
        except OSError:
            client.close()
            continue
        _relay(client, upstream)


def _relay(client, upstream):
    """Copies both ways; the second direction to end closes both sockets."""
    ended = []
    lock = threading.Lock()

    def done():
        with lock:
            ended.append(True)
            if len(ended) == 2:
                client.close()
                upstream.close()

    for a, b in ((client, upstream), (upstream, client)):
        threading.Thread(target=_pipe, args=(a, b, done), daemon=True).start()


def _tcp(address):
    host, port = address.rsplit(":", 1)
    return host, int(port)


def listen_unix(path, tcp_address):
    """Serves `path`, forwarding every connection to `tcp_address`; returns the listener."""
    if os.path.exists(path):
        os.unlink(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(64)
    target = _tcp(tcp_address)
    threading.Thread(target=_serve, args=(listener, lambda: socket.create_connection(target)), daemon=True).start()
    return listener


def main(argv):
    mode, source, target = argv
    if mode == "tcp-to-unix":
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(_tcp(source))
        listener.listen(64)

        def connect():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.connect(target)
            return s

        print("ready", flush=True)
        _serve(listener, connect)
    elif mode == "unix-to-tcp":
        listen_unix(source, target)
        print("ready", flush=True)
        threading.Event().wait()
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main(sys.argv[1:])

"""Runs a moto server on 127.0.0.1 with the emulator extensions.

    python -m emulators.moto_server PORT

Prints "ready <port>" once it accepts requests, then serves until killed.
"""

import sys
import time

from emulators.moto_ext import patch_moto, prepare_environment


def start(port=0):
    prepare_environment()
    patch_moto()
    from moto.server import ThreadedMotoServer

    import logging

    logging.getLogger("werkzeug").setLevel(logging.ERROR)  # no access log on the console

    server = ThreadedMotoServer(ip_address="127.0.0.1", port=port, verbose=False)
    server.start()
    return server


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    server = start(port)
    host, port = server.get_host_and_port()
    print(f"ready {port}", flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        server.stop()


if __name__ == "__main__":
    main()

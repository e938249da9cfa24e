"""A pyftpdlib FTP server for Qvex's tests, on 127.0.0.1 (or ::1) only.

Usage: pyftpd_server.py ROOT PORT USER PASSWORD PASSIVE_MIN PASSIVE_MAX BANNER IDLE
       [RATE [CERT [ADDRESS]]]

PORT 0 lets the system choose. A session that stands still for IDLE seconds is ended with a
421 reply (no command while no transfer runs, a data connection that moves nothing, a passive
port nobody connects to). RATE limits each data connection to that many bytes per
second in either direction (0, the default, for no limit). CERT, a PEM file with certificate and
key, offers AUTH TLS and PROT P (python3-openssl), without requiring them; "" for plain FTP.
ADDRESS is where it listens, 127.0.0.1 by default. Once the server listens it prints
"ready <port>" on a line of its own, which the test fixture waits for. Anonymous users may
read ROOT; USER may also write. SIGTERM stops the server and closes every connection.
"""
import logging
import signal
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, PassiveDTP, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port, user, password, passive_min, passive_max, banner, idle = sys.argv[1:9]
    rate = int(sys.argv[9]) if len(sys.argv) > 9 else 0
    certificate = sys.argv[10] if len(sys.argv) > 10 else ""
    address = sys.argv[11] if len(sys.argv) > 11 else "127.0.0.1"

    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    authorizer.add_anonymous(root, perm="elr")

    handler = FTPHandler
    if certificate:
        from pyftpdlib.handlers import TLS_FTPHandler
        handler = TLS_FTPHandler
        handler.certfile = certificate
        handler.tls_control_required = False
        handler.tls_data_required = False
    handler.authorizer = authorizer
    handler.banner = banner
    handler.passive_ports = range(int(passive_min), int(passive_max) + 1)
    # PORT may name only the control connection's address, and never a port below 1024
    # (the defaults, kept here on purpose).
    handler.permit_foreign_addresses = False
    handler.permit_privileged_ports = False
    # A refused login is answered at once (instead of after 3 s), as vsftpd is told to.
    handler.auth_failed_timeout = 0
    handler.timeout = int(idle)
    DTPHandler.timeout = int(idle)
    PassiveDTP.timeout = int(idle)
    if rate > 0:
        ThrottledDTPHandler.read_limit = rate
        ThrottledDTPHandler.write_limit = rate
        handler.dtp_handler = ThrottledDTPHandler

    # Every command and reply goes to the output file a failing test shows.
    logging.basicConfig(level=logging.DEBUG, stream=sys.stderr,
                        format="%(asctime)s %(message)s")

    server = FTPServer((address, int(port)), handler)
    # serve_forever turns SystemExit into an orderly close of all connections.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready %d" % server.address[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()

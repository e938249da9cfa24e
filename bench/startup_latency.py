#!/usr/bin/python3
"""Start-up to first byte: how long after its start a program sends its first byte on the
control connection, and how long a whole connect-only run takes, for Qvex3 and for curl
against the same tiny FTP script on 127.0.0.1 in the same run.

Usage: startup_latency.py QVEX3 [RUNS]

The script answers like a server that has an empty folder: greeting, USER, PASS, then
whatever is asked (PWD, SYST, CWD, TYPE, PASV with an empty LIST, QUIT). Prints the medians
in milliseconds.
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time


def serve_one(listener, marks):
    conn, _ = listener.accept()
    marks["accepted"] = time.monotonic()
    conn.sendall(b"220 ready\r\n")
    reader = conn.makefile("rb")
    first = True
    data_listener = None
    while True:
        line = reader.readline()
        if not line:
            break
        if first:
            marks["first_byte"] = time.monotonic()
            first = False
        verb = line.split(b" ")[0].strip().upper()
        if verb == b"USER":
            conn.sendall(b"331 password\r\n")
        elif verb == b"PASS":
            conn.sendall(b"230 in\r\n")
        elif verb == b"PWD":
            conn.sendall(b'257 "/" is current\r\n')
        elif verb == b"SYST":
            conn.sendall(b"215 UNIX Type: L8\r\n")
        elif verb in (b"CWD", b"TYPE"):
            conn.sendall(b"250 ok\r\n" if verb == b"CWD" else b"200 ok\r\n")
        elif verb == b"EPSV":
            conn.sendall(b"500 no\r\n")
        elif verb == b"PASV":
            data_listener = socket.socket()
            data_listener.bind(("127.0.0.1", 0))
            data_listener.listen(1)
            port = data_listener.getsockname()[1]
            conn.sendall(("227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n"
                          % (port >> 8, port & 255)).encode())
        elif verb in (b"LIST", b"NLST"):
            conn.sendall(b"150 here\r\n")
            data, _ = data_listener.accept()
            data.close()
            data_listener.close()
            conn.sendall(b"226 done\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            break
        else:
            conn.sendall(b"502 no\r\n")
    conn.close()


def measure(command):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    marks = {}
    server = threading.Thread(target=serve_one, args=(listener, marks))
    server.start()
    argv = [part.replace("PORT", str(port)) for part in command]
    start = time.monotonic()
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    end = time.monotonic()
    server.join()
    listener.close()
    return (marks["first_byte"] - start) * 1000, (end - start) * 1000


def main():
    qvex = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    home = tempfile.mkdtemp(prefix="qvex-latency-")
    os.environ.update(HOME=home, XDG_DATA_HOME=home + "/data", XDG_CONFIG_HOME=home + "/config")
    commands = {
        "Qvex3 -z -u": [qvex, "-z", "-u", "ftp://anonymous:x@127.0.0.1:PORT/"],
        "curl (list)": ["curl", "-s", "ftp://anonymous:x@127.0.0.1:PORT/"],
    }
    for name, command in commands.items():
        firsts, totals = [], []
        for _ in range(runs):
            first, total = measure(command)
            firsts.append(first)
            totals.append(total)
        print("%-12s first byte %.2f ms, whole run %.2f ms (medians of %d)"
              % (name, statistics.median(firsts), statistics.median(totals), runs))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""A tiny FTP server whose one folder "big" holds a synthetic listing of N Unix lines, for
whole-process listing measurements (a real folder of millions of files takes far too long
to make on disk).

Usage: listing_peer.py LINES LISTING_FILE

Writes LISTING_FILE with LINES lines unless it already holds them (LINES 0: the file is
served as it is, for a listing a test wrote), listens on 127.0.0.1,
prints "port N names BYTES" (BYTES: the names of all entries together) and serves until its
standard input closes. Any user and password log in; LIST of any folder sends the file with
sendfile, so the server costs next to nothing beside the client it serves; LIST in a folder
named "small" sends only the first entry, for a client's own baseline.
"""
import os
import socket
import sys
import threading


def write_listing(path, lines):
    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
    with open(path, "w", newline="") as out:
        out.write("total %d\r\n" % lines)
        chunk = []
        for index in range(lines):
            month = months[index % 12]
            day = index % 28 + 1
            if index % 50 == 0:
                chunk.append("drwxr-xr-x    2 ftp      ftp          4096 %s %2d  2019 dir%07d\r\n"
                             % (month, day, index))
            elif index % 3 == 0:
                chunk.append("-rw-r--r--    1 ftp      ftp      %9d %s %2d 10:%02d file%07d.txt\r\n"
                             % (index * 37 % 99999999, month, day, index % 60, index))
            else:
                chunk.append("-rw-r--r--    1 ftp      ftp      %9d %s %2d  2021 data%07d.bin\r\n"
                             % (index * 131 % 999999999, month, day, index))
            if len(chunk) == 10000:
                out.write("".join(chunk))
                chunk = []
        out.write("".join(chunk))


def name_bytes(path):
    total = 0
    with open(path, "rb") as listing:
        next(listing)
        for line in listing:
            fields = line.split(None, 8)
            total += len(fields[8].rstrip(b"\r\n")) if len(fields) == 9 else 0
    return total


def serve(conn, listing):
    conn.sendall(b"220 listing peer\r\n")
    reader = conn.makefile("rb")
    passive = None
    folder = b"/"
    while True:
        line = reader.readline()
        if not line:
            break
        verb = line.split(b" ")[0].strip().upper()
        if verb == b"USER":
            conn.sendall(b"331 password\r\n")
        elif verb == b"PASS":
            conn.sendall(b"230 in\r\n")
        elif verb == b"SYST":
            conn.sendall(b"215 UNIX Type: L8\r\n")
        elif verb == b"PWD":
            conn.sendall(b'257 "/" is the current folder\r\n')
        elif verb in (b"CWD", b"CDUP"):
            folder = line[4:].strip()
            conn.sendall(b"250 ok\r\n")
        elif verb == b"TYPE":
            conn.sendall(b"200 ok\r\n")
        elif verb in (b"PASV", b"EPSV"):
            passive = socket.socket()
            passive.bind(("127.0.0.1", 0))
            passive.listen(1)
            port = passive.getsockname()[1]
            if verb == b"EPSV":
                conn.sendall(b"229 passive (|||%d|)\r\n" % port)
            else:
                conn.sendall(b"227 passive (127,0,0,1,%d,%d)\r\n" % (port >> 8, port & 255))
        elif verb in (b"LIST", b"NLST") and passive is not None:
            conn.sendall(b"150 here it comes\r\n")
            data, _ = passive.accept()
            passive.close()
            passive = None
            with open(listing, "rb") as source:
                try:
                    if folder.endswith(b"small"):
                        data.sendall(source.readline() + source.readline())
                    else:
                        data.sendfile(source)
                except OSError:
                    pass
            data.close()
            conn.sendall(b"226 done\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            break
        else:
            conn.sendall(b"502 not here\r\n")
    conn.close()


def main():
    lines, listing = int(sys.argv[1]), sys.argv[2]
    wanted = lines + 1
    try:
        with open(listing, "rb") as existing:
            have = sum(block.count(b"\n") for block in iter(lambda: existing.read(1 << 20), b""))
    except OSError:
        have = -1
    if lines > 0 and have != wanted:
        write_listing(listing, lines)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print("port %d names %d" % (listener.getsockname()[1], name_bytes(listing)), flush=True)

    def accept_all():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn, listing), daemon=True).start()

    threading.Thread(target=accept_all, daemon=True).start()
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    main()

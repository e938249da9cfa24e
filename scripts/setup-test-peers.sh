#!/bin/sh
# Prepares what the real test peers need beyond their packages: the system account that
# the SOCKS server's user-name authentication checks, and the account and PAM service the
# FTP server fixture (vsftpd) logs its user into. Idempotent; needs root.
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-test-peers: not root, skipping (tests that need these peers will skip)"
    exit 0
fi
if ! getent passwd qvexsocks >/dev/null; then
    useradd --system --no-create-home --shell /usr/sbin/nologin qvexsocks
fi
echo 'qvexsocks:S0cks-Pass' | chpasswd

# The FTP account has a shell that allows no login; its own PAM service therefore leaves
# out the shell check of the stock vsftpd service, and admits this account alone. vsftpd
# enters the account's home before the fixture's folder, so the home must exist: "/".
if ! getent passwd qvexftp >/dev/null; then
    useradd --system --no-create-home --home-dir / --shell /usr/sbin/nologin qvexftp
fi
if [ "$(getent passwd qvexftp | cut -d: -f6)" != / ]; then
    usermod --home / qvexftp
fi
echo 'qvexftp:Ftp-Pass-7' | chpasswd
cat >/etc/pam.d/qvex-ftp <<'PAM'
# Written by Qvex's scripts/setup-test-peers.sh for the vsftpd test fixture.
auth     requisite pam_succeed_if.so quiet user = qvexftp
auth     required  pam_unix.so nodelay
account  required  pam_unix.so
session  required  pam_permit.so
PAM

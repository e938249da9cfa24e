#!/usr/bin/python3
"""The real Qvex3 on a virtual X display, driven as a screen reader user drives it.

Starts Xvfb, a session D-Bus and the accessibility bus, runs Qvex3 in fresh HOME and XDG
folders, finds its window, pages and controls through the accessibility tree by their names,
switches pages, changes an option and checks the registry file that the option was saved to.
On the Host page it pings 127.0.0.1 typed in the host field (unless the system refuses ICMP
sockets), connects to a local pyftpdlib with a typed URL, user and password, browses and
changes the remote folder on the Files page (checking the server's disk), downloads a file and
a folder tree with "Get file(s) as Image (binary)...", uploads with "<" and changes a mode with
"Properties" (comparing bytes and modes on both disks), logs off, fails
to connect to a closed port, and imports a host exchange file with the toolbar's import/export
tool, finding the entries in the host field's list and in the registry file. Takes a
screenshot of the Options page, one of the Host page after the ping and one of the Files
page. Ends Qvex3 with SIGTERM and checks that it exits as a regular exit does, with the
transfers and the failed connect in its status. Before logging off, the site search dialog finds
hits over three levels of folders with a wildcard and a PCRE pattern, reports a bad PCRE, and
fetches its hits. After logging off, the same host is set to require explicit TLS on the
Advanced page: the server's self-signed certificate (made with openssl) is asked about, with a
screenshot of the question, and trusted for good; the padlock shows, a download comes over TLS,
and the next connect asks no more. Last, a windowed "Qvex3 -5m" over a folder shows its
hash-sum dialog and ends by itself with status 0.

Usage: window_e2e_test.py QVEX3 [SCREENSHOT.png [HOST_SCREENSHOT.png [FILES_SCREENSHOT.png
                                 [SEARCH_SCREENSHOT.png [CERTIFICATE_SCREENSHOT.png]]]]]
Exit status 0 on success, 1 on a failure, 77 when the display tools are not installed.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
DEADLINE = 20.0
# Below the test's TIMEOUT in ui/CMakeLists.txt, so that this script reports the overrun.
OVERALL_LIMIT = 290
FTP_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support",
                          "pyftpd_server.py")
FTP_USER = "qvexftp"
FTP_PASSWORD = "Ftp-Pass-7"
CONNECT_FAILED = 0x80
DOWNLOAD_DONE = 0x01
UPLOAD_DONE = 0x02


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, probe, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        found = probe()
        if found:
            return found
        time.sleep(0.1)
    fail("timed out waiting for " + what)


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as pipe:
        end = time.monotonic() + DEADLINE
        while not number.endswith(b"\n") and time.monotonic() < end:
            chunk = pipe.read(1)
            if not chunk:
                break
            number += chunk
    if not number.strip():
        xvfb.kill()
        fail("Xvfb did not report its display")
    return xvfb, ":" + number.decode().strip()


def registry_values(config_home, key):
    """The values of one key of the registry file, by name, as written (strings unquoted)."""
    path = os.path.join(config_home, "VbKs", "Qvex", "registry.reg")
    values = {}
    try:
        with open(path, encoding="latin-1") as registry:
            inside = False
            for line in registry:
                line = line.rstrip("\r\n")
                if line.startswith("["):
                    inside = line.lower() == ("[HKEY_CURRENT_USER\\Software\\VbKs\\Qvex\\" +
                                              key + "]").lower()
                elif inside and line.startswith('"') and '"=' in line:
                    name, value = line[1:].split('"=', 1)
                    if value.startswith('"'):
                        value = re.sub(r"\\(.)", r"\1", value[1:-1])
                    values[name] = value
    except OSError:
        return None
    return values


def registry_options(config_home):
    return (registry_values(config_home, "Settings") or {}).get("Options")


def secret_bytes(data):
    """The registry's secret form XORs each byte with a fixed key stream: it undoes itself."""
    key = 0xA7
    out = bytearray()
    for byte in data:
        out.append(byte ^ key)
        key = (key * 37 + 101) % 256
    return bytes(out)


def encode_secret(text):
    return secret_bytes(text.encode("latin-1")).hex().upper()


def decode_secret(form):
    return secret_bytes(bytes.fromhex(form)).decode("latin-1")


def icmp_refused():
    """Why this system lets no program send ICMP echoes, or "" when it lets this one."""
    for kind in (socket.SOCK_DGRAM, socket.SOCK_RAW):
        try:
            socket.socket(socket.AF_INET, kind, socket.IPPROTO_ICMP).close()
            return ""
        except OSError as error:
            refusal = error.strerror
    return refusal


# The entries imported: (URL, user, password, per-host word). The exchange text carries the
# credentials in the registry's stored form, and that form is what the registry must hold.
IMPORTED = [
    ("ftp://import-one.example/", "", "", 0),
    ("ftp://import-two.example/pub/", "fred", "Fr3d!pw", 0),
    ("ftp://import-three.example:2121/", "anne", "An:ne@", 0x00000102),
]


def write_exchange_file(path):
    lines = ["[QvexEx]"]
    for url, user, password, word in IMPORTED:
        lines.append("X" + "AUPB"[(1 if user else 0) + (2 if word else 0)] + url)
        if user:
            lines.append(encode_secret(user) + ":" + encode_secret(password))
        if word:
            lines.append("%08X" % word)
    with open(path, "wb") as exchange:
        exchange.write(("\r\n".join(lines) + "\r\n").encode("latin-1"))


# What the served folder holds: folders (one with a folder inside) and files.
SERVED_FOLDERS = ["docs", os.path.join("docs", "deep"), "pub", os.path.join("pub", "inner")]
SERVED_FILES = {"readme.txt": b"read me\r\n", "data.bin": bytes(range(256)) * 8,
                os.path.join("pub", "release.tar.gz"): b"\x1f\x8b" + b"x" * 3000,
                os.path.join("docs", "manual.html"): b"<html>manual</html>\n",
                os.path.join("docs", "deep", "notes.html"): b"<html>notes</html>\n",
                os.path.join("docs", "deep", "logo.gif"): b"GIF89a" + bytes(range(200))}


def make_certificate(root):
    """A self-signed certificate made with `openssl req -x509`, with its key in the one PEM file
    pyftpdlib reads, and its SHA-256 fingerprint as `openssl x509 -fingerprint` prints it."""
    certificate = os.path.join(root, "server-cert.pem")
    key = os.path.join(root, "server-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                    "/O=Qvex End to End/CN=qvex-e2e.invalid", "-keyout", key, "-out", certificate],
                   check=True, capture_output=True)
    printed = subprocess.run(["openssl", "x509", "-in", certificate, "-noout", "-fingerprint",
                              "-sha256"], check=True, capture_output=True, text=True).stdout
    pem = os.path.join(root, "server.pem")
    with open(pem, "w") as both, open(certificate) as one, open(key) as other:
        both.write(one.read() + other.read())
    return pem, printed.strip().split("=", 1)[1]


def start_ftp_server(root, certificate):
    """pyftpdlib on 127.0.0.1, on a port the system chose, offering AUTH TLS with `certificate`
    (not requiring it); gives the process and the port."""
    serve = os.path.join(root, "served")
    os.makedirs(serve)
    for folder in SERVED_FOLDERS:
        os.makedirs(os.path.join(serve, folder))
    for name, data in SERVED_FILES.items():
        with open(os.path.join(serve, name), "wb") as served:
            served.write(data)
    passive = 41000 + (os.getpid() % 400) * 20
    server = subprocess.Popen(
        ["/usr/bin/python3", FTP_SERVER, serve, "0", FTP_USER, FTP_PASSWORD, str(passive),
         str(passive + 19), "220 e2e ready", "30", "0", certificate],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = server.stdout.readline()
    if not line.startswith("ready "):
        server.kill()
        fail("pyftpdlib did not start: %r" % line)
    return server, int(line.split()[1])


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def hash_job_case(program, env, root):
    """A windowed "Qvex3 -5m" over a folder: its hash-sum dialog shows up, found by its title,
    and with "NoUIQuit" on (the default) the program ends by itself with status 0. A sparse
    file of 3 GiB keeps the job running long enough to be seen."""
    import pyatspi

    home = os.path.join(root, "hash-home")
    tree = os.path.join(root, "hash-tree")
    os.makedirs(os.path.join(tree, "sub"))
    with open(os.path.join(tree, "big.bin"), "wb") as big:
        big.truncate(3 << 30)
    with open(os.path.join(tree, "sub", "small.txt"), "w") as small:
        small.write("small\n")
    hash_env = dict(env, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                    XDG_CONFIG_HOME=os.path.join(home, "config"))
    qvex = subprocess.Popen([program, "-5m", "-d", tree, "big.bin", "sub"], env=hash_env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        desktop = pyatspi.Registry.getDesktop(0)

        def dialog():
            if qvex.poll() is not None:
                fail("Qvex3 -5m ended with %d before its dialog was seen" % qvex.returncode)
            for app in desktop:
                if app is not None and app.name == "Qvex3":
                    found = pyatspi.findDescendant(
                        app, lambda node: node is not None and node.name == "Qvex MD5 Sum Compute")
                    if found is not None:
                        return found
            return None

        wait_for("the dialog \"Qvex MD5 Sum Compute\"", dialog)
        try:
            status = qvex.wait(120)
        except subprocess.TimeoutExpired:
            fail("Qvex3 -5m did not end when its job was done")
        if status != 0:
            fail("Qvex3 -5m ended with %d: %s" % (status, qvex.stderr.read()))
    finally:
        if qvex.poll() is None:
            qvex.kill()
            qvex.wait()


def choose_folder(app, folder):
    """Picks `folder` in the folder browser of a download, by its path typed in the field."""
    import pyatspi

    browser = wait_for("the folder browser", lambda: pyatspi.findDescendant(
        app, lambda node: node is not None and node.getRole() == pyatspi.ROLE_DIALOG and
        node.name == "Select folder for downloaded files"))
    field = wait_for("the folder field", lambda: pyatspi.findDescendant(
        browser, lambda node: node is not None and node.getRole() == pyatspi.ROLE_TEXT and
        node.name in ("Directory:", "File name:")))
    field.queryEditableText().setTextContents(folder)
    wait_for("\"Choose\"", lambda: pyatspi.findDescendant(
        browser, lambda node: node is not None and node.getRole() == pyatspi.ROLE_PUSH_BUTTON
        and node.name.replace("&", "") in ("Choose", "Open"))).queryAction().doAction(0)


def click_row(table, name, event):
    """A mouse event ("b1c", "b1d", "b3c") on the row `name` of a file list."""
    import pyatspi

    cell = wait_for("the row " + name, lambda: pyatspi.findDescendant(
        table, lambda node: node is not None and node.getRole() == pyatspi.ROLE_TABLE_CELL
        and node.name == name))
    box = cell.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(box.x + min(box.width // 2, 30),
                                        box.y + box.height // 2, event)


def get_as_image(app, table, name, folder):
    """"Get file(s) as Image (binary)..." from the menu of the remote row `name` (a right click
    on a selected row keeps the selection) into `folder`, picked in the folder browser. The
    menu, a popup outside the accessibility tree, is worked with the keys: its first entries
    are "Open" and the three "Get file(s) as", Image the second of them."""
    import pyatspi

    click_row(table, name, "b3c")
    time.sleep(0.5)
    for symbol in (0xff54, 0xff54, 0xff54, 0xff0d):  # Down three times, Return
        pyatspi.Registry.generateKeyboardEvent(symbol, None, pyatspi.KEY_SYM)
    choose_folder(app, folder)


def secure_session_case(app, frame, find, select_tab, control, session_state, table_rows, shoot,
                        screenshot, root, port, fingerprint):
    """The host of the plain session set to "Require explicit TLS" on the Advanced page: its
    connect asks about the self-signed certificate, showing the fingerprint openssl prints;
    "Always trust" logs in with the padlock shown, the listing and a download come over TLS,
    the registry file holds the fingerprint, and the next connect asks no more."""
    import pyatspi

    url = "ftp://127.0.0.1:%d" % port  # as the host list keeps it
    server = "127.0.0.1:%d" % port
    served = os.path.join(root, "served")
    config_home = os.path.join(root, "config")

    def labelled(parent, role, label):
        """A control named by what it shows (a combo box its choice, a label its value) and
        labelled by the label beside it."""
        return wait_for("the control labelled %r" % label, lambda: pyatspi.findDescendant(
            parent, lambda node: node is not None and node.getRole() == role and any(
                relation.getRelationType() == pyatspi.RELATION_LABELLED_BY and
                relation.getTarget(0).name == label for relation in node.getRelationSet())))

    select_tab("Options", None)
    select_tab("Advanced", "Host-specific options")
    control(pyatspi.ROLE_LABEL, "Options of " + url)
    security = labelled(frame, pyatspi.ROLE_COMBO_BOX, "Security:")
    # A click opens its list with the current choice, "None", marked: two down, Return.
    box = security.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(box.x + box.width // 2, box.y + box.height // 2, "b1c")
    time.sleep(0.5)
    for symbol in (0xff54, 0xff54, 0xff0d):
        pyatspi.Registry.generateKeyboardEvent(symbol, None, pyatspi.KEY_SYM)
    wait_for("\"Require explicit TLS\" chosen", lambda: security.name == "Require explicit TLS")

    def security_saved():
        word = (registry_values(config_home, "PerHost") or {}).get(encode_secret(url), "")
        return word.startswith("dword:") and int(word[6:], 16) >> 28 & 3 == 2

    wait_for("\"Require explicit TLS\" saved for " + url, security_saved)

    # The status bar's padlock is there all along, hidden while the session is plain.
    padlock = wait_for("the padlock \"Secure connection\"", lambda: pyatspi.findDescendant(
        frame, lambda node: node is not None and node.name == "Secure connection"))

    def locked():
        return padlock.getState().contains(pyatspi.STATE_SHOWING)

    if locked():
        fail("the padlock shows after a plain session")
    secret = os.urandom(300 * 1024)
    with open(os.path.join(served, "secret.bin"), "wb") as served_file:
        served_file.write(secret)
    select_tab("Host", None)
    connect = control(pyatspi.ROLE_PUSH_BUTTON, "Connect")
    logoff = control(pyatspi.ROLE_PUSH_BUTTON, "Logoff")
    title = "Untrusted Server Certificate"
    connect.queryAction().doAction(0)
    dialog = wait_for("the certificate question",
                      lambda: find(app, pyatspi.ROLE_DIALOG, title))
    wait_for("the question naming the server", lambda: find(
        dialog, pyatspi.ROLE_LABEL, "The certificate of %s is not trusted" % server))
    # Shown in two lines of 16 pairs.
    shown = labelled(dialog, pyatspi.ROLE_LABEL, "SHA-256:").name
    if shown.replace("\n", ":") != fingerprint:
        fail("the question shows the fingerprint %r, openssl prints %s" % (shown, fingerprint))
    labels = [node.name for node in pyatspi.findAllDescendants(
        dialog, lambda node: node is not None and node.getRole() == pyatspi.ROLE_LABEL)]
    if "CN=qvex-e2e.invalid, O=Qvex End to End" not in labels:
        fail("the question does not show the certificate's subject: %r" % labels)
    if screenshot:
        shoot(screenshot, dialog)
    find(dialog, pyatspi.ROLE_PUSH_BUTTON, "Always trust").queryAction().doAction(0)
    session_state("Logged in")
    wait_for("the padlock shown", locked)
    if not re.fullmatch(r"Secured with TLS 1\.[23] \(\S+\)", padlock.description):
        fail("the padlock describes itself as %r" % padlock.description)
    trusted = (registry_values(config_home, "Certificates") or {}).get(server)
    if trusted != fingerprint:
        fail("the registry trusts %r for %s, not %s" % (trusted, server, fingerprint))

    # The login folder over TLS, and a file fetched through the menu byte for byte.
    select_tab("Files", None)
    table = wait_for("the list \"Remote files\"", lambda: pyatspi.findDescendant(
        frame, lambda node: node is not None and node.name == "Remote files" and node.getRole()
        in (pyatspi.ROLE_TREE, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE_TABLE)))
    wait_for("the served names over TLS", lambda: sorted(
        row[0] for row in table_rows(table.parent) if row) == sorted(os.listdir(served)))
    target = os.path.join(root, "secure-downloads")
    os.makedirs(target)
    click_row(table, "secret.bin", "b1c")
    get_as_image(app, table, "secret.bin", target)
    fetched = os.path.join(target, "secret.bin")
    wait_for("secret.bin fetched over TLS byte for byte", lambda: os.path.isfile(fetched) and
             open(fetched, "rb").read() == secret)

    select_tab("Host", None)
    logoff.queryAction().doAction(0)
    session_state("Logged off")
    wait_for("the padlock hidden", lambda: not locked())

    # Trusted from now on: the next connect logs in without a question.
    def logged_in_unasked():
        if find(app, pyatspi.ROLE_DIALOG, title) is not None:
            fail("the trusted certificate was asked about again")
        return find(frame, pyatspi.ROLE_LABEL, "Logged in")

    wait_for("\"Connect\" enabled", lambda: connect.getState().contains(pyatspi.STATE_ENABLED))
    connect.queryAction().doAction(0)
    wait_for("a login without the question", logged_in_unasked)
    wait_for("the padlock again", locked)
    logoff.queryAction().doAction(0)
    session_state("Logged off")


def site_search_case(app, frame, shoot, table_rows, served, screenshot):
    """"Search current REMOTE directory" from the Files toolbar: a wildcard and a PCRE pattern
    over the subfolders of the served tree (three levels) list the expected hits with their
    folders, a bad PCRE says so, and the PCRE hits, in two folders, are fetched with "Get
    file(s) as..." into a chosen folder, byte for byte."""
    import pyatspi

    def by_role(parent, role, name):
        return pyatspi.findDescendant(parent, lambda node: node is not None and
                                      node.getRole() == role and node.name == name)

    def key(symbol, kind=pyatspi.KEY_SYM):
        pyatspi.Registry.generateKeyboardEvent(symbol, None, kind)

    # The dialog is modal: pressing the toolbar button through the accessibility bus would
    # wait for it to close, so the button's shortcut, Ctrl+F, opens it from the remote list.
    toolbar = wait_for("the Files toolbar", lambda: by_role(frame, pyatspi.ROLE_TOOL_BAR, "Files"))
    wait_for("the toolbar's search", lambda: by_role(
        toolbar, pyatspi.ROLE_PUSH_BUTTON, "Search current REMOTE directory"))
    cell = wait_for("the remote row readme.txt", lambda: pyatspi.findDescendant(
        frame, lambda node: node is not None and node.getRole() == pyatspi.ROLE_TABLE_CELL and
        node.name == "readme.txt"))
    box = cell.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(box.x + 10, box.y + box.height // 2, "b1c")
    time.sleep(0.3)
    key(37, pyatspi.KEY_PRESS)  # the left Control key's code
    key(ord("f"))
    key(37, pyatspi.KEY_RELEASE)
    dialog = wait_for("the dialog \"Qvex Site Search of /\"",
                      lambda: by_role(app, pyatspi.ROLE_DIALOG, "Qvex Site Search of /"))
    pattern = wait_for("the pattern field",
                       lambda: by_role(dialog, pyatspi.ROLE_TEXT, "Pattern:"))
    search = by_role(dialog, pyatspi.ROLE_PUSH_BUTTON, "Search")

    def tick(name, ticked):
        box = by_role(dialog, pyatspi.ROLE_CHECK_BOX, name)
        if box.getState().contains(pyatspi.STATE_CHECKED) != ticked:
            box.queryAction().doAction(0)
            wait_for(name + (" ticked" if ticked else " unticked"), lambda: box.getState(
                ).contains(pyatspi.STATE_CHECKED) == ticked)

    def run(text, pcre):
        pattern.queryEditableText().setTextContents(text)
        tick("Search subfolders", True)
        tick("Use PCRE", pcre)
        search.queryAction().doAction(0)

    def hits():
        return sorted((row[4], row[0]) for row in table_rows(dialog) if len(row) == 5)

    def found(text, pcre, expected):
        run(text, pcre)
        wait_for("%r listing %r" % (text, expected), lambda: hits() == expected and
                 search.getState().contains(pyatspi.STATE_ENABLED))

    found("*.html", False, [("/docs", "manual.html"), ("/docs/deep", "notes.html")])
    run("([a-z", True)
    wait_for("\"*** Bad search pattern ***\"", lambda: by_role(
        dialog, pyatspi.ROLE_LABEL, "*** Bad search pattern ***"))
    found("\\.(gif|gz)$", True, [("/docs/deep", "logo.gif"), ("/pub", "release.tar.gz")])

    # Every hit selected, "Get file(s) as..." into a new folder picked in the folder browser.
    table = pyatspi.findDescendant(dialog, lambda node: node is not None and node.getRole() in (
        pyatspi.ROLE_TREE, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE_TABLE))
    for row in range(2):
        table.queryTable().addRowSelection(row)
    get = by_role(dialog, pyatspi.ROLE_PUSH_BUTTON, "Get file(s) as...")
    wait_for("\"Get file(s) as...\" enabled", lambda: get.getState().contains(
        pyatspi.STATE_ENABLED))
    if screenshot:
        shoot(screenshot, dialog)
    target = os.path.join(os.path.dirname(served), "search-hits")
    os.makedirs(target)
    # The folder browser is modal as well: the button is pressed with the space bar.
    get.queryComponent().grabFocus()
    key(ord(" "))
    choose_folder(app, target)

    def fetched(remote):
        local = os.path.join(target, os.path.basename(remote))
        if not os.path.isfile(local):
            return False
        with open(os.path.join(served, remote), "rb") as one, open(local, "rb") as other:
            return one.read() == other.read()

    wait_for("the hits fetched byte for byte", lambda: fetched("docs/deep/logo.gif") and
             fetched("pub/release.tar.gz"))
    # "Cancel" on a modal dialog, "Close" on a modeless one.
    pyatspi.findDescendant(dialog, lambda node: node is not None and node.getRole() ==
                           pyatspi.ROLE_PUSH_BUTTON and node.name in ("Cancel", "Close")
                           ).queryAction().doAction(0)
    wait_for("the search dialog closed",
             lambda: by_role(app, pyatspi.ROLE_DIALOG, "Qvex Site Search of /") is None)


def inner(program, screenshot, host_screenshot, files_screenshot, search_screenshot,
          certificate_screenshot):
    import pyatspi
    from gi.repository import GLib

    root = tempfile.mkdtemp(prefix="qvex-e2e-")
    xvfb = None
    qvex = None
    launcher = None
    ftp = None
    try:
        xvfb, display = start_xvfb()
        env = dict(os.environ)
        env.update({
            "DISPLAY": display,
            "HOME": root,
            "XDG_DATA_HOME": os.path.join(root, "data"),
            "XDG_CONFIG_HOME": os.path.join(root, "config"),
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1",
            "NO_AT_BRIDGE": "0",
        })
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("WAYLAND_DISPLAY", None)
        # In a session of its own: the bus daemon it starts goes with it.
        launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                    env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
        time.sleep(0.5)
        qvex = subprocess.Popen([program], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

        desktop = pyatspi.Registry.getDesktop(0)

        def application():
            if qvex.poll() is not None:
                fail("Qvex3 ended early with %d: %s" % (qvex.returncode, qvex.stderr.read()))
            for app in desktop:
                if app is not None and app.name == "Qvex3":
                    return app
            return None

        app = wait_for("Qvex3 on the accessibility bus", application)

        def find(parent, role, name):
            return pyatspi.findDescendant(
                parent, lambda node: node is not None and node.getRole() == role and
                node.name == name)

        frame = wait_for("the window \"Qvex 3.5\"",
                         lambda: find(app, pyatspi.ROLE_FRAME, "Qvex 3.5"))

        def shoot(path, window=None):
            time.sleep(0.5)
            # The screen, cut to the window (there is no window manager to frame it).
            box = (window or frame).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            crop = "%dx%d+%d+%d" % (box.width, box.height, box.x, box.y)
            subprocess.run(["import", "-display", display, "-window", "root", "-crop", crop,
                            "+repage", path], check=True, env=env)

        def table_rows(parent):
            """The rows of the first tree or table below `parent`, each a list of its cells'
            texts (the cells follow the column headers, row by row)."""
            table = pyatspi.findDescendant(parent, lambda node: node is not None and (
                node.getRole() in (pyatspi.ROLE_TREE, pyatspi.ROLE_TABLE,
                                   pyatspi.ROLE_TREE_TABLE)))
            if table is None:
                return []
            try:
                children = list(table)
                columns = len([child for child in children
                               if child.getRole() == pyatspi.ROLE_TABLE_COLUMN_HEADER])
                cells = [child.name for child in children
                         if child.getRole() == pyatspi.ROLE_TABLE_CELL]
            except GLib.GError:
                # Rows went while they were read (a folder fills in slices): read again.
                return []
            return [cells[at:at + columns] for at in range(0, len(cells), max(columns, 1))]

        def select_tab(name, description):
            tab = wait_for("the tab " + name, lambda: find(frame, pyatspi.ROLE_PAGE_TAB, name))
            if description is not None and tab.description != description:
                fail("tab %s describes itself as %r" % (name, tab.description))
            # A tab is pressed as a button is; the tab list then bears the chosen tab's name.
            tab.queryAction().doAction(0)
            wait_for("the tab " + name + " chosen", lambda: tab.parent.name == name)

        expected_tabs = ["Host", "Files", "Options", "Log", "Help"]
        page_list = wait_for("the page list", lambda: find(frame, pyatspi.ROLE_PAGE_TAB, "Host"))
        names = [child.name for child in page_list.parent]
        if names[:5] != expected_tabs:
            fail("pages in the order %r" % names)

        select_tab("Options", "Control your FTP sessions here!")
        select_tab("Odds and Ends", "Less-used and obscure (\"expert\") options")
        snap = wait_for("the snapping check box", lambda: find(
            frame, pyatspi.ROLE_CHECK_BOX, "Enable \"snapping to\" screen borders"))
        if snap.description != "A moved window snaps to the borders of a single screen":
            fail("the snapping check box describes itself as %r" % snap.description)
        if not snap.getState().contains(pyatspi.STATE_CHECKED):
            fail("snapping starts unticked")
        action = snap.queryAction()
        action.doAction(0)
        wait_for("the check box unticked",
                 lambda: not snap.getState().contains(pyatspi.STATE_CHECKED))

        # "SnapTo" is byte 60 of the record: 0 once the box is unticked, saved at once.
        config_home = env["XDG_CONFIG_HOME"]
        record = wait_for("the record saved with SnapTo off", lambda: (
            lambda text: text if text and text[120:122] == "00" else None)(
                registry_options(config_home)))
        if len(record) != 146:
            fail("the saved record has %d digits" % len(record))

        select_tab("General", "General/UI option settings/controls")
        if screenshot:
            shoot(screenshot)

        # The Host page: a typed URL with user and password, "Connect", "Logoff".
        certificate, fingerprint = make_certificate(root)
        ftp, ftp_port = start_ftp_server(root, certificate)
        select_tab("Host", "Connect to FTP servers (or \"PING\" them) anywhere on the Internet!")

        def control(role, name):
            return wait_for("the control " + name, lambda: find(frame, role, name))

        url_field = control(pyatspi.ROLE_TEXT, "Uniform Resource Locator (URL)")
        connected_to = control(pyatspi.ROLE_TEXT, "Connected To:")
        connect = control(pyatspi.ROLE_PUSH_BUTTON, "Connect")
        logoff = control(pyatspi.ROLE_PUSH_BUTTON, "Logoff")

        def text_of(field):
            return field.queryText().getText(0, -1)

        def session_state(name):
            return wait_for("the Host page saying " + name,
                            lambda: find(frame, pyatspi.ROLE_LABEL, name))

        # "Ping" with 127.0.0.1 typed in the host field: rows in the "Pinging" pane, then
        # the button reads "Ping" again.
        url_field.queryEditableText().setTextContents("ftp://127.0.0.1/")
        ping = control(pyatspi.ROLE_PUSH_BUTTON, "Ping")
        refusal = icmp_refused()
        if refusal:
            if ping.getState().contains(pyatspi.STATE_ENABLED):
                fail("\"Ping\" is enabled where ICMP sockets are refused (%s)" % refusal)
            print("SKIP ping: this system refuses ICMP sockets (%s); \"Ping\" is disabled: %s"
                  % (refusal, ping.description))
        else:
            ping.queryAction().doAction(0)
            pinging = control(pyatspi.ROLE_PANEL, "Pinging")
            replies = wait_for("four replies in the \"Pinging\" pane", lambda: (
                lambda rows: rows if len(rows) == 4 else None)(table_rows(pinging)))
            for address, milliseconds, ttl, status in replies:
                if address != "127.0.0.1" or status or not milliseconds.isdigit() or \
                        not ttl.isdigit():
                    fail("a ping reply reads %r" % [address, milliseconds, ttl, status])
            wait_for("the button reading \"Ping\" again", lambda: ping.name == "Ping")
            title = [child.name for child in pinging if child.getRole() == pyatspi.ROLE_LABEL]
            if not title or not title[0].endswith(" [127.0.0.1]"):
                fail("the \"Pinging\" pane is titled %r" % title)
        if host_screenshot:
            shoot(host_screenshot)

        url_field.queryEditableText().setTextContents("ftp://127.0.0.1:%d/" % ftp_port)
        control(pyatspi.ROLE_TEXT, "User name").queryEditableText().setTextContents(FTP_USER)
        control(pyatspi.ROLE_PASSWORD_TEXT, "Password").queryEditableText().setTextContents(
            FTP_PASSWORD)
        connect.queryAction().doAction(0)
        expected = "127.0.0.1 [:%d]" % ftp_port
        wait_for("\"Connected To:\" showing " + expected,
                 lambda: text_of(connected_to) == expected)
        session_state("Logged in")
        # The Files page is told of the session and shows the login folder.
        select_tab("Files", "Views of remote AND local system; drag and drop between them!")
        wait_for("the Files page naming the server",
                 lambda: find(frame, pyatspi.ROLE_LABEL, "Connected To: " + expected))
        files_page(frame, control, table_rows, shoot, files_screenshot,
                   os.path.join(root, "served"), app)
        site_search_case(app, frame, shoot, table_rows, os.path.join(root, "served"),
                         search_screenshot)
        select_tab("Host", None)
        if not logoff.getState().contains(pyatspi.STATE_ENABLED):
            fail("\"Logoff\" is not enabled while logged in")
        logoff.queryAction().doAction(0)
        session_state("Logged off")
        wait_for("the Files page saying the session ended",
                 lambda: find(frame, pyatspi.ROLE_LABEL, "Not connected"))
        if text_of(connected_to):
            fail("\"Connected To:\" still shows %r after logging off" % text_of(connected_to))
        secure_session_case(app, frame, find, select_tab, control, session_state, table_rows,
                            shoot, certificate_screenshot, root, ftp_port, fingerprint)

        url_field.queryEditableText().setTextContents("ftp://127.0.0.1:%d/" % closed_port())
        wait_for("\"Connect\" enabled again",
                 lambda: connect.getState().contains(pyatspi.STATE_ENABLED))
        connect.queryAction().doAction(0)
        session_state("Connect failed")

        # The host toolbar's "Host Import/Export tool": "Import..." of a host exchange file
        # chosen in the file dialog, then "Close"; the entries are in the host field's list
        # and in the registry.
        exchange_path = os.path.join(root, "exchange.txt")
        write_exchange_file(exchange_path)
        toolbar = wait_for("the host toolbar", lambda: pyatspi.findDescendant(
            frame, lambda node: node is not None and node.getRole() == pyatspi.ROLE_TOOL_BAR))
        tool_button = wait_for("the toolbar's \"Import/Export\"", lambda: find(
            toolbar, pyatspi.ROLE_PUSH_BUTTON, "Import/Export"))
        if tool_button.description != "Host Import/Export tool":
            fail("\"Import/Export\" describes itself as %r" % tool_button.description)
        tool_button.queryAction().doAction(0)
        tool = wait_for("the dialog \"Qvex Import/Export Tool\"",
                        lambda: find(app, pyatspi.ROLE_DIALOG, "Qvex Import/Export Tool"))
        find(tool, pyatspi.ROLE_PUSH_BUTTON, "Import...").queryAction().doAction(0)
        chooser = wait_for("the file dialog \"Import Host Entries\"",
                           lambda: find(app, pyatspi.ROLE_DIALOG, "Import Host Entries"))
        name_field = wait_for("the file name field",
                              lambda: find(chooser, pyatspi.ROLE_TEXT, "File name:"))
        name_field.queryEditableText().setTextContents(exchange_path)
        find(chooser, pyatspi.ROLE_PUSH_BUTTON, "Open").queryAction().doAction(0)
        wait_for("the status line \"3 entries imported\"",
                 lambda: find(tool, pyatspi.ROLE_LABEL, "3 entries imported"))
        find(tool, pyatspi.ROLE_PUSH_BUTTON, "Close").queryAction().doAction(0)
        wait_for("the tool closed",
                 lambda: find(app, pyatspi.ROLE_DIALOG, "Qvex Import/Export Tool") is None)
        # The drop-down list of the field: the combo box's list, beside its text.
        host_list = wait_for("the host field's list", lambda: pyatspi.findDescendant(
            url_field.parent, lambda node: node is not None and
            node.getRole() == pyatspi.ROLE_LIST))
        imported_urls = [url for url, _, _, _ in IMPORTED]
        wait_for("the imported entries in the host field's list", lambda: (
            lambda names: all(url in names for url in imported_urls))(
                [item.name for item in host_list]))
        hosts = registry_values(config_home, "Hosts") or {}
        per_host = registry_values(config_home, "PerHost") or {}
        for url, user, password, word in IMPORTED:
            data = hosts.get(encode_secret(url))
            if data is None:
                fail("%s is not among the registry's hosts: %r" %
                     (url, [decode_secret(name) for name in hosts]))
            user_form, _, password_form = data.partition(":")
            if (decode_secret(user_form), decode_secret(password_form)) != (user, password):
                fail("%s has the credentials %r in the registry" % (url, data))
            saved_word = per_host.get(encode_secret(url))
            if word and (saved_word or "").lower() != "dword:%08x" % word:
                fail("%s has the per-host word %r in the registry" % (url, saved_word))

        qvex.send_signal(signal.SIGTERM)
        try:
            status = qvex.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            fail("Qvex3 did not end after SIGTERM")
        # The session's transfers and the failed connect, in the program's status word.
        if status != CONNECT_FAILED | DOWNLOAD_DONE | UPLOAD_DONE:
            fail("Qvex3 ended with %d: %s" % (status, qvex.stderr.read()))
        if registry_options(config_home)[120:122] != "00":
            fail("SnapTo lost at exit")
        hash_job_case(program, env, root)
        print("window end-to-end: ok")
    finally:
        if launcher is not None:
            try:
                os.killpg(launcher.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            launcher.wait()
        for process in (qvex, xvfb, ftp):
            if process is not None and process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(root, ignore_errors=True)


def files_page(frame, control, table_rows, shoot, screenshot, served, app):
    """The remote pane: the login folder's names, a folder opened by a double click and by
    Enter, Back, Up and a typed path, then a remote folder created, renamed and deleted in
    place, each checked on the server's disk."""
    import pyatspi

    table = wait_for("the list \"Remote files\"", lambda: pyatspi.findDescendant(
        frame, lambda node: node is not None and node.name == "Remote files" and node.getRole()
        in (pyatspi.ROLE_TREE, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE_TABLE)))
    pane = table.parent
    toolbar = wait_for("the Files toolbar", lambda: pyatspi.findDescendant(
        frame, lambda node: node is not None and node.getRole() == pyatspi.ROLE_TOOL_BAR and
        node.name == "Files"))

    def button(name, tip):
        found = wait_for("the toolbar's " + name, lambda: pyatspi.findDescendant(
            toolbar, lambda node: node is not None and node.getRole() == pyatspi.ROLE_PUSH_BUTTON
            and node.name == name))
        if found.description != tip:
            fail("%s describes itself as %r" % (name, found.description))
        return found

    back = button("Back", "Back (to previous directory)")
    up = button("Up", "Up one level (to parent directory)")
    new_folder = button("New Folder", "Create new REMOTE folder")

    def names():
        return [row[0] for row in table_rows(pane) if row]

    def showing(expected, what):
        wait_for(what, lambda: sorted(names()) == sorted(expected))

    def path_box():
        return pyatspi.findDescendant(pane, lambda node: node is not None and
                                      node.getRole() == pyatspi.ROLE_TEXT)

    def path_text():
        box = path_box()
        return box.queryText().getText(0, -1) if box is not None else None

    def mouse(name, event):
        click_row(table, name, event)

    def key(symbol):
        pyatspi.Registry.generateKeyboardEvent(symbol, None, pyatspi.KEY_SYM)

    def type_into_editor(text):
        # The editor opens with the whole name selected: typing replaces it.
        time.sleep(0.5)
        for character in text:
            key(ord(character))
        key(0xff0d)  # Return

    top = ["docs", "pub", "readme.txt", "data.bin"]
    showing(top, "the login folder's names")
    wait_for("the path \"/\"", lambda: path_text() == "/")
    sizes = {row[0]: row[1] for row in table_rows(pane)}
    if sizes.get("readme.txt") != "9" or sizes.get("data.bin") != "2.00 KB":
        fail("the sizes read %r" % sizes)

    # A double click opens "pub"; Enter on "inner" opens it; Back; Up.
    mouse("pub", "b1d")
    showing(["inner", "release.tar.gz"], "the folder /pub")
    wait_for("the path \"/pub\"", lambda: path_text() == "/pub")
    mouse("inner", "b1c")
    key(0xff0d)
    wait_for("the path \"/pub/inner\"", lambda: path_text() == "/pub/inner")
    showing([], "the empty folder /pub/inner")
    back.queryAction().doAction(0)
    showing(["inner", "release.tar.gz"], "/pub again after Back")
    up.queryAction().doAction(0)
    showing(top, "the login folder after Up")
    wait_for("\"Back\" enabled", lambda: back.getState().contains(pyatspi.STATE_ENABLED))
    # A path typed in the path box, with Enter; then Up to the login folder again.
    box = path_box()
    box.queryComponent().grabFocus()
    box.queryEditableText().setTextContents("/pub/inner")
    key(0xff0d)
    wait_for("the typed path shown", lambda: path_text() == "/pub/inner")
    showing([], "the typed folder /pub/inner")
    up.queryAction().doAction(0)
    showing(["inner", "release.tar.gz"], "/pub after Up")
    up.queryAction().doAction(0)
    showing(top, "the login folder after Up again")

    # A new folder named in place, renamed in place (F2), deleted (Del, then "Yes").
    new_folder.queryAction().doAction(0)
    type_into_editor("made-by-e2e")
    showing(top + ["made-by-e2e"], "the new folder in the list")
    if not os.path.isdir(os.path.join(served, "made-by-e2e")):
        fail("the server has no folder made-by-e2e: %r" % os.listdir(served))
    with open(os.path.join(served, "made-by-e2e", "inside.txt"), "wb") as inside:
        inside.write(b"deleted with its folder")
    mouse("made-by-e2e", "b1c")
    key(0xffbf)  # F2
    type_into_editor("renamed-by-e2e")
    wait_for("the folder renamed on the server",
             lambda: os.path.isdir(os.path.join(served, "renamed-by-e2e")) and
             not os.path.exists(os.path.join(served, "made-by-e2e")))
    showing(top + ["renamed-by-e2e"], "the renamed folder in the list")
    mouse("renamed-by-e2e", "b1c")
    key(0xffff)  # Delete
    question = wait_for("the question before the delete", lambda: pyatspi.findDescendant(
        app, lambda node: node is not None and node.getRole() == pyatspi.ROLE_LABEL and
        node.name == "Delete the folder renamed-by-e2e and everything in it?"))
    dialog = question
    while dialog is not None and dialog.getRole() not in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT):
        dialog = dialog.parent
    yes = wait_for("\"Yes\"", lambda: pyatspi.findDescendant(
        dialog, lambda node: node is not None and node.getRole() == pyatspi.ROLE_PUSH_BUTTON and
        node.name.replace("&", "") == "Yes"))
    yes.queryAction().doAction(0)
    wait_for("the folder and its file gone from the server",
             lambda: not os.path.exists(os.path.join(served, "renamed-by-e2e")))
    showing(top, "the list without the deleted folder")
    transfers(frame, table, mouse, key, served, app, shoot, screenshot)


def transfers(frame, table, mouse, key, served, app, shoot, screenshot):
    """A file and a folder tree fetched with "Get file(s) as Image (binary)..." into a folder
    picked in the folder browser, shown at once in the local list; a local file sent with
    "<"; a remote file's mode changed with "Properties" and "chmod". Bytes and modes are
    checked on both disks."""
    import pyatspi

    root = os.path.dirname(served)
    downloads = os.path.join(root, "downloads")
    os.makedirs(downloads)
    upload = b"uploaded with <\r\n" + bytes(range(256)) * 40
    with open(os.path.join(downloads, "upload-me.bin"), "wb") as local_file:
        local_file.write(upload)

    def by_role(parent, role, name):
        return pyatspi.findDescendant(parent, lambda node: node is not None and
                                      node.getRole() == role and node.name == name)

    def cell_named(name):
        return by_role(table, pyatspi.ROLE_TABLE_CELL, name)

    local_table = wait_for("the list \"Local files\"", lambda: pyatspi.findDescendant(
        frame, lambda node: node is not None and node.name == "Local files" and node.getRole()
        in (pyatspi.ROLE_TREE, pyatspi.ROLE_TABLE, pyatspi.ROLE_TREE_TABLE)))
    local_pane = local_table.parent

    def local_names():
        columns = len([child for child in local_table
                       if child.getRole() == pyatspi.ROLE_TABLE_COLUMN_HEADER])
        return sorted([child.name for child in local_table
                       if child.getRole() == pyatspi.ROLE_TABLE_CELL][::max(columns, 1)])

    # The local pane shows the downloads folder, typed in its path box.
    local_path = pyatspi.findDescendant(local_pane, lambda node: node is not None and
                                        node.getRole() == pyatspi.ROLE_TEXT)
    local_path.queryComponent().grabFocus()
    local_path.queryEditableText().setTextContents(downloads)
    key(0xff0d)
    wait_for("the local list showing upload-me.bin",
             lambda: local_names() == ["upload-me.bin"])

    # A text file with Unix line ends appears after "Refresh": Image keeps its bytes.
    lf_text = b"line one\nline two\n"
    with open(os.path.join(served, "lf.txt"), "wb") as text_file:
        text_file.write(lf_text)
    by_role(frame, pyatspi.ROLE_PUSH_BUTTON, "Refresh").queryAction().doAction(0)
    wait_for("lf.txt in the remote list", lambda: cell_named("lf.txt"))

    # lf.txt and pub selected, both fetched at once.
    mouse("lf.txt", "b1c")
    columns = len([child for child in table
                   if child.getRole() == pyatspi.ROLE_TABLE_COLUMN_HEADER])
    names_in_order = [child.name for child in table
                      if child.getRole() == pyatspi.ROLE_TABLE_CELL][::columns]
    table.queryTable().addRowSelection(names_in_order.index("pub"))
    get_as_image(app, table, "lf.txt", downloads)

    def same_tree(source, copy):
        for base, folders, files in os.walk(source):
            relative = os.path.relpath(base, source)
            if not os.path.isdir(os.path.join(copy, relative)):
                return False
            for name in files:
                target = os.path.join(copy, relative, name)
                if not os.path.isfile(target):
                    return False
                with open(os.path.join(base, name), "rb") as one, open(target, "rb") as other:
                    if one.read() != other.read():
                        return False
        return True

    fetched = os.path.join(downloads, "lf.txt")
    wait_for("lf.txt and the tree pub downloaded byte for byte", lambda: (
        same_tree(os.path.join(served, "pub"), os.path.join(downloads, "pub")) and
        os.path.isfile(fetched) and open(fetched, "rb").read() == lf_text))
    wait_for("the downloads in the local list", lambda: local_names() ==
             ["lf.txt", "pub", "upload-me.bin"])

    # "<" sends the selected local file into the remote folder shown.
    left = wait_for("the button \"<\"", lambda: by_role(frame, pyatspi.ROLE_PUSH_BUTTON, "<"))
    local_cell = wait_for("the local row upload-me.bin", lambda: by_role(
        local_table, pyatspi.ROLE_TABLE_CELL, "upload-me.bin"))
    box = local_cell.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    pyatspi.Registry.generateMouseEvent(box.x + min(box.width // 2, 30),
                                        box.y + box.height // 2, "b1c")
    wait_for("\"<\" enabled", lambda: left.getState().contains(pyatspi.STATE_ENABLED))
    left.queryAction().doAction(0)
    uploaded = os.path.join(served, "upload-me.bin")
    wait_for("upload-me.bin on the server byte for byte", lambda: os.path.isfile(uploaded) and
             open(uploaded, "rb").read() == upload)
    if screenshot:
        shoot(screenshot)

    # "Properties" of readme.txt: group write ticked, "chmod"; the server's file has it.
    readme = os.path.join(served, "readme.txt")
    before = os.stat(readme).st_mode & 0o7777
    if before & 0o020:
        fail("readme.txt is group-writable already: %o" % before)
    mouse("readme.txt", "b1c")
    mouse("readme.txt", "b3c")
    time.sleep(0.5)
    key(0xff52)  # Up: the last entry, "Properties"
    key(0xff0d)  # Return
    dialog = wait_for("the dialog \"readme.txt Properties\"",
                      lambda: by_role(app, pyatspi.ROLE_DIALOG, "readme.txt Properties"))
    octal = wait_for("the octal mode", lambda: by_role(dialog, pyatspi.ROLE_TEXT, "Octal mode"))
    if octal.queryText().getText(0, -1) != "%04o" % before:
        fail("the octal field reads %r for mode %04o" % (octal.queryText().getText(0, -1), before))
    by_role(dialog, pyatspi.ROLE_CHECK_BOX, "group write").queryAction().doAction(0)
    wait_for("the octal field following the box",
             lambda: octal.queryText().getText(0, -1) == "%04o" % (before | 0o020))
    by_role(dialog, pyatspi.ROLE_PUSH_BUTTON, "chmod").queryAction().doAction(0)
    wait_for("readme.txt group-writable on the server",
             lambda: os.stat(readme).st_mode & 0o7777 == before | 0o020)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    program = os.path.abspath(sys.argv[1])
    screenshot = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else ""
    host_screenshot = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else ""
    files_screenshot = os.path.abspath(sys.argv[4]) if len(sys.argv) > 4 else ""
    search_screenshot = os.path.abspath(sys.argv[5]) if len(sys.argv) > 5 else ""
    certificate_screenshot = os.path.abspath(sys.argv[6]) if len(sys.argv) > 6 else ""
    if os.environ.get("QVEX_E2E_INNER") == "1":
        inner(program, screenshot, host_screenshot, files_screenshot, search_screenshot,
              certificate_screenshot)
        return 0
    missing = [tool for tool in ("Xvfb", "dbus-run-session", "import", "openssl")
               if shutil.which(tool) is None]
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        missing.append("at-spi-bus-launcher")
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        missing.append("pyatspi")
    if missing:
        print("SKIP: not installed: " + ", ".join(missing))
        return SKIP
    # A session bus of our own, so nothing reaches the desktop of whoever runs the test.
    env = dict(os.environ, QVEX_E2E_INNER="1")
    return subprocess.run(["dbus-run-session", "--", sys.executable] + sys.argv,
                          env=env, timeout=OVERALL_LIMIT).returncode


if __name__ == "__main__":
    sys.exit(main())

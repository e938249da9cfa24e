#!/usr/bin/python3
"""The real Qvex3 on a virtual X display, driven as a screen reader user drives it.

Starts Xvfb, a session D-Bus and the accessibility bus, runs Qvex3 in fresh HOME and XDG
folders, finds its window, pages and controls through the accessibility tree by their names,
switches pages, changes an option and checks the registry file that the option was saved to.
On the Host page it connects to a local pyftpdlib with a typed URL, user and password, logs
off, and fails to connect to a closed port. Takes a screenshot of the screen on the way. Ends
Qvex3 with SIGTERM and checks that it exits as a regular exit does, with the failed connect
in its status.

Usage: window_e2e_test.py QVEX3 SCREENSHOT.png
Exit status 0 on success, 1 on a failure, 77 when the display tools are not installed.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
DEADLINE = 20.0
FTP_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support",
                          "pyftpd_server.py")
FTP_USER = "qvexftp"
FTP_PASSWORD = "Ftp-Pass-7"
CONNECT_FAILED = 0x80


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


def registry_options(config_home):
    path = os.path.join(config_home, "VbKs", "Qvex", "registry.reg")
    try:
        with open(path, encoding="latin-1") as registry:
            for line in registry:
                if line.startswith('"Options"='):
                    return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        return None
    return None


def start_ftp_server(root):
    """pyftpdlib on 127.0.0.1, on a port the system chose; gives the process and the port."""
    serve = os.path.join(root, "served")
    os.makedirs(serve)
    passive = 41000 + (os.getpid() % 400) * 20
    server = subprocess.Popen(
        ["/usr/bin/python3", FTP_SERVER, serve, "0", FTP_USER, FTP_PASSWORD, str(passive),
         str(passive + 19), "220 e2e ready", "30"],
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


def inner(program, screenshot):
    import pyatspi

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
            time.sleep(0.5)
            # The screen, cut to the window (there is no window manager to frame it).
            box = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
            crop = "%dx%d+%d+%d" % (box.width, box.height, box.x, box.y)
            subprocess.run(["import", "-display", display, "-window", "root", "-crop", crop,
                            "+repage", screenshot], check=True, env=env)

        # The Host page: a typed URL with user and password, "Connect", "Logoff".
        ftp, ftp_port = start_ftp_server(root)
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

        url_field.queryEditableText().setTextContents("ftp://127.0.0.1:%d/" % ftp_port)
        control(pyatspi.ROLE_TEXT, "User name").queryEditableText().setTextContents(FTP_USER)
        control(pyatspi.ROLE_PASSWORD_TEXT, "Password").queryEditableText().setTextContents(
            FTP_PASSWORD)
        connect.queryAction().doAction(0)
        expected = "127.0.0.1 [:%d]" % ftp_port
        wait_for("\"Connected To:\" showing " + expected,
                 lambda: text_of(connected_to) == expected)
        session_state("Logged in")
        if not logoff.getState().contains(pyatspi.STATE_ENABLED):
            fail("\"Logoff\" is not enabled while logged in")
        logoff.queryAction().doAction(0)
        session_state("Logged off")
        if text_of(connected_to):
            fail("\"Connected To:\" still shows %r after logging off" % text_of(connected_to))

        url_field.queryEditableText().setTextContents("ftp://127.0.0.1:%d/" % closed_port())
        wait_for("\"Connect\" enabled again",
                 lambda: connect.getState().contains(pyatspi.STATE_ENABLED))
        connect.queryAction().doAction(0)
        session_state("Connect failed")

        qvex.send_signal(signal.SIGTERM)
        try:
            status = qvex.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            fail("Qvex3 did not end after SIGTERM")
        if status != CONNECT_FAILED:
            fail("Qvex3 ended with %d: %s" % (status, qvex.stderr.read()))
        if registry_options(config_home)[120:122] != "00":
            fail("SnapTo lost at exit")
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


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    program = os.path.abspath(sys.argv[1])
    screenshot = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else ""
    if os.environ.get("QVEX_E2E_INNER") == "1":
        inner(program, screenshot)
        return 0
    missing = [tool for tool in ("Xvfb", "dbus-run-session", "import")
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
                          env=env, timeout=120).returncode


if __name__ == "__main__":
    sys.exit(main())

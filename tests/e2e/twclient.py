"""The pieces every end-to-end run shares: a private environment (HOME, XDG folders, runtime folder,
session bus), the reference server, `tidewell login` and `tidewell --headless` (which starts
gatewarden), the mounts, waiting for the client to be idle, reading item records, and a second
client that speaks the server's own protocol. Used by tests/e2e/torture and tests/e2e/real_programs.
"""
import hashlib
import http.client
import json
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import unicodedata
import urllib.parse

XATTR = "user.com.meridot.tidewell"
OP_TIMEOUT = 90.0  # past this a file operation or command counts as stuck



_FRAME = re.compile(r"\((/[^()+]+)\+(0x[0-9a-fA-F]+)\)")


def symbolize(report):
    """Names the functions and lines of an unsymbolised sanitizer report's frames ("(binary+0xoffset)")."""
    symbolizer = shutil.which("llvm-symbolizer")
    if not symbolizer:
        return report

    def name(match):
        binary, offset = match.group(1), match.group(2)
        try:
            out = subprocess.run([symbolizer, "--obj", binary, offset], capture_output=True, text=True,
                                 timeout=30).stdout.strip().splitlines()
        except (OSError, subprocess.TimeoutExpired):
            return match.group(0)
        if len(out) < 2 or out[0] == "??":
            return match.group(0)
        return f"{out[0]} {out[1]}"
    return _FRAME.sub(name, report)

class Stuck(Exception):
    pass


class Failure(Exception):
    pass


def now():
    return time.monotonic()


def run_with_timeout(fn, timeout=OP_TIMEOUT, what="operation"):
    """Runs fn in a worker thread: a FUSE call that never returns must not hang the harness."""
    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the caller
            box["error"] = e

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(timeout)
    if t.is_alive():
        raise Stuck(f"{what} did not return within {timeout:.0f}s")
    if "error" in box:
        raise box["error"]
    return box.get("value")


def sha(data):
    return hashlib.sha256(data).hexdigest()[:16]


# ------------------------------------------------------------------------------------------ names

SINGLES = ['"', "*", ":", "<", ">", "?", "\\", "|"]


def to_server_name(name):
    """The client's local-to-server name mapping, for one name."""
    s = name
    for i, c in enumerate(SINGLES):
        s = s.replace(c, chr(0xF020 + i))
    if s.endswith(" "):
        s = s[:-1] + chr(0xF028)
    elif s.endswith("."):
        s = s[:-1] + chr(0xF029)
    return unicodedata.normalize("NFC", s)


def to_local_name(name):
    s = name
    restored = SINGLES + [" ", "."]
    for i, c in enumerate(restored):
        s = s.replace(chr(0xF020 + i), c)
    return unicodedata.normalize("NFC", s)


def server_rel(rel):
    return "/".join(to_server_name(p) for p in rel.split("/")) if rel else ""


def same_name(path):
    return unicodedata.normalize("NFC", path).casefold()


def quote_path(path):
    return urllib.parse.quote(path, safe="/")


# ------------------------------------------------------------------------------------------ server

class ServerApi:
    """A second client (and the administration endpoint), speaking the server's own protocol."""

    def __init__(self, port, user, password, version="1.5"):
        self.port, self.user, self.password = port, user, password
        self.base = f"/br/sync/{version}/"
        self.cookie = None

    def _request(self, method, target, body=None, headers=None, timeout=20):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            h = dict(headers or {})
            if self.cookie:
                h["Cookie"] = self.cookie
            conn.request(method, target, body=body, headers=h)
            r = conn.getresponse()
            data = r.read()
            cookie = r.getheader("Set-Cookie")
            if cookie:
                self.cookie = cookie.split(";")[0]
            return r.status, data, r.getheader("X-Revision")
        finally:
            conn.close()

    def admin(self, method, path, doc=None):
        body = json.dumps(doc).encode() if doc is not None else None
        status, data, _ = self._request(method, path, body, {"Content-Type": "application/json"})
        return status, data

    def logon(self):
        self.cookie = None
        body = urllib.parse.urlencode({"user_id": self.user, "password": self.password,
                                       "device_id": "torture", "platform": "linux"})
        status, _, _ = self._request("POST", self.base + "sessions", body)
        return status == 200

    def call(self, method, target, body=None, headers=None):
        """A request with the session; logs on again once when the session ended."""
        if not self.cookie and not self.logon():
            return 0, b"", None
        status, data, rev = self._request(method, target, body, headers)
        if status == 401:
            if not self.logon():
                return status, data, rev
            status, data, rev = self._request(method, target, body, headers)
        return status, data, rev

    def entry(self, path):
        status, data, _ = self.call("GET", self.base + "folders" + quote_path(path))
        if status != 200:
            return None
        return json.loads(data)

    def listing(self, path):
        status, data, _ = self.call("GET", self.base + "folders" + quote_path(path) +
                                    "?type=all&includeAll=true")
        if status != 200:
            return None
        return json.loads(data)

    def download(self, path):
        status, data, rev = self.call("GET", self.base + "folders" + quote_path(path) + "?revision=")
        if status != 200:
            return None, None
        return data, rev

    def upload(self, path, data, revision):
        b = "tortureboundary" + hashlib.md5(data).hexdigest()
        t = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())
        parts = []
        for k, v in [("operation", "create"), ("creation_time", t), ("modification_time", t),
                     ("size", str(len(data))), ("revision", revision)]:
            parts.append(f"\r\n--{b}\r\nContent-Disposition: form-data; name=\"{k}\"\r\n\r\n{v}".encode())
        parts.append(f"\r\n--{b}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f\"\r\n"
                     f"Content-Type: application/octet-stream\r\n\r\n".encode() + data)
        parts.append(f"\r\n--{b}--\r\n".encode())
        status, body, _ = self.call("POST", self.base + "folders" + quote_path(path), b"".join(parts),
                                    {"Content-Type": f"multipart/form-data; boundary={b}"})
        return status, body

    def delete(self, path, revision):
        status, body, _ = self.call("DELETE", self.base + "folders" + quote_path(path) + "?revision=" +
                                    urllib.parse.quote(revision, safe=""))
        return status, body

    def move(self, src, dst, revision):
        body = ("name=" + urllib.parse.quote(dst, safe="") + "&operation=move&overwrite=false&revision=" +
                urllib.parse.quote(revision, safe=""))
        status, data, _ = self.call("POST", self.base + "folders" + quote_path(src), body)
        return status, data

    def mkdir(self, parent, name):
        t = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())
        body = urllib.parse.urlencode({"name": name, "operation": "create", "creation_time": t,
                                       "modification_time": t}, quote_via=urllib.parse.quote)
        status, data, _ = self.call("POST", self.base + "folders" + quote_path(parent), body)
        return status, data

    def tree(self, root):
        """Server path (local naming, below `root`) -> ("dir", None, revision) or ("file", bytes,
        revision), read through the protocol."""
        tree = {}

        def walk(rel):
            listing = self.listing(root + ("/" + server_rel(rel) if rel else ""))
            if listing is None:
                raise Failure(f"the server did not list {root}/{rel}")
            for c in listing.get("contents", []):
                child = (rel + "/" if rel else "") + to_local_name(c["name"])
                if c["directory"]:
                    tree[child] = ("dir", None, c["revision"])
                    walk(child)
                else:
                    data, _ = self.download(root + "/" + server_rel(child))
                    tree[child] = ("file", data, c["revision"])
        walk("")
        return tree


def is_volume_marker(name):
    """Names a volume's root holds for this machine, never synchronised: the markers that keep desktop
    trash folders out, and the volume's icon with the desktop entry pointing at it."""
    return name.startswith(".Trash") or name.startswith(".VolumeIcon.") or name == ".directory"


def read_record(path):
    """An item's record as a dictionary of its lines ("Status" -> "Regular"); {} when it has none."""
    try:
        rec = os.getxattr(path, XATTR).decode(errors="replace")
    except OSError:
        return {}
    out = {}
    for line in rec.split("\n"):
        if ": " in line:
            k, v = line.split(": ", 1)
            out[k] = v
    return out


def age_listing(path):
    """Makes a folder's last listing two hours old, so a user's listing of it is not skipped as fresh."""
    try:
        rec = os.getxattr(path, XATTR).decode()
    except OSError:
        return
    lines = []
    for line in rec.split("\n"):
        # "LastServerListing: <date text> = <seconds since 2001>"
        if line.startswith("LastServerListing: ") and " = " in line:
            try:
                seconds = float(line.rsplit(" = ", 1)[1]) - 7200
            except ValueError:
                seconds = None
            if seconds is not None:
                text = time.strftime("%Y-%m-%d %H:%M:%S +0000", time.gmtime(seconds + 978307200))
                line = f"LastServerListing: {text} = {seconds!r}"
        lines.append(line)
    try:
        os.setxattr(path, XATTR, "\n".join(lines).encode())
    except OSError:
        pass


# ------------------------------------------------------------------------------------------ client

class ClientRun:
    """One private environment with the reference server and the real client. Subclasses provide
    `journal(text)` and `problem(check, text, paths=())`, and may override `prepare_home()`,
    `server_args()` and `shown_to_user()`."""

    user = "torture"
    password = "t0rture&pass"

    def __init__(self, bin_dir, work):
        self.bin = os.path.abspath(bin_dir)
        self.work = os.path.abspath(work)
        self.server_proc = None
        self.app_proc = None
        self.app_generation = 0
        self.bus_proc = None
        self.expected_deaths = set()
        self.port = None
        self.local_roots = {}
        # Where the reference server keeps its items; a subclass may put it elsewhere.
        self.server_root = os.path.join(self.work, "server")

    # ---------------------------------------------------------------- hooks

    def server_args(self):
        return []

    def prepare_home(self):
        pass

    def shown_to_user(self):
        pass

    # ---------------------------------------------------------------- environment

    def setup_environment(self):
        if os.path.exists(self.work):
            shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        w = self.work
        home = os.path.join(w, "home")
        env = dict(os.environ)
        env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local/share"),
            "XDG_STATE_HOME": os.path.join(home, ".local/state"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_CONFIG_DIRS": os.path.join(home, "xdg"),
            "XDG_RUNTIME_DIR": os.path.join(w, "run"),
            "TIDEWELL_VOLUMES_ROOT": os.path.join(w, "volumes"),
            "PATH": os.path.join(w, "bin") + ":" + os.environ.get("PATH", "/usr/bin:/bin"),
        })
        san = os.path.join(w, "sanitizer")
        os.makedirs(san)
        asan = os.environ.get("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        ubsan = os.environ.get("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        # Reports are written unsymbolised: symbolising takes seconds, and a process killed meanwhile
        # (the runs kill the client on purpose) would leave a report cut before its stacks. The check
        # symbolises them afterwards.
        env["ASAN_OPTIONS"] = asan + f":log_path={san}/asan:symbolize=0"
        env["UBSAN_OPTIONS"] = ubsan + f":log_path={san}/ubsan:symbolize=0"
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        for d in [home, env["XDG_CONFIG_HOME"], env["XDG_DATA_HOME"], env["XDG_STATE_HOME"],
                  env["XDG_CACHE_HOME"], env["XDG_RUNTIME_DIR"], env["TIDEWELL_VOLUMES_ROOT"],
                  os.path.join(w, "bin"), self.server_root,
                  os.path.join(env["XDG_CONFIG_HOME"], "meridot")]:
            os.makedirs(d, exist_ok=True)
        os.chmod(home, 0o700)
        os.chmod(env["XDG_RUNTIME_DIR"], 0o700)
        # Opening a file hands it to xdg-open: this one only notes the request.
        opener = os.path.join(w, "bin", "xdg-open")
        with open(opener, "w") as f:
            f.write(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> '{w}/opened.txt'\n")
        os.chmod(opener, 0o755)
        self.env = env
        self.home = home
        self.volumes = env["TIDEWELL_VOLUMES_ROOT"]
        self.run_dir = env["XDG_RUNTIME_DIR"]
        self.sanitizer_dir = san
        self.prepare_home()
        # A session bus of the run's own.
        self.bus_proc = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile",
             f"--address=unix:path={self.run_dir}/bus"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(f"{self.run_dir}/bus"):
                break
            time.sleep(0.05)
        env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={self.run_dir}/bus"

    def write_env_file(self):
        """Writes env.sh: the run's environment, to look at a held run by hand."""
        with open(os.path.join(self.work, "env.sh"), "w") as f:
            for k in ["HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME",
                      "XDG_CONFIG_DIRS", "XDG_RUNTIME_DIR", "TIDEWELL_VOLUMES_ROOT",
                      "DBUS_SESSION_BUS_ADDRESS", "PATH"]:
                f.write(f"export {k}='{self.env[k]}'\n")

    # ---------------------------------------------------------------- processes

    def start_server(self):
        port = self.port or 0
        log = open(os.path.join(self.work, "devserver.log"), "ab")
        self.server_proc = subprocess.Popen(
            [os.path.join(self.bin, "tidewell-devserver"), "--root", self.server_root,
             "--listen", f"127.0.0.1:{port}", "--user", f"{self.user}:{self.password}",
             *self.server_args()],
            stdout=subprocess.PIPE, stderr=log, env=self.env)
        line = self.server_proc.stdout.readline().decode()
        if not line.startswith("listening on "):
            raise Failure(f"the server did not start: {line!r}")
        self.port = int(line.strip().rsplit(":", 1)[1])
        self.adm = ServerApi(self.port, "", "")

    def stop_server(self):
        if self.server_proc and self.server_proc.poll() is None:
            self.server_proc.send_signal(signal.SIGTERM)
            try:
                # A request held by a delay fault finishes first (up to 65 s).
                code = self.server_proc.wait(90)
            except subprocess.TimeoutExpired:
                self.problem(4, "the server did not stop within 90s")
                self.server_proc.kill()
                code = self.server_proc.wait()
            if code != 0:
                self.problem(4, f"the server ended with {code}")
        self.server_proc = None

    def tidewell(self, *args, timeout=60, stdin=None):
        try:
            r = subprocess.run([os.path.join(self.bin, "tidewell"), *args], env=self.env,
                               capture_output=True, timeout=timeout, input=stdin)
        except subprocess.TimeoutExpired:
            self.problem(4, f"`tidewell {' '.join(args)}` did not answer within {timeout}s")
            return 124, ""
        return r.returncode, r.stdout.decode(errors="replace")

    def status(self):
        code, out = self.tidewell("status", "--json", timeout=30)
        if code != 0:
            return None
        try:
            return json.loads(out)
        except ValueError:
            return None

    def login(self):
        code, out = self.tidewell("login", "--server", f"127.0.0.1:{self.port}", "--protocol", "http",
                                  "--user", self.user, stdin=(self.password + "\n").encode())
        if code != 0:
            raise Failure(f"tidewell login failed: {out}")
        return code, out

    def start_app(self):
        self.app_generation += 1
        log = open(os.path.join(self.work, f"tidewell.{self.app_generation}.out"), "ab")
        self.app_proc = subprocess.Popen([os.path.join(self.bin, "tidewell"), "--headless"], env=self.env,
                                         stdout=log, stderr=log)
        deadline = now() + 60
        while now() < deadline:
            if self.app_proc.poll() is not None:
                raise Failure(f"tidewell --headless ended with {self.app_proc.returncode} at start")
            if self.tidewell("status", timeout=20)[0] == 0:
                return
            time.sleep(0.2)
        raise Failure("tidewell --headless did not answer within 60s")

    def app_alive(self):
        return self.app_proc is not None and self.app_proc.poll() is None

    def check_app(self):
        """An application that ended without our SIGKILL crashed."""
        if self.app_proc is not None and self.app_proc.poll() is not None:
            code = self.app_proc.returncode
            if self.app_proc.pid not in self.expected_deaths:
                self.problem(4, f"tidewell (pid {self.app_proc.pid}) ended by itself with {code}")
            self.start_app()

    def gatewarden_pids(self):
        pids = []
        marker = f"--socket {self.run_dir}/".encode()
        for p in os.listdir("/proc"):
            if not p.isdigit():
                continue
            try:
                with open(f"/proc/{p}/cmdline", "rb") as f:
                    cmd = f.read().replace(b"\0", b" ")
            except OSError:
                continue
            if b"gatewarden" in cmd and marker in cmd:
                pids.append(int(p))
        return pids

    def is_mounted(self, folder):
        try:
            return os.stat(folder).st_dev != os.stat(os.path.dirname(folder)).st_dev
        except OSError:
            return False

    def our_mounts(self):
        out = []
        with open("/proc/self/mountinfo") as f:
            for line in f:
                point = line.split()[4].encode().decode("unicode_escape")
                if point.startswith(self.work):
                    out.append(point)
        return out

    def ensure_mounted(self, mountable, timeout=90):
        """Waits until every local root is mounted, asking for the mount of each name in `mountable`
        once it is listed."""
        deadline = now() + timeout
        asked = set()
        while now() < deadline:
            missing = [a for a, root in self.local_roots.items() if not self.is_mounted(root)]
            if not missing:
                return True
            for a in missing:
                if a in mountable and a not in asked:
                    code, _ = self.tidewell("volumes", timeout=20)
                    if code == 0 and self.tidewell("mount", a, timeout=20)[0] == 0:
                        asked.add(a)
            time.sleep(0.3)
        return False

    def wait_volumes(self, names):
        deadline = now() + 90
        while now() < deadline:
            code, out = self.tidewell("volumes", timeout=20)
            if code == 0 and all(n in out for n in names):
                return
            time.sleep(0.3)
        raise Failure("the mappoints did not arrive")

    def wait_idle(self, timeout, stable_needed=4, poll=0.5):
        """Waits until the client has had nothing to do for a few looks in a row; its status then, or
        None (a problem) when that never happened within `timeout` seconds."""
        deadline = now() + timeout
        stable = 0
        while now() < deadline:
            self.check_app()
            self.shown_to_user()
            code, out = self.tidewell("script", "idle", timeout=30)
            # The status reads the record of every item to count those in error: asked for only once
            # the client says it is idle, so that waiting does not load the client it waits for.
            s = self.status() if out.strip() == "true" else None
            if (s and s.get("pendingEvents") == 0 and s.get("activity") == "idle" and out.strip() == "true"
                    and not s.get("passwordRequired")):
                stable += 1
                if stable >= stable_needed:
                    return s
            else:
                stable = 0
            time.sleep(poll)
        self.problem(4, f"the client was not idle after {timeout:.0f}s of quiet: {self.status()}")
        return None

    def log_text(self):
        try:
            with open(os.path.join(self.env["XDG_STATE_HOME"], "Meridot", "Tidewell.log"),
                      errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def check_sanitizers(self):
        for f in sorted(os.listdir(self.sanitizer_dir)):
            with open(os.path.join(self.sanitizer_dir, f), errors="replace") as fh:
                text = symbolize(fh.read())
            self.problem(4, f"sanitizer report {f}:\n{text[:8000]}")

    def shutdown(self):
        self.journal("SHUTDOWN")
        if self.app_alive():
            self.tidewell("quit", timeout=30)
            try:
                rc = self.app_proc.wait(90)
                if rc != 0:
                    self.problem(4, f"tidewell quit ended with {rc}")
            except subprocess.TimeoutExpired:
                self.problem(4, "tidewell did not stop within 90s of `tidewell quit`")
                self.app_proc.kill()
                self.app_proc.wait()
        for pid in self.gatewarden_pids():
            os.kill(pid, signal.SIGTERM)
        deadline = now() + 30
        while self.gatewarden_pids() and now() < deadline:
            time.sleep(0.1)
        if self.gatewarden_pids():
            self.problem(4, "gatewarden did not stop within 30s of SIGTERM")
            for pid in self.gatewarden_pids():
                os.kill(pid, signal.SIGKILL)
        left = self.our_mounts()
        if left:
            self.problem(4, f"FUSE mounts left behind: {left}")
            for m in left:
                subprocess.run(["fusermount3", "-u", "-z", m], capture_output=True)
        self.stop_server()
        if self.bus_proc:
            self.bus_proc.terminate()
            self.bus_proc.wait()

    @staticmethod
    def usable_here():
        """Why the machine cannot run the client for real, or None when it can."""
        if not os.access("/dev/fuse", os.R_OK | os.W_OK):
            return "/dev/fuse is not usable here"
        if not shutil.which("dbus-daemon"):
            return "no dbus-daemon for a private session bus"
        return None

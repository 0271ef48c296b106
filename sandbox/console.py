#!/usr/bin/env python3
"""A whole simulated speaker on a PC, and a console that plays the world
around callctld: the SIP user agent's bridge, the buttons, the volume service.

It lays out a device root in a temporary folder, starts a private
redis-server on its "/tmp/redis.sock", and runs the real callctld (debug on)
in it. Everything the daemon sends on the bus, every program it asks the
stand-ins to run, new operation-log rows and call-detail lines are shown as
they happen. Commands come from the keyboard or from a scenario file, where
`expect TEXT` lines make the scenario a test.

Usage: console.py --build BUILD_DIR [--scenario FILE] [--keep] [--verbose]
"""

import argparse
import os
import queue
import re
import shutil
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def emulated(argv):
    """The built programs run under CALLCTLD_EMULATOR when it is set (blank-
    separated words): a cross-built daemon and harness under qemu."""
    return shlex.split(os.environ.get("CALLCTLD_EMULATOR", "")) + argv


# ---- a minimal Redis client over the Unix socket ---------------------------

class Resp:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buf = b""

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def send(self, *args):
        out = [b"*%d\r\n" % len(args)]
        for a in args:
            a = a if isinstance(a, bytes) else str(a).encode()
            out.append(b"$%d\r\n%s\r\n" % (len(a), a))
        self.sock.sendall(b"".join(out))

    def _line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("redis closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _exact(self, n):
        while len(self.buf) < n + 2:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("redis closed")
            self.buf += chunk
        data, self.buf = self.buf[:n], self.buf[n + 2:]
        return data

    def reply(self):
        line = self._line()
        kind, rest = line[:1], line[1:]
        if kind in (b"+", b"-"):
            return rest.decode(errors="replace")
        if kind == b":":
            return int(rest)
        if kind == b"$":
            n = int(rest)
            return None if n < 0 else self._exact(n).decode(errors="replace")
        if kind == b"*":
            n = int(rest)
            return None if n < 0 else [self.reply() for _ in range(n)]
        raise ValueError("bad reply %r" % line)

    def cmd(self, *args):
        self.send(*args)
        return self.reply()


# ---- output -----------------------------------------------------------------

COLOURS = {"syslog": "2;36", "control": "33", "output": "35", "screen": "36", "volume": "34", "journal": "32",
           "oplog": "37", "cdr": "1;37", "daemon": "2", "harness": "36", "state": "1;33", "console": "1",
           "error": "1;31", "expect": "1;32"}


class Screen:
    """Everything shown, with a record that `expect` searches."""

    def __init__(self, colour):
        self.colour = colour
        self.lock = threading.Lock()
        self.seen = []          # (tag, text) in arrival order
        self.cursor = 0         # expect looks at what arrived since the last command
        self.changed = threading.Condition(self.lock)

    def show(self, tag, text):
        with self.lock:
            self.seen.append((tag, text))
            self.changed.notify_all()
        line = "%-8s %s" % ("[" + tag + "]", text)
        if self.colour:
            line = "\033[%sm%s\033[0m" % (COLOURS.get(tag, "0"), line)
        print(line, flush=True)

    def mark(self):
        """A new command: expectations look at what happens from here on."""
        with self.lock:
            self.cursor = len(self.seen)

    def expect(self, needle, timeout):
        """Waits until a shown line holds needle; returns (ok, lines seen)."""
        deadline = time.time() + timeout
        with self.lock:
            while True:
                for i in range(self.cursor, len(self.seen)):
                    tag, text = self.seen[i]
                    if tag in ("console", "expect"):
                        continue
                    if needle in "[%s] %s" % (tag, text):
                        return True, []
                left = deadline - time.time()
                if left <= 0:
                    return False, ["[%s] %s" % s for s in self.seen[self.cursor:]
                                   if s[0] not in ("console", "expect")]
                self.changed.wait(left)


# ---- the simulated device -----------------------------------------------------

class Sandbox:
    def __init__(self, build, screen, keep=False, verbose=False):
        self.verbose = verbose
        self.build = build
        self.screen = screen
        self.keep = keep
        self.root = tempfile.mkdtemp(prefix="callctld-sandbox-")
        self.procs = []
        self.threads = []
        self.stopping = threading.Event()
        self.conns = []
        self.calls = {}         # call number: (direction, peer uri), as the console shows them
        self.last_call = None
        self.clock_offset = 0   # seconds the daemon's clock runs ahead of the host's

    # paths
    def dev(self, p):
        return self.root + p

    @property
    def sock(self):
        return self.dev("/tmp/redis.sock")

    def start(self, clock=None):
        subprocess.run(["sh", os.path.join(HERE, "setup-root.sh"), self.root], check=True)
        if clock:
            # before the daemon starts, so that its first minute is already this one
            self.set_clock(parse_clock(clock))
        conf = self.dev("/tmp/redis-sandbox.conf")
        with open(conf, "w") as f:
            f.write("port 0\nunixsocket %s\nunixsocketperm 700\nsave \"\"\nappendonly no\n"
                    "daemonize no\nloglevel warning\ndir %s\n" % (self.sock, self.dev("/tmp")))
        self.redis = self._spawn(["redis-server", conf], self.dev("/redis.out"))
        self._wait_socket()
        self._syslog()
        self._start_daemon()
        self._follow_file(self.dev("/callctld.out"), "daemon", self._daemon_line)
        self._follow_file(self.dev("/journal"), "journal")
        self._follow_file(self.dev("/userdata/system.csv"), "oplog")
        self._follow_file(self.dev("/userdata/cdr.csv"), "cdr")
        self._watch_gpio()
        for ch, tag in (("screen-channel", "screen"), ("volume-event-channel", "volume")):
            self._subscribe(ch, tag)
        for lst, tag in (("control-channel", "control"), ("output-channel", "output")):
            self._consume(lst, tag)
        self.bus = Resp(self.sock)
        self._wait_listening()

    def _wait_listening(self):
        # events published before the daemon listens would be lost
        for _ in range(1000):
            r = self.bus.cmd("PUBSUB", "NUMSUB", "session-channel")
            if self.daemon.poll() is not None or (isinstance(r, list) and int(r[1]) > 0):
                break
            time.sleep(0.01)
        # the input loop watches the GPIO files right after the threads start;
        # a level written before that would never be seen
        for _ in range(1000):
            if self.daemon.poll() is not None or self._input_watches() >= 2:
                break
            time.sleep(0.01)

    def _input_watches(self):
        # inotify watches the daemon's process holds (under an emulator, the
        # emulator's process holds them for it)
        watches = 0
        fds = "/proc/%d/fd" % self.daemon.pid
        try:
            names = os.listdir(fds)
        except OSError:
            return 0
        for name in names:
            try:
                if os.readlink(os.path.join(fds, name)) != "anon_inode:inotify":
                    continue
                with open("/proc/%d/fdinfo/%s" % (self.daemon.pid, name)) as info:
                    watches += sum(1 for line in info if line.startswith("inotify wd:"))
            except OSError:
                continue
        return watches

    def _start_daemon(self):
        env = dict(os.environ)
        env["CALLCTLD_ROOT"] = self.root
        env["PATH"] = self.dev("/standin-bin") + ":" + env.get("PATH", "/usr/bin:/bin")
        self.daemon = self._spawn(emulated([os.path.join(self.build, "service/daemon/callctld"), "debug"]),
                                  self.dev("/callctld.out"), env)

    def restart(self):
        """Kills the daemon at once, as a crash or a power cut would, and
        starts it again; the bus and the files stay."""
        try:
            os.killpg(self.daemon.pid, signal.SIGKILL)
        except OSError:
            pass
        self.daemon.wait()
        self.procs.remove(self.daemon)
        self._start_daemon()
        self._wait_listening()

    def _syslog(self):
        # the site's syslog daemon, as far as the speaker sees it: a datagram
        # socket at "/dev/log"; each message is shown as it arrives
        os.makedirs(self.dev("/dev"), exist_ok=True)
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        s.bind(self.dev("/dev/log"))
        s.settimeout(0.2)
        self.conns.append(s)

        def run():
            while not self.stopping.is_set():
                try:
                    data = s.recv(4096)
                except socket.timeout:
                    continue
                except OSError:
                    return
                self.screen.show("syslog", data.decode(errors="replace"))
        self._thread(run)

    def _spawn(self, argv, out_path, env=None):
        out = open(out_path, "ab")
        p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, env=env,
                             start_new_session=True)
        out.close()
        self.procs.append(p)
        return p

    def _wait_socket(self):
        for _ in range(500):
            try:
                Resp(self.sock).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("redis-server did not come up")

    def _thread(self, fn):
        t = threading.Thread(target=fn, daemon=True)
        t.start()
        self.threads.append(t)

    def _follow_file(self, path, tag, filt=None):
        def run():
            pos = 0
            partial = ""
            while not self.stopping.is_set():
                try:
                    with open(path, "r", errors="replace") as f:
                        size = os.fstat(f.fileno()).st_size
                        if size < pos:
                            pos = 0
                        f.seek(pos)
                        data = f.read()
                        pos = f.tell()
                except FileNotFoundError:
                    data = ""
                if data:
                    partial += data
                    *done, partial = partial.split("\n")
                    for line in done:
                        if filt is None or filt(line):
                            self.screen.show(tag, line)
                time.sleep(0.05)
        self._thread(run)

    def _daemon_line(self, line):
        m = re.match(r"Baresip Status is: (\d+)", line)
        if m:
            names = {"0": "idle", "1": "established", "2": "ringing", "3": "outgoing",
                     "5": "no registered account", "6": "dial requested"}
            self.screen.show("state", "call state %s (%s)" % (m.group(1), names.get(m.group(1), "?")))
        # operation-log rows are shown from the file; their console echo and the
        # settings look-ups are noise unless asked for
        if self.verbose:
            return True
        return not (re.match(r"\d\d:\d\d:\d\d INFO  main:274:", line) or line.startswith("keystr: ")
                    or re.match(r"(current date|holiday start|holiday end): ", line)
                    or line.startswith("opnLog [") or line.startswith("Baresip Status is: "))

    def _watch_gpio(self):
        outs = {"/sys/class/gpio/gpio5/value": "amplifier", "/sys/class/gpio/gpio143/value": "AI line",
                "/sys/class/gpio/gpio134/value": "AI line (134)"}

        def run():
            last = {}
            while not self.stopping.is_set():
                for p, name in outs.items():
                    try:
                        v = open(self.dev(p)).read().strip()
                    except OSError:
                        continue
                    if p in last and last[p] != v:
                        self.screen.show("output", "%s %s" % (name, "on" if v == "1" else "off"))
                    last[p] = v
                time.sleep(0.05)
        self._thread(run)

    def _subscribe(self, channel, tag):
        c = Resp(self.sock)
        self.conns.append(c)
        c.cmd("SUBSCRIBE", channel)

        def run():
            while not self.stopping.is_set():
                try:
                    r = c.reply()
                except (OSError, ConnectionError, ValueError):
                    return
                if isinstance(r, list) and len(r) == 3 and r[0] == "message":
                    self.screen.show(tag, r[2])
        self._thread(run)

    def _consume(self, lst, tag):
        # the peers take commands off their lists; so does the sandbox
        c = Resp(self.sock)
        self.conns.append(c)

        def run():
            while not self.stopping.is_set():
                try:
                    r = c.cmd("BRPOP", lst, "1")
                except (OSError, ConnectionError, ValueError):
                    return
                if isinstance(r, list) and len(r) == 2:
                    self.screen.show(tag, r[1])
        self._thread(run)

    def stop(self):
        # a second Ctrl-C must not cut the clean-up short
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        self.stopping.set()
        for c in self.conns:
            c.close()
        for p in reversed(self.procs):
            # each started program leads its own process group, which also
            # holds what it started (players, curl, scripts)
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except OSError:
                pass
            p.wait()
        for t in self.threads:
            t.join(timeout=2)
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    # ---- the daemon's clock ----
    # In a device root the daemon adds the seconds of its /clock_offset file to
    # the wall clock; nothing else of the host changes.
    def set_clock(self, epoch):
        self.clock_offset = int(epoch) - int(time.time())
        with open(self.dev("/clock_offset.new"), "w") as f:
            f.write("%d\n" % self.clock_offset)
        os.replace(self.dev("/clock_offset.new"), self.dev("/clock_offset"))

    def clock_now(self):
        return time.time() + self.clock_offset

    def clock_text(self):
        return time.strftime("%Y-%m-%d %H:%M:%S %Z, %A", time.localtime(self.clock_now()))

    # ---- the in-process schedule harness ----
    def harness(self, line):
        """Forwards one command to the schedule harness, started on first use.
        The harness runs the same evaluation, players and priorities against
        this device for any minute it is given; the daemon's own driver (on in
        the sandbox's settings) evaluates the minutes of the daemon's clock."""
        if getattr(self, "harness_proc", None) is None:
            exe = os.path.join(self.build, "sandbox/harness/schedule-harness")
            if not os.path.exists(exe):
                raise ValueError("schedule-harness is not built (%s)" % exe)
            env = dict(os.environ)
            env["CALLCTLD_ROOT"] = self.root
            env["PATH"] = self.dev("/standin-bin") + ":" + env.get("PATH", "/usr/bin:/bin")
            self.harness_proc = subprocess.Popen(emulated([exe]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                                 stderr=subprocess.STDOUT, env=env, text=True,
                                                 start_new_session=True)
            self.procs.append(self.harness_proc)

            def run():
                for out in self.harness_proc.stdout:
                    self.screen.show("harness", out.rstrip("\n"))
            self._thread(run)
        self.harness_proc.stdin.write(line + "\n")
        self.harness_proc.stdin.flush()

    # ---- settings ----
    def setting_file(self, section):
        if section == "volume":
            return self.dev("/oem/etc/volctrl.conf")
        if section.startswith("schedule_") or section in ("holidays", "driver"):
            return self.dev("/oem/etc/schedule.conf")
        return self.dev("/etc/speaker.conf")

    def get(self, key):
        section, name = key.split(":", 1)
        cur = None
        for line in open(self.setting_file(section)):
            s = line.strip()
            if s.startswith("["):
                cur = s.strip("[]").strip().lower()
            elif cur == section.lower() and "=" in s and s.split("=", 1)[0].strip().lower() == name.lower():
                return s.split("=", 1)[1].strip()
        return ""

    def set(self, key, value):
        path = self.setting_file(key.split(":", 1)[0])
        tmp = path + ".new"
        with open(tmp, "w") as f:
            f.write(with_setting(open(path).read(), key, value))
        os.replace(tmp, path)

    def identity(self, n):
        user = self.get("account_info_%d:username" % n)
        host = self.get("account_info_%d:domain" % n) or self.get("account_info_%d:server" % n)
        return "sip:%s@%s" % (user, host)

    # ---- the user agent's bridge ----
    def publish(self, obj_text):
        self.bus.cmd("PUBLISH", "session-channel", obj_text)

    def event(self, **members):
        import json
        self.publish(json.dumps(members))

    # A call as the user agent reports it: every call event carries "class",
    # "id" and "peeruri"; the console numbers the calls @1, @2, ...
    def start_call(self, direction, number):
        n = len(self.calls) + 1
        host = "192.168.1.20" if direction == "incoming" else "192.168.1.10"
        self.calls[n] = (direction, "sip:%s@%s" % (number, host))
        self.last_call = n
        self.screen.show("console", "call @%d: %s %s" % (n, direction, number))
        self.call_event(n, "CALL_INCOMING" if direction == "incoming" else "CALL_OUTGOING")

    def pick_call(self, args):
        picked = [a for a in args if a.startswith("@") and a[1:].isdigit()]
        words = [a for a in args if a not in picked]
        n = int(picked[-1][1:]) if picked else self.last_call
        return (n if n in self.calls else None), words

    def call_event(self, n, kind, **more):
        direction, peer = self.calls[n]
        self.event(type=kind, direction=direction, peeruri=peer, accountaor=self.identity(1),
                   id="sandbox-call-%d" % n, **dict({"class": "call"}, **more))


HELP = """commands:
  press                      press the call button
  hold N                     hold the reset input for N seconds
  register [N] [ok|fail [reason]]  registration of account N (default 1)
  incoming NUMBER            an incoming call from NUMBER; the console names it @1, @2, ...
  outgoing NUMBER            the user agent reports an outgoing call to NUMBER (named the same way)
  answer [@N]                the call is established (without @N: the latest call)
  dtmf KEYS [@N]             the far end of the call presses KEYS (one event per key)
  close [@N] [REASON]        the call closes
  exit-ua                    the user agent exits
  restart                    kill callctld at once (as a crash would) and start it again
  listing                    the user agent lists its user agents (peer-to-peer check)
  volume N                   the volume service publishes audio_volume N
  set SECTION:KEY VALUE      edit a setting (speaker.conf, volctrl.conf or schedule.conf)
  get SECTION:KEY            show a setting
  publish JSON               publish a raw session-channel event
  clock                      show the daemon's clock
  clock set YYYY-MM-DD HH:MM[:SS] [UTC]  set the daemon's clock (local time, or UTC)
  clock +N | clock -N        move the daemon's clock by N minutes
  minute Y M D H MIN WDAY    evaluate the audio schedule for that minute (in-process harness)
  schedule-state             show the scheduled entries that play or pause
  write PATH TEXT            write a file of the device root (e.g. /vlc_item_ms 300)
  where                      show where everything lives
  sleep S                    wait S seconds
  expect [-t S] TEXT         wait until a shown line contains TEXT (scenario test)
  absent S TEXT              fail if a line containing TEXT is shown within S seconds
  help, quit
scenario files may begin with:
  @tz ZONE                   the time zone of the daemon (e.g. Europe/Berlin)
  @clock YYYY-MM-DD HH:MM[:SS]  the daemon's clock at start (scenarios start at
                             2031-03-05 03:00, a quiet Wednesday night, unless given)"""


def with_setting(text, key, value):
    """The settings file text with "section:key" set to value."""
    section, name = key.split(":", 1)
    out, cur, done, seen_section = [], None, False, False
    for line in text.splitlines():
        s = line.strip()
        if s.startswith("["):
            if cur == section and not done:
                out.append("%s = %s" % (name, value))
                done = True
            cur = s.strip("[]").strip()
            seen_section = seen_section or cur == section
        elif cur == section and "=" in s and s.split("=", 1)[0].strip() == name:
            out.append("%s = %s" % (name, value))
            done = True
            continue
        out.append(line)
    if not done:
        if not seen_section:
            out.append("[%s]" % section)
        out.append("%s = %s" % (name, value))
    return "\n".join(out) + "\n"


def parse_clock(text):
    """ "YYYY-MM-DD HH:MM[:SS] [UTC]" as seconds since the epoch."""
    import calendar
    words = text.split()
    utc = len(words) == 3 and words[2] == "UTC"
    if len(words) != (3 if utc else 2):
        raise ValueError("a time is YYYY-MM-DD HH:MM[:SS] [UTC]")
    fmt = "%Y-%m-%d %H:%M:%S" if words[1].count(":") == 2 else "%Y-%m-%d %H:%M"
    tm = time.strptime(words[0] + " " + words[1], fmt)
    return calendar.timegm(tm) if utc else time.mktime(tm)


def run_command(sb, screen, line, timeout_default):
    words = line.split()
    if not words or words[0].startswith("#"):
        return True
    cmd, args = words[0], words[1:]
    rest = line.strip()[len(cmd):].strip()
    if cmd != "expect":
        screen.mark()
    if cmd in ("quit", "exit", "q"):
        return False
    if cmd == "help":
        print(HELP)
    elif cmd == "where":
        print("device root: %s\nredis socket: %s\ndaemon output: %s\njournal: %s\noperation log: %s\n"
              "call details: %s\nsyslog socket: %s\nwhat will play: %s schedule --root %s" % (
                  sb.root, sb.sock, sb.dev("/callctld.out"), sb.dev("/journal"), sb.dev("/userdata/system.csv"),
                  sb.dev("/userdata/cdr.csv"), sb.dev("/dev/log"), os.path.join(sb.build, "callctl/callctl"), sb.root))
    elif cmd == "press":
        screen.show("console", "call button pressed")
        subprocess.run(["sh", os.path.join(HERE, "gpio.sh"), sb.root, "press"], check=True)
    elif cmd == "hold":
        screen.show("console", "reset input held %s s" % args[0])
        subprocess.run(["sh", os.path.join(HERE, "gpio.sh"), sb.root, "hold", args[0]], check=True)
    elif cmd == "register":
        n = int(args[0]) if args else 1
        ok = len(args) < 2 or args[1] == "ok"
        if ok:
            sb.event(type="REGISTER_OK", accountaor=sb.identity(n), param="200 OK", **{"class": "register"})
        else:
            reason = " ".join(args[2:]) or "408 Request Timeout"
            sb.event(type="REGISTER_FAIL", accountaor=sb.identity(n), param=reason)
    elif cmd in ("incoming", "outgoing"):
        sb.start_call(cmd, args[0])
    elif cmd in ("answer", "dtmf", "close"):
        # an optional "@N" anywhere names the call; without it, the latest
        n, words = sb.pick_call(args)
        if n is None:
            screen.show("console", "no such call")
        elif cmd == "answer":
            sb.call_event(n, "CALL_ESTABLISHED")
        elif cmd == "dtmf":
            for k in "".join(words):
                sb.call_event(n, "CALL_DTMF_START", param=k)
                time.sleep(0.05)
        else:
            sb.call_event(n, "CALL_CLOSED", param=" ".join(words) or "Connection reset by user")
    elif cmd == "restart":
        screen.show("console", "callctld killed and started again")
        sb.restart()
    elif cmd == "exit-ua":
        sb.event(type="EXIT")
    elif cmd == "listing":
        sb.event(event=False, data="\n--- User Agents (1) ---\n0 - %s\n" % sb.identity(1))
    elif cmd == "volume":
        sb.bus.cmd("PUBLISH", "volume-value-channel", '{"audio_volume": %d}' % int(args[0]))
    elif cmd == "set":
        key, value = args[0], " ".join(args[1:])
        sb.set(key, value)
        screen.show("console", "%s = %s" % (key, value))
    elif cmd == "get":
        print("%s = %s" % (args[0], sb.get(args[0])))
    elif cmd == "write":
        path = sb.dev(args[0])
        with open(path, "w") as f:
            f.write(" ".join(args[1:]) + "\n")
        screen.show("console", "wrote %s" % args[0])
    elif cmd == "clock":
        if args and args[0] == "set":
            sb.set_clock(parse_clock(" ".join(args[1:])))
        elif args and re.match(r"^[+-]\d+$", args[0]):
            sb.set_clock(sb.clock_now() + int(args[0]) * 60)
        elif args:
            raise ValueError("clock, clock set TIME, clock +N or clock -N")
        screen.show("console", "daemon clock: %s" % sb.clock_text())
    elif cmd == "absent":
        t, needle = float(args[0]), " ".join(args[1:])
        ok, _ = screen.expect(needle, t)
        if ok:
            raise ExpectFailed("no " + needle, [needle])
        screen.show("expect", "ok: no %s for %s s" % (needle, args[0]))
    elif cmd == "minute":
        sb.harness("minute " + " ".join(args))
    elif cmd == "schedule-state":
        sb.harness("state")
    elif cmd == "publish":
        sb.publish(rest)
    elif cmd == "sleep":
        time.sleep(float(args[0]))
    elif cmd == "expect":
        t = timeout_default
        if args and args[0] == "-t":
            t, args = float(args[1]), args[2:]
            rest = " ".join(args)
        ok, got = screen.expect(rest, t)
        if not ok:
            raise ExpectFailed(rest, got)
        screen.show("expect", "ok: %s" % rest)
    else:
        print("unknown command %r (help lists them)" % cmd)
    return True


class ExpectFailed(Exception):
    def __init__(self, needle, got):
        super().__init__(needle)
        self.needle = needle
        self.got = got


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--scenario")
    ap.add_argument("--keep", action="store_true", help="keep the device root folder")
    ap.add_argument("--verbose", action="store_true", help="show every line the daemon prints")
    ap.add_argument("--timeout", type=float, default=15.0, help="default expect time-out (s)")
    ap.add_argument("--clock", help="the daemon's clock at start: YYYY-MM-DD HH:MM[:SS] (default: the host's; "
                    "scenarios: 2031-03-05 03:00, or their @clock line)")
    ap.add_argument("--tz", help="the daemon's time zone (default: the host's; scenarios: their @tz line)")
    opts = ap.parse_args()

    # a scenario states its zone and its clock in its @ lines; without them it
    # starts at a quiet minute, so that it does not depend on the hour it runs at
    headers = {}
    if opts.scenario:
        with open(opts.scenario) as f:
            for line in f:
                m = re.match(r"^@(tz|clock)\s+(.+?)\s*$", line)
                if m:
                    headers[m.group(1)] = m.group(2)
        headers.setdefault("clock", "2031-03-05 03:00")
    tz = opts.tz or headers.get("tz")
    if tz:
        os.environ["TZ"] = tz
        time.tzset()
    clock = opts.clock or headers.get("clock")

    colour = sys.stdout.isatty() and os.environ.get("TERM", "dumb") != "dumb" and "NO_COLOR" not in os.environ
    screen = Screen(colour)
    sb = Sandbox(opts.build, screen, keep=opts.keep, verbose=opts.verbose)

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    # also when started from a shell that ignores Ctrl-C for background jobs
    signal.signal(signal.SIGINT, signal.default_int_handler)
    status = 0
    try:
        sb.start(clock)
        if opts.scenario:
            with open(opts.scenario) as f:
                for lineno, line in enumerate(f, 1):
                    if line.startswith("@"):
                        continue
                    if line.strip() and not line.lstrip().startswith("#"):
                        screen.show("console", "> " + line.strip())
                    try:
                        run_command(sb, screen, line, opts.timeout)
                    except ExpectFailed as e:
                        screen.show("error", "%s:%d: expected a line containing %r; appeared instead:"
                                    % (opts.scenario, lineno, e.needle))
                        for g in e.got[-40:] or ["(nothing)"]:
                            print("    " + g)
                        status = 1
                        break
            if sb.daemon.poll() is not None and status == 0:
                screen.show("error", "callctld ended with status %d" % sb.daemon.returncode)
                status = 1
        else:
            run_command(sb, screen, "where", opts.timeout)
            run_command(sb, screen, "clock", opts.timeout)
            print(HELP)
            while True:
                try:
                    line = input("callctld> ")
                except EOFError:
                    break
                try:
                    if not run_command(sb, screen, line, opts.timeout):
                        break
                except ExpectFailed as e:
                    screen.show("error", "expected %r; not seen" % e.needle)
                except (ValueError, IndexError) as e:
                    print("bad command: %s" % e)
    except KeyboardInterrupt:
        status = 130
    finally:
        sb.stop()
    sys.exit(status)


if __name__ == "__main__":
    main()

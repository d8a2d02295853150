"""The real agent for the agent benchmarks and the soak: its signed bundle run from under /Applications in a private
mount namespace, peers signed by the build's development authority, and readings of the agent's process."""

import base64
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

AGENT_ID = "Q7RM2KX9WD.com.tessaly.browser-helper"
AGENT_BUNDLE = "Tessaly Browser Helper.app"


class HarnessError(Exception):
    pass


def enter_private_applications(script, arguments):
    """Runs `script` again as root in a private mount namespace with a tmpfs on /Applications; returns there."""
    if os.environ.get("TESSALY_BENCH_INSIDE") == "1":
        return
    if os.geteuid() != 0:
        sys.exit(f"{os.path.basename(script)}: needs root, for a private mount namespace with its own /Applications")
    os.makedirs("/Applications", exist_ok=True)
    inner = ["sh", "-c", 'mount -t tmpfs tmpfs /Applications && exec "$@"', "sh", sys.executable, script, *arguments]
    result = subprocess.run(["unshare", "--mount", "--propagation", "private", *inner],
                            env=dict(os.environ, TESSALY_BENCH_INSIDE="1"))
    sys.exit(result.returncode)


def wait_for(condition, what, patience=20.0):
    deadline = time.monotonic() + patience
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.02)
    raise HarnessError(f"gave up waiting for {what}")


def b64(data):
    return base64.b64encode(data).decode()


class ProcessReadings:
    """Resident memory, open descriptors and threads of one process, from /proc."""

    def __init__(self, pid):
        self.pid = pid

    def rss_kib(self):
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def descriptors(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def threads(self):
        return len(os.listdir(f"/proc/{self.pid}/task"))

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Peer:
    """One `tessaly-peer session`: commands in as JSON lines, events out as JSON lines, read on a thread."""

    def __init__(self, program, env, log, answer=False):
        arguments = [program, "session"] + (["--answer", "echo"] if answer else [])
        self.process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                                        env=env, text=True, bufsize=1)
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            try:
                self.events.put(json.loads(line))
            except ValueError:
                pass
        self.events.put({"event": "exited"})

    def command(self, **command):
        try:
            self.process.stdin.write(json.dumps(command) + "\n")
            self.process.stdin.flush()
            return True
        except (BrokenPipeError, ValueError, OSError):
            return False

    def drain(self):
        """Every event that has arrived so far."""
        got = []
        while True:
            try:
                got.append(self.events.get_nowait())
            except queue.Empty:
                return got

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()


class Agent:
    """The signed agent bundle copied to /Applications, and signed peers made from tessaly-peer."""

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.bin = os.path.join(self.build, "bin")
        self.scratch = tempfile.mkdtemp(prefix="tessaly-bench-agent-")
        self.process = None
        self.log_path = os.path.join(self.scratch, "agent.log")
        self.opened_path = os.path.join(self.scratch, "opened")
        self.env = dict(os.environ,
                        TESSALY_XPC_DIR=os.path.join(self.scratch, "xpc"),
                        TESSALY_TRUST_ANCHORS=os.path.join(self.build, "dev-pki", "anchors"),
                        TESSALY_LOG="stderr",
                        TESSALY_URL_OPENER=os.path.join(self.scratch, "open-url"))
        for name in [n for n in self.env if n.startswith("LISTEN_")]:
            del self.env[name]
        self.set_opener(0)

    def set_opener(self, seconds):
        """The URL opener: records each start, then takes `seconds` to start the handler."""
        with open(self.env["TESSALY_URL_OPENER"], "w") as opener:
            opener.write(f'#!/bin/sh\necho "$1" >> "{self.opened_path}"\nsleep {seconds}\n')
        os.chmod(self.env["TESSALY_URL_OPENER"], 0o755)

    def openers_started(self):
        try:
            with open(self.opened_path) as opened:
                return sum(1 for _ in opened)
        except FileNotFoundError:
            return 0

    @property
    def socket(self):
        return os.path.join(self.env["TESSALY_XPC_DIR"], AGENT_ID)

    def tool(self, *arguments):
        result = subprocess.run([os.path.join(self.bin, arguments[0]), *arguments[1:]], env=self.env,
                                capture_output=True, text=True, timeout=60)
        if result.returncode != 0:
            raise HarnessError(f"{' '.join(arguments)} failed: {result.stderr.strip()}")
        return result

    def signed_copy(self, source, name):
        """A copy of `source` signed by the agent's team: an extension peer (no bundle)."""
        target = os.path.join(self.scratch, name)
        shutil.copy2(source, target)
        self.tool("tessaly-codesign", "sign", "--identity",
                  os.path.join(self.build, "dev-pki", "identities", "developer-id"),
                  "--identifier", f"com.tessaly.bench.{name}", target)
        return target

    def extension_program(self):
        return self.signed_copy(os.path.join(self.bin, "tessaly-peer"), "extension-peer")

    def desktop_program(self):
        """tessaly-peer as the main executable of a signed bundle: the desktop app."""
        bundle = os.path.join(self.scratch, "Tessaly.app")
        os.makedirs(os.path.join(bundle, "Contents", "MacOS"), exist_ok=True)
        with open(os.path.join(bundle, "Contents", "Info.plist"), "w") as plist:
            plist.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                        "<key>CFBundleIdentifier</key><string>com.tessaly.desktop</string>"
                        "<key>CFBundleExecutable</key><string>Tessaly</string></dict></plist>\n")
        executable = os.path.join(bundle, "Contents", "MacOS", "Tessaly")
        shutil.copy2(os.path.join(self.bin, "tessaly-peer"), executable)
        self.tool("tessaly-codesign", "sign", "--identity",
                  os.path.join(self.build, "dev-pki", "identities", "developer-id"),
                  "--identifier", "com.tessaly.desktop", bundle)
        return executable

    def start(self, soft_limit=None, hard_limit=None):
        """Starts the agent from /Applications, with the given descriptor limits (a user session's by default)."""
        bundle = os.path.join("/Applications", AGENT_BUNDLE)
        if not os.path.exists(bundle):
            shutil.copytree(os.path.join(self.build, AGENT_BUNDLE), bundle, symlinks=True)
        executable = os.path.join(bundle, "Contents", "MacOS", "Tessaly Browser Helper")
        limits = None
        if soft_limit is not None:
            import resource

            def limits():
                resource.setrlimit(resource.RLIMIT_NOFILE, (soft_limit, hard_limit or soft_limit))
        if os.path.exists(self.log_path):
            os.remove(self.log_path)
        self.process = subprocess.Popen([executable], env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=open(self.log_path, "w"),
                                        preexec_fn=limits)
        wait_for(lambda: os.path.exists(self.socket) and "Resuming the listener" in self.log(), "the agent")
        return ProcessReadings(self.process.pid)

    def log(self):
        try:
            with open(self.log_path, errors="replace") as log:
                return log.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def close(self):
        self.stop()
        shutil.rmtree(self.scratch, ignore_errors=True)


def run_with_agent(name, build, body):
    """Exits with the status of body(agent) (0 for None); on a harness error, says what went wrong and shows the
    end of the agent's log."""
    agent = Agent(build)
    status = 1
    try:
        status = body(agent) or 0
    except HarnessError as error:
        print(f"{name}: {error}\n--- agent log (end)\n{agent.log()[-3000:]}", file=sys.stderr)
    finally:
        agent.close()
    sys.exit(status)

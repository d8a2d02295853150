#!/usr/bin/env python3
"""The agent end to end: a signed agent run from under /Applications, a signed desktop-app bundle and two signed
extension peers, relaying, broadcasting, queueing with the wake URL, the app-quit frame, and a refused stranger;
then, when Debian's chromium or firefox-esr is installed, the real browser's extension talking to the desktop app
through tessaly-nm-host.

Run by scripts/demo.sh, which builds everything and gives this script an /Applications folder to use."""

import argparse
import base64
import json
import os
import queue
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

AGENT_ID = "Q7RM2KX9WD.com.tessaly.browser-helper"
REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BROWSERS = [  # name, executable, --browser of tessaly-nm-host install, the extension's id there
    ("Chromium", "/usr/lib/chromium/chromium", "chromium", "chrome-extension://ojfnbbifgjdpmhiokpfbamkhnnckdidm/"),
    ("Firefox ESR", "/usr/lib/firefox-esr/firefox-esr", "firefox", "browser-helper-check@tessaly.com"),
]
AGENT_BUNDLE = "Tessaly Browser Helper.app"
TEAM = "Q7RM2KX9WD"
PATIENCE = 10.0  # seconds for any one thing to happen


class DemoError(Exception):
    pass


def broker_log_lines():
    """The broker's log lines by their names in its broker_log.h, each as the agent writes it to standard error:
    the priority prefix of its level ("<6>", or "<3>" for the error line), then its text."""
    path = os.path.join(REPOSITORY, "apple", "macOS", "Browser Helper", "include", "tessaly", "broker",
                        "broker_log.h")
    with open(path) as header:
        declarations = re.findall(r"inline constexpr Line (\w+)\{(.*?)\};", header.read(), re.S)
    lines = {}
    for name, body in declarations:
        text = "".join(re.findall(r'"([^"]*)"', body))
        lines[name] = ("<3>" if "Level::error" in body else "<6>") + text
    if not lines:
        raise DemoError(f"no log lines found in {path}")
    return lines


LOG = broker_log_lines()


def step(title):
    print(f"\n== {title}", flush=True)


def say(text):
    print(f"   {text}", flush=True)


def frame(document):
    """A native-messaging frame: 4-byte little-endian length, then the compact JSON text."""
    text = json.dumps(document, separators=(",", ":")).encode()
    return struct.pack("<I", len(text)) + text


def unframe(body):
    if len(body) < 4:
        return body.decode(errors="replace")
    (length,) = struct.unpack("<I", body[:4])
    return body[4:4 + length].decode(errors="replace")


def b64(data):
    return base64.b64encode(data).decode()


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.01)
    raise DemoError(f"gave up waiting for {what}")


def write_info_plist(bundle, identifier, executable):
    os.makedirs(os.path.join(bundle, "Contents", "MacOS"), exist_ok=True)
    with open(os.path.join(bundle, "Contents", "Info.plist"), "w") as plist:
        plist.write(f"""<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key>
	<string>{identifier}</string>
	<key>CFBundleExecutable</key>
	<string>{executable}</string>
	<key>CFBundlePackageType</key>
	<string>APPL</string>
</dict>
</plist>
""")


class AgentLog:
    """The agent's log lines (TESSALY_LOG=stderr), read from the file its standard error goes to."""

    def __init__(self, path):
        self.path = path
        self.shown = {}

    def lines(self):
        """The lines, each with the priority prefix ("<6>", "<3>", ...) it starts with."""
        try:
            with open(self.path, errors="replace") as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def expect(self, name):
        """Waits for the next occurrence of the broker's line `name` (see broker_log_lines) and shows it."""
        line = LOG[name]
        seen = self.shown.get(line, 0)
        wait_for(lambda: self.lines().count(line) > seen, f'the agent to log "{line}"')
        self.shown[line] = seen + 1
        say(f"agent log: {line}")


class Peer:
    """One `tessaly-peer session`: commands in as JSON lines, events out as JSON lines."""

    def __init__(self, name, program, env, scratch):
        self.name = name
        self.events = queue.Queue()
        self.backlog = []
        self.stderr = open(os.path.join(scratch, name.replace(" ", "-") + ".err"), "w")
        self.process = subprocess.Popen([program, "session"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.stderr, env=env, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self.events.put(json.loads(line))
        self.events.put({"event": "exited"})

    def command(self, **command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()

    def expect(self, event, patience=PATIENCE):
        """The oldest event of that kind not taken yet; events of other kinds stay for later."""
        for index, got in enumerate(self.backlog):
            if got["event"] == event:
                return self.backlog.pop(index)
        deadline = time.monotonic() + patience
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise DemoError(f"{self.name}: no {event} event")
            try:
                got = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if got["event"] == event:
                return got
            if got["event"] == "exited":
                raise DemoError(f"{self.name}: ended while waiting for {event}")
            self.backlog.append(got)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.command(op="close")
                self.process.wait(timeout=PATIENCE)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
        self.stderr.close()


class Demo:
    def __init__(self, build, applications):
        self.build = os.path.abspath(build)
        self.applications = applications
        self.bin = os.path.join(self.build, "bin")
        self.scratch = tempfile.mkdtemp(prefix="tessaly-demo-")
        self.agent = None
        self.peers = []
        self.env = dict(os.environ,
                        TESSALY_XPC_DIR=os.path.join(self.scratch, "xpc"),
                        TESSALY_TRUST_ANCHORS=os.path.join(self.build, "dev-pki", "anchors"),
                        TESSALY_LOG="stderr",
                        TESSALY_URL_OPENER=os.path.join(self.scratch, "open-url"))
        for name in [n for n in self.env if n.startswith("LISTEN_")]:
            del self.env[name]

    def tool(self, *arguments, check=True):
        result = subprocess.run([os.path.join(self.bin, arguments[0]), *arguments[1:]], env=self.env,
                                capture_output=True, text=True, timeout=PATIENCE * 3)
        if check and result.returncode != 0:
            raise DemoError(f"{' '.join(arguments)} failed: {result.stderr.strip()}")
        return result

    def sign(self, target, identity, identifier):
        self.tool("tessaly-codesign", "sign", "--identity",
                  os.path.join(self.build, "dev-pki", "identities", identity), "--identifier", identifier, target)

    def show_signature(self, target, label):
        shown = self.tool("tessaly-codesign", "display", target).stdout.splitlines()
        fields = dict(line.split("=", 1) for line in shown if "=" in line and not line.startswith(" "))
        valid = self.tool("tessaly-codesign", "verify", target, check=False).returncode == 0
        say(f"{label}: identifier {fields.get('Identifier', '?')}, team {fields.get('TeamIdentifier', '?')}, "
            f"signature {'valid' if valid else 'INVALID'}")

    def peer(self, name, program):
        peer = Peer(name, program, self.env, self.scratch)
        self.peers.append(peer)
        return peer

    def run(self):
        agent_bundle = os.path.join(self.applications, AGENT_BUNDLE)
        log = AgentLog(os.path.join(self.scratch, "agent.log"))
        opened = os.path.join(self.scratch, "opened-urls")
        with open(self.env["TESSALY_URL_OPENER"], "w") as opener:
            opener.write(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{opened}"\n')
        os.chmod(self.env["TESSALY_URL_OPENER"], 0o755)

        step("The agent, signed at build time, starts from under /Applications")
        shutil.copytree(os.path.join(self.build, AGENT_BUNDLE), agent_bundle, symlinks=True)
        self.show_signature(agent_bundle, agent_bundle)
        executable = os.path.join(agent_bundle, "Contents", "MacOS", "Tessaly Browser Helper")
        self.agent = subprocess.Popen([executable], env=self.env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=open(log.path, "w"))
        log.expect("startingListener")
        log.expect("resumingListener")
        socket = os.path.join(self.env["TESSALY_XPC_DIR"], AGENT_ID)
        wait_for(lambda: os.path.exists(socket), "the service socket")
        say(f"listening as {AGENT_ID} ({socket})")

        step(f"A desktop-app bundle and two extension peers, all signed by team {TEAM}")
        desktop_bundle = os.path.join(self.scratch, "Tessaly.app")
        write_info_plist(desktop_bundle, "com.tessaly.desktop", "Tessaly")
        desktop_executable = os.path.join(desktop_bundle, "Contents", "MacOS", "Tessaly")
        shutil.copy2(os.path.join(self.bin, "tessaly-peer"), desktop_executable)
        self.sign(desktop_bundle, "developer-id", "com.tessaly.desktop")
        self.show_signature(desktop_bundle, "Tessaly.app (a bundle with an identifier: the desktop app)")
        extensions = []
        for name in ("firefox-extension", "chrome-extension"):
            program = os.path.join(self.scratch, name)
            shutil.copy2(os.path.join(self.bin, "tessaly-peer"), program)
            self.sign(program, "developer-id", f"com.tessaly.{name}")
            self.show_signature(program, f"{name} (no bundle: an extension)")
            extensions.append(self.peer(name, program))
        for extension in extensions:
            extension.expect("connected")
            log.expect("extensionConnected")
            say(f"{extension.name}: connected")
        firefox, chrome = extensions

        step("A peer signed by another team is refused")
        stranger = os.path.join(self.scratch, "other-team-peer")
        shutil.copy2(os.path.join(self.bin, "tessaly-peer"), stranger)
        self.sign(stranger, "other-team", "com.example.other-team-peer")
        self.show_signature(stranger, "other-team-peer")
        refused = subprocess.run([stranger, "echo", "let me in"], env=self.env, capture_output=True, text=True,
                                 timeout=PATIENCE * 2)
        log.expect("refusingUnsigned")
        reason = refused.stderr.strip().splitlines()[-1] if refused.stderr.strip() else "no reason given"
        say(f"other-team-peer: exit status {refused.returncode}, {reason}")
        if refused.returncode == 0:
            raise DemoError("the other team's peer was served")

        step("A request while no desktop app is connected waits, and the agent opens the wake URL")
        request = {"callbackId": 1, "invocation": {"type": "NmLockState"}}
        say(f"{firefox.name} sends: {json.dumps(request, separators=(',', ':'))}")
        firefox.command(op="send", id=1, body=b64(frame(request)))
        log.expect("wakingMainApp")
        url = wait_for(lambda: open(opened).read().split() if os.path.exists(opened) else None, "the wake URL")[0]
        say(f"the agent opened {url}; the desktop starts its tessaly:// handler, Tessaly.app")
        desktop = self.peer("desktop app", desktop_executable)
        desktop.expect("connected")
        log.expect("desktopAppConnected")
        self.answer(desktop, firefox, 1, log, "Unlocked")

        step("With the desktop app connected, a request is relayed and its answer routed back")
        request = {"callbackId": 2, "invocation": {"type": "NmLockState"}}
        say(f"{chrome.name} sends: {json.dumps(request, separators=(',', ':'))}")
        chrome.command(op="send", id=2, body=b64(frame(request)))
        log.expect("sendingToDesktopApp")
        self.answer(desktop, chrome, 2, log, "Unlocked")

        step("A broadcast from the desktop app reaches every extension")
        notification = {"type": "Notification", "content": {"type": "LockStateChanged", "content": "Locked"}}
        desktop.command(op="broadcast", body=b64(frame(notification)))
        log.expect("sendingToExtensions")
        for extension in extensions:
            got = extension.expect("receive")
            say(f"{extension.name} receives (request id {json.dumps(got['requestId'])}): "
                f"{unframe(base64.b64decode(got['body']))}")

        step("The desktop app quits: every extension receives the app-quit frame")
        desktop.command(op="close")
        log.expect("desktopAppDisconnected")
        model_frame = subprocess.run([os.path.join(self.bin, "tessaly-model"), "frame", "CoreNmhResponse"],
                                     input=b'{"type":"Notification","content":{"type":"AppQuit"}}',
                                     capture_output=True, timeout=PATIENCE).stdout
        for extension in extensions:
            got = extension.expect("receive")
            body = base64.b64decode(got["body"])
            say(f"{extension.name} receives {len(body)} bytes (request id {json.dumps(got['requestId'])}): "
                f"{body[:4].hex(' ')} + {body[4:].decode()}")
            if body != model_frame:
                raise DemoError("the app-quit body differs from the model's frame")
        say(f"identical to: tessaly-model frame CoreNmhResponse ({len(model_frame)} bytes)")

        self.browsers(agent_bundle, desktop_executable)

        step("Moving the agent's bundle ends the agent, which stops its server on the way out")
        moved = os.path.join(self.applications, "Moved Helper.app")
        os.rename(agent_bundle, moved)
        say(f"renamed to {moved}")
        status = self.agent.wait(timeout=PATIENCE)
        log.expect("stoppingListener")
        say(f"agent exit status {status}; service socket {'still there' if os.path.exists(socket) else 'removed'}")
        for extension in extensions:
            extension.expect("interrupted")
            say(f"{extension.name}: connection interrupted")
        print("\nThe demonstration ran to the end.", flush=True)

    def browsers(self, agent_bundle, desktop_executable):
        step("Real browsers: headless Chromium and Firefox ESR reach the desktop app through tessaly-nm-host")
        available = [browser for browser in BROWSERS if os.access(browser[1], os.X_OK)]
        if not available:
            say("neither chromium nor firefox-esr is installed (scripts/setup.sh installs them): skipped")
            return
        host = os.path.join(agent_bundle, "Contents", "Helpers", "tessaly-nm-host")
        self.show_signature(host, "Contents/Helpers/tessaly-nm-host (a helper in the bundle: an extension peer)")
        desktop = self.peer("desktop app (again)", desktop_executable)
        desktop.expect("connected")
        for name, program, install_name, extension_id in available:
            home = tempfile.mkdtemp(prefix="home-", dir=self.scratch)
            env = dict(self.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
            installed = subprocess.run([host, "install", "--user", "--browser", install_name, "--extension-id",
                                        extension_id], env=env, capture_output=True, text=True, timeout=PATIENCE)
            if installed.returncode != 0:
                raise DemoError(f"tessaly-nm-host install failed: {installed.stderr.strip()}")
            for line in installed.stdout.splitlines():
                say(f"tessaly-nm-host install: {line}")
            if install_name == "chromium":
                refused = subprocess.run([host, extension_id], env=env, capture_output=True, text=True,
                                         timeout=PATIENCE)
                say(f"the host started by this script, not by a browser: exit status {refused.returncode}, "
                    f"{refused.stderr.strip().splitlines()[-1]}")
            if install_name == "chromium":
                arguments = [program, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--disable-component-update", "--disable-sync",
                             f"--user-data-dir={home}/.config/chromium",
                             f"--load-extension={REPOSITORY}/tools/tessaly-nm-host/extension", "about:blank"]
            else:
                profile = os.path.join(home, "firefox-profile")
                os.makedirs(os.path.join(profile, "extensions"))
                xpi = os.path.join(self.build, "tools", "tessaly-nm-host", "browser-helper-check@tessaly.com.xpi")
                shutil.copy(xpi, os.path.join(profile, "extensions"))
                with open(os.path.join(profile, "user.js"), "w") as prefs:
                    prefs.write('user_pref("xpinstall.signatures.required", false);\n'
                                'user_pref("extensions.autoDisableScopes", 0);\n')
                arguments = [program, "--headless", "--no-remote", "--profile", profile, "about:blank"]
            browser_log = open(os.path.join(home, "browser.log"), "w")
            browser = subprocess.Popen(arguments, env=env, stdin=subprocess.DEVNULL, stdout=browser_log,
                                       stderr=browser_log, start_new_session=True)
            try:
                say(f"{name} started with the project's extension ({extension_id})")
                hello = desktop.expect("receive", patience=90)
                say(f"desktop app receives from {name}'s extension: {unframe(base64.b64decode(hello['body']))}")
                self.converse(desktop, name, hello, {"type": "answer", "from": "the desktop app"})
                desktop.command(op="broadcast", body=b64(frame({"type": "news", "text": "a broadcast"})))
                self.converse(desktop, name, None, {"type": "ok"})
                desktop.command(op="broadcast", body=b64(frame({"command": "disconnect"})))
                self.converse(desktop, name, None, {"type": "ok"})
                wait_for(lambda: not any(os.path.realpath(f"/proc/{pid}/exe") == host
                                         for pid in os.listdir("/proc") if pid.isdigit()
                                         and os.path.exists(f"/proc/{pid}/exe")), "the host to end")
                say(f"{name}'s extension closed its port, and the host ended")
            finally:
                os.killpg(browser.pid, 9)
                browser.wait()
                browser_log.close()

    def converse(self, desktop, name, request, response):
        """Answers `request` (or the next one) and shows the extension's report of what it got."""
        if request is None:
            request = desktop.expect("receive")
            say(f"{name}'s extension reports: {unframe(base64.b64decode(request['body']))}")
        desktop.command(op="respond", requestId=request["requestId"], body=b64(frame(response)))
        if response.get("type") != "ok":
            report = desktop.expect("receive")
            say(f"{name}'s extension reports: {unframe(base64.b64decode(report['body']))}")
            desktop.command(op="respond", requestId=report["requestId"], body=b64(frame({"type": "ok"})))

    def answer(self, desktop, extension, callback, log, lock_state):
        got = desktop.expect("receive")
        request_id = got["requestId"]
        say(f"desktop app receives (request id {request_id}): {unframe(base64.b64decode(got['body']))}")
        response = {"type": "Success", "content": {"callbackId": callback, "response": {
            "type": "NmLockState", "content": {"lockState": lock_state}}}}
        desktop.command(op="respond", requestId=request_id, body=b64(frame(response)))
        log.expect("responseReceived")
        reply = extension.expect("reply")
        text = unframe(base64.b64decode(reply["body"]))
        checked = subprocess.run([os.path.join(self.bin, "tessaly-model"), "decode", "CoreNmhResponse"],
                                 input=text, capture_output=True, text=True, timeout=PATIENCE)
        say(f"{extension.name} gets the answer to request {reply['id']}: {text}")
        say(f"read as CoreNmhResponse: {'ok' if checked.returncode == 0 else checked.stdout.strip()}")

    def close(self):
        for peer in self.peers:
            peer.stop()
        if self.agent is not None and self.agent.poll() is None:
            self.agent.kill()
            self.agent.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)
        shutil.rmtree(self.applications + "/" + AGENT_BUNDLE, ignore_errors=True)
        shutil.rmtree(self.applications + "/Moved Helper.app", ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory (holds bin/, dev-pki/ and the agent)")
    parser.add_argument("--applications", required=True, help="a folder under /Applications to install into")
    arguments = parser.parse_args()
    if not arguments.applications.startswith("/Applications"):
        sys.exit("agent_demo: --applications must lie under /Applications")
    demo = Demo(arguments.build, arguments.applications)
    try:
        demo.run()
    except DemoError as error:
        print(f"\ndemo failed: {error}", file=sys.stderr)
        print("agent log:\n" + "\n".join(AgentLog(os.path.join(demo.scratch, "agent.log")).lines()),
              file=sys.stderr)
        sys.exit(1)
    finally:
        demo.close()


if __name__ == "__main__":
    main()

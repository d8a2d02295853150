#!/usr/bin/env python3
"""A soak of the real agent (as root, in a private mount namespace): 200 extensions each sending a request about
once a second, a desktop app that answers every request and is restarted every 30 s, and extensions killed at
random (and replaced) every few seconds. Every 10 s it reads the agent's resident memory and open descriptors.

At the end it says whether both stayed flat (the last minute against the first minute after warm-up, within 10%)
and accounts for every request: answered; sent by an extension that was killed; received by a desktop app that
was then stopped (requests delivered to a departed app get no answer); sent in the second before a desktop app
was stopped (on their way to it); anything else is lost. Exit status 1 when something was lost or a reading grew.

Usage: sudo bench/agent/agent_soak.py --build build [--minutes 10] [--extensions 200]
"""

import argparse
import base64
import os
import random
import signal
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from agent_harness import Peer, b64, enter_private_applications, run_with_agent  # noqa: E402

APP_PERIOD = 30.0      # seconds between desktop-app restarts
APP_GAP = 2.0          # seconds without a desktop app at each restart
KILL_PERIOD = 3.0      # seconds between random kills of an extension
SAMPLE_PERIOD = 10.0   # seconds between readings of the agent
IN_FLIGHT = 1.0        # a request sent this long before an app stopped may have been on its way to it


class Extension:
    def __init__(self, number, program, env, log):
        self.number = number
        self.peer = Peer(program, env, log)
        self.sent = {}        # id -> time sent
        self.answered = set()
        self.killed = False
        self.next_id = 0

    def send(self):
        request = self.next_id
        self.next_id += 1
        if self.peer.command(op="send", id=request, body=b64(f"{self.number}:{request}".encode())):
            self.sent[request] = time.monotonic()

    def collect(self):
        for event in self.peer.drain():
            if event["event"] == "reply":
                self.answered.add(event["id"])


class DesktopApp:
    def __init__(self, program, env, log):
        self.peer = Peer(program, env, log, answer=True)
        self.received = set()
        self.stopped_at = None

    def collect(self):
        for event in self.peer.drain():
            if event["event"] == "receive" and event.get("requestId"):
                self.received.add(base64.b64decode(event["body"]).decode())

    def stop(self):
        self.collect()
        self.peer.process.send_signal(signal.SIGTERM)
        self.peer.process.wait()
        self.stopped_at = time.monotonic()
        self.collect()


def soak(agent, minutes, extension_count):
    readings = agent.start()
    log = open(os.path.join(agent.scratch, "peers.log"), "a")
    extension_program = agent.extension_program()
    desktop_program = agent.desktop_program()
    apps = [DesktopApp(desktop_program, agent.env, log)]
    extensions = [Extension(i, extension_program, agent.env, log) for i in range(extension_count)]
    retired = []
    samples = []  # (seconds since start, rss KiB, descriptors)
    started = time.monotonic()
    end = started + minutes * 60
    next_app = started + APP_PERIOD
    next_kill = started + KILL_PERIOD
    next_sample = started + SAMPLE_PERIOD
    lock = threading.Lock()
    stop = threading.Event()

    def traffic():  # each extension about once a second, spread over the second
        while not stop.is_set():
            with lock:
                current = [e for e in extensions if not e.killed]
            pause = 1.0 / max(1, len(current))
            for extension in current:
                if stop.is_set():
                    return
                extension.send()
                time.sleep(pause)

    sender = threading.Thread(target=traffic, daemon=True)
    sender.start()
    while time.monotonic() < end:
        now = time.monotonic()
        for extension in extensions:
            extension.collect()
        apps[-1].collect()
        if now >= next_app:
            apps[-1].stop()
            time.sleep(APP_GAP)
            apps.append(DesktopApp(desktop_program, agent.env, log))
            next_app = now + APP_PERIOD
        if now >= next_kill:
            with lock:
                victim = random.choice(extensions)
                victim.collect()
                victim.killed = True
                victim.peer.kill()
                retired.append(victim)
                extensions[extensions.index(victim)] = Extension(victim.number + extension_count * len(retired),
                                                                 extension_program, agent.env, log)
            next_kill = now + KILL_PERIOD
        if now >= next_sample:
            samples.append((now - started, readings.rss_kib(), readings.descriptors()))
            print(f"{samples[-1][0]:6.0f} s: resident {samples[-1][1]} KiB, {samples[-1][2]} descriptors, "
                  f"{len(apps)} desktop apps so far, {len(retired)} extensions killed", flush=True)
            next_sample = now + SAMPLE_PERIOD
        time.sleep(0.05)
    stop.set()
    sender.join()
    # Stragglers: whatever waits in the queue reaches the last desktop app.
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        for extension in extensions:
            extension.collect()
        apps[-1].collect()
        if all(len(e.answered) == len(e.sent) for e in extensions):
            break
        time.sleep(0.2)
    return samples, extensions, retired, apps


def account(extensions, retired, apps):
    received = set().union(*(app.received for app in apps if app.stopped_at is not None))
    stops = [app.stopped_at for app in apps if app.stopped_at is not None]
    counts = {"answered": 0, "sender killed": 0, "delivered to a departed app": 0, "on its way to a departing app": 0,
              "lost": 0}
    lost_examples = []
    for extension in extensions + retired:
        for request, sent_at in extension.sent.items():
            if request in extension.answered:
                counts["answered"] += 1
            elif extension.killed:
                counts["sender killed"] += 1
            elif f"{extension.number}:{request}" in received:
                counts["delivered to a departed app"] += 1
            elif any(0 <= stopped - sent_at <= IN_FLIGHT for stopped in stops):
                counts["on its way to a departing app"] += 1
            else:
                counts["lost"] += 1
                lost_examples.append(f"{extension.number}:{request}")
    return counts, lost_examples[:10]


def flat(samples, column, warm_up=60.0):
    steady = [s for s in samples if s[0] >= warm_up]
    first = [s[column] for s in steady if s[0] < warm_up + 60]
    last = [s[column] for s in steady if s[0] >= samples[-1][0] - 60]
    if not first or not last:
        return None, None
    base, end = statistics.median(first), statistics.median(last)
    return base, end


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory (holds bin/, dev-pki/ and the agent)")
    parser.add_argument("--minutes", type=float, default=10.0, help="how long (default 10)")
    parser.add_argument("--extensions", type=int, default=200, help="extensions connected at a time (default 200)")
    arguments = parser.parse_args()
    enter_private_applications(os.path.abspath(__file__), sys.argv[1:])

    def run(agent):
        samples, extensions, retired, apps = soak(agent, arguments.minutes, arguments.extensions)
        counts, lost = account(extensions, retired, apps)
        for extension in extensions:
            extension.peer.kill()
        apps[-1].peer.kill()
        failed = counts["lost"] > 0
        print("requests: " + ", ".join(f"{n} {what}" for what, n in counts.items()))
        if lost:
            print(f"lost, for instance: {', '.join(lost)}")
        for column, what in ((1, "resident memory (KiB)"), (2, "open descriptors")):
            base, end = flat(samples, column)
            if base is None:
                print(f"{what}: too short a run to compare")
                continue
            ratio = end / base
            print(f"{what}: {base:.0f} in the first minute after warm-up, {end:.0f} in the last minute "
                  f"({ratio:.3f}x; target within 10%)")
            failed = failed or not 0.9 <= ratio <= 1.1
        return 1 if failed else 0

    run_with_agent("agent_soak", arguments.build, run)


if __name__ == "__main__":
    main()

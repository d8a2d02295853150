#!/usr/bin/env python3
"""The agent's limits, measured on the real signed agent run from /Applications (as root, in a private mount
namespace), each figure beside a baseline from the same run:

  wake      1,000 requests queued while no desktop app is connected: URL-opener processes started (the handler
            takes 3 s to start) beside one per request; the agent's threads beside its idle count; then a desktop
            app connects and every request must be answered.
  fds       a user session's limits (soft 1,024, hard 524,288 or this machine's hard limit if lower): 3,000
            sockets that never greet and 1,000 connections of signed peers; how many signed connections are
            welcomed.
  memory    slow readers (stopped extensions the desktop app broadcasts to) and half-sent large frames (extensions
            stopped while sending 48 MiB); resident memory at its peak and 10 s after the offenders are gone,
            beside its idle size (target: at most twice).

Usage: sudo bench/agent/agent_limits.py --build build [--only wake|fds|memory]
"""

import argparse
import os
import resource
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from agent_harness import Peer, b64, enter_private_applications, run_with_agent, wait_for  # noqa: E402


def report(text):
    print(text, flush=True)


def wake_storm(agent):
    agent.set_opener(3)
    readings = agent.start()
    time.sleep(1.0)
    idle_threads = readings.threads()
    log = open(os.path.join(agent.scratch, "peers.log"), "a")
    extension = Peer(agent.extension_program(), agent.env, log)
    wait_for(lambda: any(e["event"] == "connected" for e in extension.drain()), "the extension to connect")
    requests = 1000
    peak_threads = idle_threads
    for i in range(requests):
        extension.command(op="send", id=i, body=b64(f"request {i}".encode()))
    deadline = time.monotonic() + 8.0  # the first opener ends after 3 s; the owed one starts then
    while time.monotonic() < deadline:
        peak_threads = max(peak_threads, readings.threads())
        time.sleep(0.01)
    queued = agent.log().count("no desktop app is connected. Waking up the main app.")
    openers = agent.openers_started()
    desktop = Peer(agent.desktop_program(), agent.env, log, answer=True)
    replies = set()

    def all_answered():
        replies.update(e["id"] for e in extension.drain() if e["event"] == "reply")
        return len(replies) == requests

    wait_for(all_answered, "every queued request to be answered", patience=60)
    report(f"wake: {queued} requests queued (one wake-URL open each): {openers} opener processes started "
           f"(target at most 2; {openers / requests:.3f} of one per request)")
    report(f"wake: agent threads idle {idle_threads}, at most {peak_threads} during the storm "
           f"(target at most {idle_threads + 2}); {len(replies)} of {requests} answered once the app connected")
    desktop.kill()
    extension.kill()
    agent.stop()
    agent.set_opener(0)


def descriptors(agent):
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # this script holds the idle sockets
    # A user session's hard limit is 524,288; a machine without CAP_SYS_RESOURCE cannot raise its own to that.
    # Then, for comparison, a hard limit of 1,024 that leaves the agent nothing to raise.
    for session_hard in (min(524288, hard), 1024):
        descriptors_with(agent, session_hard)


def descriptors_with(agent, session_hard):
    readings = agent.start(soft_limit=1024, hard_limit=session_hard)
    idle = []
    for _ in range(3000):
        s = socket.socket(socket.AF_UNIX)
        s.connect(agent.socket)
        idle.append(s)
    peer = agent.signed_copy(os.path.join(agent.bin, "bench_codesign_peer"), "connecting-peer")
    processes, per_process = 10, 100
    peers = [subprocess.Popen([peer, agent.socket, str(per_process)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
             for _ in range(processes)]
    started = time.monotonic()
    for p in peers:
        p.stdin.close()
    welcomed = 0
    for p in peers:
        os.set_blocking(p.stdout.fileno(), False)
    deadline = time.monotonic() + (60 if session_hard > 1024 else 15)
    peak_fds = 0
    cpu_before = readings.cpu_seconds()
    while welcomed < processes * per_process and time.monotonic() < deadline:
        for p in peers:
            try:
                got = os.read(p.stdout.fileno(), 4096)
                welcomed += len(got)
            except BlockingIOError:
                pass
        peak_fds = max(peak_fds, readings.descriptors())
        time.sleep(0.01)
    elapsed = time.monotonic() - started
    with open(f"/proc/{readings.pid}/limits") as limits:
        soft = next(line.split()[3] for line in limits if line.startswith("Max open files"))
    exhausted = agent.log().count("out of file descriptors")
    cpu = readings.cpu_seconds() - cpu_before
    report(f"fds: started with soft 1024 / hard {session_hard}, running with soft {soft}: {welcomed} of "
           f"{processes * per_process} signed connections welcomed in {elapsed:.1f} s beside 3000 idle sockets "
           f"(target: all at a user session's limits); at most {peak_fds} descriptors open; {exhausted} lines "
           f"about running out; {cpu:.1f} s of processor time")
    for p in peers:
        p.kill()
        p.wait()
    for s in idle:
        s.close()
    agent.stop()


def memory(agent):
    readings = agent.start()
    log = open(os.path.join(agent.scratch, "peers.log"), "a")
    desktop = Peer(agent.desktop_program(), agent.env, log, answer=True)
    extension = agent.extension_program()
    bystander = Peer(extension, agent.env, log)
    wait_for(lambda: any(e["event"] == "connected" for e in bystander.drain()), "the bystander to connect")
    time.sleep(3.0)
    idle = readings.rss_kib()
    peak = idle
    slow = [Peer(extension, agent.env, log) for _ in range(8)]
    time.sleep(1.0)
    for peer in slow:
        peer.process.send_signal(signal.SIGSTOP)  # a reader that stopped reading
    body = b64(b"b" * (4 << 20))
    for _ in range(40):
        desktop.command(op="broadcast", body=body)
        peak = max(peak, readings.rss_kib())
        time.sleep(0.05)
    large = b64(b"x" * (48 << 20))
    half = []
    for _ in range(8):
        peer = Peer(extension, agent.env, log)
        half.append(peer)
        time.sleep(0.3)
        peer.command(op="send", id=1, body=large)
        time.sleep(0.05)
        peer.process.send_signal(signal.SIGSTOP)  # stopped while its frame is on the way
    for _ in range(50):
        peak = max(peak, readings.rss_kib())
        time.sleep(0.05)
    dropped = agent.log().count("over the budget of")
    for peer in slow + half:
        peer.kill()
    bystander.drain()
    bystander.command(op="send", id=7, body=b64(b"still there?"))
    answered = wait_for(lambda: [e for e in bystander.drain() if e["event"] == "reply"], "the bystander's answer")
    time.sleep(10.0)
    after = readings.rss_kib()
    report(f"memory: resident {idle} KiB idle, {peak} KiB at the peak ({peak / idle:.1f}x), {after} KiB 10 s after "
           f"the offenders left ({after / idle:.2f}x idle; target at most 2x); {dropped} connections dropped over "
           f"the buffer budget; the bystander {'was' if answered else 'was not'} answered")
    desktop.kill()
    bystander.kill()
    agent.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="build directory (holds bin/, dev-pki/ and the agent)")
    parser.add_argument("--only", choices=["wake", "fds", "memory"], help="run one part")
    arguments = parser.parse_args()
    enter_private_applications(os.path.abspath(__file__), sys.argv[1:])

    def run(agent):
        for name, part in (("wake", wake_storm), ("fds", descriptors), ("memory", memory)):
            if arguments.only in (None, name):
                part(agent)

    run_with_agent("agent_limits", arguments.build, run)


if __name__ == "__main__":
    main()

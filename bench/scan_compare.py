#!/usr/bin/env python3
"""Compares two kestreye builds on the running application, in turns:

    bench/scan_compare.py NAME RUNS KESTREYE_A KESTREYE_B

run by bench/scan_live.sh --compare with the application in its tested
state. Scans with A, then B, then a pyatspi focus lookup (python3-gi's Atspi
in a process of its own: the desktop, the active window, its focused
element's role, name, states, text and caret) as a reference, then A, B,
... against the same application: the machine is shared, and only figures
taken side by side compare.
For each it prints the median wall time (process start to exit), the
application's processor time per scan (utime + stime + reaped children's,
of the application's process and all its descendants, from /proc/PID/stat,
read around each scan), the D-Bus messages sent per scan (the data written
to Unix sockets by sendmsg and send under strace, over one scan, counted
message by message after each socket's handshake: libatspi's libdbus sends
one message per sendmsg, kestreye several per send; the session bus's
address question included; X11 goes by writev and is not counted)
and the peak RSS (/usr/bin/time, as bench/scan_live.sh). The application is
the one owning the focused element; its processor time per second while
left alone (a pause as long as A's scan after each turn) is printed, and
the time per scan is also given less that idle rate."""

import os
import re
import statistics
import subprocess
import sys
import time

HZ = os.sysconf("SC_CLK_TCK")

# The reference lookup, run as its own process like a scan: prints the
# application's pid, then the lookup's own time in ms.
LOOKUP = r"""
import time, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi
t0 = time.perf_counter()
S = Atspi.StateType
def focused(node, depth=0):
    if node.get_state_set().contains(S.FOCUSED):
        return node
    if depth > 40:
        return None
    for i in range(min(node.get_child_count(), 500)):
        child = node.get_child_at_index(i)
        # GTK 4 says VISIBLE only.
        states = child.get_state_set() if child is not None else None
        if states is not None and (states.contains(S.SHOWING) or states.contains(S.VISIBLE)):
            hit = focused(child, depth + 1)
            if hit is not None:
                return hit
    return None
desktop = Atspi.get_desktop(0)
found = None
for a in range(desktop.get_child_count()):
    app = desktop.get_child_at_index(a)
    for w in range(app.get_child_count() if app else 0):
        window = app.get_child_at_index(w)
        if window is not None and window.get_state_set().contains(S.ACTIVE):
            found = focused(window)
            break
    if found is not None:
        break
if found is None:
    raise SystemExit("no focused element")
role, name, states = found.get_role_name(), found.get_name(), found.get_state_set().get_states()
text = found.get_text_iface()
if text is not None:
    value, caret = text.get_text(0, -1), text.get_caret_offset()
print(found.get_process_id(), (time.perf_counter() - t0) * 1000)
"""


def cpu_ticks(root):
    """Processor ticks of `root` and every process below it, reaped children's
    included."""
    parent, ticks = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        pid = int(entry)
        parent[pid] = int(fields[1])
        ticks[pid] = sum(int(f) for f in fields[11:15])
    total = 0
    for pid in ticks:
        p = pid
        while p > 1 and p != root:
            p = parent.get(p, 0)
        if p == root:
            total += ticks[pid]
    return total


def timed(argv):
    """Runs argv; returns (wall ms, stdout)."""
    t0 = time.perf_counter()
    out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
    return (time.perf_counter() - t0) * 1000, out


def peak_rss(argv):
    """The highest peak RSS (MB) of five runs of argv. wait4's figure would
    include this interpreter's, which the child shares until it execs."""
    peaks = [subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True).stderr.split()[-1] for _ in range(5)]
    return max(int(p) for p in peaks) / 1024


def dbus_messages(stream):
    """The D-Bus messages in the bytes one process wrote to one socket: after
    the handshake's lines (a NUL byte, then lines up to BEGIN), each message
    is its 16-byte fixed header, its header fields (padded to 8) and its
    body."""
    if stream.startswith(b"\0"):
        begin = stream.find(b"BEGIN\r\n")
        if begin < 0:
            return 0
        stream = stream[begin + len(b"BEGIN\r\n"):]
    count, at = 0, 0
    while at + 16 <= len(stream):
        order = {ord("l"): "little", ord("B"): "big"}.get(stream[at])
        if order is None:
            break
        body = int.from_bytes(stream[at + 4:at + 8], order)
        fields = int.from_bytes(stream[at + 12:at + 16], order)
        at += 16 + (fields + 7) // 8 * 8 + body
        count += 1
    return count


def messages(argv):
    """The D-Bus messages sent during one run of argv: what it wrote to its
    Unix sockets (sendmsg, and send, with which a client may write several
    messages at once), under strace, counted message by message."""
    log = f"/tmp/scan_compare.{os.getpid()}.strace"
    subprocess.run(["strace", "-f", "-qq", "-yy", "-e", "trace=sendmsg,sendto",
                    "-e", "write=all", "-o", log, *argv],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    streams = {}
    current = None
    with open(log) as lines:
        for line in lines:
            # A descriptor is used again once closed: the socket's inodes
            # tell the connections apart.
            call = re.match(r"(\d+)\s+send(?:msg|to)\(\d+<UNIX[^:]*:\[(\d+)", line)
            if call:
                current = streams.setdefault(call.groups(), bytearray())
                continue
            # " | 00010  6c 01 ... 00  01 ... 00  l..........": the 16
            # bytes' hex fills 49 columns, the text beside them may not.
            dump = re.match(r"\s*\| [0-9a-f]{5}  (.{49})", line)
            if dump and current is not None:
                current += bytes.fromhex("".join(re.findall(r"[0-9a-f]{2}", dump.group(1))))
            elif not line.lstrip().startswith("*"):
                current = None
    os.unlink(log)
    return sum(dbus_messages(bytes(stream)) for stream in streams.values())


def main():
    name, runs, builds = sys.argv[1], int(sys.argv[2]), sys.argv[3:5]
    lookup = [sys.executable, "-c", LOOKUP]
    _, out = timed(lookup)
    if not out.split():
        sys.exit(f"{name}: the pyatspi lookup found no focused element")
    app = int(out.split()[0])
    if app <= 0:
        sys.exit(f"{name}: the focused element's application has no pid")
    subjects = [("A", [builds[0], "scan"]), ("B", [builds[1], "scan"]), ("pyatspi", lookup)]
    for _, argv in subjects:  # warm up: first contacts, page cache
        for _ in range(2):
            timed(argv)
    walls = {label: [] for label, _ in subjects}
    cpus = {label: 0 for label, _ in subjects}
    inner = []
    replies = {}
    idle_ticks = idle_s = 0
    for _ in range(runs):
        for label, argv in subjects:
            before = cpu_ticks(app)
            wall, out = timed(argv)
            cpus[label] += cpu_ticks(app) - before
            walls[label].append(wall)
            replies.setdefault(label, set()).add(out)
            if label == "pyatspi" and len(out.split()) == 2:
                inner.append(float(out.split()[1]))
        # The application's own pace in between (animations, a page still
        # settling), left alone as long as A's scan took.
        before, t0 = cpu_ticks(app), time.perf_counter()
        time.sleep(walls["A"][-1] / 1000)
        idle_ticks += cpu_ticks(app) - before
        idle_s += time.perf_counter() - t0
    idle = idle_ticks / HZ * 1000 / idle_s
    print(f"{name}: pid {app}, idle {idle:.1f} ms CPU/s, {runs} runs in turns")
    for label, argv in subjects:
        print(f"  {label:8} median {statistics.median(walls[label]):8.2f} ms"
              f"  min {min(walls[label]):8.2f}  app CPU {cpus[label] / HZ * 1000 / runs:7.2f} ms/scan"
              f" ({(cpus[label] / HZ * 1000 - idle * sum(walls[label]) / 1000) / runs:6.2f} above idle)"
              f"  {messages(argv):5d} messages  peak RSS {peak_rss(argv):6.2f} MB")
    if replies["A"] != replies["B"]:
        print("  A and B replied differently:")
        for label in ("A", "B"):
            for out in sorted(replies[label]):
                print(f"    {label}: {out.decode(errors='replace').strip()}")
    print(f"  pyatspi lookup alone (in its process) median {statistics.median(inner):.2f} ms"
          if inner else "  pyatspi lookup found no focus during the runs")


if __name__ == "__main__":
    main()

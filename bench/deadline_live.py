#!/usr/bin/env python3
"""Times `kestreye scan` where something blocks or is merely slow, each case in
its own private headless desktop (scripts/session):

    bench/deadline_live.py [RUNS]        (default 5; build first: preset default)

Cases: a silent accessibility bus; six and twelve stopped applications (focus
on one of them, then on a window not on the bus); an application whose main
loop blocks 300 ms (or 40 ms) every 5 ms; 5,000 buttons; a 100,000-row tree
view; a 20 MB text with the focus in it. For each: the median and highest wall
time of RUNS scans (process start to exit) against SCAN_DEADLINE (2 s), how
often each reply came, and the peak resident set size of the last scan.
"""

import argparse
import collections
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "matrix"))
import desktop  # noqa: E402  (the desktop tests' driver)

BUILD = os.environ.get("KESTREYE_BUILD", os.path.join(ROOT, "build", "default"))
KESTREYE = os.path.join(BUILD, "src", "kestreye")
DEMO = os.path.join(BUILD, "demo", "kestreye-demo")


def measure(name, runs, env=None):
    times, kinds = [], collections.Counter()
    for _ in range(runs):
        reply = desktop.Reply([KESTREYE, "scan"], env=env)
        times.append(reply.elapsed)
        kinds[reply.lines[0][:60] if reply.success else reply.error] += 1
    # One more scan under /usr/bin/time for its peak resident set size.
    timed = subprocess.run(["/usr/bin/time", "-f", "%M", KESTREYE, "scan"], env=env,
                           capture_output=True, text=True, timeout=60)
    peak_kb = int(timed.stderr.strip().splitlines()[-1])
    print(f"{name:34} median {statistics.median(times):6.3f} s  max {max(times):6.3f} s  "
          f"({runs} runs, deadline 2 s: {'met' if max(times) < 2.0 else 'MISSED'}; "
          f"peak RSS of a scan {peak_kb / 1024:.1f} MB)")
    for kind, count in kinds.most_common():
        print(f"{'':34} {count} x {kind}")


def case(name, runs):
    run = desktop.Run(argparse.Namespace(demo=DEMO, kestreye=KESTREYE))
    try:
        if name == "silent":
            with tempfile.TemporaryDirectory() as folder, \
                    socket.socket(socket.AF_UNIX) as silent:
                silent.bind(os.path.join(folder, "silent"))
                silent.listen(64)
                address = "unix:path=" + os.path.join(folder, "silent")
                measure("silent bus", runs, dict(os.environ, AT_SPI_BUS_ADDRESS=address))
        elif name in ("stopped6", "stopped12"):
            count = 6 if name == "stopped6" else 12
            for app in [run.launch() for _ in range(count)]:
                app.process.send_signal(signal.SIGSTOP)
            measure(f"{count} stopped, focus on one", runs)
            run.launch(hidden=True)
            measure(f"{count} stopped, focus off the bus", runs)
        else:
            what = {"slow": "email --stall=300", "slow40": "email --stall=40",
                    "buttons": "email --buttons=5000", "rows": "email --rows=100000",
                    "text": "notes --notes-bytes=20000000"}[name]
            run.launch("demo " + what)
            measure(f"{what.split()[1]}, first {runs} scans", runs)
    finally:
        run.stop()


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--case":
        case(sys.argv[2], int(sys.argv[3]))
        return
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    with open("/proc/loadavg") as load:
        print(f"kestreye scan against its deadline, {os.cpu_count()} cores, "
              f"load average {' '.join(load.read().split()[:3])}")
    for name in ("silent", "stopped6", "stopped12", "slow", "slow40", "buttons", "rows", "text"):
        subprocess.run([os.path.join(ROOT, "scripts", "session"), sys.executable,
                        os.path.abspath(__file__), "--case", name, str(runs)], check=False)


if __name__ == "__main__":
    main()

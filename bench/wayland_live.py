#!/usr/bin/env python3
"""Times `kestreye scan` on a Wayland desktop against the same forms on X11,
each case in its own private headless desktop (scripts/wayland-session:
sway; scripts/session: Xvfb):

    bench/wayland_live.py [RUNS]        (default 30; build first: preset default)

For the GTK 3 demo, the GTK 4 form and the Qt 6 form (tests/matrix), with the
focus in the email field: the median scan with the form alone, with six
applications (GTK 3 demos) registered before it, and with one of the six
stopped, on sway and on X11. Targets: behind six within 1.05x of alone,
behind six with one stopped within 1.25x, each Wayland median within 1.5x of
the same form's X11 median.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "tests", "matrix"))
import desktop as driver  # noqa: E402  (the desktop tests' driver: every form, on sway or X11)

BUILD = os.environ.get("KESTREYE_BUILD", os.path.join(ROOT, "build", "default"))
KESTREYE = os.path.join(BUILD, "src", "kestreye")
DEMO = os.path.join(BUILD, "demo", "kestreye-demo")
KINDS = ("gtk3", "gtk4", "qt6")


def launch(run, kind, focus="email"):
    return run.launch("demo " + focus if kind == "gtk3" else kind)


def median_ms(run, runs, expected):
    times, wrong = [], 0
    for _ in range(3):
        run.scan()
    for _ in range(runs):
        reply = run.scan()
        times.append(reply.elapsed * 1000)
        wrong += not (reply.success and reply.lines[0].startswith(expected))
    return statistics.median(times), wrong


def case(desktop, kind, runs):
    """Prints one JSON line: the medians alone and behind six."""
    options = argparse.Namespace(kestreye=KESTREYE, demo=DEMO, record=None, replay=None)
    run = driver.Run(options)
    expected = driver.FOCUSED["demo" if kind == "gtk3" else kind].split(" (FOCUSED)")[0]
    result = {"desktop": desktop, "kind": kind}
    try:
        driver.accessibility(True)
        launch(run, kind)
        result["alone"], result["alone_wrong"] = median_ms(run, runs, expected)
        run.stop()
        others = [launch(run, "gtk3", "notes") for _ in range(6)]
        launch(run, kind)
        result["six"], result["six_wrong"] = median_ms(run, runs, expected)
        others[0].process.send_signal(signal.SIGSTOP)
        result["stopped"], result["stopped_wrong"] = median_ms(run, runs, expected)
    finally:
        run.stop()
    print(json.dumps(result), flush=True)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--case":
        case(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    with open("/proc/loadavg") as load:
        print(f"kestreye scan on sway and on X11, {os.cpu_count()} cores, "
              f"load average {' '.join(load.read().split()[:3])}, {runs} runs each")
    results = {}
    for kind in KINDS:
        for desktop, session in (("wayland", "wayland-session"), ("x11", "session")):
            done = subprocess.run(
                [os.path.join(ROOT, "scripts", session), "/usr/bin/python3",
                 os.path.abspath(__file__), "--case", desktop, kind, str(runs)],
                capture_output=True, text=True, env=dict(os.environ, KESTREYE_SESSION_TIMEOUT="60"))
            lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
            if not lines:
                print(f"{desktop} {kind}: failed\n{done.stdout[-1500:]}{done.stderr[-1500:]}")
                continue
            results[desktop, kind] = json.loads(lines[-1])
    for kind in KINDS:
        for desktop in ("wayland", "x11"):
            r = results.get((desktop, kind))
            if r is None:
                continue
            six, stopped = r["six"] / r["alone"], r["stopped"] / r["alone"]
            line = (f"{desktop:7} {kind:4}  alone median {r['alone']:6.1f} ms  behind six "
                    f"{r['six']:6.1f} ms  ratio {six:4.2f} (target <= 1.05: "
                    f"{'met' if six <= 1.05 else 'MISSED'}), one of them stopped "
                    f"{r['stopped']:6.1f} ms  ratio {stopped:4.2f} (target <= 1.25: "
                    f"{'met' if stopped <= 1.25 else 'MISSED'})")
            if r["alone_wrong"] or r["six_wrong"] or r["stopped_wrong"]:
                line += (f"  WRONG replies: {r['alone_wrong']} alone, {r['six_wrong']} behind "
                         f"six, {r['stopped_wrong']} with one stopped")
            print(line)
        w, x = results.get(("wayland", kind)), results.get(("x11", kind))
        if w and x:
            for which in ("alone", "six", "stopped"):
                ratio = w[which] / x[which]
                print(f"        {kind:4}  Wayland / X11, {which:5}: {ratio:4.2f} (target <= 1.5: "
                      f"{'met' if ratio <= 1.5 else 'MISSED'})")


if __name__ == "__main__":
    main()

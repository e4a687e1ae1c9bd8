#!/usr/bin/env python3
"""Our instrument beside VST 2 synthesizers that Debian packages for Linux.

  bench/peers.py [render]   renders the same MIDI (1 and 16 held voices,
                            20 s) through each with rumbleon-host and prints
                            real-time factors and our ratio to each peer
  bench/peers.py check      runs rumbleon-host check on each peer

Installs the peers' Debian packages when missing (as root). The real-time
factor is seconds of audio per CPU second of the rendering process, with the
cost of loading and opening the plug-in (a render of almost nothing)
subtracted.
"""
import os
import resource
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "build", "rumbleon-host")
OURS = os.path.join(ROOT, "build", "module", "rumbleon2.so")
PACKAGES = ["amsynth", "dpf-plugins-vst", "zynaddsubfx-vst"]
PEERS = [
    "/usr/lib/vst/amsynth_vst.so",
    "/usr/lib/vst/ZynAddSubFX.so",
    "/usr/lib/vst/Nekobi-vst.so",  # monophonic: one voice whatever is held
    "/usr/lib/vst/Kars-vst.so",  # plucked strings: notes decay while held
]
SECONDS = 20.0


def install_peers():
    missing = []
    for p in PACKAGES:
        r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True)
        if r.stdout.strip() != "install ok installed":
            missing.append(p)
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit("missing peer packages: %s (run as root)" % " ".join(missing))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] + missing, check=True, env=env,
                   stdout=subprocess.DEVNULL)


def cpu_seconds(args):
    """CPU time (user + system) of one child process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    r = subprocess.run(args, capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if r.returncode != 0:
        raise RuntimeError(r.stderr.strip() or r.stdout.strip())
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def realtime_factor(module, midi, empty, out, extra):
    base = min(cpu_seconds([HOST, "render", module, empty, "-o", out, "--tail", "0"] + extra) for _ in range(2))
    full = min(cpu_seconds([HOST, "render", module, midi, "-o", out, "--tail", "0"] + extra) for _ in range(2))
    return SECONDS / max(full - base, 1e-6)


def voice_settings(module, voices):
    """Ours plays as many voices as notes are held (its first program has one)."""
    if module != OURS:
        return []
    return ["--set", "Voices=%.6f" % ((voices - 1) / 31.0)]


def render():
    work = tempfile.mkdtemp()
    out = os.path.join(work, "out.wav")
    empty = os.path.join(work, "empty.mid")
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "make_midi.py"), empty, "1", "0.01"], check=True)
    modules = ([OURS] if os.path.exists(OURS) else []) + [p for p in PEERS if os.path.exists(p)]
    if not os.path.exists(OURS):
        print("note: %s is not built; peers only" % OURS)
    results = {}
    for voices in (1, 16):
        midi = os.path.join(work, "held%d.mid" % voices)
        subprocess.run([sys.executable, os.path.join(ROOT, "bench", "make_midi.py"), midi, str(voices), str(SECONDS)],
                       check=True)
        for m in modules:
            try:
                results[(m, voices)] = realtime_factor(m, midi, empty, out, voice_settings(m, voices))
            except RuntimeError as e:
                results[(m, voices)] = None
                print("%s: %s" % (os.path.basename(m), e))
    print("%-22s %12s %12s" % ("module", "1 voice", "16 voices"))
    for m in modules:
        cells = []
        for voices in (1, 16):
            rtf = results.get((m, voices))
            cell = "failed" if rtf is None else "%.0fx" % rtf
            ours = results.get((OURS, voices))
            if m != OURS and rtf and ours:
                cell += " (%.2f)" % (ours / rtf)
            cells.append(cell)
        print("%-22s %12s %12s" % (os.path.basename(m), cells[0], cells[1]))
    print("real-time factors; in brackets ours divided by the peer's (above 1: we are faster)")


def check():
    status = 0
    for m in PEERS:
        if not os.path.exists(m):
            print("%s is not installed" % m)
            continue
        print("\n# " + m, flush=True)
        r = subprocess.run([HOST, "check", m], env=dict(os.environ))
        status |= r.returncode
    return status


def main():
    if not os.path.exists(HOST):
        sys.exit("build first: %s is missing" % HOST)
    install_peers()
    if len(sys.argv) > 1 and sys.argv[1] == "check":
        # Third-party faults are reported, not hidden; the script itself succeeds.
        check()
        return 0
    render()
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""The measuring half of scripts/bench.sh (which builds, starts the server and
the Wine prefix, then runs this). Every comparison is made of pairs run in
turn, A then B, several rounds in the same run; a ratio is the median of the
rounds' ratios, and every figure comes with its spread (lowest to highest).

Environment from bench.sh: TOP, BENCH (the output directory), WINEPREFIX,
WINE, SERVER (the update server's directory), PORT, SETUP (orv_setup.exe),
PROG (packaged_prog.exe), COUNT, SIZES, MEM_SIZES, SCALE, SCALE_MIB, RUNS,
CATALOG_BYTES.
"""
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.environ["TOP"]
BENCH = os.environ["BENCH"]
WINE = os.environ["WINE"]
SERVER = os.environ["SERVER"]
PORT = os.environ["PORT"]
SETUP = os.environ["SETUP"]
PROG = os.environ["PROG"]
COUNT = int(os.environ["COUNT"])
SIZES = [float(s) for s in os.environ["SIZES"].split()]
MEM_SIZES = [float(s) for s in os.environ["MEM_SIZES"].split()]
SCALE = [int(s) for s in os.environ["SCALE"].split()]
SCALE_MIB = float(os.environ["SCALE_MIB"])
RUNS = int(os.environ["RUNS"])
QUICK_RUNS = 6 * RUNS
CATALOG_BYTES = int(os.environ["CATALOG_BYTES"])
MEM_GOAL_MIB = 40
BIN = os.path.join(BENCH, "bin")
WORK = os.path.join(BENCH, "work")
WWW = os.path.join(SERVER, "www")
CA = os.path.join(SERVER, "certs", "self.pem")


def win(path):
    return "Z:" + path.replace("/", "\\")


def run(argv, quiet=True):
    """Runs argv; returns (seconds, peak resident KiB of the process)."""
    # Standard error goes to a file: Wine's services started by a first run
    # inherit it and would keep a pipe open long after the run.
    with tempfile.TemporaryFile() as errf:
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdout=subprocess.DEVNULL if quiet else None, stderr=errf)
        _, status, usage = os.wait4(p.pid, 0)
        dt = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        errf.seek(0)
        err = errf.read().decode(errors="replace")
    if p.returncode != 0:
        sys.exit("bench: %s failed (%d): %s" % (" ".join(argv), p.returncode, err[-2000:]))
    return dt, usage.ru_maxrss


def site(name, pad_mib, catalog_bytes=0, count=None):
    """Writes the site www/<name> once (count packages, COUNT unless given);
    returns its public key, package names and components."""
    d = os.path.join(WWW, name)
    key_file = os.path.join(BENCH, "sites", name + ".key")
    if not os.path.exists(key_file):
        shutil.rmtree(d, ignore_errors=True)
        argv = [sys.executable, os.path.join(TOP, "scripts", "demo_site.py"), d, PROG,
                "--packages", str(count or COUNT), "--pad-mib", str(pad_mib)]
        if catalog_bytes:
            argv += ["--catalog-bytes", str(catalog_bytes)]
        key = subprocess.run(argv, check=True, capture_output=True, text=True).stdout.strip()
        os.makedirs(os.path.dirname(key_file), exist_ok=True)
        with open(key_file, "w") as f:
            f.write(key)
    with open(os.path.join(d, "alpha", "components.json")) as f:
        doc = json.load(f)
    names = [a["url"] for a in doc["releases"][0]["artifacts"]]
    return open(key_file).read().strip(), names, [a["component"] for a in doc["releases"][0]["artifacts"]]


def url(name):
    return "https://localhost:%s/%s" % (PORT, name)


def setup_argv(name, key, extra):
    root = os.path.join(WORK, "setup")
    return [WINE, SETUP, "--url", url(name), "--ca-file", win(CA), "--public-key", key,
            "--root", win(root + "/root"), "--install-dir", win(root + "/install"),
            "--state-dir", win(root + "/state")] + extra


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def install_run(name, key, comps):
    fresh(os.path.join(WORK, "setup"))
    return run(setup_argv(name, key, ["--silent", "--components", ",".join(comps),
                                      "--no-updater-schedule", "--no-resume-service",
                                      "--no-scheduler-service"]))


def native_steps(name, out):
    """The native pipeline of each package of site name into out: curl,
    sha256sum, zstd -dc | tar -x, as one shell command line per package."""
    fresh(out)
    with open(os.path.join(WWW, name, "alpha", "components.json")) as f:
        arts = json.load(f)["releases"][0]["artifacts"]
    steps = []
    for a in arts:
        f = os.path.join(out, os.path.basename(a["url"]))
        dest = os.path.join(out, a["component"])
        steps.append("curl -sSf --cacert %s -o %s %s/alpha/%s && "
                     "echo '%s  %s' | sha256sum -c --quiet && "
                     "mkdir -p %s && zstd -qdc %s | tar -x -C %s"
                     % (CA, f, url(name), a["url"], a["sha256"], f, dest, f, dest))
    return steps


def native_run(name, pkgs):
    """The native pipeline, one package after the other."""
    steps = native_steps(name, os.path.join(WORK, "native"))
    return run(["bash", "-c", "set -e -o pipefail\n" + "\n".join(steps)])


def native_parallel_run(name, pkgs):
    """The yardstick: the native pipeline of every package at once, as an
    administrator's script would run them."""
    steps = native_steps(name, os.path.join(WORK, "native-parallel"))
    script = ["set -e -o pipefail", "pids="]
    script += ["( %s ) & pids=\"$pids $!\"" % st for st in steps]
    script.append("for p in $pids; do wait $p; done")
    return run(["bash", "-c", "\n".join(script)])


def winhttp_run(name, pkgs, parallel=False):
    out = os.path.join(WORK, "winhttp")
    fresh(out)
    return run([WINE, os.path.join(BIN, "winhttp_get.exe"), win(out)] + (["-p"] if parallel else []) +
               ["%s/alpha/%s" % (url(name), p) for p in pkgs])


def write_run(mib, piece_kib, files, flush=False):
    """Wine's cost of writing files: files files of mib MiB each, written at
    once from their own threads in pieces of piece_kib KiB, and with flush
    also flushed to the disk."""
    out = os.path.join(WORK, "writes")
    fresh(out)
    return run([WINE, os.path.join(BIN, "write_speed.exe"), win(out), str(int(mib)),
                str(piece_kib), str(files)] + (["flush"] if flush else []))


def rounds(*commands, count=None):
    """count (RUNS) rounds of the commands in turn; returns one list of
    (seconds, KiB) per command."""
    results = [[] for _ in commands]
    for _ in range(count or RUNS):
        for r, c in zip(results, commands):
            r.append(c())
    return results


def pairs(a, b, count=None):
    """count (RUNS) rounds of a() then b(); returns the two lists of (seconds, KiB)."""
    return rounds(a, b, count=count)


def spread(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def ratio_row(what, ra, rb, alt, goal):
    ta, tb = [r[0] for r in ra], [r[0] for r in rb]
    ratios = [x / y for x, y in zip(ta, tb)]
    return {"what": what, "setup_s": spread(ta), "alternative": alt, "alternative_s": spread(tb),
            "ratio": spread(ratios), "goal": goal,
            "reached": statistics.median(ratios) <= goal}


def main():
    rows, parts, memory = [], [], []

    # --version against a trivial static program under the same prefix.
    hello = os.path.join(BIN, "hello.exe")
    # Short runs vary much more from one round to the next: more rounds.
    ra, rb = pairs(lambda: run([WINE, SETUP, "--version"]), lambda: run([WINE, hello]), QUICK_RUNS)
    rows.append(ratio_row("--version", ra, rb, "hello.exe (static, same prefix)", 1.3))
    start_s = statistics.median([r[0] for r in rb])
    parts.append({"what": "Wine process start (hello.exe)", "s": spread([r[0] for r in rb])})

    # SHA-256 inside a Windows program, with the libcrypto the setup links.
    rates = [float(subprocess.run([WINE, os.path.join(BIN, "sha256_speed.exe")], check=True,
                                  capture_output=True, text=True).stdout) for _ in range(3)]
    parts.append({"what": "SHA-256 under Wine, MB/s", "rate": spread(rates)})

    # Silent installs against the native pipeline, one package after the
    # other and all packages at once (the yardstick), run in turn; Wine's
    # WinHTTP alone beside them, one download after the other and all at once.
    for size in SIZES:
        name = "pkgs-%dx%gmib" % (COUNT, size)
        key, pkgs, comps = site(name, size)
        ri, rs, rp, rw, rwp = rounds(lambda: install_run(name, key, comps),
                                     lambda: native_run(name, pkgs),
                                     lambda: native_parallel_run(name, pkgs),
                                     lambda: winhttp_run(name, pkgs),
                                     lambda: winhttp_run(name, pkgs, True))
        what = "silent install, %d x %g MiB" % (COUNT, size)
        rows.append(ratio_row(what, ri, rp, "the native pipeline, all packages at once",
                              install_goal(size)))
        rows.append(ratio_row(what, ri, rs, "the native pipeline, one package after the other",
                              1.5))
        install_s = statistics.median([r[0] for r in ri])
        for label, rr in (("one after the other", rw), ("all at once", rwp)):
            parts.append({"what": "WinHTTP download alone, %d x %g MiB, %s (plain loop, no hash)"
                          % (COUNT, size, label), "s": spread([r[0] for r in rr]),
                          "share_of_install": statistics.median([r[0] for r in rr]) / install_s})
        # Wine's cost of writing the unpacked bytes, in the unpacker's
        # pieces and in larger ones, all packages at once; and of flushing
        # them to the disk, which an install does for its downloads and its
        # version directory and the native pipeline never does.
        for kib, flush in ((128, False), (1024, False), (128, True)):
            ws = [write_run(size, kib, COUNT, flush)[0] for _ in range(3)]
            parts.append({"what": "writing %d x %g MiB under Wine, all at once, in %d KiB pieces%s"
                          % (COUNT, size, kib, ", flushed" if flush else ""), "s": spread(ws),
                          "share_of_install": statistics.median(ws) / install_s})

    # Scaling: the install and the yardstick over numbers of packages.
    scaling = []
    for n in SCALE:
        name = "pkgs-%dx%gmib" % (n, SCALE_MIB)
        key, pkgs, comps = site(name, SCALE_MIB, count=n)
        ri, rp = pairs(lambda: install_run(name, key, comps),
                       lambda: native_parallel_run(name, pkgs))
        scaling.append({"packages": n, "setup_s": spread([r[0] for r in ri]),
                        "alternative_s": spread([r[0] for r in rp]),
                        "ratio": spread([a[0] / b[0] for a, b in zip(ri, rp)])})
    scale = scaling_verdict(scaling)

    # Peak memory of the setup's process at two package sizes.
    for size in MEM_SIZES:
        name = "pkgs-%dx%gmib" % (COUNT, size)
        key, pkgs, comps = site(name, size)
        kib = [install_run(name, key, comps)[1] for _ in range(max(1, RUNS // 2))]
        memory.append({"package_mib": size, "peak_mib": spread([k / 1024 for k in kib])})

    # --list-components with a 1 MiB catalog against a small one.
    small_key, _, _ = site("catalog-small", 0)
    big_key, _, _ = site("catalog-big", 0, CATALOG_BYTES)

    def listing(name, key):
        # A fresh state each time: the catalog's sequence was seen before.
        fresh(os.path.join(WORK, "setup"))
        return run(setup_argv(name, key, ["--list-components"]))

    ra, rb = pairs(lambda: listing("catalog-big", big_key), lambda: listing("catalog-small", small_key),
                   QUICK_RUNS)
    extra = [(x[0] - y[0]) * 1000 for x, y in zip(ra, rb)]
    big_size = os.path.getsize(os.path.join(WWW, "catalog-big", "alpha", "components.json"))
    catalog = {"what": "--list-components, %d-byte catalog against a small one" % big_size,
               "big_s": spread([r[0] for r in ra]), "small_s": spread([r[0] for r in rb]),
               "extra_ms": spread(extra), "goal_ms": 50,
               "reached": statistics.median(extra) <= 50}

    peaks = [m["peak_mib"]["median"] for m in memory]
    mem_ok = max(peaks) <= MEM_GOAL_MIB and (max(peaks) - min(peaks)) <= 2
    result = {"machine": {"cpu": cpu_name(), "cores": os.cpu_count(), "kernel": platform.release(),
                          "wine": subprocess.run([WINE, "--version"], capture_output=True,
                                                 text=True).stdout.strip()},
              "runs": RUNS, "quick_runs": QUICK_RUNS, "ratios": rows, "memory": {"sizes": memory, "goal_mib": MEM_GOAL_MIB,
                                                       "reached": mem_ok},
              "scaling": {"points": scaling, **scale}, "catalog": catalog, "parts": parts}
    os.makedirs(BENCH, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    for path in (os.path.join(BENCH, "bench-%s.json" % stamp), os.path.join(BENCH, "latest.json")):
        with open(path, "w") as f:
            json.dump(result, f, indent=1)
    print_table(result)
    print("\nJSON: %s" % os.path.join(BENCH, "latest.json"))


def install_goal(size):
    """The install's goal against the yardstick: 1.5 for large packages
    (256 MiB and more), 2.0 for smaller ones, whose fixed part weighs more."""
    return 1.5 if size >= 256 else 2.0


def scaling_verdict(points):
    """Whether the install scales no worse than linearly past four packages:
    time in proportion to the packages at most, so that a package past four
    costs no more than a package of the four did on average (the time of four
    over four). The slope from the fewest packages to four is shown beside it:
    up to four the downloads share the link in parallel, past four each one
    adds its whole transfer, and the yardstick's slope grows the same way."""
    t = {p["packages"]: p["setup_s"]["median"] for p in points}
    alt = {p["packages"]: p["alternative_s"]["median"] for p in points}
    low = [n for n in t if n < 4]
    high = [n for n in t if n > 4]
    if 4 not in t or not low or not high:
        return {"reached": None}
    a, b = min(low), max(high)
    before = (t[4] - t[a]) / (4 - a)
    after = (t[b] - t[4]) / (b - 4)
    # A tenth of a second's room: one start under Wine varies by that much.
    return {"s_per_package_up_to_4": before, "s_per_package_past_4": after,
            "s_per_package_at_4": t[4] / 4,
            "yardstick_s_per_package_up_to_4": (alt[4] - alt[a]) / (4 - a),
            "yardstick_s_per_package_past_4": (alt[b] - alt[4]) / (b - 4),
            "reached": after <= t[4] / 4 + 0.1 / (b - 4)}


def cpu_name():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def fmt(s):
    return "%.3f (%.3f-%.3f)" % (s["median"], s["min"], s["max"])


def print_table(r):
    m = r["machine"]
    print("machine: %s, %d cores, Linux %s, %s; %d rounds each (%d for --version and "
          "--list-components)" % (m["cpu"], m["cores"], m["kernel"], m["wine"], r["runs"],
                                  r["quick_runs"]))
    print("%-32s %-24s %-24s %-22s %-5s %s" % ("what", "orv_setup s", "alternative s",
                                               "ratio", "goal", "reached"))
    for row in r["ratios"]:
        print("%-32s %-24s %-24s %-22s %-5s %s" % (row["what"], fmt(row["setup_s"]),
                                                   fmt(row["alternative_s"]), fmt(row["ratio"]),
                                                   "%.1f" % row["goal"],
                                                   "yes" if row["reached"] else "no"))
        print("%-32s   against %s" % ("", row["alternative"]))
    for mem in r["memory"]["sizes"]:
        print("%-32s %s MiB" % ("peak memory, %g MiB packages" % mem["package_mib"],
                                fmt(mem["peak_mib"])))
    print("%-32s %s" % ("memory goal (flat, <= %d MiB)" % r["memory"]["goal_mib"],
                        "yes" if r["memory"]["reached"] else "no"))
    sc = r["scaling"]
    for p in sc["points"]:
        print("%-32s %-24s %-24s %s" % ("install, %d packages" % p["packages"], fmt(p["setup_s"]),
                                        fmt(p["alternative_s"]), fmt(p["ratio"])))
    if sc.get("reached") is not None:
        print("%-32s %.3f s a package past 4, %.3f s a package at 4: %s" % (
            "scaling past four packages", sc["s_per_package_past_4"],
            sc["s_per_package_at_4"], "linear or better" if sc["reached"] else "worse than linear"))
        print("%-32s %.3f s a package up to 4, %.3f s past 4 (yardstick %.3f and %.3f)" % (
            "  slopes", sc["s_per_package_up_to_4"], sc["s_per_package_past_4"],
            sc["yardstick_s_per_package_up_to_4"], sc["yardstick_s_per_package_past_4"]))
    c = r["catalog"]
    print("%-32s %s ms (goal <= 50: %s)" % ("--list-components 1 MiB extra", fmt(c["extra_ms"]),
                                             "yes" if c["reached"] else "no"))
    print("where the time goes:")
    for p in r["parts"]:
        if "rate" in p:
            print("  %-60s %s" % (p["what"], fmt(p["rate"])))
        else:
            share = "  (%.0f %% of the install's median)" % (100 * p["share_of_install"]) \
                if "share_of_install" in p else ""
            print("  %-60s %s s%s" % (p["what"], fmt(p["s"]), share))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Measures corvane against its floor: plain C programs that make exactly the OpenCL calls of --probe
and --self-test. On demand; CI does not run it. Method, targets, figures: scripts/bench/README.md.
Usage: scripts/bench/bench.py (no arguments; results in $BENCH_OUT, default build/bench). Knobs:
BENCH_ROUNDS (5) rounds of BENCH_RUNS (40) runs of each command, BENCH_COLD_RUNS (3) with a cold
cache; BENCH_RSS_RUNS (5); BENCH_COLD_CALLGRIND=0 skips the slow callgrind runs of a cold cache."""
import datetime, difflib, json, os, platform, re, shlex, statistics, subprocess, sys, sysconfig, tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = Path(os.environ.get("BENCH_OUT", ROOT / "build" / "bench")).resolve()
LOG = OUT / "bench.log"
ROUNDS, RUNS, COLD_RUNS, RSS_RUNS = (int(os.environ.get("BENCH_" + name, default)) for name, default in
                                     (("ROUNDS", 5), ("RUNS", 40), ("COLD_RUNS", 3), ("RSS_RUNS", 5)))
COLD_CALLGRIND = os.environ.get("BENCH_COLD_CALLGRIND", "1") != "0"
# For the scripted driver: two platforms, the first with a CPU and a GPU whose work groups are small.
SCENARIO = ("platform\nname first\nvendor V\nversion OpenCL 1.2\n"
            "device\ntype 2\nname cpu\nopencl_c OpenCL C 1.2\ncompiler 1\n"
            "device\ntype 4\nname gpu\nopencl_c OpenCL C 1.2\ncompiler 1\nmax_work_group 32\n"
            "platform\nname second\nvendor W\nversion OpenCL 3.0\n"
            "device\ntype 2\nname cpu2\nopencl_c OpenCL C 3.0\ncompiler 1\n")


def note(text):
    print(text, file=sys.stderr)
    print(text, file=LOG_FILE)


def fail(text):
    note("FATAL: " + text)
    sys.exit(1)


def shell(argv):
    return shlex.join(map(str, argv))


def run(argv, env=None, logged=False):  # a logged run must succeed, and its output goes to the log
    if not logged:
        return subprocess.run(list(map(str, argv)), env=env, capture_output=True, text=True)
    if subprocess.run(list(map(str, argv)), env=env, stdout=LOG_FILE, stderr=subprocess.STDOUT).returncode:
        fail(f"{shell(argv)} failed; its output is in {LOG}")


def cmake_tree(name, targets, *options):
    run(["cmake", "-S", ROOT, "-B", OUT / name, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", *options], logged=True)
    run(["cmake", "--build", OUT / name, "-j", os.cpu_count(), "--target", *targets], logged=True)
    return OUT / name


def vendor_dir(name, libraries):
    """A driver set's own vendor folder: one .icd file per driver, holding its absolute path."""
    (TMP / name).mkdir()
    for library in libraries:  # a bare library name is one in Debian's multiarch library folder
        library = Path("/usr/lib", sysconfig.get_config_var("MULTIARCH"), library)
        if not library.is_file():
            fail(f"no driver library {library}")
        (TMP / name / (library.name.split(".so")[0] + ".icd")).write_text(f"{library}\n")
    return TMP / name


def env_for(vendors, cache, **extra):
    return dict(os.environ, OCL_ICD_VENDORS=str(vendors), POCL_CACHE_DIR=str(cache), **extra)


def peak_rss(argv, env):  # in KiB; a child of Python itself would start with Python's pages counted
    run(["/usr/bin/time", "-f", "%M", "-o", TMP / "rss", *argv], env)
    return int((TMP / "rss").read_text().split()[-1])


def instructions(argv, env):
    err = run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv], env).stderr
    found = re.search(r"^==\d+== Collected : (\d+)$", err, re.M)
    return int(found[1]) if found else fail(f"callgrind gave no count for {shell(argv)}:\n{err}")


def wall(rows, env, runs, prepare):
    """Median wall times of one group's rows. hyperfine runs its commands one after the other, and a drift of
    the machine's speed would favour some: so it runs in rounds, the order of the commands rotated every
    round, and a row's figure is the median of its round medians."""
    medians, order = {row[3]: [] for row in rows}, list(rows)
    for turn in range(ROUNDS):
        args = ["hyperfine", "-N", "-i", "--style", "basic", "--warmup", 2, "--runs", runs,
                "--export-json", TMP / "wall.json"] + (["--prepare", prepare] if prepare else [])
        for row in order[turn % len(order):] + order[:turn % len(order)]:
            args += ["-n", row[3], shell(rows[row])]
        run(args, env, logged=True)
        for result in json.loads((TMP / "wall.json").read_text())["results"]:
            if order[0][1] == "self-test" and any(result["exit_codes"]):
                fail(f"{result['command']} failed in the timing runs, exit statuses {result['exit_codes']}")
            medians[result["command"]].append(result["median"])
    return {row: statistics.median(medians[row[3]]) for row in rows}


def main():
    run([ROOT / "scripts" / "setup-debian.sh", "bench"], logged=True)
    note("building the tool (C++ runtime linked in), a dynamic build (-DCORVANE_STATIC_RUNTIME=OFF), the floors")
    tool = cmake_tree("tool-build", ["corvane", "corvane_fake_icd"], "-DCORVANE_TESTS=ON") / "corvane"
    dynamic = cmake_tree("dynamic-build", ["corvane"], "-DCORVANE_TESTS=OFF", "-DCORVANE_STATIC_RUNTIME=OFF")
    dynamic /= "corvane"
    for binary, loads in ((tool, False), (dynamic, True)):
        if ("libstdc++" in run(["readelf", "-d", binary]).stdout) != loads:
            fail(f"{binary} {'does not load' if loads else 'loads'} libstdc++.so")
    floor = {"probe": OUT / "floor_probe", "self-test": OUT / "floor_selftest"}
    for program in floor.values():
        run(["cc", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-DCL_TARGET_OPENCL_VERSION=120",
             ROOT / "scripts" / "bench" / f"{program.name}.c", "-o", program, "-lOpenCL"], logged=True)
    installed = {icd.stem: icd.read_text().strip() for icd in sorted(Path("/etc/OpenCL/vendors").glob("*.icd"))}
    sets = {"PoCL": vendor_dir("pocl", [installed["pocl"]]),
            "installed": vendor_dir("installed", installed.values()),
            "oclgrind": vendor_dir("oclgrind", ["/usr/lib/oclgrind/liboclgrind-rt-icd.so"]),
            "no driver": vendor_dir("none", [])}
    # PoCL's kernel cache: a new empty folder each time for a cold one, and a warm one for the host's
    # CPU and another for valgrind's, for which PoCL keeps entries of its own.
    cache = lambda state, user="": Path(tempfile.mkdtemp(dir=TMP)) if state == "cold" else TMP / f"{user}warm"

    # The floors must make the tool's calls, or the comparison means nothing: the call logs of the
    # project's scripted driver must agree line for line.
    (TMP / "scenario").write_text(SCENARIO)
    scripted, parity = vendor_dir("scripted", [tool.parent / "tests" / "libcorvane_fake_icd.so"]), []
    for command, program in floor.items():
        logs = {}
        for who, argv in ((program.name, [program]), ("corvane", [tool, "--" + command]),
                          ("corvane-dynamic", [dynamic, "--" + command])):
            calls = TMP / f"calls.{command}.{who}"
            run(argv, env_for(scripted, cache("warm"), OCL_ICD_PLATFORM_SORT="none",
                              CORVANE_FAKE_SCENARIO=str(TMP / "scenario"), CORVANE_FAKE_CALL_LOG=str(calls)))
            logs[who] = calls.read_text().splitlines() if calls.exists() else []
            if not logs[who]:
                fail(f"{shell(argv)}: the scripted driver logged no call")
            if logs[who] != logs[program.name]:
                diff = difflib.unified_diff(logs[program.name], logs[who], program.name, who, lineterm="")
                fail(f"{who} and {program.name} make different OpenCL calls on the scripted driver:\n"
                     + "\n".join(diff))
        parity.append(f"--{command} identical ({len(logs[program.name])} calls)")
    note("OpenCL calls of tool and floor on the scripted driver: " + ", ".join(parity))

    # The tool and the floor must see the same platforms and devices, and none only without a driver.
    for name, vendors in sets.items():
        report = run([tool, "--probe"], env_for(vendors, cache("warm"))).stdout
        platforms = re.findall(r"^platform_count=(\d+)$", report, re.M) or ["?"]
        devices = sum(map(int, re.findall(r"^platform\[\d+\]\.device_count=(\d+)$", report, re.M)))
        seen = f"platforms={platforms[0]} devices={devices}"
        floor_seen = run([floor["probe"]], env_for(vendors, cache("warm"))).stdout.strip()
        note(f"{name}: tool {seen}, floor {floor_seen}")
        if seen != floor_seen or (platforms[0] == "0") != (name == "no driver"):
            fail(f"unexpected platforms and devices on {name}")

    # Rows, in table order: (driver set, command, PoCL cache, label) -> command line.
    rows = {}
    groups = [(name, "probe", "-") for name in sets] + [("PoCL", "self-test", state) for state in ("warm", "cold")]
    for group in groups + [("oclgrind", "self-test", "-")]:
        c = group[1]
        rows.update({(*group, floor[c].name): [floor[c]], (*group, f"corvane --{c}"): [tool, "--" + c],
                     (*group, f"corvane-dynamic --{c}"): [dynamic, "--" + c]})
        if c == "probe":  # and what else finds the platforms and devices; the floor again shows the noise
            rows.update({(*group, "clinfo -l"): ["clinfo", "-l"], (*group, "clinfo"): ["clinfo"],
                         (*group, "floor_probe (again)"): [floor[c]]})
    floor_of = {row: (*row[:3], floor[row[1]].name) for row in rows}
    median, rss, count = {}, {}, {}
    for group in dict.fromkeys(row[:3] for row in rows):
        note(f"wall time: {group[0]}, {group[1]}, cache {group[2]}")
        folder, cold = cache(group[2]), group[2] == "cold"
        median.update(wall({row: argv for row, argv in rows.items() if row[:3] == group},
                           env_for(sets[group[0]], folder), COLD_RUNS if cold else RUNS,
                           shell(["rm", "-rf", folder]) if cold else None))
    # Instructions: the median of three callgrind runs, one with a cold cache (its compile takes
    # most of a minute under valgrind); not of clinfo, nor of a self-test on oclgrind's simulator.
    note("peak RSS and callgrind")
    run(["valgrind", "--tool=none", floor["self-test"]], env_for(sets["PoCL"], cache("warm", "valgrind-")))
    for row, argv in rows.items():
        rss[row] = max(peak_rss(argv, env_for(sets[row[0]], cache(row[2]))) for _ in range(RSS_RUNS))
        if ("(again)" not in row[3] and not row[3].startswith("clinfo") and row[:2] != ("oclgrind", "self-test")
                and (row[2] != "cold" or COLD_CALLGRIND)):
            count[row] = statistics.median(instructions(argv, env_for(sets[row[0]], cache(row[2], "valgrind-")))
                                           for _ in range(1 if row[2] == "cold" else 3))

    # Results.
    cpu = re.search(r"^model name\s*: (.*)$", Path("/proc/cpuinfo").read_text(), re.M)
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    system = platform.freedesktop_os_release().get("PRETTY_NAME", "system unknown")
    commit = run(["git", "-C", ROOT, "describe", "--always", "--dirty", "--abbrev=12"]).stdout.strip()
    lines = ["# corvane against its floor", "",
             f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, commit {commit}, {os.cpu_count()} "
             f"cores, {cpu[1] if cpu else 'CPU model unknown'}, {memory:.0f} GiB, {system}. Drivers \"installed\": "
             f"every .icd file of /etc/OpenCL/vendors ({', '.join(installed)}).",
             f"OpenCL calls of tool and floor on the scripted driver: {', '.join(parity)}.",
             f"Wall time: median of {ROUNDS} round medians of {RUNS} runs ({COLD_RUNS} with a cold cache); peak RSS: "
             f"largest of {RSS_RUNS} runs; instructions: callgrind, median of 3 runs (1 with a cold cache).", "",
             "| drivers | cache | command | median ms | × floor | peak RSS KiB | + floor KiB | instructions "
             "| + floor |",
             "|---|---|---|--:|--:|--:|--:|--:|--:|"]
    over = lambda figures, row: figures[row] - figures[floor_of[row]]
    ratio = lambda row: median[row] / median[floor_of[row]]
    share = lambda row: 100 * over(count, row) / count[floor_of[row]]  # per cent over the floor
    for row in rows:
        n = f"{count[row] / 1e6:.3f}M | {over(count, row) / 1e6:.3f}M ({share(row):.2f}%)" if row in count else " | "
        lines.append(f"| {' | '.join(row[:1] + row[2:])} | {median[row] * 1000:.1f} | {ratio(row):.3f} | {rss[row]} "
                     f"| {over(rss, row)} | {n} |")
    lines += ["", "## Targets", ""]

    def target(text, figure, reached):  # reached is None when nothing was measured
        verdict = "" if reached is None else " — reached" if reached else " — NOT reached"
        lines.append(f"- {text}: {figure}{verdict}")
    where = lambda row: ", ".join(row[:2]) + (f", {row[2]} cache" if row[2] != "-" else "")
    for name in ("corvane", "corvane-dynamic"):
        probe, own = ("PoCL", "probe", "-", f"{name} --probe"), [row for row in rows if row[3].startswith(name + " ")]
        target(f"{name} --probe on PoCL, instructions over the floor ≤ 0.3M", f"{over(count, probe) / 1e6:.3f}M",
               over(count, probe) <= 300_000)
        for row in [("PoCL", "self-test", state, f"{name} --self-test") for state in ("warm", "cold")]:
            target(f"{name} --self-test on PoCL ({row[2]} cache), instructions over the floor ≤ 1%",
                   f"{share(row):.3f}%" if row in count else "not measured", share(row) <= 1 if row in count else None)
        for what, figure, shown, limit in (("peak RSS ≤ floor + 1024 KiB", lambda r: over(rss, r), "{:+d} KiB", 1024),
                                           ("wall time ≤ 1.05 × floor", ratio, "{:.3f}", 1.05)):
            worst = max(own, key=figure)
            target(f"{name} {what}, worst row", f"{shown.format(figure(worst))} ({where(worst)})",
                   figure(worst) <= limit)
        speed = median[("PoCL", "probe", "-", "clinfo")] / median[probe]
        target(f"{name} --probe at least 1.4× faster than full clinfo on PoCL", f"{speed:.2f}×", speed >= 1.4)
    noise = ratio(("PoCL", "probe", "-", "floor_probe (again)"))
    lines += ["", f"Noise: the PoCL probe floor, measured again in a row of its own, took {noise:.3f}× its median."]
    (OUT / "results.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    note(f"written: {OUT / 'results.md'} (the tools' own output: {LOG})")


if __name__ == "__main__":
    if sys.argv[1:]:
        sys.exit(__doc__)
    OUT.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp, LOG.open("w", buffering=1) as log:
        TMP, LOG_FILE = Path(tmp), log
        main()

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Measures corvane against its floor, C programs making exactly its OpenCL calls: scripts/bench/README.md.
No arguments; results in $BENCH_OUT (build/bench). Knobs: BENCH_ROUNDS (5) rounds of BENCH_RUNS (40) runs,
BENCH_COLD_RUNS (3) with a cold cache; BENCH_COLD_CALLGRIND=0 skips callgrind with a cold cache."""
import difflib, json, os, re, shlex, statistics, subprocess, sys, sysconfig, tempfile, time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = Path(os.environ.get("BENCH_OUT", ROOT / "build" / "bench")).resolve()
ROUNDS = int(os.environ.get("BENCH_ROUNDS", 5))
RUNS = int(os.environ.get("BENCH_RUNS", 40))
COLD_RUNS = int(os.environ.get("BENCH_COLD_RUNS", 3))
COLD_CALLGRIND = os.environ.get("BENCH_COLD_CALLGRIND", "1") != "0"
RSS_RUNS = 5
# For the scripted driver: two platforms, the first with a CPU and a GPU whose work groups are small.
SCENARIO = ("platform\nname first\nvendor V\nversion OpenCL 1.2\n"
            "device\ntype 2\nname cpu\nopencl_c OpenCL C 1.2\ncompiler 1\n"
            "device\ntype 4\nname gpu\nopencl_c OpenCL C 1.2\ncompiler 1\nmax_work_group 32\n"
            "platform\nname second\nvendor W\nversion OpenCL 3.0\n"
            "device\ntype 2\nname cpu2\nopencl_c OpenCL C 3.0\ncompiler 1\n")


def run(argv, env=None, logged=False):
    """A logged run must succeed, and its output goes to the log; another's output is returned."""
    argv = [str(arg) for arg in argv]
    if not logged:
        return subprocess.run(argv, env=env, capture_output=True, text=True)
    if subprocess.run(argv, env=env, stdout=LOG, stderr=subprocess.STDOUT).returncode:
        sys.exit(f"FATAL: {shlex.join(argv)} failed; its output is in {LOG.name}")


def vendor_dir(name, libraries):
    """A vendor folder with an .icd file per driver holding its path; a bare name is in /usr/lib/MULTIARCH."""
    (TMP / name).mkdir()
    for library in libraries:
        library = Path("/usr/lib", sysconfig.get_config_var("MULTIARCH"), library)
        (TMP / name / (library.name.split(".so")[0] + ".icd")).write_text(f"{library}\n")
    return TMP / name


def env_for(vendors, cache, user="", **extra):
    # PoCL's kernel cache: a cold one is new and empty; valgrind's CPU is not the host's, so it has its own.
    folder = Path(tempfile.mkdtemp(dir=TMP)) if cache == "cold" else TMP / (user + "warm")
    return dict(os.environ, OCL_ICD_VENDORS=str(vendors), POCL_CACHE_DIR=str(folder), **extra)


def peak_rss(argv, env):  # in KiB; a child of Python itself would start with Python's pages counted
    run(["/usr/bin/time", "-f", "%M", "-o", TMP / "rss", *argv], env)
    return int((TMP / "rss").read_text().split()[-1])


def instructions(argv, env):
    err = run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv], env).stderr
    found = re.search(r"^==\d+== Collected : (\d+)$", err, re.M)
    if not found:
        sys.exit(f"FATAL: callgrind gave no count for {shlex.join(map(str, argv))}:\n{err}")
    return int(found[1])


def wall(rows, env, command, cache):
    """Median wall times. A drift of the machine's speed would favour some of hyperfine's commands, so the
    order rotates every round, and a row's figure is the median of its round medians."""
    labels, medians = list(rows), {label: [] for label in rows}
    for turn in range(ROUNDS):
        args = ["hyperfine", "-N", "-i", "--style", "basic", "--warmup", 2, "--export-json",
                TMP / "wall.json", "--runs", COLD_RUNS if cache == "cold" else RUNS]
        if cache == "cold":
            args += ["--prepare", "rm -rf " + shlex.quote(env["POCL_CACHE_DIR"])]
        for label in labels[turn % len(labels):] + labels[:turn % len(labels)]:
            args += ["-n", label, shlex.join(map(str, rows[label]))]
        run(args, env, logged=True)
        for result in json.loads((TMP / "wall.json").read_text())["results"]:
            if command == "self-test" and any(result["exit_codes"]):
                sys.exit(f"FATAL: {result['command']} failed, exit statuses {result['exit_codes']}")
            medians[result["command"]].append(result["median"])
    return {label: statistics.median(times) for label, times in medians.items()}


def main():
    run([ROOT / "scripts" / "setup-debian.sh", "bench"], logged=True)
    for tree, static in (("tool-build", "ON"), ("dynamic-build", "OFF")):  # the C++ runtime linked in or not
        run(["cmake", "-S", ROOT, "-B", OUT / tree, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCORVANE_TESTS=ON",
             f"-DCORVANE_STATIC_RUNTIME={static}"], logged=True)
        run(["cmake", "--build", OUT / tree, "-j", os.cpu_count(), "--target", "corvane", "corvane_fake_icd"],
            logged=True)
    tool, dynamic = OUT / "tool-build" / "corvane", OUT / "dynamic-build" / "corvane"
    for binary, loads in ((tool, False), (dynamic, True)):
        if ("libstdc++" in run(["readelf", "-d", binary]).stdout) != loads:
            sys.exit(f"FATAL: {binary} {'does not load' if loads else 'loads'} libstdc++.so")
    floors = {"probe": OUT / "floor_probe", "self-test": OUT / "floor_selftest"}
    for floor in floors.values():
        run(["cc", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-DCL_TARGET_OPENCL_VERSION=120",
             ROOT / "scripts" / "bench" / f"{floor.name}.c", "-o", floor, "-lOpenCL"], logged=True)
    installed = {icd.stem: icd.read_text().strip() for icd in Path("/etc/OpenCL/vendors").glob("*.icd")}
    sets = {"PoCL": [installed["pocl"]], "installed": installed.values(),
            "oclgrind": ["/usr/lib/oclgrind/liboclgrind-rt-icd.so"], "no driver": []}
    sets = {name: vendor_dir(name, libraries) for name, libraries in sets.items()}

    # The floors must make the tool's OpenCL calls, or the comparison means nothing: the call logs must agree.
    (TMP / "scenario").write_text(SCENARIO)
    scripted, parity = vendor_dir("scripted", [tool.parent / "tests" / "libcorvane_fake_icd.so"]), []
    for command, floor in floors.items():
        logs = {}
        for who, argv in ((floor.name, [floor]), ("corvane", [tool, "--" + command]),
                          ("corvane-dynamic", [dynamic, "--" + command])):
            calls = TMP / f"calls.{command}.{who}"
            run(argv, env_for(scripted, "warm", OCL_ICD_PLATFORM_SORT="none",
                              CORVANE_FAKE_SCENARIO=str(TMP / "scenario"), CORVANE_FAKE_CALL_LOG=str(calls)))
            logs[who] = calls.read_text().splitlines() if calls.exists() else []
            if not logs[who] or logs[who] != logs[floor.name]:
                diff = difflib.unified_diff(logs[floor.name], logs[who], floor.name, who, lineterm="")
                sys.exit(f"FATAL: {who} and {floor.name} make different (or no) OpenCL calls on the scripted "
                         "driver:\n" + "\n".join(diff))
        parity.append(f"--{command} identical ({len(logs[floor.name])} calls)")

    # The tool and the floor must see the same platforms and devices, and none only without a driver.
    for name, vendors in sets.items():
        report = run([tool, "--probe"], env_for(vendors, "warm")).stdout
        names = re.findall(r"^(platform|device)\[[\d:]+\]\.name=", report, re.M)
        seen = f"platforms={names.count('platform')} devices={names.count('device')}"
        floor_seen = run([floors["probe"]], env_for(vendors, "warm")).stdout.strip()
        if seen != floor_seen or seen.startswith("platforms=0 ") != (name == "no driver"):
            sys.exit(f"FATAL: on {name}, the tool sees {seen}, the floor {floor_seen}")

    cpu = re.search(r"^model name\s*: (.*)$", Path("/proc/cpuinfo").read_text(), re.M)
    commit = run(["git", "-C", ROOT, "describe", "--always", "--dirty", "--abbrev=12"]).stdout.strip()
    lines = ["# corvane against its floor", "",
             f"{time.strftime('%Y-%m-%d %H:%M', time.gmtime())} UTC, commit {commit}, {os.cpu_count()} "
             f"cores, {cpu[1] if cpu else 'CPU unknown'}; installed drivers: {', '.join(sorted(installed))}.",
             f"OpenCL calls of tool and floor on the scripted driver: {', '.join(parity)}.",
             f"Wall time: median of {ROUNDS} round medians of {RUNS} runs ({COLD_RUNS} with a cold cache); "
             f"peak RSS: largest of {RSS_RUNS} runs; instructions: median of 3 runs (1 if cold).", "",
             "| drivers | cache | command | median ms | × floor | peak RSS KiB | + floor KiB "
             "| instructions | + floor |", "|---|---|---|--:|--:|--:|--:|--:|--:|"]
    groups = [(name, "probe", "-") for name in sets]
    groups += [("PoCL", "self-test", "warm"), ("PoCL", "self-test", "cold"), ("oclgrind", "self-test", "-")]
    run(["valgrind", "--tool=none", floors["self-test"]], env_for(sets["PoCL"], "warm", "valgrind-"))
    for drivers, command, cache in groups:
        print(f"measuring {drivers}, --{command}, cache {cache}", file=sys.stderr)
        floor = floors[command]
        rows = {floor.name: [floor], f"corvane --{command}": [tool, "--" + command],
                f"corvane-dynamic --{command}": [dynamic, "--" + command]}
        if command == "probe":  # the floor measured again shows the noise
            rows.update({"clinfo -l": ["clinfo", "-l"], "clinfo": ["clinfo"], "floor_probe (again)": [floor]})
        median = wall(rows, env_for(sets[drivers], cache), command, cache)
        # Instructions: not of clinfo, nor of a self-test on oclgrind's simulator (under valgrind's).
        skip = (drivers, command) == ("oclgrind", "self-test") or (cache == "cold" and not COLD_CALLGRIND)
        base = None  # the floor's figures, which come first
        for label, argv in rows.items():
            ms, count = median[label] * 1000, None
            rss = max(peak_rss(argv, env_for(sets[drivers], cache)) for _ in range(RSS_RUNS))
            if not skip and label in list(rows)[:3]:
                count = statistics.median(instructions(argv, env_for(sets[drivers], cache, "valgrind-"))
                                          for _ in range(1 if cache == "cold" else 3))
            base = base or (ms, rss, count)
            cells = [drivers, cache, label, f"{ms:.1f}", f"{ms / base[0]:.3f}", rss, rss - base[1], "", ""]
            if count:
                over = count - base[2]
                cells[7:] = [f"{count / 1e6:.3f}M", f"{over / 1e6:.3f}M ({100 * over / base[2]:.2f}%)"]
            lines.append("| " + " | ".join(map(str, cells)) + " |")
    (OUT / "results.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    if sys.argv[1:]:
        sys.exit(__doc__)
    OUT.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp, (OUT / "bench.log").open("w", buffering=1) as LOG:
        TMP = Path(tmp)
        main()

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Mutation run of the tool's sources against the fast suite.

Each mutant is one small change to one file of front/, opencl/, probe/ or
selftest/. It is built in a worker tree of its own and run against the unit
tests and the scripted-driver end-to-end tests; a mutant that the suite passes
"survived", and unless it is on the committed list of equivalent mutants
(equivalent.txt beside this script) the run fails. See README.md here.

  mutate.py --list                 every mutant: id, place, operator, change
  mutate.py --show ID...           the diffs of the named mutants
  mutate.py --all                  run every mutant
  mutate.py --sample N             run a fixed sample of N mutants
  mutate.py --mutant ID...         run the named mutants, with the failing output

Python 3 standard library only.
"""

import argparse
import difflib
import hashlib
import json
import os
import queue
import re
import resource
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
HERE = os.path.dirname(os.path.abspath(__file__))
EQUIVALENT_LIST = os.path.join(HERE, "equivalent.txt")
SOURCE_DIRS = ("front", "opencl", "probe", "selftest")
SOURCE_SUFFIXES = (".cpp", ".hpp")

# The suite that judges a mutant: the unit tests and every end-to-end case that
# does not need a real OpenCL driver. The real-driver cases are the only ones
# whose names hold "Real"; this filter is the one place that knows it.
E2E_FILTER = "-*Real*"
# The worker trees build only what the tool's sources reach; the end-to-end
# program and the scripted driver come from one tree built once.
WORKER_TARGETS = ("corvane", "corvane_unit_tests")
SUITE_TARGETS = ("corvane_e2e_tests", "corvane_fake_icd")
TOOL = "corvane"
UNIT_TESTS = os.path.join("tests", "corvane_unit_tests")
E2E_TESTS = os.path.join("tests", "corvane_e2e_tests")
FAKE_ICD = os.path.join("tests", "libcorvane_fake_icd.so")
# The loader vendor directory the suite tree's configure step writes: one .icd
# file naming that tree's scripted driver.
FAKE_VENDORS = os.path.join("tests", "fake-vendors")
FAKE_VENDOR_ICD = os.path.join(FAKE_VENDORS, "corvane-fake.icd")
# Unoptimised, without debug information, the C++ runtime linked dynamically:
# the quickest rebuild. Warnings are errors, as in every build the scripts make.
# The standard library checks its preconditions, so that an index out of range
# ends the run here as it does in the sanitizer stage of the test script.
CONFIGURE_FLAGS = (
    "-DCMAKE_BUILD_TYPE=Debug",
    "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -D_GLIBCXX_ASSERTIONS",
    "-DCMAKE_C_FLAGS_DEBUG=-O0",
    "-DCORVANE_TESTS=ON",
    "-DCORVANE_WERROR=ON",
    "-DCORVANE_STATIC_RUNTIME=OFF",
)
# A mutant that allocates without end is stopped here rather than by the machine.
ADDRESS_SPACE_LIMIT = 4 << 30
BUILD_TIMEOUT = 900

# ---------------------------------------------------------------------------
# Lexing

PUNCTUATORS = sorted(
    "<<= >>= ... ->* <=> :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= ## "
    "{ } [ ] ( ) ; : ? , . + - * / % ^ & | ~ ! = < > #".split(),
    key=len,
    reverse=True,
)
IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
PP_NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z_]|[0-9A-Za-z_.])*")
INTEGER = re.compile(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)([uUlLzZ]*)")
STRING_PREFIXES = {"u8", "u", "U", "L", "R", "u8R", "uR", "UR", "LR"}


class Token:
    __slots__ = ("kind", "text", "start", "end", "template")

    def __init__(self, kind, text, start, end):
        self.kind = kind  # ident, number, string, char, punct
        self.text = text
        self.start = start
        self.end = end
        self.template = False  # a '<' or '>' that brackets template arguments

    def __repr__(self):
        return f"{self.kind}:{self.text!r}@{self.start}"


def skip_quoted(src, i, quote):
    """Index just past the literal whose opening quote is at i."""
    i += 1
    while i < len(src) and src[i] != quote:
        if src[i] == "\\":
            i += 1
        elif src[i] == "\n":
            raise ValueError(f"unterminated literal at offset {i}")
        i += 1
    return i + 1


def lex(src):
    """The tokens of a C++ source, without comments and preprocessor lines."""
    tokens = []
    i = 0
    n = len(src)
    at_line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "#" and at_line_start:
            # A directive runs to the end of its line, continuations included.
            while i < n and src[i] != "\n":
                i += 2 if src[i] == "\\" else 1
            continue
        at_line_start = False
        if src.startswith("//", i):
            j = src.find("\n", i)
            i = n if j < 0 else j
            continue
        if src.startswith("/*", i):
            j = src.find("*/", i + 2)
            i = n if j < 0 else j + 2
            continue
        m = IDENT.match(src, i)
        if m:
            word = m.group()
            j = m.end()
            if word in STRING_PREFIXES and j < n and src[j] == '"':
                if word.endswith("R"):
                    k = src.index("(", j)
                    close = ")" + src[j + 1 : k] + '"'
                    end = src.index(close, k) + len(close)
                else:
                    end = skip_quoted(src, j, '"')
                tokens.append(Token("string", src[i:end], i, end))
                i = end
                continue
            tokens.append(Token("ident", word, i, j))
            i = j
            continue
        m = PP_NUMBER.match(src, i)
        if m:
            tokens.append(Token("number", m.group(), i, m.end()))
            i = m.end()
            continue
        if c in "\"'":
            end = skip_quoted(src, i, c)
            tokens.append(Token("string" if c == '"' else "char", src[i:end], i, end))
            i = end
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                tokens.append(Token("punct", p, i, i + len(p)))
                i += len(p)
                break
        else:
            raise ValueError(f"unexpected character {c!r} at offset {i}")
    return tokens


# Tokens that cannot stand inside a template argument list of these sources;
# any '<' still open when one of them comes was a comparison.
TEMPLATE_BREAKERS = {";", "{", "}", "&&", "||", "?", "=", "==", "!=", "<=", ">=", ".", "->", "<<", "+=", "-="}


def mark_templates(tokens):
    """Marks the '<' and '>' (and '>>' halves) that bracket template arguments.

    A '<' after a name opens a candidate list; a '>' at the same parenthesis
    depth closes the innermost candidate. Whatever is left over compares.
    """
    open_stack = []  # (token index, paren depth)
    depth = 0
    for k, t in enumerate(tokens):
        if t.kind != "punct":
            continue
        if t.text in ("(", "["):
            depth += 1
        elif t.text in (")", "]"):
            depth -= 1
            while open_stack and open_stack[-1][1] > depth:
                open_stack.pop()
        elif t.text == "<":
            if k > 0 and tokens[k - 1].kind == "ident":
                open_stack.append((k, depth))
        elif t.text in (">", ">>"):
            closes = 1 if t.text == ">" else 2
            if len(open_stack) >= closes and all(d == depth for _, d in open_stack[-closes:]):
                for _ in range(closes):
                    tokens[open_stack.pop()[0]].template = True
                t.template = True
        elif t.text in TEMPLATE_BREAKERS:
            open_stack.clear()


def matching(tokens, k):
    """Index of the bracket closing the one at k."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    opener = tokens[k].text
    closer = pairs[opener]
    depth = 0
    for j in range(k, len(tokens)):
        if tokens[j].kind != "punct":
            continue
        if tokens[j].text == opener:
            depth += 1
        elif tokens[j].text == closer:
            depth -= 1
            if depth == 0:
                return j
    raise ValueError(f"unbalanced {opener!r} at offset {tokens[k].start}")


# ---------------------------------------------------------------------------
# Mutants

RELATIONAL = {
    "<": (">=", "<="),
    "<=": (">", "<"),
    ">": ("<=", ">="),
    ">=": ("<", ">"),
    "==": ("!=",),
    "!=": ("==",),
}
LOGICAL = {"&&": "||", "||": "&&"}
# A statement that begins with one of these is a declaration or a control
# statement, never a plain call, output line or assignment.
NOT_EXPRESSION = set(
    "if else for while do switch case default break continue goto try catch using typedef namespace struct "
    "class enum union template static static_assert constexpr inline extern const volatile auto unsigned signed "
    "int long short char bool double float void friend public private protected typename virtual explicit "
    "operator thread_local mutable decltype".split()
)

OPERATOR_NAMES = {
    "ror": "relational operator",
    "lcr": "logical connector",
    "neg": "condition negated",
    "int": "integer constant",
    "bool": "boolean constant",
    "del": "statement deleted",
    "str": "string literal",
}


class Mutant:
    __slots__ = ("id", "file", "start", "end", "replacement", "op", "line", "col", "original", "key")

    def describe(self):
        original = re.sub(r"\s*\n\s*", " ", self.original)
        if len(original) > 60:
            original = original[:57] + "..."
        if self.op == "del":
            return f"del: {original}"
        if self.op == "neg":
            return f"neg: if ({original})"
        return f"{self.op}: {original} -> {self.replacement}"

    def where(self):
        return f"{self.file}:{self.line}:{self.col}"


def mutate_string(text):
    """A literal of the same length with its first plain letter or digit changed;
    '~' put in front when it has none."""
    quote = text.index('"')
    if text[:quote].endswith("R"):
        body_start = text.index("(", quote) + 1
    else:
        body_start = quote + 1
    i = body_start
    while i < len(text) - 1:
        c = text[i]
        if c == "\\" and not text[:quote].endswith("R"):
            i += 2
            if text[i - 1] in "xX":
                while i < len(text) and text[i] in "0123456789abcdefABCDEF":
                    i += 1
            continue
        if c.isalpha():
            return text[:i] + c.swapcase() + text[i + 1 :]
        if c.isdigit():
            return text[:i] + str((int(c) + 1) % 10) + text[i + 1 :]
        i += 1
    return text[:body_start] + "~" + text[body_start:]


def integer_replacements(text):
    m = INTEGER.fullmatch(text)
    if not m:
        return []
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    if digits[:2].lower() in ("0x", "0b"):
        value = int(digits, 0)
    elif len(digits) > 1 and digits[0] == "0":
        value = int(digits, 8)
    else:
        value = int(digits)
    out = []
    for v in (0, value + 1, value - 1):
        if v >= 0 and v != value and v not in out:
            out.append(v)
    return [f"{v}{suffix}" for v in out]


def statement_starts(tokens):
    """Token indexes where a statement may begin."""
    starts = set()
    pending_label = False
    # The parenthesis depth at each open brace: a ';' deeper than that
    # separates the clauses of a for statement, not statements.
    braces = [0]
    depth = 0
    for k, t in enumerate(tokens):
        if t.kind == "ident" and t.text in ("case", "default"):
            pending_label = True
        if t.kind != "punct":
            continue
        if t.text in ("(", "["):
            depth += 1
        elif t.text in (")", "]"):
            depth -= 1
        elif t.text == "{":
            braces.append(depth)
            starts.add(k + 1)
        elif t.text == "}":
            if len(braces) > 1:
                braces.pop()
            starts.add(k + 1)
            pending_label = False
        elif t.text == ";" and depth == braces[-1]:
            starts.add(k + 1)
            pending_label = False
        elif t.text == ":" and pending_label:
            starts.add(k + 1)
            pending_label = False
    return starts


def statement_end(tokens, s):
    """Index of the ';' ending a simple statement that begins at s, or None."""
    depth = 0
    for j in range(s, len(tokens)):
        t = tokens[j]
        if t.kind != "punct":
            continue
        if t.text in ("(", "[", "{"):
            if t.text == "{" and depth == 0:
                return None
            depth += 1
        elif t.text in (")", "]", "}"):
            if depth == 0:
                return None
            depth -= 1
        elif t.text == ";" and depth == 0:
            return j
    return None


def is_expression_statement(tokens, s, e):
    first = tokens[s]
    if first.kind == "punct":
        return first.text in ("*", "(", "++", "--", "::")
    if first.kind != "ident" or first.text in NOT_EXPRESSION:
        return False
    # Past a qualified name: another name, a pointer or reference, or template
    # arguments mean a declaration; an operator or a call means an expression.
    k = s
    while True:
        k += 1
        if k >= e:
            return False
        t = tokens[k]
        if t.kind == "punct" and t.text == "::" and k + 1 < e and tokens[k + 1].kind == "ident":
            k += 1
            continue
        break
    t = tokens[k]
    if t.kind == "ident":
        return False
    if t.kind == "punct" and (t.template or t.text in ("*", "&", "&&", "...")):
        return False
    return True


def line_of(src, offset):
    return src.count("\n", 0, offset) + 1


def line_bounds(src, offset):
    start = src.rfind("\n", 0, offset) + 1
    end = src.find("\n", offset)
    return start, (len(src) if end < 0 else end)


def deletion_span(src, start, end):
    """Widens a deleted statement to its whole lines when nothing else shares them."""
    ls, _ = line_bounds(src, start)
    _, le = line_bounds(src, end - 1)
    if src[ls:start].strip() == "" and src[end:le].strip() == "":
        return ls, min(le + 1, len(src))
    return start, end


def mutants_of(rel, src):
    tokens = lex(src)
    mark_templates(tokens)
    found = []

    # Compile-time assertions are left alone: they test, they do not behave.
    skip = set()
    for k, t in enumerate(tokens):
        if t.kind == "ident" and t.text == "static_assert" and k + 1 < len(tokens):
            skip.update(range(k, matching(tokens, k + 1) + 1))

    def add(op, start, end, replacement, original=None):
        found.append((op, start, end, replacement, src[start:end] if original is None else original))

    for k, t in enumerate(tokens):
        if k in skip:
            continue
        prev = tokens[k - 1] if k > 0 else None
        if t.kind == "punct" and t.text in RELATIONAL and not t.template:
            if prev is not None and prev.text == "operator":
                continue
            for r in RELATIONAL[t.text]:
                add("ror", t.start, t.end, r)
        elif t.kind == "punct" and t.text in LOGICAL:
            add("lcr", t.start, t.end, LOGICAL[t.text])
        elif t.kind == "number":
            for r in integer_replacements(t.text):
                add("int", t.start, t.end, r)
        elif t.kind == "ident" and t.text in ("true", "false"):
            add("bool", t.start, t.end, "false" if t.text == "true" else "true")
        elif t.kind == "string" and not (prev is not None and prev.text == "extern"):
            add("str", t.start, t.end, mutate_string(t.text))
        elif t.kind == "ident" and t.text in ("if", "while") and k + 1 < len(tokens):
            if tokens[k + 1].text != "(":
                continue  # if constexpr
            close = matching(tokens, k + 1)
            a, b = tokens[k + 2].start, tokens[close - 1].end
            add("neg", a, b, "!(" + src[a:b] + ")")

    for s in sorted(statement_starts(tokens)):
        if s >= len(tokens) or s in skip:
            continue
        e = statement_end(tokens, s)
        if e is None:
            continue
        if tokens[s].text == "return" or is_expression_statement(tokens, s, e):
            a, b = deletion_span(src, tokens[s].start, tokens[e].end)
            add("del", a, b, "", src[tokens[s].start : tokens[e].end])

    # A mutant's id names its file, its operator and change, and the text of
    # its line and of the line before: moving unrelated lines keeps it.
    lines = src.split("\n")
    out = []
    seen = {}
    for op, start, end, replacement, original in sorted(found, key=lambda f: (f[1], f[0], f[3])):
        m = Mutant()
        anchor = start
        if op == "del":
            anchor = start + len(src[start:end]) - len(src[start:end].lstrip())
        m.file, m.start, m.end, m.replacement, m.op, m.original = rel, start, end, replacement, op, original
        m.line = line_of(src, anchor)
        m.col = anchor - line_bounds(src, anchor)[0] + 1
        here = " ".join(lines[m.line - 1].split())
        before = ""
        for j in range(m.line - 2, -1, -1):
            if lines[j].strip():
                before = " ".join(lines[j].split())
                break
        key = (rel, op, here, before, " ".join(original.split()), replacement)
        seen[key] = seen.get(key, 0) + 1
        m.key = key + (seen[key],)
        digest = hashlib.sha1("\x00".join(map(str, m.key)).encode()).hexdigest()[:10]
        m.id = f"{rel}:{digest}"
        out.append(m)
    return out


def tool_sources(root):
    files = []
    for d in SOURCE_DIRS:
        for dirpath, _, names in os.walk(os.path.join(root, d)):
            for name in names:
                if name.endswith(SOURCE_SUFFIXES):
                    files.append(os.path.relpath(os.path.join(dirpath, name), root))
    return sorted(files)


def all_mutants(root):
    mutants = []
    for rel in tool_sources(root):
        with open(os.path.join(root, rel), encoding="utf-8") as f:
            mutants.extend(mutants_of(rel, f.read()))
    mutants.sort(key=lambda m: m.id)
    for a, b in zip(mutants, mutants[1:]):
        if a.id == b.id:
            raise SystemExit(f"two mutants share the id {a.id}: {a.where()} and {b.where()}")
    return mutants


def apply(src, m):
    return src[: m.start] + m.replacement + src[m.end :]


def diff_of(src, m, context=3):
    mutated = apply(src, m)
    lines = difflib.unified_diff(
        src.splitlines(keepends=True),
        mutated.splitlines(keepends=True),
        fromfile="a/" + m.file,
        tofile="b/" + m.file,
        n=context,
    )
    return "".join(lines)


# ---------------------------------------------------------------------------
# The list of equivalent mutants


def read_equivalent(path):
    entries = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 1)
            if len(parts) < 2 or not parts[1].strip():
                raise SystemExit(f"{path}:{number}: an entry needs its reason after the id")
            if parts[0] in entries:
                raise SystemExit(f"{path}:{number}: {parts[0]} is listed twice")
            entries[parts[0]] = parts[1].strip()
    return entries


# ---------------------------------------------------------------------------
# Worker trees


def run_quiet(cmd, cwd=None, timeout=None, log=None):
    """Runs cmd with its output in `log` (or discarded); returns its status."""
    with open(log or os.devnull, "w") as out:
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode


def project_files(root):
    """The project's files as git sees them: tracked and new, never ignored."""
    listing = subprocess.run(
        ["git", "-C", root, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        check=True,
        stdout=subprocess.PIPE,
    ).stdout.decode()
    return sorted(p for p in listing.split("\0") if p and os.path.isfile(os.path.join(root, p)))


def sync_tree(root, dest, files):
    """Makes dest/ hold the project's files, copying only those that differ, so
    that an incremental build recompiles only what changed."""
    for rel in files:
        s = os.path.join(root, rel)
        d = os.path.join(dest, rel)
        with open(s, "rb") as f:
            data = f.read()
        try:
            with open(d, "rb") as f:
                if f.read() == data:
                    continue
        except FileNotFoundError:
            os.makedirs(os.path.dirname(d), exist_ok=True)
        with open(d, "wb") as f:
            f.write(data)
        shutil.copymode(s, d)


def configure_and_build(source, build, targets, jobs, log):
    status = run_quiet(["cmake", "-S", source, "-B", build, *CONFIGURE_FLAGS], timeout=BUILD_TIMEOUT, log=log)
    if status == 0:
        status = run_quiet(
            ["cmake", "--build", build, "-j", str(jobs), "--target", *targets], timeout=BUILD_TIMEOUT, log=log
        )
    if status != 0:
        with open(log) as f:
            sys.stderr.write(f.read()[-4000:])
        raise SystemExit(f"building {build} failed (log: {log})")


def limit_resources():
    os.setsid()
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, ADDRESS_SPACE_LIMIT))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def run_limited(cmd, log, deadline):
    """Runs one test program; returns its status, or None when the deadline passed."""
    with open(log, "ab") as out:
        p = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, preexec_fn=limit_resources)
        try:
            return p.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            return None


class Worker:
    def __init__(self, number, base, suite):
        self.dir = os.path.join(base, f"w{number}")
        self.src = os.path.join(self.dir, "src")
        self.build = os.path.join(self.dir, "build")
        self.log = os.path.join(self.dir, "last.log")
        self.suite = suite

    def prepare(self, root, files):
        os.makedirs(self.dir, exist_ok=True)
        sync_tree(root, self.src, files)
        configure_and_build(self.src, self.build, WORKER_TARGETS, 1, os.path.join(self.dir, "build.log"))

    def rebuild(self):
        return run_quiet(
            ["cmake", "--build", self.build, "-j", "1", "--target", *WORKER_TARGETS],
            timeout=BUILD_TIMEOUT,
            log=self.log,
        )

    def run_suite(self, timeout):
        """'passed', 'failed' or 'timeout', and the first failing test's name."""
        open(self.log, "w").close()
        gtest_flags = ["--gtest_fail_fast", "--gtest_brief=1", "--gtest_color=no"]
        programs = [
            [os.path.join(self.build, UNIT_TESTS), *gtest_flags],
            [
                os.path.join(self.suite, E2E_TESTS),
                "--binary=" + os.path.join(self.build, TOOL),
                "--fake-vendors=" + os.path.join(self.suite, FAKE_VENDORS),
                "--gtest_filter=" + E2E_FILTER,
                *gtest_flags,
            ],
        ]
        deadline = time.monotonic() + timeout
        for cmd in programs:
            status = run_limited(cmd, self.log, deadline)
            if status is None:
                return "timeout", os.path.basename(cmd[0])
            if status != 0:
                return "failed", self.first_failure(cmd[0], status)
        return "passed", ""

    def first_failure(self, program, status):
        with open(self.log, errors="replace") as f:
            for line in f:
                if line.startswith("[  FAILED  ]"):
                    return line[len("[  FAILED  ]") :].split()[0].rstrip(",")
        reason = f"signal {-status}" if status < 0 else f"status {status}"
        return f"{os.path.basename(program)} ({reason})"

    def judge(self, m, original, timeout):
        path = os.path.join(self.src, m.file)
        started = time.monotonic()
        with open(path, "w", encoding="utf-8") as f:
            f.write(apply(original, m))
        try:
            if self.rebuild() != 0:
                return {"status": "compiler", "detail": "", "seconds": time.monotonic() - started}
            verdict, detail = self.run_suite(timeout)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        status = {"passed": "survived", "failed": "killed", "timeout": "timeout"}[verdict]
        return {"status": status, "detail": detail, "seconds": time.monotonic() - started}


# ---------------------------------------------------------------------------
# The run


def pick_sample(mutants, equivalent, n):
    """n mutants spread evenly over the sorted ids, listed equivalents left out."""
    pool = [m for m in mutants if m.id not in equivalent]
    if n >= len(pool):
        return pool
    return [pool[(i * len(pool)) // n] for i in range(n)]


def format_seconds(s):
    return f"{int(s) // 60}m{s % 60:04.1f}s"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--list", action="store_true", help="print every mutant and exit")
    mode.add_argument("--show", nargs="+", metavar="ID", help="print the diffs of these mutants and exit")
    mode.add_argument("--all", action="store_true", help="run every mutant")
    mode.add_argument("--sample", type=int, metavar="N", help="run a fixed sample of N mutants")
    mode.add_argument("--mutant", nargs="+", metavar="ID", help="run these mutants and show why each ended")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)), help="worker trees (default: nproc)")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds for one mutant's tests (default 30)")
    parser.add_argument(
        "--build-dir",
        default=os.environ.get("MUT_BUILD_DIR", os.path.join(ROOT, "build-mut")),
        help="where the trees go (default: build-mut/ or $MUT_BUILD_DIR)",
    )
    parser.add_argument(
        "--suite-from",
        metavar="BUILD",
        help="take the end-to-end program and the scripted driver from this built tree instead of building them",
    )
    args = parser.parse_args()
    if args.sample is not None and args.sample < 1:
        parser.error("--sample needs a positive count")
    if args.jobs < 1 or args.timeout <= 0:
        parser.error("--jobs and --timeout need positive values")

    mutants = all_mutants(ROOT)
    by_id = {m.id: m for m in mutants}
    sources = {}
    for rel in {m.file for m in mutants}:
        with open(os.path.join(ROOT, rel), encoding="utf-8") as f:
            sources[rel] = f.read()

    if args.list:
        for m in mutants:
            print(f"{m.id}  {m.where()}  {m.describe()}")
        print(f"{len(mutants)} mutants", file=sys.stderr)
        return 0
    if args.show:
        unknown = [i for i in args.show if i not in by_id]
        if unknown:
            raise SystemExit("unknown mutant id: " + " ".join(unknown))
        for i in args.show:
            m = by_id[i]
            print(f"{m.id}  {m.where()}  {m.describe()}")
            print(diff_of(sources[m.file], m))
        return 0

    equivalent = read_equivalent(EQUIVALENT_LIST)
    stale = sorted(set(equivalent) - set(by_id))
    if args.mutant:
        unknown = [i for i in args.mutant if i not in by_id]
        if unknown:
            raise SystemExit("unknown mutant id: " + " ".join(unknown))
        chosen = [by_id[i] for i in args.mutant]
    elif args.sample is not None:
        chosen = pick_sample(mutants, equivalent, args.sample)
    else:
        chosen = list(mutants)
    # Neighbours in one file follow each other, so a worker mostly recompiles one file.
    chosen.sort(key=lambda m: (m.file, m.start, m.id))
    jobs = max(1, min(args.jobs, len(chosen)))

    began = time.monotonic()
    base = os.path.abspath(args.build_dir)
    os.makedirs(base, exist_ok=True)
    if args.suite_from:
        suite = os.path.abspath(args.suite_from)
    else:
        suite = os.path.join(base, "suite")
        print(f"building the end-to-end program and the scripted driver in {suite}", flush=True)
        configure_and_build(ROOT, suite, SUITE_TARGETS, jobs, os.path.join(base, "suite.log"))
    for path in (E2E_TESTS, FAKE_ICD, FAKE_VENDOR_ICD):
        if not os.path.isfile(os.path.join(suite, path)):
            raise SystemExit(f"{os.path.join(suite, path)} is missing")
    listing = subprocess.run(
        [os.path.join(suite, E2E_TESTS), "--gtest_list_tests", "--gtest_filter=" + E2E_FILTER],
        check=True,
        stdout=subprocess.PIPE,
        text=True,
    ).stdout
    e2e_count = sum(1 for line in listing.splitlines() if line.startswith("  "))
    if e2e_count == 0:
        raise SystemExit(f"the filter {E2E_FILTER} leaves no end-to-end case")

    files = project_files(ROOT)
    workers = [Worker(n + 1, base, suite) for n in range(jobs)]
    print(f"building {jobs} worker tree(s) in {base}", flush=True)
    failures = []

    def prepare(w):
        try:
            w.prepare(ROOT, files)
        except BaseException as e:  # reported below, after every worker stopped
            failures.append(f"{w.dir}: {e}")

    threads = [threading.Thread(target=prepare, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise SystemExit("\n".join(failures))
    for w in workers:
        verdict, detail = w.run_suite(args.timeout)
        if verdict != "passed":
            raise SystemExit(f"the unmutated suite does not pass in {w.dir}: {verdict} {detail} (log: {w.log})")
    built = time.monotonic() - began
    print(
        f"trees ready in {format_seconds(built)}; suite: unit tests and {e2e_count} end-to-end cases "
        f"(filter {E2E_FILTER}); {len(chosen)} of {len(mutants)} mutants to run",
        flush=True,
    )

    todo = queue.Queue()
    for m in chosen:
        todo.put(m)
    results = {}
    lock = threading.Lock()
    width = len(str(len(chosen)))

    stopping = threading.Event()

    def work(w):
        while not stopping.is_set():
            try:
                m = todo.get_nowait()
            except queue.Empty:
                return
            try:
                r = w.judge(m, sources[m.file], args.timeout)
            except BaseException as e:  # stop this worker; the run reports it
                with lock:
                    failures.append(f"{m.id}: {e}")
                return
            if args.mutant and r["status"] != "survived":
                with open(w.log, errors="replace") as f:
                    # Fail-fast marks every later case skipped; those lines say nothing.
                    r["log"] = "".join(line for line in f if line.strip() and not line.rstrip().endswith("Skipped"))
            with lock:
                results[m.id] = r
                note = f" ({r['detail']})" if r["detail"] else ""
                print(
                    f"[{len(results):{width}}/{len(chosen)}] {r['status']:<8} {r['seconds']:5.1f}s "
                    f"{m.id}  {m.where()}  {m.describe()}{note}",
                    flush=True,
                )

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    try:
        for t in threads:
            t.join()
    except KeyboardInterrupt:
        # Each worker finishes its mutant and puts its file back before it stops.
        stopping.set()
        for t in threads:
            t.join()
        raise SystemExit("interrupted")
    if failures:
        raise SystemExit("the run stopped:\n" + "\n".join(failures))
    wall = time.monotonic() - began

    def count(status):
        return sum(1 for r in results.values() if r["status"] == status)

    survivors = [m for m in chosen if results[m.id]["status"] == "survived"]
    unlisted = [m for m in survivors if m.id not in equivalent]
    listed_killed = [m for m in chosen if m.id in equivalent and results[m.id]["status"] != "survived"]
    timed_out = [m for m in chosen if results[m.id]["status"] == "timeout"]

    print()
    for m in survivors:
        tag = "equivalent: " + equivalent[m.id] if m.id in equivalent else "NOT ON THE EQUIVALENT LIST"
        print(f"survived {m.id}  {m.where()}  {m.describe()}\n  {tag}")
        print(diff_of(sources[m.file], m))
    for m in timed_out:
        print(f"timed out {m.id}  {m.where()}  {m.describe()}")
    if args.mutant:
        for m in chosen:
            if "log" in results[m.id]:
                print(f"--- {m.id}: {results[m.id]['status']}")
                print(diff_of(sources[m.file], m))
                print(results[m.id]["log"][-3000:])

    killed_tests, killed_compiler = count("killed"), count("compiler")
    print(f"mutants: {len(mutants)} in all, {len(chosen)} run")
    print(f"killed: {killed_tests + killed_compiler} (by the tests {killed_tests}, by the compiler {killed_compiler})")
    print(f"survived: {len(survivors)} ({len(survivors) - len(unlisted)} listed equivalent, {len(unlisted)} not)")
    print(f"timed out: {len(timed_out)}")
    print(f"wall time: {format_seconds(wall)} (trees {format_seconds(built)}, {jobs} worker(s))")

    report = {
        "mutants": len(mutants),
        "run": len(chosen),
        "wall_seconds": round(wall, 1),
        "tree_seconds": round(built, 1),
        "jobs": jobs,
        "results": {
            m.id: dict(where=m.where(), change=m.describe(), **{k: v for k, v in results[m.id].items() if k != "log"})
            for m in chosen
        },
    }
    with open(os.path.join(base, "results.json"), "w") as f:
        json.dump(report, f, indent=1, sort_keys=True)

    ok = True
    if unlisted:
        ok = False
        print(f"FAIL: {len(unlisted)} surviving mutant(s) not on {os.path.relpath(EQUIVALENT_LIST, ROOT)}")
    for m in listed_killed:
        ok = False
        print(f"FAIL: {m.id} is listed as equivalent but was {results[m.id]['status']}: take it off the list")
    for i in stale:
        ok = False
        print(f"FAIL: {i} is listed as equivalent but no such mutant exists any more: take it off the list")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

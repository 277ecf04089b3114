#!/usr/bin/env python3
"""Collects the sentence formats that the update engine and the common library
write into their callers' error buffers, for the test that every one of them
has a German row (msg_coverage_test.cpp).

    engine_sentences.py SOURCE_DIR OUTPUT.inc [--list]

It reads src/updater/*.cpp and src/common/*.cpp and writes one C++ initializer
per sentence: {"file:line", "format"}, the format exactly as the source spells
it (already a valid C string literal body). With --list it prints
"file:line<TAB>format" lines instead, for a person looking for new sentences.

A sentence is the format (a string literal, or literals joined) of
  - a call with an error buffer: an argument named err, msg, reason or error
    (also p->err), followed by its size, followed by the format;
  - a call of one of the engine's writers (update_error, updconf_fail, ...);
  - a format that is a constant of the same file (static const char x[] = ...);
  - "%s" followed by such a literal or constant;
  - a literal returned by a function whose name ends in _reason.
Formats with no letters outside their conversions ("%s", "%s: %s") only pass
other sentences on and are left out, and so are the files whose texts never
reach the user as sentences of their own: the JSON parser's position suffix
(shown inside another sentence, as it stands), the library's self-test
(English by design) and the log.
"""
import glob
import os
import re
import sys

# The engine's writers, with the place of their format: also those whose buffer
# has another name, or is not among their arguments.
FIXED_WRITERS = {"update_error": 2, "updconf_fail": 2, "package_fail": 2, "unpack_fail": 1,
                 "tokenize_fail": 2}
# Names of an error buffer argument (the last identifier of the argument).
BUFFER_NAMES = {"err", "msg", "reason", "error", "why"}
# Files whose texts are not sentences for the user.
SKIPPED_FILES = {"json.cpp", "libtest.cpp", "log.cpp", "log_win.cpp"}
# Texts kept per value (the test's record has room for this many).
ALTERNATIVES_MAX = 4


def tokens(src):
    """C tokens: (kind, text, offset); kinds str, chr, id, num, p."""
    out = []
    i, n = 0, len(src)
    while i < n:
        c = src[i]
        if src.startswith("//", i):
            j = src.find("\n", i)
            i = n if j < 0 else j
        elif src.startswith("/*", i):
            j = src.find("*/", i)
            i = n if j < 0 else j + 2
        elif c == "#" and (i == 0 or src[i - 1] == "\n"):
            # A preprocessor line (with its continuations).
            j = i
            while True:
                j = src.find("\n", j)
                if j < 0 or src[j - 1] != "\\":
                    break
                j += 1
            i = n if j < 0 else j
        elif c in "\"'":
            j = i + 1
            while j < n and src[j] != c:
                j += 2 if src[j] == "\\" else 1
            out.append(("str" if c == '"' else "chr", src[i + 1:j], i))
            i = j + 1
        elif c.isalpha() or c == "_":
            m = re.match(r"[A-Za-z_]\w*", src[i:])
            out.append(("id", m.group(0), i))
            i += len(m.group(0))
        elif c.isdigit():
            m = re.match(r"[0-9][\w.]*", src[i:])
            out.append(("num", m.group(0), i))
            i += len(m.group(0))
        elif c.isspace():
            i += 1
        else:
            out.append(("p", c, i))
            i += 1
    return out


def split_args(t, k):
    """The arguments of the call whose "(" is t[k], as token lists."""
    depth, args, m = 0, [[]], k + 1
    while m < len(t):
        kind, text, _ = t[m]
        if kind == "p" and text in "([{":
            depth += 1
        elif kind == "p" and text in ")]}":
            if depth == 0:
                return args
            depth -= 1
        if kind == "p" and text == "," and depth == 0:
            args.append([])
        else:
            args[-1].append(t[m])
        m += 1
    return args


def literal(arg):
    """The joined text of an argument made only of string literals, or None."""
    if arg and all(x[0] == "str" for x in arg):
        return "".join(x[1] for x in arg)
    return None


def string_constants(t):
    """static const char NAME[] = "..." ...; of one file, by name."""
    found = {}
    for k in range(len(t) - 5):
        if (t[k][1] == "char" and t[k + 1][0] == "id" and t[k + 2][1] == "[" and
                t[k + 3][1] == "]" and t[k + 4][1] == "="):
            m = k + 5
            parts = []
            while m < len(t) and t[m][0] == "str":
                parts.append(t[m][1])
                m += 1
            if parts and m < len(t) and t[m][1] == ";":
                found[t[k + 1][1]] = "".join(parts)
    return found


def format_of(arg, consts):
    text = literal(arg)
    if text is None and len(arg) == 1 and arg[0][0] == "id":
        text = consts.get(arg[0][1])
    return text


# One printf conversion: flags, width, precision, length and its letter.
CONVERSION = re.compile(r"%[-+ #0]*(?:[0-9]+|\*)?(?:\.(?:[0-9]*|\*))?(?:hh|h|ll|l|z|j|t|L)?[a-zA-Z%]")


def value_literals(arg, src):
    """The texts an argument can take when the source spells them out: the
    literals of a choice ("a" or cond ? "a" : "b"), or of a variable set from
    such a choice in the same file (const char *kind = cond ? "a" : "b";)."""
    text = literal(arg)
    if text is not None:
        return [text]
    marks = [n for n, x in enumerate(arg) if x[0] == "p" and x[1] in "?:"]
    if len(marks) == 2 and arg[marks[0]][1] == "?" and arg[marks[1]][1] == ":":
        yes, no = literal(arg[marks[0] + 1:marks[1]]), literal(arg[marks[1] + 1:])
        if yes is not None and no is not None:
            return [yes, no]
    if len(arg) == 1 and arg[0][0] == "id":
        m = re.search(r"\b" + arg[0][1] + r"\s*=\s*[^;?]*\?\s*\"((?:[^\"\\]|\\.)*)\"\s*:\s*"
                      r"\"((?:[^\"\\]|\\.)*)\"\s*;", src)
        if m:
            return [m.group(1), m.group(2)]
    return []


def alternatives(fmt, values, src):
    """(conversion index, texts) for the first value the source spells out,
    or None: the test writes one message per text."""
    index, arg = 0, 0
    for m in CONVERSION.finditer(fmt):
        if m.group(0) == "%%":
            continue
        arg += m.group(0).count("*")
        if arg >= len(values):
            break
        texts = value_literals(values[arg], src)
        if texts:
            return index, texts
        index += 1
        arg += 1
    return None


def is_buffer(arg):
    ids = [x[1] for x in arg if x[0] == "id"]
    return bool(ids) and ids[-1] in BUFFER_NAMES and all(
        x[0] == "id" or x[1] in "->." for x in arg)


def sentences(path):
    src = open(path, encoding="utf-8").read()
    t = tokens(src)
    consts = string_constants(t)
    found = []

    def add(fmt, offset, values=()):
        if fmt is None:
            return
        # Only formats with words of their own are sentences.
        if not re.search(r"[A-Za-z]", CONVERSION.sub("", fmt)):
            return
        found.append((src.count("\n", 0, offset) + 1, fmt, alternatives(fmt, values, src)))

    for k in range(len(t) - 1):
        kind, name, offset = t[k]
        if kind != "id" or t[k + 1][1] != "(":
            continue
        args = split_args(t, k + 1)
        at = FIXED_WRITERS.get(name)
        if at is None:
            at = next((i + 2 for i in range(len(args) - 2) if is_buffer(args[i])), None)
        if at is None or at >= len(args):
            continue
        fmt = format_of(args[at], consts)
        values = args[at + 1:]
        if fmt == "%s" and values:
            fmt, values = format_of(values[0], consts), ()
        add(fmt, offset, values)

    # Reasons handed back by functions named *_reason.
    for m in re.finditer(r"\b\w+_reason\s*\([^;{)]*\)\s*\{", src):
        depth, i = 1, m.end()
        while i < len(src) and depth:
            depth += {"{": 1, "}": -1}.get(src[i], 0)
            i += 1
        body_start = m.end()
        for r in re.finditer(r'return\s+((?:"(?:[^"\\]|\\.)*"\s*)+);', src[body_start:i]):
            text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', r.group(1)))
            add(text, body_start + r.start())
    return found


def main():
    root, out = sys.argv[1], sys.argv[2]
    as_list = "--list" in sys.argv[3:]
    rows = []
    for sub in ("src/updater", "src/common"):
        for path in sorted(glob.glob(os.path.join(root, sub, "*.cpp"))):
            if os.path.basename(path) in SKIPPED_FILES:
                continue
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            for line, fmt, alt in sentences(path):
                rows.append((f"{rel}:{line}", fmt, alt))
    if as_list:
        text = "".join(f"{w}\t{f}\t{a or ''}\n" for w, f, a in rows)
    else:
        lines = ["// Made by tests/support/engine_sentences.py; do not edit.\n"]
        for w, f, alt in rows:
            index, texts = alt if alt else (-1, [])
            listed = "".join(f'"{t}", ' for t in texts[:ALTERNATIVES_MAX])
            lines.append(f'{{"{w}", "{f}", {index}, {{{listed}}}}},\n')
        text = "".join(lines)
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()

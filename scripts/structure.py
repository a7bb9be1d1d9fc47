#!/usr/bin/env python3
"""Keeps the shape of the source tree: fails when a file under src/ passes 600
lines, when a function anywhere in src/ passes 80 lines, or when a C++ file
differs from .clang-format. Prints one line per finding; exit 1 when any.

Functions are found by brace depth with strings, characters and comments
skipped: a brace opened at namespace or class scope whose text before it ends
a parameter list (a ')' followed only by qualifiers, a trailing return type or
a constructor's member initializers) opens a function body. Its length counts
from the line of that brace to the line of the brace that closes it.
"""

import pathlib
import re
import shutil
import subprocess
import sys

MAX_FILE_LINES = 600
MAX_FUNCTION_LINES = 80
ROOT = pathlib.Path(__file__).resolve().parent.parent
FORMATTED = ("src", "tests", "bench", "fuzz")
SCOPE_WORDS = re.compile(r"\b(namespace|class|struct|union|enum)\b[^;()]*$")
QUALIFIERS = re.compile(
    r"\)\s*(const|noexcept|override|final|mutable|&|&&|\s)*"
    r"(->\s*[\w:<>,\s*&]+)?\s*$")


def strip_code(text):
    """The text with comments, strings and character literals blanked out
    (newlines kept), so that braces and parentheses are the code's own."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            open_paren = text.find("(", i + 2)
            delim = text[i + 2:open_paren]
            j = text.find(")" + delim + '"', open_paren)
            j = n if j < 0 else j + len(delim) + 2
            out.append('""' + "".join(ch for ch in text[i:j] if ch == "\n"))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def opens_function(before):
    head = before.strip()
    if not head or SCOPE_WORDS.search(head):
        return False
    # A constructor's initializer list: "Type::Type(args) : a_(x), b_{y}".
    head = re.sub(r"\)\s*:\s*[\w:]+\s*[({].*$", ")", head, flags=re.S)
    if re.search(r"=\s*$|\breturn\b|=\s*\[|\]\s*\(", head):
        return False
    return bool(QUALIFIERS.search(head))


def long_functions(path):
    code = strip_code(path.read_text(encoding="utf-8", errors="replace"))
    stack = []  # per open brace: ("scope" | "function" | "inner" | "member_init", its line)
    start = 0  # where the text before the next brace begins
    line = 1
    found = []
    for i, c in enumerate(code):
        if c == "\n":
            line += 1
        elif c in ";":
            if not stack or stack[-1][0] == "scope":
                start = i + 1
        elif c == "{":
            if stack and stack[-1][0] != "scope":
                stack.append(("inner", line))
                continue
            head = code[start:i]
            if re.search(r"\)\s*:[^;{}]*\w\s*$", head):
                stack.append(("member_init", line))  # "b_{2}" in an initializer list
                continue
            if opens_function(head):
                stack.append(("function", line))
            else:
                stack.append(("scope", line))
            start = i + 1
        elif c == "}":
            if not stack:
                continue
            kind, first = stack.pop()
            if kind == "member_init":
                continue
            if kind == "function" and line - first + 1 > MAX_FUNCTION_LINES:
                found.append((first, line - first + 1))
            if not stack or stack[-1][0] == "scope":
                start = i + 1
    return found


def main():
    problems = []
    sources = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in (".cc", ".h"))
    for path in sources:
        rel = path.relative_to(ROOT)
        lines = path.read_text(encoding="utf-8", errors="replace").count("\n")
        if lines > MAX_FILE_LINES:
            problems.append(f"{rel}: {lines} lines (at most {MAX_FILE_LINES})")
        for first, length in long_functions(path):
            problems.append(f"{rel}:{first}: function of {length} lines "
                            f"(at most {MAX_FUNCTION_LINES})")
    formatter = shutil.which("clang-format-14") or shutil.which("clang-format")
    if formatter is None:
        problems.append("clang-format not found")
    else:
        files = subprocess.run(
            ["git", "ls-files", "--", *[f"{d}/*.cc" for d in FORMATTED],
             *[f"{d}/*.h" for d in FORMATTED]],
            cwd=ROOT, check=True, capture_output=True, text=True).stdout.split()
        result = subprocess.run([formatter, "--dry-run", "-Werror", *files], cwd=ROOT,
                                capture_output=True, text=True)
        if result.returncode != 0:
            problems.extend(l for l in result.stderr.splitlines() if "error:" in l)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Lists the C++ functions whose body holds more than a limit of code lines.

A function's length is the number of lines from its opening brace to its closing brace, both
included (comments and blank lines count); lambdas and local classes count toward the function
that holds them. Exits 1 when any function
is over the limit, printing "file:line: name: N lines" for each; 0 otherwise.

    check-function-length.py [--max N] PATH...   (a PATH may be a directory: its .cpp and .h)
"""
import argparse
import os
import re
import sys

SOURCE_ENDINGS = (".cpp", ".cc", ".h", ".hpp")
SCOPE_KEYWORDS = re.compile(r"\b(namespace|class|struct|union|enum)\b")


def blank_out_comments_and_literals(text):
    """Replaces comments and string/char literals by spaces, keeping line breaks."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i)
            delimiter = text[i + 2:open_paren]
            end = text.find(")" + delimiter + '"', open_paren)
            end = n if end < 0 else end + len(delimiter) + 2
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2:end]))
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def function_name(header):
    """The qualified name before the parameter list of a definition's header text."""
    depth = 0
    for k in range(len(header) - 1, -1, -1):
        if header[k] == ")":
            depth += 1
        elif header[k] == "(":
            depth -= 1
            if depth == 0:
                before = header[:k].rstrip()
                match = re.search(r"([A-Za-z_~][\w:~<>]*|operator\s*\S+)$", before)
                if match and match.group(1) not in ("if", "for", "while", "switch", "catch"):
                    return match.group(1)
    return None


def long_functions(path, limit):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = blank_out_comments_and_literals(f.read())
    stack = []  # one entry per open brace: "scope", or (name, line) of a function, or "inner"
    header_start = 0
    line_no = 0
    for i, c in enumerate(text):
        if c == "\n":
            line_no += 1
        elif c == "{":
            in_function = any(entry != "scope" for entry in stack)
            header = text[header_start:i]
            name = None if in_function else function_name(header)
            if in_function:
                stack.append("inner")
            elif name and not SCOPE_KEYWORDS.search(header.split("(")[0]):
                stack.append((name, line_no))
            else:
                stack.append("scope")
            header_start = i + 1
        elif c == "}":
            entry = stack.pop() if stack else "scope"
            if isinstance(entry, tuple):
                name, first = entry
                length = line_no - first + 1
                if length > limit:
                    yield first + 1, name, length
            header_start = i + 1
        elif c == ";":
            header_start = i + 1
    return


def source_files(paths):
    for path in paths:
        if os.path.isdir(path):
            for root, _, names in os.walk(path):
                for name in sorted(names):
                    if name.endswith(SOURCE_ENDINGS):
                        yield os.path.join(root, name)
        else:
            yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max", type=int, default=60, help="most lines a function body may span")
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()
    over = 0
    for path in source_files(args.paths):
        for line, name, length in long_functions(path, args.max):
            print(f"{path}:{line}: {name}: {length} lines")
            over += 1
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())

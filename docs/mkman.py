#!/usr/bin/env python3
"""Writes the section 3 manual page of each public header from the header itself, so that the
header comments and the pages cannot disagree: the header's first comment becomes the page's
description, each declaration goes into the synopsis, and the comment above a group of
declarations is what the page says of them. One link page per operation (ComSelect.3, ...) leads
to its header's page.

    mkman.py OUTDIR VERSION DATE HEADER=INCLUDE-NAME...

DATE is the release date printed on every page ("December 7, 2026"); INCLUDE-NAME is the name a
module includes ("ipc/osfifo.h")."""
import os
import re
import sys

PROTOTYPE = re.compile(r"^(?P<ret>[\w\s]*?[\w*]\s*?\**)\s*(?P<name>\w+)\((?P<args>.*)\);$")


def page_name(include):
    base = os.path.splitext(os.path.basename(include))[0]
    return base if base.startswith("kiv") else "kiv_" + base


def escape(line):
    line = line.replace("\\", "\\e")
    return "\\&" + line if line.startswith((".", "'")) else line


def prose(text):
    """Comment text as mdoc input lines: one sentence a line, as mdoc wants them."""
    text = " ".join(text.split())
    return [escape(s) for s in re.split(r"(?<=[.!?]) ", text) if s]


def comment_text(lines):
    body = "\n".join(lines)
    body = re.sub(r"^\s*/\*+", "", body)
    body = re.sub(r"\*+/\s*$", "", body)
    return " ".join(re.sub(r"^\s*\* ?", "", l) for l in body.split("\n")).strip()


def parse(path):
    """The header as its description and a list of groups (comment, [declarations])."""
    lines = open(path, encoding="utf-8").read().split("\n")
    description, groups = "", []
    comment, decls = None, []
    i, skip_depth = 0, 0

    def close():
        nonlocal comment, decls
        if comment is not None or decls:
            groups.append((comment, decls))
        comment, decls = None, []

    while i < len(lines):
        line = lines[i].rstrip()
        i += 1
        if skip_depth:  # the C++ side of a header: nothing a C module sees
            skip_depth += line.startswith("#if")
            skip_depth -= line.startswith("#endif")
            continue
        if line.startswith("#ifdef __cplusplus"):
            skip_depth = 1
            continue
        if line.startswith("/*"):
            block = [line]
            while not block[-1].rstrip().endswith("*/"):
                block.append(lines[i])
                i += 1
            if "SPDX-License-Identifier" in block[0]:
                continue
            close()
            if not description and not groups:
                description = comment_text(block)
            else:
                comment = comment_text(block)
            continue
        if not line.strip():
            close()
            continue
        if re.match(r"#(ifndef|endif|include|pragma)|#define KIV_\w+_H$|struct \w+;$", line):
            continue
        decl = [line]
        if line.startswith("typedef struct") and line.endswith("{"):
            while not re.match(r"}.*;", decl[-1]):
                decl.append(lines[i].rstrip())
                i += 1
        elif not line.startswith("#"):
            while not decl[-1].endswith(";"):
                decl.append(lines[i].strip())
                i += 1
            decl = [" ".join(decl)] if "(" in line and not line.startswith("typedef") else decl
        decls.append(decl)
    close()
    return description, groups


def function(decl):
    m = PROTOTYPE.match(decl[0]) if len(decl) == 1 else None
    if not m or decl[0].startswith(("typedef", "extern", "#")):
        return None
    args = [a.strip() for a in m["args"].split(",")]
    return m["ret"].strip(), m["name"], args


def write_page(outdir, version, date, header, include, names_of_pages):
    description, groups = parse(header)
    name = page_name(include)
    functions = [f for _, decls in groups for f in map(function, decls) if f]
    first = re.split(r"(?<=\.) |; ", description, maxsplit=1)[0].rstrip(".")
    summary = first[0].lower() + first[1:] if first[1:2].islower() else first
    out = [
        f".\\\" Made from {include} by docs/mkman.py: edit the header, not this page.",
        f".Dd {date}",
        f".Dt {name.upper()} 3",
        f".Os kivtamp {version}",
        ".Sh NAME",
        f".Nm {name}" + (" ," if functions else ""),
    ]
    out += [f".Nm {f[1]}" + (" ," if k + 1 < len(functions) else "") for k, f in enumerate(functions)]
    out += [f".Nd {escape(summary)}", ".Sh LIBRARY", "The unit's runtime library, libkivcommon", ".Pq Fl lkivcommon",
            ".Sh SYNOPSIS", f".In {include}"]
    for ret, fname, args in functions:
        out += [f".Ft {ret}", f".Fo {fname}"] + [f'.Fa "{a}"' for a in args if a != "void"] + [".Fc"]
    out += [".Sh DESCRIPTION"] + prose(description)
    in_list = False
    for comment, decls in groups:
        fns = [function(d) for d in decls]
        if decls and all(fns):
            if not in_list:
                out.append(".Bl -tag -width Ds")
                in_list = True
            out.append(".It " + " , ".join(f"Fn {f[1]}" for f in fns))
            out += prose(comment or "")
            continue
        if in_list:
            out.append(".El")
            in_list = False
        if comment:
            out += [".Pp"] + prose(comment)
        if decls:
            out += [".Bd -literal -offset indent"] + [escape(l) for d in decls for l in d] + [".Ed"]
    if in_list:
        out.append(".El")
    others = sorted(["kivcommon"] + [n for n in names_of_pages if n != name])
    out += [".Sh SEE ALSO"] + [f".Xr {n} 3" + (" ," if k + 1 < len(others) else "") for k, n in enumerate(others)]
    with open(os.path.join(outdir, name + ".3"), "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")
    for _, fname, _ in functions:
        with open(os.path.join(outdir, fname + ".3"), "w", encoding="utf-8") as f:
            f.write(f".so man3/{name}.3\n")


def main():
    outdir, version, date = sys.argv[1:4]
    pairs = [a.split("=", 1) for a in sys.argv[4:]]
    os.makedirs(outdir, exist_ok=True)
    names = [page_name(include) for _, include in pairs]
    for header, include in pairs:
        write_page(outdir, version, date, header, include, names)


if __name__ == "__main__":
    main()

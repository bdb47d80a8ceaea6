#!/usr/bin/env python3
"""Writes docs/wininet-conformance.md from the two sides' results of the Internet client contract
and the committed list of explained differences; scripts/conformance.sh runs it.

Exit status 1 when a row differs without an explanation, a row listed as mended differs again,
or the list names a row the contract doesn't have; the page is written either way.
"""
import argparse
import sys

KINDS = ("mended", "theirs", "ours")


def read_tsv(path, fields):
    rows = []
    with open(path, encoding="utf-8", errors="backslashreplace") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if not line or line.startswith("#"):
                continue
            parts = line.split("\t", fields - 1)
            parts += [""] * (fields - len(parts))
            rows.append(parts)
    return rows


def read_differences(path, problems, notes):
    explained = {}
    for number, (names, kind, text) in enumerate(read_tsv(path, 3), 1):
        if kind == "note" and text:
            notes.append((names, text))
            continue
        if kind not in KINDS or not text:
            problems.append(f"{path}: entry {number} ({names}): kind must be one of {', '.join(KINDS)}, "
                            "followed by an explanation")
            continue
        for name in names.split(","):
            if name in explained:
                problems.append(f"{path}: {name} is explained twice")
            explained[name] = (kind, text)
    return explained


def cell(text):
    return text.replace("|", "\\|").replace("<", "&lt;").replace(">", "&gt;")


def code(text):
    return "`" + text.replace("|", "\\|").replace("`", "'") + "`" if text else ""


def main():
    parser = argparse.ArgumentParser()
    for option in ("rows", "peer", "ours", "theirs", "differences", "wine", "page"):
        parser.add_argument("--" + option, required=True)
    arguments = parser.parse_args()

    problems = []
    rows = read_tsv(arguments.rows, 3)
    peer = dict(read_tsv(arguments.peer, 2))
    ours = dict(read_tsv(arguments.ours, 2))
    theirs = dict(read_tsv(arguments.theirs, 2))
    notes = []
    explained = read_differences(arguments.differences, problems, notes)
    names = {row[0] for row in rows}
    for name in sorted(set(explained) - names):
        problems.append(f"{arguments.differences}: {name} is no row of the contract")

    counts = dict.fromkeys(("equal",) + KINDS + ("unexplained",), 0)
    stale = []
    groups = {}
    for name, script, calls in rows:
        mine = ours.get(name, "(no result)")
        other = theirs.get(name, "(no result)")
        kind, text = explained.get(name, (None, None))
        same = mine == other
        if same and kind == "mended":
            verdict = f"mended: {text}"
            counts["mended"] += 1
        elif same:
            verdict = "equal"
            counts["equal"] += 1
            if kind:
                stale.append(name)
        elif kind in ("theirs", "ours"):
            verdict = f"{kind}: {text}"
            counts[kind] += 1
        else:
            verdict = "**unexplained**" + (" (listed as mended, but differs again)" if kind == "mended" else "")
            counts["unexplained"] += 1
            problems.append(f"{name} differs without an explanation:\n    ours:   {mine}\n    theirs: {other}")
        groups.setdefault(name.split(".")[0], []).append((name, script, calls, mine, "same" if same else other,
                                                          verdict))

    lines = [
        "# The Internet client layer against a second implementation",
        "",
        "Written by `scripts/conformance.sh`; don't edit it by hand (explanations live in",
        "`tests/platform/wininet/contract/differences.txt`).",
        "",
        "Each row is a few calls of the Internet client API against a scripted peer on 127.0.0.1 and",
        "what a caller then sees. The client (`tests/platform/wininet/contract/`) is written against the",
        "API alone: it is built against this project's `wininet.h` and layer, and, unchanged, with",
        f"MinGW-w64 against Windows' headers and `wininet` import library into a `.exe` run under {arguments.wine}",
        "(an independent implementation of the Windows API). Both talk to the same peer, a Linux process.",
        "Results print handles as `handle`, failures as `FALSE/<last error>`, bytes escaped, and the",
        "peer's port as `PORT`.",
        "",
        "| rows | equal | mended | theirs | ours |" + (" unexplained |" if counts["unexplained"] else ""),
        "|---:|---:|---:|---:|---:|" + ("---:|" if counts["unexplained"] else ""),
        f"| {len(rows)} | {counts['equal']} | {counts['mended']} | {counts['theirs']} | {counts['ours']} |"
        + (f" {counts['unexplained']} |" if counts["unexplained"] else ""),
        "",
        "- **equal**: both give the same result.",
        "- **mended**: the two differed; our layer was mended to the sound behaviour, which both now",
        "  show, and a row in our own tests holds it.",
        "- **theirs**: a fault or limit of the other implementation, with why we judge so.",
        "- **ours**: a deliberate departure or limit of our layer, with the reason.",
        "",
        "To run it: `scripts/conformance.sh` (installs Wine and the cross compiler when missing, builds",
        "both sides, starts a fresh Wine prefix under `build/default/conformance`, writes this page and",
        "fails on a difference without an explanation).",
        "",
    ]
    if notes:
        lines += ["## Recurring reasons", "", "Explanations below cite these by their letter.", ""]
        lines += [f"- {cell(name)} {cell(text)}" for name, text in notes]
        lines.append("")
    for group, entries in groups.items():
        lines += [f"## {group}", "", "| row | peer | calls | our layer | Wine | verdict |",
                  "|---|---|---|---|---|---|"]
        for name, script, calls, mine, other, verdict in entries:
            lines.append(f"| {cell(name)} | {cell(script)} | {cell(calls)} | {code(mine)} | "
                         f"{code(other) if other != 'same' else 'same'} | {cell(verdict)} |")
        lines.append("")
    lines += ["## Peer scripts", "", "The first segment of a request's path names the script that answers it;",
              "any other path gets the request echoed back.", "", "| script | what it does |", "|---|---|"]
    for script, description in peer.items():
        lines.append(f"| {cell(script)} | {cell(description)} |")
    lines.append("")
    with open(arguments.page, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))

    summary = ", ".join(f"{count} {kind}" for kind, count in counts.items() if count or kind != "unexplained")
    print(f"conformance: {len(rows)} rows: {summary}; page {arguments.page}")
    for name in stale:
        print(f"conformance: note: {name} is explained but no longer differs; its entry can go",
              file=sys.stderr)
    for problem in problems:
        print(f"conformance: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

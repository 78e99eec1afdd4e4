"""Writes kestrel-split.1, the man page of kestrel-split, from the command's own
argparse parser: its usage, description, options and the sections of its epilog
("exit status:" becomes EXIT STATUS). The build runs it with the modules it has just
built importable (CMakeLists.txt); usage: manpage.py OUTPUT."""
import argparse
import re
import sys

import kestrel_cli
import kestrel_scatter

NAME = "split a VCF file into batch files that each carry the header"


def escaped(text):
    """Text as roff reads it literally: backslashes and minus signs escaped, no line
    taken for a request."""
    lines = [line.strip().replace("\\", "\\e").replace("-", "\\-") for line in text.strip().splitlines()]
    return "\n".join(".PP" if not line else "\\&" + line if line[0] in ".'" else line for line in lines)


def page(parser):
    formatter = argparse.HelpFormatter(parser.prog)
    usage = " ".join(parser.format_usage().split()).removeprefix("usage: ")
    out = [f'.TH KESTREL\\-SPLIT 1 "" "kestrel {kestrel_scatter.__version__}" "User Commands"',
           ".SH NAME", f"kestrel\\-split \\- {NAME}",
           ".SH SYNOPSIS", escaped(usage),
           ".SH DESCRIPTION", escaped(parser.description),
           ".SH OPTIONS"]
    for action in parser._actions:
        out += [".TP", f"\\fB{escaped(formatter._format_action_invocation(action))}\\fR", escaped(action.help)]
    # The epilog: lines at the margin ending in ":" open a section ("output files (where
    # to read more):"), the indented lines below them are its text.
    for title, body in re.findall(r"^(\S[^\n]*(?:\n\S[^\n]*)*):\n((?:(?: [^\n]*)?\n)*)", parser.epilog, re.M):
        name, _, aside = " ".join(title.split()).partition(" (")
        out += [f".SH {escaped(name.upper())}", escaped(f"({aside}\n\n{body}" if aside else body)]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    with open(sys.argv[1], "w", encoding="utf-8") as output:
        output.write(page(kestrel_cli.build_parser()))

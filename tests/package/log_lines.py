#!/usr/bin/env python3
"""Every log line that doc/log.md's table of log lines or the man page's
OUTPUT section shows is one the product logs: it matches one of the formats
passed to LogLine (its %-fields standing for any text), the prefix of
what LogReceived logs, or, for an error
line shown as "context: ...", one of the contexts passed to LogLastError;
either written in the call or as a named constant.
Prints each line that matches none; exits 1 if there is one."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
man = pathlib.Path(sys.argv[2]).read_text()

LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'
CALL = re.compile(r'\b(LogLine|LogLastError)\(\s*[^,()]+,\s*(?:' + LITERALS + r'|(\w+))')
# A text written once as a named constant, "const char NAME[] = ...;".
CONSTANT = re.compile(r'\bconst char (\w+)\[\] =\s*' + LITERALS + ';')
sources = sorted((root / "src").rglob("*.cpp")) + sorted((root / "src").rglob("*.h"))
constants = {name: literals for source in sources
             for name, literals in CONSTANT.findall(source.read_text())}
formats = []
for source in sources:
    for call, literals, name in CALL.findall(source.read_text()):
        literals = literals or constants.get(name, "")
        text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literals))
        pattern = ".+".join(re.escape(part) for part in re.split(r"%l?[sdu]", text))
        formats.append(pattern + (": .+" if call == "LogLastError" else ""))

# What LogReceived logs: its prefix, then the bytes as they came.
received = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', constants.get("RECEIVED_PREFIX", "")))
if received:
    formats.append(re.escape(received) + ".+")

shown = re.findall(r"^\| `([^`]+)` \|", root.joinpath("doc/log.md").read_text(), re.M)
output = man.split(".SH OUTPUT")[1].split(".PP")[0]
shown += [re.sub(r"\\(.)", r"\1", line) for line in re.findall(r"^\.TP\n\.B (.+)$", output, re.M)]

unknown = [line for line in shown if not any(re.fullmatch(f, line) for f in formats)]
for line in unknown:
    print(f"not a line the product logs: {line!r}")
print(f"log lines shown in the documents: {len(shown)}, of which not the product's: {len(unknown)}")
sys.exit(1 if unknown or not shown else 0)

#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The nimbet tool's --json lines against their JSON Schema and the manual page.

usage: check_json_schema.py TOOL SCHEMA MANPAGE TOOLS_SOURCE_DIR

Runs the tool the ways that make every kind of line (inside the private
network namespace that the test runs in), checks each line against
packaging/schemas/tool-events.schema.json, and checks that the events the
tool's sources write, the events of the schema and those of the manual
page's JSON OUTPUT section are the same.
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

import jsonschema

TOOL, SCHEMA, MANPAGE, SOURCES = sys.argv[1:5]
PORT = "47000"


def run(*args, stdin=None):
    """Runs the tool to its end (every run is bounded by --seconds or retries)."""
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=60, check=False)


def start(*args):
    """Starts the tool in the background, its output to a file (a pipe that
    nobody reads would stop it)."""
    out = tempfile.TemporaryFile()
    process = subprocess.Popen([TOOL, *args], stdout=out, stderr=subprocess.DEVNULL)
    time.sleep(0.3)  # lets it bind before others send
    return process, out


def finish(started):
    process, out = started
    process.wait(timeout=60)
    out.seek(0)
    return out.read()


def lines_of(*outputs):
    return [line for out in outputs for line in out.decode().splitlines()]


def main():
    with open(SCHEMA, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    outputs = [run("interfaces", "--json").stdout]
    listener = start("listen", PORT, "--id", "10.0.0.2", "--json", "-v", "--count", "3", "--seconds", "10")
    outputs.append(run("send", PORT, "tmp", "21.5", "--id", "10.0.0.1", "--json").stdout)
    outputs.append(run("send", PORT, "txt", "\u00e9t\u00e9", "--id", "10.0.0.1", "--json").stdout)
    outputs.append(run("send", PORT, "hum", "40", "--id", "10.0.0.1", "--to", "10.0.0.2", "--acked", "--json").stdout)
    outputs.append(finish(listener))
    outputs.append(run("send", PORT, "tmp", "x", "--to", "10.0.0.9", "--acked", "--retry", "2", "--timeout", "20",
                       "--json").stdout)
    with tempfile.TemporaryDirectory() as work:
        receiver = start("recv-file", PORT, os.path.join(work, "out.bin"), "--id", "10.0.0.2", "--json",
                         "--seconds", "20")
        outputs.append(run("send-file", PORT, "-", "--to", "10.0.0.2", "--id", "10.0.0.1", "--json", "-v",
                           stdin=os.urandom(200000)).stdout)
        outputs.append(finish(receiver))
    outputs.append(run("send-file", PORT, "-", "--to", "10.0.0.9", "--id", "10.0.0.1", "--retry", "2", "--timeout",
                       "20", "--json", "-vv", stdin=b"x" * 100).stdout)

    seen = set()
    bad = 0
    for line in lines_of(*outputs):
        try:
            obj = json.loads(line)
            validator.validate(obj)
            seen.add(obj["event"])
        except (ValueError, jsonschema.ValidationError) as e:
            bad += 1
            print(f"not a valid line: {line}\n  {str(e).splitlines()[0]}", file=sys.stderr)

    # The events each place names.
    in_schema = set()
    for definition in schema["$defs"].values():
        event = definition.get("properties", {}).get("event", {})
        in_schema |= {event["const"]} if "const" in event else set(event.get("enum", []))
    in_sources = set()
    for name in os.listdir(SOURCES):
        if name.endswith(".cpp") and not name.startswith("bridge"):
            with open(os.path.join(SOURCES, name), encoding="utf-8") as f:
                text = f.read()
            # json_event("name"), json_event(x ? "one" : "other"), .str("event", "name")
            for argument in re.findall(r'json_event\(([^)]*)\)', text):
                in_sources |= set(re.findall(r'"([a-z-]+)"', argument))
            in_sources |= set(re.findall(r'str\("event",\s*"([a-z-]+)"\)', text))
    with open(MANPAGE, encoding="utf-8") as f:
        page = f.read().replace("\\-", "-")
    section = re.search(r"\n\.SH JSON OUTPUT\n(.*?)\n\.SH ", page, re.S).group(1)
    in_page = set()
    for heading in re.findall(r"\.TP\n\.BR? ([^\n]*)", section):
        in_page |= set(re.findall(r"[a-z][a-z-]*", heading.replace('", "', " ").replace('"', "")))

    problems = []
    if bad:
        problems.append(f"{bad} lines do not match the schema")
    for what, names in (("the tool's sources", in_sources), ("the manual page", in_page)):
        if names != in_schema:
            problems.append(f"events of {what} differ from the schema's: only there {sorted(names - in_schema)}, "
                            f"only in the schema {sorted(in_schema - names)}")
    missing = in_schema - seen - {"failed"}  # a send that fails cannot be made here
    if missing:
        problems.append(f"events never written in this run: {sorted(missing)}")
    for p in problems:
        print(p, file=sys.stderr)
    print(f"{len(lines_of(*outputs))} lines, {len(seen)} kinds of event, all valid"
          if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the gateway's JSON Schemas, and instances against them.

usage: check_schemas.py SCHEMA_DIR [CASES]
CASES holds one JSON object per line: {"schema": NAME, "valid": BOOL,
"instance": TEXT}, TEXT being a message as published or taken. Every schema
in SCHEMA_DIR must itself be valid; every case must be judged as "valid" says.
Exits 0 when all hold, 1 otherwise, 77 when the jsonschema module is missing.
"""
import json
import pathlib
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed")
    sys.exit(77)

schemas = {}
for path in sorted(pathlib.Path(sys.argv[1]).glob("bridge-*.schema.json")):
    schema = json.loads(path.read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    schemas[path.name[: -len(".schema.json")]] = jsonschema.Draft202012Validator(schema)

failures = 0
cases = 0
if len(sys.argv) > 2:
    for line in pathlib.Path(sys.argv[2]).read_text().splitlines():
        case = json.loads(line)
        cases += 1
        try:
            instance = json.loads(case["instance"])
        except json.JSONDecodeError:
            instance = None
        errors = [] if instance is None else list(schemas[case["schema"]].iter_errors(instance))
        valid = instance is not None and not errors
        if valid != case["valid"]:
            failures += 1
            why = "; ".join(e.message for e in errors[:3]) or "valid"
            print(f"{case['schema']}: expected {'valid' if case['valid'] else 'invalid'}: {case['instance']} ({why})")
print(f"{len(schemas)} schemas, {cases} cases, {failures} failed")
sys.exit(1 if failures else 0)

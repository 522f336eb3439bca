#!/usr/bin/env python3
"""Validates documents against docs/schemas/ (JSON Schema draft 2020-12).

    tools/check_documents.py events FILE...    # lines VantorelCtl.exe printed
    tools/check_documents.py commands FILE...  # command lines a user interface writes

Every line that starts with "{" is one document. Prints each document the schema refuses with
the reason and exits 1 when there is one; exits 2 when the validator is missing (Debian:
python3-jsonschema, 4.0 or newer)."""

import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMAS = {"events": "event.schema.json", "commands": "command.schema.json"}


def validator(kind):
    try:
        from jsonschema import Draft202012Validator
    except ImportError:
        print("check_documents: no JSON Schema 2020-12 validator (install python3-jsonschema)", file=sys.stderr)
        sys.exit(2)
    with open(os.path.join(ROOT, "docs", "schemas", SCHEMAS[kind]), encoding="utf-8") as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    return Draft202012Validator(schema)


def refusals(check, document):
    """The reasons `check` refuses `document` (a parsed object), [] when it is valid."""
    return [error.message for error in check.iter_errors(document)]


def main(argv):
    if len(argv) < 3 or argv[1] not in SCHEMAS:
        print(__doc__, file=sys.stderr)
        return 64
    check = validator(argv[1])
    documents = bad = 0
    for path in argv[2:]:
        with open(path, encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                line = line.rstrip("\r\n")
                if not line.startswith("{"):
                    continue
                documents += 1
                try:
                    reasons = refusals(check, json.loads(line))
                except ValueError as error:
                    reasons = [f"not JSON: {error}"]
                if reasons:
                    bad += 1
                    print(f"{path}:{number}: {line}\n    " + "\n    ".join(reasons))
    print(f"check_documents: {documents} {argv[1]} documents, {bad} refused by the schema")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/python3
"""Validates JSON lines against the published schemas (docs/schema/).

validate.py SCHEMA_DIR events|journal FILE...: every line of every FILE must
be valid; a copy of the first result with a status no schema knows must not
be. Prints each invalid line with the reason and exits 1 if there is one.
"""
import json
import pathlib
import sys

import jsonschema


def validator(schema_dir, kind):
    schemas = {}
    for path in pathlib.Path(schema_dir).glob("*.schema.json"):
        schema = json.loads(path.read_text())
        jsonschema.Draft202012Validator.check_schema(schema)
        schemas[schema["$id"]] = schema
    main = next(s for s in schemas.values() if s["$id"].endswith(f"/{kind}.schema.json"))
    resolver = jsonschema.RefResolver.from_schema(main, store=schemas)
    return jsonschema.Draft202012Validator(main, resolver=resolver)


def main():
    schema_dir, kind, files = sys.argv[1], sys.argv[2], sys.argv[3:]
    check = validator(schema_dir, kind)
    bad = 0
    lines = []
    for name in files:
        for number, line in enumerate(pathlib.Path(name).read_text().splitlines(), 1):
            try:
                value = json.loads(line)
            except json.JSONDecodeError as e:
                print(f"{name}:{number}: not JSON ({e}): {line}")
                bad += 1
                continue
            lines.append(value)
            for error in check.iter_errors(value):
                print(f"{name}:{number}: {error.message}: {line}")
                bad += 1
    results = [v for v in lines if "status" in v]
    if not results:
        print(f"no result among {len(lines)} lines")
        return 1
    wrong = dict(results[0], status="exploded")
    if check.is_valid(wrong):
        print(f"a status no schema knows passed: {json.dumps(wrong)}")
        bad += 1
    print(f"{kind}: {len(lines)} lines, {len(results)} results, {bad} invalid")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

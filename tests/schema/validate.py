#!/usr/bin/python3
"""validate.py SCHEMA_DIR events|journal FILE...: every line of every FILE is
valid against docs/schema/, and the first result with a status no schema
knows is not. Prints each invalid line with the reason; exit 1 if any."""
import json
import pathlib
import sys

import jsonschema

schema_dir, kind, files = sys.argv[1], sys.argv[2], sys.argv[3:]
schemas = {s["$id"]: s for s in (json.loads(p.read_text())
                                 for p in pathlib.Path(schema_dir).glob("*.schema.json"))}
main = next(s for i, s in schemas.items() if i.endswith(f"/{kind}.schema.json"))
jsonschema.Draft202012Validator.check_schema(main)
check = jsonschema.Draft202012Validator(
    main, resolver=jsonschema.RefResolver.from_schema(main, store=schemas))
bad, values = 0, []
for name in files:
    for number, line in enumerate(pathlib.Path(name).read_text().splitlines(), 1):
        values.append(json.loads(line))
        for error in check.iter_errors(values[-1]):
            print(f"{name}:{number}: {error.message}: {line}")
            bad += 1
results = [v for v in values if "status" in v]
if not results or check.is_valid(dict(results[0], status="exploded")):
    print("no result, or a status no schema knows passed")
    bad += 1
print(f"{kind}: {len(values)} lines, {len(results)} results, {bad} invalid")
sys.exit(1 if bad else 0)

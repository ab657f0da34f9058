#!/usr/bin/env python3
"""Prints a property list as JSON, read with plistlib. A keyed archive is resolved from its root
object: an archived record becomes {"$class": name, field: value ...}, $null becomes null."""
import json
import plistlib
import sys


def resolve(objects, value):
    if isinstance(value, plistlib.UID):
        return resolve(objects, objects[value.data])
    if value == "$null":
        return None
    if isinstance(value, dict) and "$class" in value:
        cls = objects[value["$class"].data]["$classname"]
        if "NS.objects" in value and "NS.keys" not in value:
            return [resolve(objects, v) for v in value["NS.objects"]]
        if "NS.keys" in value:
            return {resolve(objects, k): resolve(objects, v) for k, v in zip(value["NS.keys"], value["NS.objects"])}
        if "NS.string" in value:
            return value["NS.string"]
        out = {"$class": cls}
        for k, v in value.items():
            if k != "$class":
                out[k] = resolve(objects, v)
        return out
    if isinstance(value, list):
        return [resolve(objects, v) for v in value]
    if isinstance(value, dict):
        return {k: resolve(objects, v) for k, v in value.items()}
    if isinstance(value, bytes):
        return value.hex()
    return value


def main():
    with open(sys.argv[1], "rb") as f:
        data = plistlib.load(f)
    if isinstance(data, dict) and "$archiver" in data:
        data = resolve(data["$objects"], data["$top"]["root"])
    print(json.dumps(data))


if __name__ == "__main__":
    sys.exit(main())

"""Keyed archives (binary property lists in the archiver's object-table form) for the demo, the
benchmarks and the test servers: strings, arrays and records of a class with int or str fields."""

import os
import plistlib


def keyed_archive(value):
    """value: str, list of values, or a record (class name, {key: int or str})."""
    objects = ["$null"]
    classes = {}

    def add(item):
        objects.append(item)
        return plistlib.UID(len(objects) - 1)

    def cls(name):
        if name not in classes:
            classes[name] = add({"$classname": name, "$classes": [name, "NSObject"]})
        return classes[name]

    def encode(v):
        if isinstance(v, str):
            return add(v)
        if isinstance(v, list):
            ref = add(None)
            objects[ref.data] = {"$class": cls("NSArray"), "NS.objects": [encode(x) for x in v]}
            return ref
        name, fields = v
        ref = add(None)
        coded = {"$class": cls(name)}
        for key, x in fields.items():
            coded[key] = x if isinstance(x, int) else encode(x)
        objects[ref.data] = coded
        return ref

    top = encode(value)
    return plistlib.dumps({"$version": 100000, "$archiver": "NSKeyedArchiver", "$top": {"root": top},
                           "$objects": objects}, fmt=plistlib.FMT_BINARY)


def write_archive(path, value):
    """Writes the archive of value to path atomically, making its folder."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".tmp", "wb") as f:
        f.write(keyed_archive(value))
    os.replace(path + ".tmp", path)

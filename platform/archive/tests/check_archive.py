"""Reads a keyed archive written by our coder with plistlib and checks its layout and values.

Usage: check_archive.py ARCHIVE. Exits 0 when every check passes, else prints what failed.
"""
import datetime
import plistlib
import sys

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def ref(value):
    """The index a reference points to: a binary UID, or the XML form {"CF$UID": n}."""
    if isinstance(value, plistlib.UID):
        return value.data
    if isinstance(value, dict) and list(value) == ["CF$UID"]:
        return value["CF$UID"]
    raise ValueError("not a reference: %r" % (value,))


with open(sys.argv[1], "rb") as f:
    top = plistlib.load(f)

check(top.get("$archiver") == "NSKeyedArchiver", "$archiver")
check(top.get("$version") == 100000, "$version")
objects = top["$objects"]
check(objects[0] == "$null", "$objects[0] is $null")
root_index = ref(top["$top"]["root"])


def class_of(entry):
    return objects[ref(entry["$class"])]


def decode(index):
    """An independent reading of the archive into Python values."""
    if index == 0:
        return None
    entry = objects[index]
    if not isinstance(entry, dict):
        return entry
    cls = class_of(entry)
    name = cls["$classname"]
    if name in ("NSMutableDictionary", "NSDictionary"):
        keys = [decode(ref(k)) for k in entry["NS.keys"]]
        values = [decode(ref(v)) for v in entry["NS.objects"]]
        return dict(zip(keys, values))
    if name in ("NSMutableArray", "NSArray"):
        return [decode(ref(v)) for v in entry["NS.objects"]]
    if name == "NSDate":
        return ("date", entry["NS.time"])
    if name == "NSNull":
        return "NSNull"
    fields = {}
    for key, value in entry.items():
        if key == "$class":
            continue
        try:
            fields[key] = decode(ref(value))
        except ValueError:
            fields[key] = value
    return (name, fields)


root_entry = objects[root_index]
check(class_of(root_entry)["$classes"] == ["NSMutableDictionary", "NSDictionary", "NSObject"],
      "root class chain")
state = decode(root_index)

expected = {
    "user": "\u674e\u96f7 \U0001F600",
    "count": -17,
    "big": -(2 ** 63),
    "huge": 2 ** 63 - 1,
    "ratio": 2.5,
    "on": True,
    "off": False,
    "blob": b"\x00\xff\x10",
    "none": "NSNull",
    "when": ("date", 1700000000.125 - 978307200),
    "servers": ["a.example", [1, 2, []], {}],
    "nested": {"level": {"deeper": ["NSNull", "x"]}},
    "first": ("ZemRecord", {"name": "printer", "port": 9100, "enabled": True, "ratio": 0.5}),
}
for key, value in expected.items():
    check(state.get(key) == value, "%s: %r != %r" % (key, state.get(key), value))
    check(type(state.get(key)) is type(value), "%s has type %s" % (key, type(state.get(key)).__name__))
check(state.get("second") == state.get("first"), "second equals first")

record = state["record"]
check(record[0] == "ZemCMDModel", "record class")
check(record[1].get("cmdId") == 12, "record cmdId inline")
check(record[1].get("owner") is None, "nil property is $null")
check(record[1].get("$$dollar") == "kept", "escaped key")
check(record[1].get("child") == ("ZemRecord", {"name": "inner"}), "nested record")
keys = [objects[ref(k)] for k in root_entry["NS.keys"]]
record_class = class_of(objects[ref(root_entry["NS.objects"][keys.index("record")])])
check(record_class["$classes"] == ["ZemCMDModel", "NSObject"], "record class chain")

# The shared record is one entry referred to from both keys.
first_ref = ref(root_entry["NS.objects"][keys.index("first")])
second_ref = ref(root_entry["NS.objects"][keys.index("second")])
check(first_ref == second_ref, "shared record written once")
records = [e for e in objects if isinstance(e, dict) and "$class" in e
           and class_of(e)["$classname"] == "ZemRecord"]
check(len(records) == 2, "two ZemRecord entries (shared one and the child), found %d" % len(records))

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("ok")

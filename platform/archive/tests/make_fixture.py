"""Writes a binary keyed archive in the NSKeyedArchiver layout with plistlib, independently of
our coder: immutable Foundation classes, NSString/NSData object forms, a record referenced from
three places, and strings that a binary plist stores as UTF-16.

Usage: make_fixture.py OUTPUT
"""
import plistlib
import sys

UID = plistlib.UID
objects = ["$null"]


def add(value):
    objects.append(value)
    return UID(len(objects) - 1)


def cls(name, chain=None):
    return add({"$classname": name, "$classes": chain or [name, "NSObject"]})


dict_class = cls("NSDictionary")
array_class = cls("NSArray")
string_class = cls("NSMutableString", ["NSMutableString", "NSString", "NSObject"])
data_class = cls("NSMutableData", ["NSMutableData", "NSData", "NSObject"])
date_class = cls("NSDate")
null_class = cls("NSNull")
record_class = cls("ZemRecord")

record = add({"$class": record_class, "name": add("printer \u00e9"), "port": 631,
              "$$escaped": add("yes"), "missing": UID(0)})
null = add({"$class": null_class})
values = {
    "name": add({"$class": string_class, "NS.string": "Zh\u00e8ng"}),
    "emoji": add("\U0001F600 \u00fcn\u00efcode"),
    "count": add(-3),
    "big": add(2 ** 40),
    "pi": add(3.25),
    "flag": add(True),
    "blob": add(b"\x00\x01\x02"),
    "mutableBlob": add({"$class": data_class, "NS.data": b"\xff"}),
    "when": add({"$class": date_class, "NS.time": 86400.5}),
    "nothing": null,
    "list": add({"$class": array_class, "NS.objects": [record, record, null, add("x")]}),
    "record": record,
}
keys = [add(k) for k in values]
root = add({"$class": dict_class, "NS.keys": keys, "NS.objects": list(values.values())})

archive = {"$archiver": "NSKeyedArchiver", "$version": 100000, "$top": {"root": root}, "$objects": objects}
with open(sys.argv[1], "wb") as f:
    plistlib.dump(archive, f, fmt=plistlib.FMT_BINARY)

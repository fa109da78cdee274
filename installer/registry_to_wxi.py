#!/usr/bin/env python3
"""Turns registry exports taken around each registration step into a WiX include.

usage: registry_to_wxi.py --arch x64|x86 STEP...
  STEP is COMPONENT:FILE_ID:DIR_ID:BEFORE.reg:AFTER.reg, one per program that registered:
  what the program added between the two exports becomes the registry rows of COMPONENT,
  and every path to the staged file is written as a reference to FILE_ID ([#FILE_ID] for
  the long form, [!FILE_ID] for the short one) or to its directory DIR_ID.

The exports are of HKEY_LOCAL_MACHINE\\Software\\Classes from a 64-bit Wine prefix.
Entries below Wow6432Node are the 32-bit view. On 64-bit Windows only CLSID and Interface
are kept apart for 32-bit programs; the rest of the classes key is one for both, and Wine
shows such a key in both places, so a 32-bit copy that equals its 64-bit original is not
written twice. For the x86 package everything is native.
"""
import argparse
import re
import sys
from xml.sax.saxutils import quoteattr

CLASSES = "HKEY_LOCAL_MACHINE\\Software\\Classes\\"
WOW = "wow6432node\\"
# The only parts of the classes key that 64-bit Windows keeps separately for 32-bit programs.
REDIRECTED = ("clsid", "interface")
STAGE = "C:\\VEXA staging"


def fail(message):
    sys.exit("registry_to_wxi: " + message)


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def parse_reg(path):
    """{key: {value name or None: (type, data)}}, every key listed, empty ones too."""
    keys = {}
    current = None
    pending = ""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for raw in lines:
        line = pending + raw
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1].strip() if pending else line[:-1]
            continue
        pending = ""
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            keys.setdefault(current, {})
            continue
        if current is None or not line or line.startswith(";") or line.startswith("Windows"):
            continue
        m = re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)
        if not m:
            continue
        name = None if m.group(1) == "@" else unescape(m.group(2))
        data = m.group(3)
        if data.startswith('"') and data.endswith('"'):
            keys[current][name] = ("string", unescape(data[1:-1]))
        elif data.startswith("dword:"):
            keys[current][name] = ("integer", str(int(data[6:], 16)))
        else:
            keys[current][name] = ("other", data)
    return keys


def added(before, after):
    """Keys and values present after and not (or different) before, as {key: {name: v}}."""
    lower_before = {k.lower(): v for k, v in before.items()}
    diff = {}
    for key, values in after.items():
        old = lower_before.get(key.lower())
        if old is None:
            diff[key] = dict(values)
            continue
        changed = {n: v for n, v in values.items() if old.get(n) != v}
        if changed:
            diff[key] = changed
    lower_after = {a.lower() for a in after}
    removed = [k for k in lower_before if k not in lower_after]
    if removed:
        fail("a registration removed keys: " + ", ".join(removed[:3]))
    return diff


def split_view(key):
    if not key.lower().startswith(CLASSES.lower()):
        fail("a registration wrote outside the classes key: " + key)
    rest = key[len(CLASSES):]
    if rest.lower().startswith(WOW):
        return True, rest[len(WOW):]
    return False, rest


def translate(value, file_id, dir_id, file_name):
    if not value.startswith(STAGE) and not re.match(r"^C:\\VEXA~", value, re.I):
        if "staging" in value.lower() or "VEXA~" in value:
            fail("a path in an unexpected form: " + value)
        return value
    base = value.rsplit("\\", 1)[-1]
    if base.lower() == file_name.lower():
        return "[#%s]" % file_id
    if "." in base and base.rsplit(".", 1)[1].lower() == file_name.rsplit(".", 1)[1].lower():
        return "[!%s]" % file_id
    if "." not in base:
        # A directory: the formatted form always ends with a backslash.
        return "[%s]" % dir_id
    fail("a path to an unknown file: " + value)


def rows_of_step(arch, before, after, file_id, dir_id, file_name):
    """[(key, name, type, value)] in the package's view and whether they are 64-bit."""
    diff = added(parse_reg(before), parse_reg(after))
    native, wow = {}, {}
    for key, values in diff.items():
        is_wow, rest = split_view(key)
        (wow if is_wow else native)[rest] = values
    entries = {}
    win64 = None
    for rest, values in sorted(native.items()):
        entries[rest.lower()] = (rest, values)
    for rest, values in sorted(wow.items()):
        twin = entries.get(rest.lower())
        separate = rest.lower().split("\\", 1)[0] in REDIRECTED
        if arch == "x64" and separate:
            if native:
                fail("one step wrote both views: " + rest)
            entries[rest.lower()] = (rest, values)
            continue
        if twin is not None:
            if {n: v for n, v in twin[1].items()} != values:
                fail("the two views differ at " + rest)
            continue
        if arch == "x64":
            fail("a 32-bit entry outside CLSID and Interface: " + rest)
        entries[rest.lower()] = (rest, values)
    if arch == "x86":
        win64 = False
    else:
        win64 = bool(native)
    has_child = set()
    for low in entries:
        parts = low.split("\\")
        for i in range(1, len(parts)):
            has_child.add("\\".join(parts[:i]))
    rows = []
    for low, (rest, values) in sorted(entries.items()):
        if not values and low not in has_child:
            # An empty key of our own: created on install, removed with the component.
            rows.append((rest, "*", None, None))
        for name, (kind, data) in sorted(values.items(), key=lambda nv: (nv[0] is not None, nv[0] or "")):
            if kind not in ("string", "integer"):
                fail("a value of a type not handled: %s %s" % (rest, data))
            if kind == "string":
                data = translate(data, file_id, dir_id, file_name)
            rows.append((rest, name, kind, data))
    return rows, win64


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=("x64", "x86"), required=True)
    parser.add_argument("--file-name", action="append", default=[],
                        help="FILE_ID=name of the staged file, for each FILE_ID of the steps")
    parser.add_argument("steps", nargs="+")
    args = parser.parse_args()
    names = dict(item.split("=", 1) for item in args.file_name)

    out = ['<?xml version="1.0" encoding="utf-8"?>',
           "<!-- Generated by installer/registry_to_wxi.py from what the programs write when",
           "     they register themselves (installer/capture_registration.sh). Do not edit. -->",
           "<Include>"]
    for step in args.steps:
        component, file_id, dir_id, before, after = step.split(":", 4)
        rows, win64 = rows_of_step(args.arch, before, after, file_id, dir_id, names[file_id])
        if not rows:
            fail("the step %s registered nothing" % component)
        out.append('  <Component Id="%s" Guid="*" Win64="%s">'
                   % (component, "yes" if win64 else "no"))
        key_path = next(i for i, row in enumerate(rows) if row[1] != "*")
        for i, (key, name, kind, data) in enumerate(rows):
            attrs = ['Root="HKCR"', "Key=" + quoteattr(key)]
            if name == "*":
                attrs += ['Name="*"', 'Type="string"', 'Value=""']
            else:
                if name is not None:
                    attrs.append("Name=" + quoteattr(name))
                attrs += ['Type="%s"' % kind, "Value=" + quoteattr(data)]
            if i == key_path:
                attrs.append('KeyPath="yes"')
            out.append("    <RegistryValue %s/>" % " ".join(attrs))
        out.append("  </Component>")
    out.append("</Include>")
    print("\n".join(out))


if __name__ == "__main__":
    main()

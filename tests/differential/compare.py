#!/usr/bin/env python3
"""Compares the transcripts of the differential run (see transcript.h).

Usage: compare.py <stand-in transcript> <Wine transcript>

The two runs made the same calls in the same order, so line n of one answers
line n of the other. Every line that differs must be explained by one of the
departures below, each a row of the README's tables (the known differences
of Wine's from the platform, and the stand-in's own choices where Wine's
tests are silent), tried in turn; a difference that none explains fails the
run, and is shown with the fields that differ. Ends with the figures of the
run: calls, lines, differences per departure, and unexplained differences.
"""
import json
import re
import sys

UNTOUCHED = 0xDEADBEEF
SENTINEL = "\xcc"


def as_bytes(text):
    """A transcript string back as the bytes it stands for."""
    return text.encode("latin-1")


def differing(native, wine):
    return {key for key in set(native) | set(wine) if native.get(key) != wine.get(key)}


def answer(line):
    """The bytes a read placed before the untouched rest of its buffer."""
    return as_bytes(line["buffer"]).rstrip(SENTINEL.encode("latin-1"))


def only(keys, allowed):
    return keys <= set(allowed)


# ---- Registry ----------------------------------------------------------------------------


def failing_outputs(native, wine, keys):
    """Wine zeroes the type, and the size when no buffer was given, on a
    failing RegQueryValueExA; the stand-in leaves the caller's variables as
    they were (kept: Wine's tests do not look at them after a failure)."""
    if native["op"] == "probe" and native["what"].startswith("RegQueryValueExA"):
        return only(keys, {"type", "size"}) and wine["type"] == 0 and native["type"] == UNTOUCHED
    if native["op"] != "RegQueryValueExA" or not only(keys, {"asked_type", "needed", "type", "size"}):
        return False
    for key in keys:
        if wine[key] != 0:
            return False
        failed = native["asked"] if key in ("asked_type", "needed") else native["status"]
        if failed in (0, 234) or native[key] not in (UNTOUCHED, native["capacity"]):
            return False
    return True


def failing_create_outputs(native, wine, keys):
    """A failing RegCreateKeyExA: Wine may set the handle variable to null
    and the disposition; the stand-in leaves both as they were (kept: Wine's
    tests check the handle only for RegOpenKeyExA, which the stand-in sets
    too)."""
    return (native["op"] == "RegCreateKeyExA" and only(keys, {"handle", "disposition"}) and native["status"] != 0
            and native["handle"] == 2 and wine["handle"] in (0, 2) and native["disposition"] == UNTOUCHED)


def backslash_on_removed_key(native, wine, keys):
    """A path starting with a backslash on a handle whose key was removed:
    the stand-in checks the path first (ERROR_BAD_PATHNAME), Wine the handle
    (ERROR_KEY_DELETED) (kept: Wine's tests are silent)."""
    return (native["op"] in ("RegOpenKeyExA", "RegCreateKeyExA", "RegDeleteKeyA") and native["path"].startswith("\\")
            and only(keys, {"status", "handle"}) and native["status"] == 161 and wine["status"] == 1018
            and wine.get("handle", 0) == 0)


def empty_path_disposition(native, wine, keys):
    """Wine reports REG_CREATED_NEW_KEY for an empty path (README: Wine)."""
    return (native["op"] == "RegCreateKeyExA" and native["path"] == "" and keys == {"disposition"}
            and native["disposition"] == 2 and wine["disposition"] == 1)


def listing_order(native, wine, keys):
    """Wine lists values sorted by name and sorts subkeys by their lower-case
    form (README: Wine); the same names, in another order. Said of a line's
    listing before anything else is looked at: the rest of the line may
    differ for another reason."""
    field = {"RegEnumValueA": "values", "RegEnumKeyExA": "names"}.get(native["op"])
    return field is not None and field in keys and sorted(native[field]) == sorted(wine[field])


def enum_value_name_short(native, wine, keys):
    """RegEnumValueA whose name does not fit: Wine copies the data that
    fits, the stand-in copies none (Wine's test allows both, as Windows
    versions differ; kept)."""
    if native["op"] != "RegEnumValueA" or native.get("status") != 234 or not only(keys, {"data"}):
        return False
    untouched = set(native["data"]) == {SENTINEL}
    return untouched and native["name_length"] == native["name_capacity"] == wine["name_length"]


# Each probe: the departure that explains it, and the two statuses.
PROBES = {
    "a path of 300 characters": ("long-path", 2, 234),
    "RegOpenKeyExA with options 1": ("reserved-arguments", 87, 0),
    "RegCreateKeyExA with options 0x100": ("reserved-arguments", 87, 0),
    "RegSetValueExA with Reserved 1": ("reserved-arguments", 87, 0),
    "RegCreateKeyExA of a name of 256 characters": ("long-key-name", 87, 0),
    "RegSetValueExA of no data with a size, on a null handle": ("check-order", 998, 6),
}


def probe(departure):
    def explains(native, wine, keys):
        if native["op"] != "probe" or native["what"] not in PROBES:
            return False
        name, native_status, wine_status = PROBES[native["what"]]
        return (name == departure and only(keys, {"status", "handle"}) and native["status"] == native_status
                and wine["status"] == wine_status)
    return explains


# ---- Profile files -----------------------------------------------------------------------


def is_list(line):
    return line["section"] == "<null>" or line["key"] == "<null>"


def one_nul(native, wine, keys):
    """Wine ends a cut list with one NUL, leaving the buffer's last byte
    (README: Wine)."""
    if native["op"] != "GetPrivateProfileStringA" or keys != {"buffer"} or not is_list(native):
        return False
    count, size = native["count"], native["size"]
    n, w = as_bytes(native["buffer"]), as_bytes(wine["buffer"])
    return (count == size - 2 and n[:count + 2] == n[:count] + b"\0\0" and w[:count + 1] == n[:count + 1]
            and w[count + 1:count + 2] == b"\xcc" and n[size:] == w[size:])


def list_default(native, wine, keys):
    """Wine keeps the trailing blanks of the default given for a section
    without keys (README: Wine)."""
    if native["op"] != "GetPrivateProfileStringA" or native["key"] != "<null>" or native["section"] == "<null>":
        return False
    default = as_bytes(native["default"])
    return (keys <= {"count", "buffer"} and answer(native) == default.rstrip(b" ") + b"\0"
            and answer(wine) == default + b"\0")


def orphan_entries(native, wine, keys):
    """Wine takes the entries before a file's first section for the section
    named "" (its own test of this is todo_wine; Windows reads the "[]"
    section), README: Wine."""
    return native["op"] == "GetPrivateProfileStringA" and native["section"] == "" and keys <= {"count", "buffer"}


def utf8_file(native, wine, keys):
    """A file that starts with a UTF-8 byte-order mark: Wine decodes it as
    UTF-8 into the ANSI code page, the stand-in takes its bytes as they are
    (kept: Wine's tests are silent). Only requests or answers with bytes
    outside ASCII differ."""
    if native["op"] != "GetPrivateProfileStringA" or native["file"] not in UTF8_FILES:
        return False
    texts = [native["section"], native["key"], native["buffer"].rstrip(SENTINEL), wine["buffer"].rstrip(SENTINEL)]
    return keys <= {"count", "buffer"} and any(ord(c) > 0x7F for text in texts for c in text)


def normalized(data):
    """What a file says, whatever the bytes say it with: its lines without
    line breaks, blank lines, comments, and blanks around names and values
    (Wine puts a new key after a section's comments, the stand-in after its
    last key)."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        text = data[2:2 + (len(data) - 2) // 2 * 2].decode("utf-16-be" if data[0] == 0xFE else "utf-16-le",
                                                           "surrogatepass")
    else:
        text = data.decode("latin-1")
    lines = []
    for line in re.split("\r\n|\r|\n", text):
        line = line.strip(" \t\v\f\x1a")
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and "]" in line:
            line = "[" + line[1:line.rindex("]")].strip(" \t") + "]"
        elif "=" in line:
            name, value = line.split("=", 1)
            line = name.strip(" \t") + "=" + value.strip(" \t")
        lines.append(line)
    return lines


def rewrites_file(native, wine, keys):
    """Wine writes the whole file anew from what it parsed: CR LF line
    breaks, no blank lines, blanks around names and values trimmed
    (README: Wine); the file says the same."""
    return (native["op"] == "WritePrivateProfileStringA" and keys == {"bytes"}
            and normalized(bytes.fromhex(native["bytes"])) == normalized(bytes.fromhex(wine["bytes"])))


DEPARTURES = [
    # (name, where it is described, the rule)
    ("empty-path-created", "Wine", empty_path_disposition),
    ("long-key-name", "Wine", probe("long-key-name")),
    ("list-one-nul", "Wine", one_nul),
    ("list-default-blanks", "Wine", list_default),
    ("rewrites-file", "Wine", rewrites_file),
    ("entries-before-sections", "Wine", orphan_entries),
    ("failing-call-outputs", "stand-in", failing_outputs),
    ("failing-call-outputs", "stand-in", failing_create_outputs),
    ("check-order", "stand-in", probe("check-order")),
    ("check-order", "stand-in", backslash_on_removed_key),
    ("reserved-arguments", "stand-in", probe("reserved-arguments")),
    ("enum-value-name-short", "stand-in", enum_value_name_short),
    ("long-path", "stand-in", probe("long-path")),
    ("utf8-byte-order-mark", "stand-in", utf8_file),
]

UTF8_FILES = set()


def describe(native, wine):
    keys = sorted(differing(native, wine))
    shown = {key: value for key, value in native.items() if key not in keys and key not in ("bytes",)}
    lines = ["  " + json.dumps(shown, ensure_ascii=True)[:400]]
    for key in keys:
        lines.append("    %s: stand-in %s, Wine %s" % (key, json.dumps(native.get(key))[:300],
                                                      json.dumps(wine.get(key))[:300]))
    return "\n".join(lines)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="ascii") as first, open(sys.argv[2], encoding="ascii") as second:
        native_lines = [json.loads(line) for line in first]
        wine_lines = [json.loads(line) for line in second]
    failures = []
    if len(native_lines) != len(wine_lines):
        failures.append("the transcripts have %d and %d lines" % (len(native_lines), len(wine_lines)))
    explained = {}
    explained_lines = 0
    unexplained = []
    for number, (native, wine) in enumerate(zip(native_lines, wine_lines), 1):  # noqa: C901
        if native.get("op") == "profile" and bytes.fromhex(native["bytes"]).startswith(b"\xef\xbb\xbf"):
            UTF8_FILES.add(native["file"])
        if native == wine:
            continue
        if native.get("op") != wine.get("op") or native.get("op") in ("run", "end"):
            if native.get("op") != "end":
                unexplained.append((number, native, wine))
            continue
        keys = differing(native, wine)
        if listing_order(native, wine, keys):
            explained[("listing-order", "Wine")] = explained.get(("listing-order", "Wine"), 0) + 1
            keys -= {"values", "names"}
            if not keys:
                explained_lines += 1
                continue
        for name, where, rule in DEPARTURES:
            try:
                holds = rule(native, wine, keys)
            except (KeyError, TypeError, ValueError):
                holds = False
            if holds:
                explained[(name, where)] = explained.get((name, where), 0) + 1
                explained_lines += 1
                break
        else:
            unexplained.append((number, native, wine))

    end = native_lines[-1] if native_lines and native_lines[-1].get("op") == "end" else {}
    wine_end = wine_lines[-1] if wine_lines and wine_lines[-1].get("op") == "end" else {}
    if not end or not wine_end:
        failures.append("a run did not end (no last line of figures)")
    print("differential: %s registry sequences of %s operations (%s registry calls on the stand-in, %s under Wine), "
          "%d profile files (%s profile calls); %d lines compared" % (
              end.get("sequences"), end.get("operations"), end.get("registry_calls"),
              wine_end.get("registry_calls"), sum(1 for line in native_lines if line.get("op") == "profile"),
              end.get("profile_calls"), min(len(native_lines), len(wine_lines))))
    for (name, where), count in sorted(explained.items(), key=lambda item: (item[0][1], item[0][0])):
        print("  %-26s %-9s %6d" % (name, "(%s)" % where, count))
    print("differences: %d lines explained, %d unexplained" % (explained_lines, len(unexplained)))
    for number, native, wine in unexplained[:25]:
        print("UNEXPLAINED line %d:\n%s" % (number, describe(native, wine)))
    for failure in failures:
        print("FAIL: " + failure)
    return 0 if not unexplained and not failures else 1


if __name__ == "__main__":
    sys.exit(main())

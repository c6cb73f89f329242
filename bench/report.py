#!/usr/bin/env python3
"""Sets the native and Wine timings of bench/run side by side, as Markdown.

Usage: report.py RESULTS_FOLDER  (reads native.json, wine.json and the two
memory files bench/run leaves there)
"""
import json
import re
import sys
from pathlib import Path

UNIT = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}


def timings(path):
    """By workload name: (microseconds per call, entries per call) or a note."""
    if not path.exists():
        return {}
    result = {}
    for run in json.loads(path.read_text())["benchmarks"]:
        if run.get("run_type", "iteration") != "iteration":
            continue
        name = re.sub(r"/(min_time|iterations):[^/]*|/real_time$", "", run["name"])
        if run.get("error_occurred"):
            result[name] = "failed: " + run.get("error_message", "")
        elif "skipped" in run:
            result[name] = run["skipped"]
        else:
            result[name] = (run["real_time"] * UNIT[run["time_unit"]], int(run.get("entries", 0)))
    return result


def estimate(name, side):
    """A DeleteKey walk's time from the run of a tenth of its keys: the walk
    lists the key again after each removal, so it grows with the square."""
    match = re.match(r"(.*-keys:)(\d+)$", name)
    if not match:
        return None
    smaller = side.get(match.group(1) + str(int(match.group(2)) // 10))
    if not isinstance(smaller, tuple):
        return None
    return smaller[0] * 100, int(match.group(2))


def micros(value):
    if value >= 1000:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value < 10 else f"{value:.1f}"


def memory(path):
    if not path.exists():
        return None
    return json.loads(path.read_text())


def main():
    folder = Path(sys.argv[1])
    native = timings(folder / "native.json")
    wine = timings(folder / "wine.json")
    print("| Workload | Native µs/call | Native µs/entry | Wine µs/call | Wine µs/entry | Wine ÷ native |")
    print("|---|---:|---:|---:|---:|---:|")
    notes = []
    for name in list(native) + [n for n in wine if n not in native]:
        row = [name]
        per_call = []
        for side in (native, wine):
            found = side.get(name)
            mark = ""
            if isinstance(found, str):
                notes.append(f"{name} ({'native' if side is native else 'Wine'}): {found}")
                found = estimate(name, side) if "estimated" in found else None
                mark = " (estimated)"
                if found is None:
                    row += ["see note " + str(len(notes)), ""]
                    continue
            if found is None:
                row += ["", ""]
                continue
            value, entries = found
            per_call.append(value)
            row += [micros(value) + mark, micros(value / entries) if entries else ""]
        row.append(f"{per_call[1] / per_call[0]:.1f}" if len(per_call) == 2 and per_call[0] > 0 else "")
        print("| " + " | ".join(row) + " |")
    if notes:
        print()
        for number, note in enumerate(notes, 1):
            print(f"{number}. {note}")
    print()
    print("| Memory | Native | Wine |")
    print("|---|---:|---:|")
    sides = [memory(folder / "native-memory.json"), memory(folder / "wine-memory.json")]

    def megabytes(value):
        return f"{value / 2**20:.1f} MB"

    print("| Peak resident size | " + " | ".join(megabytes(s["peak_resident_bytes"]) if s else "" for s in sides) + " |")
    rounds = max((len(s["resident_bytes_after_round"]) for s in sides if s), default=0)
    for i in range(rounds):
        cells = []
        for s in sides:
            values = s["resident_bytes_after_round"] if s else []
            cells.append(megabytes(values[i]) if i < len(values) else "")
        print(f"| Resident after repeat {i + 1} of the largest workloads | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()

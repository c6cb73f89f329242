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
    """Microseconds per call and entries per call, by workload name."""
    if not path.exists():
        return {}
    result = {}
    for run in json.loads(path.read_text())["benchmarks"]:
        if run.get("run_type", "iteration") != "iteration":
            continue
        name = re.sub(r"/(min_time|iterations):[^/]*|/real_time$", "", run["name"])
        result[name] = (run["real_time"] * UNIT[run["time_unit"]], int(run.get("entries", 0)))
    return result


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
    for name in list(native) + [n for n in wine if n not in native]:
        row = [name]
        per_call = []
        for side in (native, wine):
            if name in side:
                value, entries = side[name]
                per_call.append(value)
                row += [micros(value), micros(value / entries) if entries else ""]
            else:
                row += ["", ""]
        row.append(f"{per_call[1] / per_call[0]:.1f}" if len(per_call) == 2 and per_call[0] > 0 else "")
        print("| " + " | ".join(row) + " |")
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

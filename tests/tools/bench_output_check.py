#!/usr/bin/env python3
"""Checks the files `omu bench --json FILE --svg FILE` wrote: the JSON parses and holds one
measured entry per benchmarked export, and the SVG is well-formed XML with one bar per entry.
Usage: bench_output_check.py JSON SVG [expected family...]"""
import json
import math
import sys
import xml.etree.ElementTree as ET


def fail(message):
    print("bench output check: " + message)
    sys.exit(1)


def positive(value):
    return isinstance(value, (int, float)) and math.isfinite(value) and value > 0


def main():
    json_path, svg_path, families = sys.argv[1], sys.argv[2], set(sys.argv[3:])
    with open(json_path, encoding="utf-8") as f:
        data = json.load(f)
    for key in ("library", "device", "emulated", "reference_launch_seconds", "entries", "not_implemented",
                "without_benchmark_row"):
        if key not in data:
            fail("JSON lacks " + key)
    if data["emulated"] and "mean nothing" not in data.get("note", ""):
        fail("an emulated run must say that its figures mean nothing")
    entries = data["entries"]
    if not entries:
        fail("no entries were benchmarked")
    if not positive(data["reference_launch_seconds"]):
        fail("reference launch time missing")
    seen = set()
    for e in entries:
        name = e.get("export", "?")
        seen.add(e.get("family"))
        for size in ("large", "small"):
            m = e.get(size, {})
            if m.get("ok") is not True or not positive(m.get("seconds")) or not positive(m.get("bytes")):
                fail("%s: %s size not measured: %r" % (name, size, m))
        if not positive(e["large"].get("ratio_to_copy")) or not positive(e["small"].get("launch_multiple")):
            fail("%s: ratio to copy or launch multiple missing" % name)
    if families and seen != families:
        fail("families benchmarked %s, expected %s" % (sorted(seen), sorted(families)))

    root = ET.parse(svg_path).getroot()
    if root.tag != "{http://www.w3.org/2000/svg}svg":
        fail("SVG root element is " + root.tag)
    bars = root.findall("{http://www.w3.org/2000/svg}rect")
    if len(bars) != len(entries) + 1:  # one background rectangle
        fail("SVG has %d rectangles for %d entries" % (len(bars), len(entries)))
    text = " ".join("".join(t.itertext()) for t in root.iter("{http://www.w3.org/2000/svg}text"))
    for e in entries:
        if e["export"] not in text:
            fail("SVG does not label " + e["export"])
    print("bench output check: %d entries in %d families; JSON and SVG well-formed" % (len(entries), len(seen)))


main()

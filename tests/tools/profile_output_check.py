#!/usr/bin/env python3
"""Checks the files `omu profile --json FILE --svg FILE` wrote: the JSON parses and holds one entry
per profiled row with the profile's figures (and the same per kernel), and the SVG is well-formed
XML with one label per row.
Usage: profile_output_check.py JSON SVG"""
import json
import math
import sys
import xml.etree.ElementTree as ET

FIGURES = ("sampled_blocks", "requests", "sectors_per_request", "useful_fraction", "fetched_over_minimal",
           "bank_conflict_ways", "atomics")


def fail(message):
    print("profile output check: " + message)
    sys.exit(1)


def number(value):
    return isinstance(value, (int, float)) and math.isfinite(value) and value >= 0


def check_operands(name, kernel):
    """Each global request of a kernel counts under the operand (or operands) its lanes fall in, so
    the operands' requests and fetched bytes add up to at least the kernel's (within the JSON's
    printed digits)."""
    where = "%s, %s" % (name, kernel["kernel"])
    requests = fetched = 0
    for o in kernel["operands"]:
        for key in ("operand", "arguments", "parameter", "allocation_bytes", "requests", "sectors_per_request",
                    "useful_fraction", "fetched_bytes", "unique_bytes"):
            if key not in o:
                fail("%s: an operand lacks %s" % (where, key))
        if o["requests"] > 0 and not 0 < o["useful_fraction"] <= 1:
            fail("%s, %s: useful fraction %r" % (where, o["operand"], o["useful_fraction"]))
        requests += o["requests"]
        fetched += o["fetched_bytes"]
    if requests < kernel["requests"] * (1 - 1e-5) or fetched < kernel["fetched_bytes"] * (1 - 1e-5):
        fail("%s: the operands hold %r requests and %r bytes of the kernel's %r and %r"
             % (where, requests, fetched, kernel["requests"], kernel["fetched_bytes"]))


def main():
    json_path, svg_path = sys.argv[1], sys.argv[2]
    with open(json_path, encoding="utf-8") as f:
        data = json.load(f)
    for key in ("library", "shapes", "block_budget", "model_bandwidth_bytes_per_second", "note", "entries"):
        if key not in data:
            fail("JSON lacks " + key)
    if "not measurements" not in data["note"]:
        fail("the note must say that the floors are a model")
    entries = data["entries"]
    if not entries:
        fail("no rows were profiled")
    with_kernels = 0
    for e in entries:
        name = "%s (%s)" % (e.get("export", "?"), e.get("variant", ""))
        for key in ("export", "family", "entry", "variant", "shape", "kernels") + FIGURES:
            if key not in e:
                fail("%s lacks %s" % (name, key))
        if e.get("ok") is not True:
            fail("%s was not profiled: %s" % (name, e.get("note")))
        for key in FIGURES:
            if not number(e[key]):
                fail("%s: %s is %r" % (name, key, e[key]))
        if e["requests"] > 0 and not 1 <= e["sectors_per_request"] <= 32 * 16:
            fail("%s: %r sectors per request" % (name, e["sectors_per_request"]))
        if e["requests"] > 0 and not 0 < e["useful_fraction"] <= 1:
            fail("%s: useful fraction %r" % (name, e["useful_fraction"]))
        for k in e["kernels"]:
            for key in ("kernel", "operands") + FIGURES:
                if key not in k:
                    fail("%s: a kernel lacks %s" % (name, key))
            check_operands(name, k)
        with_kernels += 1 if e["kernels"] else 0
    if with_kernels == 0:
        fail("no row recorded a kernel")

    root = ET.parse(svg_path).getroot()
    if root.tag != "{http://www.w3.org/2000/svg}svg":
        fail("SVG root element is " + root.tag)
    labels = [t for t in root.iter("{http://www.w3.org/2000/svg}text") if t.get("text-anchor") == "end"]
    if len(labels) != len(entries):
        fail("SVG has %d row labels for %d rows" % (len(labels), len(entries)))
    print("profile output check: %d rows, %d with kernels" % (len(entries), with_kernels))


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Prints the measured ratios of `omu bench --json` (on a GPU) next to the memory-access profile's
modelled ceilings for the same rows (`omu profile --json` on the emulator's profile build; the one
checked in as tools/profile_gpu.json is the profile at the benchmark's GPU shapes).

The profile's ceiling is minimal bytes over fetched sector bytes: the fraction of copy bandwidth a
row could reach if it were bound by the sectors its warps fetch (no caches; a model, not a
measurement). A measured ratio far below the ceiling points at latency, occupancy or arithmetic;
a ceiling far below 1 points at the access pattern.
Usage: bench_vs_profile.py [--check] BENCH_JSON PROFILE_JSON
--check: exit 1 when a bench row has no measured ratio or no row in the profile (a stale profile)."""
import json
import sys


def main():
    args = sys.argv[1:]
    check = "--check" in args
    args = [a for a in args if a != "--check"]
    if len(args) != 2:
        sys.exit(__doc__)
    with open(args[0], encoding="utf-8") as f:
        bench = json.load(f)
    with open(args[1], encoding="utf-8") as f:
        profile = json.load(f)
    modelled = {(e["export"], e["variant"]): e for e in profile.get("entries", []) if e.get("ok")}
    print("bench: %s on %s" % (bench.get("library", "?"), bench.get("device", "?")))
    print("profile: %s (%s shapes)" % (args[1], profile.get("shapes", "?")))
    print("%-10s %-46s %-28s %9s %9s %9s %8s" % ("export", "entry", "variant", "measured", "ceiling", "meas/ceil",
                                                  "sect/req"))
    missing = []
    for e in bench.get("entries", []):
        large = e.get("large", {})
        measured = large.get("ratio_to_copy") if large.get("ok") else None
        m = modelled.get((e["export"], e["variant"]))
        ceiling = None
        if m is not None and m.get("fetched_over_minimal"):
            ceiling = min(1.0, 1.0 / m["fetched_over_minimal"])

        def show(v, digits=2):
            return ("%.*f" % (digits, v)) if isinstance(v, (int, float)) else "-"

        both = measured / ceiling if measured is not None and ceiling else None
        if measured is None or ceiling is None:
            missing.append("%s %s" % (e["export"], e.get("variant", "")))
        print("%-10s %-46s %-28s %9s %9s %9s %8s" % (e["export"], e.get("entry", "")[:46], e.get("variant", "")[:28],
                                                      show(measured), show(ceiling), show(both),
                                                      show(m.get("sectors_per_request") if m else None)))
    if check and (missing or not bench.get("entries")):
        print("rows without a measured ratio or a profile row: %s" % (", ".join(missing) or "no rows at all"),
              file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

"""The table of a benchmark run, from the figures bench/suite.py gathers.

    python3 bench/report.py results.json    # the table of a saved run again
"""
import json
import sys

MB = 1e6


def _num(v):
    return v if isinstance(v, (int, float)) and not isinstance(v, bool) else None


def _ms(v):
    if _num(v) is None:
        return str(v) if v is not None else "-"
    return f"{v * 1e3:,.1f} ms" if v < 10 else f"{v:,.2f} s"


def _rate(nbytes, v):
    return f"{nbytes / v / MB:,.0f} MB/s" if _num(v) else "-"


def _ratio(slow, fast):
    return f"{slow / fast:,.1f}x" if _num(slow) and _num(fast) and fast > 0 else "-"


def table(r):
    out = []
    sizes, floors = r["sizes"], r["floors"]
    t = lambda key, mode="1": r.get(key, {}).get(mode)  # noqa: E731
    checks = []

    def target(what, got, want):
        ok = _num(got) is not None and got >= want
        checks.append(f"  [{'met' if ok else 'NOT met'}] {what}: {got if _num(got) is None else f'{got:,.2f}'}"
                      f" (target {want:g})")

    meta = r["meta"]
    out.append(f"CPUs {meta['cpus']}, load average at the end {meta['load'][0]:.1f}, run took {meta['seconds']:.0f} s."
               " Times are medians; '1 CPU' is pinned to one CPU, 'all' free on every CPU.")

    out.append("\n## Floors: one thread, text in memory (C++ driver)")
    out.append("| layout | size | core parse | UTF-8 check | memchr LF count | parse / LF count | open().read() |")
    out.append("|---|---|---|---|---|---|---|")
    for layout in ("long", "short"):
        f = floors[layout]
        cpu = {k: f.get(k + "_cpu_s", f[k + "_s"]) for k in ("parse", "validate", "line_feeds")}
        cells = []
        for k in ("parse", "validate", "line_feeds"):
            cells.append(f"{_ms(f[k + '_s'])} elapsed, {_ms(cpu[k])} CPU ({_rate(f['bytes'], cpu[k])})")
        out.append(f"| {layout} | {f['bytes'] / MB:.1f} MB | " + " | ".join(cells) +
                   f" | {_ratio(cpu['parse'], cpu['line_feeds'])} (CPU) | {_ms(t('read_bytes ' + layout))} |")
        target(f"core parse, {layout}, GB/s of thread CPU time", f["bytes"] / cpu["parse"] / 1e9, 1.5)
        target(f"core parse within 4x of the LF count, {layout}, CPU time (4 / ratio)",
               4 / (cpu["parse"] / cpu["line_feeds"]), 1.0)

    reads = [(what, floors[key]) for what, key in (("the large grid, long layout", "read large long"),
                                                   (f"{sizes['small files']:,} small grids", "read small"))
             if key in floors]
    if reads:
        out.append("\nThe core loading and parsing files from disk on one CPU, nothing built from the grids "
                   "(C++ driver): " + "; ".join(f"{what} {_ms(f['read_parse_cpu_s'])} CPU" for what, f in reads) + ".")

    out.append(f"\n## The large grid ({sizes['items']:,} items): reading and collecting every item")
    out.append("| reader | long 1 CPU | long all | short 1 CPU | short all | Praat / this (long, short) "
               "| this / textgrid2vectors (long, short) |")
    out.append("|---|---|---|---|---|---|---|")
    readers = ["textgrid2vectors", "textgrid2data", "textgrids2vectors", "textgrids2data", "textgrids2arrow"]
    for name in readers + ["praat", "praatio", "praatio long, positional times", "tgt", "textgrid", "parselmouth"]:
        key = name if name.startswith("praatio long") else f"{name} long"
        if key not in r:
            continue
        cells = []
        pairs = (("long", key), ("short", f"{name} short"))
        for _, k in pairs:
            cells += [_ms(t(k)), _ms(t(k, "all"))]
        cells.append(", ".join(_ratio(t(f"praat {layout}"), t(k)) for layout, k in pairs))
        cells.append(", ".join(_ratio(t(k), t(f"textgrid2vectors {layout}")) for layout, k in pairs))
        out.append(f"| {name if name in readers else name + ' (peer)'} | " + " | ".join(cells) + " |")
    for layout in ("long", "short"):
        v = t(f"textgrid2vectors {layout}")
        target(f"textgrid2vectors vs Praat, {layout}, 1 CPU", _num(t(f"praat {layout}")) and t(f"praat {layout}") / v,
               5 if layout == "long" else 4)
        target(f"textgrid2data vs Praat, {layout}, 1 CPU",
               _num(t(f"praat {layout}")) and t(f"praat {layout}") / t(f"textgrid2data {layout}"), 3)
        if f"textgrids2arrow {layout}" in r:
            target(f"pyarrow.table(textgrids2arrow([f])) vs Praat, {layout}, 1 CPU",
                   _num(t(f"praat {layout}")) and _num(t(f"textgrids2arrow {layout}"))
                   and t(f"praat {layout}") / t(f"textgrids2arrow {layout}"), 8)
        for peer, want in (("praatio", 50), ("tgt", 30), ("textgrid", 30), ("parselmouth", 10)):
            p = t(f"{peer} {layout}")
            target(f"textgrid2vectors vs {peer}, {layout}, 1 CPU", _num(p) and p / v, want)
            if peer == "praatio" and layout == "long":
                p = t("praatio long, positional times")
                target("textgrid2vectors vs praatio, long with positional times, 1 CPU", _num(p) and p / v, want)

    out.append("\n## Writing")
    out.append("| call | 1 CPU | all | rate (1 CPU) | rate (all) |")
    out.append("|---|---|---|---|---|")
    for name in ("data2textgrid long", "vectors2textgrid long"):
        a, b = t(name), t(name, "all")
        out.append(f"| {name} ({sizes['written long'] / MB:.1f} MB) | {_ms(a)} | {_ms(b)} "
                   f"| {_rate(sizes['written long'], a)} | {_rate(sizes['written long'], b)} |")
    for name in ("data2textgrid many tiers", "textgrid2data many tiers"):
        out.append(f"| {name} ({sizes['many tiers bytes'] / MB:.1f} MB) | {_ms(t(name))} | {_ms(t(name, 'all'))} | | |")
    for mode in ("1", "all"):
        w = t("data2textgrid long", mode)
        target(f"data2textgrid long, {mode} CPU, MB/s", _num(w) and sizes["written long"] / w / MB, 600)
    for mode in ("1", "all"):
        w, rd = t("data2textgrid many tiers", mode), t("textgrid2data many tiers", mode)
        target(f"100,000 one-item tiers, {mode} CPU: 2 x read time / write time", _num(w) and _num(rd) and 2 * rd / w, 1)

    out.append(f"\n## Batches: {sizes['small files']:,} small grids ({sizes['small bytes'] / MB:.1f} MB), "
               f"{sizes['stream files']:,} streaming grids ({sizes['stream bytes'] / MB:.1f} MB)")
    out.append("| reader | small 1 CPU | small all | Praat / this (1 CPU) | stream 1 CPU | stream all |")
    out.append("|---|---|---|---|---|---|")
    for name in ["textgrids2data", "textgrids2vectors", "textgrids2arrow", "read_bytes", "praat"] + \
            ["praatio", "tgt", "textgrid", "parselmouth"]:
        if f"{name} small" not in r and f"{name} stream" not in r:
            continue
        out.append(f"| {name} | {_ms(t(name + ' small'))} | {_ms(t(name + ' small', 'all'))} "
                   f"| {_ratio(t('praat small'), t(name + ' small'))} | {_ms(t(name + ' stream'))} "
                   f"| {_ms(t(name + ' stream', 'all'))} |")

    # A reader that builds its result for free is as fast as the core's own
    # reading: that bounds how far the stream can lead the vector functions.
    arrow_pairs = (("large grid, long", "textgrid2vectors long", "textgrids2arrow long", "read large long"),
                   (f"{sizes['small files']:,} small grids", "textgrids2vectors small", "textgrids2arrow small",
                    "read small"))
    for what, vec, arrow, floor in arrow_pairs:
        if arrow not in r:
            continue
        for mode in ("1", "all"):
            target(f"pyarrow.table(textgrids2arrow) vs {vec.split()[0]}, {what}, {mode} CPU",
                   _num(t(vec, mode)) and _num(t(arrow, mode)) and t(vec, mode) / t(arrow, mode), 1.5)
        if floor in floors:
            bound = floors[floor]["read_parse_cpu_s"]
            out.append(f"{what}: {vec.split()[0]} takes {_ratio(t(vec), bound)} the core's reading alone on 1 CPU, "
                       f"textgrids2arrow {_ratio(t(arrow), bound)}; building the result for nothing would make "
                       f"the stream {_ratio(t(vec), bound)} faster than {vec.split()[0]}.")

    c = r.get("corpus") or {}
    if c:
        fn = "textgrids2arrow" if r["meta"]["textgrids2arrow"] else "textgrids2data"
        out.append(f"\n## The real-world folder: {c['files']} files; orvex reads {c['orvex reads']}, Praat "
                   f"{c['praat reads']}; timed on the {c['timed']} both read ({c['bytes'] / MB:.1f} MB)")
        out.append("| reader | files | 1 CPU | all | peer / orvex (1 CPU, same files) |")
        out.append("|---|---|---|---|---|")
        out.append(f"| {fn} | {c['timed']} | {_ms(t(fn + ' corpus'))} | {_ms(t(fn + ' corpus', 'all'))} | |")
        out.append(f"| praat | {c['timed']} | {_ms(t('praat corpus'))} | | "
                   f"{_ratio(t('praat corpus'), t(fn + ' corpus'))} |")
        for peer in ("praatio", "tgt", "textgrid", "parselmouth"):
            n = c.get(f"{peer} reads")
            fails = f"{n} (fails on {c['timed'] - n})" if isinstance(n, int) else str(n)
            out.append(f"| {peer} | {fails} | {_ms(t(peer + ' corpus'))} | | "
                       f"{_ratio(t(peer + ' corpus'), t(fn + ' corpus for ' + peer))} |")
        target(f"{fn} on the real-world folder vs Praat, 1 CPU",
               _num(t("praat corpus")) and t("praat corpus") / t(fn + " corpus"), 5)

    out.append("\n## Peak RSS of one call in a fresh process, against the file size (1 CPU, long layout)")
    out.append("| reader | peak growth | x file size | result holds |")
    out.append("|---|---|---|---|")
    for name in ["read_bytes"] + readers:
        e = r.get(f"{name} long")
        if not e or "peak_kb" not in e:
            continue
        grown = e["peak_kb"] * 1024
        out.append(f"| {name} | {grown / 2**20:.1f} MiB | {grown / sizes['long']:.2f} | {e['held_kb'] / 1024:.1f} MiB |")

    out.append("\n## Targets")
    out.extend(checks)
    return "\n".join(out)


if __name__ == "__main__":
    with open(sys.argv[1]) as f:
        print(table(json.load(f)))

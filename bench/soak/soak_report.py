#!/usr/bin/env python3
"""The soak's verdict and its picture, from the soak host's CSV.

Usage: soak_report.py CSV SVG

For each resource it fits a least-squares line against the ticks done, over the last three
quarters of the run (the first quarter is warm-up), through the low point of each start/stop
cycle (the row written right after each stop, when the module holds nothing of a run). It prints
the slope per 100,000 ticks and extrapolated to a month at the default interval (518,400 ticks),
with the fit's r², and fails (exit 1) on growth: more than 0 handles, threads, USER or GDI objects,
or more than 1 MiB of private bytes, in a month, on a fit with r² of at least 0.5 (a line that
explains at least half of the spread; below that the points wander, they do not climb). A run whose
work counters did not move fails too. It writes an SVG with one panel per resource.
"""
import sys

MONTH_TICKS = 30 * 24 * 3600 * 1000 // 5000  # 518,400 ticks at the default 5000 ms
NOISE_R2 = 0.5
RESOURCES = [  # column, title, unit, allowed growth per month
    ("private_bytes", "private bytes", "MiB", 1024 * 1024),
    ("handles", "handles", "", 0),
    ("threads", "threads", "", 0),
    ("user_objects", "USER objects", "", 0),
    ("gdi_objects", "GDI objects", "", 0),
]


def read(path):
    rows, notes = [], {}
    with open(path) as f:
        header = None
        for line in f:
            line = line.strip()
            if line.startswith("#"):
                for pair in line[1:].split():
                    if "=" in pair:
                        key, value = pair.split("=", 1)
                        notes[key] = value
                continue
            if not line:
                continue
            fields = line.split(",")
            if header is None:
                header = fields
                continue
            row = dict(zip(header, fields))
            for key in row:
                if key != "kind":
                    row[key] = float(row[key])
            rows.append(row)
    return rows, notes


def fit(points):
    """Least squares y = a + b x; (a, b, r2). r2 is 0 for points that do not vary."""
    n = len(points)
    if n < 2:
        return (points[0][1] if points else 0.0), 0.0, 0.0
    mx = sum(x for x, _ in points) / n
    my = sum(y for _, y in points) / n
    sxx = sum((x - mx) ** 2 for x, _ in points)
    sxy = sum((x - mx) * (y - my) for x, y in points)
    syy = sum((y - my) ** 2 for _, y in points)
    if sxx == 0:
        return my, 0.0, 0.0
    b = sxy / sxx
    a = my - b * mx
    r2 = (sxy * sxy) / (sxx * syy) if syy > 0 else 0.0
    return a, b, r2


def verdicts(rows):
    end = rows[-1]["seconds"]
    settled = [r for r in rows if r["seconds"] >= end / 4]
    lows = [r for r in settled if r["kind"] == "stopped"]
    basis = lows if len(lows) >= 4 else [r for r in settled if r["kind"] == "sample"]
    results = []
    for column, title, unit, allowed in RESOURCES:
        a, b, r2 = fit([(r["ticks"], r[column]) for r in basis])
        month = b * MONTH_TICKS
        grows = r2 >= NOISE_R2 and month > allowed and (allowed > 0 or month >= 1)
        results.append({"column": column, "title": title, "unit": unit, "a": a, "b": b, "r2": r2,
                        "per100k": b * 100000, "month": month, "grows": grows})
    return results, basis


def show(value, unit):
    if unit == "MiB":
        return f"{value / 1048576:+.3f} MiB"
    return f"{value:+.2f}"


def svg(path, rows, results, basis, verdict, notes):
    width, panel_h, left, right, top = 960, 150, 80, 80, 92
    height = top + len(results) * (panel_h + 40) + 20
    end = max(r["seconds"] for r in rows) or 1
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{left}" y="28" font-size="18" font-weight="bold" '
           f'fill="{"#b00020" if verdict.startswith("FAIL") else "#006400"}">{verdict}</text>',
           f'<text x="{left}" y="46" fill="#444">interval {notes.get("interval_ms", "?")} ms'
           f'{", seeded leak: " + notes["leak"] if notes.get("leak", "none") != "none" else ""} — '
           f'{int(rows[-1]["ticks"]):,} ticks, {int(rows[-1]["events"]):,} events, '
           f'{int(rows[-1]["requests"]):,} requests, {int(rows[-1]["cycles"])} cycles, '
           f'{int(rows[-1]["reloads"])} reloads</text>',
           f'<text x="{left}" y="62" fill="#999">dots: each stop (fitted); dashed: the fit; light line: once a second, '
           f'the module running; grey: ticks done (right axis)</text>']
    plot_w = width - left - right
    # A long run's once-a-second line, thinned to what the picture can show.
    every = max(1, len(rows) // 900)
    samples = [r for n, r in enumerate(r for r in rows if r["kind"] == "sample") if n % every == 0]
    stops = [r for n, r in enumerate(r for r in rows if r["kind"] == "stopped") if n % max(1, every // 2) == 0]
    ticks_max = max(r["ticks"] for r in rows) or 1
    for i, res in enumerate(results):
        y0 = top + i * (panel_h + 40)
        column, unit = res["column"], res["unit"]
        scale = 1048576.0 if unit == "MiB" else 1.0
        # The panel spans both the points fitted and the once-a-second line, so the sawtooth the fit
        # runs through is seen whole, and a climb among the low points still shows.
        values = [r[column] / scale for r in (basis or rows)] + [r[column] / scale for r in samples]
        lo, hi = min(values), max(values)
        never_negative = lo >= 0
        least = 1.0 if unit == "MiB" else 4.0
        if hi - lo < least:
            lo, hi = (lo + hi) / 2 - least / 2, (lo + hi) / 2 + least / 2
        pad = (hi - lo) * 0.1
        if never_negative and lo - pad < 0:  # counts and sizes are never below 0
            lo, hi = pad, hi + (pad - lo)
        lo, hi = lo - pad, hi + pad

        def px(seconds):
            return left + plot_w * seconds / end

        def py(value):
            return y0 + panel_h - panel_h * (value - lo) / (hi - lo)

        def pt(ticks_done):
            return y0 + panel_h - panel_h * ticks_done / ticks_max

        colour = "#b00020" if res["grows"] else "#1f5fa8"
        out.append(f'<clipPath id="panel{i}"><rect x="{left}" y="{y0}" width="{plot_w}" height="{panel_h}"/></clipPath>')
        out.append(f'<rect x="{left}" y="{y0}" width="{plot_w}" height="{panel_h}" fill="#fafafa" stroke="#ccc"/>')
        figures = "" if res["uncounted"] else (
            f': {show(res["per100k"], unit)} per 100,000 ticks, {show(res["month"], unit)} in a month, '
            f'r² {res["r2"]:.2f}{" — GROWS" if res["grows"] else ""}')
        out.append(f'<text x="{left}" y="{y0 - 6}" font-weight="bold">{res["title"]}{" (" + unit + ")" if unit else ""}'
                   f'{res["how"]}{figures}</text>')
        if res["uncounted"]:
            out.append(f'<text x="{left + plot_w / 2}" y="{y0 + panel_h / 2}" text-anchor="middle" fill="#777">'
                       f'not counted on this platform: nothing measured, nothing fitted</text>')
            continue
        for value in (lo + pad, hi - pad):
            out.append(f'<text x="{left - 6}" y="{py(value) + 4:.1f}" text-anchor="end" fill="#555">{value:.{2 if unit else 0}f}</text>')
        out.append(f'<text x="{left + plot_w + 6}" y="{y0 + 10}" fill="#999">{int(ticks_max):,}</text>')
        out.append(f'<text x="{left + plot_w + 6}" y="{y0 + panel_h}" fill="#999">0</text>')
        work = " ".join(f"{px(r['seconds']):.1f},{pt(r['ticks']):.1f}" for r in samples)
        out.append(f'<polyline points="{work}" fill="none" stroke="#bbb" stroke-width="1"/>')
        line = " ".join(f"{px(r['seconds']):.1f},{py(r[column] / scale):.1f}" for r in samples)
        out.append(f'<polyline points="{line}" fill="none" stroke="{colour}" stroke-opacity="0.35" stroke-width="1" '
                   f'clip-path="url(#panel{i})"/>')
        for r in stops:
                out.append(f'<circle cx="{px(r["seconds"]):.1f}" cy="{py(r[column] / scale):.1f}" r="2.5" fill="{colour}" '
                           f'clip-path="url(#panel{i})"/>')
        if basis:
            first, last = basis[0], basis[-1]
            out.append(f'<line x1="{px(first["seconds"]):.1f}" y1="{py((res["a"] + res["b"] * first["ticks"]) / scale):.1f}" '
                       f'x2="{px(last["seconds"]):.1f}" y2="{py((res["a"] + res["b"] * last["ticks"]) / scale):.1f}" '
                       f'stroke="#e08000" stroke-width="2" stroke-dasharray="6,3"/>')
        for s in range(0, int(end) + 1, max(1, int(end) // 8)):
            out.append(f'<text x="{px(s):.1f}" y="{y0 + panel_h + 14}" text-anchor="middle" fill="#777">{s} s</text>')
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    rows, notes = read(sys.argv[1])
    if not rows:
        sys.exit(f"soak: {sys.argv[1]} holds no samples")
    last = rows[-1]
    results, basis = verdicts(rows)
    # What stands in where the platform counts no GUI objects.
    for res in results:
        counted_by = notes.get("user_by" if res["column"] == "user_objects" else "gdi_by")
        res["uncounted"] = res["column"] == "gdi_objects" and counted_by == "none"
        res["how"] = {("user_objects", "windows"): ", as the process's windows",
                      ("gdi_objects", "none"): ", which this platform does not count"}.get((res["column"], counted_by), "")
    print(f"soak: {last['seconds']:.0f} s, {int(last['ticks']):,} ticks, {int(last['events']):,} events drained, "
          f"{int(last['requests']):,} requests, {int(last['cycles'])} start/stop cycles, {int(last['reloads'])} reloads")
    if "private_bytes" in notes:
        print(f"footprint of the loaded, started module: {int(notes['private_bytes']) / 1024:.0f} KiB private bytes, "
              f"{notes['handles']} handles, {notes['threads']} threads; CPU time per tick "
              f"{notes.get('cpu_per_tick_us', '?')} us (over {notes.get('quiet_ticks', '?')} ticks with no requests)")
    print(f"fitted through {len(basis)} low points after stops, over the last three quarters "
          f"(a month at the default interval = {MONTH_TICKS:,} ticks; growth counts at r² >= {NOISE_R2}):")
    failures = []
    for res in results:
        if res["uncounted"]:
            print(f"  {res['title']:<14} not counted on this platform")
            continue
        print(f"  {res['title']:<14} {show(res['per100k'], res['unit']):>14} per 100,000 ticks  "
              f"{show(res['month'], res['unit']):>14} in a month  r² {res['r2']:.2f}"
              f"{'  GROWS' if res['grows'] else ''}{res['how']}")
        if res["grows"]:
            failures.append(f"{res['title']} grow")
    if last["ticks"] == 0 or last["events"] == 0 or last["requests"] == 0 or last["cycles"] == 0:
        failures.append("no work done (ticks, events, requests or cycles did not move)")
    verdict = ("FAILED: " + ", ".join(failures)) if failures else "PASSED: nothing grows"
    svg(sys.argv[2], rows, results, basis, verdict, notes)
    print(f"soak: {verdict}; picture {sys.argv[2]}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

"""Figures from the workers' records: statistics, zel/peer ratios, Markdown.

All timings are per token in microseconds. "mask+advance" is each token's
mask plus advance (the fastest such sum over the repeated walks), so its
percentiles are those of the per-token sums, not sums of percentiles. Ratios
divide zel's figure by a peer's from the same run: below 1 zel is faster.
"""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np

STATISTICS = ("p50", "mean", "p90", "p99", "max")
METRICS = ("mask", "advance", "mask+advance")


def read_records(path: Path) -> dict:
    """The header, task records and footer of one worker's output."""
    result: dict = {"tasks": []}
    if not path.is_file():
        return result
    for line in path.read_text().splitlines():
        if not line.strip():
            continue
        record = json.loads(line)
        if record["kind"] == "task":
            result["tasks"].append(record)
        else:
            result[record["kind"]] = record
    return result


def statistics(samples_ns: np.ndarray) -> dict:
    if samples_ns.size == 0:
        return {name: None for name in STATISTICS}
    us = samples_ns / 1e3
    return {"p50": float(np.percentile(us, 50)), "mean": float(us.mean()),
            "p90": float(np.percentile(us, 90)), "p99": float(np.percentile(us, 99)),
            "max": float(us.max())}


def percentiles_ms(values_ns: list[int]) -> dict:
    if not values_ns:
        return {"p50": None, "p90": None, "max": None}
    ms = np.asarray(values_ns, dtype=np.float64) / 1e6
    return {"p50": float(np.percentile(ms, 50)), "p90": float(np.percentile(ms, 90)),
            "max": float(ms.max())}


def summarise(records: dict, token_text) -> dict:
    """One engine's figures; token_text(id) names a refused token in the notes."""
    header = records.get("header", {})
    tasks = records["tasks"]
    masks = np.asarray([v for t in tasks for v in t["mask_ns"]], dtype=np.float64)
    advances = np.asarray([v for t in tasks for v in t["advance_ns"]], dtype=np.float64)
    both = np.asarray([v for t in tasks for v in t["both_ns"]], dtype=np.float64)
    compiled = [t for t in tasks if t.get("compiled")]
    valid = [(t, d) for t in compiled for d in t["documents"] if d["valid"]]
    invalid = [(t, d) for t in compiled for d in t["documents"] if not d["valid"]]
    accepted = [d for _, d in valid if d["refused_at"] is None and d["end_ok"]]
    failures = []
    for task, document in valid:
        if document["refused_at"] is None and document["end_ok"]:
            continue
        at = document["refused_at"]
        failures.append({"task": task["task"], "document": document["name"], "at": at,
                         "token": None if at is None or at < 0 else token_text(document, at),
                         "reason": document["error"] or ("end refused" if at is None
                                                          else "mask refused the token")})
    startup_ns = None
    if compiled and compiled[0]["documents"]:
        first = compiled[0]["documents"][0]
        startup_ns = (header.get("construct_ns", 0) + compiled[0]["compile_ns"]
                      + first["start_ns"] + (first["first_mask_ns"] or 0))
    return {
        "engine": header.get("engine"), "version": header.get("version"),
        "mask_kind": header.get("mask_kind"), "whitespace": header.get("whitespace"),
        "python": header.get("python"), "repeats": header.get("repeats", 1),
        "finished": "footer" in records,
        "tasks": len(tasks), "compiled": len(compiled),
        "compile_ms": percentiles_ms([t["compile_ns"] for t in compiled]),
        "compile_failures": [{"task": t["task"], "error": t.get("error")}
                             for t in tasks if not t.get("compiled")],
        "valid_documents": len(valid), "valid_accepted": len(accepted),
        "invalid_documents": len(invalid),
        "invalid_refused": sum(1 for _, d in invalid
                               if d["refused_at"] is not None or not d["end_ok"]),
        "refused_tokens": sum(1 for f in failures if f["at"] is not None),
        "tokens_measured": int(masks.size),
        "tokens_total": sum(d["tokens"] for _, d in valid),
        "failures": failures,
        "startup_ms": None if startup_ns is None else startup_ns / 1e6,
        "construct_ms": header.get("construct_ns", 0) / 1e6,
        "peak_rss_mb": max([r.get("peak_rss_kb", 0) for r in [*tasks, records.get("footer", {})]],
                           default=0) / 1024 or None,
        "us_per_token": {"mask": statistics(masks), "advance": statistics(advances),
                         "mask+advance": statistics(both)},
    }


def ratios(zel: dict, peer: dict) -> dict:
    out = {}
    for metric in METRICS:
        ours, theirs = zel["us_per_token"][metric], peer["us_per_token"][metric]
        out[metric] = {s: (ours[s] / theirs[s] if ours[s] is not None and theirs[s]
                           else None) for s in STATISTICS}
    return out


def _us(value) -> str:
    if value is None:
        return "–"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.1f}" if value >= 10 else f"{value:.2f}"


def _ratio(value) -> str:
    if value is None:
        return "–"
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.2f}" if value >= 0.1 else f"{value:.2g}"


def label(summary: dict) -> str:
    return f"{summary['engine']} {summary['version']} ({summary['mask_kind']})"


def markdown(summaries: list[dict], zel: dict | None, mode: str) -> str:
    lines = ["µs per token, one thread; mask+advance is the per-token sum; each token's "
             "fastest of repeated walks (how many: see the notes below).", "",
             "| engine | mask p50 | mask p99 | advance p50 | mask+advance p50 | mean | p90 "
             "| p99 | max | start-up ms | peak RSS MB | documents accepted |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for s in summaries:
        u = s["us_per_token"]
        both = u["mask+advance"]
        lines.append(
            f"| {label(s)} | {_us(u['mask']['p50'])} | {_us(u['mask']['p99'])} "
            f"| {_us(u['advance']['p50'])} | {_us(both['p50'])} | {_us(both['mean'])} "
            f"| {_us(both['p90'])} | {_us(both['p99'])} | {_us(both['max'])} "
            f"| {_ms(s['startup_ms'])} | {_ms(s['peak_rss_mb'])} "
            f"| {s['valid_accepted']}/{s['valid_documents']} |")
    lines += ["", "Every statistic, µs per token:", "",
              "| engine | operation | p50 | mean | p90 | p99 | max | tokens |",
              "|---|---|---:|---:|---:|---:|---:|---:|"]
    for s in summaries:
        for metric in METRICS:
            st = s["us_per_token"][metric]
            lines.append(f"| {s['engine']} | {metric} | "
                         + " | ".join(_us(st[k]) for k in STATISTICS)
                         + f" | {s['tokens_measured']:,} |")
    if zel is not None and zel["tokens_measured"] and len(summaries) > 1:
        lines += ["", "zel / peer, same run (below 1: zel faster):", "",
                  "| peer | operation | p50 | mean | p90 | p99 | max |",
                  "|---|---|---:|---:|---:|---:|---:|"]
        for s in summaries:
            if s is zel:
                continue
            r = ratios(zel, s)
            for metric in METRICS:
                lines.append(f"| {s['engine']} | {metric} | "
                             + " | ".join(_ratio(r[metric][k]) for k in STATISTICS) + " |")
    if mode == "schema":
        lines += ["", "| engine | schemas compiled | compile ms p50 | p90 | max "
                  "| valid accepted | invalid refused |",
                  "|---|---:|---:|---:|---:|---:|---:|"]
        for s in summaries:
            c = s["compile_ms"]
            lines.append(f"| {s['engine']} | {s['compiled']}/{s['tasks']} | {_ms(c['p50'])} "
                         f"| {_ms(c['p90'])} | {_ms(c['max'])} "
                         f"| {s['valid_accepted']}/{s['valid_documents']} "
                         f"| {s['invalid_refused']}/{s['invalid_documents']} |")
    lines += ["", "White space each engine allows between JSON tokens, and refusals:", ""]
    for s in summaries:
        note = f"- {s['engine']}: {s['whitespace']}; " \
               f"{s['tokens_measured']:,} of {s['tokens_total']:,} tokens measured, " \
               f"fastest of {s['repeats']} walk(s) per token"
        if not s["finished"]:
            note += f"; STOPPED before the end (time limit or crash) after {s['tasks']} task(s)"
        lines.append(note)
        if s["compile_failures"]:
            reasons = sorted({f["error"] for f in s["compile_failures"]})
            lines.append(f"  - {len(s['compile_failures'])} grammar(s) not compiled; "
                         f"{len(reasons)} distinct reason(s), e.g. {reasons[0]!r}")
        for failure in s["failures"][:8]:
            where = "at the end" if failure["at"] is None else f"token {failure['at']} " \
                                                               f"{failure['token']!r}"
            lines.append(f"  - {failure['document']}: {where}: {failure['reason']}")
        if len(s["failures"]) > 8:
            lines.append(f"  - … and {len(s['failures']) - 8} more")
    return "\n".join(lines)


def _ms(value) -> str:
    if value is None:
        return "–"
    return f"{value:,.0f}" if value >= 100 else f"{value:.1f}"

"""Measures one engine over a job file, in a process of its own.

    python worker.py ENGINE JOB OUT

ENGINE is "zel" or a peer's name (engines.PEERS). JOB is the JSON file the
driver writes (token table, tasks, documents as token ids). OUT receives JSON
lines: a header, one line per task as soon as it is done (so a run cut short
by the driver's time limit keeps what it measured) and a footer; task lines
and the footer carry the peak resident set size so far.

Per document, MaskBench's method: for each token compute the mask (timed),
check the token is allowed (untimed), advance by it (timed); after the last
token compute the mask once more and check the end of text is allowed. A
document stops at its first refused token. Timings are kept for valid
documents only; invalid ones (schema mode) only count as refused or not.

With REPEATS above 1 each valid document is walked that many times from a
fresh start, and each token keeps its fastest mask, advance and
mask+advance: on a machine shared with other work, interruptions by other
processes then drop out, while a cost the engine pays on every walk stays.

    python worker.py ENGINE JOB OUT [REPEATS]
"""

from __future__ import annotations

import gc
import json
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from engines import PEERS, TokenTable, Unsupported, Zel  # noqa: E402

clock = time.perf_counter_ns


def settle() -> None:
    """Moves the objects alive now out of the collector's sight.

    The token table, the engine and the compiled grammar live for the whole
    run; left tracked, each full collection would walk them (some 100k
    objects, milliseconds) at points that recur on every walk of a document,
    charging the harness's own data to whichever token is being timed.
    """
    gc.collect()
    gc.freeze()


def peak_rss_kb() -> int:
    """Peak resident set size of this process so far (kB on Linux)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def build(name: str, job: dict, table: TokenTable):
    if name == "zel":
        return Zel(table, job["vocabulary"]["path"])
    return PEERS[name](table)


def walk(engine, compiled, tokens: list[int]) -> tuple[dict, list[int], list[int]]:
    """Walks one document: its outcome, and the mask and advance ns per token."""
    started = clock()
    engine.start(compiled)
    setup = clock() - started
    masks: list[int] = []
    advances: list[int] = []
    refused_at = None
    error = None
    first_mask = None
    try:
        for position, token in enumerate(tokens):
            engine.prepare()
            t0 = clock()
            engine.mask()
            t1 = clock()
            if first_mask is None:
                first_mask = t1 - t0
            if not engine.allows(token):
                refused_at = position
                break
            t2 = clock()
            advanced = engine.advance(token)
            t3 = clock()
            if not advanced:
                refused_at = position
                error = "advance refused a token its mask allowed"
                break
            masks.append(t1 - t0)
            advances.append(t3 - t2)
        end_ok = False
        if refused_at is None:
            engine.prepare()
            engine.mask()
            end_ok = engine.allows_end()
    except Exception as failure:  # noqa: BLE001 - an engine's crash is a result too
        refused_at = refused_at if refused_at is not None else -1
        end_ok = False
        error = f"{type(failure).__name__}: {failure}"[:300]
    outcome = {"tokens": len(tokens), "refused_at": refused_at, "end_ok": end_ok,
               "start_ns": setup, "first_mask_ns": first_mask, "error": error}
    return outcome, masks, advances


def run_document(engine, compiled, tokens: list[int], repeats: int, sink: dict) -> dict:
    """Walks a valid document `repeats` times and adds its fastest timings to sink."""
    outcome, masks, advances = walk(engine, compiled, tokens)
    both = [m + a for m, a in zip(masks, advances)]
    for _ in range(repeats - 1):
        again, more_masks, more_advances = walk(engine, compiled, tokens)
        if again["refused_at"] != outcome["refused_at"]:
            raise RuntimeError(f"walking the same document again ended differently: "
                               f"{outcome} then {again}")
        masks = list(map(min, masks, more_masks))
        advances = list(map(min, advances, more_advances))
        both = [min(b, m + a) for b, m, a in zip(both, more_masks, more_advances)]
    sink["mask_ns"] += masks
    sink["advance_ns"] += advances
    sink["both_ns"] += both
    return outcome


def main() -> None:
    name, job_path, out_path = sys.argv[1:4]
    repeats = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    with open(job_path) as file:
        job = json.load(file)
    vocabulary = job["vocabulary"]
    table = TokenTable(vocabulary["path"], vocabulary["pattern"])
    with open(out_path, "w") as out:
        def emit(record: dict) -> None:
            out.write(json.dumps(record) + "\n")
            out.flush()

        started = clock()
        engine = build(name, job, table)
        construct = clock() - started
        settle()
        emit({"kind": "header", "engine": name, "version": engine.version, "repeats": repeats,
              "mask_kind": engine.mask_kind, "whitespace": engine.whitespace,
              "construct_ns": construct, "python": sys.version.split()[0]})
        for task in job["tasks"]:
            record = {"kind": "task", "task": task["name"], "documents": [],
                      "mask_ns": [], "advance_ns": [], "both_ns": []}
            started = clock()
            try:
                compiled = engine.compile(task["grammar"])
            except Unsupported as error:
                record.update(compiled=False, error=str(error), compile_ns=clock() - started,
                              peak_rss_kb=peak_rss_kb())
                emit(record)
                continue
            record.update(compiled=True, compile_ns=clock() - started)
            settle()
            for document in task["documents"]:
                if document.get("valid", True):
                    result = run_document(engine, compiled, document["tokens"], repeats, record)
                else:
                    result = walk(engine, compiled, document["tokens"])[0]
                result.update(name=document["name"], valid=document.get("valid", True))
                record["documents"].append(result)
            record["peak_rss_kb"] = peak_rss_kb()
            emit(record)
        emit({"kind": "footer", "peak_rss_kb": peak_rss_kb()})


if __name__ == "__main__":
    main()

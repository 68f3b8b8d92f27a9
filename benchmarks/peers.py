"""zel against the other constrained-decoding engines, on the same tokens.

Engines: zel (this build) and, from the separate venv that `make bench-peers`
fills (.peers-venv, never a dependency of the package), llguidance,
xgrammar (where it installs: it imports torch), outlines-core and
lm-format-enforcer. Every engine sees the same token bytes per id:
cl100k_base from `make vocabulary`, plus one end-of-text id after it.

Modes:
  object  "any JSON object" (zel: zel.json_grammar.json_object_grammar();
          the peers: the JSON Schema {"type": "object"}) over the ~40
          documents of benchmarks/peer_bench/documents.txt
  schema  the JSONSchemaBench sample in ../shared/data/jsonschemabench (read
          in place): each schema with its valid instances (timed) and invalid
          ones (refusal counted); zel takes part once zel.json_schema exists

Each engine runs in its own process pinned to one CPU (`taskset -c`), with
RAYON_NUM_THREADS, OMP_NUM_THREADS and the like set to 1. Per token the
worker computes the mask, then advances by the document's token (MaskBench's
method); see peer_bench/worker.py. The Markdown tables go to stdout and every
figure to .bench-results/peers-MODE.json.

zel's row uses Engine.fill_next_token_bitmask when the build has it (an exact
int32 bitmask) and the inexact mask_invalid_tokens on a float32 row
otherwise; the row's label says which. It advances with
consume(id, token_healing=False).

Run (from the repository, after `make build vocabulary`):
    .venv/bin/python benchmarks/peers.py [--mode object|schema] [--engines zel,llguidance]
                                         [--limit N] [--time-limit SECONDS]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPOSITORY = HERE.parent
sys.path.insert(0, str(HERE / "peer_bench"))

from report import markdown, read_records, ratios, summarise  # noqa: E402
from tasks import object_tasks, schema_tasks, shared_folder, vocabulary_entry  # noqa: E402

from zel.vocabularies import default_vocabulary_path, load_vocabulary  # noqa: E402

ENGINES = ("zel", "llguidance", "xgrammar", "outlines-core", "lm-format-enforcer")
MODULES = {"llguidance": "llguidance", "xgrammar": "xgrammar",
           "outlines-core": "outlines_core", "lm-format-enforcer": "lmformatenforcer"}
# lm-format-enforcer takes milliseconds per token, far above the noise that
# repeated walks remove, and minutes per walk: it walks each document once.
SLOW_REPEATS = 1
ONE_THREAD = ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS",
              "OPENBLAS_NUM_THREADS", "NUMEXPR_NUM_THREADS", "TORCH_NUM_THREADS")


def installed_peers(python: Path) -> set[str]:
    if not python.exists():
        return set()
    probe = ("import importlib.util, sys; "
             "print(' '.join(m for m in sys.argv[1:] if importlib.util.find_spec(m)))")
    found = subprocess.run([str(python), "-c", probe, *MODULES.values()],
                           capture_output=True, text=True, check=False).stdout.split()
    return {name for name, module in MODULES.items() if module in found}


def run_engine(name: str, python: Path, job: Path, out: Path, cpu: str,
               time_limit: float, repeats: int) -> str:
    """Runs one worker; returns "" or a note on how it ended."""
    command = [str(python), str(HERE / "peer_bench" / "worker.py"), name, str(job), str(out),
               str(repeats)]
    if cpu and shutil.which("taskset"):
        command = ["taskset", "-c", cpu, *command]
    environment = dict(os.environ, TOKENIZERS_PARALLELISM="false", PYTHONHASHSEED="0")
    environment.update({variable: "1" for variable in ONE_THREAD})
    started = time.monotonic()
    try:
        done = subprocess.run(command, env=environment, cwd=REPOSITORY, timeout=time_limit,
                              capture_output=True, text=True, check=False)
    except subprocess.TimeoutExpired:
        return f"stopped after {time_limit:.0f} s"
    print(f"  {name}: {time.monotonic() - started:.1f} s", file=sys.stderr)
    if done.returncode != 0:
        tail = (done.stderr or done.stdout).strip().splitlines()[-3:]
        return f"exit {done.returncode}: " + " / ".join(tail)
    return ""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mode", choices=("object", "schema"), default="object")
    parser.add_argument("--engines", default=",".join(ENGINES),
                        help="comma-separated subset of " + ", ".join(ENGINES))
    parser.add_argument("--peers-python", type=Path,
                        default=REPOSITORY / ".peers-venv" / "bin" / "python")
    parser.add_argument("--cpu", default="1", help="CPU list for taskset ('' to not pin)")
    parser.add_argument("--time-limit", type=float, default=1800,
                        help="seconds per engine before its worker is stopped")
    parser.add_argument("--repeats", type=int, default=3,
                        help="walks of each document; each token keeps its fastest "
                             f"(lm-format-enforcer: {SLOW_REPEATS})")
    parser.add_argument("--limit", type=int,
                        help="only the first N documents (object mode) or schema files")
    parser.add_argument("--schemas", type=Path, help="schema mode: the schema folder")
    parser.add_argument("--out", type=Path, default=REPOSITORY / ".bench-results")
    options = parser.parse_args()

    vocabulary_path = default_vocabulary_path()
    vocabulary = load_vocabulary(vocabulary_path)
    if options.mode == "object":
        tasks = object_tasks(vocabulary, options.limit)
    else:
        folder = options.schemas or shared_folder(REPOSITORY)
        if folder is None:
            sys.exit("no ../shared/data/jsonschemabench beside the repository: pass --schemas")
        tasks = schema_tasks(vocabulary, folder, options.limit)
    options.out.mkdir(parents=True, exist_ok=True)
    job_path = options.out / f"job-{options.mode}.json"
    job_path.write_text(json.dumps({"vocabulary": vocabulary_entry(vocabulary, vocabulary_path),
                                    "mode": options.mode, "tasks": tasks}))
    documents = {d["name"]: d["tokens"] for t in tasks for d in t["documents"]}
    valid = [d for t in tasks for d in t["documents"] if d.get("valid", True)]
    print(f"{options.mode} mode: {len(tasks)} task(s), {len(valid)} valid documents, "
          f"{sum(len(d['tokens']) for d in valid):,} {vocabulary.name} tokens",
          file=sys.stderr)

    peers = installed_peers(options.peers_python)
    summaries, notes = [], []
    for name in [e.strip() for e in options.engines.split(",") if e.strip()]:
        if name not in ENGINES:
            sys.exit(f"unknown engine {name!r}: choose from {', '.join(ENGINES)}")
        if name != "zel" and name not in peers:
            notes.append(f"{name}: not installed in {options.peers_python} (make bench-peers)")
            continue
        python = Path(sys.executable) if name == "zel" else options.peers_python
        out = options.out / f"{options.mode}-{name}.jsonl"
        out.unlink(missing_ok=True)
        repeats = SLOW_REPEATS if name == "lm-format-enforcer" else options.repeats
        note = run_engine(name, python, job_path, out, options.cpu, options.time_limit, repeats)
        records = read_records(out)
        if "header" not in records:
            notes.append(f"{name}: no result ({note or 'no output'})")
            continue
        if note:
            notes.append(f"{name}: {note}")

        def token_text(document: dict, at: int) -> str:
            return vocabulary.token_bytes(documents[document["name"]][at]).decode(
                "utf-8", errors="replace")

        summaries.append(summarise(records, token_text))

    zel = next((s for s in summaries if s["engine"] == "zel"), None)
    print(markdown(summaries, zel, options.mode))
    for note in notes:
        print(f"- {note}")
    result = {"mode": options.mode, "vocabulary": vocabulary.name,
              "cpu": options.cpu if shutil.which("taskset") else None,
              "documents": len(valid), "tokens": sum(len(d["tokens"]) for d in valid),
              "engines": summaries, "notes": notes,
              "ratios_zel_over_peer": {s["engine"]: ratios(zel, s) for s in summaries
                                       if zel is not None and s is not zel}}
    path = options.out / f"peers-{options.mode}.json"
    path.write_text(json.dumps(result, indent=1))
    print(f"\nfigures: {path.relative_to(REPOSITORY) if path.is_relative_to(REPOSITORY) else path}")


if __name__ == "__main__":
    main()

"""A real model constrained to a JSON Schema: SmolLM2-135M-Instruct through llama.cpp.

The model (a 135M-parameter chat model, Q4_1, run on the CPU by
llama-cpp-python) is asked for a person as JSON. Its vocabulary comes from the
model itself (zel.tokenizers.from_llama), and an Engine masks its scores
exactly before every draw, so each output parses and matches the schema:
the demo prints it, checks it with a JSON Schema validator and prints the
tokens per second constrained and unconstrained (the same loop without the
Engine) and zel's share of each step. The last prompt goes through
``create_chat_completion`` with zel's logits processor instead of the
low-level loop.

    python examples/llama_json.py [--temperature T] [--seed N] [--threads N]

``make demo`` builds llama-cpp-python and fetches the model first (once).
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

from zel.integrations.llama_cpp import complete_chat, generate, make_sampler
from zel.model_files import default_model_path
from zel.tokenizers import from_llama

sys.path.insert(0, str(Path(__file__).resolve().parent))
from person import PERSON_SCHEMA, person_grammar  # noqa: E402

PROMPTS = [
    "Invent a person who loves the sea. Reply in JSON with name, age and hobbies.",
    "Describe a retired teacher from Lyon as JSON: name, age, hobbies.",
    "Give me a JSON object for a young chess player: name, age and a list of hobbies.",
]
SYSTEM = "You are a helpful assistant that answers with one JSON object."


def chat_prompt(system: str, user: str) -> str:
    return (f"<|im_start|>system\n{system}<|im_end|>\n<|im_start|>user\n{user}<|im_end|>\n"
            f"<|im_start|>assistant\n")


def validate(value) -> str:
    try:
        import jsonschema
    except ImportError:
        ok = (set(value) == {"name", "age", "hobbies"} and isinstance(value["name"], str)
              and isinstance(value["age"], int) and all(isinstance(h, str) for h in value["hobbies"]))
        if not ok:
            raise SystemExit(f"the output does not match the schema: {value!r}")
        return "matches the schema (jsonschema not installed: checked by hand)"
    jsonschema.validate(value, PERSON_SCHEMA)
    return "valid under the JSON Schema (jsonschema)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--temperature", type=float, default=0.7)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--max-tokens", type=int, default=120)
    options = parser.parse_args()

    from llama_cpp import Llama

    path = default_model_path()
    if not path.is_file():
        raise SystemExit(f"no model at {path}: run `make model`")
    started = time.perf_counter()
    llm = Llama(str(path), n_ctx=1024, n_threads=options.threads, seed=options.seed, verbose=False)
    loaded = time.perf_counter() - started
    started = time.perf_counter()
    tokenizer = from_llama(llm)
    engine = tokenizer.engine()
    engine.state_machine = person_grammar()
    built = time.perf_counter() - started
    print(f"{path.name}: loaded in {loaded:.1f} s; {tokenizer.size} ids, end tokens "
          f"{tokenizer.control_tokens}; vocabulary read and Engine built in {built:.1f} s")
    print("schema:", json.dumps(PERSON_SCHEMA))

    # One unmeasured output first: the first steps of a process pay for
    # memory mapping and the Engine's lazily built mask tables.
    warm = llm.tokenize(chat_prompt(SYSTEM, PROMPTS[0]).encode(), add_bos=False, special=True)
    generate(llm, engine, warm, max_tokens=8)

    constrained_steps: list[float] = []
    free_steps: list[float] = []
    zel = [0.0, 0.0]  # zel's seconds, all seconds
    for number, prompt in enumerate(PROMPTS, 1):
        print(f"\n--- prompt {number}: {prompt}")
        tokens = llm.tokenize(chat_prompt(SYSTEM, prompt).encode(), add_bos=False, special=True)
        if number == len(PROMPTS):
            result = complete_chat(llm, engine, [{"role": "system", "content": SYSTEM},
                                                 {"role": "user", "content": prompt}],
                                   max_tokens=options.max_tokens, temperature=options.temperature,
                                   seed=options.seed)
            how = "create_chat_completion with zel's LogitsProcessor"
        else:
            result = generate(llm, engine, tokens, max_tokens=options.max_tokens,
                              sampler=make_sampler(options.temperature, options.seed + number))
            how = "low-level loop"
        print(result.text)
        if not result.accepted:
            raise SystemExit(f"stopped after {len(result.token_ids)} tokens before the grammar accepted")
        if json.loads(result.text) != result.value:
            raise SystemExit("json.loads disagrees with the Engine's parsed value")
        print(f"value {result.value!r}: {validate(result.value)}")
        print(f"{how}: {len(result.token_ids)} tokens, {result.tokens_per_second:.1f} tokens/s, "
              f"zel {result.zel_seconds * 1e3 / max(1, len(result.token_ids)):.2f} ms per token "
              f"({result.zel_share:.1%} of each step), finish: {result.finish_reason}")
        if how == "low-level loop":
            # The same loop without the Engine, as many tokens (end tokens ignored).
            free = generate(llm, None, tokens, max_tokens=len(result.token_ids), end_tokens=(),
                            sampler=make_sampler(options.temperature, options.seed + number))
            print(f"unconstrained, same loop: {len(free.token_ids)} tokens, "
                  f"{free.tokens_per_second:.1f} tokens/s: {free.text[:60]!r}")
            constrained_steps += result.step_seconds
            free_steps += free.step_seconds
            zel[0] += result.zel_seconds
            zel[1] += result.seconds

    def median(values: list[float]) -> float:
        return sorted(values)[len(values) // 2]

    constrained, free = 1 / median(constrained_steps), 1 / median(free_steps)
    share = zel[0] / zel[1]
    print(f"\nlow-level loop, {len(constrained_steps)} steps each way, median step: constrained "
          f"{constrained:.1f} tokens/s, unconstrained {free:.1f} tokens/s, ratio {constrained / free:.2f} "
          f"(separate runs: on a shared machine the model's own time drifts between them)")
    print(f"zel's share of a constrained step: {share:.1%}, so within the same run the constraint "
          f"keeps {1 - share:.1%} of the unconstrained speed")


if __name__ == "__main__":
    main()

"""Decodes JSON under a grammar with a stand-in model: the fast example.

An Engine over a real tokenizer's vocabulary (cl100k_base, 100k byte-level
BPE tokens) constrains a stand-in language model (a bigram frequency model
over a few sample JSON texts, plus seeded noise) to the JSON-object grammar
of zel.json_grammar, whose leaves are native. Documents alternate between the two
decoding loops of zel.decoding: the Engine selecting tokens with a sampler,
and a loop that samples by itself and consumes each draw. Each chosen token
is printed as it comes; the decoded text is checked with json.loads, and
the tokens emitted, draws per step and share of healed tokens are reported.

    python examples/demo.py [--seed N] [--documents N] [--temperature T]
"""

from __future__ import annotations

import argparse
import json
import time

import zel_core
from zel.decoding import generate, generate_by_consuming
from zel.json_grammar import json_object_grammar
from zel.models import FrequencyModel, make_random_sampler
from zel.vocabularies import load_vocabulary


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--documents", type=int, default=4)
    parser.add_argument("--temperature", type=float, default=1.0)
    parser.add_argument("--max-tokens", type=int, default=400)
    options = parser.parse_args()

    vocabulary = load_vocabulary()
    started = time.perf_counter()
    engine = zel_core.Engine(vocabulary.vocabulary, vocabulary.encode, vocabulary.decode)
    built = time.perf_counter() - started
    engine.state_machine = json_object_grammar()
    # Tokens of the sample texts weigh far more than the rest of the vocabulary,
    # so the stand-in model writes JSON-like text rather than noise.
    model = FrequencyModel.from_texts(vocabulary, seed=options.seed,
                                      unigram_weight=vocabulary.size / 20)
    print(f"vocabulary {vocabulary.name}: {vocabulary.size} tokens; "
          f"Engine built in {built:.2f} s\n")

    for document in range(options.documents):
        sampler = make_random_sampler(options.seed + document, options.temperature)
        by_consuming = document % 2 == 1
        loop = "sample here, then consume" if by_consuming else "select_next_tokens"
        print(f"--- document {document + 1} ({loop}): tokens as chosen")

        def show(ids: list[int]) -> None:
            print(repr(vocabulary.decode(ids)), end=" ", flush=True)

        decode_loop = generate_by_consuming if by_consuming else generate
        result = decode_loop(engine, model.scores, sampler, max_tokens=options.max_tokens, on_step=show)
        text = vocabulary.decode(result.token_ids)
        print("\n\n" + text)
        if not result.accepted:
            raise SystemExit(f"stopped after {len(result.token_ids)} tokens before the grammar accepted")
        parsed = json.loads(text)
        print(f"\njson.loads accepts it ({type(parsed).__name__} with {len(parsed)} keys); "
              f"{len(result.token_ids)} tokens emitted in {len(result.steps)} steps, "
              f"{result.draws_per_step:.2f} draws per step, "
              f"{result.healed_share:.0%} healed, {result.seconds_per_token * 1e3:.2f} ms per token\n")


if __name__ == "__main__":
    main()

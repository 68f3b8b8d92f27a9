"""zel in the decoding loops of inference libraries.

- ``zel.integrations.llama_cpp``: llama-cpp-python (a logits processor for
  ``create_completion``/``create_chat_completion`` and a low-level driver);
- ``zel.integrations.transformers``: a logits processor for
  ``model.generate``, batched by row.

Each module imports its library only when used; none is a dependency of zel.
"""

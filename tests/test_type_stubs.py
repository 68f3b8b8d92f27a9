"""The installed stubs type callers as the bindings behave: any buffer or DLPack array is a score
array and comes back as itself; None is a possible result (numpy is left out: mypy reads it slowly)."""
import os
import sys
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api")

pytestmark = pytest.mark.skipif(bool(os.environ.get("ZEL_SANITIZED")),
                                reason="the sanitized suite's build folder has no stub package")

CALLER = '''
from typing import Any

import zel_core


class Tensor:  # the DLPack export of torch.Tensor, as torch declares it
    def __dlpack__(self, *, stream: Any = -1, max_version: tuple[int, int] | None = None,
                   dl_device: Any = None, copy: bool | None = None) -> Any: ...


def use(engine: zel_core.Engine, tensor: Tensor, stepper: zel_core.Stepper) -> None:
    same_view: memoryview = engine.mask_invalid_tokens(memoryview(bytearray(8)))
    same_tensor: Tensor = engine.mask_invalid_tokens(tensor)
    engine.select_next_tokens(bytearray(8), lambda row: memoryview(row).cast("i"))
    engine.select_next_tokens(tensor, lambda row: row)
    reveal_type(stepper.sub_stepper)
    reveal_type(stepper.start_step(stepper, 0))
    reveal_type(zel_core.TrieMap().get("key"))
    engine.mask_invalid_tokens([0.5, 1.5])
'''


def test_callers_are_typed_as_the_bindings_behave(tmp_path):
    (tmp_path / "caller.py").write_text(CALLER)
    (tmp_path / "mypy.ini").write_text("[mypy]\n")  # none: not the project's own
    # The cache lives with the packages whose stubs it describes (checked against their hashes).
    report, _, _ = mypy_api.run([str(tmp_path / "caller.py"), "--config-file", str(tmp_path / "mypy.ini"),
                                 "--cache-dir", str(Path(sys.prefix) / "mypy-cache")])
    found = [line.split(": ", 1)[1] for line in report.splitlines() if "caller.py:" in line]
    assert found == [
        'note: Revealed type is "zel_core.Stepper | None"',
        'note: Revealed type is "zel_core.Stepper | None"',
        'note: Revealed type is "list[int] | None"',
        'error: Value of type variable "_ScoreArray" of "mask_invalid_tokens" of "Engine" '
        'cannot be "list[float]"  [type-var]',
    ], report

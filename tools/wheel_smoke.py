"""Run by tools/check_wheel.sh inside a fresh venv: the installed package
imports from that venv, and both models sample, inject NaN and restore."""
import random
import re
import sys
from pathlib import Path

import numpy as np

from vandrel.metadata.value import FormattedString, String
from vandrel.model.exceptions import ModelNotFittedError
import vandrel.model.models.string as mod
from vandrel.model.models.string import FormattedStringModel, SequentialFormattedString

venv = Path(sys.argv[1]).resolve()
assert venv in Path(mod.__file__).resolve().parents, f"imported from {mod.__file__}"
print(f"wheel-check:   ok   imported {mod.__name__} from the fresh venv")

random.seed(1)
np.random.seed(1)
codes = FormattedStringModel(FormattedString("code", nan_freq=0.5, pattern=r"[A-Z]{3}-\d{4}"))
frame = codes.sample(200, produce_nans=False)
assert list(frame.columns) == ["code"] and len(frame) == 200
assert all(re.fullmatch(r"[A-Z]{3}-\d{4}", v) for v in frame["code"])
with_nans = codes.sample(200)
assert 0 < with_nans["code"].isna().sum() < 200
restored = FormattedStringModel.from_dict({"meta": {"name": "pc", "pattern": r"\d{2}"}})
assert restored.pattern == r"\d{2}" and len(restored.sample(3)) == 3
try:
    FormattedStringModel(FormattedString("x")).pattern
except ModelNotFittedError:
    pass
else:
    raise AssertionError("pattern without a pattern did not raise")
print("wheel-check:   ok   FormattedStringModel samples, injects NaN, restores from a dict")

ids = SequentialFormattedString(String("id", nan_freq=0.5), length=4, prefix="C-", suffix="/x")
assert ids.sample(3, produce_nans=False)["id"].tolist() == ["C-0000/x", "C-0001/x", "C-0002/x"]
assert 0 < ids.sample(200)["id"].isna().sum() < 200
again = SequentialFormattedString.from_dict({"meta": {"name": "id"}, "prefix": "C-", "length": 4})
assert again.sample(2)["id"].tolist() == ["C-0000", "C-0001"]
try:
    ids.sample(True)
except TypeError as e:
    assert str(e) == "Argument 'n' has incorrect type (expected int, got bool)", e
else:
    raise AssertionError("sample(True) did not raise")
print("wheel-check:   ok   SequentialFormattedString samples, injects NaN, restores from a dict")

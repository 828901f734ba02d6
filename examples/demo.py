"""Builds both string models from metadata and from their dictionary forms,
and prints seeded sample frames with and without missing values."""
import random
from typing import Dict

import numpy as np
import pandas as pd

from vandrel.metadata.value import FormattedString, String
from vandrel.model.models.string import FormattedStringModel, SequentialFormattedString


def seed(value: int) -> None:
    # rstr draws from `random`; the missing-value mask from numpy's global generator.
    random.seed(value)
    np.random.seed(value)


def show(title: str, frame: pd.DataFrame) -> None:
    print(f"--- {title}")
    print(frame.to_string())
    print()


def main() -> None:
    codes = FormattedStringModel(
        FormattedString("product_code", nan_freq=0.3, pattern=r"[A-Z]{3}-\d{4}")
    )
    print(f"pattern: {codes.pattern!r}")
    seed(42)
    show("formatted strings, no missing values", codes.sample(5, produce_nans=False))
    seed(42)
    show("formatted strings, nan_freq 0.3", codes.sample(8))

    restored = FormattedStringModel.from_dict(
        {"meta": {"name": "postcode", "pattern": r"[1-9]\d{3} [A-Z]{2}"}}
    )
    seed(7)
    show("formatted strings restored from a dict", restored.sample(4))

    ids = SequentialFormattedString(
        String("customer_id", nan_freq=0.25), length=5, prefix="CUST-", suffix="-NL"
    )
    show("identifiers: prefix, suffix, padding to 5", ids.sample(6, produce_nans=False))
    seed(3)
    show("identifiers, nan_freq 0.25", ids.sample(8))

    form: Dict[str, object] = {"meta": ids._meta.to_dict(), "prefix": ids.prefix,
                               "suffix": ids.suffix, "length": ids.length}
    again = SequentialFormattedString.from_dict(form)
    print(f"dict form: {form}")
    same = again.sample(6, produce_nans=False).equals(ids.sample(6, produce_nans=False))
    print(f"round trip gives the same identifiers: {same}")
    show("identifiers restored, no prefix and padding to 3",
         SequentialFormattedString.from_dict({"meta": {"name": "row"}, "length": 3}).sample(4))


if __name__ == "__main__":
    main()

"""The command's JSON text is json's own indented text, byte for byte."""

from __future__ import annotations

import json
from typing import Any

import pytest

from quarvo._output import json_text

RECORD = {"name": "v1", "metadata_url": "redis://u:****@h/1", "dev": True, "mountpoint": None, "n": 3, "f": 1.5}


@pytest.mark.parametrize(
    "value",
    [
        {"volumes": [RECORD, {**RECORD, "name": 'x\n"é\u2028},\n      {'}], "broken": [{"name": "b", "error": "}"}]},
        {"volumes": []},
        [RECORD],
        [RECORD, {}],  # an empty dict among records
        [{1: "a", None: 2.5}, {True: float("nan")}],  # keys json converts
        {"a": {"b": [{"c": [1, {}]}, (2, 3)]}, 4: {"x": -float("inf")}},
        {"": "", "deep": [[[]], [RECORD]]},
        "text",
        7,
        None,
        False,
        [],
        {},
    ],
)
def test_json_text_is_jsons_indented_text(value: Any) -> None:
    assert json_text(value) == json.dumps(value, indent=2, ensure_ascii=False)

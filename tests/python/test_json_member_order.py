"""Member names matched against the fields: members in any order, either name
of a field, and a custom JSON name that another field's name overrides."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest

import velum

P3 = "velum.test.proto3"

CLASH = """
syntax = "proto2";
package velum.test.clash;
message Clash {
  optional int32 a = 1 [json_name = "b"];
  optional int32 b = 2;
  optional int32 c = 3;
}
"""


@pytest.fixture(scope="module")
def clash(tmp_path_factory: pytest.TempPathFactory) -> Any:
    tmp = tmp_path_factory.mktemp("clash")
    (tmp / "clash.proto").write_text(CLASH)
    out = Path(tmp) / "clash.binpb"
    subprocess.run(
        [sys.executable, "-m", "grpc_tools.protoc", f"-I{tmp}", f"--descriptor_set_out={out}",
         "clash.proto"],
        check=True,
        capture_output=True,
    )
    registry = velum.Registry()
    registry.add_file_set(out.read_bytes())
    return registry.message_class("velum.test.clash.Clash")


def _read(cls: Any, text: str, tree: bool) -> Any:
    return cls.from_dict(json.loads(text)) if tree else cls.from_json(text)


@pytest.mark.parametrize("tree", [False, True])
@pytest.mark.parametrize(
    ("text", "want"),
    [
        ('{"a": 1, "b": 2, "c": 3}', {"a": 1, "b": 2, "c": 3}),
        ('{"b": 2}', {"b": 2}),  # the name belongs to the later field b, not to a's JSON name
        ('{"c": 3, "b": 2, "a": 1}', {"a": 1, "b": 2, "c": 3}),
        ('{"a": 1, "a": 4}', {"a": 4}),
        ('{"c": 3, "c": 5, "b": 2}', {"b": 2, "c": 5}),
    ],
)
def test_overridden_json_name(clash: Any, text: str, want: dict[str, int], tree: bool) -> None:
    assert _read(clash, text, tree) == clash(**want)


@pytest.mark.parametrize("tree", [False, True])
def test_members_in_any_order_and_either_name(registry: velum.Registry, tree: bool) -> None:
    cls = registry.message_class(f"{P3}.Outer")
    full = cls(my_field_name="x", custom_json="y")
    names = [('"myFieldName"', '"my_field_name"'), ('"renamed"', '"custom_json"')]
    for first in (0, 1):
        for second in (0, 1):
            for members in (
                f'{names[0][first]}: "x", {names[1][second]}: "y"',
                f'{names[1][second]}: "y", {names[0][first]}: "x"',
            ):
                assert _read(cls, "{" + members + "}", tree) == full
    # An unknown member between known ones, and the same field under both names.
    assert _read(cls, '{"renamed": "y", "myFieldName": "z", "my_field_name": "x"}', tree) == full
    with pytest.raises(ValueError, match="key: 'renamedx' is unknown"):
        _read(cls, '{"myFieldName": "x", "renamedx": "y"}', tree)

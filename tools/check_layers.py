#!/usr/bin/env python3.12
"""Fails when a source under src/ includes a unit of a higher layer.

Layers, lowest first; a folder may include its own units and those of any
lower layer. Codec folders sit side by side and include none of each other,
except that the JSON walks may use the well-known-type forms and the reverse,
and the well-known-type forms may use the binary codec (for Any).
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LAYERS: list[tuple[str, ...]] = [
    ("common",),
    ("bitset",),
    ("descriptor", "oneof"),
    ("field_ops",),
    ("reverse_buffer", "parser", "json_sink", "json_parse", "wkt_registry"),
    ("nativemessage",),
    ("module",),
]
# Same-layer includes that are allowed (from, to).
PEERS = {
    ("json_sink", "wkt_registry"),
    ("json_parse", "wkt_registry"),
    ("wkt_registry", "json_sink"),
    ("wkt_registry", "json_parse"),
    # Any packs and unpacks its payload through the binary codec.
    ("wkt_registry", "parser"),
    ("wkt_registry", "reverse_buffer"),
}

RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]+"', re.M)


def violations(src: Path) -> list[str]:
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in RANK:
            found.append(f"{path}: folder {folder!r} has no layer")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target == folder or (folder, target) in PEERS:
                continue
            if target not in RANK:
                found.append(f"{path}: includes {target!r}, which has no layer")
            elif RANK[target] >= RANK[folder]:
                found.append(f"{path}: includes {target}/, not below {folder}/")
    return found


def main() -> int:
    src = Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    found = violations(src)
    for line in found:
        print(line, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())

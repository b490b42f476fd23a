"""Resolution of edition features, with proto2 and proto3 expressed as editions."""

from __future__ import annotations

import functools
from dataclasses import dataclass, replace

from velum._descriptor_proto import (
    EDITION_2023,
    EDITION_2024,
    EDITION_PROTO2,
    EDITION_PROTO3,
    FeatureSetProto,
    FileProto,
)

# FeatureSet enum values
FIELD_PRESENCE_EXPLICIT = 1
FIELD_PRESENCE_IMPLICIT = 2
FIELD_PRESENCE_LEGACY_REQUIRED = 3
ENUM_TYPE_OPEN = 1
ENUM_TYPE_CLOSED = 2
REPEATED_PACKED = 1
REPEATED_EXPANDED = 2
MESSAGE_LENGTH_PREFIXED = 1
MESSAGE_DELIMITED = 2

SUPPORTED_EDITIONS = (EDITION_PROTO2, EDITION_PROTO3, EDITION_2023, EDITION_2024)


@dataclass(frozen=True, slots=True)
class Features:
    field_presence: int
    enum_type: int
    repeated_field_encoding: int
    message_encoding: int

    def merge(self, proto: FeatureSetProto | None) -> Features:
        """These features overridden by the ones set in `proto` (0: not set there)."""
        if proto is None:
            return self
        key = (
            self,
            proto.field_presence,
            proto.enum_type,
            proto.repeated_field_encoding,
            proto.message_encoding,
        )
        merged = _MERGED.get(key)
        if merged is None:
            # A schema sets few distinct features, on many scopes and in every load.
            values = zip(_values(self), key[1:], strict=True)
            merged = Features(*(given or own for own, given in values)) if any(key[1:]) else self
            if len(_MERGED) < _MERGED_LIMIT:  # (a damaged schema may set any numbers)
                _MERGED[key] = merged
        return merged

    def with_presence(self, presence: int) -> Features:
        return _with(self, "field_presence", presence)

    def with_packed(self, packed: bool) -> Features:
        """Apply the legacy `packed` field option."""
        encoding = REPEATED_PACKED if packed else REPEATED_EXPANDED
        return _with(self, "repeated_field_encoding", encoding)

    def length_prefixed(self) -> Features:
        return _with(self, "message_encoding", MESSAGE_LENGTH_PREFIXED)


def _values(features: Features) -> tuple[int, int, int, int]:
    return (
        features.field_presence,
        features.enum_type,
        features.repeated_field_encoding,
        features.message_encoding,
    )


_MERGED: dict[tuple[Features, int, int, int, int], Features] = {}
_MERGED_LIMIT = 256


@functools.cache
def _with(features: Features, name: str, value: int) -> Features:
    # Few distinct feature sets exist, and fields ask for the same changes over and over.
    return replace(features, **{name: value})


_PROTO2 = Features(
    FIELD_PRESENCE_EXPLICIT, ENUM_TYPE_CLOSED, REPEATED_EXPANDED, MESSAGE_LENGTH_PREFIXED
)
_MODERN = Features(
    FIELD_PRESENCE_EXPLICIT, ENUM_TYPE_OPEN, REPEATED_PACKED, MESSAGE_LENGTH_PREFIXED
)
_PROTO3 = replace(_MODERN, field_presence=FIELD_PRESENCE_IMPLICIT)
_BY_EDITION = {EDITION_PROTO2: _PROTO2, EDITION_PROTO3: _PROTO3, EDITION_2023: _MODERN}
_BY_EDITION[EDITION_2024] = _MODERN
assert set(_BY_EDITION) == set(SUPPORTED_EDITIONS)


def file_edition(proto: FileProto) -> int:
    """The edition of a file; proto2 and proto3 map to their pseudo-editions."""
    if proto.syntax == "editions":
        edition: int = proto.edition
        return edition
    if proto.syntax == "proto3":
        return EDITION_PROTO3
    if proto.syntax in ("", "proto2"):
        return EDITION_PROTO2
    raise ValueError(f"{proto.name}: unsupported syntax {proto.syntax!r}")


def file_features(proto: FileProto, edition: int | None = None) -> Features:
    """The features of a file of `edition` (read from `proto` when not given)."""
    if edition is None:
        edition = file_edition(proto)
    base = _BY_EDITION.get(edition)
    if base is None:
        raise ValueError(f"{proto.name}: unsupported edition {edition}")
    options = proto.options
    return base if options is None else base.merge(options.features)

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
    features_of,
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
        """These features overridden by the ones set in `proto`."""
        if proto is None:
            return self
        changes = {
            name: getattr(proto, name)
            for name in (
                "field_presence",
                "enum_type",
                "repeated_field_encoding",
                "message_encoding",
            )
            if getattr(proto, name)
        }
        return replace(self, **changes) if changes else self

    def with_presence(self, presence: int) -> Features:
        return _with(self, "field_presence", presence)

    def with_packed(self, packed: bool) -> Features:
        """Apply the legacy `packed` field option."""
        encoding = REPEATED_PACKED if packed else REPEATED_EXPANDED
        return _with(self, "repeated_field_encoding", encoding)

    def length_prefixed(self) -> Features:
        return _with(self, "message_encoding", MESSAGE_LENGTH_PREFIXED)


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


def file_features(proto: FileProto) -> Features:
    edition = file_edition(proto)
    if edition not in SUPPORTED_EDITIONS:
        raise ValueError(f"{proto.name}: unsupported edition {edition}")
    if edition == EDITION_PROTO2:
        base = _PROTO2
    elif edition == EDITION_PROTO3:
        base = _PROTO3
    else:
        base = _MODERN
    return base.merge(features_of(proto))

"""The workloads: seeded generators of realistic content and the code that builds messages.

A generator returns plain Python values (a dict per message, lists, dicts for maps) keyed by
field name. A builder turns such values into messages the way application code would, with
keyword constructors; it works unchanged for velum and for protobuf classes.
"""

from __future__ import annotations

import random
import string
from collections.abc import Callable
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any

Values = dict[str, Any]

_WORDS_LATIN = [
    "order", "delivery", "invoice", "parcel", "window", "garden", "river", "market", "station",
    "number", "letter", "yellow", "silver", "morning", "evening", "quarter", "season",
    "harbour", "bridge", "village", "forest",
]
_WORDS_OTHER = [
    "café", "naïve", "Straße", "Ærø", "smörgåsbord", "façade", "jalapeño",
    "λόγος", "θάλασσα", "ἀρετή", "москва", "привет", "книга", "область",
    "東京", "日本語", "漢字", "学校", "北京", "电脑", "서울", "한국어",
    "שלום", "مرحبا", "हिन्दी", "ไทย", "🙂", "🚀🌍", "√π≈3.14",
]
_LANGS = ["de", "el", "ru", "ja", "zh", "ko", "he", "ar", "hi", "th", "fr", "es"]
_CITIES = ["Zürich", "München", "Kraków", "São Paulo", "Reykjavík", "Århus", "Lyon", "Porto",
           "Oslo", "Tōkyō", "Sevilla", "Bergen"]


def _word(rng: random.Random, other: float = 0.3) -> str:
    return rng.choice(_WORDS_OTHER if rng.random() < other else _WORDS_LATIN)


def _sentence(rng: random.Random, words: int, other: float = 0.3) -> str:
    return " ".join(_word(rng, other) for _ in range(words))


def _ident(rng: random.Random, n: int) -> str:
    return "".join(rng.choice(string.ascii_lowercase + string.digits) for _ in range(n))


# Small flat request ---------------------------------------------------------------------

def gen_small(rng: random.Random, scale: float) -> Values:
    return {
        "request_id": rng.randrange(1 << 40),
        "user_id": rng.randrange(1, 5_000_000),
        "shard": rng.randrange(64),
        "offset": rng.randrange(-100_000, 100_000),
        "trace_id": rng.getrandbits(64),
        "dry_run": rng.random() < 0.5,
        "budget": round(rng.uniform(0, 1000), 2),
        "weight": 0.5,
        "method": rng.randrange(1, 5),
        "deadline_ms": 1_700_000_000_000 + rng.randrange(10**6),
        "flags": rng.getrandbits(12),
        "compressed": True,
        "path": "/v1/users/" + _ident(rng, 6),
        "retries": rng.randrange(1, 4),
    }


def build_small(ns: SimpleNamespace, v: Values) -> Any:
    return ns.SmallRequest(
        request_id=v["request_id"], user_id=v["user_id"], shard=v["shard"],
        offset=v["offset"], trace_id=v["trace_id"], dry_run=v["dry_run"],
        budget=v["budget"], weight=v["weight"], method=v["method"],
        deadline_ms=v["deadline_ms"], flags=v["flags"], compressed=v["compressed"],
        path=v["path"], retries=v["retries"],
    )


# Wide numeric ---------------------------------------------------------------------------

def gen_wide(rng: random.Random, scale: float) -> Values:
    n = max(10, int(60_000 * scale))
    t = 1_700_000_000_000
    stamps = []
    for _ in range(n):
        t += rng.randrange(900, 1100)
        stamps.append(t)
    level = 100.0
    values = []
    for _ in range(n):
        level += rng.gauss(0, 1)
        values.append(level)
    return {
        "name": "cpu.load." + _ident(rng, 8),
        "start_ms": stamps[0],
        "timestamps": stamps,
        "values": values,
        "counts": [int(rng.expovariate(1 / 200)) for _ in range(n)],
    }


def build_wide(ns: SimpleNamespace, v: Values) -> Any:
    return ns.WideNumeric(
        name=v["name"], start_ms=v["start_ms"], timestamps=v["timestamps"],
        values=v["values"], counts=v["counts"],
    )


# Nested document ------------------------------------------------------------------------

def _money(rng: random.Random, top: int) -> Values:
    return {"currency": "EUR", "units": rng.randrange(top), "nanos": rng.randrange(100) * 10**7}


def _address(rng: random.Random) -> Values:
    return {
        "line1": f"{rng.randrange(1, 300)} {_word(rng, 0.2).title()} Street",
        "line2": "Apt " + str(rng.randrange(1, 90)) if rng.random() < 0.5 else "",
        "city": rng.choice(_CITIES),
        "region": _ident(rng, 2).upper(),
        "postal_code": str(rng.randrange(10000, 99999)),
        "country": rng.choice(["DE", "CH", "PL", "BR", "IS", "DK", "FR", "PT", "NO", "JP"]),
    }


def gen_nested(rng: random.Random, scale: float) -> Values:
    items = []
    for i in range(max(2, int(40 * scale))):
        items.append({
            "line_no": i + 1,
            "product": {
                "sku": "SKU-" + _ident(rng, 10).upper(),
                "title": _sentence(rng, rng.randrange(2, 6), 0.2),
                "price": _money(rng, 500),
                "categories": [_word(rng, 0.1) for _ in range(rng.randrange(1, 4))],
                "weight_kg": round(rng.uniform(0.05, 20), 3),
            },
            "quantity": rng.randrange(1, 10),
            "subtotal": _money(rng, 5000),
            "discount": _money(rng, 50),
            "attributes": [
                {"key": rng.choice(["colour", "size", "gift", "engraving"]), "value": _word(rng)}
                for _ in range(rng.randrange(0, 4))
            ],
        })
    return {
        "order_id": "ORD-" + _ident(rng, 12).upper(),
        "created_ms": 1_700_000_000_000 + rng.randrange(10**9),
        "status": rng.randrange(1, 5),
        "customer": {
            "id": rng.randrange(1 << 32),
            "name": _sentence(rng, 2, 0.4).title(),
            "email": _ident(rng, 8) + "@example.org",
            "phone": "+41 " + str(rng.randrange(10**8, 10**9)),
            "billing": _address(rng),
            "shipping": _address(rng),
            "tags": [_word(rng, 0.1) for _ in range(3)],
        },
        "items": items,
        "total": _money(rng, 100_000),
        "shipment": {
            "carrier": rng.choice(["DHL", "UPS", "La Poste", "Posten"]),
            "tracking_code": _ident(rng, 18).upper(),
            "destination": _address(rng),
            "events": [
                {
                    "at_ms": 1_700_000_000_000 + rng.randrange(10**9),
                    "location": rng.choice(_CITIES),
                    "description": _sentence(rng, 4, 0.3),
                }
                for _ in range(max(1, int(8 * scale)))
            ],
        },
        "notes": _sentence(rng, 12),
    }


def build_nested(ns: SimpleNamespace, v: Values) -> Any:
    money, address = ns.Money, ns.Address
    c = v["customer"]
    s = v["shipment"]
    return ns.Order(
        order_id=v["order_id"],
        created_ms=v["created_ms"],
        status=v["status"],
        customer=ns.Customer(
            id=c["id"], name=c["name"], email=c["email"], phone=c["phone"],
            billing=address(**c["billing"]), shipping=address(**c["shipping"]), tags=c["tags"],
        ),
        items=[
            ns.LineItem(
                line_no=it["line_no"],
                product=ns.Product(
                    sku=(p := it["product"])["sku"], title=p["title"], price=money(**p["price"]),
                    categories=p["categories"], weight_kg=p["weight_kg"],
                ),
                quantity=it["quantity"],
                subtotal=money(**it["subtotal"]),
                discount=money(**it["discount"]),
                attributes=[ns.Attribute(key=a["key"], value=a["value"]) for a in it["attributes"]],
            )
            for it in v["items"]
        ],
        total=money(**v["total"]),
        shipment=ns.Shipment(
            carrier=s["carrier"], tracking_code=s["tracking_code"],
            destination=address(**s["destination"]),
            events=[ns.TrackingEvent(**e) for e in s["events"]],
        ),
        notes=v["notes"],
    )


# String-heavy ---------------------------------------------------------------------------

def gen_strings(rng: random.Random, scale: float) -> Values:
    return {
        "title": _sentence(rng, 6, 0.5),
        "paragraphs": [_sentence(rng, rng.randrange(20, 60), 0.35)
                       for _ in range(max(2, int(60 * scale)))],
        "tokens": [_word(rng, 0.4) for _ in range(max(10, int(3000 * scale)))],
        "keywords": [_word(rng, 0.5) for _ in range(max(2, int(40 * scale)))],
        "translations": [
            {"lang": rng.choice(_LANGS), "text": _sentence(rng, rng.randrange(5, 30), 0.9)}
            for _ in range(max(2, int(80 * scale)))
        ],
        "checksum": rng.randbytes(32),
    }


def build_strings(ns: SimpleNamespace, v: Values) -> Any:
    return ns.TextDocument(
        title=v["title"], paragraphs=v["paragraphs"], tokens=v["tokens"],
        keywords=v["keywords"],
        translations=[ns.Translation(lang=t["lang"], text=t["text"]) for t in v["translations"]],
        checksum=v["checksum"],
    )


# Map-heavy ------------------------------------------------------------------------------

def gen_maps(rng: random.Random, scale: float) -> Values:
    def key() -> str:
        return f"{_word(rng, 0.1)}.{_ident(rng, 6)}"

    return {
        "counters": {key(): rng.randrange(1 << 33) for _ in range(max(4, int(1500 * scale)))},
        "stats": {
            key(): {
                "count": rng.randrange(10**6),
                "mean": rng.uniform(0, 100),
                "max": rng.uniform(100, 1000),
                "unit": rng.choice(["ms", "bytes", "µs", "req/s"]),
            }
            for _ in range(max(4, int(400 * scale)))
        },
        "labels": {rng.randrange(1 << 20): _word(rng, 0.3)
                   for _ in range(max(4, int(300 * scale)))},
    }


def build_maps(ns: SimpleNamespace, v: Values) -> Any:
    stat = ns.Stat
    return ns.MapDocument(
        counters=v["counters"],
        stats={k: stat(**s) for k, s in v["stats"].items()},
        labels=v["labels"],
    )


# Events ---------------------------------------------------------------------------------

_EVENT_TYPES = ["http.request", "db.query", "cache.miss", "auth.login", "job.finished",
                "queue.publish"]
_AGENTS = ["curl/8.4.0", "Mozilla/5.0 (X11; Linux x86_64)", "okhttp/4.12", "python-httpx/0.27"]
_ROLES = ["admin", "editor", "viewer", "billing", "support", "ops"]


def _nanos(rng: random.Random) -> int:
    """Sub-second parts of every precision the JSON form distinguishes: 0, 3, 6, 9 digits."""
    return rng.choice([0, rng.randrange(1000) * 10**6, rng.randrange(10**6) * 1000,
                       rng.randrange(10**9)])


def _metadata(rng: random.Random) -> Values:
    meta: Values = {
        "method": rng.choice(["GET", "POST", "PUT", "DELETE"]),
        "path": f"/v1/{_word(rng, 0.1)}/{_ident(rng, 8)}",
        "status": rng.choice([200, 200, 200, 201, 204, 304, 404, 500]),
        "bytes": rng.randrange(10**7),
        "ratio": round(rng.random(), 4),
        "cached": rng.random() < 0.3,
        "client": {
            "ip": f"10.{rng.randrange(256)}.{rng.randrange(256)}.{rng.randrange(256)}",
            "agent": rng.choice(_AGENTS),
            "geo": {"city": rng.choice(_CITIES), "lat": round(rng.uniform(-90, 90), 5),
                    "lon": round(rng.uniform(-180, 180), 5)},
        },
        "tags": [_word(rng, 0.3) for _ in range(rng.randrange(0, 4))],
        "timings": [round(rng.expovariate(1 / 20), 3) for _ in range(rng.randrange(1, 5))],
        "note": _sentence(rng, rng.randrange(1, 6), 0.3),
    }
    if rng.random() < 0.2:
        meta["parent"] = None
    return meta


def gen_events(rng: random.Random, scale: float) -> Values:
    t = 1_700_000_000
    events = []
    for i in range(max(2, int(200 * scale))):
        t += rng.randrange(0, 5)
        events.append({
            "id": (1 << 52) + i * 7919 + rng.randrange(7919),
            "occurred_at": {"seconds": t, "nanos": _nanos(rng)},
            "latency": {"seconds": rng.choice([0, 0, 0, 1, 2]), "nanos": _nanos(rng)},
            "severity": rng.randrange(1, 5),
            "event_type": rng.choice(_EVENT_TYPES),
            "metadata": _metadata(rng),
            "actor": {
                "user_name": _sentence(rng, 2, 0.3),
                "account_id": rng.randrange(1 << 40),
                "roles": rng.sample(_ROLES, rng.randrange(1, 3)),
                "verified": rng.random() < 0.5,
            },
        })
    return {"source": "edge-" + _ident(rng, 4), "events": events}


def _struct(ns: SimpleNamespace, obj: Values) -> Any:
    from_python = getattr(ns.Struct, "from_python", None)
    if from_python is not None:  # velum's conversion from plain values
        return from_python(obj)
    return ns.Struct(fields={k: _value(ns, x) for k, x in obj.items()})


def _value(ns: SimpleNamespace, x: Any) -> Any:
    if x is None:
        return ns.Value(null_value=0)
    if isinstance(x, bool):
        return ns.Value(bool_value=x)
    if isinstance(x, int | float):
        return ns.Value(number_value=x)
    if isinstance(x, str):
        return ns.Value(string_value=x)
    if isinstance(x, dict):
        return ns.Value(struct_value=_struct(ns, x))
    return ns.Value(list_value=ns.ListValue(values=[_value(ns, y) for y in x]))


def _to_bytes(msg: Any) -> bytes:
    encode = getattr(msg, "to_binary", None) or msg.SerializeToString
    data: bytes = encode()
    return data


def build_events(ns: SimpleNamespace, v: Values) -> Any:
    return ns.EventBatch(source=v["source"], events=[
        ns.Event(
            id=e["id"],
            occurred_at=ns.Timestamp(**e["occurred_at"]),
            latency=ns.Duration(**e["latency"]),
            severity=e["severity"],
            event_type=e["event_type"],
            metadata=_struct(ns, e["metadata"]),
            detail=ns.Any(type_url="type.googleapis.com/bench.Actor",
                          value=_to_bytes(ns.Actor(**e["actor"]))),
        )
        for e in v["events"]
    ])


# Registry -------------------------------------------------------------------------------

@dataclass(frozen=True)
class Workload:
    name: str
    message: str  # full name of the top-level message
    types: tuple[str, ...]  # names the builder uses (short ones in package "bench")
    generate: Callable[[random.Random, float], Values]
    build: Callable[[SimpleNamespace, Values], Any]
    description: str
    # The binary rows read every field through attributes, which a oneof (Value's kind)
    # does not offer alike in velum and protobuf: such workloads are measured as JSON only.
    binary: bool = True

    def values(self, scale: float, variant: int = 0) -> Values:
        """Content for this workload; variant 1 is a different message of the same shape."""
        return self.generate(random.Random(f"{self.name}:{variant}"), scale)

    def namespace(self, message_class: Callable[[str], Any]) -> SimpleNamespace:
        """Classes by short name; a dotted name is a full name outside package "bench"."""
        return SimpleNamespace(**{
            t.rpartition(".")[2]: message_class(t if "." in t else "bench." + t)
            for t in self.types
        })


WORKLOADS: tuple[Workload, ...] = (
    Workload("small", "bench.SmallRequest", ("SmallRequest",), gen_small, build_small,
             "flat request: 13 scalars and a short string"),
    Workload("nested", "bench.Order",
             ("Order", "Customer", "Address", "LineItem", "Product", "Money", "Attribute",
              "Shipment", "TrackingEvent"),
             gen_nested, build_nested, "order: customer, addresses, 40 line items, 4 levels"),
    Workload("strings", "bench.TextDocument", ("TextDocument", "Translation"), gen_strings,
             build_strings, "3000 tokens, 60 paragraphs, 80 translations; ~40% non-ASCII"),
    Workload("maps", "bench.MapDocument", ("MapDocument", "Stat"), gen_maps, build_maps,
             "map<string,int64> x1500, map<string,Stat> x400, map<int32,string> x300"),
    Workload("wide", "bench.WideNumeric", ("WideNumeric",), gen_wide, build_wide,
             "60000 packed int64 + 60000 double + 60000 int32"),
    Workload("events", "bench.EventBatch",
             ("EventBatch", "Event", "Actor", "google.protobuf.Timestamp",
              "google.protobuf.Duration", "google.protobuf.Struct", "google.protobuf.Value",
              "google.protobuf.ListValue", "google.protobuf.Any"),
             gen_events, build_events,
             "200 events: Timestamp, Duration, Struct metadata, enum, int64, Any(Actor)",
             binary=False),
)


def by_name(name: str) -> Workload:
    for w in WORKLOADS:
        if w.name == name:
            return w
    raise KeyError(name)


def plain_tree(descriptor: Any, v: Values) -> tuple[Any, ...]:
    """The equivalent plain tree: a tuple per message (field order), lists, dicts, scalars."""
    out: list[Any] = []
    for field in descriptor.fields:
        value = v.get(field.name)
        sub = field.message_type
        if value is None:
            out.append(None)
        elif sub is not None and sub.GetOptions().map_entry:
            vsub = sub.fields_by_name["value"].message_type
            out.append({_fresh(k) if isinstance(k, str) else k:
                        plain_tree(vsub, x) if vsub else _fresh(x) if isinstance(x, str) else x
                        for k, x in value.items()})
        elif sub is not None and isinstance(value, list):
            out.append([plain_tree(sub, x) for x in value])
        elif sub is not None:
            out.append(plain_tree(sub, value))
        elif isinstance(value, list):
            out.append([_fresh(x) if isinstance(x, str) else x for x in value])
        elif isinstance(value, str):
            out.append(_fresh(value))
        else:
            out.append(value)
    return tuple(out)


def _fresh(s: str) -> str:
    """An equal string that is neither interned nor shared with other fields."""
    return (s + ".")[:-1] if s else s

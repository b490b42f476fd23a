"""JSON text written by the baseline instruction forms equals the text of the process's own.

Where the CPU has AVX-512, number texts and the widening of the result `str` take
vector forms chosen at load time; `VELUM_BASELINE_ISA=1` keeps a process on the forms
every x86-64 CPU has. The same documents are written in a child process held to the
baseline and compared with this process's text, byte for byte (without AVX-512 both
sides run the baseline forms and the test still checks the switch is harmless).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

WRITER = r"""
import json, random, struct, sys
from velum import wkt

rng = random.Random(31)
texts = []
ints = [0, 1, -1, 2**63 - 1, -2**63]
ints += [s * (10**n + d) for n in range(19) for d in (-1, 0, 1, 7) for s in (1, -1)]
ints += [rng.getrandbits(rng.randrange(1, 64)) * rng.choice((1, -1)) for _ in range(3000)]
for v in ints:
    if -2**63 <= v < 2**63:
        texts.append(wkt.Int64Value(value=v).to_json())
    if 0 <= v < 2**64:
        texts.append(wkt.UInt64Value(value=v).to_json())
    if -2**31 <= v < 2**31:
        texts.append(wkt.Int32Value(value=v).to_json())
floats = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)]
floats += [round(rng.random() * 10**rng.randrange(0, 18), rng.randrange(0, 8)) for _ in range(3000)]
floats = [f for f in floats if f == f and abs(f) != float("inf")]
texts.append(wkt.ListValue._from_json_value(floats).to_json())
# Runs of ASCII of every length between strings one, two and four bytes a character.
pieces = ["\u00e9t\u00e9", "\u6f22\u5b57", "\U0001f600", "a\"b"]
for n in range(0, 300, 7):
    doc = {("k" * n) + str(i): [pieces[i % 4] + "x" * (n // (i + 1)), n, n / 3] for i in range(5)}
    texts.append(wkt.Struct._from_json_value(doc).to_json())
    texts.append(wkt.Struct._from_json_value({"t": "\U0001f600" + "\u00e9" * n}).to_json())
json.dump(texts, sys.stdout)
"""


def run_writer(baseline: bool) -> list[str]:
    env = dict(os.environ)
    env.pop("VELUM_BASELINE_ISA", None)
    if baseline:
        env["VELUM_BASELINE_ISA"] = "1"
    out = subprocess.run([sys.executable, "-c", WRITER], env=env, capture_output=True,
                         text=True, check=True).stdout
    texts: list[str] = json.loads(out)
    return texts


def test_baseline_forms_write_the_same_text() -> None:
    own, baseline = run_writer(False), run_writer(True)
    assert len(own) == len(baseline) > 3000
    for a, b in zip(own, baseline, strict=True):
        assert a == b
    # The texts are what they claim to be: numbers read back, strings at their width.
    assert json.loads(own[0]) == "0"

"""Subprocess side of the pure-Python peer: runs protobuf operations on request.

Started by bench.impls.SubprocessImpl with PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION=python;
speaks one JSON object per line on stdin/stdout.
"""

from __future__ import annotations

import base64
import json
import sys
from typing import Any

from bench.impls import Inputs, ProtobufImpl, Runner, use_clock
from bench.schema import protobuf_versions
from bench.workloads import by_name


def serve() -> None:
    impl: ProtobufImpl | None = None
    inputs: dict[str, Inputs] = {}
    runners: list[Runner] = []
    out = sys.stdout
    for line in sys.stdin:
        request = json.loads(line)
        reply: dict[str, Any]
        try:
            cmd = request["cmd"]
            if cmd == "hello":
                use_clock(request["clock"])
                impl = ProtobufImpl(base64.b64decode(request["file_set"]), "pure-python")
                reply = {"versions": protobuf_versions()}
            elif cmd == "load":
                inputs[request["workload"]] = Inputs(
                    by_name(request["workload"]), request["scale"],
                    base64.b64decode(request["data"]), base64.b64decode(request["data1"]),
                )
                reply = {}
            elif cmd == "prepare":
                assert impl is not None
                runner = impl.prepare(inputs[request["workload"]], request["op"])
                if runner is None:
                    reply = {"offered": False}
                else:
                    runners.append(runner)
                    reply = {"handle": len(runners) - 1}
            elif cmd == "run":
                reply = {"elapsed": runners[request["handle"]](request["loops"])}
            else:
                reply = {"error": f"unknown command {cmd!r}"}
        except NotImplementedError as e:
            reply = {"not_implemented": str(e)}
        except Exception as e:
            reply = {"error": f"{type(e).__name__}: {e}"}
        out.write(json.dumps(reply) + "\n")
        out.flush()


if __name__ == "__main__":
    serve()

"""The implementations under test and the operations timed on each.

An implementation prepares a runner per (workload, operation); a runner performs the
operation `loops` times and returns the elapsed seconds. Per-call setup (a fresh merge
target, say) happens before the clock starts. `prepare` returns None for an operation the
implementation does not offer; an operation that is offered but not implemented yet raises
NotImplementedError, when prepared or when run.
"""

from __future__ import annotations

import base64
import copy
import json
import marshal
import os
import subprocess
import sys
from collections.abc import Callable
from itertools import repeat
from pathlib import Path
from time import perf_counter, thread_time
from types import SimpleNamespace
from typing import Any

from bench.walk import Plan, make_plan, walk
from bench.workloads import Values, Workload, plain_tree

Runner = Callable[[int], float]

# Samples read this clock. The thread's CPU time is the default: on a shared, loaded machine
# it leaves out the time the benchmark spends preempted, which wall time would add at random.
CLOCKS: dict[str, Callable[[], float]] = {"cpu": thread_time, "wall": perf_counter}
clock: Callable[[], float] = thread_time


def use_clock(name: str) -> None:
    global clock
    clock = CLOCKS[name]

# The binary rows; the JSON rows and their peers live in bench/json_ops.py.
OPERATIONS: tuple[str, ...] = (
    "parse", "parse+read", "serialize", "build+serialize", "deepcopy", "copy (native)", "merge",
    "==",
)


class Inputs:
    """What every implementation starts from: the values and their canonical encoding."""

    def __init__(self, workload: Workload, scale: float, data: bytes, data1: bytes) -> None:
        self.workload = workload
        self.scale = scale
        self.values: Values = workload.values(scale, 0)
        self.values1: Values = workload.values(scale, 1)  # merge target content
        self.data = data
        self.data1 = data1


def _loop1(f: Callable[[Any], object], arg: Any) -> Runner:
    def run(loops: int) -> float:
        it = repeat(None, loops)
        t0 = clock()
        for _ in it:
            f(arg)
        return clock() - t0

    return run


def _loop0(f: Callable[[], object]) -> Runner:
    def run(loops: int) -> float:
        it = repeat(None, loops)
        t0 = clock()
        for _ in it:
            f()
        return clock() - t0

    return run


class MessageImpl:
    """Shared by velum and protobuf: both expose keyword constructors and attributes."""

    name = ""

    def __init__(self) -> None:
        self._plans: dict[str, Plan] = {}

    # Hooks
    def message_class(self, full_name: str) -> Any:
        raise NotImplementedError

    def descriptor(self, full_name: str) -> Any:
        raise NotImplementedError

    def parser(self, cls: Any) -> Callable[[bytes], Any]:
        raise NotImplementedError

    def serializer(self, msg: Any) -> Callable[[], bytes]:
        raise NotImplementedError

    def copier(self, cls: Any) -> Callable[[Any], Any]:
        raise NotImplementedError

    def native_copy(self, cls: Any, msg: Any) -> Runner:
        return _loop1(self.copier(cls), msg)

    def merger(self, cls: Any) -> Callable[[Any, Any], object]:
        raise NotImplementedError

    # Operations
    def namespace(self, inputs: Inputs) -> SimpleNamespace:
        return inputs.workload.namespace(self.message_class)

    def prepare(self, inputs: Inputs, op: str) -> Runner | None:
        w = inputs.workload
        cls = self.message_class(w.message)
        build = w.build
        ns = self.namespace(inputs)
        if op == "parse":
            parse = self.parser(cls)
            parse(inputs.data)
            return _loop1(parse, inputs.data)
        if op == "parse+read":
            parse = self.parser(cls)
            plan = make_plan(self.descriptor(w.message), self._plans)
            data = inputs.data

            def parse_read() -> None:
                walk(plan, parse(data))

            parse_read()
            return _loop0(parse_read)
        if op == "serialize":
            to_bytes = self.serializer(build(ns, inputs.values))
            to_bytes()
            return _loop0(to_bytes)
        if op == "build+serialize":
            values = inputs.values

            def build_serialize() -> None:
                self.serializer(build(ns, values))()

            build_serialize()
            return _loop0(build_serialize)
        if op == "deepcopy":
            return _loop1(self.copier(cls), build(ns, inputs.values))
        if op == "copy (native)":
            return self.native_copy(cls, build(ns, inputs.values))
        if op == "merge":
            merge = self.merger(cls)
            source = build(ns, inputs.values)
            try:
                parse = self.parser(cls)
                parse(inputs.data1)

                def target() -> Any:
                    return parse(inputs.data1)
            except NotImplementedError:
                def target() -> Any:
                    return build(ns, inputs.values1)

            merge(target(), source)

            def run_merge(loops: int) -> float:
                targets = [target() for _ in range(loops)]
                t0 = clock()
                for t in targets:
                    merge(t, source)
                return clock() - t0

            return run_merge
        if op == "==":
            # Two independent decodes: built messages could share the very same lists and
            # strings, and identity would short-circuit the comparison.
            try:
                parse = self.parser(cls)
                a, b = parse(inputs.data), parse(inputs.data)
            except NotImplementedError:
                a, b = build(ns, inputs.values), build(ns, copy.deepcopy(inputs.values))
            if not a == b:
                raise RuntimeError("equal messages compare unequal")

            def run_eq(loops: int) -> float:
                it = repeat(None, loops)
                t0 = clock()
                for _ in it:
                    a == b  # noqa: B015
                return clock() - t0

            return run_eq
        return None


class VelumImpl(MessageImpl):
    name = "velum"

    def __init__(self, file_set: bytes, descriptors: Any) -> None:
        super().__init__()
        from bench.schema import VelumSchema

        self._schema = VelumSchema(file_set)
        self._descriptors = descriptors  # a ProtobufSchema: walk plans need only the shape

    def message_class(self, full_name: str) -> Any:
        return self._schema.message_class(full_name)

    def descriptor(self, full_name: str) -> Any:
        return self._descriptors.descriptor(full_name)

    def parser(self, cls: Any) -> Callable[[bytes], Any]:
        return cls.from_binary  # type: ignore[no-any-return]

    def serializer(self, msg: Any) -> Callable[[], bytes]:
        return msg.to_binary  # type: ignore[no-any-return]

    def copier(self, cls: Any) -> Callable[[Any], Any]:
        return copy.deepcopy

    def native_copy(self, cls: Any, msg: Any) -> Runner:
        # The extension's deep copy without the copy module around it (memo unused).
        return _loop1(msg.__deepcopy__, None)

    def merger(self, cls: Any) -> Callable[[Any, Any], object]:
        return cls.merge_from  # type: ignore[no-any-return]

    @property
    def registry(self) -> Any:
        """The velum Registry of the workload schemas (also what resolves an Any)."""
        return self._schema.registry


class ProtobufImpl(MessageImpl):
    """Google's protobuf package with whichever backend this process loaded."""

    def __init__(self, file_set: bytes, name: str) -> None:
        super().__init__()
        from bench.schema import ProtobufSchema

        self.name = name
        self.schema = ProtobufSchema(file_set)

    def message_class(self, full_name: str) -> Any:
        return self.schema.message_class(full_name)

    def descriptor(self, full_name: str) -> Any:
        return self.schema.descriptor(full_name)

    def parser(self, cls: Any) -> Callable[[bytes], Any]:
        return cls.FromString  # type: ignore[no-any-return]

    def serializer(self, msg: Any) -> Callable[[], bytes]:
        return msg.SerializeToString  # type: ignore[no-any-return]

    def copier(self, cls: Any) -> Callable[[Any], Any]:
        def copy_from(m: Any) -> Any:
            n = cls()
            n.CopyFrom(m)
            return n

        return copy_from

    def merger(self, cls: Any) -> Callable[[Any, Any], object]:
        return cls.MergeFrom  # type: ignore[no-any-return]


class MarshalFloor:
    """`marshal.loads` of the equivalent plain tree: the cost of creating the objects."""

    name = "marshal"

    def __init__(self, descriptors: Any) -> None:
        self._descriptors = descriptors

    def blob(self, inputs: Inputs) -> bytes:
        desc = self._descriptors.descriptor(inputs.workload.message)
        # Version 2 writes no back-references: every object is decoded, none shared, as in
        # a message decode (version 3+ would decode a repeated string once).
        return marshal.dumps(plain_tree(desc, inputs.values), 2)

    def prepare(self, inputs: Inputs, op: str) -> Runner | None:
        if op != "parse":
            return None
        blob = self.blob(inputs)
        marshal.loads(blob)
        return _loop1(marshal.loads, blob)


class WorkerError(Exception):
    pass


class SubprocessImpl:
    """protobuf's pure-Python backend, driven over a pipe (see bench/worker.py)."""

    name = "pure-python"

    def __init__(self, file_set: bytes, clock_name: str) -> None:
        root = Path(__file__).resolve().parent.parent
        env = dict(os.environ)
        env["PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION"] = "python"
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(root), env.get("PYTHONPATH")]))
        self._proc = subprocess.Popen(
            [sys.executable, "-m", "bench.worker"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=root, env=env, text=True,
        )
        reply = self._call({
            "cmd": "hello", "clock": clock_name, "file_set": base64.b64encode(file_set).decode(),
        })
        self.versions: dict[str, str] = reply["versions"]

    def _call(self, request: dict[str, Any]) -> dict[str, Any]:
        assert self._proc.stdin is not None and self._proc.stdout is not None
        self._proc.stdin.write(json.dumps(request) + "\n")
        self._proc.stdin.flush()
        line = self._proc.stdout.readline()
        if not line:
            raise WorkerError("pure-python worker exited")
        reply: dict[str, Any] = json.loads(line)
        if "not_implemented" in reply:
            raise NotImplementedError(reply["not_implemented"])
        if "error" in reply:
            raise WorkerError(reply["error"])
        return reply

    def load(self, inputs: Inputs) -> None:
        self._call({
            "cmd": "load", "workload": inputs.workload.name, "scale": inputs.scale,
            "data": base64.b64encode(inputs.data).decode(),
            "data1": base64.b64encode(inputs.data1).decode(),
        })

    def prepare(self, inputs: Inputs, op: str) -> Runner | None:
        reply = self._call({"cmd": "prepare", "workload": inputs.workload.name, "op": op})
        if not reply.get("offered", True):
            return None
        handle = reply["handle"]

        def run(loops: int) -> float:
            return float(self._call({"cmd": "run", "handle": handle, "loops": loops})["elapsed"])

        return run

    def close(self) -> None:
        if self._proc.poll() is None:
            assert self._proc.stdin is not None
            self._proc.stdin.close()
            try:
                self._proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._proc.kill()

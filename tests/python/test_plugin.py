"""protoc-gen-velum, run through grpc_tools.protoc; generated modules imported elsewhere."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from generated_modules import ALL_PROTOS, generate, write_acme
from google.protobuf import descriptor_pb2
from google.protobuf.compiler import plugin_pb2

from velum._plugin import generate as plugin_generate


@pytest.fixture(scope="module")
def out(tmp_path_factory) -> Path:
    root = tmp_path_factory.mktemp("plugin")
    src = root / "src"
    acme = write_acme(src)
    result = generate(root / "out", [*ALL_PROTOS, acme], extra_dirs=(src,))
    assert result.returncode == 0, result.stderr
    return root / "out"


def run_python(out: Path, code: str) -> str:
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=out,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_writes_a_module_and_a_stub_per_file(out):
    written = sorted(str(p.relative_to(out)) for p in out.rglob("*.py*"))
    expected = [name.removesuffix(".proto") + "_velum" for name in ALL_PROTOS]
    expected.append("acme/shop_v1_velum")
    assert written == sorted(f"{name}{ext}" for name in expected for ext in (".py", ".pyi"))


def test_generated_modules_import_and_register_in_the_default_registry(out):
    report = run_python(
        out,
        """
        import json, pickle
        import velum
        import acme.shop_v1_velum as shop
        import test_proto2_ext_velum, test_editions2024_velum, test_wkt_use_velum

        reg = velum.default_registry()
        order = shop.Order(
            scalars=shop._dep_test_proto3_velum.Scalars(f_int32=7),
            pay=velum.Oneof("voucher", shop.Order.Line(sku="x", qty=2)),
            lines=[shop.Order.Line(sku="a")],
            note="",
        )
        again = shop.Order.from_binary(order.to_binary())
        options = reg.message("google.protobuf.MessageOptions").type
        print(json.dumps({
            "registered": reg.message_class("acme.shop.Order") is shop.Order,
            "module": shop.Order.__module__,
            "nested_module": shop.Order.Line.__module__,
            "keyword_class": shop.None_.__qualname__,
            "round_trip": again == order and again.has_field("note"),
            "pickle_by_reference": b"acme.shop_v1_velum" in pickle.dumps(order),
            "pickled": pickle.loads(pickle.dumps(order)) == order,
            "keyword_pickled": pickle.loads(pickle.dumps(shop.None_(x=1))).x,
            "extension": shop.label.name,
            "option_class": options.__name__,
            "descriptor": shop.DESCRIPTOR.name,
            "ext_file_extension": test_proto2_ext_velum.other_file_ext.number,
            "match_args": shop.Order.__match_args__,
            "exports": sorted(shop.__all__),
        }))
        """,
    )
    assert json.loads(report) == {
        "registered": True,
        "module": "acme.shop_v1_velum",
        "nested_module": "acme.shop_v1_velum",
        "keyword_class": "None",
        "round_trip": True,
        "pickle_by_reference": True,
        "pickled": True,
        "keyword_pickled": 1,
        "extension": "acme.shop.label",
        "option_class": "MessageOptions",
        "descriptor": "acme/shop-v1.proto",
        "ext_file_extension": 160,
        "match_args": ["scalars", "at", "pay", "int", "lines", "states", "note", "self"],
        "exports": ["DESCRIPTOR", "None_", "Order", "label"],
    }


def test_every_generated_module_imports(out):
    modules = [name.removesuffix(".proto") + "_velum" for name in ALL_PROTOS]
    code = "import velum\n" + "".join(f"import {m}\n" for m in modules)
    code += "print(len(velum.default_registry()._files))"
    assert int(run_python(out, code)) > len(modules)


def test_reimporting_a_module_reuses_its_file(out):
    # importlib.reload runs the module again against the same default registry.
    code = """
        import importlib, test_proto3_velum as m
        before = m.Scalars
        importlib.reload(m)
        print(m.Scalars is before)
        """
    assert run_python(out, code).strip() == "True"


def test_importing_a_module_makes_no_class_until_a_name_is_read(out):
    report = run_python(
        out,
        """
        import json, pickle
        import velum
        from velum._descriptors import peek_type
        import acme.shop_v1_velum as shop

        reg = velum.default_registry()
        made = lambda name: peek_type(reg.message(name)) is not None
        before = [made("acme.shop.Order"), made("acme.shop.None")]
        line = shop.Order.Line
        from acme.shop_v1_velum import None_
        print(json.dumps({
            "before": before,
            "after": [made("acme.shop.Order"), made("acme.shop.None")],
            "bound": "Order" in vars(shop) and shop.Order is reg.message_class("acme.shop.Order"),
            "modules": [line.__module__, None_.__module__],
            "dir": [n in dir(shop) for n in ("Order", "None_", "label", "DESCRIPTOR")],
            "missing": repr(getattr(shop, "Missing", None)),
        }))
        """,
    )
    assert json.loads(report) == {
        "before": [False, False],
        "after": [True, True],
        "bound": True,
        "modules": ["acme.shop_v1_velum", "acme.shop_v1_velum"],
        "dir": [True, True, True, True],
        "missing": "None",
    }


@pytest.mark.parametrize(
    "first_use",
    [
        # The class is made through the registry, never read from the module.
        "import test_proto3_velum; "
        "cls = velum.default_registry().message_class('velum.test.proto3.Scalars')",
        # The class is made before the module is imported, from the same file.
        "import ast; "
        "tree = ast.parse(open('test_proto3_velum.py').read()); "
        "data = next(n.args[1].value for n in ast.walk(tree) if isinstance(n, ast.Call)); "
        "reg = velum.default_registry(); "
        "reg.add_file(data); "
        "cls = reg.message_class('velum.test.proto3.Scalars'); "
        "import test_proto3_velum",
    ],
)
def test_classes_made_elsewhere_still_pickle_through_the_module(out, first_use):
    code = f"""
        import pickle, velum
        {first_use}
        data = pickle.dumps(cls(f_int32=3))
        print(cls.__module__, b"test_proto3_velum" in data, pickle.loads(data).f_int32)
        """
    assert run_python(out, code).split() == ["test_proto3_velum", "True", "3"]


def test_modules_written_by_earlier_plugins_still_name_their_classes(out, tmp_path):
    # Earlier modules bound every class by name on import, through the registry.
    source = (out / "test_proto3_velum.py").read_text()
    legacy = source[: source.index("# The classes")] + textwrap.dedent(
        """
        import velum as _velum
        _registry = _velum.default_registry()
        Scalars = _registry.message_class("velum.test.proto3.Scalars")
        """
    )
    (tmp_path / "test_proto3_velum.py").write_text(legacy)
    code = f"""
        import sys, pickle
        sys.path.insert(0, {str(tmp_path)!r})
        import test_proto3_velum as m
        again = pickle.loads(pickle.dumps(m.Scalars(f_int32=2)))
        print(m.Scalars.__module__, m.__file__.startswith({str(tmp_path)!r}), again.f_int32)
        """
    assert run_python(out, code).split() == ["test_proto3_velum", "True", "2"]


def test_unknown_names_and_star_imports(out):
    code = """
        import test_proto3_velum as m
        try:
            m.Nope
        except AttributeError as e:
            print(e)
        ns = {}
        exec("from test_proto3_velum import *", ns)
        print(sorted(set(m.__all__) - set(ns)))
        """
    lines = run_python(out, code).splitlines()
    assert lines == ["module 'test_proto3_velum' has no attribute 'Nope'", "[]"]


def test_each_module_exports_what_its_stub_declares(out):
    # Every name the stub declares at top level is exported and readable, and no more.
    code = """
        import ast, importlib, json, pathlib
        mismatched, declared_names = {}, 0
        for stub in sorted(pathlib.Path(".").rglob("*_velum.pyi")):
            name = ".".join(stub.with_suffix("").parts)
            module = importlib.import_module(name)
            declared = set()
            for node in ast.parse(stub.read_text()).body:
                if isinstance(node, ast.ClassDef):
                    declared.add(node.name)
                elif isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
                    declared.add(node.target.id)
            declared_names += len(declared)
            read = {n for n in module.__all__ if getattr(module, n) is not None}
            if declared != set(module.__all__) or read != declared:
                mismatched[name] = sorted(declared ^ read)
        print(json.dumps([declared_names, mismatched]))
        """
    declared_names, mismatched = json.loads(run_python(out, code))
    assert declared_names > 50 and mismatched == {}


# Bad input comes back in the response's error field.


def _request(files, to_generate, parameter=""):
    request = plugin_pb2.CodeGeneratorRequest(file_to_generate=to_generate, parameter=parameter)
    request.proto_file.extend(files)
    return request.SerializeToString()


def _response(data: bytes) -> plugin_pb2.CodeGeneratorResponse:
    return plugin_pb2.CodeGeneratorResponse.FromString(plugin_generate(data))


def _file(name, *, field_type_name=None):
    file = descriptor_pb2.FileDescriptorProto(name=name, package="p", syntax="proto3")
    message = file.message_type.add(name="M")
    if field_type_name:
        message.field.add(name="f", number=1, type=11, label=1, type_name=field_type_name)
    return file


def test_response_declares_proto3_optional_and_editions():
    response = _response(_request([_file("a.proto")], ["a.proto"]))
    assert not response.HasField("error")
    features = plugin_pb2.CodeGeneratorResponse
    assert response.supported_features == (
        features.FEATURE_PROTO3_OPTIONAL | features.FEATURE_SUPPORTS_EDITIONS
    )
    assert response.minimum_edition == descriptor_pb2.EDITION_PROTO2
    assert response.maximum_edition == descriptor_pb2.EDITION_2024
    assert [f.name for f in response.file] == ["a_velum.py", "a_velum.pyi"]


@pytest.mark.parametrize(
    ("data", "error"),
    [
        (b"\x0a\x05ab", "protoc-gen-velum: "),
        (_request([_file("a.proto")], ["a.proto"], "fast"), "unknown parameter 'fast'"),
        (_request([_file("a.proto")], ["b.proto"]), "b.proto is to be generated but"),
        (
            _request([_file("a.proto", field_type_name=".p.Missing")], ["a.proto"]),
            "unknown type .p.Missing",
        ),
    ],
    ids=["truncated", "parameter", "missing-file", "unresolved-type"],
)
def test_bad_requests_are_reported_in_the_error_field(data, error):
    response = _response(data)
    assert error in response.error
    assert not response.file


def test_protoc_prints_the_plugin_error(tmp_path):
    result = generate(tmp_path / "out", ["test_proto3.proto"], parameter="fast")
    assert result.returncode != 0
    assert "unknown parameter 'fast'" in result.stderr

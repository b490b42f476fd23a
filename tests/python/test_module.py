"""The extension module itself: what it exports and how it builds its runtime names."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import _velum_ext


def run_fresh(code: str) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a new interpreter, where the runtime names are not built yet."""
    return subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_exports_in_order() -> None:
    assert _velum_ext.__all__ == [
        "MessageMarshaler",
        "NativeMessage",
        "initialize_message_type",
        "Oneof",
        "generic_setattr",
    ]
    assert _velum_ext.initialize_message_type.__module__ == "_velum_ext"
    assert _velum_ext.NativeMessage.__module__ == "velum_ext"
    assert _velum_ext.NativeMessage.__text_signature__ == "($cls, *_args, **_kwargs)"
    assert (
        _velum_ext.NativeMessage.to_binary.__text_signature__
        == "($self, *, write_unknown_fields=True)"
    )
    assert _velum_ext.MessageMarshaler.__doc__ == "Entrypoint to native marshaling code."


def test_only_message_can_be_subclassed() -> None:
    class Ok(_velum_ext.NativeMessage):
        pass

    for final in (_velum_ext.MessageMarshaler, _velum_ext.Oneof):
        try:
            type("Sub", (final,), {})
        except TypeError:
            continue
        raise AssertionError(f"{final} was subclassable")


def test_runtime_module_missing_then_available() -> None:
    result = run_fresh(
        """
        import sys
        import _velum_ext
        sys.modules["velum._descriptors"] = None  # makes the import fail
        class M(_velum_ext.NativeMessage):
            pass
        try:
            _velum_ext.initialize_message_type(M)
        except ImportError:
            print("import error")
        del sys.modules["velum._descriptors"]
        import velum  # a later call, once the runtime imports, succeeds
        from velum import wkt
        print(wkt.Duration(seconds=1).seconds)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["import", "error", "1"]


def test_runtime_class_that_is_not_a_type() -> None:
    result = run_fresh(
        """
        import velum._descriptors as d
        d.ScalarType = 5
        import _velum_ext
        class M(_velum_ext.NativeMessage):
            pass
        for _ in range(2):
            try:
                _velum_ext.initialize_message_type(M)
            except TypeError:
                print("type error")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["type", "error", "type", "error"]


def test_threads_race_to_build_the_runtime_names() -> None:
    result = run_fresh(
        """
        import threading
        import _velum_ext
        import velum._descriptors  # the runtime module, without generating any class
        barrier = threading.Barrier(4)
        errors = []

        class M(_velum_ext.NativeMessage):
            pass

        def work():
            barrier.wait()
            try:
                _velum_ext.initialize_message_type(M)
            except AttributeError:
                pass  # M has no _desc: the names were still built
            except Exception as e:
                errors.append(e)

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        print(len(errors), sum(t.is_alive() for t in threads))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "0"]

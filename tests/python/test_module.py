"""The module as Python sees it: its names and their order, class identities,
text signatures, the shared object's exports, and platform_capabilities()."""

import importlib
import inspect
import subprocess
import sys

import pytest

import quellar
from quellar import _native

PUBLIC_NAMES = [
    "SupervisorError",
    "Command",
    "Policy",
    "RunResult",
    "OutputEvent",
    "OutputStream",
    "CancellationToken",
    "run",
    "stream",
    "platform_capabilities",
]

CAPABILITY_KEYS = [
    "containment",
    "host_network",
    "network_isolation",
    "network_isolation_requires_filesystem",
    "graceful_shutdown",
    "process_group_cleanup",
    "parent_death_cleanup",
    "filesystem_isolation",
    "memory_limits",
    "process_limits",
    "cpu_limits",
]


def test_names_are_added_in_order():
    public = [name for name in vars(_native) if not name.startswith("_")]
    assert public == PUBLIC_NAMES


def test_package_reexports_every_public_name():
    assert sorted(quellar.__all__) == sorted(PUBLIC_NAMES)
    for name in PUBLIC_NAMES:
        assert getattr(quellar, name) is getattr(_native, name)


def test_class_identities():
    for name in ["Command", "Policy", "RunResult", "OutputEvent", "OutputStream", "CancellationToken"]:
        cls = getattr(_native, name)
        assert cls.__module__ == "quellar._native"
        assert cls.__name__ == name
    error = _native.SupervisorError
    assert error.__module__ == "_native"
    assert error.__name__ == "SupervisorError"
    assert error.__bases__ == (Exception,)
    assert error.__doc__ is None
    assert not [name for name in vars(error) if not name.startswith("__")]


@pytest.mark.parametrize("name", ["RunResult", "OutputEvent", "OutputStream"])
def test_results_cannot_be_built_from_python(name):
    with pytest.raises(TypeError):
        getattr(_native, name)()


def test_classes_are_immutable():
    with pytest.raises(TypeError):
        _native.Command.extra = 1


@pytest.mark.parametrize(
    "callable_, signature",
    [
        (_native.run, "(command, *, policy=None, input=None, cancellation=None)"),
        (_native.stream, "(command, *, policy=None, cancellation=None, capture=False)"),
        (_native.OutputStream.aclose, "(self, /)"),
        (_native.OutputStream.cancel, "(self, /)"),
        (_native.platform_capabilities, "()"),
        (
            _native.Command,
            "(argv, *, cwd=None, env=None, inherit_env=None, timeout=5.0, "
            "max_stdin_bytes=65536, max_stdout_bytes=65536, max_stderr_bytes=16384)",
        ),
        (_native.Policy, "(*, network='host', enforcement='best_effort', filesystem=None)"),
        (_native.CancellationToken, "()"),
        (_native.CancellationToken.cancel, "(self, /)"),
        (_native.CancellationToken.cancelled, "(self, /)"),
        (_native.RunResult.stdout_text, "(self, /, encoding, errors)"),
        (_native.RunResult.stderr_text, "(self, /, encoding, errors)"),
    ],
)
def test_text_signatures(callable_, signature):
    assert str(inspect.signature(callable_)) == signature


def test_supervisor_error_survives_reimport():
    # A caller that caught the class before a re-import still catches errors
    # raised after it: the class is created once per process.
    saved = sys.modules.pop("quellar._native")
    try:
        fresh = importlib.import_module("quellar._native")
        assert fresh is not saved
        assert fresh.SupervisorError is saved.SupervisorError
        assert fresh.Command is not saved.Command
    finally:
        sys.modules["quellar._native"] = saved


def test_only_the_init_function_is_exported():
    nm = subprocess.run(
        ["nm", "-D", "--defined-only", _native.__file__], capture_output=True, text=True
    )
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__native"]


def test_built_for_the_stable_abi():
    assert _native.__file__.endswith("_native.abi3.so")


class TestPlatformCapabilities:
    def test_keys_in_order_and_value_types(self):
        capabilities = _native.platform_capabilities()
        assert list(capabilities) == CAPABILITY_KEYS
        assert capabilities["containment"] == "degraded"
        for key in CAPABILITY_KEYS[1:]:
            assert type(capabilities[key]) is bool, key

    def test_fixed_values(self):
        capabilities = _native.platform_capabilities()
        assert capabilities["host_network"] is True
        assert capabilities["network_isolation_requires_filesystem"] is False
        assert capabilities["graceful_shutdown"] is True
        assert capabilities["process_group_cleanup"] is True
        assert capabilities["memory_limits"] is False
        assert capabilities["process_limits"] is False
        assert capabilities["cpu_limits"] is False

    @pytest.mark.skipif(sys.platform != "linux", reason="the Linux launcher")
    async def test_isolation_claims_hold_for_a_real_run(self):
        # Both come from one probe: is quellar-sandbox usable on this host?
        capabilities = _native.platform_capabilities()
        assert capabilities["network_isolation"] == capabilities["filesystem_isolation"]
        opens_socket = _native.Command(
            ["/usr/bin/python3", "-c", "import socket; socket.socket(socket.AF_INET)"]
        )
        assert (await _native.run(opens_socket)).success
        isolated = _native.Policy(network="disabled")
        if capabilities["network_isolation"]:
            result = await _native.run(opens_socket, policy=isolated)
            assert result.termination == "exited"
            assert result.exit_code != 0
            assert b"PermissionError" in result.stderr
        else:
            with pytest.raises(_native.SupervisorError) as caught:
                await _native.run(opens_socket, policy=isolated)
            assert caught.value.code == "spawn_failed"

    @pytest.mark.skipif(sys.platform != "darwin", reason="the macOS launcher")
    def test_isolation_on_macos(self):
        capabilities = _native.platform_capabilities()
        assert capabilities["filesystem_isolation"] is True
        assert capabilities["network_isolation"] is True

    def test_a_new_dict_each_call(self):
        first = _native.platform_capabilities()
        second = _native.platform_capabilities()
        assert first == second
        assert first is not second
        first["cpu_limits"] = True
        first["extra"] = 1
        assert _native.platform_capabilities() == second

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError, match="takes no arguments"):
            _native.platform_capabilities(1)
        with pytest.raises(TypeError):
            _native.platform_capabilities(key="containment")

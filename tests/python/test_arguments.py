"""Command, Policy and CancellationToken: conversions, defaults, checks and
their order, exception types and messages."""

import math
import pathlib
import threading

import pytest

from quellar import CancellationToken, Command, Policy

ARGV_MESSAGE = "argv must contain an executable"
TIMEOUT_MESSAGE = "timeout must be a finite positive number of seconds"
LIMIT_MESSAGE = "byte limits must be greater than zero"
NETWORK_MESSAGE = "network must be 'host' or 'disabled'"
ENFORCEMENT_MESSAGE = "enforcement must be 'best_effort' or 'required'"


class TestCommand:
    def test_defaults_and_getters(self):
        command = Command(["/bin/ls"])
        assert command.argv == ["/bin/ls"]
        assert command.cwd is None

    def test_argv_getter_returns_a_fresh_copy(self):
        command = Command(("/bin/echo", "a", "b"))
        first = command.argv
        first.append("mutated")
        assert command.argv == ["/bin/echo", "a", "b"]
        assert command.argv is not command.argv

    def test_executable_need_not_be_absolute_here(self):
        # Absoluteness is checked when the command runs, not when it is built.
        assert Command(["ls"]).argv == ["ls"]

    def test_cwd_accepts_str_and_path_like_and_returns_path(self):
        assert Command(["/bin/ls"], cwd="/tmp").cwd == pathlib.Path("/tmp")
        assert isinstance(Command(["/bin/ls"], cwd="/tmp").cwd, pathlib.Path)
        assert Command(["/bin/ls"], cwd=pathlib.PurePosixPath("/var")).cwd == pathlib.Path("/var")
        # A relative path is kept as given; validation happens at run time.
        assert Command(["/bin/ls"], cwd="rel/dir").cwd == pathlib.Path("rel/dir")

    def test_cwd_with_undecodable_bytes_round_trips(self):
        name = "/tmp/caf\udce9"  # os.fsdecode(b"/tmp/caf\xe9")
        assert str(Command(["/bin/ls"], cwd=name).cwd) == name

    @pytest.mark.parametrize("argv", [[], [""], ("",), ["", "x"]])
    def test_empty_argv_or_executable(self, argv):
        with pytest.raises(ValueError, match=f"^{ARGV_MESSAGE}$"):
            Command(argv)

    def test_str_argv_is_refused_not_split(self):
        with pytest.raises(TypeError, match="argv"):
            Command("/bin/ls")

    @pytest.mark.parametrize(
        "kwargs, parameter",
        [
            ({"cwd": 3}, "cwd"),
            ({"cwd": b"/tmp"}, "cwd"),
            ({"env": [("A", "1")]}, "env"),
            ({"env": {"A": 1}}, "env"),
            ({"env": {1: "A"}}, "env"),
            ({"inherit_env": "HOME"}, "inherit_env"),
            ({"inherit_env": ["HOME", 3]}, "inherit_env"),
            ({"timeout": "5"}, "timeout"),
            ({"timeout": None}, "timeout"),
            ({"max_stdin_bytes": 1.5}, "max_stdin_bytes"),
            ({"max_stdout_bytes": "10"}, "max_stdout_bytes"),
            ({"max_stderr_bytes": None}, "max_stderr_bytes"),
        ],
    )
    def test_wrong_types_name_the_parameter(self, kwargs, parameter):
        with pytest.raises(TypeError, match=f"'{parameter}'"):
            Command(["/bin/ls"], **kwargs)

    def test_argv_element_of_wrong_type(self):
        with pytest.raises(TypeError, match="'argv'"):
            Command(["/bin/echo", 3])

    @pytest.mark.parametrize("parameter", ["max_stdin_bytes", "max_stdout_bytes", "max_stderr_bytes"])
    @pytest.mark.parametrize("value", [-1, 2**64])
    def test_negative_or_huge_limit_is_the_interpreters_overflow(self, parameter, value):
        with pytest.raises(OverflowError):
            Command(["/bin/ls"], **{parameter: value})

    def test_binding_errors(self):
        with pytest.raises(TypeError, match="positional"):
            Command(["/bin/ls"], "/tmp")
        with pytest.raises(TypeError, match="unexpected keyword argument 'timeout_ms'"):
            Command(["/bin/ls"], timeout_ms=5)
        with pytest.raises(TypeError, match="missing required argument 'argv'"):
            Command()
        with pytest.raises(TypeError, match="multiple values for argument 'argv'"):
            Command(["/bin/ls"], argv=["/bin/ls"])
        assert Command(argv=["/bin/ls"]).argv == ["/bin/ls"]

    @pytest.mark.parametrize("timeout", [0, 0.0, -0.0, -1, math.nan, math.inf, -math.inf, 1e300])
    def test_bad_timeouts(self, timeout):
        with pytest.raises(ValueError, match=f"^{TIMEOUT_MESSAGE}$"):
            Command(["/bin/ls"], timeout=timeout)

    @pytest.mark.parametrize(
        "timeout", [5.0, 0.0001, 1e-320, 1.2345, 1, True, 18446744073709551.616]
    )
    def test_accepted_timeouts(self, timeout):
        Command(["/bin/ls"], timeout=timeout)

    def test_timeout_bound_is_two_to_the_64_milliseconds(self):
        # The largest double whose milliseconds round to at most 2**64 is
        # accepted (and saturates); the next one is refused.
        Command(["/bin/ls"], timeout=1.844674407370955e16)
        with pytest.raises(ValueError, match=TIMEOUT_MESSAGE):
            Command(["/bin/ls"], timeout=1.8446744073709556e16)

    def test_huge_int_timeout_overflows_as_the_interpreter_does(self):
        with pytest.raises(OverflowError):
            Command(["/bin/ls"], timeout=10**400)

    @pytest.mark.parametrize("parameter", ["max_stdin_bytes", "max_stdout_bytes", "max_stderr_bytes"])
    def test_zero_limit(self, parameter):
        with pytest.raises(ValueError, match=f"^{LIMIT_MESSAGE}$"):
            Command(["/bin/ls"], **{parameter: 0})

    def test_checks_run_in_order_argv_timeout_limits(self):
        with pytest.raises(ValueError, match=ARGV_MESSAGE):
            Command([], timeout=0, max_stderr_bytes=0)
        with pytest.raises(ValueError, match=TIMEOUT_MESSAGE):
            Command(["/bin/ls"], timeout=0, max_stderr_bytes=0)

    def test_conversions_happen_before_checks(self):
        # An empty argv is a value problem, a str timeout a type problem: the
        # type problem wins because every conversion runs first.
        with pytest.raises(TypeError, match="timeout"):
            Command([], timeout="soon")

    def test_lone_surrogate_in_argv_is_refused(self):
        with pytest.raises(UnicodeEncodeError):
            Command(["/bin/echo", "\udcff"])

    def test_no_other_attribute_readable_or_writable(self):
        command = Command(["/bin/ls"], env={"A": "1"}, timeout=2)
        for name in ["env", "inherit_env", "timeout", "timeout_ms", "max_stdout_bytes"]:
            assert not hasattr(command, name)
        with pytest.raises(AttributeError):
            command.argv = ["/bin/true"]
        with pytest.raises(AttributeError):
            command.cwd = "/tmp"
        with pytest.raises(AttributeError):
            command.extra = 1

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError):
            type("Sub", (Command,), {})


class TestPolicy:
    def test_defaults(self):
        Policy()
        Policy(network="disabled", enforcement="required", filesystem=[])

    def test_no_readable_attributes(self):
        policy = Policy(network="disabled")
        for name in ["network", "enforcement", "filesystem"]:
            assert not hasattr(policy, name)

    def test_keyword_only(self):
        with pytest.raises(TypeError, match="positional"):
            Policy("host")

    @pytest.mark.parametrize("network", ["Disabled", "HOST", "none", "", "host "])
    def test_unknown_network_is_case_sensitive(self, network):
        with pytest.raises(ValueError, match=f"^{NETWORK_MESSAGE}$"):
            Policy(network=network)

    @pytest.mark.parametrize("enforcement", ["Required", "best-effort", ""])
    def test_unknown_enforcement(self, enforcement):
        with pytest.raises(ValueError, match=f"^{ENFORCEMENT_MESSAGE}$"):
            Policy(enforcement=enforcement)

    def test_network_is_checked_before_enforcement_and_grants(self):
        with pytest.raises(ValueError, match=NETWORK_MESSAGE):
            Policy(network="x", enforcement="y", filesystem=[("/tmp", ["exec"])])
        with pytest.raises(ValueError, match=ENFORCEMENT_MESSAGE):
            Policy(enforcement="y", filesystem=[("/tmp", ["exec"])])

    def test_unknown_access_name_is_quoted(self):
        with pytest.raises(ValueError) as caught:
            Policy(filesystem=[("/tmp", ["read", "exec"])])
        assert str(caught.value) == 'unknown filesystem access "exec"; use read, write, or append'

    def test_first_unknown_name_is_reported(self):
        with pytest.raises(ValueError, match='"second"'):
            Policy(filesystem=[("/a", ["read"]), ("/b", ["write", "second", "third"])])

    @pytest.mark.parametrize(
        "name, literal",
        [
            ('say "hi"', r'"say \"hi\""'),
            ("back\\slash", r'"back\\slash"'),
            ("tab\there", r'"tab\there"'),
            ("new\nline\r", r'"new\nline\r"'),
            ("nul\0", r'"nul\0"'),
            ("bell\x07", r'"bell\u{7}"'),
            ("del\x7f", r'"del\u{7f}"'),
            ("it's", '"it\'s"'),
            ("caf\u00e9", '"caf\u00e9"'),
            ("nbsp\u00a0", r'"nbsp\u{a0}"'),
            ("zwj\u200d", r'"zwj\u{200d}"'),
            ("\u0301accent", r'"\u{301}accent"'),
            ("\U000e0001", r'"\u{e0001}"'),
        ],
    )
    def test_quoted_literal_escapes(self, name, literal):
        with pytest.raises(ValueError) as caught:
            Policy(filesystem=[("/tmp", [name])])
        assert str(caught.value) == f"unknown filesystem access {literal}; use read, write, or append"

    def test_access_names_accept_duplicates_and_path_likes(self):
        Policy(filesystem=[(pathlib.Path("/tmp"), ("read", "read", "write", "append"))])
        Policy(filesystem=(("relative/paths/are/checked/at/run/time", []),))

    @pytest.mark.parametrize(
        "filesystem",
        [
            "/tmp",
            42,
            [["/tmp", ["read"]]],  # a list, not a tuple
            [("/tmp", "read")],  # a single str of access names
            [(42, ["read"])],
            [(b"/tmp", ["read"])],
            [("/tmp", ["read", 1])],
            [("/tmp", None)],
        ],
    )
    def test_filesystem_type_errors(self, filesystem):
        with pytest.raises(TypeError, match="'filesystem'"):
            Policy(filesystem=filesystem)

    @pytest.mark.parametrize("grant", [(), ("/tmp",), ("/tmp", ["read"], "extra")])
    def test_grant_tuple_length(self, grant):
        with pytest.raises(ValueError, match="length 2"):
            Policy(filesystem=[grant])

    @pytest.mark.parametrize("kwargs", [{"network": None}, {"enforcement": 1}])
    def test_wrong_types_name_the_parameter(self, kwargs):
        (parameter,) = kwargs
        with pytest.raises(TypeError, match=f"'{parameter}'"):
            Policy(**kwargs)

    def test_type_errors_come_before_value_checks(self):
        with pytest.raises(TypeError, match="filesystem"):
            Policy(network="nope", filesystem=3)


class TestCancellationToken:
    def test_sticky(self):
        token = CancellationToken()
        assert token.cancelled() is False
        assert token.cancel() is None
        assert token.cancelled() is True
        token.cancel()
        assert token.cancelled() is True

    def test_tokens_are_independent(self):
        first, second = CancellationToken(), CancellationToken()
        first.cancel()
        assert second.cancelled() is False

    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            CancellationToken(True)
        with pytest.raises(TypeError):
            CancellationToken(cancelled=True)

    def test_cancel_from_another_thread(self):
        token = CancellationToken()
        thread = threading.Thread(target=token.cancel)
        thread.start()
        thread.join()
        assert token.cancelled()

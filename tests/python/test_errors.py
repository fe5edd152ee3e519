"""SupervisorError as raised by run(): message, code, phase, retry hint, and
the attributes that are present only when the error carries them; a failed
start explained by its cause."""

import errno
import os

import pytest

from quellar import CancellationToken, Command, Policy, SupervisorError, run
from quellar import _native
from support import linux_launcher

ABSENT_UNLESS_CARRIED = ("executable", "termination", "stderr_tail")


async def raised(command: Command, **kwargs) -> SupervisorError:
    with pytest.raises(SupervisorError) as caught:
        await run(command, **kwargs)
    return caught.value


async def test_validation_error_without_identity():
    error = await raised(Command(["/bin/true"], cwd="relative/dir"))
    assert str(error) == "the working directory path must be absolute"
    assert error.args == ("the working directory path must be absolute",)
    assert error.code == "relative_working_directory"
    assert error.phase == "validate"
    assert error.retryable is False
    for name in ABSENT_UNLESS_CARRIED:
        assert not hasattr(error, name), name
        with pytest.raises(AttributeError):
            getattr(error, name)


@pytest.mark.parametrize(
    "command, code, message",
    [
        (Command(["bin/true"]), "relative_executable", "the executable path must be absolute"),
        (
            Command(["/nonexistent/quellar-test"]),
            "invalid_executable",
            "the executable could not be resolved",
        ),
        (
            Command(["/bin/true"], env={"LD_PRELOAD": "/x.so"}),
            "forbidden_environment_variable",
            "the environment variable is forbidden in a sandboxed process",
        ),
    ],
)
async def test_validation_errors(command, code, message):
    error = await raised(command)
    assert (error.code, error.phase, str(error)) == (code, "validate", message)
    assert error.retryable is False


@pytest.mark.parametrize(
    "cwd, code, message",
    [
        (
            "/nonexistent/quellar-test",
            "invalid_working_directory",
            "the working directory could not be resolved",
        ),
        ("/", "working_directory_not_granted", "the working directory is outside the filesystem grants"),
    ],
)
async def test_working_directory_checked_against_grants(cwd, code, message):
    # Only a filesystem policy (even one granting nothing) makes validation
    # resolve the working directory.
    error = await raised(Command(["/bin/true"], cwd=cwd), policy=Policy(filesystem=[]))
    assert (error.code, error.phase, str(error)) == (code, "validate", message)
    assert not hasattr(error, "executable")


async def test_missing_working_directory_fails_the_spawn():
    error = await raised(Command(["/bin/true"], cwd="/nonexistent/quellar-test"))
    assert (error.code, error.phase) == ("spawn_failed", "spawn")
    assert error.executable == "/bin/true"


async def test_spawn_failure_carries_the_requested_executable(tmp_path):
    # Executable by its mode, but no format the kernel knows: exec fails
    # after validation has resolved the file.
    program = tmp_path / "not-a-program"
    program.write_bytes(b"\x00\x01\x02\x03 not an executable format\n")
    program.chmod(0o755)
    link = tmp_path / "link-to-it"
    link.symlink_to(program)

    error = await raised(Command([str(link)]))
    assert error.code == "spawn_failed"
    assert error.phase == "spawn"
    assert str(error) == "failed to spawn the sandboxed process"
    # The path as requested, not the resolved one.
    assert error.executable == str(link)
    assert not hasattr(error, "termination")
    assert not hasattr(error, "stderr_tail")


async def test_every_error_is_the_one_class():
    error = await raised(Command(["bin/true"]))
    assert type(error) is _native.SupervisorError
    assert isinstance(error, Exception)
    assert type(error).__module__ == "_native"


async def test_message_never_carries_os_detail(tmp_path):
    error = await raised(Command([str(tmp_path / "missing")]))
    assert str(error) == "the executable could not be resolved"
    assert error.__cause__ is None


async def test_the_token_is_cancelled_by_a_failed_run_before_the_error_is_seen():
    token = CancellationToken()
    for _ in range(20):
        with pytest.raises(SupervisorError):
            await run(Command(["bin/true"]), cancellation=token)
        assert token.cancelled()
        token = CancellationToken()


class TestSpawnFailureCause:
    """The message of a failed start stays fixed; __cause__ says why, as the
    OSError subprocess would raise."""

    async def test_a_file_that_cannot_be_executed(self, tmp_path):
        script = tmp_path / "script"
        script.write_text("#!/bin/sh\n")
        script.chmod(0o644)
        error = await raised(Command([str(script)]))
        assert (error.code, str(error)) == ("spawn_failed", "failed to spawn the sandboxed process")
        cause = error.__cause__
        assert isinstance(cause, PermissionError)
        assert (cause.errno, cause.strerror, cause.filename) == (
            errno.EACCES,
            os.strerror(errno.EACCES),
            str(script),
        )

    async def test_a_missing_working_directory(self, tmp_path):
        error = await raised(Command(["/bin/true"], cwd=tmp_path / "missing"))
        assert error.code == "spawn_failed"
        assert isinstance(error.__cause__, FileNotFoundError)
        assert error.__cause__.errno == errno.ENOENT

    async def test_an_argument_list_too_long(self):
        error = await raised(Command(["/bin/true", "x" * 200_000] * 20))
        assert error.code == "spawn_failed"
        assert error.__cause__.errno == errno.E2BIG
        assert error.__cause__.filename is None

    @pytest.mark.parametrize(
        "command",
        [Command(["/bin/echo", "a\0b"]), Command(["/bin/true"], env={"V": "a\0b"})],
    )
    async def test_a_nul_byte(self, command):
        error = await raised(command)
        assert error.code == "spawn_failed"
        cause = error.__cause__
        assert type(cause) is OSError
        assert (cause.errno, str(cause)) == (None, "nul byte found in provided data")

    @linux_launcher
    async def test_a_grant_through_a_symbolic_link(self, tmp_path):
        # Refused by the launcher before the program starts: the cause names
        # the link and the launcher's stage that refused it.
        target = tmp_path / "target"
        target.mkdir()
        link = tmp_path / "link"
        link.symlink_to(target)
        error = await raised(Command(["/bin/true"]), policy=Policy(filesystem=[(str(link), ["read"])]))
        assert (error.code, str(error)) == ("spawn_failed", "failed to spawn the sandboxed process")
        cause = error.__cause__
        assert isinstance(cause, OSError)
        assert (cause.errno, cause.filename) == (errno.ELOOP, str(link))
        assert getattr(cause, "stage", None) == "grant"
        # Control: the resolved path is granted.
        assert (await run(Command(["/bin/true"]), policy=Policy(filesystem=[(str(target), ["read"])]))).success

    async def test_other_errors_have_no_cause(self):
        error = await raised(Command(["/bin/true"], env={"LD_PRELOAD": "/x.so"}))
        assert error.__cause__ is None

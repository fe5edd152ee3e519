"""Real programs started as a shell would start them: under the name they
were called by, with a /proc of their own when contained, and with the files
common toolchains read at start-up."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import quellar
from quellar import Command, Policy, run
from support import linux_launcher, require_pid_namespace



def contained(*grants: tuple[str, list[str]]) -> Policy:
    return Policy(network="disabled", filesystem=list(grants))


@pytest.fixture(scope="module")
def venv(tmp_path_factory) -> pathlib.Path:
    """A virtual environment of the interpreter running the tests, whose
    bin/python is a symbolic link to that interpreter."""
    root = tmp_path_factory.mktemp("project") / ".venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root)], check=True)
    return root


class TestTheNameAProgramIsCalledBy:
    async def test_a_virtual_environment_finds_itself(self, venv):
        python = venv / "bin" / "python"
        assert python.is_symlink()
        command = Command([str(python), "-c", "import sys; print(sys.prefix)"])
        expected = subprocess.run(command.argv, capture_output=True, check=True).stdout
        assert expected.strip() == str(venv).encode()
        assert (await run(command)).stdout == expected

    @linux_launcher
    async def test_a_virtual_environment_finds_itself_contained(self, venv):
        python = venv / "bin" / "python"
        base = pathlib.Path(os.path.realpath(python)).parent.parent
        command = Command([str(python), "-c", "import sys; print(sys.prefix)"])
        result = await run(command, policy=contained((str(venv), ["read"]), (str(base), ["read"])))
        assert result.stdout.strip() == str(venv).encode(), result.stderr

    @pytest.mark.parametrize("contain", [False, True])
    async def test_a_link_to_a_shell_sees_its_own_name(self, tmp_path, contain):
        if contain and not quellar.platform_capabilities()["filesystem_isolation"]:
            pytest.skip("needs the Linux launcher")
        link = tmp_path / "my-shell"
        link.symlink_to("/bin/sh")
        policy = contained((str(tmp_path), ["read"])) if contain else None
        result = await run(Command([str(link), "-c", 'echo "$0"']), policy=policy)
        assert result.stdout == f"{link}\n".encode()
        # What runs is still the resolved file.
        assert result.termination == "exited"


@linux_launcher
class TestAProcOfItsOwn:
    async def test_only_the_runs_own_processes_are_listed(self):
        require_pid_namespace()
        result = await run(Command(["/bin/ls", "/proc"]), policy=contained())
        pids = [int(name) for name in result.stdout.split() if name.isdigit()]
        # The launcher's init and ls itself; nothing of the host (this test's
        # own pid is far above).
        assert 1 <= len(pids) <= 3, result.stdout
        assert os.getpid() not in pids
        assert max(pids) < 10

    async def test_a_program_can_read_about_itself(self):
        require_pid_namespace()
        script = "import os; print(os.readlink('/proc/self/exe')); print(len(os.listdir('/proc/self/fd')))"
        result = await run(Command(["/usr/bin/python3", "-c", script]), policy=contained())
        exe, fds = result.stdout.split()
        assert exe == os.path.realpath("/usr/bin/python3").encode()
        assert int(fds) >= 3


def tool(path: str, *args: str) -> list[str]:
    if shutil.which(path) is None:
        pytest.skip(f"{path} is not installed")
    return [shutil.which(path), *args]


@linux_launcher
@pytest.mark.parametrize(
    "argv",
    [
        ("valgrind", "-q", "/bin/true"),
        ("javac", "-version"),
        ("java", "-version"),
        ("node", "-e", "console.log(6 * 7)"),
        ("rustc", "--version"),
        ("git", "--version"),
        ("/usr/bin/cmake", "--version"),
    ],
    ids=lambda argv: os.path.basename(argv[0]),
)
async def test_common_toolchains_start_contained(tmp_path, argv):
    command = tool(*argv)
    grants = [(str(tmp_path), ["read", "write"])]
    env = {"HOME": str(tmp_path), "TMPDIR": str(tmp_path), "PATH": "/usr/bin:/bin"}
    if not command[0].startswith("/usr/"):
        # A tool installed outside /usr (rustup's proxies under ~/.cargo):
        # its prefix, and rustup's toolchains.
        grants.append((str(pathlib.Path(command[0]).parent.parent), ["read"]))
        rustup = pathlib.Path.home() / ".rustup"
        if rustup.is_dir():
            grants.append((str(rustup), ["read"]))
            env["RUSTUP_HOME"] = str(rustup)
    result = await run(
        Command(command, cwd=str(tmp_path), env=env, timeout=60, max_stdout_bytes=1 << 20),
        policy=Policy(network="disabled", filesystem=grants),
    )
    assert result.success, result.stdout + result.stderr


@pytest.mark.parametrize("contain", [False, True])
async def test_every_signal_starts_at_its_default(contain):
    # As subprocess starts a program: nothing ignored, nothing blocked, the
    # C library's own signals (32, 33) included.
    if contain:
        require_pid_namespace()  # a /proc of its own
    result = await run(Command(["/bin/grep", "-E", "^Sig(Ign|Blk)", "/proc/self/status"]),
                       policy=contained() if contain else None)
    assert result.stdout.split() == [b"SigBlk:", b"0000000000000000", b"SigIgn:", b"0000000000000000"]

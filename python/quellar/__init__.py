"""Run untrusted command-line tools from asyncio: supervised, contained, bounded."""

from quellar._native import (
    CancellationToken,
    Command,
    OutputEvent,
    OutputStream,
    Policy,
    RunResult,
    SupervisorError,
    platform_capabilities,
    run,
    stream,
)

__all__ = [
    "CancellationToken",
    "Command",
    "OutputEvent",
    "OutputStream",
    "Policy",
    "RunResult",
    "SupervisorError",
    "platform_capabilities",
    "run",
    "stream",
]

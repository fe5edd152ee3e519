"""Run untrusted command-line tools from asyncio: supervised, contained, bounded."""

from quellar._native import (
    CancellationToken,
    Command,
    Policy,
    RunResult,
    SupervisorError,
    platform_capabilities,
    run,
)

__all__ = [
    "CancellationToken",
    "Command",
    "Policy",
    "RunResult",
    "SupervisorError",
    "platform_capabilities",
    "run",
]

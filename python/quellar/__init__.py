"""Run untrusted command-line tools from asyncio: supervised, contained, bounded."""

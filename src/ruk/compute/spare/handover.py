"""The claim, as it goes over a spare's Unix socket.

The claimer sends one line: the key and the spare's secret (from its
record). The spare answers with one line, the gateway's port and secret and
the JVM's pid, and passes with it, as SCM_RIGHTS, the JVM's stdin (write
end), stdout and stderr (read ends) and a pidfd of the JVM. Each side checks
that the other runs as the same user (SO_PEERCRED). A line is at most
MESSAGE_LIMIT bytes; whoever does not get a whole one in time gives up.
"""

from __future__ import annotations

import json
import os
import socket
import struct
from typing import Any, Dict, List, Optional, Tuple

__all__ = ["FD_NAMES", "peer", "send_message", "receive_message", "close_all"]

# The descriptors an answer passes, in order.
FD_NAMES = ("stdin", "stdout", "stderr", "pidfd")
MESSAGE_LIMIT = 4096
_CREDENTIALS = struct.Struct("3i")  # pid, uid, gid


def peer(connection: socket.socket) -> Tuple[int, int]:
    """The connected process's pid and user id."""
    pid, uid, _ = _CREDENTIALS.unpack(
        connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, _CREDENTIALS.size))
    return pid, uid


def send_message(connection: socket.socket, message: Dict[str, Any], fds: List[int] = ()) -> None:
    data = json.dumps(message).encode() + b"\n"
    if len(data) > MESSAGE_LIMIT:
        raise ValueError("message too long")
    sent = socket.send_fds(connection, [data], list(fds)) if fds else connection.send(data)
    if sent < len(data):
        connection.sendall(data[sent:])


def receive_message(connection: socket.socket, fd_count: int = 0) -> Tuple[Optional[Dict[str, Any]], List[int]]:
    """One line and the descriptors that came with it (close-on-exec, owned
    by the caller even when the line is unreadable); (None, fds) without one."""
    data, fds, flags, _ = socket.recv_fds(connection, MESSAGE_LIMIT, fd_count, socket.MSG_CMSG_CLOEXEC)
    try:
        while data and not data.endswith(b"\n") and len(data) < MESSAGE_LIMIT:
            more = connection.recv(MESSAGE_LIMIT - len(data))
            if not more:
                break
            data += more
        if flags & socket.MSG_CTRUNC or not data.endswith(b"\n") or len(fds) != fd_count:
            return None, fds
        message = json.loads(data)
    except (OSError, ValueError):
        return None, fds
    return (message if isinstance(message, dict) else None), fds


def close_all(fds: List[int]) -> None:
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass

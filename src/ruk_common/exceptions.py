"""Exceptions shared by the mur tool's packages."""


class RukError(Exception):
    """Base of every error the tool raises on purpose."""


class RukRuntimeError(RukError):
    """A failure the user must act on; its single argument is the message shown."""

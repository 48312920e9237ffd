"""Exceptions shared by the mur tool's packages."""


class RukError(Exception):
    """Base of every error the tool raises on purpose. Its message is its
    first argument, shown as it is; callers catch the subclass they expect
    (RukRuntimeError from the local strategy, the `mur` command's own)."""


class RukRuntimeError(RukError):
    """A failure the user must act on; its single argument is the message shown."""

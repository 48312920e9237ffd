"""The Java the user recorded with `mur java set`: ~/.mur/java.json, a home or
a major version."""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import dataclass
from typing import Optional

from ruk.compute.host.home import JAVA_CHOICE_NAME, mur_directory, mur_entry


@dataclass(frozen=True)
class JavaChoice:
    """The user's recorded preference: a Java home or a major version (one of the two)."""

    home: Optional[str] = None
    major: Optional[int] = None


def java_choice_path() -> Optional[str]:
    """The file `mur java set` writes: ~/.mur/java.json; None without a usable home."""
    return mur_entry(JAVA_CHOICE_NAME)


def read_java_choice(path: Optional[str] = None) -> Optional[JavaChoice]:
    """The recorded choice, or None when there is none or the file is unusable."""
    path = path or java_choice_path()
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict):
        return None
    home = data.get("java_home")
    major = data.get("major")
    if isinstance(home, str) and home:
        return JavaChoice(home=home)
    if type(major) is int:
        return JavaChoice(major=major)
    return None


def save_java_choice(choice: JavaChoice, path: Optional[str] = None) -> str:
    """Write the choice atomically (a reader sees the old file or the new one); returns the path."""
    if (choice.home is None) == (choice.major is None):
        raise ValueError("a Java choice names either a home or a major version")
    if path is None and mur_directory(create=True) is None:
        raise OSError("no usable home directory (HOME is unset or not an absolute path)")
    target = path or java_choice_path()
    directory = os.path.dirname(target)
    os.makedirs(directory, exist_ok=True)
    payload = {"java_home": choice.home} if choice.home is not None else {"major": choice.major}
    fd, tmp = tempfile.mkstemp(prefix=".java.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(payload, f)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return target


def clear_java_choice(path: Optional[str] = None) -> bool:
    """Forget the recorded choice; False when there was none."""
    path = path or java_choice_path()
    if path is None:
        return False
    try:
        os.unlink(path)
    except FileNotFoundError:
        return False
    return True

"""After a start that launched its driver JVM itself: a spare for the next
start with the same launch key, started detached.

Best effort and quick: no spare when spares are off, when one of that key
lives already, or when the start is waiting for its set-up's archive (the
next start's launch will map it, another key). The spare process (program)
decides under the folder's lock whether it stays (one per key, at most
MAX_PER_USER per user: the oldest make room).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from typing import Any, Dict, List, Optional

from ruk.compute.spare import registry
from ruk.compute.spare.launch_key import key_of

__all__ = ["offer", "LOG_NAME"]

LOG_NAME = "spare.log"
LOG_LIMIT = 1 << 20

# The start's child forks the spare and ends at once: the start reaps it,
# and the spare leads a session of its own. -I: neither the working
# directory nor the user's site paths reach sys.path; `import_roots` are
# where the start imported ruk, PySpark and py4j.
_BOOTSTRAP = """\
import os, sys
if os.fork():
    os._exit(0)
os.setsid()
import json, site
site.main()
with open(sys.argv[1], "rb") as f:
    job = json.loads(f.read())
os.unlink(sys.argv[1])
sys.path.extend(p for p in job["import_roots"] if p not in sys.path)
from ruk.compute.spare.program import spare_main
sys.exit(spare_main(job))
"""


def _import_roots() -> List[str]:
    roots = []
    for module in (sys.modules[__name__.split(".")[0]], sys.modules.get("pyspark"), sys.modules.get("py4j")):
        file = getattr(module, "__file__", None)
        if file:
            roots.append(os.path.dirname(os.path.dirname(os.path.abspath(file))))
    return roots


def _archive_coming(plan: Any) -> bool:
    """Whether the start (`plan`, start.plan.StartPlan) asked for its
    set-up's archive to be built: the next start will map it, so a spare of
    this start's launch would wait in vain."""
    asked = getattr(plan, "archive", None)
    return asked is not None and asked.get("archive") is None and asked.get("unusable") is None


def spawn(folder: str, key: str, inputs: Dict[str, Any]) -> subprocess.Popen:
    """The detached spare for `key`, started in the start's directory with its environment."""
    job = {"folder": folder, "key": key, "inputs": inputs, "import_roots": _import_roots()}
    # The job, the environment among it, in a private file of the private folder.
    fd, job_path = tempfile.mkstemp(prefix=".job-", suffix=".json", dir=folder)
    with os.fdopen(fd, "w") as f:
        json.dump(job, f)
    log_fd = os.open(os.path.join(folder, LOG_NAME),
                     os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    try:
        if os.fstat(log_fd).st_size > LOG_LIMIT:
            os.ftruncate(log_fd, 0)
        child = subprocess.Popen([sys.executable, "-I", "-S", "-u", "-c", _BOOTSTRAP, job_path],
                                 cwd=inputs["directory"], env=inputs["environment"], stdin=subprocess.DEVNULL,
                                 stdout=log_fd, stderr=log_fd, start_new_session=True, close_fds=True)
    except BaseException:
        os.unlink(job_path)
        raise
    finally:
        os.close(log_fd)
    try:
        child.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass  # reaped when the Popen goes
    return child


def offer(inputs: Optional[Dict[str, Any]], plan: Any) -> Optional[subprocess.Popen]:
    """After a start of `plan` that succeeded on the JVM of the launch
    `inputs` tells of (claim's answer): starts a spare for the next such
    launch, unless spares are off, one of that key lives, or an archive for
    it is coming. Never raises an Exception; returns the spare's short-lived
    parent, if any."""
    try:
        if inputs is None or not registry.enabled() or _archive_coming(plan):
            return None
        folder = registry.directory(create=True)
        if folder is None:
            return None
        key = key_of(inputs)
        record = registry.read_record(registry.record_path(folder, key))
        if record is not None and registry.is_live(record):
            return None
        return spawn(folder, key, inputs)
    except Exception:
        return None

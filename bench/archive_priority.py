"""What the archive builder costs other work, by priority scheme.

    python3 bench/archive_priority.py [SCHEME ...]    # about 4 minutes per scheme at most

With one busy loop per core running, builds this set-up's archive once per
scheme (niceness, the session's autogroup niceness, SCHED_IDLE or not) in a
throwaway home, and reports the build's wall time, the CPU time it used and
the cores it took on average: the share of the machine the other work lost.
A build still running at CAP seconds (environment, default 240) is ended.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

SCHEMES = {
    "nice0": dict(idle=False, nice=0),
    "nice10": dict(idle=False, nice=10),
    "nice15": dict(idle=False, nice=15),
    "nice19": dict(idle=False, nice=19),
    "idle+nice19": dict(idle=True, nice=19),
}

# The builder as archive_builder starts it in the background, with the
# scheme's priority instead of the chosen one.
BUILD = """
import json, os, sys
from ruk.compute.archive import build as archive_build
from ruk.compute.archive import spawn as archive_builder
scheme, directory, key, spec = json.loads(sys.argv[1])
if scheme["idle"]:
    os.sched_setscheduler(0, os.SCHED_IDLE, os.sched_param(0))
os.setpriority(os.PRIO_PROCESS, 0, scheme["nice"])
archive_builder.BUILDER_NICE = scheme["nice"]
archive_build._wait_for_spare_core = lambda: True
sys.exit(archive_build.build_main(dict(spec, directory=directory, key=key, lock_fd=None, stop_at_home=False,
                                       import_roots=[])))
"""


def main() -> None:
    from ruk.commands.archive import _request
    from ruk.compute.host.processes import end_session, session_cpu

    cap = float(os.environ.get("CAP", "240"))
    root = tempfile.mkdtemp(prefix="archive-priority-")
    os.environ.update(MUR_CDS_LOCK_DIR=os.path.join(root, "lock"), MUR_CDS_DIR=os.path.join(root, "asked"))
    os.environ.pop("MUR_SPARK_CDS", None)
    asked, why = _request({})
    if asked is None:
        sys.exit(f"no archive for this set-up: {why}")
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 1)]
    try:
        for name in sys.argv[1:] or list(SCHEMES):
            directory = os.path.join(root, name)
            os.mkdir(directory, 0o700)
            job = json.dumps([SCHEMES[name], directory, asked["key"], asked["spec"]])
            with open(os.path.join(directory, "out.log"), "w") as log:
                builder = subprocess.Popen([sys.executable, "-c", BUILD, job], cwd=directory, stdout=log,
                                           stderr=subprocess.STDOUT, start_new_session=True)
            started, used = time.monotonic(), 0.0
            while builder.poll() is None and time.monotonic() - started < cap:
                time.sleep(1)
                used = max(used, session_cpu(builder.pid))
            wall = time.monotonic() - started
            if builder.poll() is None:
                end_session(builder.pid, 0.0, builder.poll)
                builder.wait()
            print(json.dumps(dict(scheme=name, built=builder.returncode == 0 and wall < cap, wall_s=round(wall, 1),
                                  cpu_s=round(used, 1), cores_taken=round(used / wall, 2),
                                  load=os.getloadavg()[0])), flush=True)
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()

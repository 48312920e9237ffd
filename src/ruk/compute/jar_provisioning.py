"""Spark settings that put a project's JDBC driver JARs on the class path."""

from __future__ import annotations

import glob
import os
from typing import Dict, List, Optional, Set

__all__ = ["LocalJARProvisioning", "find_project_jars"]


def find_project_jars(project_dir: str) -> List[str]:
    """The JARs in the project's `.mur/jdbc_jars`, sorted; [] when there are none.

    Only that directory, names ending in ".jar" (case-sensitive), hidden names
    skipped. The directory part is escaped so a project path holding "[", "*"
    or "?" is taken literally.
    """
    jar_dir = os.path.join(project_dir, ".mur", "jdbc_jars")
    return sorted(glob.glob(os.path.join(glob.escape(jar_dir), "*.jar")))


class LocalJARProvisioning:
    """JDBC JAR provisioning for Spark running on this machine: the project's own JARs."""

    def __init__(self, project_dir: str) -> None:
        self.project_dir = project_dir

    def get_spark_config(self, adapter_types: Optional[Set[str]] = None) -> Dict[str, str]:
        """Spark settings for the project's JARs, {} when it has none.

        `adapter_types` is accepted for the provisioning interface and not
        used: every JAR the project holds goes on the class path.
        """
        jars = find_project_jars(self.project_dir)
        if not jars:
            return {}
        class_path = ":".join(jars)
        return {
            "spark.jars": ",".join(jars),
            "spark.driver.extraClassPath": class_path,
            "spark.executor.extraClassPath": class_path,
        }

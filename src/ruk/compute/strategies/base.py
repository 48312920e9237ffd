"""The interface every compute connection strategy implements."""

import abc
from typing import Any, Dict, Optional, Set, Tuple


class BaseConnectionStrategy(abc.ABC):
    """A way of reaching a Spark engine: locally, or on a remote platform."""

    def __init__(self, config: Dict[str, Any], app_name: str = "mur") -> None:
        self.config = config
        self.app_name = app_name

    @abc.abstractmethod
    def validate_config(self) -> None:
        """Raise when the strategy's configuration is unusable."""

    @abc.abstractmethod
    def get_spark_session(self, adapter_types: Optional[Set[str]] = None) -> Any:
        """Return a ready Spark session for this strategy's configuration."""

    @abc.abstractmethod
    def close(self, spark: Any) -> None:
        """Release a session obtained from get_spark_session."""

    @abc.abstractmethod
    def estimate_cost(self, duration_minutes: float) -> float:
        """Estimated cost of running for the given number of minutes."""

    @abc.abstractmethod
    def get_platform_name(self) -> str:
        """Short name of the platform the strategy runs on."""

    @abc.abstractmethod
    def get_jar_provisioning_config(self, adapter_types: Set[str]) -> Dict[str, str]:
        """Spark settings that put the needed JDBC driver JARs on the class path."""

    @abc.abstractmethod
    def test_connectivity(self) -> Tuple[bool, str]:
        """Check that the platform can be reached: (success, message)."""

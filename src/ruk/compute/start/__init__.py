"""What a local session start does: its plan, the driver JVM's launch, PySpark's internals, Spark ML's functions."""

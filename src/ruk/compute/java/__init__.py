"""Finding a Java that the installed PySpark runs on: probing homes, and the user's choice."""

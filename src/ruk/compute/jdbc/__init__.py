"""The project's JDBC drivers: reading a JAR's drivers, the bounded download, `mur jdbc add` and `remove`."""

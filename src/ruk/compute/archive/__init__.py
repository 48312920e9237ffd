"""The driver JVM's class-data-sharing archive: which one a start uses, its files, its builder and its status."""

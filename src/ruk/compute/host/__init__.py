"""The user's machine: the home folder with ~/.mur, and whether a process runs."""

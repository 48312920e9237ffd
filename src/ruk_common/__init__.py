"""Shared pieces of the mur tool's packages."""

"""The command families of `mur`, one module each."""

"""Run-wide settings, exit status and exceptions (extension modules)."""

"""Command-line tools: rollprobe and cellscan (extension modules)."""

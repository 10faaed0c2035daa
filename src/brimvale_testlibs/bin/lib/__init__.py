"""Discovery libraries and package services (extension modules)."""

"""The egress test that runs on a test instance (see tests.py)."""

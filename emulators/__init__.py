"""Local stand-ins for the cloud and the controller, for tests and the demo."""

"""Models of the host package."""

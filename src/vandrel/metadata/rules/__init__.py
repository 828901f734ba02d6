"""Rules between columns."""

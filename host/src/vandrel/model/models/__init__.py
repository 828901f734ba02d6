"""Column models. The native ``string`` module is imported on demand."""

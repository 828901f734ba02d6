"""Column metadata of the host package."""

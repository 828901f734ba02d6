"""Stand-in for the host data-generation package.

Only the pieces that the native string models build on are here: the generic
model bases, the column metadata, the host's exceptions and the association
rule type. They are small, plain Python, and behave as the real host does at
the points the native module touches.
"""

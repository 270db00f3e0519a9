"""Leak-check operations, one file per native module: `operations(module, env)` yields them."""

"""Small utilities shared across tarvik."""

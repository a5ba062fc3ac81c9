"""Minimal stand-in for the outside base library nyxel (see standin/README.md)."""

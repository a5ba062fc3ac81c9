"""Allocator protocol package of the nyxel stand-in."""

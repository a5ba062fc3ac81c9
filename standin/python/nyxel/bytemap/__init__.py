"""Byte map package of the nyxel stand-in."""

"""Memory blocks of the nyxel stand-in."""


class MemoryBlock:
    """Placeholder type of the stand-in base library."""

"""Environment configuration of the nyxel stand-in."""


class EnvConfigContext:
    """Placeholder type of the stand-in base library."""

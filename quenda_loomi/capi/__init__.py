"""Topic module and its native spine."""

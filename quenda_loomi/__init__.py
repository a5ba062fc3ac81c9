"""Event-processing engine: topic layer and allocator configuration."""

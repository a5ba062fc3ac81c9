"""Engine allocator configuration."""

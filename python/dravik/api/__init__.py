"""Message modules of the work-cell API, generated from the .proto sources at build time."""

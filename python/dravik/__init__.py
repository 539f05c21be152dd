"""Protocol-buffer messages shared with the work-cell runtime."""

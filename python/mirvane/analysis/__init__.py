"""What a record tells of its run, found from its products alone: its events."""

"""The sample pick-and-place cell, simulated: recordings to replay, inspect and test with."""

"""File formats: recordings a record at a time, MCAP files and Rerun recordings.

They build on ``mirvane.records`` and the companions alone: the exports take a
record's events as given (``events=``), and ``mirvane.data.Data`` reads a
recording through ``recordings``, the one module that tells the formats apart.
"""

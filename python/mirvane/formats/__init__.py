"""File formats: recordings a record at a time, MCAP files and Rerun recordings.

Recording files themselves are ``mirvane.data``, a companion the native replay imports.
"""

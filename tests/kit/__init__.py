"""Helpers shared by the tests: reading through the private reader API
(reader), data blocks (blocks), description records (records), analyses
(qual), comparisons of results (compare) and conversion runs (conversion)."""

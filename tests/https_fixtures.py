"""HTTPS release server fixtures (filled in by the engine tests)."""

"""Virtual display fixtures (filled in by the window tests)."""

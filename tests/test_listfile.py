"""List file (placeholder until the list file tests are written)."""

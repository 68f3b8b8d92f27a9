"""Python companions of zel_core: reusable grammar leaves and decoding loops."""

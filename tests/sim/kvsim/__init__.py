"""Simulated device for the client's tests (see tests/sim/README.md)."""

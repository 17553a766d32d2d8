"""The console harness, also where web/tools/measure.py imports it from."""
from kx29sim import Console  # noqa: F401

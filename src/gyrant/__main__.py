"""python3 -m gyrant: the command line."""
from gyrant.cli import entry_point

entry_point()

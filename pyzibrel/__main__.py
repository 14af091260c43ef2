"""`python -m pyzibrel`: see pyzibrel.cli."""
import sys

from .cli import main

sys.exit(main())

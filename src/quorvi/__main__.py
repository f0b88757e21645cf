"""`python -m quorvi`: the quorvi command."""
import sys

from .cli import main

sys.exit(main())

"""`python -m velum`: the command-line tool."""

import sys

from velum._cli import main

sys.exit(main())

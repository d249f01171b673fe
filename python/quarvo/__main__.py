"""`python -m quarvo`: the `quarvo` command."""

import sys

from quarvo.cli import main

sys.exit(main())

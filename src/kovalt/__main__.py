import sys

from kovalt.cli import main

sys.exit(main())

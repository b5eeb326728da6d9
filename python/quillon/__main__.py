"""``python -m quillon``: the command line."""

from quillon.cli.main import main

raise SystemExit(main())

from veltrac.cli import main

raise SystemExit(main())

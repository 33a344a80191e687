import sys

from updater_release import main

sys.exit(main())

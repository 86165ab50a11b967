#!/usr/bin/env bash
# Builds vorlane and runs the example: reads examples/catalog.xml (or the XML file
# given as the first argument, with an optional root tag as the second).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$vorlane_root"
vorlane_install
python examples/example.py "$@"

#!/usr/bin/env bash
# Set-up, build and run the main job as far as it exists.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
echo
./build/cli/velorin-update catalogue

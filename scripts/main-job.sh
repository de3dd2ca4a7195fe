#!/bin/bash
# The main job: sets up, builds the shipped programs and shows what they are.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
scripts/build.sh win32 native
scripts/check-binaries.sh

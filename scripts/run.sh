#!/usr/bin/env bash
# Builds the project and runs what it offers now: vci-ident-tool on a sample
# registry in a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
tool=build/tools/vci-ident-tool
"$tool" --help

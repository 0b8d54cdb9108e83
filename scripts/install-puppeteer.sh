#!/usr/bin/env bash
# Installs puppeteer-core (the DevTools-protocol driver the review page's
# browser test uses with Debian's chromium) into BUILD_DIR/node, unless it
# is there already. Without npm or the registry the test skips itself.
set -euo pipefail
dir=${1:?usage: install-puppeteer.sh BUILD_DIR}/node
[ -d "$dir/node_modules/puppeteer-core" ] && exit 0
command -v npm >/dev/null || { echo "npm missing: the review page's browser test will skip"; exit 0; }
mkdir -p "$dir"
# PUPPETEER_SKIP_DOWNLOAD: the system's chromium is used, no browser is fetched.
(cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm install --no-save --no-audit --no-fund --prefix . puppeteer-core@24 >/dev/null) ||
  echo "puppeteer-core could not be installed: the review page's browser test will skip"

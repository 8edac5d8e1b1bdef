#!/usr/bin/env bash
# Prints the fuzz harness names of fuzz/targets.txt, one a line, for the
# scripts that build, fuzz or replay every harness.
set -euo pipefail
grep -E '^[a-z_]+$' "$(dirname "$0")/../fuzz/targets.txt"

#!/usr/bin/env bash
# Runs the README's "Main job" command exactly as written there, from the
# repository root as a newcomer would, so the command a newcomer copies
# cannot go stale. The demo's picture lands in a scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."

command=$(awk '/^## Main job/{section=1; next} /^## /{section=0}
               section && /^```sh$/{inside=1; next}
               inside && /^```$/{exit}
               inside{print}' README.md)
if [[ -z "$command" ]]; then
  echo "readme-main-job: no sh block under '## Main job' in README.md" >&2
  exit 1
fi
echo "+ $command"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The command starts with ./scripts and installs ".": it runs from the root;
# only the demo's output is moved out of the tree.
bash -euo pipefail -c "$command"
if [[ ! -s quillmere-demo.png ]]; then
  echo "readme-main-job: the demo wrote no quillmere-demo.png" >&2
  exit 1
fi
mv quillmere-demo.png "$scratch/"

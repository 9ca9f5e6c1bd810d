#!/usr/bin/env bash
# Fine-tunes shipped networks for measured data: each starts from its
# models/NAME.eisnn (weights and target normalisation) and trains a few
# epochs at a lower learning rate on spectra of which 60 % carry the
# defects of measured data (training/generate.py, realistic()), the rest
# clean draws as before. Writes OUT_DIR/NAME.eisnn (default models/), logs
# to training/runs/. Run from anywhere with the module built in build/:
#   OUT_DIR=/tmp/nets nohup bash training/finetune_real.sh two_rq two_rq_l > training/runs/finetune.out 2>&1 &
# then check each file with benchmarks/bench_guess.py and
# benchmarks/bench_real.py before copying it into models/.
set -euo pipefail
cd "$(dirname "$0")/.."
export PYTHONPATH="${PYTHONPATH:-build}"
OUT_DIR="${OUT_DIR:-models}"
mkdir -p training/runs "$OUT_DIR"
INIT_DIR="${INIT_DIR:-models}"
# The recipe; every setting can be overridden from the environment (the
# shipped sei_randles and sei_randles_wo ran a second, gentler recipe:
# REALISTIC=0.5 SAMPLES=40000 EPOCHS=6 LR=3e-4 SEED=12, see README.md).
REALISTIC="${REALISTIC:-0.6}"
SAMPLES="${SAMPLES:-16000}"
EPOCHS="${EPOCHS:-5}"
LR="${LR:-1e-3}"
SEED="${SEED:-11}"

names=${*:-"two_rq two_rq_l sei_randles_wo rq rq_l randles sei_randles two_rc two_rc_l rc rc_l"}
for name in $names; do
    echo "$(date +%T) start $name"
    python3 training/train.py "$name" --init "$INIT_DIR/$name.eisnn" --out "$OUT_DIR/$name.eisnn" \
        --realistic "$REALISTIC" --samples "$SAMPLES" --epochs "$EPOCHS" --lr "$LR" --seed "$SEED"
    echo "$(date +%T) done $name"
done

"""Trains one shipped initial-guess network and exports models/NAME.eisnn.

    PYTHONPATH=build python3 training/train.py rq --samples 40000 --epochs 12

The data are drawn once (training/generate.py) and reused across epochs;
a held-out share is used for the validation loss. The network predicts
a mean and a log-variance per parameter and is trained with the Gaussian
negative log-likelihood, AdamW and a cosine learning-rate schedule after a
short linear warm-up. The export stores half-float weights and float32
tables; it is then read back with read_eisnn and run through eisnn.guess
(the float64 reference of the module's inference) on spectra drawn with a
different seed, and compared with the trained float32 network.
"""

from __future__ import annotations

import argparse
import copy
import json
import math
import pathlib
import sys
import time

import numpy as np
import torch

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import eisnn  # noqa: E402
import generate  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
RUNS = ROOT / "training" / "runs"
HALF_LN_2PI = 0.5 * math.log(2 * math.pi)
LOGVAR_RANGE = (-12.0, 8.0)
VERIFY_SPECTRA = 64
VERIFY_SEED_OFFSET = 1_000_003


def gaussian_nll(out: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
    """Per-element Gaussian negative log-likelihood of y under (mean, log-variance)."""
    p = y.shape[1]
    mean, logvar = out[:, :p], out[:, p:].clamp(*LOGVAR_RANGE)
    return 0.5 * (logvar + (y - mean) ** 2 * torch.exp(-logvar)) + HALF_LN_2PI


def evaluate(model, grid, extras, y, batch: int = 1024) -> tuple[float, np.ndarray]:
    """(mean NLL per parameter, RMSE of the means per parameter) in standardised units."""
    model.eval()
    nll_sum, sq_sum = 0.0, torch.zeros(y.shape[1])
    with torch.no_grad():
        for i in range(0, y.shape[0], batch):
            out = model(grid[i:i + batch], extras[i:i + batch])
            yb = y[i:i + batch]
            nll_sum += float(gaussian_nll(out, yb).sum())
            sq_sum += ((out[:, :y.shape[1]] - yb) ** 2).sum(dim=0)
    model.train()
    n = y.shape[0]
    return nll_sum / (n * y.shape[1]), torch.sqrt(sq_sum / n).numpy()


def log(fh, text: str) -> None:
    print(text, flush=True)
    if fh is not None:
        fh.write(text + "\n")
        fh.flush()


def verify_export(path: pathlib.Path, model, entry, names, mean, std, seed: int, fh,
                  n_grid: int = 64) -> dict:
    """Reads the file back and checks metadata, encodings and that the
    half-float network, run by the reference inference, agrees with the
    trained float32 one. Returns the median |error| against the truth per
    parameter (decades for logarithmic parameters, absolute for alpha)."""
    f = eisnn.read_eisnn(path)
    if f.metadata["circuit"] != entry.circuit:
        raise SystemExit(f"exported circuit {f.metadata['circuit']!r} != {entry.circuit!r}")
    if f.metadata["param_names"].split(",") != names:
        raise SystemExit(f"exported param_names {f.metadata['param_names']!r} != {names}")
    for tname, code in f.encodings.items():
        want = eisnn.HALF if tname.startswith("w.") else eisnn.FLOAT32
        if code != want:
            raise SystemExit(f"tensor {tname} stored with encoding {code}, expected {want}")
    net = eisnn.load_network(path)
    scaling, log_params = eisnn.scaling_table(names)
    log_mask = log_params != 0.0
    source = generate.SpectrumSource(entry.name, (0.01, 0.01))
    rng = np.random.default_rng(seed + VERIFY_SEED_OFFSET)
    errs, drift = [], []
    model.eval()
    for _ in range(VERIFY_SPECTRA):
        s = source.draw(rng)
        g = eisnn.guess(net, s.freqs, s.z)
        feat = eisnn.features(s.freqs, s.z, n_grid)
        with torch.no_grad():
            head = model(torch.from_numpy(feat.grid).float()[None],
                         torch.from_numpy(feat.extras).float()[None])[0].double().numpy()
        ref = eisnn.denormalise(head, mean, std, log_params, scaling, feat.z0, feat.omega0)
        errs.append(np.where(log_mask, np.abs(np.log10(g / s.params)), np.abs(g - s.params)))
        drift.append(np.where(log_mask, np.abs(np.log10(g / ref)), np.abs(g - ref)))
    errs, drift = np.array(errs), np.array(drift)
    worst = float(np.max(drift))
    log(fh, f"export check: {path.name} reads back; half-float vs float32 guesses differ by at most "
            f"{worst:.3g} (decades / alpha)")
    if not np.all(np.isfinite(errs)) or worst > 0.05:
        raise SystemExit("the exported network does not reproduce the trained one")
    med = np.median(errs, axis=0)
    log(fh, "median |error| on held-out spectra (1% noise): " +
        ", ".join(f"{n}={m:.3f}" for n, m in zip(names, med)))
    return {n: float(m) for n, m in zip(names, med)}


def architecture_of(net: eisnn.LoadedNetwork) -> dict:
    """The architecture of a loaded weight file, as main() describes one."""
    meta = net.metadata
    head = net.model.head
    return {"channels": int(meta["channels"]), "hidden": (head[0].out_features, head[2].out_features),
            "groups": int(meta["groups"]), "dilations": tuple(int(d) for d in meta["dilations"].split(",")),
            "n_grid": int(meta["n_grid"])}


def describe(arch: dict) -> str:
    return (f"channels={arch['channels']} hidden={arch['hidden'][0]},{arch['hidden'][1]} "
            f"groups={arch['groups']} dilations={','.join(map(str, arch['dilations']))} n_grid={arch['n_grid']}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("name", choices=list(generate.LAYOUTS))
    ap.add_argument("--samples", type=int, default=40000)
    ap.add_argument("--epochs", type=int, default=12)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--batch", type=int, default=256)
    ap.add_argument("--lr", type=float, default=3e-3)
    ap.add_argument("--weight-decay", type=float, default=1e-4)
    ap.add_argument("--val-fraction", type=float, default=0.05)
    ap.add_argument("--realistic", type=float, default=0.0,
                    help="share of the training spectra drawn with measured-data defects")
    # One thread: on a shared two-core machine two threads spin against the
    # other core's load and ran about five times slower than one here.
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--out", type=pathlib.Path, default=None)
    ap.add_argument("--init", type=pathlib.Path, default=None,
                    help="start from this weight file (fine-tuning): its weights, its target normalisation "
                         "and its architecture")
    # The architecture of a network trained from scratch; the defaults are
    # the channel count of the registry (src/start/catalog.hpp), heads of
    # 4 * channels, four blocks of dilations 1, 2, 4, 8 on a 64-point grid.
    ap.add_argument("--channels", type=int, default=None)
    ap.add_argument("--hidden", type=str, default=None, help="H1 or H1,H2: widths of the head's hidden layers")
    ap.add_argument("--dilations", type=str, default="1,2,4,8")
    ap.add_argument("--groups", type=int, default=8)
    ap.add_argument("--n-grid", type=int, default=64)
    args = ap.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    entry = generate.registry()[args.name]
    names = generate.param_names(args.name)
    out_path = args.out or ROOT / "models" / f"{args.name}.eisnn"
    RUNS.mkdir(parents=True, exist_ok=True)
    fh = open(RUNS / f"{args.name}.log", "a")
    init = eisnn.load_network(args.init) if args.init is not None else None
    if init is not None:
        if init.metadata["circuit"] != entry.circuit:
            raise SystemExit(f"{args.init} is not a {args.name} network")
        arch = architecture_of(init)
    else:
        channels = args.channels or entry.channels
        hidden = tuple(int(h) for h in args.hidden.split(",")) if args.hidden else (4 * channels,) * 2
        arch = {"channels": channels, "hidden": (hidden[0], hidden[-1]), "groups": args.groups,
                "dilations": tuple(int(d) for d in args.dilations.split(",")), "n_grid": args.n_grid}
    log(fh, f"== {args.name} {entry.circuit} {describe(arch)} samples={args.samples} "
            f"epochs={args.epochs} seed={args.seed} batch={args.batch} lr={args.lr} threads={args.threads} "
            f"realistic={args.realistic} init={args.init}")

    t0 = time.time()
    data = generate.make_dataset(args.name, args.samples, args.seed, n_grid=arch["n_grid"],
                                 realistic_share=args.realistic)
    t_data = time.time() - t0
    n_val = max(int(args.samples * args.val_fraction), 1)
    n_train = args.samples - n_val
    if init is not None:
        # keep the normalisation the starting weights were trained with
        mean, std = init.target_mean.astype(np.float64), init.target_std.astype(np.float64)
    else:
        mean = data.targets[:n_train].mean(axis=0)
        std = data.targets[:n_train].std(axis=0)
        std = np.where(std > 1e-6, std, 1.0)
    y = torch.from_numpy(((data.targets - mean) / std).astype(np.float32))
    grid = torch.from_numpy(data.grid)
    extras = torch.from_numpy(data.extras)
    tr = (grid[:n_train], extras[:n_train], y[:n_train])
    va = (grid[n_train:], extras[n_train:], y[n_train:])
    log(fh, f"data: {args.samples} spectra in {t_data:.1f} s; target mean {np.round(mean, 3).tolist()} "
            f"std {np.round(std, 3).tolist()}")

    model = eisnn.EisNet(len(names), channels=arch["channels"], groups=arch["groups"],
                         dilations=arch["dilations"], hidden=arch["hidden"])
    if init is not None:
        model.load_state_dict({k: v.float() for k, v in init.model.state_dict().items()})
        log(fh, f"starting from {args.init}")
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=args.weight_decay)
    steps_per_epoch = math.ceil(n_train / args.batch)
    total = steps_per_epoch * args.epochs
    warmup = max(total // 30, 1)

    def lr_factor(step: int) -> float:
        if step < warmup:
            return (step + 1) / warmup
        return 0.5 * (1.0 + math.cos(math.pi * (step - warmup) / max(total - warmup, 1)))

    sched = torch.optim.lr_scheduler.LambdaLR(opt, lr_factor)
    gen = torch.Generator().manual_seed(args.seed)
    best = (math.inf, None, -1)
    t_train = time.time()
    for epoch in range(args.epochs):
        perm = torch.randperm(n_train, generator=gen)
        running, count = 0.0, 0
        for i in range(0, n_train, args.batch):
            idx = perm[i:i + args.batch]
            loss = gaussian_nll(model(tr[0][idx], tr[1][idx]), tr[2][idx]).mean()
            opt.zero_grad(set_to_none=True)
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
            opt.step()
            sched.step()
            running += float(loss.detach()) * idx.numel()
            count += idx.numel()
        val_nll, val_rmse = evaluate(model, *va)
        if val_nll < best[0]:
            best = (val_nll, copy.deepcopy(model.state_dict()), epoch)
        log(fh, f"epoch {epoch + 1:3d}/{args.epochs} train nll {running / count:7.4f} val nll {val_nll:7.4f} "
                f"val rmse {[round(float(v), 3) for v in val_rmse]} {time.time() - t_train:7.1f} s")
    train_seconds = time.time() - t_train
    model.load_state_dict(best[1])
    val_nll, val_rmse = evaluate(model, *va)
    log(fh, f"kept epoch {best[2] + 1}: val nll {val_nll:.4f}; training took {train_seconds:.1f} s")

    out_path.parent.mkdir(parents=True, exist_ok=True)
    eisnn.export_eisnn(out_path, model, entry.circuit, names, mean, std, n_grid=arch["n_grid"])
    medians = verify_export(out_path, model, entry, names, mean, std, args.seed, fh, arch["n_grid"])
    summary = {
        "name": args.name, "channels": arch["channels"], "hidden": list(arch["hidden"]),
        "dilations": list(arch["dilations"]), "n_grid": arch["n_grid"], "samples": args.samples, "epochs": args.epochs,
        "seed": args.seed, "realistic": args.realistic, "init": str(args.init) if args.init else None, "data_seconds": round(t_data, 1), "train_seconds": round(train_seconds, 1),
        "total_seconds": round(time.time() - t0, 1), "val_nll": val_nll,
        "val_rmse": [float(v) for v in val_rmse], "median_abs_error": medians,
        "bytes": out_path.stat().st_size,
    }
    (RUNS / f"{args.name}.json").write_text(json.dumps(summary, indent=1))
    log(fh, f"wrote {out_path} ({summary['bytes']} bytes) in {summary['total_seconds']} s total")


if __name__ == "__main__":
    main()

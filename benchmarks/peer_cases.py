"""The two cases of the peer benchmark and their converged values.

The demo reverse saturable absorber at 0.5 and 1.5 uJ and the saturable
absorber at 0.5 and 1 uJ, each scan 41 points from -20 to 20 mm. Their
converged Te/Te_lin (peer_converged.json beside this file) come from the
slow reference of the tests (tests/zscanfit/whole_beam_reference.py) at
RESOLUTION, a quarter of the cost of the resolution of the reference's own
stored cases (tests/data/whole_beam_converged.json) and as good for this
purpose: at the stored cases' positions within 1e-9 of their values, with
error estimates below 1e-8. Each record carries its resolution and error
estimate:

    OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 \\
        .venv/bin/python benchmarks/peer_cases.py --write benchmarks/peer_converged.json

(about 20 minutes on one core; --cases rsa and --cases sa in two processes,
then --reuse of both files, give the same file). Relies on NumPy and the
reference module.
"""
import dataclasses
import json
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
REFERENCE_DIR = ROOT / "tests" / "zscanfit"
CONVERGED = pathlib.Path(__file__).resolve().parent / "peer_converged.json"
POSITIONS_MM = tuple(float(x) for x in np.linspace(-20.0, 20.0, 41))


def reference():
    """The slow reference module of the tests."""
    if str(REFERENCE_DIR) not in sys.path:
        sys.path.insert(0, str(REFERENCE_DIR))
    import whole_beam_reference
    return whole_beam_reference


@dataclasses.dataclass(frozen=True)
class PeerCase:
    """One benchmark case: an experiment and absorber (the reference's
    Settings, units of the documented model), its scans' pulse energies (J)
    and the reference's resolution for its converged values."""
    name: str
    settings: object
    pulse_energies: tuple
    resolution: object
    positions_mm: tuple = POSITIONS_MM


RESOLUTION = dict(time_steps=140, depth_steps=2, panels=3, nodes=8, extra_nodes=2,
                  lag_resolved=3.2, lag_window=2.0, lag_depth_steps=2, lag_nodes=3)


def cases():
    ref = reference()
    stored = {c.name: c.settings for c in ref.CASES}
    resolution = ref.Resolution(**RESOLUTION)
    return (PeerCase("rsa", stored["rsa_demo_low"], (0.5e-6, 1.5e-6), resolution),
            PeerCase("sa", stored["sa"], (0.5e-6, 1.0e-6), resolution))


def converged_values(path=CONVERGED):
    """{case name: array (energies, positions) of Te/Te_lin} from the stored file."""
    stored = json.loads(pathlib.Path(path).read_text())["cases"]
    return {c["name"]: np.array([s["values_linear"] for s in c["scans"]]) for c in stored}


def _compute(case, log):
    ref = reference()
    scans = []
    for energy in case.pulse_energies:
        started = time.time()
        r = ref.whole_beam_detail(case.settings, case.positions_mm, energy, "linear",
                                  case.resolution)
        scans.append(dict(pulse_energy=energy, values_linear=r.values.tolist(),
                          accuracy=float(r.error.max()),
                          seconds=round(time.time() - started, 1)))
        log(f"{case.name} at {energy:g} J: accuracy {scans[-1]['accuracy']:.2e} "
            f"({scans[-1]['seconds']} s)")
    return dict(name=case.name, settings=case.settings.as_dict(),
                positions_mm=list(case.positions_mm),
                resolution=dataclasses.asdict(case.resolution),
                scans=scans)


ABOUT = ("Converged Te/Te_lin of the peer benchmark's cases, written by "
         "benchmarks/peer_cases.py --write (the reference of "
         "tests/zscanfit/whole_beam_reference.py at the resolution given); accuracy is the "
         "largest error estimate.")


def _same_case(record, case):
    return (record.get("name") == case.name
            and record.get("settings") == json.loads(json.dumps(case.settings.as_dict()))
            and record.get("positions_mm") == list(case.positions_mm)
            and record.get("resolution") == dataclasses.asdict(case.resolution)
            and [r["pulse_energy"] for r in record.get("scans", [])] == list(case.pulse_energies))


def main(argv=None):
    args, known = reference().figures_command_line(__doc__.splitlines()[0], argv)
    log = lambda msg: print(msg, file=sys.stderr, flush=True)
    records = []
    for case in cases():
        if args.cases and case.name not in args.cases:
            continue
        old = next((r for r in known if _same_case(r, case)), None)
        # Written case by case: the run is long.
        records.append(old if old is not None else _compute(case, log))
        args.write.write_text(json.dumps(dict(about=ABOUT, cases=records), indent=1) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Times one whole fit_zscan on the bundled demo data (41 points at two pulse
energies, 10 time slices, 10 slabs; sigma_0 and sigma_1 fitted from a guess
1.5 times too large, three starts), with the model on one thread and on all
cores, and prints the speedup. Each setting runs in its own process, since
the thread count is read once per process.
"""
import json
import os
import subprocess
import sys

REPEATS = 3

CHILD = r"""
import json, pathlib, sys, time
import numpy as np
sys.path.insert(0, str(pathlib.Path(sys.argv[1])))
import demo
import kesp_wrapper
settings, rows = demo.read_scan(pathlib.Path(sys.argv[1]) / "demo_rsa.csv")
x = np.array([r[2] for r in rows]); y = np.array([r[3] for r in rows])
energies = np.array(sorted({r[1] for r in rows}))
guess = np.array(settings["spec_pars"]); guess[[0, 1]] *= 1.5
times = []
for _ in range(int(sys.argv[2])):
    start = time.perf_counter()
    result = kesp_wrapper.fit_zscan(
        x, y, np.array(settings["populations"]), 10, 10, settings["sample_width"][0],
        settings["tau"][0], settings["wavelength"][0], settings["w0"][0], settings["M2"][0],
        energies, guess, np.array([0, 1], dtype=np.int32), 41, 2, False, 3)
    times.append(time.perf_counter() - start)
print(json.dumps({"best": min(times), "error": result[1], "pars": list(result[2][:2])}))
"""


def run(threads):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    examples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
    out = subprocess.run([sys.executable, "-c", CHILD, examples, str(REPEATS)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    cores = len(os.sched_getaffinity(0))
    one = run(1)
    every = run(None)
    same = one["error"] == every["error"] and one["pars"] == every["pars"]
    print(f"whole fit_zscan on the demo data (2 parameters, 3 starts), best of {REPEATS}:")
    print(f"  1 thread : {one['best']:.3f} s")
    print(f"  {cores} threads: {every['best']:.3f} s")
    print(f"  speedup  : {one['best'] / every['best']:.2f}x"
          f"  (results identical: {'yes' if same else 'NO'})")
    print(f"  error {one['error']!r}, fitted sigma_0, sigma_1 = {one['pars'][0]!r}, "
          f"{one['pars'][1]!r}")


if __name__ == "__main__":
    main()

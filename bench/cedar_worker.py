"""cedar-solve's side of bench_narrow.py, run in the benchmark venv (NumPy < 2).

Reads one JSON object from stdin: field_deg, width, height, the star list
as a binary BSC5-format file (`stars`), a database path, and `batches`:
lists of fields, each a list of [x, y] centroids brightest first. Builds
the database for that field once (from the same stars halvane's sky is
drawn from) and prints, per batch, each field's solved boresight [RA, Dec]
in degrees (J2000) or null.
"""
import json
import sys
from pathlib import Path

import tetra3


def main():
    job = json.load(sys.stdin)
    field = float(job["field_deg"])
    database = Path(job["database"] + ".npz")
    solver = tetra3.Tetra3(load_database=None)
    if not database.exists():
        solver.generate_database(max_fov=field * 1.05, min_fov=field * 0.95, save_as=database,
                                 star_catalog=job["stars"], star_max_magnitude=job.get("star_max_vmag", 6.5),
                                 epoch_proper_motion=job.get("epoch", 2025.0))
    # Solving needs the database's properties as loading sets them.
    solver.load_database(database)
    out = []
    for fields in job["batches"]:
        answers = []
        for centroids in fields:
            yx = [[y, x] for x, y in centroids]
            if len(yx) < 4:
                answers.append(None)
                continue
            got = solver.solve_from_centroids(yx, (job["height"], job["width"]), fov_estimate=field,
                                              fov_max_error=field * 0.05)
            answers.append(None if got.get("RA") is None else [got["RA"], got["Dec"]])
        out.append(answers)
    return out


if __name__ == "__main__":
    # The library may print; only the answer goes to stdout.
    answer_to = sys.stdout
    sys.stdout = sys.stderr
    answer_to.write(json.dumps(main()))

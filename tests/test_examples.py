"""The examples run with no arguments' worth of set-up and compute what they claim."""

import csv
import os
import pathlib
import pickle
import re
import subprocess
import sys

import pytest

import vindral
import weibull_model
from conftest import embeddable_interpreter

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))

pytest.importorskip("numpy", reason="the examples compute with arrays: numpy is not installed")

import site_grid  # noqa: E402

import wind_climate  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

pytestmark = [
    pytest.mark.skipif(
        os.environ.get("VINDRAL_SANITIZED") == "1",
        reason="the examples only drive the functions that the other tests check under sanitizers",
    ),
    pytest.mark.skipif(
        embeddable_interpreter,
        reason="the embeddable interpreter puts no script's folder on its path, "
        "so the examples cannot import their shared module",
    ),
]


def run_example(name, *args, env_extra=None, cwd):
    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=600,
        check=True,
    )


def model_energy(climate, bins):
    """MWh per year by the formula, with vindral's arithmetic modelled in Python."""
    total = 0.0
    for sector in climate:
        scale = weibull_model.v_k_2_c(sector.mean_speed, sector.shape)
        mean_power = sum(
            weibull_model.wbl_cdf(scale, sector.shape, lower, upper) * power
            for lower, upper, power in bins
        )
        total += sector.frequency * mean_power * wind_climate.HOURS_PER_YEAR / 1000.0
    return total


def has_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


class TestAnnualEnergy:
    def test_prints_every_sector_and_the_total_the_formula_gives(self, tmp_path):
        output = run_example("annual_energy.py", cwd=tmp_path).stdout
        rows = [line for line in output.splitlines() if re.match(r"^\s+\d+\s+\d", line)]
        assert len(rows) == 12
        total = float(re.search(r"total: ([\d.]+) MWh per year", output).group(1))
        expected = model_energy(wind_climate.SITE_CLIMATE, wind_climate.speed_bins())
        assert total == pytest.approx(expected, abs=0.05)
        assert 10_000 < total < 15_000  # a 3.45 MW turbine at a good coastal site
        assert sum(float(row.split()[5]) for row in rows) == pytest.approx(total, abs=0.5)

    def test_writes_the_plot_or_says_how_to_get_it(self, tmp_path):
        output = run_example("annual_energy.py", "--out", "plots", cwd=tmp_path).stdout
        plot = tmp_path / "plots" / "annual_energy.png"
        if has_matplotlib():
            assert plot.read_bytes().startswith(PNG_SIGNATURE)
        else:
            assert not plot.exists() and "pip install" in output

    def test_without_matplotlib_still_prints_results(self, tmp_path):
        blocker = tmp_path / "blocker" / "matplotlib"
        blocker.mkdir(parents=True)
        (blocker / "__init__.py").write_text("raise ImportError('hidden for this test')\n")
        output = run_example(
            "annual_energy.py", cwd=tmp_path, env_extra={"PYTHONPATH": str(blocker.parent)}
        ).stdout
        assert "total:" in output and "pip install 'vindral[examples]'" in output
        assert not (tmp_path / "output" / "annual_energy.png").exists()


def read_grid(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


class TestSiteGrid:
    def test_every_site_gets_the_energy_of_its_climate(self, tmp_path):
        run_example("site_grid.py", "--rows", "6", "--cols", "5", "--workers", "2", cwd=tmp_path)
        rows = read_grid(tmp_path / "output" / "site_grid.csv")
        assert [(int(r["row"]), int(r["col"])) for r in rows] == [
            (row, col) for row in range(6) for col in range(5)
        ]
        bins = wind_climate.speed_bins(site_grid.FINE_CURVE)
        for record in rows[::7]:
            climate = site_grid.site_climate(7, int(record["row"]), int(record["col"]))
            assert float(record["aep_mwh"]) == pytest.approx(model_energy(climate, bins), rel=1e-12)
        if has_matplotlib():
            assert (tmp_path / "output" / "site_grid.png").read_bytes().startswith(PNG_SIGNATURE)

    def test_results_do_not_depend_on_the_number_of_workers(self, tmp_path):
        for workers in ("1", "3"):
            run_example(
                "site_grid.py",
                "--rows",
                "5",
                "--cols",
                "4",
                "--workers",
                workers,
                "--out",
                workers,
                cwd=tmp_path,
            )
        assert read_grid(tmp_path / "1" / "site_grid.csv") == read_grid(
            tmp_path / "3" / "site_grid.csv"
        )

    def test_dask_array_gives_the_same_results(self, tmp_path):
        pytest.importorskip("dask.array")
        pytest.importorskip("dask.distributed")
        common = ["--rows", "4", "--cols", "4", "--workers", "2"]
        run_example("site_grid.py", *common, "--out", "threads", cwd=tmp_path)
        output = run_example(
            "site_grid.py", *common, "--scheduler", "dask", "--out", "dask", cwd=tmp_path
        ).stdout
        assert "on 2 Dask workers" in output
        assert read_grid(tmp_path / "dask" / "site_grid.csv") == read_grid(
            tmp_path / "threads" / "site_grid.csv"
        )


def test_functions_pickle_by_reference():
    for name in vindral.__all__:
        function = getattr(vindral, name)
        data = pickle.dumps(function)
        assert b"vindral" in data and len(data) < 100
        assert pickle.loads(data) is function

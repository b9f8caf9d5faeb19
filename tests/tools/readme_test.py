#!/usr/bin/python3
"""Runs every ```sh block of the README in a fresh folder with the bundled
record, and checks that the session shown in the README is the program's own.
Usage: readme_test.py README BIN_DIR MERGE_DIR TOOLS_DIR DATA_DIR MERGE_DATA_DIR"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def main(readme, bin_dir, merge_dir, tools_dir, data_dir, merge_data):
    text = open(readme).read()
    blocks = re.findall(r"```sh\n(.*?)```", text, re.S)
    assert blocks, "no sh blocks in the README"
    session = re.search(r"## A session.*?```text\n(.*?)```", text, re.S).group(1)
    env = dict(os.environ, PATH=os.pathsep.join([bin_dir, merge_dir, tools_dir, os.environ["PATH"]]))
    with tempfile.TemporaryDirectory() as work:
        shutil.copy(os.path.join(data_dir, "sf1295.txt"), work)
        os.mkdir(os.path.join(work, "records"))
        for name in ("sf1295.txt", "wtmc_v2a.txt"):
            shutil.copy(os.path.join(data_dir, name), os.path.join(work, "records"))
        for name in ("0111a.smc", "0111b.smc", "0111c.smc"):
            shutil.copy(os.path.join(merge_data, name), work)
        for block in blocks:
            subprocess.run(["bash", "-euo", "pipefail", "-c", block], cwd=work, env=env, check=True)
        for block in re.findall(r"```python\n(.*?)```", text, re.S):
            if os.environ.get("PYTHONPATH"):  # the module is built
                subprocess.run(["/usr/bin/python3", "-c", block], cwd=work, env=env, check=True)
                python_csv = open(os.path.join(work, "sf1295-python.csv"), "rb").read()
                assert python_csv == open(os.path.join(work, "sf1295-velocity.csv"), "rb").read()
        log = open(os.path.join(work, "session.log")).read()
        assert log == session, "the README's session differs from the program's:\n" + log
        rows = open(os.path.join(work, "sf1295-spectrum.csv")).read().splitlines()
        assert len(rows) == 1 + 4097, len(rows)
        csv_block = re.search(r"the spectrum file begins\n\n```text\n(.*?)```", text, re.S).group(1)
        assert csv_block.splitlines() == rows[:3], "the README's first CSV lines differ"
        assert os.path.getsize(os.path.join(work, "sf1295.png")) > 10000
        assert os.path.exists(os.path.join(work, "sf1295-velocity.csv"))
        summary = open(os.path.join(work, "spectra", "summary.csv")).read().splitlines()
        assert len(summary) == 3 and all(",ok," in row for row in summary[1:]), summary
        check_flatfile_rows(text, work, env)
        merged = open(os.path.join(work, "sf1295-merged.txt")).read().split("\n", 1)[1]
        assert merged == open(os.path.join(data_dir, "sf1295.txt")).read().split("\n", 1)[1]
    print("1 passed, 0 failed")


def check_flatfile_rows(text, work, env):
    """The flatfile rows the README shows begin as the program's rows for the options it names."""
    shown = re.search(r"record's row is empty:\n\n```text\n(.*?)```", text, re.S).group(1).splitlines()
    subprocess.run(["wavespec", "-q", "-m", "integrate", "--flatfile", "readme-flat.csv", "--konno-ohmachi", "40",
                    "--frequencies", "0.01:10:4", "--hv", "records/sf1295.txt", "records/wtmc_v2a.txt",
                    "records/missing.txt"], cwd=work, env=env, stderr=subprocess.DEVNULL)
    rows = open(os.path.join(work, "readme-flat.csv")).read().splitlines()
    assert len(rows) == len(shown) == 4, shown
    for row, line in zip(rows, shown):
        assert line.endswith(",...") and row.startswith(line[:-3]), (line, row)


if __name__ == "__main__":
    main(*sys.argv[1:])

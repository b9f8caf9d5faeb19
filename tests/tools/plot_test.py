#!/usr/bin/python3
"""wavespec-plot draws a known spectrum as an image of the expected size and
refuses what is not a wavespec spectrum. Usage: plot_test.py PLOT WAVESPEC DATA_DIR"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HEADER = " freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z\n"


def main(plot, wavespec, data_dir):
    failures = 0
    with tempfile.TemporaryDirectory() as work:
        shutil.copy(os.path.join(data_dir, "sf1295.txt"), work)
        subprocess.run([wavespec], input="sf1295.txt\n3\n1\nspec.csv\n", text=True, cwd=work, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run([plot, "spec.csv", "spec.png"], cwd=work, check=True)
        with open(os.path.join(work, "spec.png"), "rb") as f:
            head = f.read(24)
        assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
        assert struct.unpack(">II", head[16:24]) == (800, 900), struct.unpack(">II", head[16:24])
        subprocess.run([plot, "spec.csv", "spec.svg"], cwd=work, check=True)
        assert "<svg" in open(os.path.join(work, "spec.svg")).read(2000)

        bad = {
            "header.csv": "freq,x\n0.1,1\n",
            "fields.csv": HEADER + "  0.0000,  0.1E+00\n",
            "number.csv": HEADER + "  0.0000," + ",".join(["  abc"] * 6) + "\n",
            "empty.csv": "",
        }
        for name, content in bad.items():
            open(os.path.join(work, name), "w").write(content)
            done = subprocess.run([plot, name, "out.png"], cwd=work, capture_output=True, text=True)
            if done.returncode != 2 or "not a spectrum CSV written by wavespec" not in done.stderr:
                print("%s was not refused: %d %s" % (name, done.returncode, done.stderr))
                failures += 1
        done = subprocess.run([plot, "spec.csv", "spec.jpg"], cwd=work, capture_output=True, text=True)
        failures += done.returncode != 2
        failures += os.path.exists(os.path.join(work, "out.png"))
    print("%d passed, %d failed" % (1 if failures == 0 else 0, 1 if failures else 0))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

"""A polyscope window navigated by the 3D mouse: a surface, a point cloud and a box.

    python examples/polyscope_viewer.py                          # the scripted session in examples/
    ZIBREL_DEVICE=spacenavd python examples/polyscope_viewer.py   # a real 3D mouse
    python examples/polyscope_viewer.py --seconds 9 --screenshot view.png

The device is the one our navigation library is configured with (ZIBREL_DEVICE,
ZIBREL_CONFIG); when neither is set, examples/viewer_settings.conf replays
examples/viewer_session.txt. polyscope's own mouse orbits the same pivot as the
3D mouse. Close the window to stop.
"""
import argparse
import math
import os
import pathlib
import time

import numpy as np
import polyscope as ps

from pyzibrel.polyscope import attach

HERE = pathlib.Path(__file__).resolve().parent


def scene() -> None:
    u, v = np.meshgrid(np.linspace(0, 2 * math.pi, 96), np.linspace(0, 2 * math.pi, 48), indexing="ij")
    torus = np.stack([(1 + 0.35 * np.cos(v)) * np.cos(u), 0.35 * np.sin(v), (1 + 0.35 * np.cos(v)) * np.sin(u)], -1)
    idx = np.arange(96 * 48).reshape(96, 48)
    a, b, c, d = idx, np.roll(idx, -1, 0), np.roll(np.roll(idx, -1, 0), -1, 1), np.roll(idx, -1, 1)
    faces = np.concatenate([np.stack([a, b, c], -1).reshape(-1, 3), np.stack([a, c, d], -1).reshape(-1, 3)])
    ps.register_surface_mesh("torus", torus.reshape(-1, 3), faces, color=(0.85, 0.55, 0.3), smooth_shade=True)
    rng = np.random.default_rng(2)
    ps.register_point_cloud("cloud", rng.normal((2.6, 0.2, 0), 0.35, size=(4000, 3)), radius=0.004)
    corners = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], dtype=float) * 0.9
    quads = np.array([(0, 1, 3, 2), (4, 6, 7, 5), (0, 4, 5, 1), (2, 3, 7, 6), (0, 2, 6, 4), (1, 5, 7, 3)])
    ps.register_surface_mesh("box", corners + (-2.9, -0.45, -0.45), quads, color=(0.3, 0.5, 0.8))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--seconds", type=float, help="close the window after this many seconds")
    parser.add_argument("--screenshot", type=pathlib.Path, help="save the last picture here when closing")
    args = parser.parse_args()
    if "ZIBREL_DEVICE" not in os.environ and "ZIBREL_CONFIG" not in os.environ:
        os.environ["ZIBREL_CONFIG"] = str(HERE / "viewer_settings.conf")
        print("device: the scripted session examples/viewer_session.txt (set ZIBREL_DEVICE for a real one)")

    ps.set_program_name("pyzibrel: polyscope viewer")
    ps.set_window_size(1024, 768)
    ps.init()
    ps.set_up_dir("y_up")
    scene()
    started = time.monotonic()

    def each_frame() -> None:   # the application's own per-frame callback; attach chains it
        if args.seconds is not None and time.monotonic() - started > args.seconds:
            if args.screenshot is not None:
                ps.screenshot(str(args.screenshot), transparent_bg=False)
            ps.unshow()

    navigator = attach(callback=each_frame)
    ps.show()
    navigator.close()


if __name__ == "__main__":
    main()

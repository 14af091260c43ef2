"""A napari viewer navigated by the 3D mouse: a volume, a surface and points in 3-D.

    python examples/napari_viewer.py                         # the scripted session in examples/
    ZIBREL_DEVICE=spacenavd python examples/napari_viewer.py  # a real 3D mouse
    python examples/napari_viewer.py --seconds 9 --screenshot view.png

The device is the one our navigation library is configured with (ZIBREL_DEVICE,
ZIBREL_CONFIG); when neither is set, examples/viewer_settings.conf replays
examples/viewer_session.txt. The view turns about what is under the centre of
the canvas: the volume's bright shell, the surface or a point. Close the window to stop.
"""
import argparse
import math
import os
import pathlib

import napari
import numpy as np
from qtpy.QtCore import QTimer

from pyzibrel.napari import attach

HERE = pathlib.Path(__file__).resolve().parent


def scene(viewer: napari.Viewer) -> None:
    z, y, x = np.mgrid[0:48, 0:64, 0:64]
    shell = np.exp(-((np.sqrt((z - 24) ** 2 + (y - 32) ** 2 + (x - 32) ** 2) - 16) ** 2) / 8)
    viewer.add_image(shell.astype(np.float32), name="shell", colormap="magma", rendering="mip",
                     contrast_limits=(0.2, 1.0))
    theta, phi = np.meshgrid(np.linspace(0, math.pi, 40), np.linspace(0, 2 * math.pi, 40), indexing="ij")
    ball = np.stack([np.cos(theta), np.sin(theta) * np.sin(phi), np.sin(theta) * np.cos(phi)], -1).reshape(-1, 3)
    idx = np.arange(40 * 40).reshape(40, 40)
    faces = np.concatenate([np.stack([idx[:-1, :-1], idx[1:, :-1], idx[1:, 1:]], -1).reshape(-1, 3),
                            np.stack([idx[:-1, :-1], idx[1:, 1:], idx[:-1, 1:]], -1).reshape(-1, 3)])
    viewer.add_surface((ball * 6 + (24, 32, 80), faces), name="ball", colormap="cyan")
    rng = np.random.default_rng(1)
    viewer.add_points(rng.normal((24, 32, -16), 4, size=(300, 3)), name="points", size=1.5, face_color="yellow")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--seconds", type=float, help="close the viewer after this many seconds")
    parser.add_argument("--screenshot", type=pathlib.Path, help="save the canvas here when closing")
    args = parser.parse_args()
    if "ZIBREL_DEVICE" not in os.environ and "ZIBREL_CONFIG" not in os.environ:
        os.environ["ZIBREL_CONFIG"] = str(HERE / "viewer_settings.conf")
        print("device: the scripted session examples/viewer_session.txt (set ZIBREL_DEVICE for a real one)")

    viewer = napari.Viewer(ndisplay=3, title="pyzibrel: napari viewer")
    scene(viewer)
    viewer.scene.camera.angles = (0, 25, 75)
    navigator = attach(viewer)   # ticks from Qt's loop; closes with the viewer

    if args.seconds is not None:
        def stop() -> None:
            if args.screenshot is not None:
                viewer.screenshot(str(args.screenshot), canvas_only=True)
            viewer.close()
        QTimer.singleShot(int(args.seconds * 1000), stop)
    napari.run()
    print("navigation closed with the viewer:", not navigator.enabled)


if __name__ == "__main__":
    main()

"""A PyVista window navigated by the 3D mouse.

    python examples/pyvista_viewer.py                  # the scripted session in examples/
    ZIBREL_DEVICE=spacenavd python examples/pyvista_viewer.py   # a real 3D mouse
    python examples/pyvista_viewer.py --seconds 14 --screenshot view.png

The device is the one our navigation library is configured with (ZIBREL_DEVICE,
ZIBREL_CONFIG). When neither is set, examples/pyvista_settings.conf is used: it
replays examples/pyvista_session.txt and binds the device's buttons to the
viewer's commands (fit, front, top, iso, projection). Close the window to stop.
"""
import argparse
import os
import pathlib

import pyvista as pv

from pyzibrel.pyvista import attach

HERE = pathlib.Path(__file__).resolve().parent


def scene(plotter: pv.Plotter) -> None:
    plotter.add_mesh(pv.Plane(center=(0, 0, -1.0), i_size=8, j_size=8), color="lightgray")
    plotter.add_mesh(pv.Sphere(radius=0.8, center=(-1.5, 0, 0)), color="tan", smooth_shading=True)
    plotter.add_mesh(pv.Cube(center=(1.5, 0, -0.3), x_length=1.2, y_length=1.2, z_length=1.4), color="steelblue")
    plotter.add_mesh(pv.Cone(center=(0, 1.8, -0.2), direction=(0, 0, 1), height=1.6, radius=0.6), color="indianred")
    plotter.add_mesh(pv.Cylinder(center=(0, -1.8, -0.4), direction=(0, 0, 1), radius=0.4, height=1.2),
                     color="seagreen")
    plotter.add_axes()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--seconds", type=float, help="close the window after this many seconds")
    parser.add_argument("--screenshot", type=pathlib.Path, help="save the last picture here when closing")
    args = parser.parse_args()
    if "ZIBREL_DEVICE" not in os.environ and "ZIBREL_CONFIG" not in os.environ:
        os.environ["ZIBREL_CONFIG"] = str(HERE / "pyvista_settings.conf")
        print("device: the scripted session examples/pyvista_session.txt (set ZIBREL_DEVICE for a real one)")

    plotter = pv.Plotter(title="pyzibrel: PyVista viewer", window_size=(1024, 768))
    scene(plotter)
    plotter.add_text("3D mouse: turn, pan, zoom; buttons run fit / front / top / iso / projection",
                     font_size=9, position="lower_left")
    navigator = attach(plotter)

    if args.seconds is not None:
        def stop(_step: int) -> None:
            if args.screenshot is not None:
                plotter.screenshot(str(args.screenshot))
            plotter.iren.terminate_app()
        plotter.iren.add_timer_event(max_steps=1, duration=int(args.seconds * 1000), callback=stop)
    plotter.show(auto_close=False)
    navigator.close()
    plotter.close()


if __name__ == "__main__":
    main()

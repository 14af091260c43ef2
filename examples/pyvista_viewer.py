"""A PyVista window navigated by the 3D mouse.

    python examples/pyvista_viewer.py                  # the scripted session in examples/
    ZIBREL_DEVICE=spacenavd python examples/pyvista_viewer.py   # a real 3D mouse
    python examples/pyvista_viewer.py --seconds 14 --screenshot view.png

The device is the one our navigation library is configured with (ZIBREL_DEVICE,
ZIBREL_CONFIG). Navigation has the adapter's defaults: turns keep the horizon
level about the scene's up axis (Z), and the view turns about what is at its
centre. The buttons:

- with a real device and no settings file: button 0 fits the scene into the
  view, button 1 shows the iso view (the library's defaults); a settings file
  named by ZIBREL_CONFIG may bind them and the others otherwise;
- when neither ZIBREL_DEVICE nor ZIBREL_CONFIG is set, examples/pyvista_settings.conf
  is used: it replays examples/pyvista_session.txt and binds buttons 0 to 4 to the
  viewer's commands fit, front, top, iso and projection.

The window's text says which applies. Close the window to stop.
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
    own_settings = "ZIBREL_DEVICE" not in os.environ and "ZIBREL_CONFIG" not in os.environ
    if own_settings:
        os.environ["ZIBREL_CONFIG"] = str(HERE / "pyvista_settings.conf")
        print("device: the scripted session examples/pyvista_session.txt (set ZIBREL_DEVICE for a real one)")
        buttons = "buttons 0-4: fit / front / top / iso / projection"
    elif os.environ.get("ZIBREL_CONFIG"):
        buttons = "buttons: as your settings file binds them (else 0: fit, 1: iso)"
    else:
        buttons = "button 0: fit, button 1: iso"

    plotter = pv.Plotter(title="pyzibrel: PyVista viewer", window_size=(1024, 768))
    scene(plotter)
    plotter.add_text(f"3D mouse: turn, pan, zoom; {buttons}", font_size=9, position="lower_left")
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

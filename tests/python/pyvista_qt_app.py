"""pyvistaqt's BackgroundPlotter navigated by the configured device, for test_pyvista.py.

    python pyvista_qt_app.py OUTDIR

The navigator's QTimer calls tick() on the Qt thread. Takes a picture before the
scripted motion and one after it, closes the plotter and prints key=value lines.
"""
import math
import pathlib
import sys

import numpy as np
import pyvista as pv
from pyvistaqt import BackgroundPlotter
from qtpy.QtCore import QTimer

from pyzibrel.pyvista import attach

out = pathlib.Path(sys.argv[1])
plotter = BackgroundPlotter(window_size=(400, 300), show=True, title="pyzibrel Qt test")
plotter.add_mesh(pv.Sphere(radius=1.0), color="tan")
plotter.add_mesh(pv.Cube(center=(3.0, 0.0, 0.0)), color="steelblue")
plotter.camera_position = [(0.0, 0.0, 10.0), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
navigator = attach(plotter)
timer = navigator._attachment.qt_timer
cameras = {}


def picture(name):
    cameras[name] = navigator.viewer.get_camera()
    plotter.screenshot(str(out / f"{name}.png"))


stopped = []


def close():
    picture("after")
    plotter.close()
    stopped.append(not timer.isActive())  # before Qt deletes the window and its timers


QTimer.singleShot(300, lambda: picture("before"))
QTimer.singleShot(1800, close)
QTimer.singleShot(2500, plotter.app.quit)
plotter.app.exec_()
before, after = cameras["before"], cameras["after"]
yaw = math.degrees(math.acos(np.clip(before[:3, 2] @ after[:3, 2], -1, 1)))
print(f"qt_timer={timer is not None} yaw={yaw:.2f} closed={not navigator.enabled} "
      f"timer_stopped={stopped[0]}")

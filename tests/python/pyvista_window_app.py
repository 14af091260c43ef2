"""A real PyVista window navigated by the configured device, for test_pyvista.py.

    python pyvista_window_app.py OUTDIR

Runs VTK's event loop; the navigator's interactor timer calls tick(). Takes a
picture before the scripted motion (from pyvista's own timer) and one after it, closes the window from
inside the loop and prints what happened as key=value lines.
"""
import math
import pathlib
import sys
import time

import numpy as np
import pyvista as pv
from vtkmodules.util.misc import calldata_type
from vtkmodules.util.vtkConstants import VTK_INT

from pyzibrel.pyvista import attach

out = pathlib.Path(sys.argv[1])
plotter = pv.Plotter(window_size=(400, 300), title="pyzibrel window test")
plotter.add_mesh(pv.Sphere(radius=1.0), color="tan")
plotter.add_mesh(pv.Cube(center=(3.0, 0.0, 0.0)), color="steelblue")
plotter.camera_position = [(0.0, 0.0, 10.0), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
navigator = attach(plotter)
ticks = 0
real_tick = navigator.tick


def counting_tick(now_seconds=None):
    global ticks
    ticks += 1
    return real_tick(now_seconds)


navigator.tick = counting_tick
interactor = plotter.iren.interactor
cameras = {}
timers = {interactor.CreateOneShotTimer(1600): "after"}
pyvista_timer = []


def before(step):
    # pyvista's own timer takes every TimerEvent as its own: the navigator's must not reach it.
    pyvista_timer.append(time.monotonic())
    if step == 0:
        cameras["before"] = navigator.viewer.get_camera()
        plotter.screenshot(str(out / "before.png"))


plotter.iren.add_timer_event(max_steps=3, duration=300, callback=before)


@calldata_type(VTK_INT)
def on_timer(_obj, _event, timer_id):
    name = timers.pop(timer_id, None)
    if name is None:
        return
    cameras[name] = navigator.viewer.get_camera()
    plotter.screenshot(str(out / f"{name}.png"))
    if name == "after":
        plotter.iren.terminate_app()


interactor.AddObserver("TimerEvent", on_timer)
plotter.show(auto_close=False)
window = plotter.render_window.GetClassName()
plotter.close()
before, after = cameras["before"], cameras["after"]
yaw = math.degrees(math.acos(np.clip(before[:3, 2] @ after[:3, 2], -1, 1)))
print(f"window={window} ticks={ticks} yaw={yaw:.2f} closed={not navigator.enabled} pyvista_timer={min(np.diff(pyvista_timer)):.3f}")

"""A real PyVista window shown with interactive_update=True inside a running asyncio loop, as
in a notebook with notebook=False, for test_pyvista_notebook.py.

    python pyvista_update_app.py OUTDIR

show() returns at once and nobody runs the window's event loop: the navigator's asyncio task
ticks and calls plotter.update() at each frame. Takes a picture before and after the scripted
motion and prints what happened as key=value lines.
"""
import asyncio
import math
import pathlib
import sys

import numpy as np
import pyvista as pv

from pyzibrel.pyvista import attach

out = pathlib.Path(sys.argv[1])


async def main():
    plotter = pv.Plotter(window_size=(400, 300), title="pyzibrel update test")
    plotter.add_mesh(pv.Sphere(radius=1.0), color="tan")
    plotter.add_mesh(pv.Cube(center=(3.0, 0.0, 0.0)), color="steelblue")
    plotter.camera_position = [(0.0, 0.0, 10.0), (0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]
    navigator = attach(plotter)
    timers = navigator.timers
    counts = {"ticks": 0, "updates": 0}
    tick, update = navigator.tick, plotter.update

    def counting_tick(*args):
        counts["ticks"] += 1
        return tick(*args)

    def counting_update(*args, **kwargs):
        counts["updates"] += 1
        return update(*args, **kwargs)

    navigator.tick, plotter.update = counting_tick, counting_update
    plotter.show(interactive_update=True, auto_close=False)
    window = type(plotter.render_window).__name__
    before = navigator.viewer.get_camera()
    plotter.screenshot(str(out / "before.png"))
    await asyncio.sleep(1.5)
    after = navigator.viewer.get_camera()
    plotter.screenshot(str(out / "after.png"))
    task = navigator.task
    plotter.close()
    await asyncio.sleep(0)
    yaw = math.degrees(math.acos(np.clip(before[:3, 2] @ after[:3, 2], -1, 1)))
    print(f"window={window} timers={'+'.join(timers)} "
          f"ticks={counts['ticks']} updates={counts['updates']} yaw={yaw:.2f} closed={not navigator.enabled} "
          f"task_cancelled={task.cancelled()}")


asyncio.run(asyncio.wait_for(main(), 30))

"""Runs a README example of a windowed viewer (napari, polyscope) to its end, for test_readme.py.

    python readme_window_runner.py EXAMPLE.py SECONDS

The example's own loop (napari.run(), ps.show()) would run until a person
closes the window: after SECONDS this closes it. Prints how far the camera
moved from where it was when the viewer first drew, as `moved=LARGEST MATRIX CHANGE`.
"""
import runpy
import sys
import time

import numpy as np

script, seconds = sys.argv[1], float(sys.argv[2])
navigators = []


def recording(attach):
    def wrapper(*args, **kwargs):
        navigator = attach(*args, **kwargs)
        navigators.append([navigator, navigator.viewer.get_camera()])  # None until polyscope's first frame
        return navigator
    return wrapper


source = open(script).read()
if "napari" in source:
    import napari
    from qtpy.QtCore import QTimer

    import pyzibrel.napari

    pyzibrel.napari.attach = recording(pyzibrel.napari.attach)
    run = napari.run

    def run_for_a_while(*args, **kwargs):
        def close():
            for navigator, start in navigators:
                report(navigator, start)
            for viewer in list(napari.Viewer._instances):
                viewer.close()
        QTimer.singleShot(int(seconds * 1000), close)
        return run(*args, **kwargs)
    napari.run = run_for_a_while
if "polyscope" in source:
    import polyscope as ps

    import pyzibrel.polyscope

    pyzibrel.polyscope.attach = recording(pyzibrel.polyscope.attach)
    set_user_callback = ps.set_user_callback
    began = []

    def ending(callback):
        def frame():
            if callback is not None:
                callback()
            if not began:
                began.append(time.monotonic())
            for entry in navigators:
                if entry[1] is None:
                    entry[1] = entry[0].viewer.get_camera()
            if time.monotonic() - began[0] > seconds:
                ps.unshow()
        set_user_callback(frame)
    ps.set_user_callback = ending
    show = ps.show

    def show_and_report(*args, **kwargs):
        show(*args, **kwargs)
        for navigator, start in navigators:
            report(navigator, start)
    ps.show = show_and_report


def report(navigator, start):
    moved = np.abs(navigator.viewer.get_camera() - start).max()
    print(f"moved={moved:.6f}", flush=True)


runpy.run_path(script, run_name="__main__")

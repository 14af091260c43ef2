"""A script that attaches a navigator and then ends one way, for test_pyvista.py.

    python pyvista_close_app.py HOW

HOW is how the plotter goes away:
- plotter: a plain off-screen Plotter, shown once (show() closes it);
- window: a pyvistaqt BackgroundPlotter whose window is closed by Qt (the window's
  close(), which skips the plotter's own close());
- widget: a QtInteractor inside a window of the application, destroyed with that window;
- quit: a QtInteractor whose owner never closes it; the application quits;
- exit: a BackgroundPlotter left open when the script ends.

Prints "enabled=BOOL" once the plotter is gone (the navigator's state then); stderr
must stay empty up to and including the interpreter's exit.
"""
import sys

import pyvista as pv

from pyzibrel.pyvista import attach

how = sys.argv[1]
report = {}

if how == "plotter":
    plotter = pv.Plotter(off_screen=True, window_size=(200, 150))
    plotter.add_mesh(pv.Sphere())
    navigator = attach(plotter)
    plotter.show()
    print(f"enabled={navigator.enabled}")
    sys.exit(0)

from pyvistaqt import BackgroundPlotter, QtInteractor  # noqa: E402
from qtpy.QtCore import QTimer  # noqa: E402
from qtpy.QtWidgets import QApplication, QMainWindow  # noqa: E402

if how in ("window", "exit"):
    plotter = BackgroundPlotter(window_size=(300, 200), show=True)
    plotter.add_mesh(pv.Sphere())
    navigator = attach(plotter)
    if how == "window":
        QTimer.singleShot(500, plotter.app_window.close)
    else:
        QTimer.singleShot(500, plotter.app.quit)
    plotter.app.exec()
    print(f"enabled={navigator.enabled}")
    sys.exit(0)

app = QApplication.instance() or QApplication(sys.argv)
window = QMainWindow()
interactor = QtInteractor(window)
window.setCentralWidget(interactor)
interactor.add_mesh(pv.Sphere())
window.resize(300, 200)
window.show()
navigator = attach(interactor)
if how == "widget":
    def destroy():
        window.deleteLater()  # the interactor goes with its parent
        QTimer.singleShot(300, app.quit)
    QTimer.singleShot(500, destroy)
elif how == "quit":
    QTimer.singleShot(500, app.quit)
else:
    sys.exit(f"unknown way to end: {how}")
app.exec()
print(f"enabled={navigator.enabled}")

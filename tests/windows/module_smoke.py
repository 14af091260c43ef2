"""The module on Windows, run by ./dev windows under wine with the embeddable CPython.

    python module_smoke.py FOLDER moves               the module and QorZibrel.dll in FOLDER:
                                                      the device file that ZIBREL_DEVICE names
                                                      (file:PATH) moves the camera
    python module_smoke.py FOLDER refused             the module alone in FOLDER: enabling is
                                                      refused, naming the missing library

The embeddable CPython has no numpy and reads only its own path file, so this
uses the module's value types and puts FOLDER on sys.path itself. ZIBREL_DEVICE
comes from the caller: the library reads its C runtime's environment, which on
Windows does not see what os.environ sets after the start.
"""
import datetime
import math
import sys

folder, case = sys.argv[1], sys.argv[2]
sys.path.insert(0, folder)
import _pyzibrel as z  # noqa: E402


class Scene(z.ZibrelNavigationModel):
    """A camera at z = 10 looking at a unit box at the origin."""

    def __init__(self):
        super().__init__(False, 0)
        self.camera = z.ZibrelMatrix(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10, 0, 0, 0, 1)

    def _get_camera_matrix(self): return self.camera
    def _get_is_view_perspective(self): return True
    def _get_view_fov(self): return math.radians(60)
    def _get_view_frustum(self): return None
    def _get_view_extents(self): return z.ZibrelBox(-2, -1.5, -100, 2, 1.5, 100)
    def _get_model_extents(self): return z.ZibrelBox(-1, -1, -1, 1, 1, 1)
    def _get_is_selection_empty(self): return True
    def _get_selection_extents(self): return None
    def _get_selection_transform(self): return None
    def _get_hit_look_at(self): return None
    def _is_user_pivot(self): return False
    def _get_pivot_position(self): return z.ZibrelPoint(0, 0, 0)
    def _get_pivot_visible(self): return False
    def _get_pointer_position(self): return None
    def _set_camera_matrix(self, m): self.camera = z.ZibrelMatrix(m)

    # Writes the smoke does not look at.
    def _ignore(self, *_): pass
    _set_view_extents = _set_view_fov = _set_view_frustum = _set_selection_transform = _ignore
    _set_pivot_position = _set_pivot_visible = _set_hit_aperture = _set_hit_direction = _ignore
    _set_hit_look_from = _set_hit_selection_only = _set_active_command = _set_motion_flag = _ignore
    _set_transaction = _ignore


def position(m):
    return (m.m03, m.m13, m.m23)


scene = Scene()
scene._put_frame_timing_source(1)
scene._put_profile_hint("windows smoke")
if case == "refused":
    try:
        scene._enable_navigation(True)
    except Exception as e:  # the module's refusal, whatever its class
        message = str(e)
        assert "QorZibrel.dll" in message, message
        print(f"module smoke refused: ok ({type(e).__name__}: {message})")
        sys.exit(0)
    sys.exit("module smoke refused: FAILED: navigation was enabled without QorZibrel.dll")

scene._enable_navigation(True)
start = position(scene.camera)
for i in range(120):
    scene._put_frame_time(datetime.timedelta(milliseconds=5000 + 10 * i))
end = position(scene.camera)
scene._enable_navigation(False)
moved = math.dist(start, end)
if moved < 1e-3:
    sys.exit(f"module smoke moves: FAILED: the camera stayed at {start}")
print(f"module smoke moves: ok (the camera went from {start} to {end})")

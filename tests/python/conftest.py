import os
import sys
import pathlib

sys.path.insert(0, str(pathlib.Path(__file__).parent))

# The library's default source is `auto`, which looks for real devices and
# writes a notice when it finds none: tests name their sources themselves.
os.environ["ZIBREL_DEVICE"] = "none"

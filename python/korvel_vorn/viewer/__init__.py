"""The interactive replay in the browser: seek, play and inspect any moment of a loaded session.

`view(session)` shows it (inline in a notebook, else served on 127.0.0.1);
``python -m korvel_vorn view DATASET`` does the same from the command line. Needs Bokeh
(``pip install 'korvel_vorn[viewer]'``).
"""

from .server import Viewer, ViewerUnavailable, serve, view

__all__ = ["Viewer", "ViewerUnavailable", "serve", "view"]

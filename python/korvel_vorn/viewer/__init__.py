"""The interactive replay in the browser: seek, play and inspect any moment of a loaded session.

`view(session)` shows it (inline in a notebook, else served on 127.0.0.1);
``python -m korvel_vorn view DATASET`` does the same from the command line. The page is plain
JavaScript drawing on canvases (``static/``), fed binary frames over one WebSocket per tab; serving
needs the websockets library (``pip install 'korvel_vorn[viewer]'``).
"""

from .server import Viewer, serve
from .shared import ViewerUnavailable
from .show import view

__all__ = ["Viewer", "ViewerUnavailable", "serve", "view"]

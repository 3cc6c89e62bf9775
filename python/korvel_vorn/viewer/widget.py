"""The viewer inline in a Jupyter notebook: an anywidget whose module is the page's own client, the
engine running in the kernel. The page's requests arrive as the widget's custom messages and its
frames leave as their binary buffers, so no server is started.

Without anywidget (``pip install 'korvel_vorn[notebook]'``) `show.view` serves the page on 127.0.0.1
and shows it in an iframe instead.
"""

from __future__ import annotations

import json
import logging
import re
from typing import Any

from ..session import Session
from .shared import STATIC, ViewerUnavailable, model_of
from .tab import BadMessage, Tab

log = logging.getLogger("korvel_vorn.viewer")

# The client's modules in the order they depend on each other: the widget's module is them joined.
CLIENT_MODULES = ("frame.js", "palette.js", "axes.js", "panels.js", "venues.js", "viewer.js")
WIDGET_GLUE = """
function widgetTransport(model) {
  const handlers = { message: () => {}, status: () => {} };
  model.on("msg:custom", (content, buffers) => {
    if (buffers && buffers.length) {
      const b = buffers[0];
      handlers.message(b.buffer.slice(b.byteOffset, b.byteOffset + b.byteLength));
    } else handlers.message(content);
  });
  return { send(m) { model.send(m); return true; }, onMessage(fn) { handlers.message = fn; },
           onStatus(fn) { handlers.status = fn; }, close() {} };
}
export default {
  render({ model, el }) {
    el.style.height = "720px";
    const view = mount(el, widgetTransport(model), { address: false, keysOnWindow: false });
    model.send({ type: "hello" });
    return () => view.state.playing = false;
  },
};
"""


def widget_module() -> str:
    """The client as one ES module: the modules joined, their imports dropped (they name each
    other only), their exports made plain declarations, and the widget's `render` added."""
    parts = []
    for name in CLIENT_MODULES:
        text = (STATIC / name).read_text(encoding="utf-8")
        text = re.sub(r"^import .*?;\n", "", text, flags=re.MULTILINE)
        parts.append(f"// --- {name}\n" + re.sub(r"^export ", "", text, flags=re.MULTILINE))
    return "\n".join(parts) + WIDGET_GLUE


class WidgetPage:
    """What a widget does with the page's messages, apart from the widget itself (tests drive it
    directly): `receive(content)` returns the replies, each (content, buffers)."""

    def __init__(self, session: Session, *, symbol: str = "market", spec: dict[str, Any] | None = None) -> None:
        self.tab = Tab(model_of(session, None, symbol, spec))

    def receive(self, content: Any) -> list[tuple[dict[str, Any], list[bytearray]]]:
        if isinstance(content, dict) and content.get("type") == "hello":
            return [(self.tab.hello(), [])]
        try:
            request = self.tab.read(json.dumps(content))
        except BadMessage as error:
            return [({"type": "frame"}, [self.tab.error_frame(error.request_id, error)])]
        except (TypeError, ValueError):
            log.warning("ignored a message from a notebook page that is not JSON: %.80r", content)
            return []
        if request is None:
            return []
        return [({"type": "frame"}, [self.tab.frame(request)])]


def replay_widget(session: Session, *, symbol: str = "market", spec: dict[str, Any] | None = None) -> Any:
    """The notebook widget of the replay of `session` (anywidget)."""
    try:
        import anywidget
    except ImportError:
        raise ViewerUnavailable("the notebook widget needs anywidget: pip install 'korvel_vorn[notebook]'") from None
    page = WidgetPage(session, symbol=symbol, spec=spec)

    class ReplayWidget(anywidget.AnyWidget):
        _esm = widget_module()

    widget = ReplayWidget()

    def on_message(_widget: Any, content: Any, _buffers: Any) -> None:
        for reply, buffers in page.receive(content):
            widget.send(reply, buffers=buffers)

    widget.on_msg(on_message)
    widget.page = page
    return widget


__all__ = ["CLIENT_MODULES", "WidgetPage", "replay_widget", "widget_module"]

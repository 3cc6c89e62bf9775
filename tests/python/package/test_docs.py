"""The README stays a landing page and the guides stay reachable: at most 200 lines, every page of
docs/ linked from it, and every relative link and anchor of the README and the guides pointing at
something that exists."""

from __future__ import annotations

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[3]
README = ROOT / "README.md"
DOCS = ROOT / "docs"
PAGES = [README, *sorted(DOCS.glob("*.md"))]
README_MAX_LINES = 200
# [text](target) and ![alt](target); targets with a scheme or a mail address are not followed.
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~).*?^\1", re.MULTILINE | re.DOTALL)


def anchor(heading: str) -> str:
    """The anchor GitHub gives a heading: lower case, punctuation dropped, spaces to hyphens."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(page: pathlib.Path) -> set[str]:
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    return {anchor(line.lstrip("#")) for line in text.splitlines() if re.match(r"#{1,6} ", line)}


def links(page: pathlib.Path) -> list[str]:
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    text = re.sub(r"^(    |\t).*$", "", text, flags=re.MULTILINE)  # indented code blocks
    return [target for target in LINK.findall(text) if not re.match(r"[a-z]+:", target)]


@pytest.mark.parametrize(("heading", "expected"), [
    ("Load, frames and memory", "load-frames-and-memory"),
    ("The viewer in Chromium", "the-viewer-in-chromium"),
    ("`render` and `replay`", "render-and-replay"),
    ("Architecture: the layers, and where a change goes", "architecture-the-layers-and-where-a-change-goes"),
    ("Tests and benchmark", "tests-and-benchmark"),
])
def test_anchors_as_github_makes_them(heading, expected):
    assert anchor(heading) == expected


def test_the_readme_is_a_landing_page():
    lines = len(README.read_text(encoding="utf-8").splitlines())
    assert lines <= README_MAX_LINES, f"README.md has {lines} lines: move the reference into docs/"


@pytest.mark.parametrize("page", sorted(DOCS.glob("*.md")), ids=lambda page: page.name)
def test_every_guide_is_linked_from_the_readme(page):
    assert f"docs/{page.name}" in links(README), f"README.md's table of contents lacks docs/{page.name}"


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_every_relative_link_finds_its_file_and_anchor(page):
    broken = []
    for target in links(page):
        path_part, _, fragment = target.partition("#")
        destination = (page.parent / path_part).resolve() if path_part else page
        if not destination.exists():
            broken.append(f"{target} (no such file)")
        elif fragment and destination.suffix == ".md" and fragment not in anchors(destination):
            broken.append(f"{target} (no such heading)")
    assert not broken, f"{page.relative_to(ROOT)}: " + ", ".join(broken)

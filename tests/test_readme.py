"""README.md and docs/*.md read as written: every code fence closes, no section
heading is swallowed by a code block, relative links and their anchors exist;
the README is short, opens with the install command and a sample, and its
example prints what it shows."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
pytestmark = pytest.mark.skipif(not README.is_file(), reason="not run from a source tree")
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r" {0,3}(`{3,}|~{3,})(.*)$")  # CommonMark's fences, as GitHub renders them


def blocks(text):
    """[first line, last line (None: never closed), info string, body] of each fenced block."""
    found, current = [], None
    for number, line in enumerate(text.splitlines(), 1):
        m = FENCE.match(line)
        if current is None:
            if m and not (m.group(1)[0] == "`" and "`" in m.group(2)):
                current = [number, None, m.group(2).strip(), [], m.group(1)]
        elif m and m.group(1)[0] == current[4][0] and len(m.group(1)) >= len(current[4]) \
                and not m.group(2).strip():
            current[1] = number
            found.append(current[:4])
            current = None
        else:
            current[3].append(line)
    return found + ([current[:4]] if current else [])


def headings(text):
    """GitHub's anchors of the headings outside code blocks."""
    inside = {n for first, last, _, body in blocks(text) for n in range(first, (last or 10**9) + 1)}
    return {re.sub(r"[^\w\- ]", "", line.lstrip("#").strip().lower()).replace(" ", "-")
            for n, line in enumerate(text.splitlines(), 1)
            if n not in inside and re.match(r"#{1,6} ", line)}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_code_blocks_close_and_hold_no_heading(page):
    for first, last, _, body in blocks(page.read_text(encoding="utf-8")):
        assert last is not None, f"{page.name}:{first}: a code fence that never closes"
        swallowed = [line for line in body if re.match(r"#{2,6} ", line)]
        assert not swallowed, f"{page.name}:{first}-{last}: headings inside a code block: {swallowed}"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_relative_links_reach_a_file_and_heading(page):
    text = page.read_text(encoding="utf-8")
    for target, anchor in re.findall(r"\]\(([^)#\s]*)(?:#([^)\s]+))?\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        linked = (page.parent / target).resolve() if target else page
        assert linked.exists(), f"{page.name}: link to missing {target}"
        if anchor:
            assert anchor in headings(linked.read_text(encoding="utf-8")), f"{page.name}: {target}#{anchor}"


def test_readme_is_short_and_opens_with_install_and_sample():
    lines = README.read_text(encoding="utf-8").splitlines()
    assert len(lines) <= 250
    opening = "\n".join(lines[:60])
    assert "pip install" in opening and "sample(" in opening


def test_readme_example_prints_what_it_shows(tmp_path):
    """The first Python block of the README, run as it is, prints the block after it."""
    text = README.read_text(encoding="utf-8")
    found = blocks(text)
    index = next(i for i, b in enumerate(found) if b[2] == "python")
    example, shown = found[index][3], found[index + 1][3]
    run = subprocess.run([sys.executable, "-c", "\n".join(example)], cwd=tmp_path,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == shown

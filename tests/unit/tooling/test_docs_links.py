"""Every relative link of the README and of docs/ leads to a file of the tree,
and every #anchor to a heading of that file (as the repository host renders
it: lower case, punctuation dropped, spaces as hyphens)."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
# Pages written on other branches at the same time: links to them are checked
# once they exist. Empty this once they are merged.
WRITTEN_ELSEWHERE: set[str] = set()

FENCE = re.compile(r"^```.*?^```", re.M | re.S)
CODE = re.compile(r"`[^`\n]*`")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def prose(text):
    return FENCE.sub("", text)


def anchors(path):
    seen, found = {}, set()
    for heading in re.findall(r"^#{1,6}\s+(.+?)\s*#*$", prose(path.read_text()), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if not count else "%s-%d" % (slug, count))
    return found


def broken_links(page, root=ROOT, elsewhere=()):
    broken = []
    for target in LINK.findall(CODE.sub("", prose(page.read_text()))):
        if re.match(r"[a-z]+:", target):
            continue  # http:, mailto: ...
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        if not file.exists():
            if file.relative_to(root).as_posix() not in elsewhere:
                broken.append(target)
        elif anchor and file.suffix == ".md" and anchor not in anchors(file):
            broken.append(target)
    return broken


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.relative_to(ROOT).as_posix())
def test_every_link_resolves(page):
    assert broken_links(page, elsewhere=WRITTEN_ELSEWHERE) == []


def test_a_missing_file_or_heading_is_reported(tmp_path):
    (tmp_path / "other.md").write_text("# Other\n## A `code` heading: yes\n")
    page = tmp_path / "page.md"
    page.write_text("[ok](other.md#a-code-heading-yes) [gone](nowhere.md) "
                    "[no heading](other.md#missing) [self](#nope) `[in code](x.md)`\n"
                    "```\n[fenced](y.md)\n```\n![pic](other.md)\n")
    assert broken_links(page, root=tmp_path) == ["nowhere.md", "other.md#missing", "#nope"]

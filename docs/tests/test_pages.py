"""The pages say what the code does: every Python block runs as written.

Every Python code block of the site's pages, the README and ARCHITECTURE runs;
a page's blocks run in order in one namespace, as a reader would type them:
``python`` blocks are executed, ``pycon`` blocks are doctests whose shown
results and errors must be what the interpreter prints.
"""

import doctest
import pathlib
import re
import subprocess

import pytest
from markdown_it import MarkdownIt

ROOT = pathlib.Path(__file__).resolve().parents[2]
GENERATED = {"api", "gallery"}
PAGES = [
    *sorted(
        page
        for page in (ROOT / "docs").rglob("*.md")
        if GENERATED.isdisjoint(page.relative_to(ROOT / "docs").parts)
    ),
    ROOT / "README.md",
    ROOT / "ARCHITECTURE.md",
]
PYTHON = {"python", "py", "python3"}
CONSOLE = {"pycon", "python-console"}


def code_blocks(page):
    """(language, first line, text) of each fenced block, in order."""
    tokens = MarkdownIt("commonmark").parse(page.read_text())
    return [
        (token.info.split()[0] if token.info else "", token.map[0] + 1, token.content)
        for token in tokens
        if token.type == "fence"
    ]


def run_console(text, namespace, name, line):
    test = doctest.DocTestParser().get_doctest(text, namespace, name, name, line)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append, clear_globs=False)
    namespace.update(test.globs)  # the test ran in a copy
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_code_blocks_run(page):
    namespace = {"__name__": "__main__"}
    blocks = [block for block in code_blocks(page) if block[0] in PYTHON | CONSOLE]
    for language, line, text in blocks:
        name = f"{page.relative_to(ROOT)}:{line}"
        if language in CONSOLE:
            run_console(text, namespace, name, line)
        else:
            exec(compile(text, name, "exec"), namespace)


def test_pages_show_python():
    """The pages meant to teach by example have code to run (the checks above are not empty)."""
    counted = {
        page.relative_to(ROOT).as_posix(): sum(
            language in PYTHON | CONSOLE for language, _, _ in code_blocks(page)
        )
        for page in PAGES
    }
    for page in [
        "README.md",
        "docs/index.md",
        "docs/guide/scalar.md",
        "docs/guide/arrays.md",
        "docs/guide/errors.md",
    ]:
        assert counted[page] >= 2, (page, counted[page])


def test_development_page_names_every_stage():
    """The stage table of the development page follows scripts/test --list."""
    listed = subprocess.run(
        [ROOT / "scripts" / "test", "--list"], capture_output=True, text=True, check=True
    ).stdout
    stages = [line.partition(":")[0] for line in listed.splitlines()]
    named = set()
    for line in (ROOT / "docs" / "development.md").read_text().splitlines():
        if not line.startswith("| `"):
            continue
        cell = line.split("|")[1]
        names = re.findall(r"`([^`]+)`", cell)
        if "…" in cell:  # `first` … `last`: the stages between them in the list's order
            first, last = stages.index(names[0]), stages.index(names[-1])
            names = stages[first : last + 1]
        named.update(names)
    assert [stage for stage in stages if stage not in named] == []

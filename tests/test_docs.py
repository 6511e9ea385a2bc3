"""Runs the examples of docs/api.md: every ```pycon block, one test per section.

Blocks of one section share their names; each section starts afresh.
"""

import doctest
import re

import pytest

from conftest import source_file

DOC = source_file("docs/api.md")
FLAGS = doctest.ELLIPSIS


def sections() -> dict[str, str]:
    """Section title -> the document's text with everything but that section's
    example blocks blanked, so that line numbers stay those of the file."""
    lines = DOC.read_text().splitlines()
    found: dict[str, list[str]] = {}
    title, in_block = "", False
    for number, line in enumerate(lines):
        if line.startswith("## "):
            title = line[3:]
        if line.startswith("```"):
            in_block = line == "```pycon"
            continue
        if in_block:
            found.setdefault(title, [""] * len(lines))[number] = line
    return {t: "\n".join(body) + "\n" for t, body in found.items()}


SECTIONS = sections()


def test_every_section_has_examples():
    titles = [line[3:] for line in DOC.read_text().splitlines() if line.startswith("## ")]
    assert titles == list(SECTIONS)


@pytest.mark.thread_unsafe(reason="doctest redirects sys.stdout")
@pytest.mark.parametrize("title", SECTIONS)
def test_examples(title):
    for module in re.findall(r"^>>> import (\w+)", SECTIONS[title], flags=re.M):
        pytest.importorskip(module, reason=f"{module} is not installed for this interpreter")
    parser = doctest.DocTestParser()
    test = parser.get_doctest(SECTIONS[title], {}, f"{DOC.name} {title}", str(DOC), 0)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
    assert runner.tries > 0


def test_no_example_outside_blocks():
    text = re.sub(r"```pycon\n.*?```", "", DOC.read_text(), flags=re.S)
    assert ">>>" not in text

"""The fenced blocks of a README, for the tests that run them as a reader
would."""

import re

HEADING = re.compile(r"(#+) ")


def fenced_blocks(readme, level):
    """Yields (section, language, lines) for each fenced block of the README
    text: section is the last heading of at most `level` '#'s before it, so
    deeper headings stay inside their section. Lines inside a block are never
    headings: a '#' comment of a shell or Python block, or a C '#include',
    is the block's own."""
    section, language, block = "", None, None
    for line in readme.splitlines():
        if block is not None:
            if line == "```":
                yield section, language, block
                block = None
            else:
                block.append(line)
        elif line.startswith("```"):
            language, block = line[3:], []
        else:
            heading = HEADING.match(line)
            if heading and len(heading.group(1)) <= level:
                section = line

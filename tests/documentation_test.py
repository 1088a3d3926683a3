"""Runs the commands that the README and the manual pages show, and compares
the output they show with the output the commands produce now.

README.md: inside a fenced code block, a line starting with "$ " is a
command (a line ending in a backslash continues it on the next line); the
lines after it, up to the next "$ " line or the end of the block, are its
output, exactly. Blocks without a "$ " line are recipes and are not run. A
block that cannot be run is marked on the line before its fence with
<!-- documentation test: not run, REASON --> and is listed when the test
runs; make a block deterministic rather than mark it.

Manual pages (man/*.1): inside an .EX/.EE example, a comment line
'.\\" $ command' names the command that produced the lines after it (up to
the next such comment or .EE), as they read once rendered (\\- is -, \\(aq
is ', and so on). Examples without such a comment are not run.

Each command runs with bash in a scratch folder that shows every entry of
the source tree (so examples/sample.16c and build/bin/tolvek resolve to the
tree and to this build) and keeps the files the commands write, in the
order the commands appear, one folder per document. The output compared is
standard output and standard error together, as `2>&1` shows them; the exit
status is reported, not compared. PATH starts with the build's programs,
then /usr/bin (Debian's python3), and PYTHONPATH is the build's Python
package; TZ=UTC and LC_ALL=C.UTF-8.

Usage: documentation_test.py SOURCE_DIR BUILD_DIR [PYTHON_SITE]
Exits 0 when every output matches, 1 when one does not, 77 (skipped) when
the Python package was not built and a command needs it (the others still
run and are compared).
"""

import difflib
import os
import pathlib
import re
import subprocess
import sys
import tempfile

COMMAND_SECONDS = 120
NOT_RUN = re.compile(r"<!--\s*documentation test:\s*not run,\s*(.+?)\s*-->")
FENCE = re.compile(r"^( {0,3})(`{3,}|~{3,})")


class Example:
    def __init__(self, place, command, output):
        self.place = place        # "README.md:123"
        self.command = command    # shell text
        self.output = output      # list of lines, without line ends


def commands_in_block(document, first_line, lines, prefix=""):
    """The commands of one block: lines starting with prefix + "$ "."""
    examples = []
    current = None
    continued = False
    for offset, line in enumerate(lines):
        if continued:
            current.command += "\n" + line
            continued = line.endswith("\\")
            continue
        if line.startswith(prefix + "$ "):
            current = Example(f"{document}:{first_line + offset}", line[len(prefix) + 2:], [])
            examples.append(current)
            continued = line.endswith("\\")
        elif current is not None:
            current.output.append(line)
    return examples


def markdown_examples(path, document):
    """The commands of a Markdown file, and the blocks marked not run."""
    lines = path.read_text(encoding="utf-8").split("\n")
    examples, not_run = [], []
    index = 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        indent, fence = len(opening.group(1)), opening.group(2)
        start = index + 1
        end = start
        while end < len(lines) and not re.match(
                r"^ {0,3}" + re.escape(fence[0]) + "{" + str(len(fence)) + r",}\s*$",
                lines[end]):
            end += 1
        # The fence's indentation is not part of the block's lines.
        body = [line[indent:] if line[:indent] == " " * indent else line.lstrip()
                for line in lines[start:end]]
        marked = NOT_RUN.search(lines[index - 1]) if index > 0 else None
        found = commands_in_block(document, start + 1, body)
        if marked:
            not_run.append(f"{document}:{index + 1}: {marked.group(1)}")
        else:
            examples.extend(found)
        index = end + 1
    return examples, not_run


# troff escapes that the example blocks of the manual pages use, as rendered.
TROFF_ESCAPES = {"\\-": "-", "\\(aq": "'", "\\(lq": "\u201c", "\\(rq": "\u201d",
                 "\\(mu": "\u00d7", "\\&": "", "\\ ": " ", "\\e": "\\",
                 "\\fB": "", "\\fI": "", "\\fR": "", "\\fP": ""}


def rendered(line, place):
    if line.startswith((".", "'")):
        raise SystemExit(f"{place}: the troff request {line!r} in an example is not rendered "
                         "by this test")

    def escape(match):
        if match.group(0) not in TROFF_ESCAPES:
            raise SystemExit(f"{place}: the troff escape {match.group(0)!r} in an example is "
                             "not rendered by this test")
        return TROFF_ESCAPES[match.group(0)]
    return re.sub(r"\\(\(..|f.|.)", escape, line)


def manual_examples(path, document):
    """The commands of a manual page's .EX blocks, from '.\\" $ ' comments."""
    lines = path.read_text(encoding="utf-8").split("\n")
    examples = []
    index = 0
    while index < len(lines):
        if lines[index].strip() != ".EX":
            index += 1
            continue
        start = index + 1
        end = start
        while end < len(lines) and lines[end].strip() != ".EE":
            end += 1
        block = lines[start:end]
        if any(line.startswith('.\\" $ ') for line in block):
            kept = []
            for offset, line in enumerate(block):
                place = f"{document}:{start + offset + 1}"
                if line.startswith('.\\" $ '):
                    kept.append(line[4:])
                elif line.startswith('.\\"'):
                    continue
                else:
                    kept.append(rendered(line, place))
            examples.extend(commands_in_block(document, start + 1, kept))
        index = end + 1
    return examples


def scratch_folder(source, build, parent):
    """A folder that shows the source tree's entries, build/ being this build."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="documentation-", dir=parent))
    for entry in source.iterdir():
        if entry.name not in (".git", "build"):
            (folder / entry.name).symlink_to(entry)
    (folder / "build").symlink_to(build)
    return folder


def run(example, folder, environment):
    try:
        done = subprocess.run(["bash", "-c", example.command], cwd=folder, env=environment,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=COMMAND_SECONDS, check=False)
    except subprocess.TimeoutExpired:
        return None, f"still running after {COMMAND_SECONDS} seconds"
    return done.returncode, done.stdout.decode("utf-8", errors="replace")


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    source = pathlib.Path(sys.argv[1]).resolve()
    build = pathlib.Path(sys.argv[2]).resolve()
    site = pathlib.Path(sys.argv[3]).resolve() if len(sys.argv) == 4 else None
    python_built = site is not None and (site / "digisonde16c").is_dir()

    environment = dict(os.environ)
    environment["PATH"] = os.pathsep.join(
        [str(build / "bin"), "/usr/bin", environment.get("PATH", "")])
    if python_built:
        environment["PYTHONPATH"] = str(site)
    environment.update(TZ="UTC", LC_ALL="C.UTF-8", PYTHONDONTWRITEBYTECODE="1")

    documents = [("README.md", *markdown_examples(source / "README.md", "README.md"))]
    for page in sorted((source / "man").glob("*.1")):
        documents.append((f"man/{page.name}", manual_examples(page, f"man/{page.name}"), []))
    if not documents[0][1]:
        print("README.md shows no command: the blocks were not found")
        return 1

    failures, skipped, count = 0, [], 0
    with tempfile.TemporaryDirectory(prefix="documentation-test-") as parent:
        for document, examples, not_run in documents:
            for line in not_run:
                print(f"not run: {line}")
            folder = scratch_folder(source, build, parent)
            for example in examples:
                if not python_built and "python" in example.command:
                    skipped.append(example)
                    continue
                count += 1
                status, output = run(example, folder, environment)
                expected = "".join(line + "\n" for line in example.output)
                if status is not None and output == expected:
                    continue
                failures += 1
                print(f"{example.place}: the output of\n  $ {example.command}\n"
                      f"differs from the one shown (exit status {status}):")
                if status is None:
                    print(output)
                    continue
                diff = difflib.unified_diff(expected.splitlines(keepends=True),
                                            output.splitlines(keepends=True),
                                            "shown", "produced")
                for line in diff:
                    print(line if line.endswith("\n") else line + "\n\\ no line end", end="")
                print()
    print(f"{count} commands run, {failures} with other output than shown")
    if failures:
        return 1
    if skipped:
        for example in skipped:
            print(f"skipped (the Python package was not built): {example.place}: "
                  f"$ {example.command}")
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main())

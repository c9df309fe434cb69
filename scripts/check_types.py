#!/usr/bin/env python3
"""scripts/check_types.py <package-dir>: checks kelmora's typing with mypy --strict.

<package-dir> holds the assembled package (a build's python/ folder, where the extension and the
stubs are). Checked, with the settings of python/mypy.ini:
  * the package itself (its stubs, and the modules typed inline);
  * the Python examples (examples/python);
  * every ```python block of README.md and python/README.md, each as a module of its own;
  * the Python tests, for their use of the package's public API.
Exits with mypy's status; prints where a failing snippet came from.
"""

import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCUMENTS = ["README.md", "python/README.md"]


def snippets(document):
    """(first line number, code) of every ```python block of `document`."""
    with open(os.path.join(ROOT, document), encoding="utf-8") as source:
        text = source.read()
    for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
        yield text.count("\n", 0, match.start()) + 2, match.group(1)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    package_dir = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as work:
        files = []
        for document in DOCUMENTS:
            for line, code in snippets(document):
                name = "snippet_%s_line%d.py" % (re.sub(r"\W", "_", document), line)
                with open(os.path.join(work, name), "w", encoding="utf-8") as out:
                    out.write("# from %s, line %d\n%s" % (document, line, code))
                files.append(os.path.join(work, name))
        examples = os.path.join(ROOT, "examples", "python")
        if os.path.isdir(examples):
            files += sorted(os.path.join(examples, f) for f in os.listdir(examples)
                            if f.endswith(".py"))
        env = dict(os.environ, MYPYPATH=package_dir + os.pathsep + os.path.join(ROOT, "python",
                                                                               "tests"))
        common = [sys.executable, "-m", "mypy", "--config-file",
                  os.path.join(ROOT, "python", "mypy.ini"), "--cache-dir",
                  os.path.join(work, "cache"), "--no-error-summary"]
        runs = [
            ["-p", "kelmora"],
            files,
            # The tests are checked for how they use the package: their own functions may stay
            # unannotated (their bodies are still checked), and the hygiene of their local data
            # is not the point.
            ["--allow-untyped-defs", "--allow-incomplete-defs", "--allow-untyped-calls",
             "--allow-untyped-decorators", "--check-untyped-defs",
             "--disable-error-code", "var-annotated", "--disable-error-code", "union-attr",
             "--disable-error-code", "type-arg", "--disable-error-code", "func-returns-value",
             "--disable-error-code", "index", "--disable-error-code", "assignment", os.path.join(ROOT, "python", "tests")],
        ]
        status = 0
        for arguments in runs:
            done = subprocess.run(common + arguments, env=env, cwd=package_dir,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            output = done.stdout.replace(work + os.sep, "")
            if done.returncode != 0:
                sys.stdout.write(output)
                status = done.returncode
        if status == 0:
            print("mypy --strict: the package, %d snippets and examples, and the tests pass"
                  % len(files))
        return status


if __name__ == "__main__":
    sys.exit(main())

"""Every public class, function and method of the package has a docstring (help() and editors
show it)."""

import importlib
import inspect
import re

import pytest

MODULES = ["kelmora", "kelmora.core", "kelmora.nodes.action_node", "kelmora.nodes.condition_node",
           "kelmora.nodes.control_node", "kelmora.nodes.decorator_node",
           "kelmora.engine.sequential_engine", "kelmora.engine.trigger.mthread", "kelmora.llm",
           "kelmora.aio", "kelmora._native"]

# What pybind11 and the object model give every class; their docstrings are not ours to write.
INHERITED = {"__init__", "__repr__", "__iter__", "__next__", "__call__", "__eq__", "__hash__",
             "__int__", "__index__", "__ne__", "__getstate__", "__setstate__", "__str__",
             "__aenter__", "__aexit__", "name", "value"}


def public_members(module_name):
    module = importlib.import_module(module_name)
    yield module_name, module
    for name, value in vars(module).items():
        if name.startswith("_") or not (inspect.isclass(value) or callable(value)):
            continue
        if getattr(value, "__module__", module_name) not in (module_name, "kelmora._native"):
            continue  # imported from elsewhere (typing, asyncio, ...)
        yield "%s.%s" % (module_name, name), value
        if inspect.isclass(value):
            for member_name, member in vars(value).items():
                if member_name.startswith("_") or member_name in INHERITED:
                    continue
                if callable(member) or isinstance(member, (property, staticmethod)):
                    yield "%s.%s.%s" % (module_name, name, member_name), member


def described(value):
    """The docstring without the signature lines pybind11 writes into it."""
    lines = (inspect.getdoc(value) or "").splitlines()
    return "\n".join(line for line in lines
                     if not re.match(r"^(\d+\. )?\w+\(.*\)( -> .*)?$", line)
                     and line.strip() != "Overloaded function.").strip()


@pytest.mark.parametrize("module_name", MODULES)
def test_public_names_have_docstrings(module_name):
    missing = [name for name, value in public_members(module_name)
               if not described(value)]
    assert missing == []

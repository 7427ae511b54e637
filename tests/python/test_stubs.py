"""The shipped type stubs match the module: every public name, every signature."""
import ast
import inspect
import os
import types

import pytest

import trelvar as trv

STUBS = os.path.join(os.path.dirname(__file__), "..", "..", "src", "python", "trelvar.pyi")


def stub_tree():
    with open(STUBS) as f:
        return ast.parse(f.read())


def params(fn, drop_self):
    names = [a.arg for a in fn.args.args]
    return names[1:] if drop_self else names


def runtime_params(obj):
    return list(inspect.signature(obj).parameters)


def test_public_names_match():
    tree = stub_tree()
    stubbed = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    stubbed |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    public = {n for n in vars(trv) if not n.startswith("_")} | {"__version__"}
    assert stubbed - {"Vector", "Matrix"} == public


def test_function_signatures_match():
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            assert params(node, False) == runtime_params(getattr(trv, node.name)), node.name


def test_class_members_match():
    for cls_node in (n for n in stub_tree().body if isinstance(n, ast.ClassDef)):
        cls = getattr(trv, cls_node.name)
        members = {}
        for node in cls_node.body:
            if isinstance(node, ast.FunctionDef):
                members[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                members[node.target.id] = node
        runtime = {n for n in vars(cls) if not n.startswith("_")}
        assert set(members) - {"__init__"} == runtime, cls_node.name
        if "__init__" in members:
            assert params(members["__init__"], True) == runtime_params(cls), cls_node.name
        else:
            # A class stubbed without a constructor cannot be instantiated.
            with pytest.raises(TypeError):
                cls()
        for name, node in members.items():
            if name == "__init__" or isinstance(node, ast.AnnAssign):
                continue
            attr = vars(cls)[name]
            decorators = [d.id for d in node.decorator_list if isinstance(d, ast.Name)]
            if "property" in decorators:
                assert isinstance(attr, types.GetSetDescriptorType), f"{cls_node.name}.{name}"
            elif "staticmethod" in decorators:
                assert params(node, False) == runtime_params(getattr(cls, name))
            else:
                # Unbound methods report (self, /, ...).
                assert params(node, True) == runtime_params(attr)[1:], f"{cls_node.name}.{name}"



def test_every_stub_has_a_one_line_description():
    for node in ast.walk(stub_tree()):
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name != "__init__":
            doc = ast.get_docstring(node)
            assert doc and "\n" not in doc, node.name

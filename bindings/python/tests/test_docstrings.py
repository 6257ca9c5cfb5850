"""Every public name of the package is documented: functions, classes and
their public members by docstrings of their own, constants and dataclass
fields in the docstring of a module that holds them or of their class."""

import importlib
import inspect
import re

MODULES = ["brv", "brv.arrays", "brv.calibration", "brv.device", "brv.errors", "brv.flags", "brv.ports",
           "brv.recording", "brv.samples"]


def documented(name, text):
    return re.search(r"\b%s\b" % re.escape(name), text or "") is not None


def own_doc(obj):
    return bool((getattr(obj, "__func__", obj).__doc__ or "").strip())


def undocumented():
    modules = list(map(importlib.import_module, MODULES))
    for module in modules:
        for name, obj in vars(module).items():
            if name.startswith("_") or inspect.ismodule(obj) or not getattr(obj, "__module__", "brv").startswith("brv"):
                continue  # private, or imported from elsewhere
            if not (inspect.isclass(obj) or inspect.isroutine(obj)):
                if not any(vars(m).get(name) is obj and documented(name, m.__doc__) for m in modules):
                    yield "%s.%s" % (module.__name__, name)
                continue
            if not own_doc(obj):
                yield "%s.%s" % (obj.__module__, obj.__qualname__)
            if inspect.isclass(obj):
                fields = getattr(obj, "__dataclass_fields__", {})
                for member in sorted(set(vars(obj)) | set(fields)):
                    value = vars(obj).get(member)
                    if member.startswith("_") or type(value).__name__ == "CField":
                        continue
                    if not (documented(member, obj.__doc__) if member in fields else own_doc(value)):
                        yield "%s.%s.%s" % (obj.__module__, obj.__qualname__, member)


def test_every_public_name_has_a_docstring():
    assert sorted(set(undocumented())) == []

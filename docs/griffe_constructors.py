"""A griffe extension for the API reference: show each class's constructor as its signature.

kwsieve's classes are built by ``__new__`` (an extension type has no ``__init__`` of its own),
so the stubs declare ``__new__``, which the documentation theme would list as a method. This
presents it as ``__init__`` so that the class heading reads ``KeywordProcessor(case_sensitive=...)``.
"""

from __future__ import annotations

from typing import Any

import griffe


class ConstructorAsInit(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: Any) -> None:
        new = cls.members.get("__new__")
        if not isinstance(new, griffe.Function) or "__init__" in cls.members:
            return
        params = list(new.parameters)
        params[0] = griffe.Parameter("self", kind=params[0].kind)
        init = griffe.Function(
            "__init__",
            lineno=new.lineno,
            endlineno=new.endlineno,
            parameters=griffe.Parameters(*params),
            returns="None",
            docstring=new.docstring,
        )
        cls.del_member("__new__")
        cls.set_member("__init__", init)

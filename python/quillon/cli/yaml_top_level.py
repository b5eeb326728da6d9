"""The top level of a YAML document, read from its events without building it.

Checking that a large reference netlist is a mapping with the expected
entries must not cost as much as loading it (the check loads it anyway):
walking the parser's events takes about a tenth of the time of building the
values. A document whose values could fail to build, or could expand (aliases,
explicit tags, a collection as a key, several documents), is loaded whole
through the bounded loader instead, so the answer and its errors are exactly
those of :func:`quillon.yaml_bounded.safe_load`.
"""

from __future__ import annotations

from typing import Any

import yaml

from quillon.yaml_bounded import safe_load

__all__ = ["top_level"]

_Loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)


class _LoadWhole(Exception):
    """The document needs the full loader to be judged."""


def top_level(text: str, source: str) -> Any:
    """What ``safe_load(text, source)`` returns, except that a top-level mapping's values are None.

    Raises what ``safe_load`` raises: ``yaml.YAMLError`` for a malformed
    document, ``YamlExpansionError`` for one whose aliases expand too far.
    """
    try:
        return _walk(yaml.parse(text, Loader=_Loader))
    except _LoadWhole:
        return safe_load(text, source)


def _walk(events: Any) -> Any:
    top: Any = None
    keys: list[str] = []
    depth = 0
    nodes_at_top = 0  # complete nodes inside the top-level collection: key, value, key, ...
    documents = 0
    for event in events:
        if isinstance(event, yaml.AliasEvent) or getattr(event, "tag", None) is not None:
            raise _LoadWhole
        if isinstance(event, yaml.DocumentStartEvent):
            documents += 1
            if documents > 1:
                raise _LoadWhole
        elif isinstance(event, (yaml.MappingStartEvent, yaml.SequenceStartEvent)):
            if depth == 0:
                top = {} if isinstance(event, yaml.MappingStartEvent) else []
            elif depth == 1 and isinstance(top, dict) and nodes_at_top % 2 == 0:
                raise _LoadWhole  # a collection as a key
            depth += 1
        elif isinstance(event, (yaml.MappingEndEvent, yaml.SequenceEndEvent)):
            depth -= 1
            nodes_at_top += depth == 1
        elif isinstance(event, yaml.ScalarEvent):
            if depth == 0:
                top = event.value
            elif depth == 1:
                if isinstance(top, dict) and nodes_at_top % 2 == 0:
                    keys.append(event.value)
                nodes_at_top += 1
    return dict.fromkeys(keys) if isinstance(top, dict) else top

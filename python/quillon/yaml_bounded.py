"""YAML reading with a bound on what aliases expand to.

A few hundred bytes of nested aliases (``&a [*b, *b, ...]``) describe a value of
10^9 nodes. PyYAML builds it as shared objects in no time, but everything that
walks the value afterwards (JSON encoding, comparison, copying) expands it and
holds the interpreter for minutes. Every YAML file the tool reads comes through
``safe_load`` here: the node graph is measured as it would be expanded, in time
linear in its distinct nodes, and refused before construction when it is too big.

PyYAML's C composer recurses once per level of nested collections, so a
hundred kilobytes of ``[`` overflow the process's stack and kill it. Where the
text could nest deeper than :data:`MAX_DEPTH`, the depth is counted from the
parser's events first (the parser keeps a stack of its own), and a deeper
document is refused.
"""

from __future__ import annotations

import yaml

_Loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)

#: Expanded nodes allowed on top of the distinct nodes a document holds.
ALIAS_EXPANSION_ALLOWANCE = 1_000_000
#: Expanded nodes allowed per distinct node (merge keys and shared defaults stay fine).
ALIAS_EXPANSION_FACTOR = 10


#: Collections nested deeper than this are refused: a netlist nests a few levels, and
#: what walks a value recursively (JSON, repr, the writer) stays well within its own bound.
MAX_DEPTH = 500


class YamlExpansionError(ValueError):
    """A YAML document whose aliases expand beyond the bound, or refer to themselves."""


class YamlDepthError(YamlExpansionError):
    """A YAML document whose collections nest deeper than :data:`MAX_DEPTH`."""


def _children(node: yaml.Node) -> list[yaml.Node]:
    if isinstance(node, yaml.MappingNode):
        return [part for pair in node.value for part in pair]
    if isinstance(node, yaml.SequenceNode):
        return list(node.value)
    return []


def expanded_size(root: yaml.Node, limit: int) -> int:
    """Nodes of ``root`` with every alias expanded, counted without expanding; stops
    counting past ``limit``. A node that contains itself counts as unbounded."""
    sizes: dict[int, int] = {}
    on_path: set[int] = set()
    stack: list[tuple[yaml.Node, bool]] = [(root, False)]
    while stack:
        node, done = stack.pop()
        key = id(node)
        if done:
            on_path.discard(key)
            sizes[key] = min(limit + 1, 1 + sum(sizes[id(c)] for c in _children(node)))
            continue
        if key in sizes:
            continue
        if key in on_path:
            return limit + 1
        on_path.add(key)
        stack.append((node, True))
        for child in _children(node):
            if id(child) in on_path:
                return limit + 1
            if id(child) not in sizes:
                stack.append((child, False))
    return sizes[id(root)]


def _distinct_nodes(root: yaml.Node) -> int:
    seen: set[int] = set()
    stack = [root]
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        stack.extend(_children(node))
    return len(seen)


def check_expansion(root: yaml.Node, source: str = "<text>") -> None:
    """Raise ``YamlExpansionError`` when ``root`` expands beyond the bound."""
    distinct = _distinct_nodes(root)
    limit = ALIAS_EXPANSION_FACTOR * distinct + ALIAS_EXPANSION_ALLOWANCE
    if expanded_size(root, limit) > limit:
        raise YamlExpansionError(
            f"{source}: YAML aliases expand to more than {limit} nodes (or refer to themselves); refused"
        )


def _may_nest_deeper(text: str | bytes, depth: int) -> bool:
    """Whether collections in `text` may nest deeper than `depth`: each level takes a
    ``[`` or ``{``, or in block style a column further in (two levels per column at
    most: a sequence may start in its mapping's column), so short lines without
    many brackets cannot."""
    if isinstance(text, bytes):
        brackets, lines = text.count(b"[") + text.count(b"{"), text.splitlines()
    else:
        brackets, lines = text.count("[") + text.count("{"), text.splitlines()
    return brackets + 2 * (max(map(len, lines), default=0) + 1) > depth


def nesting_depth(text: str | bytes, limit: int) -> int:
    """How deep collections nest in `text`, counted from the parser's events, which it
    makes without recursing; stops past `limit`. Text that cannot be parsed is counted
    up to where it fails (reading it fails there too), unless the parser refuses it
    for its depth."""
    loader = _Loader(text)
    depth = deepest = 0
    try:
        while True:
            event = loader.get_event()
            if isinstance(event, yaml.CollectionStartEvent):
                depth += 1
                deepest = max(deepest, depth)
                if deepest > limit:
                    break
            elif isinstance(event, yaml.CollectionEndEvent):
                depth -= 1
            elif isinstance(event, yaml.StreamEndEvent):
                break
    except yaml.YAMLError as exc:
        # libyaml 0.2.6 and later refuse more than 1000 levels themselves, scanning
        # ahead of the events when the brackets of a flow collection keep opening
        if "nesting depth" in str(getattr(exc, "problem", "")):
            return limit + 1
    finally:
        loader.dispose()
    return deepest


def safe_load(text: str | bytes, source: str = "<text>") -> object:
    """``yaml.safe_load`` of ``text``, refusing documents whose aliases expand too far
    or whose collections nest deeper than :data:`MAX_DEPTH`."""
    if _may_nest_deeper(text, MAX_DEPTH) and nesting_depth(text, MAX_DEPTH) > MAX_DEPTH:
        raise YamlDepthError(f"{source}: YAML collections nest more than {MAX_DEPTH} levels deep; refused")
    loader = _Loader(text)
    try:
        node = loader.get_single_node()
        if node is None:
            return None
        # An alias always starts with '*': without one the graph is a tree.
        has_alias = (b"*" in text) if isinstance(text, bytes) else ("*" in text)
        if has_alias:
            check_expansion(node, source)
        return loader.construct_document(node)
    finally:
        loader.dispose()

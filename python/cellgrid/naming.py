"""Instance names: what may name an instance, and the names of the copies of an array.

An instance's name is stored as the GDS property `PROPID.NAME`, so it survives
GDS and OASIS files. A KLayout instance may be a regular array: `na` by `nb`
copies of its cell, the copy (i, j) displaced by i times the vector `a` and j
times `b` from the first. The copies of a named array are named after it by
`element_name`, by where they are: `gc[0]`, `gc[1]`, ... when the array has one
row or one column, counted from its west end (its south end for a column), and
`gc[i][j]` otherwise, `i` counted from west to east along the vector nearer the
x axis, `j` from south to north along the other. The names do not depend on
which vector is `a` or which copy is the first: a GDS file stores an array its
own way, and KLayout may read it back with the vectors swapped or reversed.
"""

from __future__ import annotations

import math

import klayout.db as kdb

__all__ = ["check_instance_name", "element_name"]


def check_instance_name(name: object) -> str:
    """Return `name` if it can name an instance, else fail with a clear error."""
    if not isinstance(name, str):
        raise TypeError(f"an instance name must be a text, got {type(name).__name__}")
    if "," in name:
        raise ValueError(f"instance name {name!r} must not contain ',' (it separates instance and port)")
    return name


def element_name(
    name: str, i: int, j: int, na: int, nb: int, a: kdb.Vector | None = None, b: kdb.Vector | None = None
) -> str:
    """The name of the copy (i, j) of an array named `name` of `na` by `nb` copies, the
    copy (i, j) displaced by i times `a` and j times `b` from the first (see the module
    documentation). Without the vectors, `i` and `j` are taken as counted already."""
    i, j = _counted(i, na, a), _counted(j, nb, b)
    if na == 1 or nb == 1:
        return f"{name}[{i if nb == 1 else j}]"
    if a is not None and b is not None and _nearer_the_x_axis(b, a):
        i, j = j, i
    return f"{name}[{i}][{j}]"


def _eastward(v: kdb.Vector) -> kdb.Vector:
    """`v` or its reverse, whichever points east (north when it points neither east nor west)."""
    return v if v.x > 0 or (v.x == 0 and v.y > 0) else -v


def _counted(k: int, n: int, v: kdb.Vector | None) -> int:
    """The index `k` of `n` copies `v` apart, counted from the west (or south) end."""
    return k if v is None or _eastward(v) == v else n - 1 - k


def _nearer_the_x_axis(u: kdb.Vector, v: kdb.Vector) -> bool:
    """Whether the line of `u` lies nearer the x axis than that of `v` (at equal angles, below it)."""
    eu, ev = _eastward(u), _eastward(v)
    au, av = math.atan2(eu.y, eu.x), math.atan2(ev.y, ev.x)
    return (abs(au), au) < (abs(av), av)

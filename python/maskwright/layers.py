"""Named layer tables of a kit."""

from __future__ import annotations

from collections.abc import Iterator, Mapping

import klayout.db as kdb

__all__ = ["LayerMap"]


class LayerMap(Mapping[str, kdb.LayerInfo]):
    """Layer name -> named `kdb.LayerInfo`, also readable as attributes (`LAYER.WG`).

    >>> LAYER = LayerMap(WG=(1, 0), M2=(45, 0))
    >>> LAYER.WG
    WG (1/0)
    """

    def __init__(self, **layers: tuple[int, int] | kdb.LayerInfo) -> None:
        infos: dict[str, kdb.LayerInfo] = {}
        for name, spec in layers.items():
            if isinstance(spec, kdb.LayerInfo):
                layer, datatype = spec.layer, spec.datatype
            elif isinstance(spec, tuple) and len(spec) == 2 and all(isinstance(v, int) for v in spec):
                layer, datatype = spec
            else:
                raise TypeError(f"layer {name}: expected (layer, datatype) or kdb.LayerInfo, got {spec!r}")
            if layer < 0 or datatype < 0:
                raise ValueError(f"layer {name}: layer and datatype must be non-negative, got {layer}/{datatype}")
            infos[name] = kdb.LayerInfo(layer, datatype, name)
        numbers = [(i.layer, i.datatype) for i in infos.values()]
        if len(set(numbers)) != len(numbers):
            raise ValueError("two layer names share one layer/datatype pair")
        self._infos = infos

    def __getitem__(self, name: str) -> kdb.LayerInfo:
        return self._infos[name]

    def __getattr__(self, name: str) -> kdb.LayerInfo:
        try:
            return self.__dict__["_infos"][name]
        except KeyError:
            raise AttributeError(name) from None

    def __iter__(self) -> Iterator[str]:
        return iter(self._infos)

    def __len__(self) -> int:
        return len(self._infos)

    def __repr__(self) -> str:
        return "LayerMap(" + ", ".join(f"{n}={i.layer}/{i.datatype}" for n, i in self._infos.items()) + ")"

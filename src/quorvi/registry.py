"""Which connection class drives which device.

`registry` maps (os, platform, model) to one connection class per chassis type.
A lookup walks the tree as deep as the description and the tree allow and takes
the class registered for the chassis type at the deepest node reached; it never
backs off to a shallower node. This dict-based registry has the same two
methods as the compiled class registry, which can take its place.
"""
import importlib
import pkgutil
from typing import Any, Dict, List, Optional

from .core.errors import ConnectionInfraError


def lookup_path(os: Optional[str], platform: Optional[str], model: Optional[str]) -> List[str]:
    """[os], [os, platform] or [os, platform, model]; None means absent, "" is a component."""
    if model is not None:
        return [os, platform, model]
    if platform is not None:
        return [os, platform]
    return [os]


class PluginRegistry:
    """Tree of nodes keyed by OS, platform, model; each node may hold "data":
    chassis type -> {"cls": class}."""

    def __init__(self) -> None:
        self._plugins: Dict[str, Any] = {}

    @property
    def plugins(self) -> Dict[str, Any]:
        return self._plugins

    def register_plugin(self, cls: type, os: Optional[str] = None, platform: Optional[str] = None,
                        model: Optional[str] = None, chassis_type: str = "single_rp") -> None:
        if not os:
            raise ConnectionInfraError("an OS is required to register %s" % cls.__name__)
        node = self._plugins
        for part in lookup_path(os, platform, model):
            node = node.setdefault(part, {})
        node.setdefault("data", {})[chassis_type] = {"cls": cls}

    def get_plugin(self, os: Optional[str] = None, platform: Optional[str] = None,
                   model: Optional[str] = None, chassis_type: str = "single_rp") -> type:
        if not os:
            raise ConnectionInfraError("an OS is required to look up a connection class")
        path = lookup_path(os, platform, model)
        node = self._plugins
        for part in path:
            if part not in node:
                break
            node = node[part]
        data = node.get("data") or {}
        if chassis_type not in data:
            raise ConnectionInfraError("Plugin data not found for (%s), type: %s "
                                       % ("/".join(str(p) for p in path), chassis_type))
        return data[chassis_type]["cls"]


registry = PluginRegistry()


def load_plugins() -> List[str]:
    """Import every plug-in module below quorvi.plugins (each registers its
    classes when imported); returns the module names. Imports are cached, so
    calling this again is cheap."""
    from . import plugins

    names = []
    for info in pkgutil.walk_packages(plugins.__path__, plugins.__name__ + "."):
        if info.ispkg:
            continue
        importlib.import_module(info.name)
        names.append(info.name)
    return names

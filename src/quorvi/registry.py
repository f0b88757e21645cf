"""Which connection class drives which device: the framework's one class registry.

Plug-in modules register their connection classes into `registry` when they
are imported (per OS, platform, model and chassis type); `load_plugins`
imports the built-in plug-in package and the external plug-ins published
under the entry-point group "quorvi.plugins". A device asks
`registry.get_plugin(os, platform, model, chassis_type)` for its class: the
class registered for the chassis type at the deepest node its description
reaches.
"""
from quorvi.core.classregistry import ClassRegistry

registry = ClassRegistry()

_loaded = False


def load_plugins(reload: bool = False) -> None:
    """Import the built-in and external plug-ins, once (or again with `reload`:
    modules already imported are not run again, so only new ones register)."""
    global _loaded
    if _loaded and not reload:
        return
    ClassRegistry.discover_builtin_plugins()
    ClassRegistry.discover_external_plugins()
    _loaded = True

"""Device: a router or switch described as data, and its connections.

`connections` describes the console lines: console alias -> {"command": the
shell command that opens the line, optionally "member": member number}. A
connection built by `connect` is reachable as the device attribute named by
its alias ("default" unless given).
"""
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional

from .core.errors import ConnectionError
from .registry import load_plugins, registry
from .settings import Settings, merged


class Device:
    def __init__(self, name: str, os: str = "generic", platform: Optional[str] = None,
                 model: Optional[str] = None, chassis_type: str = "single_rp",
                 hostname: Optional[str] = None,
                 connections: Optional[Mapping[str, Mapping[str, Any]]] = None,
                 credentials: Optional[Mapping[str, Mapping[str, Any]]] = None,
                 learn_os: bool = False, learn_hostname: bool = False,
                 settings: Any = None, registry_: Any = None) -> None:
        self.name = name
        self.os = os
        self.platform = platform
        self.model = model
        self.chassis_type = chassis_type
        self.hostname = hostname
        self.connections: Dict[str, Dict[str, Any]] = {k: dict(v) for k, v in (connections or {}).items()}
        self.credentials: Dict[str, Dict[str, Any]] = {k: dict(v) for k, v in (credentials or {}).items()}
        self.learn_os = learn_os
        self.learn_hostname = learn_hostname
        self.settings: Settings = settings if isinstance(settings, Settings) else merged(None, settings)
        self.registry = registry_ if registry_ is not None else registry
        self.handles: Dict[str, Any] = {}  # alias -> connection object

    def __repr__(self) -> str:
        return "<Device %s os=%s platform=%s %s>" % (self.name, self.os, self.platform,
                                                      self.chassis_type)

    if TYPE_CHECKING:
        # Each connection is an attribute named by its alias (`dev.default`).
        def __getattr__(self, alias: str) -> Any: ...

    def connection_class(self) -> type:
        """The connection class registered for this device's description."""
        load_plugins()
        return self.registry.get_plugin(os=self.os, platform=self.platform, model=self.model,
                                        chassis_type=self.chassis_type)

    def connect(self, **kwargs: Any) -> Any:
        """Build the connection for `alias` (default "default") through the class
        that fits the device, make it the device attribute of that name, and
        connect it. A connection made earlier for that alias is disconnected
        first. Returns what the connection's connect() returns."""
        alias = kwargs.pop("alias", "default")
        existing = self.handles.get(alias)
        if existing is None and alias in vars(self):
            raise ValueError("alias %r clashes with a Device attribute" % alias)
        if existing is not None:
            # Also a connection whose bring-up failed: its lines are still open.
            existing.disconnect()
        cls = self.connection_class()
        con = cls(self, alias=alias, **kwargs)
        self.handles[alias] = con
        setattr(self, alias, con)
        return con.connect()

    def disconnect(self, alias: Optional[str] = None) -> None:
        """Disconnect one connection, or all of them; they stay reachable."""
        aliases = [alias] if alias is not None else list(self.handles)
        for name in aliases:
            if name not in self.handles:
                raise ConnectionError("device %s has no connection %r" % (self.name, name))
            self.handles[name].disconnect()

    def destroy(self) -> None:
        """Disconnect every connection and forget them."""
        handles, self.handles = self.handles, {}
        try:
            for con in handles.values():
                con.disconnect()
        finally:
            for name in handles:
                self.__dict__.pop(name, None)

    def _default(self) -> Any:
        if "default" not in self.handles:
            raise ConnectionError("device %s is not connected" % self.name)
        return self.handles["default"]

    def execute(self, command: str, **kwargs: Any) -> str:
        return self._default().execute(command, **kwargs)

    def configure(self, commands: Any, **kwargs: Any) -> str:
        return self._default().configure(commands, **kwargs)

    @property
    def connected(self) -> bool:
        return any(con.connected for con in self.handles.values())

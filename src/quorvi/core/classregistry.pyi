"""Registry of connection classes keyed by OS, platform, model and chassis type."""
import importlib as importlib
import logging
import os as os
import pkgutil as pkgutil
from typing import Any, Dict, Iterable, List, Optional

from quorvi.core.errors import ConnectionInfraError as ConnectionInfraError

log: logging.Logger
supported_chassis: List[str]
supported_os: List[str]
ENTRYPOINT_GROUP: str

def getfile(object: Any) -> str: ...
def iter_entry_points(group: str, name: Optional[str] = ...) -> Iterable[Any]: ...

class ClassRegistry:
    _plugins: Dict[str, Any]
    chassis_type_list: List[str]
    supported_os: List[str]
    def __init__(self) -> None: ...
    @property
    def plugins(self) -> Dict[str, Any]: ...
    @plugins.setter
    def plugins(self, value: Any) -> None: ...
    def validate_model(self, os: Any, platform: Any, model: Any) -> None: ...
    def validate_platform(self, os: Any, platform: Any) -> None: ...
    def validate_os(self, os: Any) -> None: ...
    def validate_chassis_type(self, chassis_type: Any) -> None: ...
    def validate_arguments(self, os: Any, platform: Any, model: Any, chassis_type: Any) -> None: ...
    def get_plugin(
        self,
        os: Optional[str] = None,
        platform: Optional[str] = None,
        model: Optional[str] = None,
        chassis_type: str = "single_rp",
    ) -> type: ...
    def unregister_plugin(
        self,
        os: Optional[str] = None,
        platform: Optional[str] = None,
        model: Optional[str] = None,
        chassis_type: Optional[str] = None,
    ) -> None: ...
    def register_plugin(
        self,
        cls: type,
        os: Optional[str] = None,
        platform: Optional[str] = None,
        model: Optional[str] = None,
        chassis_type: str = "single_rp",
    ) -> None: ...
    @staticmethod
    def discover_builtin_plugins() -> None: ...
    @staticmethod
    def discover_external_plugins() -> None: ...
    def print_tree(self, data: Any, output: str = "plugin") -> str: ...
    def __repr__(self) -> str: ...

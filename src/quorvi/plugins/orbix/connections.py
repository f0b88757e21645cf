"""Orbix connection classes, one per chassis type."""
from quorvi.bases.routers.link_broker import (BaseDualRpLinkBroker, BaseQuadRpLinkBroker,
                                              BaseSingleRpLinkBroker, BaseStackRpLinkBroker)
from quorvi.boot_dialogs import for_os
from quorvi.connection import Connection
from quorvi.multi_connection import MultiRpConnection
from quorvi.registry import registry
from quorvi.statemachine import StateMachine


# Reload, switchover and member reload commands and the boot texts of Orbix devices.
BOOT_DIALOGS = for_os("orbix")


class OrbixStateMachine(StateMachine):
    """Orbix prompts: "R1>", "R1#", "R1(config)#" (standby consoles "R1-stby#")."""


class OrbixSingleRpConnection(Connection):
    os = "orbix"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "single_rp"
    state_machine_class = OrbixStateMachine
    link_broker_class = BaseSingleRpLinkBroker


class OrbixDualRpConnection(MultiRpConnection):
    os = "orbix"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "dual_rp"
    state_machine_class = OrbixStateMachine
    link_broker_class = BaseDualRpLinkBroker


class OrbixStackConnection(MultiRpConnection):
    os = "orbix"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "stack"
    state_machine_class = OrbixStateMachine
    link_broker_class = BaseStackRpLinkBroker


class OrbixQuadConnection(MultiRpConnection):
    os = "orbix"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "quad"
    state_machine_class = OrbixStateMachine
    link_broker_class = BaseQuadRpLinkBroker


for _cls in (OrbixSingleRpConnection, OrbixDualRpConnection, OrbixStackConnection,
             OrbixQuadConnection):
    registry.register_plugin(_cls, os=_cls.os, chassis_type=_cls.chassis_type)

"""Tessel connection classes, one per chassis type."""
from quorvi.bases.routers.link_broker import (BaseDualRpLinkBroker, BaseQuadRpLinkBroker,
                                              BaseSingleRpLinkBroker, BaseStackRpLinkBroker)
from quorvi.boot_dialogs import for_os
from quorvi.connection import Connection
from quorvi.multi_connection import MultiRpConnection
from quorvi.registry import registry
from quorvi.statemachine import StateMachine


# Reload, switchover and member reload commands and the boot texts of Tessel devices.
BOOT_DIALOGS = for_os("tessel")


class TesselStateMachine(StateMachine):
    """Tessel prompts: "R1>", "R1#", "R1(config)#" (standby consoles "R1-stby#")."""


class TesselSingleRpConnection(Connection):
    os = "tessel"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "single_rp"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseSingleRpLinkBroker


class TesselDualRpConnection(MultiRpConnection):
    os = "tessel"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "dual_rp"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseDualRpLinkBroker


class TesselStackConnection(MultiRpConnection):
    os = "tessel"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "stack"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseStackRpLinkBroker


class TesselQuadConnection(MultiRpConnection):
    os = "tessel"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "quad"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseQuadRpLinkBroker


# The ts5k platform has a class of its own for every chassis type, the place
# for its platform-specific behaviour: a lookup for (tessel, ts5k) stops at the
# ts5k node and never backs off to the OS node.
class TesselTs5kSingleRpConnection(TesselSingleRpConnection):
    platform = "ts5k"


class TesselTs5kDualRpConnection(TesselDualRpConnection):
    platform = "ts5k"


class TesselTs5kStackConnection(TesselStackConnection):
    platform = "ts5k"


class TesselTs5kQuadConnection(TesselQuadConnection):
    platform = "ts5k"


for _cls in (TesselSingleRpConnection, TesselDualRpConnection, TesselStackConnection,
             TesselQuadConnection, TesselTs5kSingleRpConnection, TesselTs5kDualRpConnection,
             TesselTs5kStackConnection, TesselTs5kQuadConnection):
    registry.register_plugin(_cls, os=_cls.os, platform=_cls.platform,
                             chassis_type=_cls.chassis_type)

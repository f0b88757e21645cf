"""Tessel connection classes, one per chassis type."""
from quorvi.bases.routers.link_broker import (BaseDualRpLinkBroker, BaseQuadRpLinkBroker,
                                              BaseSingleRpLinkBroker, BaseStackRpLinkBroker)
from quorvi.connection import Connection
from quorvi.multi_connection import MultiRpConnection
from quorvi.registry import registry
from quorvi.statemachine import StateMachine


class TesselStateMachine(StateMachine):
    """Tessel prompts: "R1>", "R1#", "R1(config)#" (standby consoles "R1-stby#")."""


class TesselSingleRpConnection(Connection):
    os = "tessel"
    chassis_type = "single_rp"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseSingleRpLinkBroker


class TesselDualRpConnection(MultiRpConnection):
    os = "tessel"
    chassis_type = "dual_rp"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseDualRpLinkBroker


class TesselStackConnection(MultiRpConnection):
    os = "tessel"
    chassis_type = "stack"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseStackRpLinkBroker


class TesselQuadConnection(MultiRpConnection):
    os = "tessel"
    chassis_type = "quad"
    state_machine_class = TesselStateMachine
    link_broker_class = BaseQuadRpLinkBroker


for _cls in (TesselSingleRpConnection, TesselDualRpConnection, TesselStackConnection,
             TesselQuadConnection):
    registry.register_plugin(_cls, os=_cls.os, chassis_type=_cls.chassis_type)

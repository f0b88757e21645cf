"""Generic connection classes: what a device with os "generic" gets. With
learn_os the link broker learns the OS and reconnects through the learned OS's
classes. The stack's bring-up has no OS-learning step, so a stack learns its
OS through the multi-RP bring-up's, then is handed over to the stack class of
the learned OS."""
from quorvi.bases.routers.link_broker import (BaseDualRpLinkBroker, BaseMultiRpLinkBroker,
                                              BaseQuadRpLinkBroker, BaseSingleRpLinkBroker,
                                              BaseStackRpLinkBroker)
from quorvi.boot_dialogs import for_os
from quorvi.connection import Connection
from quorvi.multi_connection import MultiRpConnection
from quorvi.registry import registry
from quorvi.statemachine import StateMachine


# Reload, switchover and member reload commands and the boot texts of Generic devices.
BOOT_DIALOGS = for_os("generic")


class GenericSingleRpConnection(Connection):
    os = "generic"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "single_rp"
    state_machine_class = StateMachine
    link_broker_class = BaseSingleRpLinkBroker


class GenericDualRpConnection(MultiRpConnection):
    os = "generic"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "dual_rp"
    state_machine_class = StateMachine
    link_broker_class = BaseDualRpLinkBroker


class GenericStackConnection(MultiRpConnection):
    os = "generic"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "stack"
    state_machine_class = StateMachine
    link_broker_class = BaseStackRpLinkBroker
    os_learning_link_broker_class = BaseMultiRpLinkBroker


class GenericQuadConnection(MultiRpConnection):
    os = "generic"
    boot_dialogs = BOOT_DIALOGS
    chassis_type = "quad"
    state_machine_class = StateMachine
    link_broker_class = BaseQuadRpLinkBroker


for _cls in (GenericSingleRpConnection, GenericDualRpConnection, GenericStackConnection,
             GenericQuadConnection):
    registry.register_plugin(_cls, os=_cls.os, chassis_type=_cls.chassis_type)

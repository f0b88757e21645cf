"""The registry's documented steps in plain Python: the baselines that the
compiled ClassRegistry is measured against.

Same validation, same walks, same warning, same rendering algorithm (each
level rendered through `self.print_tree`, split into lines and indented);
only the language differs. The two trivial walks at the end are the floor:
what a lookup costs with no validation at all.
"""
from inspect import getfile

from quorvi import log
from quorvi.core.errors import ConnectionInfraError
from quorvi.plugins import supported_chassis, supported_os


class PlainRegistry:
    def __init__(self):
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    def validate_model(self, os, platform, model):
        if not model:
            return
        if not platform or not os:
            raise ConnectionInfraError("OS and platform are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower() or model.isdigit():
            return
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % model)

    def validate_platform(self, os, platform):
        if not platform:
            return
        if os is None:
            raise ConnectionInfraError("OS information not provided for platform: " + str(platform))
        if not isinstance(platform, str):
            raise ConnectionInfraError("platform should be of type str")
        if platform.islower() or platform.isdigit():
            return
        raise ConnectionInfraError("platform (%s) has to be in lowercase" % platform)

    def validate_os(self, os):
        if os and os not in self.supported_os:
            log.debug("%s is not part of the built-in list of supported OSes." % os)
            return
        if os:
            return
        raise ConnectionInfraError("OS should be one of these " + str(self.supported_os)
                                   + " , but got " + str(os))

    def validate_chassis_type(self, chassis_type):
        if chassis_type and chassis_type in self.chassis_type_list:
            return
        raise ConnectionInfraError("chassis Type should be one of these "
                                   + str(self.chassis_type_list) + ", but got " + str(chassis_type))

    def validate_arguments(self, os, platform, model, chassis_type):
        self.validate_model(os=os, platform=platform, model=model)
        self.validate_platform(platform=platform, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return
        self.validate_chassis_type(chassis_type=chassis_type)

    @staticmethod
    def _lookup_path(os, platform, model):
        if model is not None:
            return [os, platform, model]
        if platform is None:
            return [os]
        return [os, platform]

    def get_plugin(self, os=None, platform=None, model=None, chassis_type="single_rp"):
        self.validate_arguments(os, platform, model, chassis_type)
        from_path = self._lookup_path(os, platform, model)
        node = self._plugins
        for key in from_path:
            if key not in node:
                break
            node = node[key]
        if "data" in node and chassis_type in node["data"]:
            return node["data"][chassis_type]["cls"]
        raise ConnectionInfraError("Plugin data not found for (" + "/".join(from_path)
                                   + "), type: " + str(chassis_type) + " ")

    def register_plugin(self, cls, os=None, platform=None, model=None, chassis_type="single_rp"):
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = self._lookup_path(os, platform, model)
        node = self._plugins
        for key in tree_hierarchy:
            if key not in node:
                node[key] = {}
            node = node[key]
        class_path = getfile(cls)
        if "data" in node:
            data = node["data"]
            if chassis_type in data:
                existing_cls = data[chassis_type]["cls"]
                log.warning(" {} already registered for {}, {} is overriding this class".format(
                    existing_cls.__name__, tree_hierarchy, cls.__name__))
            data[chassis_type] = {"cls": cls, "path": class_path}
            node["data"] = data
        else:
            node["data"] = {chassis_type: {"cls": cls, "path": class_path}}

    def print_tree(self, data, output="plugin"):
        if not data or data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        keys = sorted(data)
        last_key = keys[-1]
        result = output
        for key in keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            lines = temp_output.split("\n")
            result += "\n" + "  |" + lines[0]
            for line in lines[1:]:
                result += "\n" + separator + line
        return result

    def __repr__(self):
        header = "plugins (" + str(type(self)) + " at " + hex(id(self)) + ") "
        return self.print_tree(data=self._plugins, output=header)


class Floor:
    """The floor: a plain walk of the tree to the class under a `try`."""

    def __init__(self, tree):
        self._plugins = tree

    def get_plugin(self, os=None, platform=None, model=None, chassis_type="single_rp"):
        try:
            return self._plugins[os][platform][model]["data"][chassis_type]["cls"]
        except KeyError:
            raise ConnectionInfraError("Plugin data not found") from None

    def get_os_plugin(self, os=None, platform=None, model=None, chassis_type="single_rp"):
        try:
            return self._plugins[os]["data"][chassis_type]["cls"]
        except KeyError:
            raise ConnectionInfraError("Plugin data not found") from None

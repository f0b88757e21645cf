"""The class registry written out in plain Python, one documented step per
line. It is both the baseline that the benchmark measures the compiled
ClassRegistry against and the model that the fuzz tests
(tests/unit/classregistry/test_fuzz.py) hold it to, answer for answer: one
copy, so the two cannot drift apart.

Strings are built with `+` and `str()`, "%s" templates are filled with the
string form of their one value, and every test, walk and comparison is the
plain Python operation (`not x`, `in`, `==`, `[]`, `sorted`), so whatever an
argument does when it is asked (raise from `__eq__`, `__hash__`, `__str__` or
`__bool__`, or answer oddly) happens here in the same order as it should in
the extension. The two trivial walks of `Floor` at the end are what a
lookup costs with no validation at all.
"""
from inspect import getfile

from quorvi import log  # a module global, looked up at call time: a test puts a recorder here
from quorvi.core.errors import ConnectionInfraError
from quorvi.plugins import supported_chassis, supported_os

# A platform or model named "data" would walk into a data map: the team
# chose to refuse it on every path.
RESERVED = {1: "platform 'data' is reserved for the registry's data map",
            2: "model 'data' is reserved for the registry's data map"}


def fill(template, value):
    """`template` with the string form of `value` in place of its "%s"."""
    return template.replace("%s", str(value), 1)


def lookup_path(os, platform, model):
    if model is not None:
        return [os, platform, model]
    if platform is None:
        return [os]
    return [os, platform]


def reject_reserved(path):
    for position in (1, 2):
        if len(path) > position and path[position] == "data":
            raise ConnectionInfraError(RESERVED[position])


class PlainRegistry:
    # The lists are the built-in ones, by reference, unless a caller (a
    # test) gives its own.
    def __init__(self, supported_os=supported_os, supported_chassis=supported_chassis):
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    @property
    def plugins(self):
        return self._plugins

    @plugins.setter
    def plugins(self, value):
        raise Exception(" Protected Member, cannot modify Plugins")

    # ---- validation

    def validate_model(self, os, platform, model):
        if not model:
            return
        if not platform or not os:
            raise ConnectionInfraError("OS and platform are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if model.islower() or model.isdigit():
            return
        raise ConnectionInfraError(fill(" Model (%s) has to be in lowecase", model))

    def validate_platform(self, os, platform):
        if not platform:
            return
        if os is None:
            raise ConnectionInfraError("OS information not provided for platform: " + str(platform))
        if not isinstance(platform, str):
            raise ConnectionInfraError("platform should be of type str")
        if platform.islower() or platform.isdigit():
            return
        raise ConnectionInfraError(fill("platform (%s) has to be in lowercase", platform))

    def validate_os(self, os):
        if os:
            if os not in self.supported_os:
                log.debug(fill("%s is not part of the built-in list of supported OSes.", os))
            return
        raise ConnectionInfraError("OS should be one of these " + repr(self.supported_os)
                                   + " , but got " + str(os))

    def validate_chassis_type(self, chassis_type):
        if chassis_type and chassis_type in self.chassis_type_list:
            return
        raise ConnectionInfraError("chassis Type should be one of these "
                                   + repr(self.chassis_type_list) + ", but got " + str(chassis_type))

    def validate_arguments(self, os, platform, model, chassis_type):
        self.validate_model(os=os, platform=platform, model=model)
        self.validate_platform(platform=platform, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return
        self.validate_chassis_type(chassis_type=chassis_type)

    # ---- lookup

    def get_plugin(self, os=None, platform=None, model=None, chassis_type="single_rp"):
        self.validate_arguments(os, platform, model, chassis_type)
        from_path = lookup_path(os, platform, model)
        reject_reserved(from_path)
        node = self._plugins
        for key in from_path:
            if key not in node:
                break
            node = node[key]
        if "data" in node:
            data = node["data"]
            if chassis_type in data:
                return data[chassis_type]["cls"]
        raise ConnectionInfraError("Plugin data not found for (" + "/".join(map(str, from_path))
                                   + "), type: " + str(chassis_type) + " ")

    # ---- registration

    def unregister_plugin(self, os=None, platform=None, model=None, chassis_type=None):
        self.validate_arguments(os, platform, model, "single_rp")
        tree_hierarchy = lookup_path(os, platform, model)
        reject_reserved(tree_hierarchy)
        node = self._plugins
        for key in tree_hierarchy:
            if key not in node:
                raise ConnectionInfraError("Plugin data not found")
            node = node[key]
        if chassis_type is None:
            if "data" in node:
                del node["data"]
                return
            raise ConnectionInfraError("Plugin data not found")
        if "data" not in node:
            raise ConnectionInfraError("Plugin data not found")
        data = node["data"]
        if chassis_type not in data:
            raise ConnectionInfraError(fill("Plugin data not found for %s", chassis_type))
        del data[chassis_type]

    def register_plugin(self, cls, os=None, platform=None, model=None, chassis_type="single_rp"):
        self.validate_arguments(os, platform, model, chassis_type)
        tree_hierarchy = lookup_path(os, platform, model)
        reject_reserved(tree_hierarchy)
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

    # ---- rendering

    def print_tree(self, data, output="plugin"):
        if not data or data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        keys = sorted(data)
        result = output
        for position, key in enumerate(keys):
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if position == len(keys) - 1 else "  |"
            lines = temp_output.split("\n")
            result += "\n" + "  |" + lines[0]
            for line in lines[1:]:
                result += "\n" + separator + line
        return result

    def __repr__(self):
        header = "plugins (" + str(type(self)) + " at " + hex(id(self)) + ") "
        return self.print_tree(data=self._plugins, output=header)

    def repr_for(self, shown):
        """`__repr__` with the header naming `shown`, the object under test."""
        header = "plugins (" + str(type(shown)) + " at " + hex(id(shown)) + ") "
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

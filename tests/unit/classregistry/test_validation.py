import pytest

import quorvi.core.classregistry as cr
from quorvi.core.errors import ConnectionInfraError

OS_LIST = repr(cr.supported_os)
CHASSIS_LIST = repr(cr.supported_chassis)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no string form")


@pytest.mark.parametrize("os, platform, model, chassis, message", [
    (None, None, None, None, f"OS should be one of these {OS_LIST} , but got None"),
    (None, "abc", None, None, "OS information not provided for platform: abc"),
    (None, None, "m1", None, "OS and platform are required for Model: m1"),
    ("", None, "m1", None, "OS and platform are required for Model: m1"),
    ("orbix", "", "m1", None, "OS and platform are required for Model: m1"),
    ("", "abc", None, None, f"OS should be one of these {OS_LIST} , but got "),
    (0, None, None, None, f"OS should be one of these {OS_LIST} , but got 0"),
    ("orbix", "12-34", None, None, "platform (12-34) has to be in lowercase"),
    ("orbix", "Abc", None, None, "platform (Abc) has to be in lowercase"),
    ("orbix", "", None, None, f"chassis Type should be one of these {CHASSIS_LIST}, but got None"),
    ("orbix", 5, None, None, "platform should be of type str"),
    (None, 5, None, None, "OS information not provided for platform: 5"),
    (None, b"ox", None, None, "OS information not provided for platform: b'ox'"),
    ("orbix", "ox900", "Abc", None, " Model (Abc) has to be in lowecase"),
    ("orbix", "ox900", 7, None, "Model should be of type str"),
    ("orbix", "ox900", ["m"], None, "Model should be of type str"),
    ("orbix", "ox900", "", None, f"chassis Type should be one of these {CHASSIS_LIST}, but got None"),
    ("orbix", None, None, "", f"chassis Type should be one of these {CHASSIS_LIST}, but got "),
    ("orbix", None, None, "Single_rp", f"chassis Type should be one of these {CHASSIS_LIST}, but got Single_rp"),
    ("tessel", None, None, ["dual_rp"], f"chassis Type should be one of these {CHASSIS_LIST}, but got ['dual_rp']"),
])
def test_failure_messages_word_for_word(registry, os, platform, model, chassis, message):
    with pytest.raises(ConnectionInfraError) as caught:
        registry.validate_arguments(os, platform, model, chassis)
    assert type(caught.value) is ConnectionInfraError
    assert caught.value.args == (message,)


@pytest.mark.parametrize("os, platform, model, chassis", [
    ("orbix", "ab1-2c", "1234", "dual_rp"), ("orbix", "1234", "ox-9k", "single_rp"),
    ("linux", None, None, None), ("linux", None, None, ""), ("linux", "x86", None, "anything"),
    ("tessel", "", "", "stack"), ("tessel", "ts5k", None, "quad"),
    ("orbix", "\u00e9t\u00e9", "\u0663\u0664", "single_rp"),
])
def test_accepted_arguments(registry, log, os, platform, model, chassis):
    assert registry.validate_arguments(os, platform, model, chassis) is None
    assert log.calls == []


def test_unknown_os_is_accepted_with_one_debug_line(registry, log):
    registry.validate_arguments("xyz", None, None, "single_rp")
    registry.validate_os(("a", "b"))
    assert log.lines("debug") == ["xyz is not part of the built-in list of supported OSes.",
                                  "('a', 'b') is not part of the built-in list of supported OSes."]


@pytest.mark.parametrize("text", ["abc", "ab1-2c", "12-34", "ABC", "Abc", "", "1234", "\u00b2\u00b3",
                                  "\u0663", "\u01c5a", "\u01c6x", "\u00df", "\u0130", "a\u0301",
                                  "x\u2160", "\u2170", "\u02b0", "\U0001d41a", "\u00bd"]
                         + [chr(c) for c in range(0x370, 0x3a0)])
def test_case_and_digit_rules_are_pythons(registry, text):
    for validate, message in ((lambda t: registry.validate_platform("orbix", t), "platform (%s) has to be in lowercase"),
                              (lambda t: registry.validate_model("orbix", "p", t), " Model (%s) has to be in lowecase")):
        if text and not (text.islower() or text.isdigit()):
            with pytest.raises(ConnectionInfraError) as caught:
                validate(text)
            assert caught.value.args == (message % text,)
        else:
            validate(text)


def test_str_subclass_methods_and_string_form_are_its_own(registry):
    class Shouting(str):
        def islower(self):
            return False

        def __str__(self):
            return "LOUD"

    with pytest.raises(ConnectionInfraError) as caught:
        registry.validate_platform("orbix", Shouting("abc"))
    assert caught.value.args == ("platform (LOUD) has to be in lowercase",)


@pytest.mark.parametrize("call", [
    lambda r: r.validate_platform(None, Unprintable()),
    lambda r: r.validate_model(None, None, Unprintable()),
    lambda r: r.validate_os(Unprintable()),  # the debug line needs its string form
    lambda r: r.validate_chassis_type(Unprintable()),
])
def test_string_form_errors_pass_through(registry, call):
    with pytest.raises(RuntimeError, match="no string form"):
        call(registry)


def test_comparison_errors_pass_through(registry):
    class Touchy:
        def __eq__(self, other):
            raise LookupError("no comparing")

        __hash__ = object.__hash__

    with pytest.raises(LookupError, match="no comparing"):
        registry.validate_os(Touchy())
    with pytest.raises(LookupError, match="no comparing"):
        registry.validate_chassis_type(Touchy())


def test_lists_are_read_from_the_object_at_call_time(registry):
    registry.supported_os = ["orbix"]
    registry.chassis_type_list = ("solo",)
    with pytest.raises(ConnectionInfraError) as caught:
        registry.validate_arguments("orbix", None, None, "single_rp")
    assert caught.value.args == ("chassis Type should be one of these ('solo',), but got single_rp",)
    with pytest.raises(ConnectionInfraError) as caught:
        registry.validate_os(None)
    assert caught.value.args == ("OS should be one of these ['orbix'] , but got None",)

"""Building and publishing a command tree from Python."""

import pytest

import zibrel_ctl as ctl
from _pyzibrel import ZibrelNavigationModel

UNKNOWN = "^Caught an unknown exception!$"


@pytest.fixture
def model():
    m = ZibrelNavigationModel(False, 0)
    m._put_profile_hint("commands")
    m._enable_navigation(True)
    yield m
    m._enable_navigation(False)


def published(model):
    return ctl.tree(ctl.last_connection())


def test_nested_example_is_published_in_call_order(model):
    model._begin_command_set("S", "Set")
    model._create_command("c1", "First", "the first command")
    model._begin_command_category("A", "Category A")
    model._create_command("a1", "A one", "")
    model._begin_command_category("B", "Category B")
    model._create_command("b1", "B one", "")
    model._end_command_category()
    model._create_command("a2", "A two", "")
    model._end_command_set()  # closes A too
    assert published(model) == (
        "0 S|Set|-\n"
        "  2 c1|First|the first command\n"
        "  1 A|Category A|-\n"
        "    2 a1|A one|-\n"
        "    1 B|Category B|-\n"
        "      2 b1|B one|-\n"
        "    2 a2|A two|-\n")


@pytest.mark.parametrize("call", [
    lambda m: m._create_command("c", "C", ""),
    lambda m: m._begin_command_category("A", "A"),
    lambda m: m._end_command_category(),
    lambda m: m._end_command_set(),
])
def test_calls_before_a_set_is_begun_raise(model, call):
    with pytest.raises(RuntimeError, match=UNKNOWN):
        call(model)


def test_state_table_while_open(model):
    model._begin_command_set("S", "Set")
    with pytest.raises(RuntimeError, match=UNKNOWN):
        model._begin_command_set("T", "Other")  # leaves S intact
    with pytest.raises(RuntimeError, match=UNKNOWN):
        model._end_command_category()  # no category open
    model._create_command("c1", "One", "")
    model._end_command_set()
    assert published(model) == "0 S|Set|-\n  2 c1|One|-\n"
    with pytest.raises(RuntimeError, match=UNKNOWN):
        model._end_command_set()  # a second end


def test_failed_publication_keeps_the_set_open_for_a_retry():
    m = ZibrelNavigationModel(False, 0)
    m._begin_command_set("S", "Set")
    m._begin_command_category("A", "A")
    m._create_command("a1", "A one", "")
    with pytest.raises(RuntimeError, match="^operation not permitted$"):
        m._end_command_set()  # navigation not enabled
    with pytest.raises(RuntimeError, match=UNKNOWN):
        m._begin_command_set("T", "Other")  # still open
    m._put_profile_hint("retry")
    m._enable_navigation(True)
    m._end_command_set()
    assert published(m) == "0 S|Set|-\n  1 A|A|-\n    2 a1|A one|-\n"
    m._enable_navigation(False)


def test_a_new_set_replaces_the_published_one(model):
    model._begin_command_set("S", "Set")
    model._create_command("c1", "One", "")
    model._end_command_set()
    model._begin_command_set("T", "")
    model._end_command_set()
    assert published(model) == "0 T|-|-\n"


def test_large_flat_and_nested_sets(model):
    model._begin_command_set("big", "Big")
    for i in range(2000):
        model._create_command(f"c{i}", f"Command {i}", "")
    model._end_command_set()
    lines = published(model).splitlines()
    assert len(lines) == 2001
    assert lines[-1] == "  2 c1999|Command 1999|-"

    model._begin_command_set("deep", "Deep")
    for i in range(200):
        model._begin_command_category(f"k{i}", "")
    model._create_command("leaf", "Leaf", "")
    model._end_command_set()
    lines = published(model).splitlines()
    assert len(lines) == 202
    assert lines[-1] == " " * 402 + "2 leaf|Leaf|-"


def test_active_command_from_the_library_reaches_the_override():
    received = []

    class Model(ZibrelNavigationModel):
        def _set_active_command(self, command_id):
            received.append(command_id)

    m = Model(False, 0)
    m._put_profile_hint("activate")
    m._enable_navigation(True)
    m._begin_command_set("S", "Set")
    m._create_command("fit", "Fit", "")
    m._end_command_set()
    assert ctl.set(ctl.last_connection(), "commands.activeCommand", ctl.Value.cstr("fit")) == 0
    assert received == ["fit"]
    m._enable_navigation(False)

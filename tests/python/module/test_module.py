"""The Python boundary: module initialisation, the Vorn class, argument binding and str checks,
thread binding, the borrow flag, and imports under other interpreters."""

import gc
import glob
import importlib.util
import inspect
import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import threading
import weakref

import _korvel_vorn
import pytest
from _korvel_vorn import Vorn

MODULE_DIR = str(pathlib.Path(_korvel_vorn.__file__).resolve().parent)
SPEC = '{"dataset_ref":"d","symbol":"S","panels":[{"kind":"footprint"}]}'
SENT = "_korvel_vorn::PyVorn is unsendable, but sent to another thread"
DROPPED = "_korvel_vorn::PyVorn is unsendable, but is being dropped on another thread"
CLASS_DOC = (
    "An vorn instance driven by JSON commands.\n\n"
    "`unsendable`: a handle owns a mutable dataset and spec, so it is bound to the\n"
    "thread that created it."
)


def error_of(reply):
    """The error text of an error reply; fails the test for any other reply."""
    body = json.loads(reply)
    assert body["ok"] is False, reply
    return body["error"]


def run_in_thread(function):
    """Runs `function` on a new thread; returns what it returned or the exception it raised."""
    outcome = []

    def target():
        try:
            outcome.append(function())
        except BaseException as error:
            outcome.append(error)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return outcome[0]


@pytest.fixture
def unraisable():
    """Collects what reaches sys.unraisablehook while the test runs."""
    reports = []
    previous = sys.unraisablehook
    sys.unraisablehook = reports.append
    yield reports
    sys.unraisablehook = previous


# --- the module ---------------------------------------------------------------------------------


def test_module_attributes():
    assert _korvel_vorn.__all__ == ["__version__", "Vorn"]
    assert _korvel_vorn.__version__ == "0.1.2"
    assert _korvel_vorn.__doc__ == "The native module (`korvel_vorn._korvel_vorn`)."
    assert [name for name in vars(_korvel_vorn) if not name.startswith("__")] == ["Vorn"]


def fresh_module():
    """A second module object of the same extension, created but not yet initialised."""
    spec = importlib.util.find_spec("_korvel_vorn")
    return spec, importlib.util.module_from_spec(spec)


def test_reinitialised_module_reuses_the_class():
    spec, module = fresh_module()
    assert module is not _korvel_vorn and not hasattr(module, "Vorn")
    spec.loader.exec_module(module)
    assert module.Vorn is Vorn
    assert module.__all__ == ["__version__", "Vorn"]
    assert module.__all__ is not _korvel_vorn.__all__


@pytest.mark.parametrize(
    "existing, expected",
    [
        pytest.param(["x"], ["x", "__version__", "Vorn"], id="list_is_appended_to"),
        pytest.param(type("ListSubclass", (list,), {})(), ["__version__", "Vorn"], id="list_subclass"),
    ],
)
def test_existing_all_list_is_extended(existing, expected):
    spec, module = fresh_module()
    module.__all__ = existing
    spec.loader.exec_module(module)
    assert module.__all__ is existing
    assert list(module.__all__) == expected


@pytest.mark.parametrize("existing", [("x",), "x", None, {"x": 1}])
def test_existing_all_that_is_not_a_list_fails_initialisation(existing):
    spec, module = fresh_module()
    module.__all__ = existing
    with pytest.raises(TypeError):
        spec.loader.exec_module(module)
    # The first name fails before it is set.
    assert not hasattr(module, "__version__") and not hasattr(module, "Vorn")
    assert module.__all__ == existing


# --- the class ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (Vorn.__module__, "builtins"),
        (Vorn.__qualname__, "Vorn"),
        (Vorn.__name__, "Vorn"),
        (Vorn.__doc__, CLASS_DOC),
        (Vorn.__text_signature__, "(spec_json)"),
        (Vorn.command.__text_signature__, "($self, cmd_json)"),
        (Vorn.command.__doc__, "Apply a command JSON and return the resulting response JSON."),
        (Vorn.version.__text_signature__, "()"),
        (Vorn.version.__doc__, "The library version."),
    ],
    ids=["module", "qualname", "name", "doc", "signature", "command_signature", "command_doc",
         "version_signature", "version_doc"],
)
def test_class_metadata(value, expected):
    assert value == expected


@pytest.mark.parametrize(
    "callable_, names",
    [(lambda: Vorn, ["spec_json"]), (lambda: Vorn("").command, ["cmd_json"]), (lambda: Vorn.version, [])],
    ids=["constructor", "command", "version"],
)
def test_parameters_are_positional_or_keyword(callable_, names):
    parameters = inspect.signature(callable_()).parameters.values()
    assert [p.name for p in parameters] == names
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (Vorn,), {})


@pytest.mark.parametrize("attempt", [lambda v: setattr(v, "x", 1), lambda v: v.__dict__],
                         ids=["set_attribute", "read_dict"])
def test_instances_have_no_attribute_dictionary(attempt):
    with pytest.raises(AttributeError):
        attempt(Vorn(""))


def test_instances_have_no_weak_reference_slot():
    with pytest.raises(TypeError):
        weakref.ref(Vorn(""))
    assert Vorn.__weakrefoffset__ == 0 and Vorn.__dictoffset__ == 0


@pytest.mark.parametrize("special", ["__repr__", "__eq__", "__hash__", "__init__", "__str__"])
def test_special_methods_are_the_interpreters_defaults(special):
    assert getattr(Vorn, special) is getattr(object, special)


def test_identity_comparison_and_hashing():
    a, b = Vorn(""), Vorn("")
    assert a == a and a != b
    assert hash(a) == hash(a)
    assert repr(a).startswith("<builtins.Vorn object at 0x")


def test_base_allocation_cannot_bypass_the_constructor():
    with pytest.raises(TypeError, match="is not safe"):
        object.__new__(Vorn)


def test_explicit_new_constructs():
    v = Vorn.__new__(Vorn, "")
    assert type(v) is Vorn
    assert isinstance(v.command("{}"), str)


@pytest.mark.parametrize("call", [lambda: Vorn.version(), lambda: Vorn("").version()], ids=["class", "instance"])
def test_version(call):
    assert call() == "0.1.2" == _korvel_vorn.__version__


def test_version_takes_no_arguments():
    with pytest.raises(TypeError):
        Vorn.version(1)


# --- construction -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs",
    [(("",), {}), (("  {}  ",), {}), (("\n{}\t",), {}), (("{}",), {}), ((), {"spec_json": ""})],
    ids=["empty", "spaces_around_braces", "line_break_and_tab", "braces", "keyword"],
)
def test_constructor_without_spec(args, kwargs):
    v = Vorn(*args, **kwargs)
    assert v.command('{"cmd":"frame"}') == '{"ok":false,"error":"bad spec: no spec set"}'


def test_constructor_with_spec_stores_it():
    v = Vorn(SPEC)
    # The spec is there: the frame request gets past the spec check to the data check.
    assert v.command('{"cmd":"frame"}') == '{"ok":false,"error":"data: no dataset"}'


def test_constructor_accepts_a_str_subclass():
    class Text(str):
        pass

    v = Vorn(Text(SPEC))
    assert v.command('{"cmd":"frame"}') == '{"ok":false,"error":"data: no dataset"}'


@pytest.mark.parametrize(
    "text, message",
    [
        ("{ }", "parse: missing field `dataset_ref` at line 1 column 3"),
        ('{"dataset_ref":"d","symbol":"","panels":[]}', "bad spec: symbol must not be empty"),
    ],
    ids=["space_inside_braces", "empty_symbol"],
)
def test_constructor_value_errors(text, message):
    with pytest.raises(ValueError) as caught:
        Vorn(text)
    assert str(caught.value) == message
    assert type(caught.value) is ValueError


# (function, call, TypeError message)
BINDING_CASES = [
    pytest.param(lambda: Vorn(), "Vorn() missing 1 required positional argument: 'spec_json'", id="new_missing"),
    pytest.param(lambda: Vorn("", ""), "Vorn() takes 1 positional argument but 2 were given", id="new_surplus"),
    pytest.param(lambda: Vorn("", spec_json=""), "Vorn() got multiple values for argument 'spec_json'",
                 id="new_duplicated"),
    pytest.param(lambda: Vorn(spec=""), "Vorn() got an unexpected keyword argument 'spec'", id="new_unknown"),
    pytest.param(lambda: Vorn("", "", x=1), "Vorn() got an unexpected keyword argument 'x'",
                 id="new_unknown_before_surplus"),
    pytest.param(lambda: Vorn(x=1, spec_json=""), "Vorn() got an unexpected keyword argument 'x'",
                 id="new_unknown_with_valid"),
    pytest.param(lambda: Vorn("").command(), "Vorn.command() missing 1 required positional argument: 'cmd_json'",
                 id="command_missing"),
    pytest.param(lambda: Vorn("").command("{}", "{}"), "Vorn.command() takes 1 positional argument but 2 were given",
                 id="command_surplus"),
    pytest.param(lambda: Vorn("").command("{}", cmd_json="{}"),
                 "Vorn.command() got multiple values for argument 'cmd_json'", id="command_duplicated"),
    pytest.param(lambda: Vorn("").command(cmd="{}"), "Vorn.command() got an unexpected keyword argument 'cmd'",
                 id="command_unknown"),
    pytest.param(lambda: Vorn.command(), "unbound method Vorn.command() needs an argument", id="command_unbound"),
]


@pytest.mark.parametrize("call, message", BINDING_CASES)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert not getattr(caught.value, "__notes__", None)


def test_command_by_keyword():
    v = Vorn("")
    assert v.command(cmd_json='{"cmd":"version"}') == '{"version":"0.1.2"}'


class Spam:
    pass


# (value, TypeError message)
NOT_STR_CASES = [
    (b"{}", "'bytes' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (5, "'int' object is not an instance of 'str'"),
    (bytearray(b"{}"), "'bytearray' object is not an instance of 'str'"),
    (["{}"], "'list' object is not an instance of 'str'"),
    (Spam(), "'Spam' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("value, message", NOT_STR_CASES)
@pytest.mark.parametrize(
    "call, parameter",
    [(lambda value: Vorn(value), "spec_json"), (lambda value: Vorn(spec_json=value), "spec_json"),
     (lambda value: Vorn("").command(value), "cmd_json"), (lambda value: Vorn("").command(cmd_json=value), "cmd_json")],
    ids=["new", "new_keyword", "command", "command_keyword"],
)
def test_non_str_argument(call, parameter, value, message):
    with pytest.raises(TypeError) as caught:
        call(value)
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_failed_str_check_releases_the_borrow_flag():
    v = Vorn("")
    for _ in range(3):
        with pytest.raises(TypeError):
            v.command(None)
    assert v.command('{"cmd":"version"}') == '{"version":"0.1.2"}'


@pytest.mark.parametrize("text", ["\ud800", '{"cmd":"version","x":"\udfff"}', "abc\udc80"])
def test_lone_surrogate_in_the_spec(text):
    with pytest.raises(UnicodeEncodeError):
        Vorn(text)


@pytest.mark.parametrize("text", ["\ud800", '{"cmd":"version","x":"\udfff"}', "abc\udc80"])
def test_lone_surrogate_in_a_command_leaves_the_object_usable(text):
    v = Vorn("")
    with pytest.raises(UnicodeEncodeError):
        v.command(text)
    assert v.command('{"cmd":"version"}') == '{"version":"0.1.2"}'


# --- commands -----------------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["not json", "", "\x00", "{", "[]", '{"cmd":"nope"}', "\u00e9", "\U0001F600"])
def test_command_failures_come_back_as_error_replies(text):
    reply = Vorn("").command(text)
    assert type(reply) is str
    assert error_of(reply)


def test_not_json_is_a_parse_error_reply():
    assert error_of(Vorn("").command("not json")).startswith("parse: ")


def test_command_accepts_a_str_subclass():
    class Text(str):
        def __str__(self):
            return "not the command"

    assert Vorn("").command(Text('{"cmd":"version"}')) == '{"version":"0.1.2"}'


def test_non_ascii_command_text_round_trips_into_the_reply():
    reply = Vorn("").command('{"cmd":"\u00e9t\u00e9 \U0001F600"}')
    assert error_of(reply) == "bad spec: unknown cmd: \u00e9t\u00e9 \U0001F600"


def test_objects_hold_separate_states():
    with_spec, without = Vorn(SPEC), Vorn("")
    assert error_of(with_spec.command('{"cmd":"frame"}')) == "data: no dataset"
    assert error_of(without.command('{"cmd":"frame"}')) == "bad spec: no spec set"


# --- re-entry -----------------------------------------------------------------------------------


def test_reentry_during_a_command_is_refused():
    # Python code can run inside a command only through the garbage collector: raising the
    # UnicodeEncodeError allocates a collectable object while the object is borrowed. A collector
    # callback that calls back into the same object must meet the borrow flag. Whether a
    # collection falls inside the command depends on the collector's allocation count, so the
    # command is tried at several counts.
    v = Vorn("")
    seen = []

    def reenter(phase, info):
        try:
            seen.append(v.command('{"cmd":"version"}'))
        except RuntimeError as error:
            seen.append(error)

    threshold = gc.get_threshold()
    encode_errors = 0
    gc.callbacks.append(reenter)
    try:
        for limit in (1, 2, 3):
            for allocations in range(8):
                gc.collect()
                gc.set_threshold(limit)
                kept = []
                for _ in range(allocations):
                    kept.append([])
                try:
                    v.command("\ud800")
                except UnicodeEncodeError:
                    encode_errors += 1
                gc.set_threshold(*threshold)
                del kept
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(reenter)

    assert encode_errors == 24
    refused = [s for s in seen if isinstance(s, RuntimeError)]
    assert refused, "no collection ran inside a command"
    assert {str(error) for error in refused} == {"Already borrowed"}
    assert all(s == '{"version":"0.1.2"}' for s in seen if not isinstance(s, RuntimeError))
    assert v.command('{"cmd":"version"}') == '{"version":"0.1.2"}'


# --- threads ------------------------------------------------------------------------------------


@pytest.mark.parametrize("argument", ['{"cmd":"version"}', '{"cmd":"reset"}', None, "\ud800"],
                         ids=["version", "reset", "not_str", "lone_surrogate"])
def test_command_from_a_foreign_thread_is_refused_first(argument):
    v = Vorn(SPEC)
    outcome = run_in_thread(lambda: v.command(argument))
    assert type(outcome) is RuntimeError
    assert str(outcome) == SENT
    # Neither the state nor the borrow flag was touched.
    assert error_of(v.command('{"cmd":"frame"}')) == "data: no dataset"


def test_argument_binding_comes_before_the_thread_check():
    v = Vorn("")
    outcome = run_in_thread(lambda: v.command())
    assert type(outcome) is TypeError and "cmd_json" in str(outcome)


def test_object_created_on_a_thread_belongs_to_that_thread(unraisable):
    def create_and_use():
        v = Vorn("")
        return [v, v.command('{"cmd":"version"}')]

    outcome = run_in_thread(create_and_use)
    assert outcome[1] == '{"version":"0.1.2"}'
    with pytest.raises(RuntimeError) as caught:
        outcome[0].command('{"cmd":"version"}')
    assert str(caught.value) == SENT
    del caught
    outcome.clear()  # the main thread does not own it either
    assert [str(r.exc_value) for r in unraisable] == [DROPPED]


def test_drop_on_a_foreign_thread_is_reported(unraisable):
    holder = [Vorn(SPEC)]
    assert run_in_thread(holder.clear) is None
    assert len(unraisable) == 1
    report = unraisable[0]
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == DROPPED
    assert report.object is None


def test_drop_on_a_foreign_thread_keeps_a_pending_exception(unraisable):
    holder = [Vorn("")]

    def drop_while_raising():
        try:
            raise KeyError("pending")
        except KeyError:
            holder.clear()
            return sys.exc_info()[1]

    assert isinstance(run_in_thread(drop_while_raising), KeyError)
    assert [str(r.exc_value) for r in unraisable] == [DROPPED]


@pytest.mark.parametrize("on_thread", [False, True], ids=["main_thread", "creating_thread"])
def test_drop_on_the_owner_thread_is_silent(unraisable, on_thread):
    def create_and_drop():
        v = Vorn(SPEC)
        del v

    if on_thread:
        run_in_thread(create_and_drop)
    else:
        create_and_drop()
    assert unraisable == []


# --- other interpreters -------------------------------------------------------------------------


def interpreters():
    """The distinct CPython interpreters of version 3.11 or later found on this machine."""
    candidates = ["/usr/bin/python3", sys.executable]
    candidates += [shutil.which(f"python3.{minor}") for minor in range(11, 16)]
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(os.path.join(pyenv_root, "versions", "3.*", "bin", "python3")))
    found, seen = [], set()
    for path in candidates:
        if not path or not os.path.exists(path):
            continue
        try:
            probe = subprocess.run(
                [path, "-c", "import sys; print(sys.implementation.name, sys.version_info >= (3, 11), sys.executable)"],
                capture_output=True, text=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired):
            continue
        fields = probe.stdout.split(maxsplit=2)
        if probe.returncode != 0 or fields[:2] != ["cpython", "True"]:
            continue
        real = os.path.realpath(fields[2].strip())
        if real not in seen:
            seen.add(real)
            found.append(pytest.param(path, id=path))
    return found


def run_python(python, code):
    result = subprocess.run([python, "-c", textwrap.dedent(code), MODULE_DIR], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_debian_interpreter_imports_the_module():
    if not os.path.exists("/usr/bin/python3"):
        pytest.skip("/usr/bin/python3 is absent")
    out = run_python("/usr/bin/python3", """
        import sys; sys.path.insert(0, sys.argv[1])
        import _korvel_vorn
        v = _korvel_vorn.Vorn("")
        print(_korvel_vorn.__all__, v.command('{"cmd":"version"}'))
    """)
    assert out == "['__version__', 'Vorn'] {\"version\":\"0.1.2\"}\n"


@pytest.mark.parametrize("python", interpreters())
def test_module_works_under_every_interpreter(python):
    out = run_python(python, """
        import sys; sys.path.insert(0, sys.argv[1])
        import _korvel_vorn
        from _korvel_vorn import Vorn
        v = Vorn("")
        print(_korvel_vorn.__all__, Vorn.__module__, Vorn.__text_signature__, Vorn.command.__text_signature__)
        print(v.command(cmd_json='{"cmd":"frame"}'))
        try:
            Vorn(b"{}")
        except TypeError as error:
            print(error, error.__notes__)
    """)
    assert out.splitlines() == [
        "['__version__', 'Vorn'] builtins (spec_json) ($self, cmd_json)",
        '{"ok":false,"error":"bad spec: no spec set"}',
        "'bytes' object is not an instance of 'str' [\"while processing 'spec_json'\"]",
    ]


SUBINTERPRETER_IMPORT = """
    import sys
    code = "import sys; sys.path.insert(0, %r); import _korvel_vorn" % sys.argv[1]
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        import _interpreters as interpreters
    for options in ({}, {"isolated": False}):
        try:
            interpreter = interpreters.create(**options)
        except TypeError:
            continue  # an interpreter that knows no isolation option
        try:
            failure = interpreters.run_string(interpreter, code)
            failure = failure and f"{failure.type.__name__}: {failure.msg}"
        except Exception as error:
            failure = str(error)
        finally:
            interpreters.destroy(interpreter)
        print(failure)
"""


@pytest.mark.parametrize("python", interpreters())
def test_sub_interpreters_are_refused(python):
    out = run_python(python, SUBINTERPRETER_IMPORT)
    lines = out.splitlines()
    assert lines
    assert all("ImportError" in line and "_korvel_vorn" in line for line in lines), out

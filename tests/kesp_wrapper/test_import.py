# Import of kesp_wrapper: one module object per process, one interpreter
# (with each CPython version's own refusal of sub-interpreters that have
# their own lock), the failures of the NumPy set-up, and what a successful
# import publishes.
# Relies on the installed module; edge cases run in fresh interpreters.
import ast
import importlib
import inspect
import pathlib
import pickle
import sys

import numpy
import pytest

import kesp_wrapper
from conftest import PARAM_NAMES, run_python


def test_reimport_returns_the_one_module_without_initialising_again():
    module, function = kesp_wrapper, kesp_wrapper.fit_zscan
    assert importlib.import_module("kesp_wrapper") is module
    del sys.modules["kesp_wrapper"]
    again = importlib.import_module("kesp_wrapper")
    assert again is module and again.fit_zscan is function
    assert importlib.reload(module) is module and module.fit_zscan is function


def test_module_publishes_np_and_fit_zscan_only():
    assert set(vars(kesp_wrapper)) == {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__", "np", "fit_zscan"}
    assert kesp_wrapper.__doc__ is None
    assert kesp_wrapper.np is numpy
    assert kesp_wrapper.__builtins__ is importlib.import_module("builtins")


def test_fit_zscan_carries_name_defaults_signature_and_documentation():
    f = kesp_wrapper.fit_zscan
    assert (f.__name__, f.__qualname__, f.__module__) == ("fit_zscan", "fit_zscan", "kesp_wrapper")
    assert f.__defaults__ == (False, 3)
    assert type(f.__defaults__[0]) is bool and type(f.__defaults__[1]) is int
    signature = inspect.signature(f)
    assert tuple(signature.parameters) == PARAM_NAMES
    assert [p.default for p in signature.parameters.values()][-3:] == [
        inspect.Parameter.empty, False, 3]
    for phrase in ("0-based", "1-based", "0 to 7", "maximum", "minimum", "default 3",
                   "millimetres", "metres", "seconds", "joules", "cm^2", "cm^-3", "in cm",
                   "residuals", "error", "smallest error"):
        assert phrase in f.__doc__, phrase
    for name in PARAM_NAMES:
        assert f"\n{name} :" in f.__doc__, name
    # Made by the module only; pickled by reference; not bound in a class.
    with pytest.raises(TypeError):
        type(f)()
    assert pickle.loads(pickle.dumps(f)) is f

    class Holder:
        method = f
    assert Holder().method is f


def test_installed_stub_matches_the_function():
    stub = pathlib.Path(kesp_wrapper.__file__).with_name("kesp_wrapper.pyi")
    # The stub-only package that type checkers find carries the same text.
    package = stub.with_name("kesp_wrapper-stubs") / "__init__.pyi"
    assert package.read_text() == stub.read_text()
    tree = ast.parse(stub.read_text())
    (definition,) = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert definition.name == "fit_zscan"
    assert tuple(a.arg for a in definition.args.args) == PARAM_NAMES
    assert [ast.literal_eval(d) for d in definition.args.defaults] == [False, 3]


def test_import_raises_no_warning_and_exec_of_a_second_module_object_is_refused(tmp_path):
    # -W error turns the version and type-size warnings into failures.
    run_python("""
        import importlib.util
        module_spec = importlib.util.find_spec("kesp_wrapper")
        first = importlib.util.module_from_spec(module_spec)
        second = importlib.util.module_from_spec(module_spec)
        assert first is not second
        module_spec.loader.exec_module(first)
        try:
            module_spec.loader.exec_module(second)
        except RuntimeError as error:
            assert str(error) == ("Module 'kesp_wrapper' has already been imported. "
                                  "Re-initialisation is not supported."), error
        else:
            raise AssertionError("second module initialised")
        assert importlib.util.module_from_spec(module_spec) is first
        assert first.fit_zscan.__defaults__ == (False, 3)
        """, tmp_path, "-W", "error")


# Defines run_in_subinterpreter(code, isolated=False) for code run by
# run_python: runs `code` in a new sub-interpreter and returns (exception type
# name, message) of its failure, or None. The sub-interpreter shares the main
# interpreter's lock, or (isolated, CPython 3.12 on) has its own, which the
# interpreter refuses itself for modules that do not declare support for it.
RUN_IN_SUBINTERPRETER = """
        import sys
        try:
            import _interpreters  # CPython 3.13

            def run_in_subinterpreter(code, isolated=False):
                interpreter = _interpreters.create("isolated" if isolated else "legacy")
                try:
                    failure = _interpreters.run_string(interpreter, code)
                finally:
                    _interpreters.destroy(interpreter)
                return None if failure is None else (failure.type.__name__, failure.msg)
        except ModuleNotFoundError:
            import _xxsubinterpreters as _interpreters  # CPython 3.9 to 3.12

            def run_in_subinterpreter(code, isolated=False):
                interpreter = (_interpreters.create(isolated=isolated)
                               if sys.version_info >= (3, 12) else _interpreters.create())
                try:
                    _interpreters.run_string(interpreter, code)
                except _interpreters.RunFailedError as error:
                    kind, _, message = str(error).partition(": ")  # "<class 'X'>: message"
                    return kind[len("<class '"):-len("'>")], message
                finally:
                    _interpreters.destroy(interpreter)
                return None
        """


def test_missing_numpy_and_second_interpreter(tmp_path):
    run_python(RUN_IN_SUBINTERPRETER + """
        import sys

        class HideNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                return None

        hider = HideNumpy()
        sys.meta_path.insert(0, hider)
        try:
            import kesp_wrapper
        except ImportError as error:
            assert type(error) is ModuleNotFoundError and error.name == "numpy", repr(error)
        else:
            raise AssertionError("imported without numpy")
        assert "kesp_wrapper" not in sys.modules
        sys.meta_path.remove(hider)

        # The first interpreter is recorded even though its import failed.
        failure = run_in_subinterpreter("import kesp_wrapper")
        assert failure == ("ImportError", "Interpreter change detected - this module can only "
                                          "be loaded into one interpreter per process."), failure
        if sys.version_info >= (3, 12):
            failure = run_in_subinterpreter("import kesp_wrapper", isolated=True)
            assert failure == ("ImportError", "module kesp_wrapper does not support loading "
                                              "in subinterpreters"), failure

        # The failed import was forgotten: a new one starts afresh and works.
        import kesp_wrapper
        assert kesp_wrapper.fit_zscan.__defaults__ == (False, 3)
        assert kesp_wrapper.np is sys.modules["numpy"]
        """, tmp_path)


def test_unusable_numpy_c_interface_fails_with_import_error(tmp_path):
    run_python("""
        import ctypes, sys, traceback, types
        import numpy

        MODULE = "numpy._core._multiarray_umath"
        real = sys.modules[MODULE]
        capsule_new = ctypes.pythonapi.PyCapsule_New
        capsule_new.restype = ctypes.py_object
        capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        keep = []

        def api_table(abi, feature, endianness, name=None):
            # Entries 0, 210 and 211 of the C interface table are the ABI
            # version, the byte order and the feature version.
            table = (ctypes.c_void_p * 300)()
            for index, value in ((0, abi), (210, endianness), (211, feature)):
                function = ctypes.CFUNCTYPE(ctypes.c_int)(lambda value=value: value)
                keep.append(function)
                table[index] = ctypes.cast(function, ctypes.c_void_p).value
            keep.append(table)
            return capsule_new(ctypes.addressof(table), name, None)

        def failed_import(fake):
            sys.modules[MODULE] = fake
            try:
                import kesp_wrapper
            except BaseException as error:
                assert "kesp_wrapper" not in sys.modules
                return error
            finally:
                sys.modules[MODULE] = real
            raise AssertionError("imported with an unusable C interface")

        def with_api(api):
            fake = types.ModuleType(MODULE)
            fake._ARRAY_API = api
            return fake

        cases = [
            (object(), "_ARRAY_API is not PyCapsule object"),
            (api_table(0x2000000, 0x12, 1, b"other"), "_ARRAY_API is NULL pointer"),
            (api_table(0x2000001, 0x12, 1), "module compiled against ABI version 0x2000000 "
                                            "but this version of numpy is 0x2000001"),
            (api_table(0x2000000, 12, 1), "module was compiled against NumPy C-API version "
                                          "0xd (NumPy 1.16) but the running NumPy has C-API "
                                          "version 0xc. "),
            (api_table(0x2000000, 0x12, 0), "FATAL: module compiled as unknown endian"),
            (api_table(0x2000000, 0x12, 2), "FATAL: module compiled as little endian, but "
                                            "detected different endianness at runtime"),
        ]
        for api, text in cases:
            error = failed_import(with_api(api))
            assert type(error) is ImportError, repr(error)
            assert str(error) == "numpy._core.multiarray failed to import"
            assert type(error.__context__) is RuntimeError, repr(error.__context__)
            assert str(error.__context__).startswith(text), str(error.__context__)
            assert "init kesp_wrapper" in "".join(traceback.format_tb(error.__traceback__))

        # An error that is no Exception passes unchanged.
        def interrupt(name):
            raise KeyboardInterrupt
        fake = types.ModuleType(MODULE)
        fake.__getattr__ = interrupt
        assert type(failed_import(fake)) is KeyboardInterrupt

        import kesp_wrapper
        f = numpy.float64
        residuals, error, pars = kesp_wrapper.fit_zscan(
            numpy.arange(-5.0, 6.0), numpy.ones(11), numpy.array([1e17, 0, 0, 0, 0], f),
            2, 2, 0.1, 4e-9, 5.32e-7, 2e-5, 1.0, numpy.array([1e-6]),
            numpy.array([1e-17, 4e-17, 0, 5e-9, 1e-8, 1e-12, 1e-5, 1e-12]),
            numpy.array([7], numpy.int32), 11, 1, n_starts=1)
        assert residuals.shape == (11,) and pars.shape == (8,)
        """, tmp_path)
